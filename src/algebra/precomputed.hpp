#pragma once
// Affine points prepared for repeated mixed addition: (x, y, d·x·y) with Z = 1
// implied. Adding one to a projective point skips the Z product and the
// multiplication by d of the general formula; tables of generator powers are
// stored in this form. Many points are brought here at once with a single
// field inversion (Montgomery's trick).

#include <cassert>
#include <cstddef>
#include <optional>
#include <span>

#include "algebra/curve.hpp"
#include "algebra/fault.hpp"

namespace algebra {

// Invariants: (x, y) is on the curve and dt = d·x·y.
template <class Config>
struct Precomputed {
    using BaseField = typename Config::BaseField;

    BaseField x = BaseField::zero();
    BaseField y = BaseField::one();
    BaseField dt = BaseField::zero();

    static constexpr Precomputed from_affine(const Affine<Config>& p) {
        return Precomputed{p.x, p.y, Config::mul_by_d(p.x * p.y)};
    }

    constexpr Precomputed operator-() const { return Precomputed{-x, y, -dt}; }

    constexpr Projective<Config> to_projective() const { return Projective<Config>{x, y, x * y, BaseField::one()}; }

    // Equality as points, against any projective representative.
    constexpr bool operator==(const Projective<Config>& p) const { return to_projective() == p; }
    constexpr bool operator==(const Precomputed& other) const = default;
};

// p += q: add-2008-hwcd with Z2 = 1 and d·T2 precomputed; for a = -1, the
// variant that forms E and H from two products (madd-2008-hwcd-3).
template <class Config>
constexpr void add_assign(Projective<Config>& p, const Precomputed<Config>& q) {
    using F = typename Config::BaseField;
    if constexpr (Config::COEFF_A == -F::one()) {
        const F a = (p.y - p.x) * (q.y - q.x);
        const F b = (p.y + p.x) * (q.y + q.x);
        const F k = (p.t * q.dt).double_();
        const F d = p.z.double_();
        const F e = b - a;
        const F f = d - k;
        const F g = d + k;
        const F h = b + a;
        p.x = e * f;
        p.y = g * h;
        p.t = e * h;
        p.z = f * g;
    } else {
        const F a = p.x * q.x;
        const F b = p.y * q.y;
        const F k = p.t * q.dt;
        const F e = (p.x + p.y) * (q.x + q.y) - a - b;
        const F f = p.z - k;
        const F g = p.z + k;
        const F h = b - Config::mul_by_a(a);
        p.x = e * f;
        p.y = g * h;
        p.t = e * h;
        p.z = f * g;
    }
    assert(p.has_valid_representation());
}

// out[i] = points[i] in prepared form, with one inversion for the whole batch.
template <class Config>
void precompute_batch(std::span<const Projective<Config>> points, std::span<Precomputed<Config>> out) {
    using F = typename Config::BaseField;
    assert(points.size() == out.size());
    if (points.empty()) return;
    // out[i].dt holds z_0·…·z_i until the backward pass replaces it.
    F product = F::one();
    for (std::size_t i = 0; i < points.size(); ++i) {
        product *= points[i].z;
        out[i].dt = product;
    }
    const std::optional<F> inverse = product.inverse();
    if (!inverse) fault("point at infinity has no affine form: Z is not invertible");
    F running = *inverse;  // (z_0·…·z_i)^-1 at step i
    for (std::size_t i = points.size(); i-- > 0;) {
        const F z_inv = i == 0 ? running : running * out[i - 1].dt;
        running *= points[i].z;
        const F x = points[i].x * z_inv, y = points[i].y * z_inv;
        out[i] = Precomputed<Config>{x, y, Config::mul_by_d(x * y)};
    }
}

}  // namespace algebra
