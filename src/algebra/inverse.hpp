#pragma once
// Modular inversion by divsteps, after Bernstein and Yang, "Fast
// constant-time gcd computation and modular inversion" (safegcd, 2019), in
// batches of 62 as libsecp256k1 arranges them. Two drivers share the batch
// updates: a variable-time one for public values, which stops as soon as it
// may, and a constant-time one for secrets, which always runs 10 batches of
// 59 branch-free steps.
//
// Each batch runs 62 divsteps on the low 64 bits of f and g alone and collects
// them into a 2x2 integer matrix t with |entries| <= 2^62; only then are the
// full-width f, g and their cofactors d, e updated, by one matrix product and
// an exact division by 2^62. The invariants, for the input x and a scale c:
//
//     d·x ≡ f·c (mod p),   e·x ≡ g·c (mod p),   gcd(f, g) = gcd(p, x),   f odd.
//
// Starting from f = p, g = x, d = 0, e = c, g reaches 0 after a few hundred
// divsteps; then f = ±1 and ±d = x^(-1)·c.
//
// The constant-time driver (inverse_times_consttime, hddivsteps_59_consttime)
// runs on secrets: the Z of a point summed from secret input. So does all it
// calls, which is therefore constant time too: the batch updates (update_fg,
// update_de), the accumulators, carry and the limb conversions branch and
// index on nothing but loop counters (their asserts, in debug builds only,
// aside). The variable-time driver (inverse_times_vartime,
// divsteps_62_vartime) and the tests is_zero and is_negative, which steer its
// branches, are for public values only: they stop as soon as they may and
// skip runs of zero bits at once.
//
// Numbers are held as five signed limbs of 62 bits (value = Σ v[i]·2^(62·i)):
// limbs 0-3 in [0, 2^62), limb 4 signed. Products of a limb with a matrix
// entry then fit a signed 128-bit accumulator with room for the carries:
// __int128 where the compiler has one, two 64-bit words elsewhere.

#include <bit>
#include <cassert>
#include <cstdint>

#include "algebra/bigint.hpp"

namespace algebra::inversion {

using i64 = std::int64_t;
using u64 = std::uint64_t;
inline constexpr u64 M62 = ~u64{0} >> 2;

// A signed 128-bit sum of products in two's complement words, for compilers
// without a 128-bit integer. Branch-free, like the 128-bit form.
class WordAccumulator {
  public:
    constexpr void add_product(i64 a, i64 b) {
        const u64 ua = static_cast<u64>(a), ub = static_cast<u64>(b);
        // The unsigned product, from four 32x32-bit products.
        constexpr u64 half = 0xffffffffULL;
        const u64 ll = (ua & half) * (ub & half), lh = (ua & half) * (ub >> 32);
        const u64 hl = (ua >> 32) * (ub & half), hh = (ua >> 32) * (ub >> 32);
        const u64 middle = (ll >> 32) + (lh & half) + (hl & half);
        const u64 product_lo = (middle << 32) | (ll & half);
        u64 product_hi = hh + (lh >> 32) + (hl >> 32) + (middle >> 32);
        // As signed: subtract b·2^64 when a < 0 and a·2^64 when b < 0.
        product_hi -= (ub & static_cast<u64>(a >> 63)) + (ua & static_cast<u64>(b >> 63));
        lo_ += product_lo;
        hi_ += product_hi + static_cast<u64>(lo_ < product_lo);
    }
    constexpr u64 low() const { return lo_; }
    constexpr void shift_62() {  // arithmetic, like >> on a signed value
        lo_ = (lo_ >> 62) | (hi_ << 2);
        hi_ = static_cast<u64>(static_cast<i64>(hi_) >> 62);
    }
    constexpr i64 value() const { return static_cast<i64>(lo_); }  // when it fits 64 bits

  private:
    u64 lo_ = 0, hi_ = 0;
};

#if defined(__SIZEOF_INT128__)
class Int128Accumulator {
  public:
    constexpr void add_product(i64 a, i64 b) { v_ += static_cast<i128>(a) * b; }
    constexpr u64 low() const { return static_cast<u64>(v_); }
    constexpr void shift_62() { v_ >>= 62; }
    constexpr i64 value() const { return static_cast<i64>(v_); }

  private:
    __extension__ using i128 = __int128;
    i128 v_ = 0;
};
using Accumulator = Int128Accumulator;
#else
using Accumulator = WordAccumulator;
#endif

struct Signed62 {
    i64 v[5];
};

// Maps [[f], [g]] · 2^62 to [[u, v], [q, r]] · [[f], [g]] for one batch.
struct Transition {
    i64 u, v, q, r;
};

constexpr Signed62 to_signed62(const BigInt<4>& a) {
    const auto& l = a.limbs;
    return {{static_cast<i64>(l[0] & M62), static_cast<i64>(((l[0] >> 62) | (l[1] << 2)) & M62),
             static_cast<i64>(((l[1] >> 60) | (l[2] << 4)) & M62), static_cast<i64>(((l[2] >> 58) | (l[3] << 6)) & M62),
             static_cast<i64>(l[3] >> 56)}};
}

// The value must be normalized and in [0, 2^256).
constexpr BigInt<4> from_signed62(const Signed62& a) {
    const auto w = [&](int i) { return static_cast<u64>(a.v[i]); };
    return BigInt<4>{
        {w(0) | (w(1) << 62), (w(1) >> 2) | (w(2) << 60), (w(2) >> 4) | (w(3) << 58), (w(3) >> 6) | (w(4) << 56)}};
}

constexpr bool is_zero(const Signed62& a) { return (a.v[0] | a.v[1] | a.v[2] | a.v[3] | a.v[4]) == 0; }
constexpr bool is_negative(const Signed62& a) { return a.v[4] < 0; }

// Brings limbs 0-3 back into [0, 2^62) after limb-wise arithmetic.
constexpr void carry(Signed62& a) {
    for (int i = 0; i < 4; ++i) {
        a.v[i + 1] += a.v[i] >> 62;  // arithmetic shift: floor division
        a.v[i] &= static_cast<i64>(M62);
    }
}

// 62 divsteps on the low bits of f (odd) and g, starting from eta = -delta;
// returns the new eta. Variable time. Zero bits of g are skipped in one go, and each step
// that adds a multiple of f to g clears up to 4 or 6 low bits of g at once
// (with f^(-1) mod 2^4 or 2^6 from a cheap formula), never more than the
// steps left or than would make delta change sign in between.
constexpr i64 divsteps_62_vartime(i64 eta, u64 f, u64 g, Transition& t) {
    u64 u = 1, v = 0, q = 0, r = 1;             // the matrix, each row scaled by 2^(62-i)
    [[maybe_unused]] const u64 f0 = f, g0 = g;  // for the invariant checks
    int i = 62;
    for (;;) {
        // A sentinel bit stops the count of zeros at the steps left.
        const int zeros = std::countr_zero(g | (~u64{0} << i));
        g >>= zeros;
        u <<= zeros;
        v <<= zeros;
        eta -= zeros;
        i -= zeros;
        if (i == 0) break;
        assert((f & 1) == 1 && (g & 1) == 1);
        assert(u * f0 + v * g0 == f << (62 - i) && q * f0 + r * g0 == g << (62 - i));
        int limit;
        u64 w, mask;
        if (eta < 0) {
            // delta > 0 with g odd: (f, g) becomes (g, -f).
            eta = -eta;
            u64 tmp = f;
            f = g;
            g = 0 - tmp;
            tmp = u;
            u = q;
            q = 0 - tmp;
            tmp = v;
            v = r;
            r = 0 - tmp;
            limit = static_cast<int>(eta) + 1 > i ? i : static_cast<int>(eta) + 1;
            mask = (~u64{0} >> (64 - limit)) & 63U;
            w = (f * g * (f * f - 2)) & mask;  // -g/f mod 2^6
        } else {
            limit = static_cast<int>(eta) + 1 > i ? i : static_cast<int>(eta) + 1;
            mask = (~u64{0} >> (64 - limit)) & 15U;
            w = f + (((f + 1) & 4) << 1);  // f^(-1) mod 2^4
            w = (0 - w * g) & mask;
        }
        g += f * w;
        q += u * w;
        r += v * w;
        assert((g & mask) == 0);
    }
    t = {static_cast<i64>(u), static_cast<i64>(v), static_cast<i64>(q), static_cast<i64>(r)};
    return eta;
}

// (f, g) <- t·(f, g) / 2^62; the division is exact by construction of t.
template <class Acc = Accumulator>
constexpr void update_fg(Signed62& f, Signed62& g, const Transition& t) {
    Acc cf, cg;
    cf.add_product(t.u, f.v[0]);
    cf.add_product(t.v, g.v[0]);
    cg.add_product(t.q, f.v[0]);
    cg.add_product(t.r, g.v[0]);
    assert((cf.low() & M62) == 0 && (cg.low() & M62) == 0);
    cf.shift_62();
    cg.shift_62();
    for (int i = 1; i < 5; ++i) {
        cf.add_product(t.u, f.v[i]);
        cf.add_product(t.v, g.v[i]);
        cg.add_product(t.q, f.v[i]);
        cg.add_product(t.r, g.v[i]);
        f.v[i - 1] = static_cast<i64>(cf.low() & M62);
        g.v[i - 1] = static_cast<i64>(cg.low() & M62);
        cf.shift_62();
        cg.shift_62();
    }
    f.v[4] = cf.value();
    g.v[4] = cg.value();
}

// (d, e) <- (t·(d, e) + p·(md, me)) / 2^62, with md, me chosen to make the
// division exact; so the cofactors follow f and g modulo p. With d, e in
// (-2p, p) on entry the results stay in (-2p, p): a negative input adds a
// column of t to md, me to pull the results back up.
template <class Acc = Accumulator>
constexpr void update_de(Signed62& d, Signed62& e, const Transition& t, const Signed62& p, u64 p_inv62) {
    const i64 sd = d.v[4] >> 63, se = e.v[4] >> 63;  // all ones when negative
    i64 md = (t.u & sd) + (t.v & se);
    i64 me = (t.q & sd) + (t.r & se);
    Acc cd, ce;
    cd.add_product(t.u, d.v[0]);
    cd.add_product(t.v, e.v[0]);
    ce.add_product(t.q, d.v[0]);
    ce.add_product(t.r, e.v[0]);
    md -= static_cast<i64>((p_inv62 * cd.low() + static_cast<u64>(md)) & M62);
    me -= static_cast<i64>((p_inv62 * ce.low() + static_cast<u64>(me)) & M62);
    cd.add_product(p.v[0], md);
    ce.add_product(p.v[0], me);
    assert((cd.low() & M62) == 0 && (ce.low() & M62) == 0);
    cd.shift_62();
    ce.shift_62();
    for (int i = 1; i < 5; ++i) {
        cd.add_product(t.u, d.v[i]);
        cd.add_product(t.v, e.v[i]);
        cd.add_product(p.v[i], md);
        ce.add_product(t.q, d.v[i]);
        ce.add_product(t.r, e.v[i]);
        ce.add_product(p.v[i], me);
        d.v[i - 1] = static_cast<i64>(cd.low() & M62);
        e.v[i - 1] = static_cast<i64>(ce.low() & M62);
        cd.shift_62();
        ce.shift_62();
    }
    d.v[4] = cd.value();
    e.v[4] = ce.value();
}

// x^(-1)·c mod p for 0 < x < p, c < p, p odd with gcd(x, p) = 1 (p prime);
// p_inv62 is p^(-1) mod 2^62. The result is fully reduced. Variable time.
constexpr BigInt<4> inverse_times_vartime(const BigInt<4>& x, const BigInt<4>& c, const BigInt<4>& modulus,
                                          u64 p_inv62) {
    assert(!x.is_zero() && x < modulus && c < modulus && modulus.is_odd());
    const Signed62 p = to_signed62(modulus);
    Signed62 f = p, g = to_signed62(x), d{}, e = to_signed62(c);
    i64 eta = -1;  // delta = 1
    // Bernstein–Yang bound inputs below 2^256 to at most 741 divsteps: 12 batches.
    for (int batch = 0; !is_zero(g); ++batch) {
        assert(batch < 12);
        Transition t;
        eta = divsteps_62_vartime(eta, static_cast<u64>(f.v[0]), static_cast<u64>(g.v[0]), t);
        update_de(d, e, t, p, p_inv62);
        update_fg(f, g, t);
    }
    // Now f = ±1 and d is in (-2p, p): bring ±d into [0, p).
    const auto add_p = [&](Signed62& a) {
        for (int i = 0; i < 5; ++i) a.v[i] += p.v[i];
        carry(a);
    };
    if (is_negative(d)) add_p(d);  // now in (-p, p)
    if (is_negative(f)) {
        for (auto& l : d.v) l = -l;
        carry(d);
    }
    if (is_negative(d)) add_p(d);
    assert(!is_negative(d));
    const BigInt<4> r = from_signed62(d);
    assert(r < modulus);
    return r;
}

// 59 half-delta divsteps (hddivsteps: delta starts at 1/2) without a branch
// or an index on f or g: each step computes both outcomes' updates and keeps
// one by mask. zeta = -(delta + 1/2). The matrix starts at 2^3 times the
// identity, so that after 59 steps it is scaled by 2^62 like a variable-time
// batch's and shares its updates; its entries stay within ±2^62.
constexpr i64 hddivsteps_59_consttime(i64 zeta, u64 f, u64 g, Transition& t) {
    u64 u = 8, v = 0, q = 0, r = 8;
    for (int i = 3; i < 62; ++i) {
        const u64 positive_delta = static_cast<u64>(zeta >> 63);
        const u64 odd = 0 - (g & 1);
        // g += ±f when g is odd: minus when delta > 0, plus otherwise.
        g += ((f ^ positive_delta) - positive_delta) & odd;
        q += ((u ^ positive_delta) - positive_delta) & odd;
        r += ((v ^ positive_delta) - positive_delta) & odd;
        // When delta > 0 and g was odd, (f, g) becomes (g, (g - f)/2): f picks up
        // the old g, which is the new g plus f.
        const u64 swap = positive_delta & odd;
        zeta = (zeta ^ static_cast<i64>(swap)) - 1;  // delta -> 1 - delta, or delta + 1
        f += g & swap;
        u += q & swap;
        v += r & swap;
        g >>= 1;
        u <<= 1;
        v <<= 1;
    }
    t = {static_cast<i64>(u), static_cast<i64>(v), static_cast<i64>(q), static_cast<i64>(r)};
    return zeta;
}

// x^(-1)·c mod p as above, in constant time; x = 0 gives 0. From f = p,
// g = x < p < 2^256 and delta = 1/2, g reaches 0 within 590 hddivsteps: the
// bound Wuille computed for hddivsteps on inputs below 2^256 (safegcd-bounds;
// libsecp256k1's doc/safegcd_implementation.md, on hddivsteps, and its
// constant-time modinv64, which runs the same steps 10 × 59 times). Our
// moduli have 255 bits (Jubjub's Fq) and 254 bits (Baby Jubjub's), so the
// 256-bit figure covers them. (Bernstein and Yang's proven bound, for
// divsteps from delta = 1, is larger: ⌊(49·256 + 57)/17⌋ = 741 by Theorem
// 11.2 of "Fast constant-time gcd computation and modular inversion", TCHES
// 2019.) Steps after g = 0 change nothing, so 10 batches of 59 always suffice.
constexpr BigInt<4> inverse_times_consttime(const BigInt<4>& x, const BigInt<4>& c, const BigInt<4>& modulus,
                                            u64 p_inv62) {
    assert(x < modulus && c < modulus && modulus.is_odd());
    const Signed62 p = to_signed62(modulus);
    Signed62 f = p, g = to_signed62(x), d{}, e = to_signed62(c);
    i64 zeta = -1;  // delta = 1/2
    for (int batch = 0; batch < 10; ++batch) {
        Transition t;
        zeta = hddivsteps_59_consttime(zeta, static_cast<u64>(f.v[0]), static_cast<u64>(g.v[0]), t);
        update_de(d, e, t, p, p_inv62);
        update_fg(f, g, t);
    }
    assert(is_zero(g));
    // f = ±1 (±p for x = 0, where d = 0) and d is in (-2p, p): bring ±d into
    // [0, p) with masks instead of branches.
    const auto add_p_if = [&](Signed62& a, i64 mask) {
        for (int i = 0; i < 5; ++i) a.v[i] += p.v[i] & mask;
        carry(a);
    };
    add_p_if(d, d.v[4] >> 63);  // now in (-p, p)
    const i64 negate = f.v[4] >> 63;
    for (auto& l : d.v) l = (l ^ negate) - negate;
    carry(d);
    add_p_if(d, d.v[4] >> 63);
    const BigInt<4> r = from_signed62(d);
    assert(r < modulus);
    return r;
}

}  // namespace algebra::inversion
