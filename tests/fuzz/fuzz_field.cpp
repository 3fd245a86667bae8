// Field arithmetic of the four fields against GMP, each operation run under
// both multiplies (MULX/ADX assembly where the processor has it, and the
// portable C++), which must also agree limb for limb.
//
// Input: a field selector, then operations. Each operation names its kind,
// two source registers and a destination among four registers, which start
// from values decoded from the input (raw 256-bit numbers, or values next to
// 0, p and the word boundaries), so results feed later operations.

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <compare>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <optional>
#include <string>

#include "algebra/cpu.hpp"
#include "algebra/curves.hpp"
#include "algebra/encoding.hpp"
#include "algebra/fields.hpp"
#include "algebra_reference.hpp"

namespace {

using algebra::BigInt;
using reference::mod, reference::to_bigint, reference::to_mpz;

[[noreturn]] void mismatch(const char* what, const mpz_class& a, const mpz_class& b) {
    std::fprintf(stderr, "field mismatch in %s: a = %s, b = %s\n", what, a.get_str(16).c_str(), b.get_str(16).c_str());
    std::abort();
}

// The value `got` holds must be exactly the reduced Montgomery form of `expected`.
template <class F>
void check(const char* what, const F& got, const mpz_class& expected, const mpz_class& a, const mpz_class& b) {
    const mpz_class p = reference::modulus<F>();
    if (to_mpz(got.montgomery()) != mod(expected, p) * (mpz_class(1) << 256) % p) mismatch(what, a, b);
}

// An integer below 2^256 from the input, biased towards the values where
// carries and the final subtraction happen.
mpz_class integer(FuzzedDataProvider& input, const mpz_class& p) {
    const mpz_class one = 1;
    const std::uint8_t small = input.ConsumeIntegral<std::uint8_t>();
    switch (input.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
            return small;
        case 1:
            return p - 1 - small;
        case 2:
            return (one << (64 * input.ConsumeIntegralInRange<int>(1, 3))) - 4 + small;
        case 3:
            return (p - 1) / 2 - 4 + small;
        default: {
            std::array<std::uint8_t, 32> bytes{};
            input.ConsumeData(bytes.data(), bytes.size());
            mpz_class n;
            mpz_import(n.get_mpz_t(), bytes.size(), -1, 1, 0, 0, bytes.data());
            return n;
        }
    }
}

// Runs `op` under both multiplies; both results must be the same limbs.
template <class Op>
auto both_ways(Op op) {
    algebra::set_fast_multiply(false);
    const auto portable = op();
    algebra::set_fast_multiply(true);
    const auto fast = op();
    if (!(portable == fast)) {
        std::fputs("the two multiplies disagree\n", stderr);
        std::abort();
    }
    return fast;
}

template <class Config>
void run(FuzzedDataProvider& input) {
    using F = algebra::Fp<Config>;
    const mpz_class p = reference::modulus<F>();
    std::array<mpz_class, 4> value;
    std::array<F, 4> reg;
    for (std::size_t i = 0; i < reg.size(); ++i) {
        const mpz_class n = integer(input, p);
        const std::optional<F> parsed = F::from_bigint(to_bigint(n));
        if (parsed.has_value() != (n < p)) mismatch("from_bigint accepts exactly the values below p", n, p);
        value[i] = mod(n, p);
        reg[i] = parsed ? *parsed : *F::from_bigint(to_bigint(value[i]));
        check("from_bigint", reg[i], value[i], n, p);
        if (to_mpz(reg[i].into_bigint()) != value[i]) mismatch("into_bigint", n, value[i]);
    }
    while (input.remaining_bytes() > 0) {
        const int kind = input.ConsumeIntegralInRange<int>(0, 10);
        const std::size_t i = input.ConsumeIntegralInRange<std::size_t>(0, 3);
        const std::size_t j = input.ConsumeIntegralInRange<std::size_t>(0, 3);
        const std::size_t out = input.ConsumeIntegralInRange<std::size_t>(0, 3);
        const F x = reg[i], y = reg[j];
        const mpz_class a = value[i], b = value[j];
        mpz_class expected;
        F result;
        switch (kind) {
            case 0:
                result = both_ways([&] { return x + y; }), expected = a + b;
                break;
            case 1:
                result = both_ways([&] { return x - y; }), expected = a - b;
                break;
            case 2:
                result = both_ways([&] { return x * y; }), expected = a * b;
                break;
            case 3:
                result = both_ways([&] { return x.square(); }), expected = a * a;
                break;
            case 4:
                result = both_ways([&] { return -x; }), expected = -a;
                break;
            case 5:
                result = both_ways([&] { return x.double_(); }), expected = 2 * a;
                break;
            case 6: {
                // Both inversions; the constant-time one maps zero to zero.
                const std::optional<F> inverse = both_ways([&] { return x.inverse_vartime(); });
                if (inverse.has_value() != (a != 0)) mismatch("inverse exists exactly for nonzero values", a, b);
                result = both_ways([&] { return x.invert(); });
                expected = a == 0 ? mpz_class(0) : reference::inverse(a, p);
                if (inverse) check("inverse_vartime", *inverse, expected, a, b);
                break;
            }
            case 7: {
                // An exponent of up to 256 bits from the input.
                const mpz_class e = integer(input, p);
                const BigInt<4> limbs = to_bigint(e);
                result = both_ways([&] { return x.pow_vartime(limbs.limbs); });
                mpz_powm(expected.get_mpz_t(), a.get_mpz_t(), e.get_mpz_t(), p.get_mpz_t());
                break;
            }
            case 8: {
                if (both_ways([&] { return x == y; }) != (a == b)) mismatch("==", a, b);
                const int order = cmp(a, b);
                if ((x <=> y) != (order < 0   ? std::strong_ordering::less
                                  : order > 0 ? std::strong_ordering::greater
                                              : std::strong_ordering::equal)) {
                    mismatch("<=>", a, b);
                }
                if (x.is_greater_than_negation() != (a > (p - 1) / 2 ? 1u : 0u))
                    mismatch("is_greater_than_negation", a, b);
                if (algebra::field_to_bytes(x) != reference::to_le_bytes(a)) mismatch("field_to_bytes", a, b);
                // Constant-time selection and negation under a mask from the input.
                const std::uint64_t mask = input.ConsumeBool() ? ~std::uint64_t{0} : 0;
                if (F::select(mask, x, y) != (mask != 0 ? x : y)) mismatch("select", a, b);
                if (x.conditional_negate(mask) != (mask != 0 ? -x : x)) mismatch("conditional_negate", a, b);
                continue;
            }
            case 9: {
                // Square roots exist only in the base fields.
                if constexpr (algebra::HasSqrt<Config>) {
                    const std::optional<F> root = both_ways([&] { return x.sqrt_vartime(); });
                    const bool square = a == 0 || mpz_legendre(a.get_mpz_t(), p.get_mpz_t()) == 1;
                    if (root.has_value() != square) mismatch("sqrt exists exactly for squares", a, b);
                    if (!root) continue;
                    result = *root, expected = to_mpz(root->into_bigint());
                    if (mod(expected * expected, p) != a) mismatch("sqrt", a, b);
                } else {
                    continue;
                }
                break;
            }
            case 10: {
                // The curve coefficients taken as small-factor products.
                if constexpr (std::is_same_v<F, algebra::BabyJubjubFq>) {
                    result = both_ways([&] { return algebra::BabyJubjubConfig::mul_by_a(x); }), expected = a * 168700;
                    check("mul_by_a", result, expected, a, b);
                    result = both_ways([&] { return algebra::BabyJubjubConfig::mul_by_d(x); }), expected = a * 168696;
                } else if constexpr (std::is_same_v<F, algebra::JubjubFq>) {
                    result = both_ways([&] { return algebra::JubjubConfig::mul_by_d(x); });
                    expected = a * to_mpz(algebra::JubjubConfig::COEFF_D.into_bigint());
                } else {
                    continue;
                }
                break;
            }
        }
        check("operation", result, expected, a, b);
        reg[out] = result;
        value[out] = mod(expected, p);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            run<algebra::JubjubFqConfig>(input);
            break;
        case 1:
            run<algebra::JubjubFrConfig>(input);
            break;
        case 2:
            run<algebra::BabyJubjubFqConfig>(input);
            break;
        default:
            run<algebra::BabyJubjubFrConfig>(input);
            break;
    }
    return 0;
}
