#pragma once
// Variable-time sums of many public inputs, eight at a time.
//
// A batch is summed in two passes. The first walks each input as the scalar
// sum does, but a DeferredSum (table.hpp) only records the table entries it
// would add; whatever is not a table entry (the Horner rows of segments
// without tables) is added on the spot. The second runs the recorded lists
// on the field lanes (algebra/lanes.hpp): each lane adds one input's entries
// in order and, when that input ends, hands its point over and takes the next
// input, so that lanes stay busy whatever the inputs' lengths.
//
// The entries are read straight from the ordinary tables, which hold
// 256-bit Montgomery values e·2^256. Read with the lanes' R = 2^260, such a
// value is e/16: an entry is the prepared point with Z = 1/16, so the mixed
// addition takes D = 2·Z1·Z2 = Z1/8, and no table needs a second copy. The
// lanes' accumulator, read back with R = 2^256, is the point scaled by 16 in
// every coordinate: the same point.
//
// Which kernel runs is chosen once, when the process starts: the IFMA lanes
// where the processor and the operating system support them, else the scalar
// sum; set_lane_kernel switches (the module reads TAMARIND_LANES=0 at import;
// tests also run the portable lanes). No choice changes a digest.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "algebra/curve.hpp"
#include "algebra/lanes.hpp"
#include "algebra/niels.hpp"
#include "pedersen/table.hpp"

namespace pedersen {

enum class LaneKernel { Scalar, Portable, Ifma };

// Whether the IFMA lanes can run here.
inline bool ifma_lanes_available() {
#if ALGEBRA_LANES_IFMA
    return algebra::cpu::has_avx512ifma();
#else
    return false;
#endif
}

namespace detail {
// Zero-initialised (Scalar) before any dynamic initialisation, like the
// field multiply's switch.
inline LaneKernel lane_kernel_in_force = ifma_lanes_available() ? LaneKernel::Ifma : LaneKernel::Scalar;
}  // namespace detail

inline LaneKernel lane_kernel() { return detail::lane_kernel_in_force; }

// Sets the kernel of variable-time batches and returns the one in force: the
// IFMA lanes are refused where they cannot run. Call it only while no batch
// is running (at import, or in tests).
inline LaneKernel set_lane_kernel(LaneKernel kernel) {
    if (kernel == LaneKernel::Ifma && !ifma_lanes_available()) kernel = LaneKernel::Scalar;
    detail::lane_kernel_in_force = kernel;
    return kernel;
}

namespace detail {

inline constexpr std::size_t prefetch_distance = 2;

// Starts loading the entry at `offset` from `origin` (an entry spans two cache lines).
inline void prefetch(const void* origin, std::uint64_t offset) {
#if defined(__GNUC__) || defined(__clang__)
    const char* at =
        reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(origin) + (offset & ~std::uint64_t{1}));
    __builtin_prefetch(at);
    __builtin_prefetch(at + 95);
#else
    (void)origin, (void)offset;
#endif
}

// out[i] = the sum of entries [starts[i], starts[i + 1]) of `entries`
// (DeferredSum offsets) on backend B.
// Always inlined, as the lane arithmetic is (algebra/lanes.hpp).
template <class B, class Curve>
[[gnu::always_inline]] inline void sum_deferred_on(std::span<const std::uint64_t> entries,
                                                   std::span<const std::size_t> starts,
                                                   std::span<algebra::Projective<Curve>> out) {
    using F = typename Curve::BaseField;
    using Lanes = algebra::lanes::Field<B, F>;
    using Element = typename Lanes::Element;
    using Point = algebra::Projective<Curve>;
    using algebra::lanes::count;
    using algebra::lanes::Mask;
    static_assert(sizeof(F) == 32 && sizeof(algebra::Niels<Curve>) == 3 * sizeof(F));

    const void* origin = &lane_origin<Curve>;
    const Element zero = Lanes::splat({0, 0, 0, 0, 0});
    // One in the tables' form, which the lanes read as 1/16, and 1/128: the
    // identity's Y and W (its Z is 8·W = 1/16).
    const Element one = Lanes::splat(algebra::lanes::split52(F::one().montgomery()));
    const Element w_one = Lanes::splat(algebra::lanes::split52(algebra::montgomery::pow2_mod(253, F::MODULUS)));
    // The point (X, Y, T, 8·W): with W kept instead of Z, the mixed addition's
    // D = 2·Z·(1/16) is W itself and costs no product.
    Element x = zero, y = one, t = zero, w = w_one;

    const std::size_t items = out.size();
    std::array<std::size_t, count> at{}, end{}, item{};
    Mask busy = 0;
    std::size_t next = 0;
    // Lane l takes the next input with entries; inputs without are the identity.
    const auto take = [&](std::size_t l) {
        for (; next < items && starts[next] == starts[next + 1]; ++next) out[next] = Point::identity();
        if (next == items) return;
        item[l] = next;
        at[l] = starts[next];
        end[l] = starts[next + 1];
        busy = static_cast<Mask>(busy | 1u << l);
        ++next;
    };
    for (std::size_t l = 0; l < count; ++l) take(l);

    alignas(64) std::array<std::uint64_t, count> index{};
    std::array<algebra::BigInt<4>, count> xs, ys, ts, ws;
    while (busy != 0) {
        for (std::size_t l = 0; l < count; ++l) {
            index[l] = (busy >> l & 1) != 0 ? entries[at[l]] : 0;
            // The entry this lane reads a few steps on: wide tables outgrow the caches.
            if ((busy >> l & 1) != 0 && at[l] + prefetch_distance < end[l])
                prefetch(origin, entries[at[l] + prefetch_distance]);
        }
        typename B::V offsets = B::load(index.data());
        const Mask negate = B::test(offsets, B::splat(1));
        offsets = B::and_(offsets, B::splat(~std::uint64_t{1}));
        const Element y_minus_x = Lanes::gather(origin, offsets, 0);
        const Element y_plus_x = Lanes::gather(origin, offsets, 32);
        const Element t2d = Lanes::gather(origin, offsets, 64);

        // madd-2008-hwcd-3 with Z2 = 1/16. -(x, y) swaps the entry's first two
        // values and negates its third, which swaps F and G. E and H are
        // scaled by 8 where they make X, Y and T, so that F·G is the new W.
        // Bounds, in p, for p < 2^255 (so p/R ≤ 1/32): X < 3.7, Y < 3,
        // T < 3, W < 1.4, every factor below 26, every value below 2^260.
        const Element a = Lanes::mul_lazy(Lanes::template sub<4>(y, x), Lanes::blend(negate, y_minus_x, y_plus_x));
        const Element b = Lanes::mul_lazy(Lanes::add(y, x), Lanes::blend(negate, y_plus_x, y_minus_x));
        const Element c = Lanes::mul_lazy(t, t2d);
        const Element e = Lanes::template sub<2>(b, a), h = Lanes::add(b, a);
        const Element d_minus_c = Lanes::template sub<2>(w, c), d_plus_c = Lanes::add(w, c);
        const Element f = Lanes::blend(negate, d_minus_c, d_plus_c), g = Lanes::blend(negate, d_plus_c, d_minus_c);
        const Element h8 = Lanes::template shift_up<3>(h);
        x = Lanes::mul_lazy(Lanes::template shift_up<3>(e), f);
        y = Lanes::mul_lazy(g, h8);
        t = Lanes::mul(e, h8);
        w = Lanes::mul_lazy(f, g);

        Mask done = 0;
        for (std::size_t l = 0; l < count; ++l)
            if ((busy >> l & 1) != 0 && ++at[l] == end[l]) done = static_cast<Mask>(done | 1u << l);
        if (done == 0) continue;
        Lanes::extract(Lanes::normalize(x), xs);
        Lanes::extract(Lanes::normalize(y), ys);
        Lanes::extract(t, ts);
        Lanes::extract(Lanes::normalize(w), ws);
        x = Lanes::blend(done, x, zero);
        y = Lanes::blend(done, y, one);
        t = Lanes::blend(done, t, zero);
        w = Lanes::blend(done, w, w_one);
        busy = static_cast<Mask>(busy & ~done);
        for (std::size_t l = 0; l < count; ++l) {
            if ((done >> l & 1) == 0) continue;
            const F z = F::from_montgomery(ws[l]).double_().double_().double_();
            out[item[l]] = Point{F::from_montgomery(xs[l]), F::from_montgomery(ys[l]), F::from_montgomery(ts[l]), z};
            take(l);
        }
    }
}

#if ALGEBRA_LANES_IFMA
// Everything inlined into one function compiled for AVX-512 IFMA.
template <class Curve>
[[ALGEBRA_IFMA_TARGET, gnu::flatten]] void sum_deferred_ifma(std::span<const std::uint64_t> entries,
                                                             std::span<const std::size_t> starts,
                                                             std::span<algebra::Projective<Curve>> out) {
    sum_deferred_on<algebra::lanes::Ifma, Curve>(entries, starts, out);
}
#endif

}  // namespace detail

// out[i] = the sum of the entries that DeferredSums recorded for input i:
// entries [starts[i], starts[i + 1]) of `entries`; `starts` has one more
// element than `out`. On the lanes of `kernel`, which must not be Scalar.
template <class Curve>
void sum_deferred(LaneKernel kernel, std::span<const std::uint64_t> entries, std::span<const std::size_t> starts,
                  std::span<algebra::Projective<Curve>> out) {
#if ALGEBRA_LANES_IFMA
    if (kernel == LaneKernel::Ifma) return detail::sum_deferred_ifma<Curve>(entries, starts, out);
#endif
    (void)kernel;
    detail::sum_deferred_on<algebra::lanes::Portable, Curve>(entries, starts, out);
}

}  // namespace pedersen
