#pragma once
// Many leaves appended at once, with the same result, byte for byte, as
// zcashd's way of appending them one at a time to the tree and to every
// witness, and taking a witness right after each marked leaf.
//
// The batch is hashed level by level, each level as one batch (over the
// caller's threads): every node completed by the batch is hashed once. The
// witnesses then take the nodes they need from those levels, so their cost
// does not grow with the batch: O(depth) copies each.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sapling/tree.hpp"

namespace sapling {

struct Extended {
    Tree tree;
    std::vector<Witness> witnesses;  // those given, up to date, in their order
    std::vector<Witness> marked;     // one per mark, in the marks' order
    std::optional<Node> root;        // the tree's new root, when there are witnesses or marks
};

// `tree` (of `depth`) with `leaves` appended; `witnesses` must be up to date
// with `tree` (the caller checks their size and root), `marks` distinct
// indexes into `leaves`, and the leaves must fit (size + leaves ≤ 2^depth).
// Changes nothing: the caller takes the result, or drops it when the
// checkpoint throws.
Extended extend(const Tree& tree, unsigned depth, std::span<const Node> leaves,
                std::span<const Witness* const> witnesses, std::span<const std::uint64_t> marks, NodeHasher& hasher);

// The leaves a tree of `depth` (size `size`) can still take.
inline std::uint64_t room(std::uint64_t size, unsigned depth) { return (std::uint64_t{1} << depth) - size; }

}  // namespace sapling
