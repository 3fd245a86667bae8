#include "hashes/blake2s.hpp"

#include <algorithm>
#include <cassert>
#include <string>

#include "fault/fault.hpp"
#include "hashes/blake_common.hpp"

namespace hashes::blake2s {
namespace {

using detail::rotr;
using detail::SIGMA;
constexpr const auto& iv = detail::IV;

inline std::uint32_t load_le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

inline void g(std::uint32_t* v, int a, int b, int c, int d, std::uint32_t x, std::uint32_t y) {
    v[a] = v[a] + v[b] + x;
    v[d] = rotr(v[d] ^ v[a], 16);
    v[c] = v[c] + v[d];
    v[b] = rotr(v[b] ^ v[c], 12);
    v[a] = v[a] + v[b] + y;
    v[d] = rotr(v[d] ^ v[a], 8);
    v[c] = v[c] + v[d];
    v[b] = rotr(v[b] ^ v[c], 7);
}

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

Hash::Hash(const std::array<std::uint8_t, max_hash_bytes>& bytes, std::size_t length) : bytes_(bytes), length_(length) {
    assert(length_ >= 1 && length_ <= max_hash_bytes);
}

Params& Params::hash_length(std::size_t length) {
    if (length < 1 || length > max_hash_bytes) fault::raise("Bad hash length: " + std::to_string(length));
    hash_length_ = length;
    return *this;
}

Params& Params::personal(std::span<const std::uint8_t> bytes) {
    if (bytes.size() > personal_bytes) fault::raise("Bad personalization length: " + std::to_string(bytes.size()));
    personal_.fill(0);
    std::copy(bytes.begin(), bytes.end(), personal_.begin());
    return *this;
}

Params& Params::personal(std::string_view text) { return personal(bytes_of(text)); }

State Params::to_state() const {
    // Parameter block words: p[0] = digest length | key length << 8 | fanout << 16
    // | depth << 24; leaf length, node offset, node depth, inner length and salt
    // are zero; p[6], p[7] are the personalization, little-endian.
    std::array<std::uint32_t, 8> chain = iv;
    chain[0] ^= std::uint32_t(hash_length_) | 0x01010000u;
    chain[6] ^= load_le32(personal_.data());
    chain[7] ^= load_le32(personal_.data() + 4);
    return State(chain, hash_length_);
}

State::State(const std::array<std::uint32_t, 8>& chain, std::size_t hash_length)
    : chain_(chain), hash_length_(hash_length) {}

void State::compress(const std::uint8_t* block, bool last) {
    std::uint32_t m[16];
    for (int i = 0; i < 16; ++i) m[i] = load_le32(block + 4 * i);

    std::uint32_t v[16];
    for (int i = 0; i < 8; ++i) {
        v[i] = chain_[i];
        v[i + 8] = iv[i];
    }
    v[12] ^= std::uint32_t(compressed_bytes_);
    v[13] ^= std::uint32_t(compressed_bytes_ >> 32);
    if (last) v[14] = ~v[14];

    for (const auto& s : SIGMA) {
        g(v, 0, 4, 8, 12, m[s[0]], m[s[1]]);
        g(v, 1, 5, 9, 13, m[s[2]], m[s[3]]);
        g(v, 2, 6, 10, 14, m[s[4]], m[s[5]]);
        g(v, 3, 7, 11, 15, m[s[6]], m[s[7]]);
        g(v, 0, 5, 10, 15, m[s[8]], m[s[9]]);
        g(v, 1, 6, 11, 12, m[s[10]], m[s[11]]);
        g(v, 2, 7, 8, 13, m[s[12]], m[s[13]]);
        g(v, 3, 4, 9, 14, m[s[14]], m[s[15]]);
    }
    for (int i = 0; i < 8; ++i) chain_[i] ^= v[i] ^ v[i + 8];
}

State& State::update(std::span<const std::uint8_t> data) {
    assert(buffered_ <= block_bytes);
    const std::uint8_t* in = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        // Only now is the buffered block known not to be the last one.
        if (buffered_ == block_bytes) {
            compressed_bytes_ += block_bytes;
            compress(buffer_.data(), false);
            buffered_ = 0;
        }
        // Whole blocks straight from the input, keeping at least one byte back
        // so the final block always ends up in the buffer.
        while (buffered_ == 0 && left > block_bytes) {
            compressed_bytes_ += block_bytes;
            compress(in, false);
            in += block_bytes;
            left -= block_bytes;
        }
        const std::size_t take = std::min(left, block_bytes - buffered_);
        std::copy(in, in + take, buffer_.begin() + static_cast<std::ptrdiff_t>(buffered_));
        buffered_ += take;
        in += take;
        left -= take;
    }
    return *this;
}

State& State::update(std::string_view text) { return update(bytes_of(text)); }

Hash State::finalize() const {
    State last = *this;
    std::fill(last.buffer_.begin() + static_cast<std::ptrdiff_t>(last.buffered_), last.buffer_.end(), 0);
    last.compressed_bytes_ += last.buffered_;
    last.compress(last.buffer_.data(), true);

    std::array<std::uint8_t, max_hash_bytes> out{};
    for (std::size_t i = 0; i < hash_length_; ++i)
        out[i] = static_cast<std::uint8_t>(last.chain_[i / 4] >> (8 * (i % 4)));
    return Hash(out, hash_length_);
}

std::array<std::uint8_t, max_hash_bytes> hash(std::span<const std::uint8_t> personal,
                                              std::span<const std::uint8_t> data) {
    const Hash digest = Params{}.personal(personal).to_state().update(data).finalize();
    std::array<std::uint8_t, max_hash_bytes> out{};
    const auto bytes = digest.as_bytes();
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}

}  // namespace hashes::blake2s
