#pragma once
// Fp<Config>: an element of the prime field whose modulus is Config::MODULUS,
// held in Montgomery form (a·R mod p, R = 2^256). Every other constant of the
// field (R, R², INV, the square-root precomputation) is derived at compile time
// from the modulus.
//
// Representation invariant: the held integer is always fully reduced (below p),
// so equal elements have equal limbs and operator== is a limb comparison.

#include <array>
#include <bit>
#include <cassert>
#include <compare>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

#include "algebra/bigint.hpp"
#include "algebra/cpu.hpp"
#include "algebra/ct.hpp"
#include "algebra/inverse.hpp"
#include "algebra/mul_x86.hpp"

#if ALGEBRA_X86_ASM
// There the portable multiply is a fallback: out of line, so that the assembly
// inlines into every caller without dragging ~400 instructions along.
#define ALGEBRA_PORTABLE_MULTIPLY [[gnu::noinline]]
#else
#define ALGEBRA_PORTABLE_MULTIPLY
#endif

namespace algebra {

namespace montgomery {

// These two are constexpr rather than consteval: they initialise static members of
// the class template Fp, where clang 14 refuses immediate calls. Those members are
// constexpr, so the compiler still runs them.

// -p^(-1) mod 2^64. Newton/Hensel: after k rounds inv = p0^(2^k - 1), and
// p0^(2^63) = 1 in the unit group mod 2^64, so 63 rounds give p0^(-1).
constexpr std::uint64_t neg_inverse_mod_word(std::uint64_t p0) {
    std::uint64_t inv = 1;
    for (int i = 0; i < 63; ++i) {
        inv *= inv;
        inv *= p0;
    }
    return 0 - inv;
}

// 2^k mod p by repeated modular doubling; slow, but only ever run by the compiler.
constexpr BigInt<4> pow2_mod(std::size_t k, const BigInt<4>& p) {
    BigInt<4> r = BigInt<4>::from_u64(1);
    for (std::size_t i = 0; i < k; ++i) {
        const std::uint64_t carry = r.mul2();
        if (carry != 0 || r >= p) r.sub_with_borrow(p);
    }
    return r;
}

}  // namespace montgomery

// Fields with a square root in use name a quadratic non-residue g; Tonelli–Shanks
// then runs with z = g^t where p - 1 = 2^s·t, t odd.
template <class Config>
concept HasSqrt = requires {
    { Config::SQRT_NONRESIDUE } -> std::convertible_to<std::uint64_t>;
};

template <class Config>
struct SqrtPrecomputation;

template <class Config>
class Fp {
  public:
    static constexpr BigInt<4> MODULUS = Config::MODULUS;

    // The multiply drops the carry out of its top word and additions never
    // check for overflow past 2^256: both need the top bit of p to be clear
    // (and the top word not to be 2^63 - 1).
    static_assert(MODULUS.limbs[3] < 0x7fffffffffffffffULL, "modulus needs a spare top bit");
    static_assert(MODULUS.is_odd(), "Montgomery form needs an odd modulus");

    static constexpr std::uint64_t INV = montgomery::neg_inverse_mod_word(MODULUS.limbs[0]);
    static constexpr BigInt<4> R = montgomery::pow2_mod(256, MODULUS);          // held form of one
    static constexpr BigInt<4> R2 = montgomery::pow2_mod(512, MODULUS);         // converts into Montgomery form
    static constexpr std::uint64_t MODULUS_INV62 = (0 - INV) & inversion::M62;  // p^(-1) mod 2^62
    static constexpr BigInt<4> MODULUS_MINUS_ONE_DIV_TWO = [] {
        BigInt<4> h = MODULUS;
        h.div2();
        return h;
    }();

    constexpr Fp() = default;  // zero

    static constexpr Fp zero() { return Fp(); }
    static constexpr Fp one() { return from_montgomery(R); }

    // Every 64-bit value is below each modulus in use, so this never fails.
    static constexpr Fp from(std::uint64_t v) { return from_montgomery(mul_reduce(BigInt<4>::from_u64(v), R2)); }

    static constexpr std::optional<Fp> from_bigint(const BigInt<4>& n) {
        if (n >= MODULUS) return std::nullopt;
        return from_montgomery(mul_reduce(n, R2));
    }

    // A decimal constant of the program, checked by the compiler.
    static consteval Fp constant(std::string_view decimal) {
        const BigInt<4> n = BigInt<4>::from_decimal(decimal);
        if (n >= MODULUS) throw "constant is not below the modulus";
        return from_montgomery(mul_reduce(n, R2));
    }

    // The held integer must already be below p.
    static constexpr Fp from_montgomery(const BigInt<4>& held) {
        assert(held < MODULUS);
        Fp r;
        r.mont_ = held;
        return r;
    }
    constexpr const BigInt<4>& montgomery() const { return mont_; }

    // Canonical value in [0, p): a Montgomery reduction of the held integer.
    constexpr BigInt<4> into_bigint() const { return mul_reduce(mont_, BigInt<4>::from_u64(1)); }

    constexpr bool is_zero() const { return mont_.is_zero(); }
    constexpr bool is_one() const { return mont_ == R; }

    // ---- arithmetic -------------------------------------------------------

    friend constexpr Fp operator+(const Fp& a, const Fp& b) {
        BigInt<4> s = a.mont_;
        s.add_with_carry(b.mont_);  // below 2p < 2^256: no carry out
        return from_montgomery(subtract_modulus_once(s));
    }

    friend constexpr Fp operator-(const Fp& a, const Fp& b) {
        BigInt<4> d = a.mont_;
        const std::uint64_t mask = 0 - d.sub_with_borrow(b.mont_);
        BigInt<4> correction = MODULUS;
#pragma GCC unroll 8
        for (auto& l : correction.limbs) l &= mask;  // add p back only on a borrow
        d.add_with_carry(correction);
        return from_montgomery(d);
    }

    constexpr Fp operator-() const {
        BigInt<4> d = MODULUS;
        d.sub_with_borrow(mont_);
        const auto& l = mont_.limbs;
        const std::uint64_t mask = ct::mask_nonzero(l[0] | l[1] | l[2] | l[3]);  // -0 = 0, not p
#pragma GCC unroll 8
        for (auto& l : d.limbs) l &= mask;
        return from_montgomery(d);
    }

    // a where mask is all ones, b where it is zero; no branch on the mask.
    static constexpr Fp select(std::uint64_t mask, const Fp& a, const Fp& b) {
        Fp r;
#pragma GCC unroll 4
        for (std::size_t i = 0; i < 4; ++i) r.mont_.limbs[i] = ct::select(mask, a.mont_.limbs[i], b.mont_.limbs[i]);
        return r;
    }

    // -this where mask is all ones; the negation is computed either way.
    constexpr Fp conditional_negate(std::uint64_t mask) const { return select(mask, -*this, *this); }

    friend constexpr Fp operator*(const Fp& a, const Fp& b) { return from_montgomery(mul_reduce(a.mont_, b.mont_)); }

    constexpr Fp& operator+=(const Fp& b) { return *this = *this + b; }
    constexpr Fp& operator-=(const Fp& b) { return *this = *this - b; }
    constexpr Fp& operator*=(const Fp& b) { return *this = *this * b; }
    constexpr void mul_assign(const Fp& b) { *this = *this * b; }

    // Multiplication by a small constant K (a curve coefficient, say) without a
    // Montgomery product: A·K is already the held form of a·K; it only needs
    // reducing. Its quotient by p is estimated from the top word with one
    // division by a compile-time constant (a multiply) and is exact or one too
    // small, so one conditional subtraction finishes the job.
    template <std::uint64_t K>
    constexpr Fp mul_by_small() const {
        using limb::mac;
        using limb::sbb;
        static_assert(K < (std::uint64_t{1} << 31), "the quotient estimate is only tight for factors below 2^31");
        constexpr std::size_t K_BITS = K == 0 ? 1 : std::bit_width(K);
        // A·K < 2^(bits(p) + K_BITS), so its bits from SHIFT on fill at most one word.
        constexpr std::size_t SHIFT = MODULUS.num_bits() + K_BITS - 64;
        constexpr std::uint64_t DIVISOR = MODULUS.shr(SHIFT).limbs[0] + 1;
        constexpr std::size_t WORD = SHIFT / 64, BIT = SHIFT % 64;

        std::uint64_t w[5];
        std::uint64_t carry = 0;
#pragma GCC unroll 4
        for (std::size_t i = 0; i < 4; ++i) w[i] = mac(0, mont_.limbs[i], K, carry);
        w[4] = carry;

        std::uint64_t top = w[WORD];
        if constexpr (BIT != 0) top = (w[WORD] >> BIT) | (w[WORD + 1] << (64 - BIT));
        const std::uint64_t q = top / DIVISOR;  // floor(A·K / p) - q is 0 or 1

        // A·K - q·p < 2p < 2^256, so arithmetic modulo 2^256 gives it exactly.
        BigInt<4> r;
        std::uint64_t qp_carry = 0, borrow = 0;
#pragma GCC unroll 4
        for (std::size_t i = 0; i < 4; ++i) r.limbs[i] = sbb(w[i], mac(0, MODULUS.limbs[i], q, qp_carry), borrow);
        return from_montgomery(subtract_modulus_once(r));
    }

    constexpr Fp double_() const {
        BigInt<4> s = mont_;
        s.mul2();  // below 2p < 2^256
        return from_montgomery(subtract_modulus_once(s));
    }
    constexpr void double_in_place() { *this = double_(); }

    // The assembly has a dedicated squaring (10 word products instead of 16);
    // in portable C++ one measured no faster than the general product.
    constexpr Fp square() const {
#if ALGEBRA_X86_ASM
        if (!std::is_constant_evaluated() && fast_multiply())
            return from_montgomery(x86::montgomery_square_mulx_adx(mont_, MODULUS, INV));
#endif
        return *this * *this;
    }
    constexpr void square_in_place() { *this = square(); }

    // Exponent as little-endian 64-bit limbs; leading zero bits are skipped
    // and each set bit costs a product: the exponent must be public.
    constexpr Fp pow_vartime(std::span<const std::uint64_t> exponent_le) const {
        Fp acc = one();
        bool started = false;
        for (std::size_t i = exponent_le.size() * 64; i-- > 0;) {
            const bool bit = ((exponent_le[i / 64] >> (i % 64)) & 1) != 0;
            if (!started && !bit) continue;
            started = true;
            acc.square_in_place();
            if (bit) acc *= *this;
        }
        return acc;
    }

    // Divsteps on the held integer A (see inverse.hpp). Scaling the result by
    // R² turns A^(-1) into A^(-1)·R² = a^(-1)·R, the held form of the inverse.
    // Variable time, for public values; absent for zero.
    constexpr std::optional<Fp> inverse_vartime() const {
        if (is_zero()) return std::nullopt;
        return from_montgomery(inversion::inverse_times_vartime(mont_, R2, MODULUS, MODULUS_INV62));
    }

    // The same in constant time, for values computed from secrets: a fixed
    // number of branch-free divsteps. Zero maps to zero.
    constexpr Fp invert() const {
        return from_montgomery(inversion::inverse_times_consttime(mont_, R2, MODULUS, MODULUS_INV62));
    }

    // Tonelli–Shanks in constant time, after zkcrypto's ff: loops of fixed
    // length and every choice a select, so secret values may be passed.
    // `is_square` is set to all ones when a root exists (the result is then
    // one), to zero otherwise (the result is then meaningless).
    constexpr Fp sqrt(std::uint64_t& is_square) const
        requires HasSqrt<Config>
    {
        using Pre = SqrtPrecomputation<Config>;
        // The exponent is public: pow_vartime's time follows it alone.
        const Fp w = pow_vartime(Pre::TRACE_MINUS_ONE_DIV_TWO.limbs);
        std::uint64_t v = Pre::TWO_ADICITY;
        Fp x = w * *this;
        Fp b = x * w;
        Fp z = Pre::NONRESIDUE_POWER;
        for (std::uint64_t max_v = Pre::TWO_ADICITY; max_v >= 1; --max_v) {
            std::uint64_t k = 1;
            Fp power = b.square();
            std::uint64_t j_below_v = ~std::uint64_t{0};
            for (std::uint64_t j = 2; j < max_v; ++j) {
                const std::uint64_t power_is_one = power.equal_mask(one());
                const Fp squared = select(power_is_one, z, power).square();
                power = select(power_is_one, power, squared);
                const Fp next_z = select(power_is_one, squared, z);
                j_below_v &= ~ct::mask_equal(j, v);
                k = ct::select(power_is_one, k, j);
                z = select(j_below_v, next_z, z);
            }
            x = select(b.equal_mask(one()), x, x * z);
            z = z.square();
            b *= z;
            v = k;
        }
        is_square = x.square().equal_mask(*this);
        return x;
    }

    // All ones when equal, else zero; no branch on either value.
    constexpr std::uint64_t equal_mask(const Fp& other) const {
        std::uint64_t diff = 0;
        for (std::size_t i = 0; i < 4; ++i) diff |= mont_.limbs[i] ^ other.mont_.limbs[i];
        return ~ct::mask_nonzero(diff);
    }

    // Tonelli–Shanks. The step order fixes which of the two roots comes out.
    // Its loops follow the value: for public values only.
    std::optional<Fp> sqrt_vartime() const
        requires HasSqrt<Config>
    {
        using Pre = SqrtPrecomputation<Config>;
        if (is_zero()) return zero();
        Fp z = Pre::NONRESIDUE_POWER;
        Fp w = pow_vartime(Pre::TRACE_MINUS_ONE_DIV_TWO.limbs);
        Fp x = w * *this;
        Fp b = x * w;
        std::size_t v = Pre::TWO_ADICITY;
        while (!b.is_one()) {
            // b has order 2^k with k <= v, so the bound never cuts a real search short.
            std::size_t k = 0;
            Fp b2k = b;
            while (!b2k.is_one() && k < Pre::TWO_ADICITY) {
                b2k.square_in_place();
                ++k;
            }
            if (k == Pre::TWO_ADICITY) return std::nullopt;
            w = z;
            for (std::size_t i = 1; i < v - k; ++i) w.square_in_place();
            z = w.square();
            b *= z;
            x *= w;
            v = k;
        }
        if (x.square() != *this) return std::nullopt;
        return x;
    }

    // ---- comparison and encoding -----------------------------------------

    constexpr bool operator==(const Fp& other) const { return mont_ == other.mont_; }

    // Montgomery form does not preserve order, so compare canonical values.
    // Stops at the first differing limb: public values only.
    constexpr std::strong_ordering operator<=>(const Fp& other) const { return into_bigint() <=> other.into_bigint(); }

    // Canonical value > (p - 1)/2 (false for zero), as a 0/1 word: the borrow
    // of (p - 1)/2 - value, with no early exit.
    constexpr std::uint64_t is_greater_than_negation() const {
        BigInt<4> half = MODULUS_MINUS_ONE_DIV_TWO;
        return half.sub_with_borrow(into_bigint());
    }

  private:
    BigInt<4> mont_{};  // a·R mod p, below p

    // t < 2p -> t mod p, without a data-dependent branch.
    static constexpr BigInt<4> subtract_modulus_once(const BigInt<4>& t) {
        BigInt<4> s = t;
        const std::uint64_t keep = 0 - s.sub_with_borrow(MODULUS);  // all ones when t < p
#pragma GCC unroll 8
        for (std::size_t i = 0; i < 4; ++i) s.limbs[i] = (t.limbs[i] & keep) | (s.limbs[i] & ~keep);
        return s;
    }

    // a·b·R^(-1) mod p for a, b < p. On x86-64 processors with MULX and ADX
    // the assembly in mul_x86.hpp (about twice as fast); elsewhere, and
    // whenever the compiler evaluates it, the portable form below. Both give
    // the same limbs.
    [[gnu::always_inline]] static constexpr BigInt<4> mul_reduce(const BigInt<4>& a, const BigInt<4>& b) {
#if ALGEBRA_X86_ASM
        if (!std::is_constant_evaluated() && fast_multiply()) return x86::montgomery_mul_mulx_adx(a, b, MODULUS, INV);
#endif
        return mul_reduce_portable(a, b);
    }

    // Word-by-word Montgomery multiplication (CIOS) in the variant that skips
    // the extra carry word, valid because the top word of p leaves a spare
    // bit. Fully unrolled; the result is below 2p before the final subtraction.
    ALGEBRA_PORTABLE_MULTIPLY static constexpr BigInt<4> mul_reduce_portable(const BigInt<4>& a, const BigInt<4>& b) {
        using limb::mac;
        const auto& p = MODULUS.limbs;
        const auto& x = a.limbs;
        std::uint64_t t0 = 0, t1 = 0, t2 = 0, t3 = 0;
#pragma GCC unroll 4
        for (std::size_t i = 0; i < 4; ++i) {
            const std::uint64_t bi = b.limbs[i];
            std::uint64_t hi = 0, carry = 0;
            t0 = mac(t0, x[0], bi, hi);
            const std::uint64_t m = t0 * INV;
            (void)mac(t0, m, p[0], carry);  // the low word cancels by choice of m
            t1 = mac(t1, x[1], bi, hi);
            t0 = mac(t1, m, p[1], carry);
            t2 = mac(t2, x[2], bi, hi);
            t1 = mac(t2, m, p[2], carry);
            t3 = mac(t3, x[3], bi, hi);
            t2 = mac(t3, m, p[3], carry);
            t3 = carry + hi;
        }
        return subtract_modulus_once(BigInt<4>{{t0, t1, t2, t3}});
    }
};

template <class Config>
struct SqrtPrecomputation {
    using F = Fp<Config>;
    static constexpr BigInt<4> MODULUS_MINUS_ONE = [] {
        BigInt<4> m = Config::MODULUS;
        m.sub_with_borrow(BigInt<4>::from_u64(1));
        return m;
    }();
    // p - 1 = 2^s·t with t odd.
    static constexpr std::size_t TWO_ADICITY = MODULUS_MINUS_ONE.trailing_zeros();
    static constexpr BigInt<4> TRACE = MODULUS_MINUS_ONE.shr(TWO_ADICITY);
    static constexpr BigInt<4> TRACE_MINUS_ONE_DIV_TWO = TRACE.shr(1);
    static constexpr F NONRESIDUE_POWER = F::from(Config::SQRT_NONRESIDUE).pow_vartime(TRACE.limbs);

    // Euler's criterion: g^((p-1)/2) = -1 exactly for a non-residue.
    static_assert(F::from(Config::SQRT_NONRESIDUE).pow_vartime(F::MODULUS_MINUS_ONE_DIV_TWO.limbs) == -F::one(),
                  "SQRT_NONRESIDUE must be a quadratic non-residue");
};

}  // namespace algebra

#undef ALGEBRA_PORTABLE_MULTIPLY
