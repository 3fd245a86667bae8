#pragma once
// Sapling's note commitment tree, level by level: MerkleCRH (the Sapling
// Pedersen hash of a 6-bit height and two 255-bit children), the empty roots,
// and whole levels hashed as one batch. Nodes are 32-byte little-endian
// elements of the Jubjub base field.
//
// Node values are hashed in constant time unless a call asks for variable
// time (public nodes only); positions and sizes shape the work (which nodes
// are hashed) and are public.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "algebra/encoding.hpp"
#include "constructions/zcash.hpp"
#include "pedersen/checkpoint.hpp"

namespace sapling {

using Node = algebra::Bytes32;

// The highest tree height with a prefix of its own (63 is NoteCommitment's
// six ones), and so the deepest tree.
inline constexpr unsigned MAX_DEPTH = 62;
// MerkleCRH's input: 6 bits of height, then 255 bits of each child.
inline constexpr std::uint64_t MERKLE_BITS = 6 + 2 * 255;
inline constexpr std::size_t MERKLE_BYTES = (MERKLE_BITS + 7) / 8;

// The value of an empty leaf: 1.
inline constexpr Node UNCOMMITTED = {1};

// Whether `node` (little-endian) is below q, the Jubjub base-field modulus.
bool is_canonical(const Node& node);

// MerkleCRH's bits: `height` as 6 bits, then the low 255 bits of each child,
// least significant first.
std::array<std::uint8_t, MERKLE_BYTES> merkle_input(unsigned height, const Node& left, const Node& right);

// How a call hashes: on how many threads (the calling one included; default
// every usable CPU), in variable time or not, with which checkpoint.
struct HashOptions {
    std::optional<std::uint64_t> threads;
    bool vartime = false;
    pedersen::Checkpoint checkpoint{};
};

// MerkleCRH through the Sapling hash of the process's table cache.
class NodeHasher {
  public:
    explicit NodeHasher(HashOptions options = {}) : options_(options) {}

    Node hash(unsigned height, const Node& left, const Node& right);
    // The parents of `children` (an even number of nodes at `height`), pair by
    // pair, hashed as one batch.
    std::vector<Node> hash_pairs(unsigned height, std::span<const Node> children);
    const HashOptions& options() const { return options_; }

  private:
    pedersen::ZcashPedersen hasher_;
    HashOptions options_;
};

// The root of an empty subtree of height h, for h ≤ MAX_DEPTH: UNCOMMITTED,
// then MerkleCRH(h, e, e) over the one below. Computed once per process.
const std::array<Node, MAX_DEPTH + 1>& empty_roots();

// The root of the depth-`depth` tree whose first leaves are `leaves` (at most
// 2^depth of them), the others empty.
Node merkle_root(std::span<const Node> leaves, unsigned depth, NodeHasher& hasher);
// The siblings of the leaf at `position` < leaves.size() in that tree, bottom
// up.
std::vector<Node> merkle_path(std::span<const Node> leaves, std::uint64_t position, unsigned depth, NodeHasher& hasher);

}  // namespace sapling
