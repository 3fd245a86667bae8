#pragma once
// The generic Pedersen hasher: input bytes are read as a bit string, cut into
// fixed-width chunks, and chunk k is valued by the window encoding against
// generator power k; the contributions are summed on the curve.
//
// All four constructions of the library share this path. What differs is the
// curve (G), the window encoding (E), the bit layout (L), the output form (O)
// and where the generator powers come from.

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "algebra/fault.hpp"
#include "algebra/precomputed.hpp"

namespace quern {

// A curve point type in extended coordinates, as the algebra provides it.
template <class G>
concept CurvePoint = std::copyable<G> && requires(G p, const G& q) {
    typename G::Config;
    { G::identity() } -> std::same_as<G>;
    p.add_assign(q);
    p.double_in_place();
    { -q } -> std::same_as<G>;
    { q.to_affine() };
};

// A window encoding values each chunk of bits as a signed digit v, and its
// contribution is v times the chunk's generator power. `contribute` states
// that directly; hash_bits sums by digit instead (see there).
template <class E, class G>
concept Encoding = CurvePoint<G> && requires(std::span<const bool> chunk, const G& power) {
    { E::chunk_width } -> std::convertible_to<std::size_t>;  // bits per chunk
    { E::power_step } -> std::convertible_to<std::size_t>;   // doublings between consecutive powers
    { E::max_magnitude } -> std::convertible_to<int>;        // |v| <= max_magnitude
    { E::digit(chunk) } -> std::same_as<int>;
    { E::contribute(chunk, power) } -> std::same_as<G>;
};

// A bit layout presents input bytes as a bit string. expand() returns a view
// (size() and operator[]), so no bit vector is ever materialised.
template <class L>
concept BitLayout = requires(std::span<const std::uint8_t> bytes) {
    { L::expand(bytes).size() } -> std::convertible_to<std::size_t>;
    { L::expand(bytes)[std::size_t{0}] } -> std::convertible_to<bool>;
};

// A generator source yields the base point of each segment, in order.
template <class S, class G>
concept Generators = requires(const S& source, std::size_t count) {
    { source.template bases<G>(count) } -> std::same_as<std::vector<G>>;
};

namespace detail {

// The byte size of `count` points, or the "capacity overflow" fault when it
// cannot be represented.
template <class G>
std::size_t table_bytes(std::uint64_t count) {
    constexpr auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (count > limit / sizeof(G)) algebra::fault("capacity overflow");
    return static_cast<std::size_t>(count) * sizeof(G);
}

}  // namespace detail

// The generator record. The powers of all segments are stored as one flat
// sequence in chunk order (segment by segment, entry by entry), which is the
// order hash_bits consumes them in; segment_ends marks where each segment stops.
// Powers are kept in affine form prepared for mixed addition, the cheapest
// form to add in the hash loop.
//
// Invariants: segment_ends is non-decreasing and its last value equals
// powers.size(); entry j of a segment with base P and power step S is 2^(S·j)·P.
template <CurvePoint G>
struct Parameters {
    using Power = algebra::Precomputed<typename G::Config>;

    std::vector<Power> powers;
    std::vector<std::size_t> segment_ends;
    G identity = G::identity();

    std::size_t segment_count() const { return segment_ends.size(); }

    std::span<const Power> segment(std::size_t index) const {
        const std::size_t begin = index == 0 ? 0 : segment_ends[index - 1];
        return std::span<const Power>(powers).subspan(begin, segment_ends[index] - begin);
    }

    // The powers P, 2^S·P, 2^(2S)·P, ... of one segment, written to `out`.
    static void expand_segment(G base, std::size_t power_step, std::span<G> out) {
        for (std::size_t j = 0; j < out.size(); ++j) {
            out[j] = base;
            if (j + 1 < out.size())
                for (std::size_t s = 0; s < power_step; ++s) base.double_in_place();
        }
    }

    // Room for `total_powers` powers in `total_segments` segments, grown
    // geometrically so that a cache extended call after call stays linear.
    void reserve(std::size_t total_powers, std::size_t total_segments) {
        grow(powers, total_powers);
        grow(segment_ends, total_segments);
    }

    // Appends one complete segment. Memory is reserved before anything is
    // written, so a failed allocation leaves the record as it was.
    void append_segment(std::span<const G> entries) {
        grow(powers, powers.size() + entries.size());
        grow(segment_ends, segment_ends.size() + 1);
        const std::size_t begin = powers.size();
        powers.resize(begin + entries.size());  // within capacity: cannot throw
        algebra::precompute_batch(entries, std::span<Power>(powers).subspan(begin));
        segment_ends.push_back(powers.size());
    }

    // Tables for `sizes.size()` segments, segment i holding sizes[i] powers of
    // the i-th base point of `source`, spaced by the encoding's power step.
    template <class E, Generators<G> Source>
        requires Encoding<E, G>
    static Parameters with_segment_sizes(const Source& source, std::span<const std::size_t> sizes) {
        std::uint64_t total = 0;
        for (const std::size_t n : sizes) {
            if (n > std::numeric_limits<std::uint64_t>::max() - total) algebra::fault("capacity overflow");
            total += n;
        }
        return build<E>(source, sizes.size(), total, [&](std::size_t i) { return sizes[i]; });
    }

    // The same for `segments` segments of `per_segment` powers each, without
    // materialising the list of sizes.
    template <class E, Generators<G> Source>
        requires Encoding<E, G>
    static Parameters uniform(const Source& source, std::uint64_t segments, std::uint64_t per_segment) {
        detail::table_bytes<std::size_t>(segments);  // the segment boundaries
        if (per_segment != 0 && segments > std::numeric_limits<std::uint64_t>::max() / per_segment)
            algebra::fault("capacity overflow");
        return build<E>(source, static_cast<std::size_t>(segments), segments * per_segment,
                        [&](std::size_t) { return static_cast<std::size_t>(per_segment); });
    }

private:
    // Geometric growth, so that appending segment after segment stays linear.
    template <class T>
    static void grow(std::vector<T>& v, std::size_t needed) {
        if (needed > v.capacity()) v.reserve(std::max(needed, 2 * v.capacity()));
    }

    template <class E, class Source, class SizeOf>
    static Parameters build(const Source& source, std::size_t segments, std::uint64_t total, SizeOf size_of) {
        // Every byte count is checked before any point arithmetic happens.
        detail::table_bytes<G>(total);
        // Base points of trailing empty segments are never used: derive only
        // up to the last segment that holds powers.
        std::size_t used_segments = 0;
        if (total != 0)
            for (std::size_t i = segments; i > 0; --i)
                if (size_of(i - 1) != 0) {
                    used_segments = i;
                    break;
                }

        Parameters parameters;
        parameters.segment_ends.reserve(segments);
        parameters.powers.resize(static_cast<std::size_t>(total));
        const std::vector<G> bases = source.template bases<G>(used_segments);
        std::vector<G> scratch;
        std::size_t end = 0;
        for (std::size_t i = 0; i < segments; ++i) {
            const std::size_t n = size_of(i);
            if (n != 0) {
                scratch.resize(n);
                expand_segment(bases[i], E::power_step, scratch);
                algebra::precompute_batch(std::span<const G>(scratch),
                                          std::span<Power>(parameters.powers).subspan(end, n));
            }
            end += n;
            parameters.segment_ends.push_back(end);
        }
        return parameters;
    }
};

// The capacity fault: too few generator powers for the input.
[[noreturn]] inline void capacity_fault(std::uint64_t bits, std::uint64_t chunks, std::uint64_t powers) {
    algebra::fault("input of " + std::to_string(bits) + " bits needs " + std::to_string(chunks) +
                   " chunks but only " + std::to_string(powers) + " generator powers are available");
}

// Sums the contributions of all chunks of `bits` over the generator powers.
// The capacity check runs before any arithmetic, so a refused input leaves
// nothing changed. The result is projective, not normalised.
//
// Σ v_k·P_k is formed by digit magnitude: bucket m collects ±P_k for every
// chunk with |v_k| = m, one mixed addition per chunk, and Σ m·bucket_m then
// takes 2·max_magnitude additions of running sums. The point is the same as
// adding each contribution in turn.
template <class E, CurvePoint G, class Bits>
    requires Encoding<E, G>
G hash_bits(const Parameters<G>& parameters, const Bits& bits) {
    constexpr std::size_t width = E::chunk_width;
    constexpr int magnitudes = E::max_magnitude;
    const std::uint64_t bit_count = bits.size();
    const std::uint64_t chunks = bit_count / width + (bit_count % width != 0);
    if (chunks > parameters.powers.size()) capacity_fault(bit_count, chunks, parameters.powers.size());

    std::array<G, magnitudes> buckets;
    buckets.fill(G::identity());
    std::array<bool, width> chunk{};
    for (std::size_t k = 0; k < chunks; ++k) {
        for (std::size_t b = 0; b < width; ++b) {
            const std::size_t position = k * width + b;
            chunk[b] = position < bit_count && bits[position];
        }
        const int digit = E::digit(std::span<const bool>(chunk));
        if (digit > 0) add_assign(buckets[digit - 1], parameters.powers[k]);
        else if (digit < 0) add_assign(buckets[-digit - 1], -parameters.powers[k]);
    }

    G running = buckets[magnitudes - 1];
    G acc = parameters.identity;
    acc.add_assign(running);
    for (int m = magnitudes - 1; m > 0; --m) {
        running.add_assign(buckets[m - 1]);
        acc.add_assign(running);
    }
    return acc;
}

// The generic hasher: its only state is its generator record.
template <CurvePoint G, class E, BitLayout L, class O>
    requires Encoding<E, G>
class Pedersen {
public:
    using Point = G;
    using Output = decltype(O::finish(G::identity().to_affine()));

    Parameters<G> parameters;

    // Tables for `segments` segments of `per_segment` powers each, from the
    // deterministic generators with this instance's seed (see instances.hpp).
    static Pedersen build(std::uint64_t segments, std::uint64_t per_segment);

    Output hash(std::span<const std::uint8_t> data) const {
        const G sum = hash_bits<E>(parameters, L::expand(data));
        return O::finish(sum.to_affine());
    }
};

}  // namespace quern
