#pragma once
// BLAKE-256: the 14-round final-round SHA-3 candidate, with the salt fixed at
// zero. The circom base-point derivation reads its candidate points from these
// digests; nothing else uses it.
//
// Usage:
//   hashes::Blake256 h;
//   h.update(a); h.update(b);
//   std::array<std::uint8_t, 32> digest = h.finalize();
//
// Nothing here allocates; states are plain values.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace hashes {

// The chain value and the compression function.
class Compressor256 {
  public:
    static constexpr std::size_t block_bytes = 64;

    // The BLAKE-256 initial value.
    Compressor256();

    // Compresses one block; t0/t1 are the low/high halves of the bit counter
    // that goes with it (the message bits up to and including this block, or 0
    // for a block that holds padding only).
    void put_block(std::span<const std::uint8_t, block_bytes> block, std::uint32_t t0, std::uint32_t t1);

    // Chain words, big-endian, in order.
    std::array<std::uint8_t, 32> output() const;

  private:
    std::array<std::uint32_t, 8> chain_;
};

// Streaming BLAKE-256. Invariant: filled_ < 64 between calls; a block that
// fills up is compressed at once (unlike BLAKE2s, BLAKE marks the last block
// through the padding, not through a flag, so there is no reason to hold it).
class Blake256 {
  public:
    static constexpr std::size_t block_bytes = Compressor256::block_bytes;
    static constexpr std::size_t digest_bytes = 32;

    Blake256() = default;

    Blake256& update(std::span<const std::uint8_t> data);
    Blake256& update(std::string_view text);

    // Pads and finishes a copy of the state, so this one stays usable.
    void finalize_into(std::array<std::uint8_t, digest_bytes>& out) const;
    std::array<std::uint8_t, digest_bytes> finalize() const;

  private:
    void compress_counted(const std::uint8_t* block);

    Compressor256 compressor_;
    std::array<std::uint8_t, block_bytes> buffer_{};
    std::size_t filled_ = 0;
    // Message bits compressed so far, modulo 2^64.
    std::uint64_t bits_ = 0;
};

// One-shot digest.
std::array<std::uint8_t, Blake256::digest_bytes> blake256(std::span<const std::uint8_t> data);

}  // namespace hashes
