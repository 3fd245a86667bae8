#pragma once
// Affine points prepared for mixed addition on an a = -1 curve: (y - x,
// y + x, 2d·x·y) with Z = 1 implied. Adding one to an extended point then
// takes 7 products (madd-2008-hwcd-3) and no product by a curve constant;
// the hash tables are held in this form.
//
// The constant-time primitives of the hash loop live here: the table scan
// that selects an entry by a secret index while reading every entry, and the
// conditional negation. Converting points into this form works on public
// points only.

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "algebra/bigint.hpp"
#include "algebra/cpu.hpp"
#include "algebra/ct.hpp"
#include "algebra/curve.hpp"
#include "fault/fault.hpp"

#if ALGEBRA_X86_ASM
#include <immintrin.h>
#endif

namespace algebra {

// Curves whose mixed addition this form serves.
template <class Config>
concept MinusOneCurve = Config::COEFF_A == -Config::BaseField::one();

// Invariant: the three values come from one affine point (x, y) on the curve.
template <MinusOneCurve Config>
struct Niels {
    using BaseField = typename Config::BaseField;

    BaseField y_minus_x = BaseField::one();
    BaseField y_plus_x = BaseField::one();
    BaseField t2d = BaseField::zero();

    static constexpr Niels identity() { return Niels{}; }

    static constexpr Niels from_affine(const Affine<Config>& p) {
        return Niels{p.y - p.x, p.y + p.x, Config::mul_by_d(p.x * p.y).double_()};
    }

    // -(x, y) = (-x, y): the first two swap and 2d·x·y changes sign.
    constexpr Niels conditional_negate(std::uint64_t mask) const {
        return Niels{BaseField::select(mask, y_plus_x, y_minus_x), BaseField::select(mask, y_minus_x, y_plus_x),
                     t2d.conditional_negate(mask)};
    }

    constexpr Niels negate() const { return Niels{y_plus_x, y_minus_x, -t2d}; }

    // For checks: back to (x, y), halving the sum and difference.
    constexpr Affine<Config> to_affine() const {
        const BaseField half = *BaseField::from(2).inverse_vartime();
        return Affine<Config>{(y_plus_x - y_minus_x) * half, (y_plus_x + y_minus_x) * half};
    }

    constexpr bool operator==(const Niels&) const = default;
};

// p += q, complete (the a = -1 unified formula with Z2 = 1).
template <class Config>
[[gnu::always_inline]] constexpr void add_assign(Projective<Config>& p, const Niels<Config>& q) {
    using F = typename Config::BaseField;
    const F a = (p.y - p.x) * q.y_minus_x;
    const F b = (p.y + p.x) * q.y_plus_x;
    const F c = p.t * q.t2d;
    const F d = p.z.double_();
    const F e = b - a;
    const F f = d - c;
    const F g = d + c;
    const F h = b + a;
    p.x = e * f;
    p.y = g * h;
    p.t = e * h;
    p.z = f * g;
    assert(p.has_valid_representation());
}

// out[i] = points[i] in prepared form, with one inversion for the whole
// batch (Montgomery's trick). Variable time: tables of public points only.
template <class Config>
void batch_to_niels(std::span<const Projective<Config>> points, std::span<Niels<Config>> out) {
    using F = typename Config::BaseField;
    assert(points.size() == out.size());
    if (points.empty()) return;
    // out[i].t2d holds z_0·…·z_i until the backward pass replaces it.
    F product = F::one();
    for (std::size_t i = 0; i < points.size(); ++i) {
        product *= points[i].z;
        out[i].t2d = product;
    }
    const std::optional<F> inverse = product.inverse_vartime();
    if (!inverse) fault::raise("point at infinity has no affine form: Z is not invertible");
    F running = *inverse;  // (z_0·…·z_i)^-1 at step i
    for (std::size_t i = points.size(); i-- > 0;) {
        const F z_inv = i == 0 ? running : running * out[i - 1].t2d;
        running *= points[i].z;
        out[i] = Niels<Config>::from_affine(Affine<Config>{points[i].x * z_inv, points[i].y * z_inv});
    }
}

namespace detail {

#if ALGEBRA_X86_ASM
[[gnu::target("avx2")]] inline __m256i load_limbs(const BigInt<4>& v) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v.limbs.data()));
}

[[gnu::target("avx2")]] inline BigInt<4> store_limbs(__m256i v) {
    BigInt<4> out;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out.limbs.data()), v);
    return out;
}

// Three 256-bit registers hold one entry; each entry is blended in under a
// mask that is all ones for exactly one index.
template <class Config>
[[gnu::target("avx2")]] inline Niels<Config> scan_avx2(const Niels<Config>* entries, std::size_t count,
                                                       std::uint64_t selector) {
    using F = typename Config::BaseField;
    static_assert(sizeof(Niels<Config>) == 96);
    const Niels<Config> identity = Niels<Config>::identity();
    __m256i a = load_limbs(identity.y_minus_x.montgomery());
    __m256i b = load_limbs(identity.y_plus_x.montgomery());
    __m256i c = load_limbs(identity.t2d.montgomery());
    const __m256i wanted = _mm256_set1_epi64x(static_cast<long long>(selector));
    const __m256i step = _mm256_set1_epi64x(1);
    __m256i index = step;
    for (std::size_t i = 0; i < count; ++i) {
        const __m256i mask = _mm256_cmpeq_epi64(index, wanted);
        a = _mm256_blendv_epi8(a, load_limbs(entries[i].y_minus_x.montgomery()), mask);
        b = _mm256_blendv_epi8(b, load_limbs(entries[i].y_plus_x.montgomery()), mask);
        c = _mm256_blendv_epi8(c, load_limbs(entries[i].t2d.montgomery()), mask);
        index = _mm256_add_epi64(index, step);
    }
    return Niels<Config>{F::from_montgomery(store_limbs(a)), F::from_montgomery(store_limbs(b)),
                         F::from_montgomery(store_limbs(c))};
}
#endif

template <class Config>
inline Niels<Config> scan_portable(const Niels<Config>* entries, std::size_t count, std::uint64_t selector) {
    using F = typename Config::BaseField;
    Niels<Config> r = Niels<Config>::identity();
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t mask = ct::mask_equal(i + 1, selector);
        r.y_minus_x = F::select(mask, entries[i].y_minus_x, r.y_minus_x);
        r.y_plus_x = F::select(mask, entries[i].y_plus_x, r.y_plus_x);
        r.t2d = F::select(mask, entries[i].t2d, r.t2d);
    }
    return r;
}

}  // namespace detail

// entries[selector - 1], or the identity for selector 0, read in constant
// time: every entry is loaded and blended under a mask, whatever the selector.
template <class Config>
[[gnu::always_inline]] inline Niels<Config> select_entry(std::span<const Niels<Config>> entries,
                                                         std::uint64_t selector) {
#if ALGEBRA_X86_ASM
    if (avx2_scan()) return detail::scan_avx2(entries.data(), entries.size(), selector);
#endif
    return detail::scan_portable(entries.data(), entries.size(), selector);
}

}  // namespace algebra
