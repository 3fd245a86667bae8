#pragma once
// BLAKE2s (RFC 7693), sequential mode, unkeyed, zero salt, with a caller-chosen
// personalization of up to 8 bytes. The Sapling group hash draws its candidate
// points from these digests.
//
// Usage:
//   auto state = hashes::blake2s::Params{}.personal(pers).to_state();
//   state.update(a); state.update(b);
//   auto digest = state.finalize();   // digest.as_bytes(): 32 bytes
//
// Nothing here allocates; a State is a plain value that may be copied to fork
// a stream (e.g. to reuse a common prefix).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace hashes::blake2s {

inline constexpr std::size_t block_bytes = 64;
inline constexpr std::size_t max_hash_bytes = 32;
inline constexpr std::size_t personal_bytes = 8;

// A finished digest. Invariant: 1 <= length_ <= 32; bytes past length_ are zero.
class Hash {
  public:
    Hash(const std::array<std::uint8_t, max_hash_bytes>& bytes, std::size_t length);

    std::span<const std::uint8_t> as_bytes() const { return {bytes_.data(), length_}; }

    friend bool operator==(const Hash&, const Hash&) = default;

  private:
    std::array<std::uint8_t, max_hash_bytes> bytes_;
    std::size_t length_;
};

class State;

// The parameter block. Only the fields this system needs are settable: the
// digest length and the personalization; everything else keeps the RFC 7693
// sequential-mode defaults (fanout 1, depth 1, no key, zero salt).
class Params {
  public:
    // Digest length in bytes, 1..32. Out of range is an internal fault.
    Params& hash_length(std::size_t length);
    // 0..8 bytes, zero-padded on the right. Longer is an internal fault
    // ("Bad personalization length: N"), raised here, before any state exists.
    Params& personal(std::span<const std::uint8_t> bytes);
    Params& personal(std::string_view text);

    State to_state() const;

  private:
    std::size_t hash_length_ = max_hash_bytes;
    std::array<std::uint8_t, personal_bytes> personal_{};
};

// Streaming state. Invariant: buffered_ <= 64. A full buffer is kept (not
// compressed) until more input arrives, because the last block must be
// compressed with the final flag.
class State {
  public:
    State& update(std::span<const std::uint8_t> data);
    State& update(std::string_view text);

    // Does not consume the state: finishing works on a copy, so the stream can
    // still be extended afterwards.
    Hash finalize() const;

  private:
    friend class Params;
    State(const std::array<std::uint32_t, 8>& chain, std::size_t hash_length);

    void compress(const std::uint8_t* block, bool last);

    std::array<std::uint32_t, 8> chain_;
    std::array<std::uint8_t, block_bytes> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t compressed_bytes_ = 0;
    std::size_t hash_length_;
};

// One-shot: 32-byte digest of `data` under `personal` (0..8 bytes).
std::array<std::uint8_t, max_hash_bytes> hash(std::span<const std::uint8_t> personal,
                                              std::span<const std::uint8_t> data);

}  // namespace hashes::blake2s
