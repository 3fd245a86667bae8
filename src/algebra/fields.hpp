#pragma once
// The four prime fields of the hash constructions. Each is described by its
// modulus alone (plus a non-residue for the two base fields, whose square root
// is in use); the derived Montgomery constants are pinned below against their
// published values so that a slip in the derivation cannot go unnoticed.

#include "algebra/bigint.hpp"
#include "algebra/field.hpp"

namespace algebra {

// Jubjub coordinates: the scalar field of BLS12-381.
struct JubjubFqConfig {
    static constexpr BigInt<4> MODULUS =
        BigInt<4>::from_hex("0x73eda753299d7d483339d80809a1d80553bda402fffe5bfeffffffff00000001");
    static constexpr std::uint64_t SQRT_NONRESIDUE = 7;
};

// Jubjub scalars: the order of the prime-order subgroup.
struct JubjubFrConfig {
    static constexpr BigInt<4> MODULUS =
        BigInt<4>::from_hex("0x0e7db4ea6533afa906673b0101343b00a6682093ccc81082d0970e5ed6f72cb7");
};

// Baby Jubjub coordinates: the scalar field of BN254.
struct BabyJubjubFqConfig {
    static constexpr BigInt<4> MODULUS =
        BigInt<4>::from_hex("0x30644e72e131a029b85045b68181585d2833e84879b9709143e1f593f0000001");
    static constexpr std::uint64_t SQRT_NONRESIDUE = 5;
};

// Baby Jubjub scalars: the order of the prime-order subgroup.
struct BabyJubjubFrConfig {
    static constexpr BigInt<4> MODULUS =
        BigInt<4>::from_hex("0x060c89ce5c263405370a08b6d0302b0bab3eedb83920ee0a677297dc392126f1");
};

using JubjubFq = Fp<JubjubFqConfig>;
using JubjubFr = Fp<JubjubFrConfig>;
using BabyJubjubFq = Fp<BabyJubjubFqConfig>;
using BabyJubjubFr = Fp<BabyJubjubFrConfig>;

// ---- published values --------------------------------------------------------

// The hexadecimal moduli above against their published decimal forms.
static_assert(JubjubFq::MODULUS ==
              BigInt<4>::from_decimal("52435875175126190479447740508185965837690552500527637822603658699938581184513"));
static_assert(JubjubFr::MODULUS ==
              BigInt<4>::from_decimal("6554484396890773809930967563523245729705921265872317281365359162392183254199"));
static_assert(BabyJubjubFq::MODULUS ==
              BigInt<4>::from_decimal("21888242871839275222246405745257275088548364400416034343698204186575808495617"));
static_assert(BabyJubjubFr::MODULUS ==
              BigInt<4>::from_decimal("2736030358979909402780800718157159386076813972158567259200215660948447373041"));

static_assert(JubjubFq::MODULUS.num_bits() == 255);
static_assert(JubjubFr::MODULUS.num_bits() == 252);
static_assert(BabyJubjubFq::MODULUS.num_bits() == 254);
static_assert(BabyJubjubFr::MODULUS.num_bits() == 251);

static_assert(JubjubFq::INV == 0xfffffffeffffffffULL);
static_assert(JubjubFr::INV == 0x1ba3a358ef788ef9ULL);
static_assert(BabyJubjubFq::INV == 0xc2e1f593efffffffULL);
static_assert(BabyJubjubFr::INV == 0x532ce5aebc48f5efULL);

static_assert(JubjubFq::R == BigInt<4>::from_hex("0x1824b159acc5056f998c4fefecbc4ff55884b7fa0003480200000001fffffffe"));
static_assert(BabyJubjubFq::R ==
              BigInt<4>::from_hex("0x0e0a77c19a07df2f666ea36f7879462e36fc76959f60cd29ac96341c4ffffffb"));
static_assert(JubjubFq::R2 ==
              BigInt<4>::from_hex("0x0748d9d99f59ff1105d314967254398f2b6cedcb87925c23c999e990f3f29c6d"));
static_assert(BabyJubjubFq::R2 ==
              BigInt<4>::from_hex("0x0216d0b17f4e44a58c49833d53bb808553fe3ab1e35c59e31bb8e645ae216da7"));
// R² must map back to R under one Montgomery reduction (R²·R⁻¹ = R), in every field.
static_assert(JubjubFq::from_montgomery(JubjubFq::R2).into_bigint() == JubjubFq::R);
static_assert(JubjubFr::from_montgomery(JubjubFr::R2).into_bigint() == JubjubFr::R);
static_assert(BabyJubjubFq::from_montgomery(BabyJubjubFq::R2).into_bigint() == BabyJubjubFq::R);
static_assert(BabyJubjubFr::from_montgomery(BabyJubjubFr::R2).into_bigint() == BabyJubjubFr::R);

static_assert(BabyJubjubFq::MODULUS_MINUS_ONE_DIV_TWO ==
              BigInt<4>::from_hex("0x183227397098d014dc2822db40c0ac2e9419f4243cdcb848a1f0fac9f8000000"));

// Tonelli–Shanks precomputations.
static_assert(SqrtPrecomputation<JubjubFqConfig>::TWO_ADICITY == 32);
static_assert(SqrtPrecomputation<JubjubFqConfig>::TRACE_MINUS_ONE_DIV_TWO ==
              BigInt<4>::from_hex("0x39f6d3a994cebea4199cec0404d0ec02a9ded2017fff2dff7fffffff"));
static_assert(SqrtPrecomputation<JubjubFqConfig>::NONRESIDUE_POWER.into_bigint() ==
              BigInt<4>::from_hex("0x16a2a19edfe81f20d09b681922c813b4b63683508c2280b93829971f439f0d2b"));
static_assert(SqrtPrecomputation<JubjubFqConfig>::NONRESIDUE_POWER ==
              JubjubFq::constant("10238227357739495823651030575849232062558860180284477541189508159991286009131"));

static_assert(SqrtPrecomputation<BabyJubjubFqConfig>::TWO_ADICITY == 28);
static_assert(SqrtPrecomputation<BabyJubjubFqConfig>::TRACE_MINUS_ONE_DIV_TWO ==
              BigInt<4>::from_hex("0x183227397098d014dc2822db40c0ac2e9419f4243cdcb848a1f0fac9f"));
static_assert(SqrtPrecomputation<BabyJubjubFqConfig>::NONRESIDUE_POWER.into_bigint() ==
              BigInt<4>::from_hex("0x2a3c09f0a58a7e8500e0a7eb8ef62abc402d111e41112ed49bd61b6e725b19f0"));
static_assert(SqrtPrecomputation<BabyJubjubFqConfig>::NONRESIDUE_POWER ==
              BabyJubjubFq::constant("19103219067921713944291392827692070036145651957329286315305642004821462161904"));

}  // namespace algebra
