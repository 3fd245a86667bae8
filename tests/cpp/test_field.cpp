// Prime-field arithmetic against GMP, plus the encodings and decimal parsing.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "algebra/cpu.hpp"
#include "algebra/encoding.hpp"
#include "algebra/fields.hpp"
#include "algebra_reference.hpp"

namespace {

using algebra::BigInt;
using algebra::JubjubFq, algebra::JubjubFr, algebra::BabyJubjubFq, algebra::BabyJubjubFr;
using reference::holds, reference::modulus, reference::to_bigint, reference::to_mpz, reference::value,
    reference::Values;

template <class F>
F el(const mpz_class& n) {
    return reference::element<F>(n);
}

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
    using F = typename P::Field;
    const mpz_class p = modulus<F>();
    void SetUp() override {
        if (algebra::set_fast_multiply(P::fast) != P::fast) GTEST_SKIP() << "processor lacks MULX/ADX";
    }
    void TearDown() override { algebra::set_fast_multiply(true); }
};

template <class... F>
using UnderBothMultiplies = ::testing::Types<Multiply<F, true>..., Multiply<F, false>...>;

template <class F>
std::string field_name() {
    if constexpr (std::is_same_v<F, JubjubFq>) return "JubjubFq";
    if constexpr (std::is_same_v<F, JubjubFr>) return "JubjubFr";
    if constexpr (std::is_same_v<F, BabyJubjubFq>) return "BabyJubjubFq";
    return "BabyJubjubFr";
}

struct MultiplyName {
    template <class P>
    static std::string GetName(int) {
        return field_name<typename P::Field>() + (P::fast ? "_asm" : "_portable");
    }
};

template <class P>
class AllFields : public FieldTest<P> {};
using AllFieldsBothWays = UnderBothMultiplies<JubjubFq, JubjubFr, BabyJubjubFq, BabyJubjubFr>;
TYPED_TEST_SUITE(AllFields, AllFieldsBothWays, MultiplyName);

template <class P>
class BaseFields : public FieldTest<P> {};
using BaseFieldsBothWays = UnderBothMultiplies<JubjubFq, BabyJubjubFq>;
TYPED_TEST_SUITE(BaseFields, BaseFieldsBothWays, MultiplyName);

constexpr std::size_t RANDOM_VALUES = 2000;

// Conversions, Montgomery form, ordering and byte encodings, over one sample.
TYPED_TEST(AllFields, ConversionsOrderingAndBytesFollowCanonicalValues) {
    using F = typename TestFixture::F;
    const mpz_class& p = this->p;
    const mpz_class r = (mpz_class(1) << 256) % p;
    Values values(1);
    const std::vector<mpz_class> xs = values.sample(p, RANDOM_VALUES);
    for (std::size_t i = 0; i < xs.size(); ++i) {
        const mpz_class &a = xs[i], &b = xs[(i * 7 + 3) % xs.size()];
        const std::optional<F> f = F::from_bigint(to_bigint(a));
        ASSERT_TRUE(f.has_value()) << a;
        const F fa = *f, fb = el<F>(b);
        EXPECT_EQ(to_mpz(fa.into_bigint()), a);
        EXPECT_EQ(to_mpz(fa.montgomery()), a * r % p) << a;
        EXPECT_EQ(fa.is_zero(), a == 0);
        EXPECT_EQ(fa.is_one(), a == 1);
        EXPECT_EQ(fa < fb, a < b) << a << " vs " << b;
        EXPECT_EQ(fa == fb, a == b);
        EXPECT_EQ(fa > fb, a > b);
        EXPECT_EQ(fa.is_greater_than_negation(), a > (p - 1) / 2 ? 1u : 0u) << a;
        EXPECT_EQ(F::select(~std::uint64_t{0}, fa, fb), fa);
        EXPECT_EQ(F::select(0, fa, fb), fb);
        EXPECT_EQ(fa.conditional_negate(~std::uint64_t{0}), -fa);
        EXPECT_EQ(fa.conditional_negate(0), fa);
        if (i > 220) continue;  // the edges and 200 random values
        EXPECT_EQ(algebra::field_to_bytes(fa), reference::to_le_bytes(a));
    }
    for (int i = 0; i < 100; ++i) {
        const std::uint64_t w = values.word() >> (i % 64);
        EXPECT_EQ(F::from(w), *F::from_bigint(BigInt<4>::from_u64(w)));
    }
    // from_bigint refuses anything not below the modulus.
    const mpz_class top = (mpz_class(1) << 256) - 1;
    std::vector<mpz_class> too_large = {p, p + 1, 2 * p, top, top - 1};
    for (int i = 0; i < 200; ++i) too_large.push_back(p + values.below(top - p + 1));
    for (const mpz_class& n : too_large) EXPECT_FALSE(F::from_bigint(to_bigint(n)).has_value()) << n;
}

// Including the inverse, which only zero lacks.
TYPED_TEST(AllFields, ArithmeticAgreesWithGmp) {
    using F = typename TestFixture::F;
    const mpz_class& p = this->p;
    Values values(3);
    const std::vector<mpz_class> xs = values.sample(p, RANDOM_VALUES);
    // Every edge against every edge, then each random value against a fresh one.
    std::vector<std::pair<mpz_class, mpz_class>> pairs;
    for (const auto& a : Values::edges(p))
        for (const auto& b : Values::edges(p)) pairs.emplace_back(a, b);
    for (const auto& a : xs) pairs.emplace_back(a, values.below(p));

    for (const auto& [a, b] : pairs) {
        const F fa = el<F>(a), fb = el<F>(b);
        ASSERT_TRUE(holds(fa + fb, a + b)) << a << " + " << b;
        ASSERT_TRUE(holds(fa - fb, a - b)) << a << " - " << b;
        ASSERT_TRUE(holds(fa * fb, a * b)) << a << " * " << b;
        F in_place = fa;
        in_place.mul_assign(fb);
        ASSERT_EQ(in_place, fa * fb);
    }
    for (const auto& a : xs) {
        const F fa = el<F>(a);
        ASSERT_TRUE(holds(-fa, -a) && holds(fa.double_(), 2 * a) && holds(fa.square(), a * a)) << a;
        const std::optional<F> inv = fa.inverse_vartime();
        ASSERT_EQ(inv.has_value(), a != 0) << a;
        if (inv) {
            ASSERT_TRUE(holds(*inv, reference::inverse(a, p))) << a;
        }
        ASSERT_EQ(fa.invert(), inv.value_or(F::zero())) << a;
    }
}

// The inversion runs on the held integer, skipping runs of zero bits and
// cancelling several low bits per step: held integers with extreme bit
// patterns (powers of two, long runs of ones, 1, p - 1, alternating bits)
// stress its batch boundaries and the final sign handling.
TYPED_TEST(AllFields, InverseOfExtremeHeldIntegers) {
    using F = typename TestFixture::F;
    static_assert((F::from(3).inverse_vartime().value() * F::from(3)).is_one(), "the inversion runs at compile time");
    static_assert((F::from(3).invert() * F::from(3)).is_one(), "so does the constant-time one");
    const mpz_class& p = this->p;
    const std::size_t bits = mpz_sizeinbase(p.get_mpz_t(), 2);
    std::vector<mpz_class> held = {1, 2, 3, p - 1, p - 2, (p - 1) / 2, (p + 1) / 2};
    mpz_class alternating = 0;
    for (std::size_t k = 0; k < bits; ++k) {
        const mpz_class power = mpz_class(1) << k;
        held.push_back(power);
        held.push_back(power - 1);                      // a run of k ones
        held.push_back(p - power);                      // p with its low bits disturbed
        held.push_back((power - 1) << (bits - 1 - k));  // ones in the top bits, zeros below
        alternating = (alternating << 1) | (k % 2);
        held.push_back(alternating);
    }
    const mpz_class r = mpz_class(1) << 256;
    for (const mpz_class& h : held) {
        if (h <= 0 || h >= p) continue;
        const std::optional<F> inv = F::from_montgomery(to_bigint(h)).inverse_vartime();
        ASSERT_TRUE(inv.has_value()) << h;
        ASSERT_EQ(F::from_montgomery(to_bigint(h)).invert(), *inv) << h;
        // H^(-1)·R² mod p: the held form of (H·R^(-1))^(-1).
        const mpz_class expected = reference::mod(reference::inverse(h, p) * r * r, p);
        ASSERT_EQ(to_mpz(inv->montgomery()), expected) << "held " << h;
    }
}

template <class F, std::uint64_t... K>
void check_mul_by_small(const std::vector<mpz_class>& xs) {
    for (const mpz_class& a : xs)
        ([&] { EXPECT_TRUE(holds(el<F>(a).template mul_by_small<K>(), a * K)) << a << " * " << K; }(), ...);
}

TYPED_TEST(AllFields, MulBySmallAgreesWithGmp) {
    Values values(10);
    // The quotient estimate is loosest for the largest factor of each bit width and values near p.
    check_mul_by_small<typename TestFixture::F, 0, 1, 2, 3, 255, 256, 168696, 168700, 0x3ffff, 0xfffff1, 0x7fffffff>(
        values.sample(this->p, 300));
}

TYPED_TEST(AllFields, PowAgreesWithGmp) {
    using F = typename TestFixture::F;
    Values values(5);
    for (int i = 0; i < 100; ++i) {
        const mpz_class base = values.below(this->p);
        // 0 to 4 limbs, with zero top limbs now and then to exercise the skip of leading zeros.
        std::vector<std::uint64_t> exponent(static_cast<std::size_t>(i % 5));
        for (auto& l : exponent) l = values.word();
        if (i % 3 == 0 && !exponent.empty()) exponent.back() = 0;
        mpz_class e, expected;
        for (std::size_t k = exponent.size(); k-- > 0;) e = (e << 64) + exponent[k];
        mpz_powm(expected.get_mpz_t(), base.get_mpz_t(), e.get_mpz_t(), this->p.get_mpz_t());
        EXPECT_TRUE(holds(el<F>(base).pow_vartime(exponent), expected)) << base << " ^ " << e;
    }
}

// Far more pairs than the GMP comparison affords, to reach carry patterns that
// only a few products in a thousand produce.
template <class P>
class Multiplies : public FieldTest<P> {};
using FastFields = ::testing::Types<Multiply<JubjubFq, true>, Multiply<JubjubFr, true>, Multiply<BabyJubjubFq, true>,
                                    Multiply<BabyJubjubFr, true>>;
TYPED_TEST_SUITE(Multiplies, FastFields, MultiplyName);

TYPED_TEST(Multiplies, AssemblyAndPortableAgreeLimbForLimb) {
    using F = typename TestFixture::F;
    Values values(11);
    std::vector<F> xs;
    for (const mpz_class& v : values.sample(this->p, 20000)) xs.push_back(el<F>(v));
    for (std::size_t i = 0; i < xs.size(); ++i) {
        const F &a = xs[i], &b = xs[(i * 7919 + 1) % xs.size()];
        algebra::set_fast_multiply(true);
        const F fast_product = a * b, fast_square = a.square();
        algebra::set_fast_multiply(false);
        ASSERT_EQ(fast_product.montgomery(), (a * b).montgomery()) << value(a) << " * " << value(b);
        ASSERT_EQ(fast_square.montgomery(), a.square().montgomery()) << value(a) << "^2";
    }
}

TEST(FastMultiply, FollowsTheProcessorAndTheSwitch) {
    // The kernel's own reading of CPUID, where there is one. Only an x86-64 build
    // compares: under an emulator (qemu-user) the file describes the host instead.
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line) && !line.starts_with("flags")) {}
    if (ALGEBRA_X86_ASM && line.starts_with("flags")) {
        std::istringstream words(line);
        std::set<std::string> flags{std::istream_iterator<std::string>(words), {}};
        EXPECT_EQ(algebra::cpu::has_mulx_adx(), flags.contains("bmi2") && flags.contains("adx"));
    } else {
        std::cout << "no /proc/cpuinfo flags line; detection not cross-checked\n";
    }
    EXPECT_FALSE(algebra::set_fast_multiply(false));
    EXPECT_FALSE(algebra::fast_multiply());
    EXPECT_EQ(algebra::set_fast_multiply(true), algebra::cpu::has_mulx_adx());
    EXPECT_EQ(algebra::fast_multiply(), algebra::cpu::has_mulx_adx());
}

template <class F>
std::string serialized(const F& f) {
    std::ostringstream hex;
    for (auto b : algebra::field_to_bytes(f)) hex << std::hex << (b >> 4) << (b & 15);
    return hex.str();
}

TEST(FieldEncoding, PublishedBytes) {
    const std::string zeros(62, '0');
    EXPECT_EQ(serialized(JubjubFq::one()), "01" + zeros);
    EXPECT_EQ(serialized(-JubjubFq::one()), "00000000fffffffffe5bfeff02a4bd5305d8a10908d83933487d9d2953a7ed73");
    EXPECT_EQ(serialized(-BabyJubjubFq::one()), "000000f093f5e1439170b97948e833285d588181b64550b829a031e1724e6430");
}

// ---- square roots --------------------------------------------------------------

TYPED_TEST(BaseFields, SqrtExistsExactlyForResiduesAndSquaresBackInBothTimings) {
    using F = typename TestFixture::F;
    const mpz_class& p = this->p;
    Values values(8);
    std::size_t present = 0;
    std::vector<mpz_class> xs = values.sample(p, RANDOM_VALUES / 2);
    for (int i = 0; i < 200; ++i) {
        const mpz_class r = values.below(p);
        xs.push_back(r * r % p);  // guaranteed residues, so the present branch is well covered
    }
    for (const mpz_class& a : xs) {
        const std::optional<F> root = el<F>(a).sqrt_vartime();
        ASSERT_EQ(root.has_value(), mpz_legendre(a.get_mpz_t(), p.get_mpz_t()) >= 0) << a;
        // The constant-time root: the same answer, and a root when there is one.
        std::uint64_t is_square = 1;
        const F ct_root = el<F>(a).sqrt(is_square);
        ASSERT_EQ(is_square, root ? ~std::uint64_t{0} : 0) << a;
        if (root) {
            ASSERT_EQ(value(ct_root.square()), a) << a;
        }
        if (root) {
            ++present;
            ASSERT_TRUE(root->montgomery() < F::MODULUS) << a;  // fully reduced
            ASSERT_EQ(value(root->square()), a) << a;
        }
    }
    // Roughly half of the uniform values are squares: guards against a sampler gone wrong.
    EXPECT_GT(present, xs.size() / 3);
    EXPECT_LT(present, xs.size() - xs.size() / 4);
    // The listed roots.
    EXPECT_EQ(F::zero().sqrt_vartime(), F::zero());
    EXPECT_EQ(F::from(4).sqrt_vartime(), -F::from(2));
    EXPECT_EQ(F::from(9).sqrt_vartime(), -F::from(3));
    EXPECT_FALSE(F::from(5).sqrt_vartime().has_value() || F::from(7).sqrt_vartime().has_value());
}

}  // namespace

namespace {

// The word-only accumulator (for compilers without a 128-bit integer) against
// the 128-bit one, through the batch updates of the inversion on random
// transitions and operands, signs and extremes included.
TEST(InversionUpdates, WordAccumulatorMatchesTheInt128One) {
    using namespace algebra::inversion;
    std::mt19937_64 rng(62);
    // A matrix entry within ±2^61, so that, as for real transitions, the
    // entries of a row add up to at most 2^62 in magnitude.
    const auto entry = [&] {
        const i64 v = static_cast<i64>(rng()) >> 2;
        return rng() % 8 == 0 ? (rng() % 2 ? (i64{1} << 61) : -(i64{1} << 61)) : v;
    };
    const auto limbs = [&] {
        Signed62 a;
        for (int i = 0; i < 4; ++i) a.v[i] = static_cast<i64>(rng() & M62);
        a.v[4] = static_cast<i64>(rng()) >> 8;
        return a;
    };
    const Signed62 p = to_signed62(algebra::JubjubFq::MODULUS);
    for (int round = 0; round < 20000; ++round) {
        const Transition t{entry(), entry(), entry(), entry()};
        Signed62 f1 = limbs(), g1 = limbs(), d1 = limbs(), e1 = limbs();
        Signed62 f2 = f1, g2 = g1, d2 = d1, e2 = e1;
        // The exactness asserts need real transitions; products and carries do not.
        f1.v[0] = g1.v[0] = f2.v[0] = g2.v[0] = 0;
        const auto high = [](i64 v) { return static_cast<i64>(static_cast<u64>(v) & ~M62); };
        const Transition exact{high(t.u), high(t.v), high(t.q), high(t.r)};
        update_fg<WordAccumulator>(f1, g1, exact);
        update_fg<Int128Accumulator>(f2, g2, exact);
        WordAccumulator w;
        Int128Accumulator n;
        for (int k = 0; k < 4; ++k) {
            const i64 a = entry(), b = static_cast<i64>(rng());
            w.add_product(a, b);
            n.add_product(a, b);
            ASSERT_EQ(w.low(), n.low());
            if (k % 2) {
                w.shift_62();
                n.shift_62();
            }
        }
        ASSERT_EQ(w.low(), n.low());
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(f1.v[i] == f2.v[i] && g1.v[i] == g2.v[i]) << round;
        // The cofactor update chooses its own multiples of p, so any transition is exact.
        update_de<WordAccumulator>(d1, e1, t, p, algebra::JubjubFq::MODULUS_INV62);
        update_de<Int128Accumulator>(d2, e2, t, p, algebra::JubjubFq::MODULUS_INV62);
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(d1.v[i] == d2.v[i] && e1.v[i] == e2.v[i]) << round;
    }
}

}  // namespace
