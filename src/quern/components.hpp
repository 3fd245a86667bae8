#pragma once
// The stateless building blocks the hashers are assembled from: the bit
// layout, the window encodings, the deterministic generator source and the
// output forms.

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "algebra/fault.hpp"
#include "quern/pedersen.hpp"

namespace quern {

// Bits of each byte, least significant first; no padding, no length prefix.
struct LsbFirst {
    // A view of 8 bits per byte; bit 8i + b is bit b of byte i.
    class Bits {
    public:
        explicit Bits(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
        std::size_t size() const { return bytes_.size() * 8; }
        bool operator[](std::size_t index) const { return (bytes_[index >> 3] >> (index & 7)) & 1; }

    private:
        std::span<const std::uint8_t> bytes_;
    };

    static Bits expand(std::span<const std::uint8_t> bytes) { return Bits(bytes); }
};

// One bit per chunk: the power itself when the bit is set, else the identity.
struct Unsigned {
    static constexpr std::size_t chunk_width = 1;
    static constexpr std::size_t power_step = 1;
    static constexpr int max_magnitude = 1;

    static int digit(std::span<const bool> chunk) { return chunk[0] ? 1 : 0; }

    template <CurvePoint G>
    static G contribute(std::span<const bool> chunk, const G& power) {
        return chunk[0] ? power : G::identity();
    }
};

// Signed 3-bit chunks valued (1 + b0 + 2·b1)·(1 − 2·b2): never zero.
struct BoweHopwood {
    static constexpr std::size_t chunk_width = 3;
    static constexpr std::size_t power_step = 4;
    static constexpr int max_magnitude = 4;

    static int digit(std::span<const bool> chunk) {
        const int magnitude = 1 + chunk[0] + 2 * chunk[1];
        return chunk[2] ? -magnitude : magnitude;
    }

    template <CurvePoint G>
    static G contribute(std::span<const bool> chunk, const G& power) {
        if (chunk.size() < 3) algebra::fault("index out of range: a chunk needs 3 bits");
        G t = power;
        if (chunk[0]) t.add_assign(power);
        if (chunk[1]) t.add_assign(power.double_());
        return chunk[2] ? -t : t;
    }
};

// circom's signed 4-bit windows: (1 + b0 + 2·b1 + 4·b2)·(−1 if b3), never zero.
struct Circom {
    static constexpr std::size_t chunk_width = 4;
    static constexpr std::size_t power_step = 5;
    static constexpr int max_magnitude = 8;

    static int digit(std::span<const bool> window) {
        const int magnitude = 1 + window[0] + 2 * window[1] + 4 * window[2];
        return window[3] ? -magnitude : magnitude;
    }

    // m·power for the window's magnitude m in 1..8. Binary method from the top
    // bit down, starting at the power itself: at most three doublings and two
    // additions, with no scalar conversion and no work on the identity.
    template <CurvePoint G>
    static G contribute(std::span<const bool> window, const G& power) {
        if (window.size() < 4) algebra::fault("index out of range: a window needs 4 bits");
        const unsigned m = 1u + window[0] + 2u * window[1] + 4u * window[2];
        assert(m >= 1 && m <= 8);
        G p = power;
        for (int bit = std::bit_width(m) - 2; bit >= 0; --bit) {
            p.double_in_place();
            if ((m >> bit) & 1u) p.add_assign(power);
        }
        return window[3] ? -p : p;
    }
};

// Generator source of the configurable hashers: base i is k·G with the odd
// 64-bit scalar k = ((i + seed)·0x9E3779B97F4A7C15 mod 2^64) | 1.
struct Deterministic {
    static constexpr std::uint64_t multiplier = 0x9E3779B97F4A7C15ull;
    std::uint64_t seed;

    static constexpr std::uint64_t scalar(std::uint64_t seed, std::uint64_t index) {
        return ((index + seed) * multiplier) | 1;  // unsigned arithmetic wraps mod 2^64
    }

    template <class G>
    std::vector<G> bases(std::size_t count) const {
        std::vector<G> out;
        out.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            G point = G::generator();
            point.mul_assign(G::ScalarField::from(scalar(seed, i)));
            out.push_back(point);
        }
        return out;
    }
};

// Output forms: what of the affine sum a hasher hands back.
struct WholePoint {
    template <class A>
    static A finish(const A& point) {
        return point;
    }
};

struct XCoordinate {
    template <class A>
    static auto finish(const A& point) {
        return point.x;
    }
};

}  // namespace quern
