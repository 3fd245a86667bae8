// The hash engine and the configurable hashers against sums formed
// independently: base points by scalar multiplication of the curve generator,
// chunk digits summed as integers (GMP) and multiplied onto the base point
// once, never through the tables, lookups or Horner rows under test.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "algebra/encoding.hpp"
#include "algebra_reference.hpp"
#include "constructions/configurable.hpp"
#include "pedersen/caching_pedersen.hpp"
#include "test_support.hpp"

namespace {

using pedersen::BabyJubjubPedersen, pedersen::JubjubBoweHopwood, test_support::Bytes, test_support::fault_of;

// Points of the published models, where the expected sums are formed.
using JubjubPoint = algebra::Projective<algebra::JubjubConfig>;
using BabyPoint = algebra::Projective<algebra::BabyJubjubConfig>;

template <class P>
P times(P p, const mpz_class& k) {
    p.mul_bigint(reference::to_bigint(reference::mod(k, reference::modulus<typename P::ScalarField>())));
    return p;
}

template <class P>
P base(std::uint64_t seed, std::uint64_t index) {
    const std::uint64_t k = ((seed + index) * 0x9E3779B97F4A7C15ull) | 1;
    return times(P::generator(), mpz_class(std::to_string(k)));
}

// Σ_s (Σ_j value(chunk j of segment s)·2^(step·j))·base(s), for chunks of
// `width` bits read least significant bit first.
template <class P>
P expected_sum(const Bytes& data, unsigned width, unsigned step, std::uint64_t per_segment, auto value, auto base_of) {
    const std::uint64_t bits = 8 * data.size(), chunks = (bits + width - 1) / width;
    const auto bit = [&](std::uint64_t i) { return i < bits ? (data[i / 8] >> (i % 8)) & 1 : 0; };
    P sum = P::identity();
    for (std::uint64_t first = 0, s = 0; first < chunks; first += per_segment, ++s) {
        mpz_class digits = 0;
        for (std::uint64_t j = 0; j < per_segment && first + j < chunks; ++j) {
            unsigned chunk = 0;
            for (unsigned b = 0; b < width; ++b) chunk |= bit((first + j) * width + b) << b;
            digits += mpz_class(value(chunk)) << (step * j);
        }
        sum.add_assign(times(base_of(s), digits));
    }
    return sum;
}

Bytes expected_baby(std::uint64_t per_segment, const Bytes& data) {
    const auto sum = expected_sum<BabyPoint>(data, 1, 1, per_segment, pedersen::Unsigned::value,
                                             [](std::uint64_t s) { return base<BabyPoint>(0xBABE0001, s); });
    const auto bytes = algebra::compressed_point(sum.to_affine());
    return Bytes(bytes.begin(), bytes.end());
}

Bytes expected_bowe_hopwood(std::uint64_t per_segment, const Bytes& data) {
    const auto sum = expected_sum<JubjubPoint>(data, 3, 4, per_segment, pedersen::BoweHopwood::value,
                                               [](std::uint64_t s) { return base<JubjubPoint>(0x5A170002, s); });
    const auto bytes = algebra::field_to_bytes(sum.to_affine().x);
    return Bytes(bytes.begin(), bytes.end());
}

template <class H>
Bytes hash_of(H&& hasher, const Bytes& data) {
    const auto out = hasher.hash(data);
    return Bytes(out.begin(), out.end());
}

TEST(Deterministic, ScalarsAreOddAndWrapModulo64Bits) {
    EXPECT_EQ(BabyJubjubPedersen::scalar(0), 0xbc601128d8e07c15ull);
    EXPECT_EQ(BabyJubjubPedersen::scalar(1), 0x5a978ae2582af82bull);
    EXPECT_EQ(JubjubBoweHopwood::scalar(0), 0x62d992c38677f82bull);
    // The product wraps and leaves a 57-bit scalar: leading zeros are skipped.
    EXPECT_EQ(JubjubBoweHopwood::scalar(1), 0x01110c7d05c2743full);
}

// Every input length up to the capacity and past segment and group
// boundaries, for sizes whose segments end inside a lookup group, and
// segments longer than one slice of table building or of summing.
TEST(ConfigurableHashes, EqualTheIndependentSumForEveryLength) {
    std::uint64_t seed = 1;
    for (const auto& [segments, per_segment] :
         std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, 8},
                                                              {2, 8},
                                                              {3, 7},
                                                              {4, 5},
                                                              {2, 16},
                                                              {1, 64},
                                                              {3, 1},
                                                              {1, pedersen::build_slice_chunks + 7},
                                                              {1, pedersen::checkpoint_chunks + 9}}) {
        const auto baby = BabyJubjubPedersen::build(segments, per_segment);
        for (std::uint64_t n = 0; 8 * n <= segments * per_segment; ++n)
            for (const Bytes& data : {Bytes(n, 0xFF), test_support::random_bytes(n, seed++)})
                ASSERT_EQ(hash_of(baby, data), expected_baby(per_segment, data)) << segments << "x" << per_segment;
    }
    for (const auto& [segments, per_segment] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{
             {1, 3}, {2, 2}, {3, 5}, {2, 63}, {5, 1}, {1, pedersen::build_slice_chunks + 5}}) {
        const auto bowe = JubjubBoweHopwood::build(segments, per_segment);
        for (std::uint64_t n = 0; 8 * n <= 3 * segments * per_segment; ++n)
            for (const Bytes& data : {Bytes(n, 0x00), Bytes(n, 0xFF), test_support::random_bytes(n, seed++)})
                ASSERT_EQ(hash_of(bowe, data), expected_bowe_hopwood(per_segment, data))
                    << segments << "x" << per_segment;
    }
}

// The worked examples: 0x00 on three powers is 273·P, 0xFF is 956·P.
TEST(ConfigurableHashes, WorkedExamples) {
    const auto p0 = base<JubjubPoint>(0x5A170002, 0), p1 = base<JubjubPoint>(0x5A170002, 1);
    const auto x_of = [](const JubjubPoint& p) {
        const auto b = algebra::field_to_bytes(p.to_affine().x);
        return Bytes(b.begin(), b.end());
    };
    EXPECT_EQ(hash_of(JubjubBoweHopwood::build(1, 3), Bytes{0x00}), x_of(times(p0, 273)));
    EXPECT_EQ(hash_of(JubjubBoweHopwood::build(1, 3), Bytes{0xFF}), x_of(times(p0, 956)));
    EXPECT_EQ(hash_of(JubjubBoweHopwood::build(2, 2), Bytes{0xFF}), x_of(times(p0, -68) + times(p1, 4)));
    const auto b0 = base<BabyPoint>(0xBABE0001, 0);
    const auto compressed = [](const BabyPoint& p) {
        const auto b = algebra::compressed_point(p.to_affine());
        return Bytes(b.begin(), b.end());
    };
    EXPECT_EQ(hash_of(BabyJubjubPedersen::build(1, 8), Bytes{0x01}), compressed(b0));
    EXPECT_EQ(hash_of(BabyJubjubPedersen::build(4, 8), Bytes{0xFF}), compressed(times(b0, 255)));
    Bytes identity(32, 0);
    identity[0] = 1;
    EXPECT_EQ(hash_of(BabyJubjubPedersen::build(0, 0), Bytes{}), identity);
    EXPECT_EQ(hash_of(JubjubBoweHopwood::build(0, 0), Bytes{}), Bytes(32, 0));
}

// Entry m - 1 of chunk j's group is m·16^j·P: four multiples per chunk.
TEST(ConfigurableTables, HoldTheMultiplesOfEachChunkPower) {
    const auto hasher = JubjubBoweHopwood::build(2, 3);
    EXPECT_EQ(hasher.table_bytes(), 2 * 3 * 4 * sizeof(JubjubBoweHopwood::Entry));
    for (std::uint64_t s = 0; s < 2; ++s) {
        const auto table = hasher.table(s);
        ASSERT_EQ(table.size(), 12u);
        const auto p = JubjubBoweHopwood::base_vartime(s);
        EXPECT_EQ(p, base<JubjubPoint>(0x5A170002, s));
        for (int j = 0; j < 3; ++j)
            for (int m = 1; m <= 4; ++m)
                EXPECT_EQ(table[4 * j + m - 1].to_affine(), times(p, mpz_class(m) << (4 * j)).to_affine()) << s;
    }
}

TEST(ConfigurableTables, EmptySegmentsHoldAndDeriveNothing) {
    for (const std::uint64_t segments :
         {std::uint64_t{0}, std::uint64_t{5}, std::numeric_limits<std::uint64_t>::max()}) {
        const auto empty = BabyJubjubPedersen::build(segments, 0);
        EXPECT_EQ(empty.table_bytes(), 0u);
        EXPECT_EQ(fault_of([&] { (void)empty.hash(Bytes{1}); }),
                  "input of 8 bits needs 8 chunks but only 0 generator powers are available");
    }
}

TEST(ConfigurableTables, UnrepresentableTablesFaultBeforeAnyArithmetic) {
    for (const auto& sizes :
         std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, std::uint64_t{1} << 60},
                                                              {std::uint64_t{1} << 32, std::uint64_t{1} << 32},
                                                              {~0ull, 1},
                                                              {~0ull, ~0ull}}) {
        const std::uint64_t segments = sizes.first, per_segment = sizes.second;  // clang 14 cannot capture bindings
        EXPECT_EQ(fault_of([=] { BabyJubjubPedersen::build(segments, per_segment); }), "capacity overflow")
            << segments << " x " << per_segment;
        EXPECT_EQ(fault_of([=] { JubjubBoweHopwood::build(segments, per_segment); }), "capacity overflow")
            << segments << " x " << per_segment;
    }
}

TEST(Capacity, ExactCapacityIsAcceptedAndOneMoreChunkFaults) {
    const Bytes one = {0xAB}, two = {0xAB, 0xCD};
    EXPECT_EQ(fault_of([&] { (void)BabyJubjubPedersen::build(1, 8).hash(one); }), "no fault");
    EXPECT_EQ(fault_of([&] { (void)JubjubBoweHopwood::build(1, 3).hash(one); }), "no fault");
    EXPECT_EQ(fault_of([&] { (void)BabyJubjubPedersen::build(1, 8).hash(two); }),
              "input of 16 bits needs 16 chunks but only 8 generator powers are available");
    EXPECT_EQ(fault_of([&] { (void)JubjubBoweHopwood::build(1, 3).hash(two); }),
              "input of 16 bits needs 6 chunks but only 3 generator powers are available");
    // A refused input leaves the hasher usable.
    const auto hasher = JubjubBoweHopwood::build(1, 3);
    EXPECT_THROW((void)hasher.hash(two), fault::Fault);
    EXPECT_EQ(hash_of(hasher, Bytes{0}), expected_bowe_hopwood(3, Bytes{0}));
}

// ---- the caching engine, on small segments so that every path is short ----

// Base points k·G for k = segment + 2, on Jubjub; none shared.
struct SmallBases {
    JubjubPoint base_vartime(std::uint64_t segment) const { return times(JubjubPoint::generator(), segment + 2); }
    static constexpr std::uint64_t shared_segments() { return 0; }
    std::span<const algebra::Niels<algebra::JubjubConfig>> shared_table(std::uint64_t) const { return {}; }
};

template <class E, unsigned K, std::uint64_t C>
struct SmallDefinition {
    using Curve = algebra::JubjubConfig;
    using Encoding = E;
    static constexpr unsigned chunks_per_lookup = K;
    static constexpr std::uint64_t chunks_per_segment = C;
    static constexpr algebra::Bytes32 encode(const algebra::Affine<Curve>& p) { return algebra::field_to_bytes(p.x); }
};

template <class Def>
void check_every_path() {
    using Hasher = pedersen::CachingPedersen<Def, SmallBases>;
    using E = typename Def::Encoding;
    const auto expected = [](const Bytes& data) {
        const auto sum =
            expected_sum<JubjubPoint>(data, E::chunk_bits, E::power_step, Def::chunks_per_segment, E::value,
                                      [](std::uint64_t s) { return SmallBases{}.base_vartime(s); });
        const auto b = algebra::field_to_bytes(sum.to_affine().x);
        return Bytes(b.begin(), b.end());
    };
    // Caps: everything in full tables; nothing kept (every segment summed by
    // Horner's rule from base points derived in the call); and three full
    // tables (three quarters of the cap), then multiples tables in the last
    // quarter, the rest derived.
    const std::size_t cap = 4 * (Hasher::table_bytes_per_segment + sizeof(std::vector<typename Hasher::Entry>));
    Hasher large(SmallBases{}, std::size_t{1} << 30), none(SmallBases{}, 0), small(SmallBases{}, cap);
    std::uint64_t seed = 100;
    for (std::size_t n = 0; n < 40; ++n) {
        for (const Bytes& data : {Bytes(n, 0xFF), test_support::random_bytes(n, seed++)}) {
            const Bytes want = expected(data);
            ASSERT_EQ(hash_of(large, data), want) << n;
            ASSERT_EQ(hash_of(none, data), want) << n;
            ASSERT_EQ(hash_of(small, data), want) << n;
        }
    }
    EXPECT_EQ(none.cached_bytes(), 0u);
    EXPECT_EQ(small.tabled_end(), 3u);
    EXPECT_LE(small.cached_bytes(), cap);
    EXPECT_GT(small.cached_end(), small.tabled_end());
}

TEST(CachingEngine, EveryPathGivesTheIndependentSum) {
    check_every_path<SmallDefinition<pedersen::BoweHopwood, 2, 5>>();  // segments end inside a group
    check_every_path<SmallDefinition<pedersen::BoweHopwood, 2, 4>>();
    check_every_path<SmallDefinition<pedersen::BoweHopwood, 3, 7>>();
    check_every_path<SmallDefinition<pedersen::Circom, 1, 3>>();
    check_every_path<SmallDefinition<pedersen::Circom, 2, 3>>();
    check_every_path<SmallDefinition<pedersen::Unsigned, 3, 10>>();
}

}  // namespace
