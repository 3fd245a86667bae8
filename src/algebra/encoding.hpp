#pragma once
// The byte forms of hash results, each exactly 32 bytes: a field element
// little-endian, and a compressed point (which is also circom's packed point).
// Both are constant time: the sign flag is set by arithmetic, not a branch.

#include <array>
#include <cstdint>

#include "algebra/bigint.hpp"
#include "algebra/curve.hpp"

namespace algebra {

using Bytes32 = std::array<std::uint8_t, 32>;

// The canonical value, 32 bytes little-endian.
template <class Field>
constexpr Bytes32 field_to_bytes(const Field& f) {
    return to_bytes_le(f.into_bigint());
}

// y little-endian, with 0x80 in byte 31 when x > (p - 1)/2, which tells the
// two points sharing this y apart. Every modulus here leaves that bit free.
template <class Config>
constexpr Bytes32 compressed_point(const Affine<Config>& p) {
    Bytes32 bytes = field_to_bytes(p.y);
    bytes[31] |= static_cast<std::uint8_t>(p.x.is_greater_than_negation() << 7);
    return bytes;
}

}  // namespace algebra
