#pragma once
// The input as a bit string: bit 8i + b is bit b (0 = least significant) of
// byte i, and the string ends after its bit length, which may stop inside the
// last byte. No padding, no length prefix; bits past the end read as 0.

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "algebra/ct.hpp"

namespace pedersen {

class BitString {
  public:
    // Every bit of `bytes`.
    explicit BitString(std::span<const std::uint8_t> bytes) : bytes_(bytes), bits_(std::uint64_t{bytes.size()} * 8) {}
    // The first `bits` bits of `bytes`, which holds at least that many.
    BitString(std::span<const std::uint8_t> bytes, std::uint64_t bits) : bytes_(bytes), bits_(bits) {
        assert(bits <= std::uint64_t{bytes.size()} * 8);
    }

    std::uint64_t size() const { return bits_; }
    // The bytes the bits occupy, a partly used last one included.
    std::size_t bytes() const { return static_cast<std::size_t>(bits_ / 8 + (bits_ % 8 != 0)); }

    // `count` bits (at most 25) from `position` on, the first in bit 0 of the
    // result. Only the position and the lengths decide which bytes are read
    // and which bits are kept, so secret bits steer no address.
    std::uint32_t read(std::uint64_t position, unsigned count) const {
        const std::uint64_t first = position >> 3;
        const std::size_t size = bytes_.size();
        std::uint32_t word = 0;
        if (first + 4 <= size) {
            const std::uint8_t* p = bytes_.data() + first;
            word =
                std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
        } else {
            for (std::uint64_t i = 0; i < 4 && first + i < size; ++i)
                word |= std::uint32_t{bytes_[static_cast<std::size_t>(first + i)]} << (8 * i);
        }
        const std::uint64_t left = position < bits_ ? bits_ - position : 0;
        const unsigned kept = left < count ? static_cast<unsigned>(left) : count;
        return (word >> (position & 7)) & ((std::uint32_t{1} << kept) - 1);
    }

  private:
    std::span<const std::uint8_t> bytes_;
    std::uint64_t bits_;
};

// Chunks of `width` bits that `bytes` bytes fill, the last one padded:
// ⌈8·bytes / width⌉, without overflowing for any length.
constexpr std::uint64_t chunk_count(std::uint64_t bytes, unsigned width) {
    return bytes / width * 8 + (bytes % width * 8 + width - 1) / width;
}

// The same for a length in bits: ⌈bits / width⌉.
constexpr std::uint64_t chunk_count_bits(std::uint64_t bits, unsigned width) {
    return bits / width + (bits % width != 0);
}

// Why `data` cannot be read as `bit_length` bits, or nothing when it can: it
// must have exactly ⌈bit_length / 8⌉ bytes, and the bits of its last byte past
// bit_length must be zero. Whether they are is worked out without a branch,
// and only that yes/no is declassified.
inline std::optional<std::string> bit_input_error(std::span<const std::uint8_t> data, std::uint64_t bit_length) {
    const std::uint64_t needed = bit_length / 8 + (bit_length % 8 != 0);
    if (data.size() != needed) {
        return "data has " + std::to_string(data.size()) + " bytes but a bit_length of " + std::to_string(bit_length) +
               " takes exactly " + std::to_string(needed);
    }
    const unsigned used = static_cast<unsigned>(bit_length % 8);
    if (used == 0) return std::nullopt;
    const std::uint64_t spare = data.back() >> used;
    if (algebra::ct::declassify(algebra::ct::mask_nonzero(spare)) != 0)
        return "data has bits set at positions from bit_length (" + std::to_string(bit_length) +
               ") on; they must be zero";
    return std::nullopt;
}

}  // namespace pedersen
