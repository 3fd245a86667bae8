// The field and curve templates instantiated over the two toy curves of
// toy_curves.hpp, checked against plain integer arithmetic modulo p on every
// element, every point and every pair of points.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "algebra/bigint.hpp"
#include "algebra/cpu.hpp"
#include "algebra/curve.hpp"
#include "algebra/encoding.hpp"
#include "algebra/field.hpp"
#include "algebra/niels.hpp"
#include "toy_curves.hpp"

namespace {

using algebra::Affine;
using algebra::BigInt;
using algebra::Niels;
using algebra::Projective;
using toy::affine_point, toy::integer, toy::scaled_point, toy::to_point;
using toy::GeneralCurve, toy::MinusOneCurve, toy::Point, toy::u64;

constexpr std::uint64_t ALL_ONES = ~std::uint64_t{0};

// ---- the test matrix: both curves, both multiplies -----------------------

template <class C, bool Fast, bool Avx2 = true>
struct Setup {
    using Curve = C;
    static constexpr bool fast = Fast;
    static constexpr bool avx2 = Avx2;
};

template <class S>
class Exhaustive : public ::testing::Test {
  protected:
    using C = typename S::Curve;
    using F = typename C::BaseField;
    using Fr = typename C::ScalarField;
    static constexpr u64 p = C::p;
    const toy::Group<C>& g = toy::group<C>();

    void SetUp() override {
        if (algebra::set_fast_multiply(S::fast) != S::fast) GTEST_SKIP() << "processor lacks MULX/ADX";
    }
    void TearDown() override { algebra::set_fast_multiply(true); }
};

struct SetupName {
    template <class S>
    static std::string GetName(int) {
        return std::string(std::is_same_v<typename S::Curve, MinusOneCurve> ? "MinusOneCurve" : "GeneralCurve") +
               (S::fast ? "_asm" : "_portable") + (S::avx2 ? "" : "_no_avx2");
    }
};

using Setups = ::testing::Types<Setup<MinusOneCurve, true>, Setup<MinusOneCurve, false>, Setup<GeneralCurve, true>,
                                Setup<GeneralCurve, false>>;
TYPED_TEST_SUITE(Exhaustive, Setups, SetupName);

// Every operation on every pair of elements, in the base and the scalar field.
template <class F>
void check_every_pair(u64 p) {
    const u64 half = (p - 1) / 2;
    std::vector<F> elements;
    for (u64 v = 0; v < p; ++v) {
        const std::optional<F> element = F::from_bigint(BigInt<4>::from_u64(v));
        ASSERT_TRUE(element && *element == F::from(v));
        ASSERT_EQ(integer(*element), v);
        elements.push_back(*element);
    }
    EXPECT_FALSE(F::from_bigint(BigInt<4>::from_u64(p)));
    EXPECT_TRUE(F::from(1).is_one() && F::from(0).is_zero());
    for (u64 a = 0; a < p; ++a) {
        const F& x = elements[a];
        ASSERT_EQ(integer(-x), (p - a) % p) << a;
        ASSERT_EQ(integer(x.double_()), 2 * a % p) << a;
        ASSERT_EQ(integer(x.square()), a * a % p) << a;
        ASSERT_EQ(x.is_greater_than_negation(), a > half ? 1u : 0u) << a;
        ASSERT_EQ(x.conditional_negate(ALL_ONES), -x) << a;
        ASSERT_EQ(x.conditional_negate(0), x) << a;
        // Both inversions; the constant-time one maps zero to zero.
        const std::optional<F> inverse_of = x.inverse_vartime();
        ASSERT_EQ(inverse_of.has_value(), a != 0) << a;
        ASSERT_EQ(integer(x.invert()), a == 0 ? 0 : toy::inverse(a, p)) << a;
        if (inverse_of) {
            ASSERT_EQ(integer(*inverse_of), toy::inverse(a, p)) << a;
        }
        for (u64 b = 0; b < p; ++b) {
            const F& y = elements[b];
            ASSERT_EQ(integer(x + y), (a + b) % p) << a << ", " << b;
            ASSERT_EQ(integer(x - y), (a + p - b) % p) << a << ", " << b;
            ASSERT_EQ(integer(x * y), a * b % p) << a << ", " << b;
            ASSERT_EQ(x == y, a == b);
            ASSERT_EQ(x <=> y, a <=> b);
            ASSERT_EQ(F::select(ALL_ONES, x, y), x);
            ASSERT_EQ(F::select(0, x, y), y);
        }
    }
}

TYPED_TEST(Exhaustive, FieldOperationsAgreeWithIntegersOnEveryPair) {
    using F = typename TestFixture::F;
    using Fr = typename TestFixture::Fr;
    check_every_pair<F>(TestFixture::p);
    check_every_pair<Fr>(TestFixture::C::q);
}

TYPED_TEST(Exhaustive, SquareRootsExistExactlyForSquares) {
    using F = typename TestFixture::F;
    constexpr u64 p = TestFixture::p;
    // Tonelli–Shanks is only right when its non-residue is one.
    ASSERT_EQ(toy::power(TestFixture::C::nonresidue, (p - 1) / 2, p), p - 1);
    std::vector<bool> square(p, false);
    for (u64 v = 0; v < p; ++v) square[v * v % p] = true;
    for (u64 v = 0; v < p; ++v) {
        const std::optional<F> root = F::from(v).sqrt_vartime();
        ASSERT_EQ(root.has_value(), square[v]) << v;
        if (root) {
            ASSERT_EQ(integer(root->square()), v) << v;
        }
    }
}

TYPED_TEST(Exhaustive, CurveMembershipCountAndGenerator) {
    using C = typename TestFixture::C;
    using F = typename TestFixture::F;
    constexpr u64 p = TestFixture::p;
    const auto& g = this->g;
    ASSERT_EQ(g.size(), C::COFACTOR * C::q);
    ASSERT_EQ(g.points[0], (Point{0, 1}));
    for (u64 x = 0; x < p; ++x) {
        for (u64 y = 0; y < p; ++y) {
            ASSERT_EQ((Affine<C>{F::from(x), F::from(y)}.is_on_curve()), g.index({x, y}) != g.NONE) << x << ", " << y;
        }
    }
    // A y has points exactly when x can be recovered from it, and then the recovered x is one of them.
    for (u64 y = 0; y < p; ++y) {
        bool has_point = false;
        for (u64 x = 0; x < p; ++x) has_point = has_point || g.index({x, y}) != g.NONE;
        const std::optional<F> x = algebra::recover_x_vartime<C>(F::from(y));
        ASSERT_EQ(x.has_value(), has_point) << y;
        if (x) {
            ASSERT_NE(g.index({integer(*x), y}), g.NONE) << y;
        }
    }
    // The generator has prime order q.
    const Projective<C> generator = Projective<C>::generator();
    ASSERT_FALSE(generator.is_identity());
    const std::size_t start = g.index(to_point(generator));
    std::size_t order = 1;
    for (std::size_t multiple = start; multiple != 0; multiple = g.plus(multiple, start)) ++order;
    EXPECT_EQ(order, C::q);
}

// Not a property of the code under test, so checked once per curve rather than per multiply.
template <class C>
void check_reference_law_is_a_group() {
    const toy::Group<C>& g = toy::group<C>();
    const std::size_t n = g.size();
    // Every element is a sum ((s1 + s2) + ...) + sm of the torsion points and the
    // generator; associativity with each such s on the right for all pairs extends
    // to every right operand by induction on m, so these triples stand for all n³.
    std::vector<std::size_t> generating;
    for (std::size_t i = 0; i < n; ++i) {
        if (g.plus(g.plus(g.plus(i, i), g.plus(i, i)), g.plus(g.plus(i, i), g.plus(i, i))) == 0)
            generating.push_back(i);
    }
    ASSERT_EQ(generating.size(), C::COFACTOR);
    generating.push_back(g.index(to_point(Projective<C>::generator())));
    // The induction needs every element to be such a sum: search them out.
    std::vector<bool> reached(n, false);
    std::vector<std::size_t> frontier(generating);
    for (const std::size_t s : generating) reached[s] = true;
    while (!frontier.empty()) {
        const std::size_t k = frontier.back();
        frontier.pop_back();
        for (const std::size_t s : generating) {
            if (!reached[g.plus(k, s)]) reached[g.plus(k, s)] = true, frontier.push_back(g.plus(k, s));
        }
    }
    ASSERT_EQ(std::count(reached.begin(), reached.end(), true), static_cast<std::ptrdiff_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(g.plus(i, 0), i);
        ASSERT_EQ(g.plus(i, g.negation(i)), 0u);
        for (std::size_t j = 0; j < n; ++j) {
            const std::uint32_t ij = g.plus(i, j);
            ASSERT_EQ(ij, g.plus(j, i));
            for (const std::size_t s : generating) {
                ASSERT_EQ(g.plus(ij, s), g.plus(i, g.plus(j, s)));
            }
        }
    }
}

TEST(ExhaustiveReference, MinusOneCurveLawIsAGroup) { check_reference_law_is_a_group<MinusOneCurve>(); }
TEST(ExhaustiveReference, GeneralCurveLawIsAGroup) { check_reference_law_is_a_group<GeneralCurve>(); }

TYPED_TEST(Exhaustive, AdditionDoublingNegationAndEncodingOnEveryPair) {
    using C = typename TestFixture::C;
    const auto& g = this->g;
    const std::size_t n = g.size();
    // Per point: the Z = 1 form results are compared with, and a representative
    // with another Z for each side of a sum.
    std::vector<Projective<C>> normal, left, right;
    for (std::size_t i = 0; i < n; ++i) {
        normal.push_back(affine_point<C>(g.points[i]));
        left.push_back(scaled_point<C>(g.points[i], i));
        right.push_back(scaled_point<C>(g.points[i], 3 * i + 1));
    }
    for (std::size_t i = 0; i < n; ++i) {
        const Point& point = g.points[i];
        const std::uint32_t negation = g.negation(i), twice = g.plus(i, i);
        ASSERT_TRUE(left[i].has_valid_representation());
        ASSERT_EQ(to_point(left[i].to_affine()), point) << i;
        ASSERT_EQ(to_point(left[i].to_affine_vartime()), point) << i;
        ASSERT_EQ(left[i].is_identity(), i == 0);
        ASSERT_EQ(-left[i], normal[negation]);
        ASSERT_EQ(left[i].double_(), normal[twice]) << i;
        ASSERT_EQ(left[i] - right[i], normal[0]) << i;
        Projective<C> self_sum = left[i];
        self_sum += self_sum;  // reads both operands before writing
        ASSERT_EQ(self_sum, normal[twice]) << i;
        // The compressed form: y little-endian, the top bit of the last byte set for x > (p - 1)/2.
        const algebra::Bytes32 compressed = algebra::compressed_point(left[i].to_affine());
        algebra::Bytes32 expected_bytes{};
        expected_bytes[0] = static_cast<std::uint8_t>(point.y),
        expected_bytes[1] = static_cast<std::uint8_t>(point.y >> 8);
        expected_bytes[31] = point.x > (C::p - 1) / 2 ? 0x80 : 0;
        ASSERT_EQ(compressed, expected_bytes) << i;
        for (std::size_t j = 0; j < n; ++j) {
            ASSERT_EQ(left[i] == right[j], i == j) << i << ", " << j;
            ASSERT_EQ(left[i] + right[j], normal[g.plus(i, j)]) << i << ", " << j;
        }
    }
}

TYPED_TEST(Exhaustive, ScalarMultiplicationIsRepeatedAddition) {
    using C = typename TestFixture::C;
    using Fr = typename TestFixture::Fr;
    const auto& g = this->g;
    const std::size_t n = g.size();
    // Every point by the multipliers where double-and-add could go wrong: the
    // small ones, and those next to the subgroup and group orders.
    std::vector<u64> multipliers;
    for (u64 k = 0; k <= 2 * C::COFACTOR + 1; ++k) multipliers.push_back(k);
    for (const u64 k : {C::q - 1, C::q, C::q + 1, n - 1, n, n + 1, 2 * n + 5}) multipliers.push_back(k);
    for (std::size_t i = 0; i < n; ++i) {
        const Projective<C> base = scaled_point<C>(g.points[i], i);
        for (const u64 k : multipliers) {
            std::uint32_t expected = 0;
            for (u64 step = 0; step < k; ++step) expected = g.plus(expected, i);
            Projective<C> product = base;
            product.mul_bigint(BigInt<4>::from_u64(k));
            ASSERT_EQ(product, affine_point<C>(g.points[expected])) << i << " times " << k;
        }
    }
    // Every multiplier up to twice the group order, on points of the largest order there is.
    std::size_t widest = 0, widest_order = 1;
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t order = 1;
        for (std::size_t multiple = i; multiple != 0; multiple = g.plus(multiple, i)) ++order;
        if (order > widest_order) widest = i, widest_order = order;
    }
    for (const std::size_t i : {widest, static_cast<std::size_t>(g.index(to_point(Projective<C>::generator())))}) {
        const Projective<C> base = scaled_point<C>(g.points[i], i + 1);
        std::uint32_t expected = 0;
        for (u64 k = 0; k <= 2 * n; ++k, expected = g.plus(expected, i)) {
            Projective<C> product = base;
            product.mul_bigint(BigInt<4>::from_u64(k));
            ASSERT_EQ(product, affine_point<C>(g.points[expected])) << i << " times " << k;
        }
    }
    // Every point of the prime-order subgroup by every scalar.
    Projective<C> member = Projective<C>::identity();
    for (u64 m = 0; m < C::q; ++m, member += Projective<C>::generator()) {
        const std::uint32_t base = g.index(to_point(member));
        std::uint32_t expected = 0;
        for (u64 k = 0; k < C::q; ++k, expected = g.plus(expected, base)) {
            Projective<C> product = member;
            product.mul_assign(Fr::from(k));
            ASSERT_EQ(product, affine_point<C>(g.points[expected])) << m << "·G times " << k;
        }
    }
}

// The prepared form and everything built on it exist for a = -1 curves only.
template <class S>
class ExhaustiveMinusOne : public Exhaustive<S> {
  protected:
    void SetUp() override {
        Exhaustive<S>::SetUp();
        if (algebra::set_avx2_scan(S::avx2) != S::avx2) GTEST_SKIP() << "processor lacks AVX2";
    }
    void TearDown() override {
        Exhaustive<S>::TearDown();
        algebra::set_avx2_scan(true);
    }
};

// Each multiply and each table scan once.
using MinusOneSetups = ::testing::Types<Setup<MinusOneCurve, true, true>, Setup<MinusOneCurve, false, false>>;
TYPED_TEST_SUITE(ExhaustiveMinusOne, MinusOneSetups, SetupName);

TYPED_TEST(ExhaustiveMinusOne, MixedAdditionOnEveryPair) {
    using C = typename TestFixture::C;
    const auto& g = this->g;
    const std::size_t n = g.size();
    std::vector<Projective<C>> normal, left;
    std::vector<Niels<C>> prepared;
    for (std::size_t i = 0; i < n; ++i) {
        normal.push_back(affine_point<C>(g.points[i]));
        left.push_back(scaled_point<C>(g.points[i], 7 * i + 3));
        prepared.push_back(Niels<C>::from_affine(normal[i].to_affine_vartime()));
        ASSERT_EQ(to_point(prepared[i].to_affine()), g.points[i]) << i;
        ASSERT_EQ(prepared[i].conditional_negate(0), prepared[i]) << i;
    }
    ASSERT_EQ(prepared[0], Niels<C>::identity());
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(prepared[i].conditional_negate(ALL_ONES), prepared[g.negation(i)]) << i;
        for (std::size_t j = 0; j < n; ++j) {
            Projective<C> mixed = left[i];
            algebra::add_assign(mixed, prepared[j]);
            ASSERT_EQ(mixed, normal[g.plus(i, j)]) << i << ", " << j;
        }
    }
}

TYPED_TEST(ExhaustiveMinusOne, BatchNormalisationOfEveryPoint) {
    using C = typename TestFixture::C;
    const auto& g = this->g;
    const std::size_t n = g.size();
    std::vector<Projective<C>> points;
    for (std::size_t i = 0; i < n; ++i) points.push_back(scaled_point<C>(g.points[i], 5 * i + 2));
    // One batch of everything, then batches of a few, so every position in a batch is met.
    for (const std::size_t batch : {n, std::size_t{1}, std::size_t{2}, std::size_t{7}}) {
        std::vector<Niels<C>> prepared(n);
        for (std::size_t start = 0; start < n; start += batch) {
            const std::size_t count = std::min(batch, n - start);
            algebra::batch_to_niels<C>(std::span(points).subspan(start, count),
                                       std::span(prepared).subspan(start, count));
        }
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(prepared[i], Niels<C>::from_affine(affine_point<C>(g.points[i]).to_affine_vartime()))
                << i << " in batches of " << batch;
        }
    }
}

TYPED_TEST(ExhaustiveMinusOne, TableScanSelectsEveryEntry) {
    using C = typename TestFixture::C;
    const auto& g = this->g;
    // A table of every point but the identity, and tables of every length up to a few.
    std::vector<Niels<C>> table;
    for (std::size_t i = 1; i < g.size(); ++i) {
        table.push_back(Niels<C>::from_affine(affine_point<C>(g.points[i]).to_affine_vartime()));
    }
    for (const std::size_t length : {table.size(), std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{5}}) {
        const std::span<const Niels<C>> entries(table.data(), length);
        for (std::uint64_t selector = 0; selector <= length + 1; ++selector) {
            const Niels<C> expected = selector == 0 || selector > length ? Niels<C>::identity() : table[selector - 1];
            ASSERT_EQ(algebra::select_entry(entries, selector), expected) << selector << " of " << length;
        }
    }
}

}  // namespace
