// The circom Pedersen hash. Base points are held against the published table
// and circomlibjs values; hashes against sums formed by scalar multiplication
// of the base points with exponents computed in GMP, never through the
// cached tables or the hash engine.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "algebra_reference.hpp"
#include "hashes/blake256.hpp"
#include "constructions/circom.hpp"
#include "test_support.hpp"

namespace {

using algebra::BabyJubjubFq, algebra::BabyJubjubFr, pedersen::CircomPedersen;
using BabyJubjubPoint = pedersen::BabyJubjubStandardPoint;
using test_support::Bytes, test_support::random_bytes;
using Affine = algebra::Affine<algebra::BabyJubjubConfig>;

const mpz_class p = reference::modulus<BabyJubjubFq>();
const mpz_class order = reference::modulus<BabyJubjubFr>();

BabyJubjubPoint point(const char* x, const char* y) {
    return BabyJubjubPoint::from_affine(
        {reference::element<BabyJubjubFq>(mpz_class(x)), reference::element<BabyJubjubFq>(mpz_class(y))});
}

// k·P for any integer k, through a reduced scalar multiplication.
BabyJubjubPoint times(BabyJubjubPoint point, const mpz_class& k) {
    point.mul_bigint(reference::to_bigint(reference::mod(k, order)));
    return point;
}

// The packed point from its coordinates: y little-endian, bit 7 of byte 31
// for x > (p − 1)/2.
std::array<std::uint8_t, 32> pack(const BabyJubjubPoint& point) {
    const Affine a = point.to_affine();
    auto out = reference::to_le_bytes(reference::value(a.y));
    if (reference::value(a.x) > (p - 1) / 2) out[31] |= 0x80;
    return out;
}

// Σ_s e_s·B_s with e_s = Σ_j enc(window j of segment s)·32^j.
std::array<std::uint8_t, 32> expected_hash(const Bytes& data) {
    auto enc = [](unsigned v) { return mpz_class(static_cast<int>(1 + (v & 7)) * (v >= 8 ? -1 : 1)); };
    const std::size_t segments = (data.size() + 24) / 25;
    BabyJubjubPoint sum = BabyJubjubPoint::identity();
    for (std::size_t s = 0; s < segments; ++s) {
        mpz_class e = 0, weight = 1;
        for (std::size_t i = 25 * s; i < data.size() && i < 25 * (s + 1); ++i) {
            e += enc(data[i] & 0x0F) * weight;
            weight *= 32;
            e += enc(data[i] >> 4) * weight;
            weight *= 32;
        }
        sum.add_assign(times(pedersen::base_point(s), e));
    }
    return pack(sum);
}

// "PedersenGenerator_", the index, "_", the try, both zero-filled to 32 digits.
std::string generator_string(std::uint64_t index, std::uint64_t attempt) {
    const auto filled = [](std::uint64_t v) {
        const std::string digits = std::to_string(v);
        return std::string(32 - digits.size(), '0') + digits;
    };
    return "PedersenGenerator_" + filled(index) + "_" + filled(attempt);
}

std::array<std::uint8_t, 32> digest_of(std::uint64_t index, std::uint64_t attempt) {
    const std::string text = generator_string(index, attempt);
    return hashes::blake256(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// The masked digest as an integer (not yet reduced), and x² for y = Y mod p.
mpz_class masked_value(std::array<std::uint8_t, 32> digest) {
    digest[31] &= 0x3F;
    mpz_class y;
    mpz_import(y.get_mpz_t(), 32, -1, 1, 0, 0, digest.data());
    return y;
}

mpz_class x_squared(const mpz_class& y) {
    const mpz_class y2 = y * y;
    return reference::mod((1 - y2) * reference::inverse(reference::mod(168700 - 168696 * y2, p), p), p);
}

TEST(GeneratorString, IsZeroFilledToThirtyTwoDigits) {
    EXPECT_EQ(generator_string(6, 0), "PedersenGenerator_" + std::string(31, '0') + "6_" + std::string(32, '0'));
    const std::string widest = generator_string(UINT64_MAX, UINT64_MAX);
    EXPECT_EQ(widest, "PedersenGenerator_" + std::string(12, '0') + "18446744073709551615_" + std::string(12, '0') +
                          "18446744073709551615");
}

// The built-in rows match the derivation and the published row 0; points computed by circomlibjs
// at indices 12 and 24, where reading the masked value modulo p, rather than skipping it, changes
// the point; every base point lies in the prime-order subgroup.
TEST(BasePoint, MatchesTheDerivationTheTableAndCircomlibjs) {
    for (std::uint64_t i = 0; i < 6; ++i) EXPECT_EQ(pedersen::derive_base_point(i), pedersen::base_point(i)) << i;
    EXPECT_EQ(pedersen::base_point(0),
              point("10457101036533406547632367118273992217979173478358440826365724437999023779287",
                    "19824078218392094440610104313265183977899662750282163392862422243483260492317"));
    EXPECT_EQ(pedersen::base_point(12),
              point("3794846596710804728427490183747125272829051653079153052879417268450674798099",
                    "21842435477255044883863745269531290629657425422620774125328061317110773122799"));
    EXPECT_EQ(pedersen::base_point(24),
              point("15092230384839205420616677623736541428991062852475616768890993337308212374747",
                    "8589870786567729679958691339367382768045953941006167786325103731516226746949"));
    for (const std::uint64_t index : {0, 1, 5, 6, 7, 12, 25, 1000}) {
        const BabyJubjubPoint b = pedersen::base_point(index);
        EXPECT_TRUE(b.to_affine().is_on_curve() && !b.is_identity() && times(b, order).is_identity()) << index;
    }
}

// Which tries the derivation had to skip, seen from the digests alone.
TEST(BasePoint, RejectedTriesMoveToTheNextCounter) {
    // Index 1: try 0 is at or above p and its reduced value has no point;
    // try 1 has no point; try 2 is taken.
    auto legendre = [](const mpz_class& y) { return mpz_legendre(x_squared(y).get_mpz_t(), p.get_mpz_t()); };
    const mpz_class y0 = masked_value(digest_of(1, 0));
    EXPECT_GE(y0, p);
    EXPECT_EQ(legendre(y0 - p), -1);
    EXPECT_EQ(legendre(masked_value(digest_of(1, 1))), -1);
    EXPECT_EQ(legendre(masked_value(digest_of(1, 2))), 1);
    // Index 3 is taken at try 0 with the sign flag set.
    EXPECT_NE(digest_of(3, 0)[31] & 0x80, 0);
    // Index 12 is taken at try 0 although its masked value is not below p.
    EXPECT_GE(masked_value(digest_of(12, 0)), p);
}

TEST(CircomHash, SingleBytesAreSmallMultiplesOfTheFirstBase) {
    const BabyJubjubPoint b0 = pedersen::base_point(0);
    CircomPedersen hasher;
    for (const auto& [byte, multiple] :
         std::vector<std::pair<std::uint8_t, int>>{{0x00, 33}, {0x88, -33}, {0x07, 40}, {0x0F, 24}, {0xFF, -264}})
        EXPECT_EQ(hasher.hash(Bytes{byte}), pack(times(b0, multiple))) << int(byte);
}

// The empty input hashes to the identity; the six shared tables serve the
// first 150 bytes, and the tables then grow to the segments that an input
// needs a second time, and never shrink.
TEST(CircomHash, TablesGrowToTheSegmentsTheInputNeeds) {
    CircomPedersen hasher;
    EXPECT_EQ(hasher.hash(Bytes{}), pack(BabyJubjubPoint::identity()));
    for (const auto& [bytes, segments] :
         std::vector<std::pair<std::size_t, std::size_t>>{{0, 6}, {150, 6}, {151, 7}, {10, 7}, {300, 12}, {301, 13}}) {
        hasher.hash(random_bytes(bytes, bytes));
        hasher.hash(random_bytes(bytes, bytes + 1));
        EXPECT_EQ(hasher.tabled_end(), segments) << bytes;
        EXPECT_GE(hasher.cached_bytes(), (segments - 6) * CircomPedersen::table_bytes_per_segment) << bytes;
    }
}

// Random inputs across segment boundaries and past the point where base
// points start to depend on the modulo-p reading (index 12 covers bytes 300+).
TEST(CircomHash, AgreesWithScalarMultiplicationSums) {
    CircomPedersen hasher;
    bool sign_seen[2] = {false, false};
    std::uint64_t seed = 1;
    for (const std::size_t n : {1, 2, 24, 25, 26, 49, 50, 51, 149, 150, 151, 299, 300, 301, 333, 626}) {
        for (int round = 0; round < 3; ++round) {
            const Bytes data = random_bytes(n, seed++);
            const auto out = hasher.hash(data);
            EXPECT_EQ(out, expected_hash(data)) << n << " bytes, seed " << seed - 1;
            EXPECT_EQ(out[31] & 0x40, 0);
            sign_seen[out[31] >> 7] = true;
        }
    }
    EXPECT_TRUE(sign_seen[0] && sign_seen[1]);
}

TEST(CircomHash, MatchesCircomlibjsOnAThousandZeroBytes) {
    EXPECT_EQ(CircomPedersen().hash(Bytes(1000, 0)),
              (std::array<std::uint8_t, 32>{0x54, 0xda, 0x38, 0x80, 0x71, 0xce, 0x3d, 0x49, 0xfe, 0xa6, 0x8e,
                                            0x99, 0xb5, 0xf9, 0xbe, 0x5e, 0x9c, 0xaa, 0x85, 0x22, 0xe6, 0x94,
                                            0x58, 0x9f, 0x66, 0x6c, 0xb7, 0x22, 0xb1, 0xa3, 0xc1, 0x1b}));
}

TEST(CircomHash, CacheNeverChangesAResult) {
    const Bytes short_input = random_bytes(40, 99);
    const auto fresh = CircomPedersen().hash(short_input);
    CircomPedersen used;
    used.hash(random_bytes(400, 98));
    used.hash(random_bytes(400, 97));
    EXPECT_EQ(used.hash(short_input), fresh);
    EXPECT_EQ(used.tabled_end(), 16u);  // the short input built nothing
}

}  // namespace
