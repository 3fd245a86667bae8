#include "sapling/merkle.hpp"

#include <algorithm>
#include <cassert>
#include <string>

#include "algebra/bigint.hpp"
#include "algebra/fields.hpp"
#include "pedersen/bits.hpp"
#include "pedersen/many.hpp"

namespace sapling {

namespace {

constexpr Node Q = algebra::to_bytes_le(algebra::JubjubFq::MODULUS);

// The level above `level` (nodes at `height`), the last node paired with the
// empty root when the count is odd.
std::vector<Node> level_above(std::vector<Node> level, unsigned height, NodeHasher& hasher) {
    if (level.size() % 2 != 0) level.push_back(empty_roots()[height]);
    return hasher.hash_pairs(height, level);
}

}  // namespace

bool is_canonical(const Node& node) {
    for (std::size_t i = node.size(); i-- > 0;) {
        if (node[i] != Q[i]) return node[i] < Q[i];
    }
    return false;
}

std::array<std::uint8_t, MERKLE_BYTES> merkle_input(unsigned height, const Node& left, const Node& right) {
    std::array<std::uint8_t, MERKLE_BYTES> out{};
    out[0] = static_cast<std::uint8_t>(height & 63);
    // left at bit 6, right at bit 261 = 8·32 + 5; bit 255 of each is dropped.
    for (std::size_t i = 0; i < 32; ++i) {
        const unsigned l = i == 31 ? left[i] & 0x7f : left[i];
        const unsigned r = i == 31 ? right[i] & 0x7f : right[i];
        out[i] |= static_cast<std::uint8_t>(l << 6);
        out[i + 1] |= static_cast<std::uint8_t>(l >> 2);
        out[i + 32] |= static_cast<std::uint8_t>(r << 5);
        out[i + 33] |= static_cast<std::uint8_t>(r >> 3);
    }
    return out;
}

Node NodeHasher::hash(unsigned height, const Node& left, const Node& right) {
    const auto input = merkle_input(height, left, right);
    const pedersen::BitString bits(input, MERKLE_BITS);
    return options_.vartime ? hasher_.hash_bits_vartime(bits, options_.checkpoint)
                            : hasher_.hash_bits(bits, options_.checkpoint);
}

std::vector<Node> NodeHasher::hash_pairs(unsigned height, std::span<const Node> children) {
    assert(children.size() % 2 == 0);
    const std::size_t count = children.size() / 2;
    if (count == 1) return {hash(height, children[0], children[1])};
    std::vector<std::array<std::uint8_t, MERKLE_BYTES>> inputs(count);
    pedersen::ManyInputs<pedersen::ZcashPedersen> many(hasher_, MERKLE_BITS);
    for (std::size_t i = 0; i < count; ++i) {
        inputs[i] = merkle_input(height, children[2 * i], children[2 * i + 1]);
        if (auto error = many.add(inputs[i])) fault::raise(*error);  // every input is MERKLE_BITS long
    }
    return many.hash(hasher_, options_.threads, options_.checkpoint, options_.vartime);
}

const std::array<Node, MAX_DEPTH + 1>& empty_roots() {
    static const std::array<Node, MAX_DEPTH + 1> roots = [] {
        // Public constants: variable time is safe.
        NodeHasher hasher({.threads = 1, .vartime = true});
        std::array<Node, MAX_DEPTH + 1> out;
        out[0] = UNCOMMITTED;
        for (unsigned h = 0; h < MAX_DEPTH; ++h) out[h + 1] = hasher.hash(h, out[h], out[h]);
        return out;
    }();
    return roots;
}

Node merkle_root(std::span<const Node> leaves, unsigned depth, NodeHasher& hasher) {
    assert(depth <= MAX_DEPTH && (depth >= 64 || leaves.size() <= (std::uint64_t{1} << depth)));
    if (leaves.empty()) return empty_roots()[depth];
    std::vector<Node> level(leaves.begin(), leaves.end());
    for (unsigned h = 0; h < depth; ++h) level = level_above(std::move(level), h, hasher);
    return level[0];
}

std::vector<Node> merkle_path(std::span<const Node> leaves, std::uint64_t position, unsigned depth,
                              NodeHasher& hasher) {
    assert(position < leaves.size());
    std::vector<Node> path;
    path.reserve(depth);
    std::vector<Node> level(leaves.begin(), leaves.end());
    for (unsigned h = 0; h < depth; ++h) {
        const std::uint64_t sibling = position ^ 1;
        path.push_back(sibling < level.size() ? level[sibling] : empty_roots()[h]);
        level = level_above(std::move(level), h, hasher);
        position >>= 1;
    }
    return path;
}

}  // namespace sapling
