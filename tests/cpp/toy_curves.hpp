// Two toy twisted Edwards curves, small enough that every element, every point
// and every pair of points can be checked against plain integer arithmetic
// modulo p, and that integer reference itself:
//
//   -x² + y² = 1 + 7·x²·y² over F_241: 232 = 8·29 points (a = -1, the model hashes run in)
//   4·x² + y² = 1 + 3·x²·y² over F_223: 232 = 8·29 points (a general a, as Baby Jubjub is published)
//
// In both, a is a square and d is not, so the unified formulas are complete, as
// on the real curves; the cofactor is 8 and the rest of the order is prime, as
// there. The point counts are not trusted: the tests enumerate the curve.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "algebra/bigint.hpp"
#include "algebra/curve.hpp"
#include "algebra/field.hpp"

namespace toy {

using u64 = std::uint64_t;

template <u64 P>
struct ScalarFieldConfig {
    static constexpr algebra::BigInt<4> MODULUS = algebra::BigInt<4>::from_u64(P);
};

// NONRESIDUE must be a quadratic non-residue modulo P (the field checks it).
template <u64 P, u64 NONRESIDUE>
struct BaseFieldConfig {
    static constexpr algebra::BigInt<4> MODULUS = algebra::BigInt<4>::from_u64(P);
    static constexpr u64 SQRT_NONRESIDUE = NONRESIDUE;
};

template <u64 P, u64 NONRESIDUE, u64 A, u64 D, u64 Q, u64 GX, u64 GY>
struct Curve {
    static constexpr u64 p = P, nonresidue = NONRESIDUE, a = A, d = D, q = Q;
    using BaseField = algebra::Fp<BaseFieldConfig<P, NONRESIDUE>>;
    using ScalarField = algebra::Fp<ScalarFieldConfig<Q>>;
    static constexpr BaseField COEFF_A = BaseField::from(A);
    static constexpr BaseField COEFF_D = BaseField::from(D);
    static constexpr u64 COFACTOR = 8;
    static constexpr BaseField GENERATOR_X = BaseField::from(GX);
    static constexpr BaseField GENERATOR_Y = BaseField::from(GY);
    static constexpr BaseField mul_by_a(const BaseField& v) { return COEFF_A * v; }
    static constexpr BaseField mul_by_d(const BaseField& v) { return COEFF_D * v; }
};

using MinusOneCurve = Curve<241, 7, 240, 7, 29, 226, 22>;
using GeneralCurve = Curve<223, 3, 4, 3, 29, 65, 44>;
static_assert(MinusOneCurve::COEFF_A == -MinusOneCurve::BaseField::one());
static_assert(GeneralCurve::COEFF_A != -GeneralCurve::BaseField::one());

// ---- the reference: integers modulo p ------------------------------------

inline u64 power(u64 base, u64 exponent, u64 p) {
    u64 r = 1 % p;
    for (base %= p; exponent != 0; exponent >>= 1, base = base * base % p) {
        if (exponent & 1) r = r * base % p;
    }
    return r;
}

inline u64 inverse(u64 v, u64 p) { return power(v, p - 2, p); }

struct Point {
    u64 x, y;
    bool operator==(const Point&) const = default;
};

// Every point of the curve, the group law as a table of indices, and lookups.
template <class C>
struct Group {
    static constexpr u64 p = C::p;
    static constexpr std::uint32_t NONE = ~std::uint32_t{0};
    std::vector<Point> points;            // sorted by (x, y); points[0] is the identity (0, 1)
    std::vector<std::uint32_t> index_of;  // p·x + y -> index, or NONE
    std::vector<std::uint32_t> sum;       // sum[i·n + j] = index of points[i] + points[j]

    Group() : index_of(p * p, NONE) {
        for (u64 x = 0; x < p; ++x) {
            for (u64 y = 0; y < p; ++y) {
                if (on_curve(x, y)) {
                    index_of[p * x + y] = static_cast<std::uint32_t>(points.size());
                    points.push_back({x, y});
                }
            }
        }
        const std::size_t n = points.size();
        sum.resize(n * n);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) sum[i * n + j] = index(add(points[i], points[j]));
        }
    }

    static bool on_curve(u64 x, u64 y) {
        const u64 x2 = x * x % p, y2 = y * y % p;
        return (C::a * x2 + y2) % p == (1 + C::d * x2 % p * y2) % p;
    }

    // The affine addition law; its denominators never vanish on these curves.
    static Point add(Point l, Point r) {
        const u64 t = C::d * (l.x * r.x % p) % p * (l.y * r.y % p) % p;
        const u64 x = (l.x * r.y + l.y * r.x) % p * inverse((1 + t) % p, p) % p;
        const u64 y = (l.y * r.y + (p - C::a) * (l.x * r.x % p)) % p * inverse((1 + p - t) % p, p) % p;
        return {x, y};
    }

    std::uint32_t index(Point point) const { return index_of[p * point.x + point.y]; }
    std::size_t size() const { return points.size(); }
    std::uint32_t plus(std::size_t i, std::size_t j) const { return sum[i * size() + j]; }
    std::uint32_t negation(std::size_t i) const { return index({(p - points[i].x) % p, points[i].y}); }
    // k·points[i] by repeated addition.
    std::uint32_t times(std::size_t i, u64 k) const {
        std::uint32_t r = 0;
        for (u64 step = 0; step < k; ++step) r = plus(r, i);
        return r;
    }
};

template <class C>
const Group<C>& group() {
    static const Group<C> instance;
    return instance;
}

// ---- conversions between the two worlds ----------------------------------

template <class F>
u64 integer(const F& v) {
    return v.into_bigint().limbs[0];
}

template <class C>
algebra::Projective<C> affine_point(const Point& point) {
    using F = typename C::BaseField;
    return algebra::Projective<C>::from_affine(algebra::Affine<C>{F::from(point.x), F::from(point.y)});
}

// The same point with all four coordinates scaled by a nonzero λ chosen from
// `seed`: the formulas must not depend on which representative they are given.
template <class C>
algebra::Projective<C> scaled_point(const Point& point, std::size_t seed) {
    using F = typename C::BaseField;
    const F lambda = F::from(1 + (seed * 37 + 11) % (C::p - 1));
    const algebra::Projective<C> p = affine_point<C>(point);
    return algebra::Projective<C>{p.x * lambda, p.y * lambda, p.t * lambda, p.z * lambda};
}

template <class C>
Point to_point(const algebra::Affine<C>& affine) {
    return {integer(affine.x), integer(affine.y)};
}

template <class C>
Point to_point(const algebra::Projective<C>& point) {
    return to_point(point.to_affine_vartime());
}

}  // namespace toy
