#include "sapling/serial.hpp"

#include <algorithm>
#include <string>

namespace sapling {

namespace {

class Writer {
  public:
    void byte(std::uint8_t b) { out_.push_back(b); }
    void compact_size(std::uint64_t n) {
        if (n < 0xfd) return byte(static_cast<std::uint8_t>(n));
        const unsigned width = n <= 0xffff ? 2 : n <= 0xffffffff ? 4 : 8;
        byte(width == 2 ? 0xfd : width == 4 ? 0xfe : 0xff);
        integer(n, width);
    }
    void integer(std::uint64_t n, unsigned width) {
        for (unsigned i = 0; i < width; ++i) byte(static_cast<std::uint8_t>(n >> (8 * i)));
    }
    void node(const Node& n) { out_.insert(out_.end(), n.begin(), n.end()); }
    void optional_node(const std::optional<Node>& n) {
        byte(n ? 1 : 0);
        if (n) node(*n);
    }
    void tree(const Tree& t) {
        optional_node(t.left);
        optional_node(t.right);
        compact_size(t.parents.size());
        for (const auto& parent : t.parents) optional_node(parent);
    }
    std::vector<std::uint8_t> take() { return std::move(out_); }

  private:
    std::vector<std::uint8_t> out_;
};

class Reader {
  public:
    Reader(std::span<const std::uint8_t> data, const char* what) : data_(data), what_(what) {}

    [[noreturn]] void fail(std::size_t at, const std::string& problem) const {
        throw TreeError(std::string(what_) + ": " + problem + " at byte " + std::to_string(at));
    }
    std::size_t offset() const { return at_; }
    std::size_t left() const { return data_.size() - at_; }

    std::uint64_t integer(unsigned width) {
        need(width);
        std::uint64_t n = 0;
        for (unsigned i = 0; i < width; ++i) n |= std::uint64_t{data_[at_ + i]} << (8 * i);
        at_ += width;
        return n;
    }
    // A count of items of at least `item_bytes` bytes each, all of which must
    // fit in what is left.
    std::uint64_t count(std::size_t item_bytes) {
        const std::size_t start = at_;
        const std::uint64_t n = compact_size();
        if (n > left() / item_bytes) fail(start, "a count of " + std::to_string(n) + " that runs past the data");
        return n;
    }
    std::uint64_t compact_size() {
        const std::size_t start = at_;
        const auto first = static_cast<std::uint8_t>(integer(1));
        if (first < 0xfd) return first;
        const unsigned width = first == 0xfd ? 2 : first == 0xfe ? 4 : 8;
        const std::uint64_t n = integer(width);
        const std::uint64_t least = width == 2 ? 0xfd : width == 4 ? 0x10000 : 0x100000000;
        if (n < least) fail(start, "a non-canonical CompactSize");
        return n;
    }
    Node node() {
        const std::size_t start = at_;
        need(32);
        Node n;
        std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(at_), 32, n.begin());
        at_ += 32;
        if (!is_canonical(n)) fail(start, "a node not below q (0x73eda753...00000001)");
        return n;
    }
    std::optional<Node> optional_node() {
        if (!tag()) return std::nullopt;
        return node();
    }
    bool tag() {
        const std::size_t start = at_;
        const auto t = integer(1);
        if (t > 1) fail(start, "an Optional tag of " + std::to_string(t) + ", not 0 or 1");
        return t == 1;
    }
    // A tree of at most `max_parents` parents.
    Tree tree(std::uint64_t max_parents, const char* limit) {
        Tree t;
        const std::size_t start = at_;
        t.left = optional_node();
        const std::size_t right_at = at_;
        t.right = optional_node();
        if (t.right && !t.left) fail(right_at, "a right leaf without a left one");
        const std::size_t parents_at = at_;
        const std::uint64_t n = count(1);
        if (n > max_parents)
            fail(parents_at,
                 std::to_string(n) + " parents, more than " + limit + " (" + std::to_string(max_parents) + ")");
        if (n > 0 && !t.left) fail(start, "parents without a left leaf");
        t.parents.reserve(static_cast<std::size_t>(n));
        for (std::uint64_t i = 0; i < n; ++i) t.parents.push_back(optional_node());
        // zebrad writes absent last parents; zcashd neither writes nor reads them.
        while (!t.parents.empty() && !t.parents.back()) t.parents.pop_back();
        return t;
    }
    void finish() const {
        if (at_ != data_.size()) fail(at_, std::to_string(data_.size() - at_) + " trailing bytes");
    }

  private:
    void need(std::size_t n) const {
        if (left() < n)
            fail(at_, "truncated: " + std::to_string(n) + " bytes needed, " + std::to_string(left()) + " left");
    }
    std::span<const std::uint8_t> data_;
    const char* what_;
    std::size_t at_ = 0;
};

void check_depth(unsigned depth) {
    if (depth < 1 || depth > MAX_DEPTH) throw TreeError("depth must be in [1, 62], not " + std::to_string(depth));
}

}  // namespace

std::vector<std::uint8_t> tree_to_bytes(const Tree& tree) {
    Writer w;
    w.tree(tree);
    return w.take();
}

Tree tree_from_bytes(std::span<const std::uint8_t> data, unsigned depth) {
    check_depth(depth);
    Reader r(data, "tree state");
    Tree t = r.tree(depth - 1, "the depth allows");
    r.finish();
    return t;
}

std::vector<std::uint8_t> witness_to_bytes(const Witness& witness) {
    Writer w;
    w.tree(witness.tree);
    w.compact_size(witness.filled.size());
    for (const Node& n : witness.filled) w.node(n);
    w.byte(witness.cursor ? 1 : 0);
    if (witness.cursor) w.tree(*witness.cursor);
    return w.take();
}

Witness witness_from_bytes(std::span<const std::uint8_t> data, unsigned depth) {
    check_depth(depth);
    Reader r(data, "witness");
    Witness w;
    w.tree = r.tree(depth - 1, "the depth allows");
    const std::vector<NodeAt> gaps = w.gaps(depth);
    const std::size_t filled_at = r.offset();
    const std::uint64_t k = r.count(32);
    if (k > gaps.size())
        r.fail(filled_at, std::to_string(k) + " filled nodes, more than the witness can hold (" +
                              std::to_string(gaps.size()) + ")");
    w.filled.reserve(static_cast<std::size_t>(k));
    for (std::uint64_t i = 0; i < k; ++i) w.filled.push_back(r.node());
    const std::size_t cursor_at = r.offset();
    if (r.tag()) {
        // The subtree after the last filled one, at least one leaf and not yet complete.
        const unsigned height = k < gaps.size() ? gaps[k].height : 0;
        if (height == 0) r.fail(cursor_at, "a cursor that cannot belong to the witness");
        Tree cursor = r.tree(height - 1, "the cursor's height allows");
        if (!cursor.left || cursor.is_complete(height)) r.fail(cursor_at, "a cursor that cannot belong to the witness");
        w.cursor = std::move(cursor);
    }
    r.finish();
    return w;
}

std::vector<std::uint8_t> encode_path(std::span<const Node> path, std::uint64_t position) {
    if (path.empty() || path.size() > MAX_DEPTH)
        throw TreeError("a path holds 1 to 62 siblings, not " + std::to_string(path.size()));
    if (position >> path.size() != 0)
        throw TreeError("position " + std::to_string(position) + " is out of range for a path of depth " +
                        std::to_string(path.size()));
    Writer w;
    w.compact_size(path.size());
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
        w.compact_size(32);
        w.node(*it);
    }
    w.integer(position, 8);
    return w.take();
}

std::pair<std::vector<Node>, std::uint64_t> decode_path(std::span<const std::uint8_t> data) {
    Reader r(data, "path");
    const std::uint64_t depth = r.count(33);
    if (depth == 0 || depth > MAX_DEPTH) r.fail(0, "a depth of " + std::to_string(depth) + ", not in [1, 62]");
    std::vector<Node> path(static_cast<std::size_t>(depth));
    for (std::size_t i = path.size(); i-- > 0;) {
        const std::size_t at = r.offset();
        const std::uint64_t size = r.compact_size();
        if (size != 32) r.fail(at, "an element of " + std::to_string(size) + " bytes, not 32");
        path[i] = r.node();
    }
    const std::size_t position_at = r.offset();
    const std::uint64_t position = r.integer(8);
    if (position >> depth != 0)
        r.fail(position_at, "position " + std::to_string(position) + ", not below 2**" + std::to_string(depth));
    r.finish();
    return {std::move(path), position};
}

}  // namespace sapling
