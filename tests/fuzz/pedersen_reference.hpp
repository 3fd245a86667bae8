// A slow reference for the four hashers, written for the fuzz targets: GMP
// integers, the affine addition law and homogeneous coordinates with another
// addition formula, Tonelli–Shanks on integers, one scalar multiplication per
// segment with the segment's digits summed as an integer. It shares no arithmetic with the
// engine (no Montgomery form, no tables, no prepared points); it uses the
// project's BLAKE2s and BLAKE-256 only for the base-point digests, which the
// BLAKE target checks on their own.
#pragma once

#include <gmpxx.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "hashes/blake256.hpp"
#include "hashes/blake2s.hpp"

namespace reference_hash {

using Bytes32 = std::array<std::uint8_t, 32>;

struct Point {
    mpz_class x = 0, y = 1;
};

struct Curve {
    mpz_class p, a, d, order;
    Point generator;

    mpz_class reduce(const mpz_class& v) const {
        mpz_class r = v % p;
        if (r < 0) r += p;
        return r;
    }

    mpz_class inverse(const mpz_class& v) const {
        mpz_class r;
        mpz_invert(r.get_mpz_t(), mpz_class(reduce(v)).get_mpz_t(), p.get_mpz_t());
        return r;
    }

    Point add(const Point& u, const Point& v) const {
        const mpz_class t = reduce(d * u.x * v.x * u.y * v.y);
        return {reduce((u.x * v.y + u.y * v.x) * inverse(1 + t)), reduce((u.y * v.y - a * u.x * v.x) * inverse(1 - t))};
    }

    Point negate(const Point& u) const { return {reduce(-u.x), u.y}; }

    // (X : Y : Z) for (X/Z, Y/Z), with the unified addition of Bernstein,
    // Birkner, Joye, Lange and Peters (complete here too): a different
    // coordinate system and formula from the engine's, and no inversion per
    // addition, which the affine law spends most of its time on.
    struct Homogeneous {
        mpz_class x = 0, y = 1, z = 1;
    };

    Homogeneous add(const Homogeneous& u, const Homogeneous& v) const {
        const mpz_class a_ = u.z * v.z % p, b = a_ * a_ % p, c = u.x * v.x % p, e = u.y * v.y % p;
        const mpz_class de = d * c % p * e % p, f = reduce(b - de), g = (b + de) % p;
        const mpz_class cross = reduce((u.x + u.y) * (v.x + v.y) - c - e);
        return {a_ * f % p * cross % p, reduce(a_ * g % p * (e - a * c)), f * g % p};
    }

    Point affine(const Homogeneous& u) const {
        const mpz_class z = inverse(u.z);
        return {u.x * z % p, u.y * z % p};
    }

    // 2^i·u for i below 256, so that a product takes one addition per set bit.
    std::vector<Homogeneous> doublings(const Point& u) const {
        std::vector<Homogeneous> table{{u.x, u.y, 1}};
        while (table.size() < 256) table.push_back(add(table.back(), table.back()));
        return table;
    }

    // k·u for 0 ≤ k < 2^256, from the doublings of u.
    Point mul(const std::vector<Homogeneous>& doublings_of_u, const mpz_class& k) const {
        Homogeneous r;
        for (std::size_t i = 0; i < doublings_of_u.size(); ++i) {
            if (mpz_tstbit(k.get_mpz_t(), i) != 0) r = add(r, doublings_of_u[i]);
        }
        return affine(r);
    }

    // k ≥ 0, by doubling and adding from the low bit.
    Point mul(Point u, mpz_class k) const {
        Point r;
        for (; k != 0; k >>= 1) {
            if (mpz_odd_p(k.get_mpz_t())) r = add(r, u);
            u = add(u, u);
        }
        return r;
    }

    // Some square root of w, or none.
    std::optional<mpz_class> sqrt(const mpz_class& w0) const {
        const mpz_class w = reduce(w0);
        if (w == 0) return mpz_class(0);
        if (mpz_legendre(w.get_mpz_t(), p.get_mpz_t()) != 1) return std::nullopt;
        mpz_class q = p - 1;
        unsigned long s = 0;
        while (mpz_even_p(q.get_mpz_t())) q >>= 1, ++s;
        mpz_class z = 2;
        while (mpz_legendre(z.get_mpz_t(), p.get_mpz_t()) != -1) ++z;
        const auto power = [&](const mpz_class& b, const mpz_class& e) {
            mpz_class r;
            mpz_powm(r.get_mpz_t(), b.get_mpz_t(), e.get_mpz_t(), p.get_mpz_t());
            return r;
        };
        unsigned long m = s;
        mpz_class c = power(z, q), t = power(w, q), r = power(w, (q + 1) / 2);
        while (t != 1) {
            unsigned long i = 0;
            for (mpz_class t2 = t; t2 != 1; t2 = t2 * t2 % p) ++i;
            const mpz_class b = power(c, mpz_class(1) << (m - i - 1));
            m = i, c = b * b % p, t = t * c % p, r = r * b % p;
        }
        return r;
    }

    // x² for a point with this y, or none when the denominator vanishes.
    std::optional<mpz_class> x_squared(const mpz_class& y) const {
        const mpz_class denominator = reduce(a - d * y * y);
        if (denominator == 0) return std::nullopt;
        return reduce((1 - y * y) * inverse(denominator));
    }
};

inline mpz_class decimal(const char* text) { return mpz_class(text, 10); }

inline const Curve& jubjub() {
    static const Curve curve = [] {
        Curve c;
        c.p = mpz_class("73eda753299d7d483339d80809a1d80553bda402fffe5bfeffffffff00000001", 16);
        c.a = c.p - 1;
        c.d = c.reduce(-10240 * c.inverse(10241));
        c.order = mpz_class("0e7db4ea6533afa906673b0101343b00a6682093ccc81082d0970e5ed6f72cb7", 16);
        c.generator = {decimal("8076246640662884909881801758704306714034609987455869804520522091855516602923"),
                       decimal("13262374693698910701929044844600465831413122818447359594527400194675274060458")};
        return c;
    }();
    return curve;
}

inline const Curve& baby_jubjub() {
    static const Curve curve = [] {
        Curve c;
        c.p = decimal("21888242871839275222246405745257275088548364400416034343698204186575808495617");
        c.a = 168700;
        c.d = 168696;
        c.order = decimal("2736030358979909402780800718157159386076813972158567259200215660948447373041");
        c.generator = {decimal("5299619240641551281634865583518297030282874472190772894086521144482721001553"),
                       decimal("16950150798460657717958625567821834550301663161624707787222815936182638968203")};
        return c;
    }();
    return curve;
}

// ---- encodings -------------------------------------------------------------

inline Bytes32 little_endian(const mpz_class& v) {
    Bytes32 out{};
    std::size_t count = 0;
    mpz_export(out.data(), &count, -1, 1, 0, 0, v.get_mpz_t());
    return out;
}

inline Bytes32 compressed(const Curve& curve, const Point& u) {
    Bytes32 out = little_endian(u.y);
    if (u.x > (curve.p - 1) / 2) out[31] |= 0x80;
    return out;
}

inline mpz_class from_little_endian(std::span<const std::uint8_t> bytes) {
    mpz_class n;
    mpz_import(n.get_mpz_t(), bytes.size(), -1, 1, 0, 0, bytes.data());
    return n;
}

// ---- digits ------------------------------------------------------------------

inline unsigned bit(std::span<const std::uint8_t> data, std::uint64_t i) {
    return i < 8 * data.size() ? (data[i / 8] >> (i % 8)) & 1 : 0;
}

// Per segment, Σ value(chunk_j)·2^(step·j) as an integer, for chunks of
// `width` bits, `per_segment` to a segment.
template <class Value>
std::vector<mpz_class> segment_digits(std::span<const std::uint8_t> data, unsigned width, unsigned step,
                                      std::uint64_t per_segment, Value value) {
    std::vector<mpz_class> digits;
    const std::uint64_t chunks = (8 * data.size() + width - 1) / width;
    for (std::uint64_t c = 0; c < chunks; ++c) {
        unsigned chunk = 0;
        for (unsigned b = 0; b < width; ++b) chunk |= bit(data, c * width + b) << b;
        const std::uint64_t segment = c / per_segment;
        if (digits.size() <= segment) digits.resize(segment + 1);
        digits[segment] += mpz_class(value(chunk)) << static_cast<unsigned long>(step * (c % per_segment));
    }
    return digits;
}

inline int bowe_hopwood(unsigned chunk) { return (1 + static_cast<int>(chunk & 3)) * ((chunk & 4) != 0 ? -1 : 1); }
inline int circom_window(unsigned chunk) { return (1 + static_cast<int>(chunk & 7)) * ((chunk & 8) != 0 ? -1 : 1); }

// Σ digit_s·base_s; base(s) gives the doublings of base point s.
template <class Base>
Point sum(const Curve& curve, const std::vector<mpz_class>& digits, Base base) {
    Point total;
    for (std::size_t s = 0; s < digits.size(); ++s) {
        mpz_class k = digits[s] % curve.order;
        if (k < 0) k += curve.order;
        total = curve.add(total, curve.mul(base(s), k));
    }
    return total;
}

using Doublings = std::vector<Curve::Homogeneous>;

// ---- the Sapling construction ------------------------------------------------

inline constexpr char URS[] = "096b36a5804bfacef1691e173c366a47ff5ba84a44f26ddd7e8d9f79d5b42df0";

inline Point group_hash(const std::array<std::uint8_t, 8>& personal, std::uint32_t segment) {
    const Curve& curve = jubjub();
    for (unsigned counter = 0; counter < 256; ++counter) {
        std::vector<std::uint8_t> message(URS, URS + 64);
        for (int i = 0; i < 4; ++i) message.push_back(static_cast<std::uint8_t>(segment >> (8 * i)));
        message.push_back(static_cast<std::uint8_t>(counter));
        const auto digest = hashes::blake2s::hash(personal, message);
        const mpz_class n = from_little_endian(digest);
        const mpz_class v = n & ((mpz_class(1) << 255) - 1);
        const bool sign = (n >> 255) != 0;
        if (v >= curve.p) continue;
        const auto w = curve.x_squared(v);
        const auto u = w ? curve.sqrt(*w) : std::nullopt;
        if (!u) continue;
        const bool odd = mpz_odd_p(u->get_mpz_t()) != 0;
        const mpz_class x = odd == sign ? *u : curve.reduce(-*u);
        const Point point = curve.mul({x, v}, 8);
        if (point.x == 0 && point.y == 1) continue;
        return point;
    }
    std::fputs("reference: no group hash point\n", stderr);
    std::abort();
}

inline Bytes32 zcash(const std::array<std::uint8_t, 8>& personal, std::span<const std::uint8_t> data) {
    static std::map<std::pair<std::array<std::uint8_t, 8>, std::uint32_t>, Doublings> bases;
    const auto base = [&](std::size_t s) -> const Doublings& {
        const auto key = std::make_pair(personal, static_cast<std::uint32_t>(s));
        auto found = bases.find(key);
        if (found == bases.end())
            found = bases.emplace(key, jubjub().doublings(group_hash(personal, key.second))).first;
        return found->second;
    };
    return little_endian(sum(jubjub(), segment_digits(data, 3, 4, 63, bowe_hopwood), base).x);
}

// ---- the circom construction -------------------------------------------------

inline std::string generator_string(std::uint64_t index, std::uint64_t attempt) {
    char text[84];
    std::snprintf(text, sizeof text, "PedersenGenerator_%032llu_%032llu", static_cast<unsigned long long>(index),
                  static_cast<unsigned long long>(attempt));
    return text;
}

inline Point circom_base(std::uint64_t index) {
    const Curve& curve = baby_jubjub();
    for (std::uint64_t attempt = 0;; ++attempt) {
        const std::string text = generator_string(index, attempt);
        auto bytes = hashes::blake256(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
        const bool sign = (bytes[31] >> 7) != 0;
        bytes[31] &= 0x3F;
        const mpz_class y = curve.reduce(from_little_endian(bytes));
        const auto w = curve.x_squared(y);
        const auto root = w ? curve.sqrt(*w) : std::nullopt;
        if (!root) continue;
        mpz_class x = *root > (curve.p - 1) / 2 ? curve.reduce(-*root) : *root;
        if (sign) x = curve.reduce(-x);
        return curve.mul({x, y}, 8);
    }
}

inline Bytes32 circom(std::span<const std::uint8_t> data) {
    static std::map<std::uint64_t, Doublings> bases;
    const auto base = [&](std::size_t s) -> const Doublings& {
        auto found = bases.find(s);
        if (found == bases.end()) found = bases.emplace(s, baby_jubjub().doublings(circom_base(s))).first;
        return found->second;
    };
    return compressed(baby_jubjub(), sum(baby_jubjub(), segment_digits(data, 4, 5, 50, circom_window), base));
}

// ---- the configurable constructions ---------------------------------------

inline const Doublings& configurable_base(const Curve& curve, std::uint64_t seed, std::uint64_t index) {
    static std::map<std::pair<std::uint64_t, std::uint64_t>, Doublings> bases;
    const auto key = std::make_pair(seed, index);
    auto found = bases.find(key);
    if (found == bases.end()) {
        const std::uint64_t k = ((index + seed) * 0x9E3779B97F4A7C15ull) | 1;  // wraps modulo 2^64
        found = bases.emplace(key, curve.doublings(curve.mul(curve.generator, mpz_class(std::to_string(k))))).first;
    }
    return found->second;
}

// One bit per chunk over Baby Jubjub, seed 0xBABE0001; the compressed point.
inline Bytes32 baby_jubjub_pedersen(std::uint64_t per_segment, std::span<const std::uint8_t> data) {
    const Curve& curve = baby_jubjub();
    const auto base = [&](std::size_t s) -> const Doublings& { return configurable_base(curve, 0xBABE0001, s); };
    return compressed(curve,
                      sum(curve, segment_digits(data, 1, 1, per_segment, [](unsigned b) { return int(b); }), base));
}

// Bowe–Hopwood chunks over Jubjub, seed 0x5A170002; the x-coordinate.
inline Bytes32 jubjub_bowe_hopwood(std::uint64_t per_segment, std::span<const std::uint8_t> data) {
    const Curve& curve = jubjub();
    const auto base = [&](std::size_t s) -> const Doublings& { return configurable_base(curve, 0x5A170002, s); };
    return little_endian(sum(curve, segment_digits(data, 3, 4, per_segment, bowe_hopwood), base).x);
}

}  // namespace reference_hash
