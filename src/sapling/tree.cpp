#include "sapling/tree.hpp"

#include <cassert>

namespace sapling {

namespace {

// zcashd's PathFiller: the given right siblings first, then empty roots.
class Filler {
  public:
    explicit Filler(std::span<const Node> queue) : queue_(queue) {}
    const Node& next(unsigned height) { return next_ < queue_.size() ? queue_[next_++] : empty_roots()[height]; }

  private:
    std::span<const Node> queue_;
    std::size_t next_ = 0;
};

}  // namespace

std::uint64_t Tree::size() const {
    std::uint64_t n = std::uint64_t{left.has_value()} + std::uint64_t{right.has_value()};
    for (std::size_t i = 0; i < parents.size(); ++i) {
        if (parents[i]) n += std::uint64_t{1} << (i + 1);
    }
    return n;
}

bool Tree::is_complete(unsigned depth) const {
    if (!left || !right || parents.size() != depth - 1) return false;
    for (const auto& parent : parents) {
        if (!parent) return false;
    }
    return true;
}

std::uint64_t Tree::next_depth(std::size_t skip) const {
    if (!left) {
        if (skip == 0) return 0;
        --skip;
    }
    if (!right) {
        if (skip == 0) return 0;
        --skip;
    }
    std::uint64_t d = 1;
    for (const auto& parent : parents) {
        if (!parent) {
            if (skip == 0) return d;
            --skip;
        }
        ++d;
    }
    return d + skip;
}

void Tree::append(const Node& leaf, unsigned depth, NodeHasher& hasher) {
    if (is_complete(depth)) throw TreeError("the tree is full");
    if (!left) {
        left = leaf;
    } else if (!right) {
        right = leaf;
    } else {
        // The pair is complete: carry it up through the full parents.
        Node combined = hasher.hash(0, *left, *right);
        left = leaf;
        right.reset();
        for (std::size_t i = 0; i < depth; ++i) {
            if (i == parents.size()) {
                parents.emplace_back(combined);
                break;
            }
            if (!parents[i]) {
                parents[i] = combined;
                break;
            }
            combined = hasher.hash(static_cast<unsigned>(i + 1), *parents[i], combined);
            parents[i].reset();
        }
    }
}

Node Tree::root(unsigned depth, std::span<const Node> fillers, NodeHasher& hasher) const {
    Filler filler(fillers);
    const Node l = left ? *left : filler.next(0);
    const Node r = right ? *right : filler.next(0);
    Node node = hasher.hash(0, l, r);
    unsigned d = 1;
    for (const auto& parent : parents) {
        node = parent ? hasher.hash(d, *parent, node) : hasher.hash(d, node, filler.next(d));
        ++d;
    }
    for (; d < depth; ++d) node = hasher.hash(d, node, filler.next(d));
    return node;
}

std::vector<Node> Tree::path(unsigned depth, std::span<const Node> fillers) const {
    if (!left) throw TreeError("the empty tree's witness has no path");
    Filler filler(fillers);
    std::vector<Node> path;
    path.reserve(depth);
    path.push_back(right ? *left : filler.next(0));
    unsigned d = 1;
    for (const auto& parent : parents) {
        path.push_back(parent ? *parent : filler.next(d));
        ++d;
    }
    for (; d < depth; ++d) path.push_back(filler.next(d));
    return path;
}

Node Tree::last() const {
    if (right) return *right;
    if (left) return *left;
    throw TreeError("the empty tree's witness has no leaf");
}

std::vector<NodeAt> Witness::gaps(unsigned depth) const {
    std::vector<NodeAt> out;
    if (of_empty_tree()) {
        out.push_back({0, 0});
        out.push_back({0, 1});
        for (unsigned h = 1; h < depth; ++h) out.push_back({h, 1});
        return out;
    }
    const std::uint64_t p = position();
    for (unsigned h = 0; h < depth; ++h) {
        if (((p >> h) & 1) == 0) out.push_back({h, (p >> h) + 1});
    }
    return out;
}

std::uint64_t Witness::tree_size(unsigned depth) const {
    const std::vector<NodeAt> g = gaps(depth);
    const std::size_t k = filled.size();
    if (cursor) return g[k].begin() + cursor->size();
    if (k > 0) return g[k - 1].end();
    return tree.size();
}

unsigned Witness::cursor_depth(unsigned depth) const {
    const std::vector<NodeAt> g = gaps(depth);
    return filled.size() < g.size() ? g[filled.size()].height : depth;
}

void Witness::append(const Node& leaf, unsigned depth, NodeHasher& hasher) {
    const unsigned level = cursor_depth(depth);
    if (cursor) {
        cursor->append(leaf, depth, hasher);
        if (cursor->is_complete(level)) {
            filled.push_back(cursor->root(level, {}, hasher));
            cursor.reset();
        }
        return;
    }
    if (level >= depth) throw TreeError("the tree is full");
    if (level == 0) {
        filled.push_back(leaf);
    } else {
        cursor.emplace();
        cursor->append(leaf, depth, hasher);
    }
}

std::vector<Node> Witness::partial_path(unsigned depth, NodeHasher& hasher) const {
    std::vector<Node> uncles(filled);
    if (cursor) uncles.push_back(cursor->root(cursor_depth(depth), {}, hasher));
    return uncles;
}

Node Witness::root(unsigned depth, NodeHasher& hasher) const {
    return tree.root(depth, partial_path(depth, hasher), hasher);
}

std::vector<Node> Witness::path(unsigned depth, NodeHasher& hasher) const {
    if (of_empty_tree()) throw TreeError("the empty tree's witness has no path");
    return tree.path(depth, partial_path(depth, hasher));
}

}  // namespace sapling
