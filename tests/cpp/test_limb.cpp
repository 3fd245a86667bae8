// The word-only carry primitives, which compilers without a 128-bit integer
// use, against 128-bit arithmetic on edge and random words.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "algebra/bigint.hpp"

namespace {

namespace word = algebra::limb::word;

// Values next to the half-word and word boundaries, where carries start.
std::vector<std::uint64_t> words() {
    std::vector<std::uint64_t> v = {0,
                                    1,
                                    2,
                                    0xfffffffeULL,
                                    0xffffffffULL,
                                    0x100000000ULL,
                                    0x100000001ULL,
                                    0x7fffffffffffffffULL,
                                    0x8000000000000000ULL,
                                    ~0ULL - 1,
                                    ~0ULL};
    std::mt19937_64 random(12);
    for (int i = 0; i < 8; ++i) v.push_back(random());
    return v;
}

#if ALGEBRA_HAS_INT128
using algebra::u128;

TEST(WordPrimitives, AddAndSubtractWithCarryMatch128BitArithmetic) {
    for (const std::uint64_t a : words()) {
        for (const std::uint64_t b : words()) {
            for (const std::uint64_t in : {0ULL, 1ULL}) {
                std::uint64_t carry = in, borrow = in;
                const u128 sum = static_cast<u128>(a) + b + in;
                const u128 difference = static_cast<u128>(a) - b - in;
                ASSERT_EQ(word::adc(a, b, carry), static_cast<std::uint64_t>(sum)) << a << " + " << b << " + " << in;
                ASSERT_EQ(carry, static_cast<std::uint64_t>(sum >> 64)) << a << " + " << b << " + " << in;
                ASSERT_EQ(word::sbb(a, b, borrow), static_cast<std::uint64_t>(difference)) << a << " - " << b;
                ASSERT_EQ(borrow, static_cast<std::uint64_t>(difference >> 127)) << a << " - " << b << " - " << in;
            }
        }
    }
}

TEST(WordPrimitives, MultiplyAccumulateMatches128BitArithmetic) {
    const std::vector<std::uint64_t> values = words();
    for (const std::uint64_t a : values) {
        for (const std::uint64_t b : values) {
            for (const std::uint64_t c : values) {
                for (const std::uint64_t in : values) {
                    std::uint64_t carry = in;
                    const u128 t = static_cast<u128>(a) + static_cast<u128>(b) * c + in;
                    ASSERT_EQ(word::mac(a, b, c, carry), static_cast<std::uint64_t>(t)) << a << " " << b << " " << c;
                    ASSERT_EQ(carry, static_cast<std::uint64_t>(t >> 64))
                        << a << " + " << b << " * " << c << " + " << in;
                }
            }
        }
    }
}
#endif

// Where the compiler has no 128-bit integer these are the only forms; the
// worked values hold on every compiler, at compile time.
constexpr bool worked_values_hold() {
    std::uint64_t carry = 1;
    if (word::adc(~0ULL, 0, carry) != 0 || carry != 1) return false;
    std::uint64_t borrow = 1;
    if (word::sbb(0, 0, borrow) != ~0ULL || borrow != 1) return false;
    carry = ~0ULL;  // (2^64 - 1) + (2^64 - 1)^2 + (2^64 - 1) = 2^128 - 1
    if (word::mac(~0ULL, ~0ULL, ~0ULL, carry) != ~0ULL || carry != ~0ULL) return false;
    return true;
}
static_assert(worked_values_hold());

}  // namespace
