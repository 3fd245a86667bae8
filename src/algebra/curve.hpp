#pragma once
// Points of a twisted Edwards curve a·x² + y² = 1 + d·x²·y², generic over a
// curve configuration that supplies BaseField, ScalarField, COEFF_A, COEFF_D,
// COFACTOR, GENERATOR_X, GENERATOR_Y, mul_by_a and mul_by_d (a·v and d·v, each
// cheaper than a general product on the curves in use). Arithmetic is done in
// extended coordinates with the unified formulas, which are complete because a
// is a square and d is not: no pair of points, the identity and equal points
// included, needs a special case.
//
// Addition, doubling, negation and to_affine are constant time. What says
// _vartime, or is documented as such (equality, scalar multiplication), is
// for public points and scalars only.

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "algebra/bigint.hpp"
#include "fault/fault.hpp"

namespace algebra {

template <class Config>
struct Affine {
    using BaseField = typename Config::BaseField;

    BaseField x = BaseField::zero();
    BaseField y = BaseField::one();

    static constexpr Affine identity() { return Affine{BaseField::zero(), BaseField::one()}; }

    constexpr bool operator==(const Affine& other) const { return x == other.x && y == other.y; }

    constexpr bool is_on_curve() const {
        const BaseField x2 = x.square(), y2 = y.square();
        return Config::mul_by_a(x2) + y2 == BaseField::one() + Config::COEFF_D * x2 * y2;
    }
};

// Extended coordinates (X, Y, T, Z) for the affine point (X/Z, Y/Z).
// Invariants: T·Z = X·Y and Z != 0. Many representatives stand for one point,
// so compare with operator== (projective equality), never limb by limb.
template <class C>
struct Projective {
    using Config = C;
    using BaseField = typename Config::BaseField;
    using ScalarField = typename Config::ScalarField;

    BaseField x = BaseField::zero();
    BaseField y = BaseField::one();
    BaseField t = BaseField::zero();
    BaseField z = BaseField::one();

    static constexpr Projective identity() {
        return Projective{BaseField::zero(), BaseField::one(), BaseField::zero(), BaseField::one()};
    }

    static constexpr Projective generator() {
        return from_affine(Affine<Config>{Config::GENERATOR_X, Config::GENERATOR_Y});
    }

    static constexpr Projective from_affine(const Affine<Config>& p) {
        return Projective{p.x, p.y, p.x * p.y, BaseField::one()};
    }

    constexpr bool has_valid_representation() const { return !z.is_zero() && t * z == x * y; }

    // add-2008-hwcd (Hisil–Wong–Carter–Dawson, unified). Every input is read
    // before anything is written, so p.add_assign(p) is fine.
    constexpr void add_assign(const Projective& other) {
        const BaseField a = x * other.x;
        const BaseField b = y * other.y;
        const BaseField k = Config::mul_by_d(t) * other.t;
        const BaseField d = z * other.z;
        const BaseField h = b - Config::mul_by_a(a);
        const BaseField e = (x + y) * (other.x + other.y) - a - b;
        const BaseField f = d - k;
        const BaseField g = d + k;
        x = e * f;
        y = g * h;
        t = e * h;
        z = f * g;
        assert(has_valid_representation());
    }

    // dbl-2008-hwcd. T is not read.
    constexpr void double_in_place() {
        const BaseField a = x.square();
        const BaseField b = y.square();
        const BaseField k = z.square().double_();
        const BaseField d = Config::mul_by_a(a);
        const BaseField e = (x + y).square() - a - b;
        const BaseField g = d + b;
        const BaseField f = g - k;
        const BaseField h = d - b;
        x = e * f;
        y = g * h;
        t = e * h;
        z = f * g;
        assert(has_valid_representation());
    }

    constexpr Projective double_() const {
        Projective r = *this;
        r.double_in_place();
        return r;
    }

    constexpr Projective operator-() const { return Projective{-x, y, -t, z}; }

    constexpr Projective& operator+=(const Projective& other) {
        add_assign(other);
        return *this;
    }
    friend constexpr Projective operator+(Projective a, const Projective& b) {
        a.add_assign(b);
        return a;
    }
    friend constexpr Projective operator-(Projective a, const Projective& b) {
        a.add_assign(-b);
        return a;
    }

    // Left-to-right double-and-add over any 256-bit multiplier, for callers
    // (and checks) whose multiplier is not a reduced scalar, such as the group
    // order. Variable time: public multipliers only.
    constexpr void mul_bigint(const BigInt<4>& n) {
        Projective r = identity();
        for (std::size_t i = n.num_bits(); i-- > 0;) {
            r.double_in_place();
            if (n.bit(i)) r.add_assign(*this);
        }
        *this = r;
    }

    // Leading zero bits are skipped, so small scalars cost only a few steps.
    // Variable time: public scalars only (base-point derivation, checks).
    constexpr void mul_assign(const ScalarField& k) { mul_bigint(k.into_bigint()); }

    // Variable time.
    constexpr bool is_identity() const { return x.is_zero() && y == z && !y.is_zero() && t.is_zero(); }

    // (X/Z, Y/Z) with a constant-time inversion and no shortcut for the
    // identity or Z = 1. Z != 0 by invariant, so nothing can be absent.
    constexpr Affine<Config> to_affine() const {
        assert(!z.is_zero());
        const BaseField z_inv = z.invert();
        return Affine<Config>{x * z_inv, y * z_inv};
    }

    // For public points: a faster inversion.
    Affine<Config> to_affine_vartime() const {
        const std::optional<BaseField> z_inv = z.inverse_vartime();
        if (!z_inv) fault::raise("point at infinity has no affine form: Z is not invertible");
        return Affine<Config>{x * *z_inv, y * *z_inv};
    }

    // Projective equality: X1/Z1 = X2/Z2 and Y1/Z1 = Y2/Z2, cross-multiplied.
    // Variable time.
    constexpr bool operator==(const Projective& other) const {
        if (is_identity()) return other.is_identity();
        if (other.is_identity()) return false;
        return x * other.z == other.x * z && y * other.z == other.y * z;
    }
};

namespace detail {

// Montgomery's trick: three products per point and one inversion, by `invert`.
template <class Config, class Invert>
void batch_to_affine_with(std::span<const Projective<Config>> points, std::span<Affine<Config>> out, Invert invert) {
    using F = typename Config::BaseField;
    assert(points.size() == out.size());
    if (points.empty()) return;
    // out[i].x holds z_0·…·z_i until the backward pass replaces it.
    F product = F::one();
    for (std::size_t i = 0; i < points.size(); ++i) {
        assert(!points[i].z.is_zero());
        product *= points[i].z;
        out[i].x = product;
    }
    F running = invert(product);  // (z_0·…·z_i)^-1 at step i
    for (std::size_t i = points.size(); i-- > 0;) {
        const F z_inv = i == 0 ? running : running * out[i - 1].x;
        running *= points[i].z;
        out[i] = Affine<Config>{points[i].x * z_inv, points[i].y * z_inv};
    }
}

}  // namespace detail

// Normalises many points with one constant-time inversion: constant time,
// like to_affine. `out` has as many entries as `points`.
template <class Config>
void batch_to_affine(std::span<const Projective<Config>> points, std::span<Affine<Config>> out) {
    detail::batch_to_affine_with(points, out, [](const typename Config::BaseField& v) { return v.invert(); });
}

// The same with the variable-time inversion: public points only.
template <class Config>
void batch_to_affine_vartime(std::span<const Projective<Config>> points, std::span<Affine<Config>> out) {
    detail::batch_to_affine_with(points, out, [](const typename Config::BaseField& v) {
        const auto inverse = v.inverse_vartime();
        if (!inverse) fault::raise("point at infinity has no affine form: Z is not invertible");
        return *inverse;
    });
}

// x for a given y, from x² = (1 - y²) / (a - d·y²); either root, the caller
// picks the sign. Absent when no point of the curve has this y. Variable
// time: only ever run on public digests.
template <class Config>
std::optional<typename Config::BaseField> recover_x_vartime(const typename Config::BaseField& y) {
    using F = typename Config::BaseField;
    const F y2 = y.square();
    const std::optional<F> denominator_inv = (Config::COEFF_A - Config::COEFF_D * y2).inverse_vartime();
    if (!denominator_inv) return std::nullopt;
    return ((F::one() - y2) * *denominator_inv).sqrt_vartime();
}

}  // namespace algebra
