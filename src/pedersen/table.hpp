#pragma once
// Segment tables and the two ways a segment's chunks are summed.
//
// A segment has a base point P and c chunks; chunk j weighs 2^(S·j)·P (S the
// encoding's power step). Its table holds, for each group of K consecutive
// chunks, the group table (see encodings.hpp) in prepared form, so that one
// constant-time scan and one mixed addition cover K chunks. The last group
// of a segment holds c mod K chunks when K does not divide c. A layout reads
// its groups through a group arithmetic: the encoding's own (Group), or
// SignedDigits, whose groups pass a carry to the next and whose sums add the
// last carry from the point kept after the entries of the group read last.
//
// Segments without a table are summed by Horner's rule across many segments
// at once: row by row from the top chunk down, the running sum is multiplied
// by 2^S and each segment adds its chunk's digit times its base point, taken
// from that segment's small table of multiples (the group table of a
// one-chunk group). The doublings are shared by every segment of the batch.
//
// The lookup is the engine's one policy: ConstantTime reads every entry of
// the candidate table and keeps one by mask; VariableTime loads the entry the
// bits name and skips additions of the identity, for public inputs only.
// Table building works on public points.

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <concepts>
#include <cstdint>
#include <span>
#include <vector>

#include "algebra/curve.hpp"
#include "algebra/niels.hpp"
#include "pedersen/bits.hpp"
#include "pedersen/encodings.hpp"

namespace pedersen {

struct ConstantTime {
    static constexpr bool vartime = false;
};
// Leaks the input bits through the addresses it reads and the additions it
// skips: public data only.
struct VariableTime {
    static constexpr bool vartime = true;
};
template <class L>
concept Lookup = std::same_as<L, ConstantTime> || std::same_as<L, VariableTime>;

// The address the lanes read table entries from (lanes.hpp): the identity,
// which a lane with nothing left to add reads.
template <class Curve>
inline constexpr algebra::Niels<Curve> lane_origin = algebra::Niels<Curve>::identity();

// A variable-time sum whose table entries are added later, on the lanes
// (lanes.hpp): each entry is recorded, in order, as its offset from
// lane_origin with the low bit set for a negated one. Other points (Horner
// rows) are added to `rest` on the spot.
template <class Curve>
struct DeferredSum {
    std::vector<std::uint64_t>* entries = nullptr;
    algebra::Projective<Curve> rest = algebra::Projective<Curve>::identity();
    bool has_rest = false;

    void add_assign(const algebra::Projective<Curve>& p) {
        rest.add_assign(p);
        has_rest = true;
    }
};

// acc += entry, negated when `negate` is not zero.
template <class Curve>
[[gnu::always_inline]] inline void add_entry(algebra::Projective<Curve>& acc, const algebra::Niels<Curve>& entry,
                                             std::uint64_t negate) {
    add_assign(acc, negate != 0 ? entry.negate() : entry);
}
template <class Curve>
inline void add_entry(DeferredSum<Curve>& acc, const algebra::Niels<Curve>& entry, std::uint64_t negate) {
    acc.entries->push_back(
        (reinterpret_cast<std::uintptr_t>(&entry) - reinterpret_cast<std::uintptr_t>(&lane_origin<Curve>)) |
        (negate != 0));
}

// acc += the entry a selection names in `entries` (selector - 1, none for 0),
// negated when the selection says so, under the lookup policy L; G is the
// group arithmetic that made the selection. A DeferredSum takes variable-time
// lookups only.
template <Lookup L, class G, class Curve, class Acc>
[[gnu::always_inline]] inline void add_selected(Acc& acc, std::span<const algebra::Niels<Curve>> entries,
                                                const Selection& selection) {
    if constexpr (L::vartime) {
        if constexpr (G::selects_identity) {
            if (selection.selector == 0) return;
        }
        add_entry(acc, entries[selection.selector - 1], G::negates ? selection.negate : 0);
    } else {
        algebra::Niels<Curve> entry = algebra::select_entry(entries, selection.selector);
        if constexpr (G::negates) entry = entry.conditional_negate(selection.negate);
        add_assign(acc, entry);
    }
}

template <class Curve, Encoding E, unsigned K, class Grouping = Group<E>>
struct Layout {
    static_assert(K >= 1 && K * E::chunk_bits <= 24, "a group must fit one bit read");

    using Point = algebra::Projective<Curve>;
    using Entry = algebra::Niels<Curve>;
    using G = Grouping;

    static constexpr unsigned chunks_per_lookup = K;

    // Entries of the table of a segment of `chunks` chunks.
    static constexpr std::uint64_t segment_entries(std::uint64_t chunks) {
        const std::uint64_t rest = chunks % K;
        return chunks / K * G::stride(K) + (rest != 0 ? G::stride(static_cast<unsigned>(rest)) : 0);
    }

    // The table of a segment with base `unit`, as projective points in table
    // order (entries, then corrections or the carry point, group by group); `out` has
    // segment_entries(chunks) points. Returns the weight of the chunk after
    // the last, so that a segment can be built in slices of whole groups: the
    // next slice starts from it. Variable time: public points only.
    static Point segment_points(Point unit, std::uint64_t chunks, std::span<Point> out) {
        assert(out.size() == segment_entries(chunks));
        std::size_t at = 0;
        for (std::uint64_t chunk = 0; chunk < chunks; chunk += K) {
            const unsigned c = static_cast<unsigned>(std::min<std::uint64_t>(K, chunks - chunk));
            unit = group_points(unit, c, out.data() + at);  // the next group's first power
            at += G::stride(c);
        }
        assert(at == out.size());
        return unit;
    }

    // The same, prepared for lookups.
    static std::vector<Entry> build_segment(const Point& base, std::uint64_t chunks) {
        std::vector<Point> points(static_cast<std::size_t>(segment_entries(chunks)));
        segment_points(base, chunks, points);
        std::vector<Entry> table(points.size());
        algebra::batch_to_niels<Curve>(points, table);
        return table;
    }

    // acc += the chunks [0, used) of a segment of `chunks` chunks whose first
    // chunk is chunk `first` of the input. Under ConstantTime only the length
    // steers the loop and the correction for a group the input ends in;
    // VariableTime also prefetches the entry of the next group. The chunks
    // may be summed in slices of whole groups, call after call. Flattened,
    // so that the field arithmetic inlines into the loop: faster.
    template <Lookup L = ConstantTime, class Acc = Point>
    [[gnu::flatten]] static void accumulate(Acc& acc, const Entry* table, std::uint64_t chunks, std::uint64_t used,
                                            const BitString& bits, std::uint64_t first) {
        std::uint32_t carry = 0;  // out of the group read last; always 0 without G::carries
        for (std::uint64_t chunk = 0; chunk < used; chunk += K) {
            const unsigned c = static_cast<unsigned>(std::min<std::uint64_t>(K, chunks - chunk));
            const std::uint32_t group = bits.read((first + chunk) * E::chunk_bits, c * E::chunk_bits);
            const Selection selection = G::select(group, c, carry);
            carry = G::carry(group, c);
            if constexpr (L::vartime) {
                if (chunk + K < used)
                    prefetch_vartime(table + G::stride(c), chunks - chunk - K, bits, first + chunk + K, carry);
            }
            add_selected<L, G, Curve>(acc, std::span<const Entry>(table, G::entries(c)), selection);
            if constexpr (G::corrections(K) != 0) {
                const std::uint64_t present = std::min<std::uint64_t>(c, used - chunk);
                if (present < c) add_entry(acc, table[G::entries(c) + present - 1], 0);
            }
            table += G::stride(c);
        }
        // The last carry, from the carry point (the identity when it is 0).
        // It is 0 when the input ends inside the last group read: the top
        // bit was read as 0, and that depends on the length alone.
        if constexpr (G::carries) {
            if (used != 0 && (used == chunks || used % K == 0))
                add_selected<L, G, Curve>(acc, std::span<const Entry>(table - 1, 1), Selection{carry, 0});
        }
    }

  private:
    static constexpr std::uint32_t mask() { return (std::uint32_t{1} << E::chunk_bits) - 1; }

    // The stride(c) points of a group of c chunks with unit `unit`, written
    // to `out`; returns the weight of the chunk after the group.
    static Point group_points(const Point& unit, unsigned c, Point* out) {
        if constexpr (G::carries) {
            // m·unit at entry m - 1, even multiples by doubling; then the
            // carry point, twice the last entry.
            out[0] = unit;
            for (std::uint32_t m = 2; m <= G::entries(c); ++m)
                out[m - 1] = m % 2 == 0 ? out[m / 2 - 1].double_() : out[m - 2] + unit;
            out[G::entries(c)] = out[G::entries(c) - 1].double_();
            return out[G::entries(c)];
        } else {
            // multiple[j][m - 1] = m·2^(S·j)·unit; even multiples by doubling.
            Point multiple[K][E::max_magnitude];
            Point weight = unit;
            for (unsigned j = 0; j < c; ++j) {
                multiple[j][0] = weight;
                for (int m = 2; m <= E::max_magnitude; ++m)
                    multiple[j][m - 1] = m % 2 == 0 ? multiple[j][m / 2 - 1].double_() : multiple[j][m - 2] + weight;
                for (unsigned s = 0; s < E::power_step; ++s) weight.double_in_place();
            }
            // sum += v·2^(S·j)·unit; a sum still empty takes the point itself.
            const auto add_digit = [&](Point& sum, bool& empty, unsigned j, int v) {
                if (v == 0) return;
                const Point term = v > 0 ? multiple[j][v - 1] : -multiple[j][-v - 1];
                if (empty)
                    sum = term;
                else
                    sum.add_assign(term);
                empty = false;
            };
            for (std::uint32_t i = 0; i < G::entries(c); ++i) {
                const std::uint32_t bits = G::entry_bits(i);
                Point sum = Point::identity();
                bool empty = true;
                for (unsigned j = c; j-- > 0;)
                    add_digit(sum, empty, j, E::value((bits >> (E::chunk_bits * j)) & mask()));
                *out++ = sum;
            }
            for (std::uint32_t p = 1; p <= G::corrections(c); ++p) {
                Point sum = Point::identity();
                bool empty = true;
                for (unsigned j = p; j < c; ++j) add_digit(sum, empty, j, E::value(0));
                *out++ = -sum;
            }
            return weight;
        }
    }

    // Starts loading the entry that the group at `table` (of `left` chunks
    // from input chunk `chunk` on, given `carry` from the group before it)
    // will read; an entry spans two cache lines.
    static void prefetch_vartime(const Entry* table, std::uint64_t left, const BitString& bits, std::uint64_t chunk,
                                 std::uint32_t carry) {
        const unsigned c = static_cast<unsigned>(std::min<std::uint64_t>(K, left));
        const std::uint64_t selector =
            G::select(bits.read(chunk * E::chunk_bits, c * E::chunk_bits), c, carry).selector;
#if defined(__GNUC__) || defined(__clang__)
        const char* at = reinterpret_cast<const char*>(table + (selector != 0 ? selector - 1 : 0));
        __builtin_prefetch(at);
        __builtin_prefetch(at + sizeof(Entry) - 1);
#else
        (void)table, (void)selector;  // no portable prefetch; the load comes soon enough
#endif
    }
};

// One segment summed by Horner's rule: its multiples table (the table of a
// one-chunk segment with the segment's base point), the chunks it has in
// the input, and the input chunk its first chunk is.
template <class Curve>
struct HornerSegment {
    const algebra::Niels<Curve>* multiples;
    std::uint64_t used;
    std::uint64_t first;
};

// acc += Σ over the segments of Σ_j v_j·2^(S·j)·P, under the lookup policy L.
template <class Curve, Encoding E, Lookup L = ConstantTime, class Acc>
void accumulate_horner(Acc& acc, std::span<const HornerSegment<Curve>> segments, const BitString& bits) {
    using G = Group<E>;
    std::uint64_t rows = 0;
    for (const auto& s : segments) rows = std::max(rows, s.used);
    algebra::Projective<Curve> sum = algebra::Projective<Curve>::identity();
    for (std::uint64_t row = rows; row-- > 0;) {
        if (row + 1 < rows)
            for (unsigned i = 0; i < E::power_step; ++i) sum.double_in_place();
        for (const auto& s : segments) {
            if (row >= s.used) continue;  // the input ends before this chunk: public
            const auto selection = G::select(bits.read((s.first + row) * E::chunk_bits, E::chunk_bits), 1);
            add_selected<L, G, Curve>(sum, std::span<const algebra::Niels<Curve>>(s.multiples, G::entries(1)),
                                      selection);
        }
    }
    acc.add_assign(sum);
}

}  // namespace pedersen
