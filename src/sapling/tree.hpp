#pragma once
// zcashd's incremental note commitment tree and its witnesses, state for
// state: the same fields, the same serialized form (serial.hpp), the same
// roots and paths. `Tree` is IncrementalMerkleTree (the frontier of the leaves
// appended so far), `Witness` IncrementalWitness (a tree frozen at the
// witnessed leaf, the roots of the subtrees completed to its right since, and
// the subtree being filled now). extend.hpp appends many leaves at once.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sapling/merkle.hpp"

namespace sapling {

// Refused input or state (a full tree, a path of the empty tree's witness):
// the binding raises ValueError with what().
struct TreeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Invariants (checked when read, kept by every operation): parents.size() <
// depth; no absent last parent; no right without a left; no parent without a
// left.
struct Tree {
    std::optional<Node> left;
    std::optional<Node> right;
    std::vector<std::optional<Node>> parents;  // parents[i]: a full subtree of 2^(i+1) leaves

    std::uint64_t size() const;
    bool is_complete(unsigned depth) const;
    // The height of the `skip`-th level, lowest first, where the path of the
    // last leaf needs a right sibling (zcashd's next_depth).
    std::uint64_t next_depth(std::size_t skip) const;
    // zcashd's append; refuses a full tree of `depth`.
    void append(const Node& leaf, unsigned depth, NodeHasher& hasher);
    // The root at `depth`, right siblings taken from `fillers` first (lowest
    // first), then the empty roots.
    Node root(unsigned depth, std::span<const Node> fillers, NodeHasher& hasher) const;
    // The siblings of the last leaf, bottom up, from `fillers` as root() does.
    std::vector<Node> path(unsigned depth, std::span<const Node> fillers) const;
    Node last() const;
    bool operator==(const Tree&) const = default;
};

// A level and an index there: one node of the whole tree.
struct NodeAt {
    unsigned height;
    std::uint64_t index;
    // The leaves below it end here (exclusive).
    std::uint64_t end() const { return (index + 1) << height; }
    std::uint64_t begin() const { return index << height; }
};

struct Witness {
    Tree tree;  // the tree when the witness was taken; its last leaf is the witnessed one
    std::vector<Node> filled;
    std::optional<Tree> cursor;

    bool of_empty_tree() const { return !tree.left.has_value(); }
    std::uint64_t position() const { return tree.size() - 1; }
    // The right siblings the path of the witnessed leaf needs, in the order
    // they complete: filled holds the first filled.size() of them, the cursor
    // builds the next. The empty tree's witness needs both leaves of the
    // first pair, then the right half of every level.
    std::vector<NodeAt> gaps(unsigned depth) const;
    // The size of the tree this witness is up to date with.
    std::uint64_t tree_size(unsigned depth) const;
    // The height of the cursor's subtree (zcashd's cursor_depth).
    unsigned cursor_depth(unsigned depth) const;

    void append(const Node& leaf, unsigned depth, NodeHasher& hasher);
    Node root(unsigned depth, NodeHasher& hasher) const;
    std::vector<Node> path(unsigned depth, NodeHasher& hasher) const;
    bool operator==(const Witness&) const = default;

  private:
    std::vector<Node> partial_path(unsigned depth, NodeHasher& hasher) const;
};

}  // namespace sapling
