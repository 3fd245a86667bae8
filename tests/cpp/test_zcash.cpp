// The Sapling group hash and Pedersen hash. Candidate rejections are
// classified with GMP; hash values are compared with sums formed by one
// scalar multiplication per segment, never through the cached tables.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "algebra_reference.hpp"
#include "algebra/encoding.hpp"
#include "hashes/blake2s.hpp"
#include "constructions/zcash.hpp"
#include "test_support.hpp"

namespace {

using algebra::JubjubFq, algebra::JubjubFr, pedersen::JubjubPoint, pedersen::ZcashPedersen, test_support::Bytes,
    test_support::fault_of;

const mpz_class q = reference::modulus<JubjubFq>();
const mpz_class d = reference::value(algebra::JubjubConfig::COEFF_D);

Bytes bytes(std::string_view text) { return test_support::bytes_of(text); }
Bytes random_bytes(std::size_t n, std::uint32_t seed) { return test_support::random_bytes<std::mt19937>(n, seed); }

// BLAKE2s of the URS, the tag and the counter byte, personalized.
std::array<std::uint8_t, 32> group_hash_digest(std::span<const std::uint8_t> personalization, const Bytes& tag,
                                               std::uint8_t counter) {
    auto state = hashes::blake2s::Params{}.personal(personalization).to_state();
    state.update(std::string_view(pedersen::SAPLING_URS, 64));
    state.update(tag);
    state.update(std::span<const std::uint8_t>(&counter, 1));
    const auto hash = state.finalize();
    std::array<std::uint8_t, 32> out;
    std::copy(hash.as_bytes().begin(), hash.as_bytes().end(), out.begin());
    return out;
}

Bytes tag(std::uint32_t i) {
    return {std::uint8_t(i), std::uint8_t(i >> 8), std::uint8_t(i >> 16), std::uint8_t(i >> 24)};
}

// u² for a candidate v on -u² + v² = 1 + d·u²·v².
mpz_class u_squared(const mpz_class& v) {
    const mpz_class v2 = v * v;
    return reference::mod((v2 - 1) * reference::inverse(reference::mod(d * v2 + 1, q), q), q);
}

std::array<std::uint8_t, 32> digest_of(const mpz_class& v, bool sign) {
    auto digest = reference::to_le_bytes(v);
    if (sign) digest[31] |= 0x80;
    return digest;
}

bool in_prime_subgroup(JubjubPoint p) {
    p.mul_bigint(JubjubFr::MODULUS);
    return p.is_identity();
}

// Σ over chunks i of enc(chunk i)·16^(i mod 63)·G_(i/63): the digits of each
// segment are summed as an integer, then multiplied onto its base point once.
JubjubPoint expected_hash(const Bytes& data, const std::vector<JubjubPoint>& bases) {
    const std::size_t bits = data.size() * 8, chunks = (bits + 2) / 3;
    auto bit = [&](std::size_t i) { return i < bits ? (data[i / 8] >> (i % 8)) & 1 : 0; };
    std::vector<mpz_class> digits((chunks + 62) / 63);
    for (std::size_t i = 0; i < chunks; ++i) {
        const int value = (1 + bit(3 * i) + 2 * bit(3 * i + 1)) * (1 - 2 * bit(3 * i + 2));
        digits[i / 63] += value * (mpz_class(1) << (4 * (i % 63)));
    }
    auto sum = JubjubPoint::identity();
    for (std::size_t s = 0; s < digits.size(); ++s) {
        JubjubPoint term = bases.at(s);
        term.mul_assign(reference::element<JubjubFr>(digits[s]));
        sum.add_assign(term);
    }
    return sum;
}

// What the hasher returns for the sum: u, 32 bytes little-endian.
std::array<std::uint8_t, 32> u_bytes(const JubjubPoint& sum) { return algebra::field_to_bytes(sum.to_affine().x); }

std::vector<JubjubPoint> default_bases(std::size_t count) {
    std::vector<JubjubPoint> bases;
    for (std::uint32_t s = 0; s < count; ++s)
        bases.push_back(s < 6 ? JubjubPoint::from_affine(pedersen::SAPLING_GENERATORS[s])
                              : pedersen::find_group_hash(pedersen::SAPLING_PERSONALIZATION, tag(s)));
    return bases;
}

TEST(GroupHash, DerivationReproducesTheDefaultGenerators) {
    for (std::uint32_t s = 0; s < 6; ++s) {
        const JubjubPoint p = pedersen::find_group_hash(pedersen::SAPLING_PERSONALIZATION, tag(s));
        EXPECT_EQ(p.to_affine(), pedersen::SAPLING_GENERATORS[s]) << s;
        EXPECT_TRUE(in_prime_subgroup(p)) << s;
    }
}

// Segment 0 of "Zcash_PH" is found at counter 5: 1 is out of range, and the
// others decode to a u² that has no root (Legendre symbol -1).
TEST(GroupHash, CounterSearchForSegmentZero) {
    for (std::uint8_t counter = 0; counter < 5; ++counter) {
        const auto digest = group_hash_digest(pedersen::SAPLING_PERSONALIZATION, tag(0), counter);
        EXPECT_FALSE(pedersen::group_hash_point(digest)) << int{counter};
        mpz_class v;
        mpz_import(v.get_mpz_t(), 32, -1, 1, 0, 0, digest.data());
        mpz_clrbit(v.get_mpz_t(), 255);
        ASSERT_EQ(v >= q, counter == 1) << int{counter};
        if (counter != 1) {
            EXPECT_EQ(mpz_legendre(u_squared(v).get_mpz_t(), q.get_mpz_t()), -1) << int{counter};
        }
    }
    const auto point = pedersen::group_hash_point(group_hash_digest(pedersen::SAPLING_PERSONALIZATION, tag(0), 5));
    ASSERT_TRUE(point);
    EXPECT_EQ(point->to_affine(), pedersen::SAPLING_GENERATORS[0]);
}

TEST(GroupHash, SignBitPicksTheParityOfUAndVIsNotReduced) {
    mpz_class v = 2;
    while (mpz_legendre(u_squared(v).get_mpz_t(), q.get_mpz_t()) != 1) ++v;
    const JubjubFq root = *algebra::recover_x_vartime<algebra::JubjubConfig>(reference::element<JubjubFq>(v));
    for (const bool sign : {false, true}) {
        mpz_class u = reference::value(root);
        if (mpz_odd_p(u.get_mpz_t()) != static_cast<int>(sign)) u = q - u;
        JubjubPoint want = JubjubPoint::from_affine({reference::element<JubjubFq>(u), reference::element<JubjubFq>(v)});
        want.mul_bigint(algebra::BigInt<4>::from_u64(8));

        const auto got = pedersen::group_hash_point(digest_of(v, sign));
        ASSERT_TRUE(got) << sign;
        EXPECT_EQ(*got, want) << sign;
        EXPECT_TRUE(in_prime_subgroup(*got));
        // q + v still has bit 255 clear; reducing it would accept v.
        EXPECT_FALSE(pedersen::group_hash_point(digest_of(q + v, sign))) << sign;
    }
}

TEST(GroupHash, PointsOfSmallOrderAreRejected) {
    // v = ±1 give u = 0, and v = 0 a point of order 4: all vanish under the cofactor.
    for (const mpz_class& v : {mpz_class(1), mpz_class(q - 1), mpz_class(0)})
        for (const bool sign : {false, true}) EXPECT_FALSE(pedersen::group_hash_point(digest_of(v, sign))) << v << sign;
}

TEST(GroupHash, Personalizations) {
    const Bytes empty_tag;
    EXPECT_EQ(fault_of([&] { pedersen::find_group_hash(bytes("Zcash_PHX"), empty_tag); }),
              "Bad personalization length: 9");
    EXPECT_EQ(pedersen::find_group_hash(bytes("Zcash_"), tag(3)),
              pedersen::find_group_hash(Bytes{'Z', 'c', 'a', 's', 'h', '_', 0, 0}, tag(3)));
    for (const Bytes& personalization : {Bytes{}, bytes("Zcash_PH")}) {
        const JubjubPoint p = pedersen::find_group_hash(personalization, empty_tag);
        EXPECT_FALSE(p.is_identity());
        EXPECT_TRUE(in_prime_subgroup(p));
    }
    EXPECT_FALSE(pedersen::find_group_hash(Bytes{}, tag(0)) == pedersen::find_group_hash(bytes("Zcash_PH"), tag(0)));
}

class SaplingHashes : public testing::TestWithParam<std::size_t> {};

TEST_P(SaplingHashes, EqualTheIndependentSum) {
    const std::size_t n = GetParam();
    ZcashPedersen hasher;
    bool first = true;
    for (const Bytes& data : {Bytes(n, 0x00), Bytes(n, 0xFF), random_bytes(n, static_cast<std::uint32_t>(n))}) {
        const std::size_t segments = (8 * n + 188) / 189;
        EXPECT_EQ(hasher.hash(data), u_bytes(expected_hash(data, default_bases(segments)))) << n;
        // Six are built in; the others when an input needs them a second time.
        EXPECT_EQ(hasher.tabled_end(), first ? 6 : std::max<std::size_t>(segments, 6));
        first = false;
    }
}

// The empty input (u = 0, one table), and around the segment boundaries:
// 23/24 bytes (62/64 chunks), 141/142 bytes (the last built-in generator /
// the first derived base point).
INSTANTIATE_TEST_SUITE_P(Lengths, SaplingHashes, testing::Values(0, 1, 2, 3, 23, 24, 47, 141, 142, 200));

TEST(ZcashPedersen, CachedTablesDoNotChangeResults) {
    const Bytes long_input = random_bytes(300, 7), short_input = random_bytes(5, 8);
    ZcashPedersen used;
    const auto long_hash = used.hash(long_input);
    EXPECT_EQ(used.hash(long_input), long_hash);  // now from tables
    EXPECT_EQ(used.hash(short_input), ZcashPedersen().hash(short_input));
    EXPECT_EQ(used.tabled_end(), 13u);  // tables only grow
    EXPECT_EQ(used.hash(long_input), long_hash);
}

TEST(ZcashPedersen, OtherPersonalizationsDeriveEveryBasePoint) {
    const std::array<std::uint8_t, 8> personalization = {'T', 'a', 'm', 'a', 'r', 'i', 'n', 'd'};
    ZcashPedersen hasher(personalization);
    EXPECT_EQ(hasher.bases().shared_segments(), 0u);
    const Bytes data = random_bytes(142, 142);
    std::vector<JubjubPoint> bases;
    for (std::uint32_t s = 0; s < 7; ++s) bases.push_back(pedersen::find_group_hash(personalization, tag(s)));
    EXPECT_EQ(hasher.hash(data), u_bytes(expected_hash(data, bases)));
    for (std::size_t s = 0; s < 7; ++s) {
        EXPECT_EQ(hasher.bases().base_vartime(s), bases[s]) << s;
        if (s < 6) {
            EXPECT_FALSE(bases[s].to_affine() == pedersen::SAPLING_GENERATORS[s]) << s;
        }
    }
}

}  // namespace
