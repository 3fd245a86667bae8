#pragma once
// Eight field elements at once, for variable-time batches of public data.
//
// An element is five limbs of 52 bits, each limb a vector of eight lanes, in
// Montgomery form with R = 2^260, reduced lazily: a product of a and b comes
// out below a·b/R + p, and p < 2^255 leaves R/p ≥ 32, so values of a few p
// stay a few p; callers keep every value below 2^260 (bounds are noted where
// the values are made). The arithmetic is written once over a lane type, a
// backend:
//
//   Portable  plain 64-bit arithmetic on arrays, on every machine;
//   Ifma      AVX-512 IFMA (vpmadd52luq / vpmadd52huq), compiled with
//             function-level target attributes and only run once the
//             processor and the operating system are known to support it
//             (cpu::has_avx512ifma).
//
// Both give the same limbs for the same inputs. Nothing here is constant
// time: it serves public data only.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "algebra/bigint.hpp"
#include "algebra/cpu.hpp"
#include "algebra/field.hpp"

#if ALGEBRA_X86_ASM
#include <immintrin.h>
#if !defined(__clang__)
// The generic templates pass lanes by value; they run only inlined into
// functions compiled for AVX-512, so no call crosses the two ABIs.
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
#define ALGEBRA_LANES_IFMA 1
#define ALGEBRA_IFMA_TARGET gnu::target("avx512f,avx512ifma")
#else
#define ALGEBRA_LANES_IFMA 0
#endif

namespace algebra::lanes {

inline constexpr std::size_t count = 8;
inline constexpr std::uint64_t limb_mask = (std::uint64_t{1} << 52) - 1;

// A lane mask: bit l stands for lane l.
using Mask = std::uint8_t;

struct Portable {
    struct V {
        std::array<std::uint64_t, count> v;
    };
    template <class F>
    static V map(F f) {
        V r;
        for (std::size_t l = 0; l < count; ++l) r.v[l] = f(l);
        return r;
    }
    static V splat(std::uint64_t x) {
        return map([&](std::size_t) { return x; });
    }
    static V load(const std::uint64_t* p) {
        V r;
        std::memcpy(r.v.data(), p, sizeof(r.v));
        return r;
    }
    static void store(std::uint64_t* p, const V& a) { std::memcpy(p, a.v.data(), sizeof(a.v)); }
    static V add(const V& a, const V& b) {
        return map([&](std::size_t l) { return a.v[l] + b.v[l]; });
    }
    static V sub(const V& a, const V& b) {
        return map([&](std::size_t l) { return a.v[l] - b.v[l]; });
    }
    static V and_(const V& a, const V& b) {
        return map([&](std::size_t l) { return a.v[l] & b.v[l]; });
    }
    template <int n>
    static V shr(const V& a) {
        return map([&](std::size_t l) { return a.v[l] >> n; });
    }
    // Arithmetic: the sign bit is copied in.
    template <int n>
    static V sar(const V& a) {
        return map([&](std::size_t l) { return static_cast<std::uint64_t>(static_cast<std::int64_t>(a.v[l]) >> n); });
    }
    template <int n>
    static V shl(const V& a) {
        return map([&](std::size_t l) { return a.v[l] << n; });
    }
    // acc + the low (or high) 52 bits of the 104-bit product of the low 52
    // bits of a and b: what vpmadd52luq (vpmadd52huq) computes.
    static V madd52lo(const V& acc, const V& a, const V& b) {
        return map([&](std::size_t l) { return acc.v[l] + (product(a.v[l], b.v[l]) & limb_mask); });
    }
    static V madd52hi(const V& acc, const V& a, const V& b) {
        return map([&](std::size_t l) { return acc.v[l] + static_cast<std::uint64_t>(product(a.v[l], b.v[l]) >> 52); });
    }
    // The word at base + index[l] for each lane.
    static V gather(const void* base, const V& index) {
        return map([&](std::size_t l) {
            std::uint64_t w;
            std::memcpy(&w, reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(base) + index.v[l]),
                        sizeof(w));
            return w;
        });
    }
    // b in the lanes `mask` names, a elsewhere.
    static V blend(Mask mask, const V& a, const V& b) {
        return map([&](std::size_t l) { return (mask >> l & 1) != 0 ? b.v[l] : a.v[l]; });
    }
    // The lanes whose a & b is not zero.
    static Mask test(const V& a, const V& b) {
        Mask m = 0;
        for (std::size_t l = 0; l < count; ++l) m |= static_cast<Mask>(((a.v[l] & b.v[l]) != 0) << l);
        return m;
    }

  private:
    __extension__ using Wide = unsigned __int128;
    static Wide product(std::uint64_t a, std::uint64_t b) { return static_cast<Wide>(a & limb_mask) * (b & limb_mask); }
};

#if ALGEBRA_LANES_IFMA
// The masked forms name every lane: the unmasked ones start from an
// undefined register, which GCC 12 reports as uninitialized. The register is
// wrapped in a struct, which crosses calls in memory whatever the target, so
// that clang accepts the generic templates' copies compiled without AVX-512.
struct Ifma {
    struct V {
        __m512i v;
    };
    [[ALGEBRA_IFMA_TARGET]] static V splat(std::uint64_t x) { return {_mm512_set1_epi64(static_cast<long long>(x))}; }
    [[ALGEBRA_IFMA_TARGET]] static V load(const std::uint64_t* p) { return {_mm512_loadu_si512(p)}; }
    [[ALGEBRA_IFMA_TARGET]] static void store(std::uint64_t* p, V a) { _mm512_storeu_si512(p, a.v); }
    [[ALGEBRA_IFMA_TARGET]] static V add(V a, V b) { return {_mm512_add_epi64(a.v, b.v)}; }
    [[ALGEBRA_IFMA_TARGET]] static V sub(V a, V b) { return {_mm512_sub_epi64(a.v, b.v)}; }
    [[ALGEBRA_IFMA_TARGET]] static V and_(V a, V b) { return {_mm512_and_si512(a.v, b.v)}; }
    template <int n>
    [[ALGEBRA_IFMA_TARGET]] static V shr(V a) {
        return {_mm512_maskz_srli_epi64(0xFF, a.v, n)};
    }
    template <int n>
    [[ALGEBRA_IFMA_TARGET]] static V sar(V a) {
        return {_mm512_maskz_srai_epi64(0xFF, a.v, n)};
    }
    template <int n>
    [[ALGEBRA_IFMA_TARGET]] static V shl(V a) {
        return {_mm512_maskz_slli_epi64(0xFF, a.v, n)};
    }
    [[ALGEBRA_IFMA_TARGET]] static V madd52lo(V acc, V a, V b) { return {_mm512_madd52lo_epu64(acc.v, a.v, b.v)}; }
    [[ALGEBRA_IFMA_TARGET]] static V madd52hi(V acc, V a, V b) { return {_mm512_madd52hi_epu64(acc.v, a.v, b.v)}; }
    [[ALGEBRA_IFMA_TARGET]] static V gather(const void* base, V index) {
        return {_mm512_mask_i64gather_epi64(_mm512_setzero_si512(), 0xFF, index.v, base, 1)};
    }
    [[ALGEBRA_IFMA_TARGET]] static V blend(Mask mask, V a, V b) { return {_mm512_mask_blend_epi64(mask, a.v, b.v)}; }
    [[ALGEBRA_IFMA_TARGET]] static Mask test(V a, V b) { return _mm512_test_epi64_mask(a.v, b.v); }
};
#endif

// A 256-bit value as five 52-bit limbs.
constexpr std::array<std::uint64_t, 5> split52(const BigInt<4>& a) {
    const auto& w = a.limbs;
    return {w[0] & limb_mask, (w[0] >> 52 | w[1] << 12) & limb_mask, (w[1] >> 40 | w[2] << 24) & limb_mask,
            (w[2] >> 28 | w[3] << 36) & limb_mask, w[3] >> 16};
}

// Eight elements of the field F (an Fp) on backend B. Always inlined: the
// IFMA backend's lanes cross no call of code compiled without AVX-512, where
// they would be passed differently.
template <class B, class F>
struct Field {
    using V = typename B::V;
    struct Element {
        V limb[5];
    };

    static_assert(F::MODULUS.num_bits() <= 255, "lazy reduction needs 4p < 2^257");
    static constexpr auto P = split52(F::MODULUS);
    static constexpr std::uint64_t INV52 = F::INV & limb_mask;  // -p^(-1) mod 2^52

    [[gnu::always_inline]] static Element splat(const std::array<std::uint64_t, 5>& limbs) {
        Element r;
        for (int i = 0; i < 5; ++i) r.limb[i] = B::splat(limbs[i]);
        return r;
    }

    // The element whose 256-bit value is at base + index[l] + offset in each
    // lane (four little-endian words), below 2^256.
    [[gnu::always_inline]] static Element gather(const void* base, const V& index, std::size_t offset) {
        const void* at = reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(base) + offset);
        const V w0 = B::gather(at, index);
        const V w1 = B::gather(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(at) + 8), index);
        const V w2 = B::gather(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(at) + 16), index);
        const V w3 = B::gather(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(at) + 24), index);
        const V m = B::splat(limb_mask);
        return Element{{B::and_(w0, m), B::and_(B::add(B::template shr<52>(w0), B::template shl<12>(w1)), m),
                        B::and_(B::add(B::template shr<40>(w1), B::template shl<24>(w2)), m),
                        B::and_(B::add(B::template shr<28>(w2), B::template shl<36>(w3)), m), B::template shr<16>(w3)}};
    }

    // Limbs back to 52 bits each, carrying up; signed carries, so limbs that
    // went negative in a difference are fine as long as the value is not.
    [[gnu::always_inline]] static Element normalize(const Element& in) {
        Element a = in;
        const V m = B::splat(limb_mask);
        for (int i = 0; i < 4; ++i) {
            a.limb[i + 1] = B::add(a.limb[i + 1], B::template sar<52>(a.limb[i]));
            a.limb[i] = B::and_(a.limb[i], m);
        }
        return a;
    }

    // Sums and differences take limbs of any size below 2^58 (a lazy product's)
    // and give normalized ones.
    [[gnu::always_inline]] static Element add(const Element& a, const Element& b) {
        Element r;
        for (int i = 0; i < 5; ++i) r.limb[i] = B::add(a.limb[i], b.limb[i]);
        return normalize(r);
    }
    // a - b + k·p for a constant k with k·p above b (k·p's limbs are p's
    // times k, unnormalized: normalize carries them).
    template <std::uint64_t k>
    [[gnu::always_inline]] static Element sub(const Element& a, const Element& b) {
        Element r;
        for (int i = 0; i < 5; ++i) r.limb[i] = B::sub(B::add(a.limb[i], B::splat(k * P[i])), b.limb[i]);
        return normalize(r);
    }
    // 2^s·a, for a normalized a below 2^(260 - s).
    template <int s>
    [[gnu::always_inline]] static Element shift_up(const Element& a) {
        Element r;
        for (int i = 0; i < 5; ++i) r.limb[i] = B::template shl<s>(a.limb[i]);
        return normalize(r);
    }
    [[gnu::always_inline]] static Element blend(Mask mask, const Element& a, const Element& b) {
        Element r;
        for (int i = 0; i < 5; ++i) r.limb[i] = B::blend(mask, a.limb[i], b.limb[i]);
        return r;
    }

    // a·b·2^-260 mod p, below a·b/R + p: the product's ten columns, then five
    // reduction steps of 52 bits. Columns stay below 2^57, so nothing
    // overflows a word. The limbs are left as they come (below 2^58), for a
    // sum or difference to normalize; mul() normalizes them.
    [[gnu::always_inline]] static Element mul_lazy(const Element& a, const Element& b) {
        V t[10];
        const V zero = B::splat(0);
        for (auto& c : t) c = zero;
        for (int i = 0; i < 5; ++i) {
            for (int j = 0; j < 5; ++j) {
                t[i + j] = B::madd52lo(t[i + j], a.limb[i], b.limb[j]);
                t[i + j + 1] = B::madd52hi(t[i + j + 1], a.limb[i], b.limb[j]);
            }
        }
        const V inv = B::splat(INV52);
        for (int i = 0; i < 5; ++i) {
            const V m = B::madd52lo(zero, t[i], inv);  // t[i] + m·p ≡ 0 mod 2^52
            for (int j = 0; j < 5; ++j) {
                const V p = B::splat(P[j]);
                t[i + j] = B::madd52lo(t[i + j], m, p);
                t[i + j + 1] = B::madd52hi(t[i + j + 1], m, p);
            }
            t[i + 1] = B::add(t[i + 1], B::template shr<52>(t[i]));
        }
        return Element{{t[5], t[6], t[7], t[8], t[9]}};
    }
    [[gnu::always_inline]] static Element mul(const Element& a, const Element& b) { return normalize(mul_lazy(a, b)); }

    // Every lane's value reduced below p, as 256-bit integers; `a` must be
    // normalized and below 16p.
    [[gnu::always_inline]] static void extract(const Element& a, std::array<BigInt<4>, count>& out) {
        std::uint64_t limbs[5][count];
        for (int i = 0; i < 5; ++i) B::store(limbs[i], a.limb[i]);
        for (std::size_t l = 0; l < count; ++l) {
            BigInt<5> r;
            r.limbs[0] = limbs[0][l] | limbs[1][l] << 52;
            r.limbs[1] = limbs[1][l] >> 12 | limbs[2][l] << 40;
            r.limbs[2] = limbs[2][l] >> 24 | limbs[3][l] << 28;
            r.limbs[3] = limbs[3][l] >> 36 | limbs[4][l] << 16;
            r.limbs[4] = limbs[4][l] >> 48;
            while (r >= MODULUS5) r.sub_with_borrow(MODULUS5);
            for (int i = 0; i < 4; ++i) out[l].limbs[i] = r.limbs[i];
        }
    }

  private:
    static constexpr BigInt<5> MODULUS5 = [] {
        BigInt<5> m{};
        for (int i = 0; i < 4; ++i) m.limbs[i] = F::MODULUS.limbs[i];
        return m;
    }();
};

}  // namespace algebra::lanes
