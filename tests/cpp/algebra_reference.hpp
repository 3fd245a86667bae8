#pragma once
// Independent big-integer references (GMP) for the field and curve tests:
// conversions between BigInt<4> and mpz_class, and a deterministic source of
// test values that mixes uniform draws with values next to 0, 2^64k and p.

#include <gmpxx.h>
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "algebra/bigint.hpp"

namespace reference {

inline mpz_class to_mpz(const algebra::BigInt<4>& n) {
    mpz_class r;
    mpz_import(r.get_mpz_t(), 4, -1, sizeof(std::uint64_t), 0, 0, n.limbs.data());
    return r;
}

// n must lie in [0, 2^256).
inline algebra::BigInt<4> to_bigint(const mpz_class& n) {
    algebra::BigInt<4> r;
    std::size_t count = 0;
    mpz_export(r.limbs.data(), &count, -1, sizeof(std::uint64_t), 0, 0, n.get_mpz_t());
    return r;
}

inline std::array<std::uint8_t, 32> to_le_bytes(const mpz_class& n) {
    std::array<std::uint8_t, 32> r{};
    std::size_t count = 0;
    mpz_export(r.data(), &count, -1, 1, 0, 0, n.get_mpz_t());
    return r;
}

// Least non-negative residue (GMP's % keeps the dividend's sign).
inline mpz_class mod(const mpz_class& v, const mpz_class& p) {
    mpz_class r = v % p;
    if (r < 0) r += p;
    return r;
}

inline mpz_class inverse(const mpz_class& v, const mpz_class& p) {
    mpz_class r;
    mpz_invert(r.get_mpz_t(), v.get_mpz_t(), p.get_mpz_t());
    return r;
}

template <class F>
mpz_class modulus() {
    return to_mpz(F::MODULUS);
}

template <class F>
mpz_class value(const F& f) {
    return to_mpz(f.into_bigint());
}

// v is reduced first, so any integer works.
template <class F>
F element(const mpz_class& v) {
    return *F::from_bigint(to_bigint(mod(v, modulus<F>())));
}

// got holds exactly the fully reduced Montgomery form of expected (mod p). Comparing
// canonical values alone would let an unreduced held integer slip through, since
// the reduction in into_bigint accepts it.
template <class F>
::testing::AssertionResult holds(const F& got, const mpz_class& expected) {
    const mpz_class p = modulus<F>();
    const mpz_class held = to_mpz(got.montgomery());
    const mpz_class want = (mod(expected, p) << 256) % p;
    if (held == want) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "held " << held << " (value " << value(got) << "), expected value "
                                         << mod(expected, p) << " held as " << want;
}

// Deterministic stream of integers below a bound.
class Values {
  public:
    explicit Values(std::uint64_t seed) : rng_(seed) {}

    mpz_class below(const mpz_class& bound) {
        mpz_class r;
        for (int i = 0; i < 5; ++i) r = (r << 64) + rng_();  // 320 bits: the bias is negligible
        return r % bound;
    }

    std::uint64_t word() { return rng_(); }

    // Values that exercise carries and the final subtraction.
    static std::vector<mpz_class> edges(const mpz_class& p) {
        const mpz_class one = 1;
        std::vector<mpz_class> v = {0, 1, 2, 3, 7, p - 1, p - 2, p - 3, (p - 1) / 2, (p + 1) / 2};
        for (int k = 1; k < 4; ++k) {
            const mpz_class w = one << (64 * k);
            v.push_back(w - 1);
            v.push_back(w);
            v.push_back(p - w);
        }
        v.push_back(mod(one << 255, p));
        v.push_back(mod(one << 256, p));  // R: the held form of one
        return v;
    }

    // edges(p) followed by n uniform values below p.
    std::vector<mpz_class> sample(const mpz_class& p, std::size_t n) {
        std::vector<mpz_class> v = edges(p);
        for (std::size_t i = 0; i < n; ++i) v.push_back(below(p));
        return v;
    }

  private:
    std::mt19937_64 rng_;
};

}  // namespace reference
