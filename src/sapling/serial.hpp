#pragma once
// zcashd's byte forms of trees, witnesses and authentication paths. Integers
// are little-endian; a count is Bitcoin's CompactSize; Optional(x) is 00, or
// 01 then x.
//
//   tree     Optional(left) ‖ Optional(right) ‖ CompactSize n ‖ n × Optional(parent)
//   witness  tree ‖ CompactSize k ‖ k × filled node ‖ Optional(cursor tree)
//   path     CompactSize depth ‖ depth × (CompactSize 32 ‖ sibling), root side
//            first ‖ position as 8 bytes
//
// Reading refuses, with a TreeError that says what and at which byte, every
// input no tree could have written: truncation, trailing bytes, an Optional
// tag other than 0 or 1, a non-canonical CompactSize, a count past the data,
// parents ≥ depth, parents or a right leaf without a left, a node not below
// q, a cursor or filled nodes the witness cannot hold. Absent last parents
// (which zebrad writes and zcashd does not) are read and dropped, so both
// forms give equal trees; writing gives zcashd's.

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "sapling/tree.hpp"

namespace sapling {

std::vector<std::uint8_t> tree_to_bytes(const Tree& tree);
Tree tree_from_bytes(std::span<const std::uint8_t> data, unsigned depth);

std::vector<std::uint8_t> witness_to_bytes(const Witness& witness);
Witness witness_from_bytes(std::span<const std::uint8_t> data, unsigned depth);

// `path` bottom up, as Witness::path gives it; 1 ≤ path.size() ≤ MAX_DEPTH
// and position < 2^path.size() (a TreeError otherwise).
std::vector<std::uint8_t> encode_path(std::span<const Node> path, std::uint64_t position);
// The path bottom up, and the position.
std::pair<std::vector<Node>, std::uint64_t> decode_path(std::span<const std::uint8_t> data);

}  // namespace sapling
