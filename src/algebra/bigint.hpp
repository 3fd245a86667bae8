#pragma once
// Fixed-width unsigned integers of N 64-bit limbs (least significant first) and
// the word-level carry primitives that the Montgomery field is built from.
// Everything here is constexpr so that field constants can be derived at
// compile time from the modulus alone. Limb loops carry an unroll pragma: GCC
// at -O2 leaves them rolled, which made a field addition twice as slow.

#include <array>
#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace algebra {

// 64x64 -> 128-bit products; __extension__ keeps -Wpedantic quiet about the
// non-standard type, which GCC and Clang provide on 64-bit targets. Compilers
// without it (MSVC, 32-bit targets) use the word-only forms below.
#if defined(__SIZEOF_INT128__)
#define ALGEBRA_HAS_INT128 1
__extension__ typedef unsigned __int128 u128;
#else
#define ALGEBRA_HAS_INT128 0
#endif

namespace limb {

// The carry primitives in 64-bit words only. They are what runs where there is
// no 128-bit integer, and elsewhere the tests hold them to the 128-bit forms.
namespace word {

constexpr std::uint64_t adc(std::uint64_t a, std::uint64_t b, std::uint64_t& carry) {
    const std::uint64_t s = a + b;
    const std::uint64_t r = s + carry;
    carry = static_cast<std::uint64_t>(s < a) | static_cast<std::uint64_t>(r < s);
    return r;
}

constexpr std::uint64_t sbb(std::uint64_t a, std::uint64_t b, std::uint64_t& borrow) {
    const std::uint64_t d = a - b;
    const std::uint64_t r = d - borrow;
    borrow = static_cast<std::uint64_t>(a < b) | static_cast<std::uint64_t>(d < borrow);
    return r;
}

// a + b*c + carry from four 32x32-bit products (schoolbook on half words).
constexpr std::uint64_t mac(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t& carry) {
    constexpr std::uint64_t low = 0xffffffffULL;
    const std::uint64_t ll = (b & low) * (c & low), lh = (b & low) * (c >> 32);
    const std::uint64_t hl = (b >> 32) * (c & low), hh = (b >> 32) * (c >> 32);
    const std::uint64_t middle = (ll >> 32) + (lh & low) + (hl & low);  // below 3 * 2^32
    std::uint64_t hi = hh + (lh >> 32) + (hl >> 32) + (middle >> 32);
    std::uint64_t lo = (middle << 32) | (ll & low);
    lo += a;
    hi += static_cast<std::uint64_t>(lo < a);
    lo += carry;
    hi += static_cast<std::uint64_t>(lo < carry);
    carry = hi;
    return lo;
}

}  // namespace word

// a + b + carry, with carry (0 or 1) updated to the carry out. On x86-64 the
// intrinsic keeps limb chains in the flags register (one adc per limb); GCC
// makes twice the instructions of the 128-bit form, which halved the speed of
// a field addition. The compiler evaluates the portable form.
constexpr std::uint64_t adc(std::uint64_t a, std::uint64_t b, std::uint64_t& carry) {
#if defined(__x86_64__)
    if (!std::is_constant_evaluated()) {
        unsigned long long out;
        carry = _addcarry_u64(static_cast<unsigned char>(carry), a, b, &out);
        return out;
    }
#endif
#if ALGEBRA_HAS_INT128
    const u128 t = static_cast<u128>(a) + b + carry;
    carry = static_cast<std::uint64_t>(t >> 64);
    return static_cast<std::uint64_t>(t);
#else
    return word::adc(a, b, carry);
#endif
}

// a - b - borrow, with borrow (0 or 1) updated to the borrow out.
constexpr std::uint64_t sbb(std::uint64_t a, std::uint64_t b, std::uint64_t& borrow) {
#if defined(__x86_64__)
    if (!std::is_constant_evaluated()) {
        unsigned long long out;
        borrow = _subborrow_u64(static_cast<unsigned char>(borrow), a, b, &out);
        return out;
    }
#endif
#if ALGEBRA_HAS_INT128
    const u128 t = static_cast<u128>(a) - b - borrow;
    borrow = static_cast<std::uint64_t>(t >> 127);
    return static_cast<std::uint64_t>(t);
#else
    return word::sbb(a, b, borrow);
#endif
}

// a + b*c + carry, with carry updated to the high word. Cannot overflow 128 bits.
constexpr std::uint64_t mac(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t& carry) {
#if ALGEBRA_HAS_INT128
    const u128 t = static_cast<u128>(a) + static_cast<u128>(b) * c + carry;
    carry = static_cast<std::uint64_t>(t >> 64);
    return static_cast<std::uint64_t>(t);
#else
    return word::mac(a, b, c, carry);
#endif
}

}  // namespace limb

template <std::size_t N>
struct BigInt {
    std::array<std::uint64_t, N> limbs{};  // least significant first

    static constexpr std::size_t BITS = 64 * N;

    static constexpr BigInt from_u64(std::uint64_t v) {
        BigInt r;
        r.limbs[0] = v;
        return r;
    }

    // Compile-time literals for published constants; a malformed or oversized
    // literal is a compile error, never a run-time one.
    static consteval BigInt from_hex(std::string_view text) {
        if (text.starts_with("0x")) text.remove_prefix(2);
        if (text.empty() || text.size() > 16 * N) throw "hex literal out of range";
        BigInt r;
        std::size_t bit = 0;
        for (auto it = text.rbegin(); it != text.rend(); ++it, bit += 4) {
            const char c = *it;
            std::uint64_t nibble = 0;
            if (c >= '0' && c <= '9')
                nibble = static_cast<std::uint64_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                nibble = static_cast<std::uint64_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                nibble = static_cast<std::uint64_t>(c - 'A' + 10);
            else
                throw "bad hex digit";
            r.limbs[bit / 64] |= nibble << (bit % 64);
        }
        return r;
    }

    // constexpr, not consteval: Fp::constant, consteval inside a class template,
    // calls it, which clang 14 rejects for an immediate function.
    static constexpr BigInt from_decimal(std::string_view text) {
        if (text.empty()) throw "empty decimal literal";
        BigInt r;
        for (const char c : text) {
            if (c < '0' || c > '9') throw "bad decimal digit";
            if (r.mul_small_add(10, static_cast<std::uint64_t>(c - '0')) != 0) throw "decimal literal out of range";
        }
        return r;
    }

    constexpr bool operator==(const BigInt&) const = default;

    // Numeric order: the most significant differing limb decides.
    constexpr std::strong_ordering operator<=>(const BigInt& other) const {
        for (std::size_t i = N; i-- > 0;) {
            if (limbs[i] != other.limbs[i]) return limbs[i] <=> other.limbs[i];
        }
        return std::strong_ordering::equal;
    }

    constexpr bool is_zero() const {
        std::uint64_t acc = 0;
#pragma GCC unroll 8
        for (const auto l : limbs) acc |= l;
        return acc == 0;
    }

    constexpr bool is_odd() const { return (limbs[0] & 1) != 0; }
    constexpr bool is_even() const { return !is_odd(); }

    constexpr bool bit(std::size_t i) const { return i < BITS && ((limbs[i / 64] >> (i % 64)) & 1) != 0; }

    // Position of the highest set bit plus one; 0 for zero.
    constexpr std::size_t num_bits() const {
        for (std::size_t i = N; i-- > 0;) {
            if (limbs[i] != 0) return 64 * i + static_cast<std::size_t>(64 - std::countl_zero(limbs[i]));
        }
        return 0;
    }

    // *this += other; returns the carry out of the top limb.
    constexpr std::uint64_t add_with_carry(const BigInt& other) {
        std::uint64_t carry = 0;
#pragma GCC unroll 8
        for (std::size_t i = 0; i < N; ++i) limbs[i] = limb::adc(limbs[i], other.limbs[i], carry);
        return carry;
    }

    // *this -= other; returns the borrow out of the top limb.
    constexpr std::uint64_t sub_with_borrow(const BigInt& other) {
        std::uint64_t borrow = 0;
#pragma GCC unroll 8
        for (std::size_t i = 0; i < N; ++i) limbs[i] = limb::sbb(limbs[i], other.limbs[i], borrow);
        return borrow;
    }

    // *this <<= 1; returns the bit shifted out.
    constexpr std::uint64_t mul2() {
        std::uint64_t carry = 0;
#pragma GCC unroll 8
        for (std::size_t i = 0; i < N; ++i) {
            const std::uint64_t next = limbs[i] >> 63;
            limbs[i] = (limbs[i] << 1) | carry;
            carry = next;
        }
        return carry;
    }

    // *this >>= 1.
    constexpr void div2() {
#pragma GCC unroll 8
        for (std::size_t i = 0; i + 1 < N; ++i) limbs[i] = (limbs[i] >> 1) | (limbs[i + 1] << 63);
        limbs[N - 1] >>= 1;
    }

    // *this >>= n for any n below BITS.
    constexpr BigInt shr(std::size_t n) const {
        BigInt r;
        const std::size_t words = n / 64, bits = n % 64;
        for (std::size_t i = 0; i + words < N; ++i) {
            r.limbs[i] = limbs[i + words] >> bits;
            if (bits != 0 && i + words + 1 < N) r.limbs[i] |= limbs[i + words + 1] << (64 - bits);
        }
        return r;
    }

    // Number of trailing zero bits; BITS for zero.
    constexpr std::size_t trailing_zeros() const {
#pragma GCC unroll 8
        for (std::size_t i = 0; i < N; ++i) {
            if (limbs[i] != 0) return 64 * i + static_cast<std::size_t>(std::countr_zero(limbs[i]));
        }
        return BITS;
    }

    // *this = *this * m + a; returns the word that overflowed.
    constexpr std::uint64_t mul_small_add(std::uint64_t m, std::uint64_t a) {
        std::uint64_t carry = a;
#pragma GCC unroll 8
        for (std::size_t i = 0; i < N; ++i) limbs[i] = limb::mac(0, limbs[i], m, carry);
        return carry;
    }
};

// Limbs in order, each little-endian: the integer as 32 little-endian bytes.
constexpr std::array<std::uint8_t, 32> to_bytes_le(const BigInt<4>& n) {
    std::array<std::uint8_t, 32> out{};
#pragma GCC unroll 8
    for (std::size_t i = 0; i < 4; ++i) {
#pragma GCC unroll 8
        for (std::size_t j = 0; j < 8; ++j) out[8 * i + j] = static_cast<std::uint8_t>(n.limbs[i] >> (8 * j));
    }
    return out;
}

}  // namespace algebra
