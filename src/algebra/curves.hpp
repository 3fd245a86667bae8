#pragma once
// The two twisted Edwards curves of the hash constructions: Jubjub over the
// scalar field of BLS12-381, and Baby Jubjub (in its ERC-2494 form) over the
// scalar field of BN254. Both generators generate the prime-order subgroup.
// Baby Jubjub also has an isomorphic model with a = -1, where hashing runs:
// there it gets the cheaper a = -1 formulas that Jubjub has.

#include <cstdint>

#include "algebra/curve.hpp"
#include "algebra/fields.hpp"

namespace algebra {

struct JubjubConfig {
    using BaseField = JubjubFq;
    using ScalarField = JubjubFr;

    static constexpr BaseField COEFF_A = -BaseField::one();
    // d = -(10240/10241)
    static constexpr BaseField COEFF_D =
        BaseField::constant("19257038036680949359750312669786877991949435402254120286184196891950884077233");
    static constexpr std::uint64_t COFACTOR = 8;

    static constexpr BaseField GENERATOR_X =
        BaseField::constant("8076246640662884909881801758704306714034609987455869804520522091855516602923");
    static constexpr BaseField GENERATOR_Y =
        BaseField::constant("13262374693698910701929044844600465831413122818447359594527400194675274060458");

    // a = -1: a negation instead of a multiplication.
    static constexpr BaseField mul_by_a(const BaseField& v) { return -v; }
    static constexpr BaseField mul_by_d(const BaseField& v) { return COEFF_D * v; }
};

struct BabyJubjubConfig {
    using BaseField = BabyJubjubFq;
    using ScalarField = BabyJubjubFr;

    static constexpr std::uint32_t A = 168700;
    static constexpr std::uint32_t D = 168696;
    static constexpr BaseField COEFF_A = BaseField::from(A);
    static constexpr BaseField COEFF_D = BaseField::from(D);
    static constexpr std::uint64_t COFACTOR = 8;

    // The base point B of ERC-2494 (eight times that document's generator G).
    static constexpr BaseField GENERATOR_X =
        BaseField::constant("5299619240641551281634865583518297030282874472190772894086521144482721001553");
    static constexpr BaseField GENERATOR_Y =
        BaseField::constant("16950150798460657717958625567821834550301663161624707787222815936182638968203");

    // Both coefficients are small integers: cheaper than a full product.
    static constexpr BaseField mul_by_a(const BaseField& v) { return v.template mul_by_small<A>(); }
    static constexpr BaseField mul_by_d(const BaseField& v) { return v.template mul_by_small<D>(); }
};

// d·(10241) = -10240 pins the decimal constant to its definition.
static_assert(JubjubConfig::COEFF_D * JubjubFq::from(10241) == -JubjubFq::from(10240));
static_assert(JubjubConfig::COEFF_D.into_bigint() ==
              BigInt<4>::from_hex("0x2a9318e74bfa2b48f5fd9207e6bd7fd4292d7f6d37579d2601065fd6d6343eb1"));
static_assert(Affine<JubjubConfig>{JubjubConfig::GENERATOR_X, JubjubConfig::GENERATOR_Y}.is_on_curve());
static_assert(Affine<BabyJubjubConfig>{BabyJubjubConfig::GENERATOR_X, BabyJubjubConfig::GENERATOR_Y}.is_on_curve());

// Baby Jubjub as -x'² + y² = 1 + d'·x'²·y², via x' = s·x with s² = -a, so
// that -x'² = a·x², and d' = -d/a. -a is a square mod p and d' is a non-square
// (as d is), so the a = -1 addition law is complete here too.
struct BabyJubjubMinusOneConfig {
    using BaseField = BabyJubjubFq;
    using ScalarField = BabyJubjubFr;

    // s = sqrt(-168700), the smaller root, and its inverse.
    static constexpr BaseField SCALE =
        BaseField::constant("6360561867910373094066688120553762416144456282423235903351243436111059670888");
    static constexpr BaseField SCALE_INVERSE =
        BaseField::constant("19976260017534050147865154401153945156910754191401137453807035910720341838527");

    static constexpr BaseField COEFF_A = -BaseField::one();
    static constexpr BaseField COEFF_D =
        BaseField::constant("12181644023421730124874158521699555681764249180949974110617291017600649128846");
    static constexpr std::uint64_t COFACTOR = 8;
    static constexpr BaseField GENERATOR_X = BabyJubjubConfig::GENERATOR_X * SCALE;
    static constexpr BaseField GENERATOR_Y = BabyJubjubConfig::GENERATOR_Y;

    static constexpr BaseField mul_by_a(const BaseField& v) { return -v; }
    static constexpr BaseField mul_by_d(const BaseField& v) { return COEFF_D * v; }

    static constexpr Affine<BabyJubjubMinusOneConfig> from_standard(const Affine<BabyJubjubConfig>& p) {
        return {p.x * SCALE, p.y};
    }
    static constexpr Affine<BabyJubjubConfig> to_standard(const Affine<BabyJubjubMinusOneConfig>& p) {
        return {p.x * SCALE_INVERSE, p.y};
    }
    static constexpr Projective<BabyJubjubMinusOneConfig> from_standard(const Projective<BabyJubjubConfig>& p) {
        return {p.x * SCALE, p.y, p.t * SCALE, p.z};
    }
};

static_assert(BabyJubjubMinusOneConfig::SCALE.square() == -BabyJubjubConfig::COEFF_A);
static_assert(BabyJubjubMinusOneConfig::SCALE * BabyJubjubMinusOneConfig::SCALE_INVERSE == BabyJubjubFq::one());
static_assert(BabyJubjubMinusOneConfig::COEFF_D * BabyJubjubConfig::COEFF_A == -BabyJubjubConfig::COEFF_D);
static_assert(Affine<BabyJubjubMinusOneConfig>{BabyJubjubMinusOneConfig::GENERATOR_X,
                                               BabyJubjubMinusOneConfig::GENERATOR_Y}
                  .is_on_curve());

}  // namespace algebra
