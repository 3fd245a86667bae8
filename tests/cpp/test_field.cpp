// Prime-field arithmetic against GMP, plus the encodings and decimal parsing.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "algebra/cpu.hpp"
#include "algebra/fields.hpp"
#include "algebra_reference.hpp"

namespace {

using algebra::BigInt;
using reference::modulus;
using reference::to_bigint;
using reference::to_mpz;
using reference::value;
using reference::Values;

// Every test runs each field under both multiplies: the MULX/ADX assembly
// (skipped where the processor lacks it) and the portable C++.
template <class F, bool Fast>
struct Multiply {
    using Field = F;
    static constexpr bool fast = Fast;
};

template <class P>
class FieldTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (algebra::set_fast_multiply(P::fast) != P::fast) GTEST_SKIP() << "processor lacks MULX/ADX";
    }
    void TearDown() override { algebra::set_fast_multiply(true); }  // back to the default: fast where possible
};

template <class... F>
using UnderBothMultiplies = ::testing::Types<Multiply<F, true>..., Multiply<F, false>...>;

template <class F>
constexpr const char* field_name() {
    if constexpr (std::is_same_v<F, algebra::JubjubFq>) return "JubjubFq";
    if constexpr (std::is_same_v<F, algebra::JubjubFr>) return "JubjubFr";
    if constexpr (std::is_same_v<F, algebra::BabyJubjubFq>) return "BabyJubjubFq";
    return "BabyJubjubFr";
}

struct MultiplyName {
    template <class P>
    static std::string GetName(int) {
        return std::string(field_name<typename P::Field>()) + (P::fast ? "_asm" : "_portable");
    }
};

template <class P>
class AllFields : public FieldTest<P> {};
using AllFieldsBothWays =
    UnderBothMultiplies<algebra::JubjubFq, algebra::JubjubFr, algebra::BabyJubjubFq, algebra::BabyJubjubFr>;
TYPED_TEST_SUITE(AllFields, AllFieldsBothWays, MultiplyName);

template <class P>
class BaseFields : public FieldTest<P> {};
using BaseFieldsBothWays = UnderBothMultiplies<algebra::JubjubFq, algebra::BabyJubjubFq>;
TYPED_TEST_SUITE(BaseFields, BaseFieldsBothWays, MultiplyName);

constexpr std::size_t RANDOM_VALUES = 2000;

TYPED_TEST(AllFields, ConversionsRoundTripAndHoldMontgomeryForm) {
    using F = typename TypeParam::Field;
    const mpz_class p = modulus<F>();
    const mpz_class r = (mpz_class(1) << 256) % p;
    Values values(1);
    for (const mpz_class& n : values.sample(p, RANDOM_VALUES)) {
        const std::optional<F> f = F::from_bigint(to_bigint(n));
        ASSERT_TRUE(f.has_value()) << n;
        EXPECT_EQ(to_mpz(f->into_bigint()), n);
        EXPECT_EQ(to_mpz(f->montgomery()), n * r % p) << n;
        EXPECT_EQ(f->is_zero(), n == 0);
        EXPECT_EQ(f->is_one(), n == 1);
    }
    for (int i = 0; i < 100; ++i) {
        const std::uint64_t w = values.word() >> (i % 64);
        EXPECT_EQ(F::from(w), *F::from_bigint(BigInt<4>::from_u64(w)));
    }
    EXPECT_TRUE(F::zero().is_zero());
    EXPECT_TRUE(F::one().is_one());
}

TYPED_TEST(AllFields, FromBigintRefusesValuesNotBelowTheModulus) {
    using F = typename TypeParam::Field;
    const mpz_class p = modulus<F>();
    const mpz_class top = (mpz_class(1) << 256) - 1;
    Values values(2);
    std::vector<mpz_class> too_large = {p, p + 1, 2 * p, top, top - 1};
    for (int i = 0; i < 200; ++i) too_large.push_back(p + values.below(top - p + 1));
    for (const mpz_class& n : too_large) EXPECT_FALSE(F::from_bigint(to_bigint(n)).has_value()) << n;
}

TYPED_TEST(AllFields, ArithmeticAgreesWithGmp) {
    using F = typename TypeParam::Field;
    const mpz_class p = modulus<F>();
    Values values(3);
    const std::vector<mpz_class> xs = values.sample(p, RANDOM_VALUES);
    const std::vector<mpz_class> edges = Values::edges(p);
    // Every edge against every edge, then each random value against a fresh one.
    std::vector<std::pair<mpz_class, mpz_class>> pairs;
    for (const auto& a : edges)
        for (const auto& b : edges) pairs.emplace_back(a, b);
    for (const auto& a : xs) pairs.emplace_back(a, values.below(p));

    for (const auto& [a, b] : pairs) {
        const F fa = reference::element<F>(a), fb = reference::element<F>(b);
        ASSERT_TRUE(reference::holds(fa + fb, a + b)) << a << " + " << b;
        ASSERT_TRUE(reference::holds(fa - fb, a - b)) << a << " - " << b;
        ASSERT_TRUE(reference::holds(fa * fb, a * b)) << a << " * " << b;
        F in_place = fa;
        in_place.mul_assign(fb);
        ASSERT_EQ(in_place, fa * fb);
    }
    for (const auto& a : xs) {
        const F fa = reference::element<F>(a);
        ASSERT_TRUE(reference::holds(-fa, -a)) << a;
        ASSERT_TRUE(reference::holds(fa.double_(), 2 * a)) << a;
        ASSERT_TRUE(reference::holds(fa.square(), a * a)) << a;
    }
}

template <class F, std::uint64_t... K>
void check_mul_by_small(const std::vector<mpz_class>& xs) {
    const mpz_class p = modulus<F>();
    for (const mpz_class& a : xs) {
        const F fa = reference::element<F>(a);
        ([&] { EXPECT_TRUE(reference::holds(fa.template mul_by_small<K>(), a * K)) << a << " * " << K; }(), ...);
    }
}

TYPED_TEST(AllFields, MulBySmallAgreesWithGmp) {
    Values values(10);
    // The quotient estimate is loosest for the largest factor of each bit width and values near p.
    check_mul_by_small<typename TypeParam::Field, 0, 1, 2, 3, 255, 256, 168696, 168700, 0x3ffff, 0xfffff1, 0x7fffffff>(
        values.sample(modulus<typename TypeParam::Field>(), 300));
}

TYPED_TEST(AllFields, InverseAgreesWithGmp) {
    using F = typename TypeParam::Field;
    const mpz_class p = modulus<F>();
    EXPECT_FALSE(F::zero().inverse().has_value());
    EXPECT_EQ(F::one().inverse(), F::one());
    Values values(4);
    for (const mpz_class& a : values.sample(p, RANDOM_VALUES / 2)) {
        if (a == 0) continue;
        const F fa = reference::element<F>(a);
        const std::optional<F> inv = fa.inverse();
        ASSERT_TRUE(inv.has_value()) << a;
        ASSERT_TRUE(reference::holds(*inv, reference::inverse(a, p))) << a;
        ASSERT_TRUE((fa * *inv).is_one()) << a;
    }
}

TYPED_TEST(AllFields, PowAgreesWithGmp) {
    using F = typename TypeParam::Field;
    const mpz_class p = modulus<F>();
    Values values(5);
    for (int i = 0; i < 100; ++i) {
        const mpz_class base = values.below(p);
        // 0 to 4 limbs, with zero top limbs now and then to exercise the skip of leading zeros.
        std::vector<std::uint64_t> exponent(static_cast<std::size_t>(i % 5));
        for (auto& l : exponent) l = values.word();
        if (i % 3 == 0 && !exponent.empty()) exponent.back() = 0;
        mpz_class e;
        for (std::size_t k = exponent.size(); k-- > 0;) e = (e << 64) + exponent[k];
        mpz_class expected;
        mpz_powm(expected.get_mpz_t(), base.get_mpz_t(), e.get_mpz_t(), p.get_mpz_t());
        EXPECT_TRUE(reference::holds(reference::element<F>(base).pow(exponent), expected)) << base << " ^ " << e;
    }
}

TYPED_TEST(AllFields, OrderingFollowsCanonicalValues) {
    using F = typename TypeParam::Field;
    const mpz_class p = modulus<F>();
    const mpz_class half = (p - 1) / 2;
    Values values(6);
    const std::vector<mpz_class> xs = values.sample(p, 300);
    for (std::size_t i = 0; i < xs.size(); ++i) {
        const mpz_class& a = xs[i];
        const mpz_class& b = xs[(i * 7 + 3) % xs.size()];
        const F fa = reference::element<F>(a), fb = reference::element<F>(b);
        EXPECT_EQ(fa < fb, a < b) << a << " vs " << b;
        EXPECT_EQ(fa == fb, a == b);
        EXPECT_EQ(fa > fb, a > b);
        EXPECT_EQ(fa.is_greater_than_negation(), a > half) << a;
    }
}

TYPED_TEST(AllFields, BytesAreTheCanonicalValueLittleEndian) {
    using F = typename TypeParam::Field;
    const mpz_class p = modulus<F>();
    Values values(7);
    for (const mpz_class& a : values.sample(p, 200)) {
        const F fa = reference::element<F>(a);
        const auto expected = reference::to_le_bytes(a);
        EXPECT_EQ(fa.to_bytes_le(), expected);
        EXPECT_EQ(algebra::to_bytes_le(fa.into_bigint()), expected);

        // Both serializers append to what is already there.
        std::vector<std::uint8_t> out = {0xaa};
        fa.serialize_compressed(out);
        fa.serialize_with_flags(out, false);
        fa.serialize_with_flags(out, true);
        ASSERT_EQ(out.size(), 1u + 3 * 32);
        EXPECT_EQ(out[0], 0xaa);
        auto flagged = expected;
        flagged[31] |= 0x80;
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin() + 1));
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin() + 33));
        EXPECT_TRUE(std::equal(flagged.begin(), flagged.end(), out.begin() + 65));
    }
}

// ---- the two multiplies -----------------------------------------------------------

template <class F>
class Multiplies : public ::testing::Test {
protected:
    void TearDown() override { algebra::set_fast_multiply(true); }
};
using FieldTypes = ::testing::Types<algebra::JubjubFq, algebra::JubjubFr, algebra::BabyJubjubFq, algebra::BabyJubjubFr>;
struct FieldName {
    template <class F>
    static std::string GetName(int) {
        return field_name<F>();
    }
};
TYPED_TEST_SUITE(Multiplies, FieldTypes, FieldName);

// Far more pairs than the GMP comparison affords, to reach carry patterns that
// only a few products in a thousand produce.
TYPED_TEST(Multiplies, AssemblyAndPortableAgreeLimbForLimb) {
    using F = TypeParam;
    if (!algebra::cpu::has_mulx_adx()) GTEST_SKIP() << "processor lacks MULX/ADX";
    const mpz_class p = modulus<F>();
    Values values(11);
    std::vector<F> xs;
    for (const mpz_class& v : values.sample(p, 20000)) xs.push_back(reference::element<F>(v));
    for (std::size_t i = 0; i < xs.size(); ++i) {
        const F& a = xs[i];
        const F& b = xs[(i * 7919 + 1) % xs.size()];
        algebra::set_fast_multiply(true);
        const F fast_product = a * b, fast_square = a.square();
        algebra::set_fast_multiply(false);
        const F portable_product = a * b, portable_square = a.square();
        ASSERT_EQ(fast_product.montgomery(), portable_product.montgomery()) << value(a) << " * " << value(b);
        ASSERT_EQ(fast_square.montgomery(), portable_square.montgomery()) << value(a) << "^2";
    }
}

TEST(FastMultiply, FollowsTheProcessorAndTheSwitch) {
    // The kernel's own reading of CPUID, where there is one.
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    bool found = false;
    while (std::getline(cpuinfo, line)) {
        if (!line.starts_with("flags")) continue;
        found = true;
        std::istringstream words(line);
        std::set<std::string> flags{std::istream_iterator<std::string>(words), {}};
        EXPECT_EQ(algebra::cpu::has_mulx_adx(), flags.contains("bmi2") && flags.contains("adx"));
        break;
    }
    if (!found) std::cout << "no /proc/cpuinfo flags line; detection not cross-checked\n";

    EXPECT_FALSE(algebra::set_fast_multiply(false));
    EXPECT_FALSE(algebra::fast_multiply());
    EXPECT_EQ(algebra::set_fast_multiply(true), algebra::cpu::has_mulx_adx());
    EXPECT_EQ(algebra::fast_multiply(), algebra::cpu::has_mulx_adx());
}

std::vector<std::uint8_t> hex_bytes(const std::string& spaced) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < spaced.size(); ++i) {
        if (spaced[i] == ' ') continue;
        out.push_back(static_cast<std::uint8_t>(std::stoul(spaced.substr(i, 2), nullptr, 16)));
        ++i;
    }
    return out;
}

TEST(FieldEncoding, PublishedBytes) {
    const auto minus_one_jubjub = hex_bytes(
        "00 00 00 00 ff ff ff ff fe 5b fe ff 02 a4 bd 53 05 d8 a1 09 08 d8 39 33 48 7d 9d 29 53 a7 ed 73");
    const auto minus_one_baby = hex_bytes(
        "00 00 00 f0 93 f5 e1 43 91 70 b9 79 48 e8 33 28 5d 58 81 81 b6 45 50 b8 29 a0 31 e1 72 4e 64 30");
    std::vector<std::uint8_t> one(32, 0);
    one[0] = 0x01;
    std::vector<std::uint8_t> one_flagged = one;
    one_flagged[31] = 0x80;

    std::vector<std::uint8_t> out;
    algebra::JubjubFq::one().serialize_compressed(out);
    EXPECT_EQ(out, one);
    out.clear();
    (-algebra::JubjubFq::one()).serialize_compressed(out);
    EXPECT_EQ(out, minus_one_jubjub);
    out.clear();
    algebra::BabyJubjubFq::one().serialize_with_flags(out, true);
    EXPECT_EQ(out, one_flagged);
    out.clear();
    (-algebra::BabyJubjubFq::one()).serialize_with_flags(out, false);
    EXPECT_EQ(out, minus_one_baby);
}

// ---- square roots --------------------------------------------------------------

TYPED_TEST(BaseFields, SqrtExistsExactlyForResiduesAndSquaresBack) {
    using F = typename TypeParam::Field;
    const mpz_class p = modulus<F>();
    Values values(8);
    std::size_t present = 0;
    std::vector<mpz_class> xs = values.sample(p, RANDOM_VALUES / 2);
    for (int i = 0; i < 200; ++i) {
        const mpz_class r = values.below(p);
        xs.push_back(r * r % p);  // guaranteed residues, so the present branch is well covered
    }
    for (const mpz_class& a : xs) {
        const std::optional<F> root = reference::element<F>(a).sqrt();
        const bool residue = mpz_legendre(a.get_mpz_t(), p.get_mpz_t()) >= 0;
        ASSERT_EQ(root.has_value(), residue) << a;
        if (root) {
            ++present;
            ASSERT_TRUE(root->montgomery() < F::MODULUS) << a;  // fully reduced
            ASSERT_EQ(value(root->square()), a) << a;
        }
    }
    // Roughly half of the uniform values are squares: guards against a sampler gone wrong.
    EXPECT_GT(present, xs.size() / 3);
    EXPECT_LT(present, xs.size() - xs.size() / 4);
}

TYPED_TEST(BaseFields, SqrtReturnsTheListedRoots) {
    using F = typename TypeParam::Field;
    EXPECT_EQ(F::zero().sqrt(), F::zero());
    EXPECT_EQ(F::from(4).sqrt(), -F::from(2));
    EXPECT_EQ(F::from(9).sqrt(), -F::from(3));
    EXPECT_FALSE(F::from(5).sqrt().has_value());
    EXPECT_FALSE(F::from(7).sqrt().has_value());
}

// ---- decimal parsing ------------------------------------------------------------

TYPED_TEST(BaseFields, FromStrAcceptsSignedDecimalsReducedModP) {
    using F = typename TypeParam::Field;
    const mpz_class p = modulus<F>();
    const std::string p_text = p.get_str();
    struct Case {
        std::string text;
        mpz_class expected;
    };
    const std::vector<Case> cases = {
        {"0", 0},        {"-0", 0},       {"+0", 0},          {p_text, 0},         {"-" + p_text, 0},
        {"-1", p - 1},   {"007", 7},      {"1_000", 1000},    {"1__0_", 10},       {"+12", 12},
        {"-12", p - 12}, {"0000", 0},     {"1" + p_text, reference::mod(mpz_class("1" + p_text, 10), p)},
    };
    for (const Case& c : cases) {
        const std::optional<F> f = F::from_str(c.text);
        ASSERT_TRUE(f.has_value()) << c.text;
        EXPECT_EQ(value(*f), c.expected) << c.text;
    }

    // Long random decimals with signs and separators, reduced by GMP.
    Values values(9);
    for (int i = 0; i < 200; ++i) {
        std::string digits;
        const std::size_t length = 1 + values.word() % 200;
        for (std::size_t k = 0; k < length; ++k) digits.push_back(static_cast<char>('0' + values.word() % 10));
        std::string text;
        for (std::size_t k = 0; k < digits.size(); ++k) {
            text.push_back(digits[k]);
            if (values.word() % 5 == 0) text.push_back('_');
        }
        const int sign = static_cast<int>(values.word() % 3);  // none, "-", "+"
        mpz_class expected(digits, 10);
        if (sign == 1) expected = -expected;
        text = (sign == 1 ? "-" : sign == 2 ? "+" : "") + text;
        const std::optional<F> f = F::from_str(text);
        ASSERT_TRUE(f.has_value()) << text;
        EXPECT_EQ(value(*f), reference::mod(expected, p)) << text;
    }
}

TYPED_TEST(BaseFields, FromStrRejectsAnythingElse) {
    using F = typename TypeParam::Field;
    for (const char* text : {"", "-", "+", "_", "_1", "-_1", "+_1", "12a", " 1", "1 ", "-+1", "++1", "+-1", "--1",
                             "1-", "0x10", "1.5", "1e3", "+_", "-+", "\t7"}) {
        EXPECT_FALSE(F::from_str(text).has_value()) << '"' << text << '"';
    }
}

}  // namespace
