#include "hashes/blake256.hpp"

#include <algorithm>
#include <cassert>
#include <utility>

#include "hashes/blake_common.hpp"

namespace hashes {
namespace {

using detail::rotr;
using detail::SIGMA;
constexpr const auto& initial_value = detail::IV;

// Leading digits of pi.
constexpr std::uint32_t pi_words[16] = {
    0x243F6A88, 0x85A308D3, 0x13198A2E, 0x03707344, 0xA4093822, 0x299F31D0, 0x082EFA98, 0xEC4E6C89,
    0x452821E6, 0x38D01377, 0xBE5466CF, 0x34E90C6C, 0xC0AC29B7, 0xC97C50DD, 0x3F84D5B5, 0xB5470917,
};

constexpr int rounds = 14;

inline std::uint32_t load_be32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | std::uint32_t(p[3]);
}

inline void store_be32(std::uint8_t* p, std::uint32_t x) {
    p[0] = static_cast<std::uint8_t>(x >> 24);
    p[1] = static_cast<std::uint8_t>(x >> 16);
    p[2] = static_cast<std::uint8_t>(x >> 8);
    p[3] = static_cast<std::uint8_t>(x);
}

inline void store_be64(std::uint8_t* p, std::uint64_t x) {
    store_be32(p, static_cast<std::uint32_t>(x >> 32));
    store_be32(p + 4, static_cast<std::uint32_t>(x));
}

// G_i on (a, b, c, d) with message/constant pair (j, k) = sigma_r(2i), sigma_r(2i+1).
inline void g(std::uint32_t* v, const std::uint32_t* m, const std::uint8_t* s, int i, int a, int b, int c, int d) {
    const int j = s[2 * i], k = s[2 * i + 1];
    v[a] = v[a] + v[b] + (m[j] ^ pi_words[k]);
    v[d] = rotr(v[d] ^ v[a], 16);
    v[c] = v[c] + v[d];
    v[b] = rotr(v[b] ^ v[c], 12);
    v[a] = v[a] + v[b] + (m[k] ^ pi_words[j]);
    v[d] = rotr(v[d] ^ v[a], 8);
    v[c] = v[c] + v[d];
    v[b] = rotr(v[b] ^ v[c], 7);
}

}  // namespace

Compressor256::Compressor256() : chain_(initial_value) {}

void Compressor256::put_block(std::span<const std::uint8_t, block_bytes> block, std::uint32_t t0, std::uint32_t t1) {
    std::uint32_t m[16];
    for (int i = 0; i < 16; ++i) m[i] = load_be32(block.data() + 4 * i);

    // The salt is zero, so v[8..11] are the bare constants and the final
    // XOR with the salt vanishes.
    std::uint32_t v[16];
    for (int i = 0; i < 8; ++i) v[i] = chain_[i];
    for (int i = 0; i < 4; ++i) v[8 + i] = pi_words[i];
    v[12] = pi_words[4] ^ t0;
    v[13] = pi_words[5] ^ t0;
    v[14] = pi_words[6] ^ t1;
    v[15] = pi_words[7] ^ t1;

    for (int r = 0; r < rounds; ++r) {
        const std::uint8_t* s = SIGMA[r % 10];
        g(v, m, s, 0, 0, 4, 8, 12);
        g(v, m, s, 1, 1, 5, 9, 13);
        g(v, m, s, 2, 2, 6, 10, 14);
        g(v, m, s, 3, 3, 7, 11, 15);
        g(v, m, s, 4, 0, 5, 10, 15);
        g(v, m, s, 5, 1, 6, 11, 12);
        g(v, m, s, 6, 2, 7, 8, 13);
        g(v, m, s, 7, 3, 4, 9, 14);
    }
    for (int i = 0; i < 8; ++i) chain_[i] ^= v[i] ^ v[i + 8];
}

std::array<std::uint8_t, 32> Compressor256::output() const {
    std::array<std::uint8_t, 32> out;
    for (int i = 0; i < 8; ++i) store_be32(out.data() + 4 * i, chain_[i]);
    return out;
}

void Blake256::compress_counted(const std::uint8_t* block) {
    // The counter covers the block being compressed.
    bits_ += 8 * block_bytes;
    compressor_.put_block(std::span<const std::uint8_t, block_bytes>(block, block_bytes),
                          static_cast<std::uint32_t>(bits_), static_cast<std::uint32_t>(bits_ >> 32));
}

Blake256& Blake256::update(std::span<const std::uint8_t> data) {
    assert(filled_ < block_bytes);
    const std::uint8_t* in = data.data();
    std::size_t left = data.size();
    if (filled_ > 0) {
        const std::size_t take = std::min(left, block_bytes - filled_);
        std::copy(in, in + take, buffer_.begin() + static_cast<std::ptrdiff_t>(filled_));
        filled_ += take;
        in += take;
        left -= take;
        if (filled_ < block_bytes) return *this;
        compress_counted(buffer_.data());
        filled_ = 0;
    }
    for (; left >= block_bytes; in += block_bytes, left -= block_bytes) compress_counted(in);
    std::copy(in, in + left, buffer_.begin());
    filled_ = left;
    return *this;
}

Blake256& Blake256::update(std::string_view text) {
    return update({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

void Blake256::finalize_into(std::array<std::uint8_t, digest_bytes>& out) const {
    assert(filled_ < block_bytes);
    Compressor256 c = compressor_;
    const std::uint64_t length_bits = bits_ + 8 * filled_;
    const auto split = [](std::uint64_t x) {
        return std::pair{static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(x >> 32)};
    };

    std::array<std::uint8_t, block_bytes> block{};
    std::copy(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(filled_), block.begin());

    // Padding: 0x80, zeros, a closing 0x01 bit, then the 64-bit big-endian
    // length. When the first and last pad bits share byte 55 they merge into
    // 0x81. A block that carries no message bits is compressed with counter 0.
    constexpr std::size_t last_pad_byte = 55;
    if (filled_ <= last_pad_byte) {
        block[filled_] = 0x80;
        block[last_pad_byte] |= 0x01;
        store_be64(block.data() + 56, length_bits);
        const auto [t0, t1] = filled_ > 0 ? split(length_bits) : split(0);
        c.put_block(block, t0, t1);
    } else {
        // No room for the length: this block ends the message, the next one
        // holds only padding.
        block[filled_] = 0x80;
        const auto [t0, t1] = split(length_bits);
        c.put_block(block, t0, t1);

        std::array<std::uint8_t, block_bytes> tail{};
        tail[last_pad_byte] = 0x01;
        store_be64(tail.data() + 56, length_bits);
        c.put_block(tail, 0, 0);
    }
    out = c.output();
}

std::array<std::uint8_t, Blake256::digest_bytes> Blake256::finalize() const {
    std::array<std::uint8_t, digest_bytes> out;
    finalize_into(out);
    return out;
}

std::array<std::uint8_t, Blake256::digest_bytes> blake256(std::span<const std::uint8_t> data) {
    return Blake256{}.update(data).finalize();
}

}  // namespace hashes
