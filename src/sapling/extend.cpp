#include "sapling/extend.hpp"

#include <cassert>

#include "fault/fault.hpp"

namespace sapling {

namespace {

// The nodes of the whole tree that a batch appended at `start` completes,
// level by level, and those it needs from before: the left siblings of the
// path of leaf `start` (the ommers, from the old tree's frontier).
class Levels {
  public:
    Levels(const Tree& tree, unsigned depth, std::span<const Node> leaves, NodeHasher& hasher)
        : start_(tree.size()), ommers_(depth + 1) {
        take_ommers(tree, hasher);
        levels_.emplace_back(leaves.begin(), leaves.end());
        const std::uint64_t end = start_ + leaves.size();
        for (unsigned h = 0; h < depth; ++h) {
            const std::uint64_t first = start_ >> (h + 1);
            const std::uint64_t last = end >> (h + 1);
            if (first == last) break;  // no node completed here, so none above
            std::vector<Node> children;
            children.reserve(static_cast<std::size_t>(2 * (last - first)));
            // Pairs from index 2·first: the ommer when the level starts odd.
            if ((start_ >> h) & 1) children.push_back(*ommers_[h]);
            const std::vector<Node>& level = levels_[h];
            const std::size_t take = static_cast<std::size_t>(2 * (last - first)) - children.size();
            children.insert(children.end(), level.begin(), level.begin() + static_cast<std::ptrdiff_t>(take));
            levels_.push_back(hasher.hash_pairs(h, children));
        }
    }

    // The node at (height, index): completed by the batch, or an ommer.
    const Node& at(unsigned height, std::uint64_t index) const {
        const std::uint64_t first = start_ >> height;
        if (index >= first) {
            if (height >= levels_.size() || index - first >= levels_[height].size())
                fault::raise("tree batch: node past the batch");
            return levels_[height][static_cast<std::size_t>(index - first)];
        }
        if (index + 1 != first || !ommers_[height]) fault::raise("tree batch: node before the batch");
        return *ommers_[height];
    }

    // zcashd's form of the tree of the first `size` leaves, for a size past
    // the batch's start.
    Tree frontier(std::uint64_t size) const {
        Tree t;
        const std::uint64_t in_leaves = size % 2 == 1 ? 1 : 2;
        if (in_leaves == 1) {
            t.left = at(0, size - 1);
        } else {
            t.left = at(0, size - 2);
            t.right = at(0, size - 1);
        }
        const std::uint64_t rest = size - in_leaves;
        for (unsigned h = 1; (rest >> h) != 0; ++h) {
            if ((rest >> h) & 1) {
                t.parents.resize(h);
                t.parents[h - 1] = at(h, (rest >> h) - 1);
            }
        }
        return t;
    }

  private:
    // ommers_[h] for every set bit h of the old size: the full subtree of 2^h
    // leaves that ends there. zcashd keeps the last two leaves apart, so an
    // even size first carries their parent up through the full parents, as
    // its next append would.
    void take_ommers(const Tree& tree, NodeHasher& hasher) {
        if (start_ == 0) return;
        std::size_t i = 0;
        if (start_ % 2 == 1) {
            ommers_[0] = tree.left;
        } else {
            Node carry = hasher.hash(0, *tree.left, *tree.right);
            for (; i < tree.parents.size() && tree.parents[i]; ++i)
                carry = hasher.hash(static_cast<unsigned>(i + 1), *tree.parents[i], carry);
            ommers_[i + 1] = carry;
            ++i;
        }
        for (; i < tree.parents.size(); ++i) {
            if (tree.parents[i]) ommers_[i + 1] = tree.parents[i];
        }
    }

    std::uint64_t start_;
    std::vector<std::optional<Node>> ommers_;
    std::vector<std::vector<Node>> levels_;  // levels_[h][j]: node (h, (start_ >> h) + j)
};

// `witness` brought up to date with the tree `tree` of `size` leaves.
Witness caught_up(Witness witness, const Tree& tree, std::uint64_t size, unsigned depth, const Levels& levels) {
    const std::vector<NodeAt> gaps = witness.gaps(depth);
    std::size_t k = witness.filled.size();
    for (; k < gaps.size() && gaps[k].end() <= size; ++k)
        witness.filled.push_back(levels.at(gaps[k].height, gaps[k].index));
    witness.cursor.reset();
    if (k < gaps.size() && gaps[k].height >= 1 && gaps[k].begin() < size) {
        // The subtree being filled holds the tree's last leaves and its
        // parents below the subtree's height.
        Tree cursor{tree.left, tree.right, {}};
        const std::size_t below = std::min<std::size_t>(tree.parents.size(), gaps[k].height - 1);
        cursor.parents.assign(tree.parents.begin(), tree.parents.begin() + static_cast<std::ptrdiff_t>(below));
        while (!cursor.parents.empty() && !cursor.parents.back()) cursor.parents.pop_back();
        witness.cursor = std::move(cursor);
    }
    return witness;
}

}  // namespace

Extended extend(const Tree& tree, unsigned depth, std::span<const Node> leaves,
                std::span<const Witness* const> witnesses, std::span<const std::uint64_t> marks, NodeHasher& hasher) {
    const std::uint64_t start = tree.size();
    assert(leaves.size() <= room(start, depth));
    Extended out;
    if (leaves.empty()) {
        out.tree = tree;
        for (const Witness* w : witnesses) out.witnesses.push_back(*w);
        return out;
    }
    const Levels levels(tree, depth, leaves, hasher);
    const std::uint64_t size = start + leaves.size();
    out.tree = levels.frontier(size);
    out.witnesses.reserve(witnesses.size());
    for (const Witness* w : witnesses) out.witnesses.push_back(caught_up(*w, out.tree, size, depth, levels));
    out.marked.reserve(marks.size());
    for (const std::uint64_t j : marks) {
        Witness fresh;
        fresh.tree = levels.frontier(start + j + 1);
        out.marked.push_back(caught_up(std::move(fresh), out.tree, size, depth, levels));
    }
    if (!witnesses.empty() || !marks.empty()) out.root = out.tree.root(depth, {}, hasher);
    return out;
}

}  // namespace sapling
