#pragma once
// The input as a bit string: bit 8i + b is bit b (0 = least significant) of
// byte i. No padding, no length prefix; bits past the end read as 0.

#include <cstddef>
#include <cstdint>
#include <span>

namespace pedersen {

class BitString {
  public:
    explicit BitString(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint64_t size() const { return std::uint64_t{bytes_.size()} * 8; }

    // `count` bits (at most 25) from `position` on, the first in bit 0 of the
    // result. Only the position and the length decide which bytes are read,
    // so secret bits steer no address.
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
        return (word >> (position & 7)) & ((std::uint32_t{1} << count) - 1);
    }

  private:
    std::span<const std::uint8_t> bytes_;
};

// Chunks of `width` bits that `bytes` bytes fill, the last one padded:
// ⌈8·bytes / width⌉, without overflowing for any length.
constexpr std::uint64_t chunk_count(std::uint64_t bytes, unsigned width) {
    return bytes / width * 8 + (bytes % width * 8 + width - 1) / width;
}

}  // namespace pedersen
