// The configurable hashers against sums formed independently: base points by
// scalar multiplication of the curve generator, multiples by scalar
// multiplication, never through the tables or hash_bits under test.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "quern/instances.hpp"

namespace {

using quern::Deterministic;
using quern::instances::BabyJubjubPedersen;
using quern::instances::JubjubBoweHopwood;

template <class Hasher>
using Point = typename Hasher::Point;

template <class Hasher>
Point<Hasher> base(std::uint64_t index) {
    const std::uint64_t k = ((quern::Seed<Hasher>::value + index) * 0x9E3779B97F4A7C15ull) | 1;
    auto p = Point<Hasher>::generator();
    p.mul_assign(Point<Hasher>::ScalarField::from(k));
    return p;
}

template <class P>
P times(P p, std::int64_t c) {
    const std::uint64_t magnitude = c < 0 ? -static_cast<std::uint64_t>(c) : static_cast<std::uint64_t>(c);
    p.mul_assign(P::ScalarField::from(magnitude));
    return c < 0 ? -p : p;
}

// A sum Σ coefficient·P_segment.
using Terms = std::vector<std::pair<std::int64_t, std::uint64_t>>;

template <class Hasher>
Point<Hasher> expected_sum(const Terms& terms) {
    auto sum = Point<Hasher>::identity();
    for (const auto& [coefficient, segment] : terms) sum.add_assign(times(base<Hasher>(segment), coefficient));
    return sum;
}

struct Case {
    std::uint64_t segments, per_segment;
    std::vector<std::uint8_t> input;
    Terms terms;
};

std::string fault_of(auto&& call) {
    try {
        call();
    } catch (const algebra::Fault& fault) {
        return fault.what();
    }
    return "no fault";
}

TEST(Deterministic, ScalarsAreOddAndWrapModulo64Bits) {
    EXPECT_EQ(Deterministic::scalar(0xBABE0001, 0), 0xbc601128d8e07c15ull);
    EXPECT_EQ(Deterministic::scalar(0xBABE0001, 1), 0x5a978ae2582af82bull);
    EXPECT_EQ(Deterministic::scalar(0x5A170002, 0), 0x62d992c38677f82bull);
    // The product wraps and leaves a 57-bit scalar: leading zeros are skipped.
    EXPECT_EQ(Deterministic::scalar(0x5A170002, 1), 0x01110c7d05c2743full);
}

TEST(Parameters, SegmentsHoldPowersSpacedByThePowerStep) {
    const auto hasher = JubjubBoweHopwood::build(2, 3);
    const auto& parameters = hasher.parameters;
    ASSERT_EQ(parameters.segment_count(), 2u);
    for (std::uint64_t i = 0; i < 2; ++i) {
        const auto segment = parameters.segment(i);
        ASSERT_EQ(segment.size(), 3u);
        const auto p = base<JubjubBoweHopwood>(i);
        EXPECT_EQ(segment[0], p);
        EXPECT_EQ(segment[1], times(p, 16));
        EXPECT_EQ(segment[2], times(p, 256));
    }
    EXPECT_TRUE(parameters.identity.is_identity());

    const auto baby = BabyJubjubPedersen::build(1, 4);
    const auto p = base<BabyJubjubPedersen>(0);
    for (std::int64_t j = 0; j < 4; ++j) EXPECT_EQ(baby.parameters.segment(0)[j], times(p, std::int64_t{1} << j));
    EXPECT_FALSE(p == Point<BabyJubjubPedersen>::generator());
}

TEST(Parameters, EmptySegmentsHoldNoPowers) {
    EXPECT_EQ(BabyJubjubPedersen::build(0, 8).parameters.segment_count(), 0u);
    const auto empty = JubjubBoweHopwood::build(5, 0);
    EXPECT_EQ(empty.parameters.segment_count(), 5u);
    EXPECT_TRUE(empty.parameters.powers.empty());
    for (std::size_t i = 0; i < 5; ++i) EXPECT_TRUE(empty.parameters.segment(i).empty());
}

TEST(Parameters, UnevenSegmentSizesKeepChunkOrder) {
    const Deterministic source{quern::Seed<JubjubBoweHopwood>::value};
    const std::vector<std::size_t> sizes = {2, 0, 1};
    const auto parameters =
        quern::Parameters<Point<JubjubBoweHopwood>>::with_segment_sizes<quern::BoweHopwood>(source, sizes);
    ASSERT_EQ(parameters.powers.size(), 3u);
    EXPECT_EQ(parameters.powers[0], base<JubjubBoweHopwood>(0));
    EXPECT_EQ(parameters.powers[1], times(base<JubjubBoweHopwood>(0), 16));
    EXPECT_EQ(parameters.powers[2], base<JubjubBoweHopwood>(2));
    EXPECT_TRUE(parameters.segment(1).empty());
}

TEST(Parameters, UnrepresentableTablesFaultBeforeAnyArithmetic) {
    for (const auto& [segments, per_segment] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{
             {1, std::uint64_t{1} << 60}, {std::uint64_t{1} << 32, std::uint64_t{1} << 32}, {~0ull, 1}, {~0ull, 0}}) {
        // Captured by copy: clang 14 cannot capture structured bindings.
        EXPECT_EQ(fault_of([s = segments, n = per_segment] { BabyJubjubPedersen::build(s, n); }), "capacity overflow")
            << segments << " x " << per_segment;
    }
}

TEST(LsbFirst, ReadsLeastSignificantBitFirst) {
    const std::vector<std::uint8_t> bytes = {0x01, 0x80};
    const auto bits = quern::LsbFirst::expand(bytes);
    ASSERT_EQ(bits.size(), 16u);
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(bits[i], i == 0 || i == 15) << i;
}

TEST(BoweHopwood, ChunkValuesAreSignedOneToFour) {
    const auto p = base<JubjubBoweHopwood>(0);
    const std::int64_t values[8] = {1, 2, 3, 4, -1, -2, -3, -4};  // b0 + 2·b1 + 4·b2 = index
    for (int index = 0; index < 8; ++index) {
        const bool chunk[3] = {(index & 1) != 0, (index & 2) != 0, (index & 4) != 0};
        EXPECT_EQ(quern::BoweHopwood::contribute(std::span<const bool>(chunk), p), times(p, values[index])) << index;
        EXPECT_EQ(quern::BoweHopwood::digit(std::span<const bool>(chunk)), values[index]) << index;
    }
}

class BabyJubjubHashes : public testing::TestWithParam<Case> {};
class BoweHopwoodHashes : public testing::TestWithParam<Case> {};

TEST_P(BabyJubjubHashes, EqualTheIndependentSum) {
    const auto& c = GetParam();
    const auto got = BabyJubjubPedersen::build(c.segments, c.per_segment).hash(c.input);
    const auto want = expected_sum<BabyJubjubPedersen>(c.terms).to_affine();
    EXPECT_EQ(got, want);
    EXPECT_EQ(got.to_compressed()[31] >> 7, want.x.is_greater_than_negation() ? 1 : 0);
}

TEST_P(BoweHopwoodHashes, EqualTheIndependentSum) {
    const auto& c = GetParam();
    const auto got = JubjubBoweHopwood::build(c.segments, c.per_segment).hash(c.input);
    EXPECT_EQ(got, expected_sum<JubjubBoweHopwood>(c.terms).to_affine().x);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, BabyJubjubHashes,
    testing::Values(Case{0, 0, {}, {}}, Case{3, 8, {}, {}}, Case{1, 8, {0x01}, {{1, 0}}},
                    Case{1, 8, {0xFF}, {{255, 0}}}, Case{2, 8, {0x03, 0x80}, {{3, 0}, {128, 1}}},
                    Case{2, 8, {0x01, 0x00}, {{1, 0}}}, Case{4, 8, {0x01}, {{1, 0}}},
                    Case{1, 16, {0x34, 0x12}, {{0x1234, 0}}},
                    Case{4, 5, {0xFF, 0xFF}, {{31, 0}, {31, 1}, {31, 2}, {1, 3}}}));

INSTANTIATE_TEST_SUITE_P(
    Examples, BoweHopwoodHashes,
    testing::Values(Case{0, 0, {}, {}}, Case{1, 3, {0x00}, {{273, 0}}}, Case{1, 3, {0xFF}, {{956, 0}}},
                    Case{2, 2, {0x00}, {{17, 0}, {1, 1}}}, Case{2, 2, {0xFF}, {{-68, 0}, {4, 1}}},
                    Case{4, 3, {0x00}, {{273, 0}}}, Case{1, 8, {0x00}, {{273, 0}}},
                    // 0x05 0x00 read LSB first: chunks 101 000 00|0 000 000 0(00) → -2, +1, +1, +1, +1, +1
                    Case{1, 6, {0x05, 0x00}, {{-2 + 16 + 256 + 4096 + 65536 + 1048576, 0}}}));

TEST(Capacity, ExactCapacityIsAcceptedAndOneMoreChunkFaults) {
    const std::vector<std::uint8_t> one = {0xAB}, two = {0xAB, 0xCD};
    EXPECT_NO_THROW(BabyJubjubPedersen::build(1, 8).hash(one));
    EXPECT_NO_THROW(JubjubBoweHopwood::build(1, 3).hash(one));
    EXPECT_EQ(fault_of([&] { BabyJubjubPedersen::build(1, 8).hash(two); }),
              "input of 16 bits needs 16 chunks but only 8 generator powers are available");
    EXPECT_EQ(fault_of([&] { JubjubBoweHopwood::build(1, 3).hash(two); }),
              "input of 16 bits needs 6 chunks but only 3 generator powers are available");
    EXPECT_EQ(fault_of([&] { BabyJubjubPedersen::build(0, 0).hash(one); }),
              "input of 8 bits needs 8 chunks but only 0 generator powers are available");
}

TEST(Capacity, ARefusedInputLeavesTheHasherUsable) {
    const auto hasher = JubjubBoweHopwood::build(1, 3);
    const std::vector<std::uint8_t> two = {0, 0}, one = {0};
    EXPECT_THROW(hasher.hash(two), algebra::Fault);
    EXPECT_EQ(hasher.hash(one), expected_sum<JubjubBoweHopwood>({{273, 0}}).to_affine().x);
}

}  // namespace
