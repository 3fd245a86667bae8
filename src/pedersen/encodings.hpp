#pragma once
// Chunk encodings: how a chunk of input bits becomes a signed digit v, whose
// contribution is v times the chunk's generator power. Within a segment the
// powers of consecutive chunks step by 2^power_step, so chunks act as digits.
//
// Lookups cover a group of c consecutive chunks at once. A group table holds
// the point Σ v_j·2^(power_step·j)·U for each value of the group's bits, U
// being the power of the group's first chunk:
// - signed encodings store half of them, those whose top chunk is positive,
//   and reach the rest by negating every chunk (flip all sign bits, look up,
//   negate the point);
// - the unsigned encoding stores every non-zero value; zero is the identity;
// - SignedDigits reads unsigned groups as signed digits, which halves the
//   entries again (see there).
// A lookup names its entry by a selector: entry selector - 1, or the
// identity for 0.

#include <concepts>
#include <cstdint>

namespace pedersen {

template <class E>
concept Encoding = requires(std::uint32_t bits) {
    { E::chunk_bits } -> std::convertible_to<unsigned>;  // bits per chunk
    { E::power_step } -> std::convertible_to<unsigned>;  // doublings between consecutive powers
    { E::max_magnitude } -> std::convertible_to<int>;    // |v| <= max_magnitude
    { E::is_signed } -> std::convertible_to<bool>;       // sign symmetric, never zero
    { E::value(bits) } -> std::same_as<int>;             // the digit of one chunk (public use)
};

// One bit per chunk: the power itself when the bit is set, else nothing.
struct Unsigned {
    static constexpr unsigned chunk_bits = 1;
    static constexpr unsigned power_step = 1;
    static constexpr int max_magnitude = 1;
    static constexpr bool is_signed = false;
    static constexpr int value(std::uint32_t chunk) { return static_cast<int>(chunk & 1); }
};

// Bowe–Hopwood 3-bit chunks valued (1 + b0 + 2·b1)·(1 − 2·b2): never zero.
struct BoweHopwood {
    static constexpr unsigned chunk_bits = 3;
    static constexpr unsigned power_step = 4;
    static constexpr int max_magnitude = 4;
    static constexpr bool is_signed = true;
    static constexpr int value(std::uint32_t chunk) {
        const int magnitude = 1 + static_cast<int>(chunk & 3);
        return (chunk & 4) != 0 ? -magnitude : magnitude;
    }
};

// circom's 4-bit windows valued (1 + b0 + 2·b1 + 4·b2)·(−1 if b3): never zero.
struct Circom {
    static constexpr unsigned chunk_bits = 4;
    static constexpr unsigned power_step = 5;
    static constexpr int max_magnitude = 8;
    static constexpr bool is_signed = true;
    static constexpr int value(std::uint32_t chunk) {
        const int magnitude = 1 + static_cast<int>(chunk & 7);
        return (chunk & 8) != 0 ? -magnitude : magnitude;
    }
};

// The entry a lookup takes.
struct Selection {
    std::uint64_t selector;  // entry + 1, or 0 for the identity
    std::uint64_t negate;    // all ones when the entry is to be negated
};

// The arithmetic of one group of c chunks under encoding E: each group on its
// own, no carry between groups.
template <Encoding E>
struct Group {
    static constexpr unsigned width = E::chunk_bits;
    static constexpr bool negates = E::is_signed;
    static constexpr bool selects_identity = !E::is_signed;  // selector 0 occurs
    static constexpr bool carries = false;

    // Table entries of a group of c chunks.
    static constexpr std::uint32_t entries(unsigned c) {
        return E::is_signed ? std::uint32_t{1} << (width * c - 1) : (std::uint32_t{1} << (width * c)) - 1;
    }

    // Points kept after the entries for inputs that end inside the group:
    // correction p - 1 undoes the chunks p.. c - 1 that the lookup read as
    // all-zero bits. Zero bits add nothing under the unsigned encoding.
    static constexpr std::uint32_t corrections(unsigned c) { return E::is_signed && c > 1 ? c - 1 : 0; }

    static constexpr std::uint32_t stride(unsigned c) { return entries(c) + corrections(c); }

    // The group bits that entry i stands for (top chunk positive).
    static constexpr std::uint32_t entry_bits(std::uint32_t i) { return E::is_signed ? i : i + 1; }

    // The selection for the group bits, by arithmetic alone.
    static constexpr Selection select(std::uint32_t bits, unsigned c, std::uint32_t /* no carry */ = 0) {
        if constexpr (E::is_signed) {
            const std::uint32_t sign = (bits >> (width * c - 1)) & 1;
            std::uint32_t sign_bits = 0;
            for (unsigned j = 0; j < c; ++j) sign_bits |= std::uint32_t{1} << (width * j + width - 1);
            const std::uint32_t flipped = bits ^ (sign_bits & (0 - sign));
            return {std::uint64_t{flipped} + 1, 0 - std::uint64_t{sign}};
        } else {
            return {bits, 0};
        }
    }
    static constexpr std::uint32_t carry(std::uint32_t, unsigned) { return 0; }
};

// Groups of an unsigned encoding read as signed digits. The n = width·c bits
// of a group form a number v; with t its top bit and t' that of the group
// read before it (0 for the first group a sum reads), the group's digit is
// d = v + t' − 2^n·t, in [−2^(n−1), 2^(n−1)]. The digits sum to the bits'
// value less 2^n·t of the last group read, which the sum then adds from the
// carry point. So a group table holds the multiples 1..2^(n−1) of its unit U
// (half the unsigned entries: the sign is a negation, zero the identity),
// then the carry point 2^n·U.
template <Encoding E>
    requires(!E::is_signed && E::power_step == E::chunk_bits)
struct SignedDigits {
    static constexpr unsigned width = E::chunk_bits;
    static constexpr bool negates = true;
    static constexpr bool selects_identity = true;
    static constexpr bool carries = true;

    static constexpr std::uint32_t entries(unsigned c) { return std::uint32_t{1} << (width * c - 1); }
    // Zero bits are digits of zero: an input that ends inside the group needs
    // no correction.
    static constexpr std::uint32_t corrections(unsigned) { return 0; }
    static constexpr std::uint32_t stride(unsigned c) { return entries(c) + 1; }

    // The selection for the group bits and the carry from the group before,
    // by arithmetic alone: the digit in two's complement, its sign the top bit.
    static constexpr Selection select(std::uint32_t bits, unsigned c, std::uint32_t carry_in) {
        const std::uint32_t top = carry(bits, c);
        const std::uint32_t digit = bits + carry_in - (top << (width * c));
        const std::uint32_t sign = 0 - top;
        return {std::uint64_t{(digit ^ sign) - sign}, 0 - std::uint64_t{top}};
    }
    // The carry into the next group: the top bit.
    static constexpr std::uint32_t carry(std::uint32_t bits, unsigned c) { return bits >> (width * c - 1); }
};

}  // namespace pedersen
