#pragma once
// The hash engine all four constructions share. A construction is a
// declaration (see configurable.hpp, sapling.hpp, circom.hpp):
//
//   using Curve;                 the curve model the sums are formed in (a = -1)
//   using Encoding;              the chunk encoding
//   chunks_per_lookup            K: chunks one table lookup covers
//   chunks_per_segment           (the caching constructions) chunks per segment
//   encode(Affine<Curve>)        the 32 output bytes of the affine sum
//   publish(Affine<Curve>)       (optional) the affine sum in the curve's
//                                published model, when it is not Curve
//
// plus a source of segment base points. Two hashers are built from them:
// ConfigurablePedersen builds every table eagerly and never changes;
// CachingPedersen grows per-instance tables lazily, within a memory cap.
//
// Inputs are bit strings (bits.hpp): hash() takes every bit of its bytes,
// hash_bits() a given number of them. Hashing is constant time in the input
// bits: only the input length shapes the work (which segments, how many
// lookups, which tables). See table.hpp. hash_vartime() and
// hash_bits_vartime() give the same digests through the VariableTime lookup
// and a variable-time inversion: faster, and leaking the input bits through
// timing, so for public data only.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "algebra/curve.hpp"
#include "algebra/encoding.hpp"
#include "algebra/niels.hpp"
#include "fault/fault.hpp"
#include "pedersen/bits.hpp"
#include "pedersen/encodings.hpp"
#include "pedersen/table.hpp"
#include "pedersen/table_cache.hpp"

namespace pedersen {

// Long work calls its checkpoint between slices of a few milliseconds at
// most, so that a caller can abandon a call by throwing from it (to deliver
// a signal, or to stop a worker). Whatever it interrupts, an instance keeps
// only what it had completed.
class Checkpoint {
  public:
    Checkpoint() = default;  // never interrupts
    template <class F>
        requires(!std::same_as<std::remove_cvref_t<F>, Checkpoint>)
    explicit Checkpoint(const F& check)
        : context_(&check), call_([](const void* c) { (*static_cast<const F*>(c))(); }) {}

    void operator()() const {
        if (call_ != nullptr) call_(context_);
    }

  private:
    const void* context_ = nullptr;
    void (*call_)(const void*) = nullptr;
};

// Chunks summed between two checkpoints: about a millisecond of lookups.
inline constexpr std::uint64_t checkpoint_chunks = 4096;
// Chunks whose tables are built between two checkpoints: a few milliseconds.
inline constexpr std::uint64_t build_slice_chunks = 1024;

// How often the caller means to sum inputs of the length it prepares for.
// A caching hasher builds a segment's table only for a segment that is
// summed again (building costs many sums), so a single long input costs no
// more than summing it; Repeated says that the tables will pay off at once.
enum class Uses { Once, Repeated };

// The capacity fault: too few generator powers for the input.
[[noreturn]] inline void capacity_fault(std::uint64_t bits, std::uint64_t chunks, std::uint64_t powers) {
    fault::raise("input of " + std::to_string(bits) + " bits needs " + std::to_string(chunks) + " chunks but only " +
                 std::to_string(powers) + " generator powers are available");
}

template <class Def>
concept Construction = requires {
    typename Def::Curve;
    typename Def::Encoding;
    { Def::chunks_per_lookup } -> std::convertible_to<unsigned>;
    { Def::encode(algebra::Affine<typename Def::Curve>{}) } -> std::same_as<algebra::Bytes32>;
};

// The hash point as a construction publishes it.
template <Construction Def>
constexpr auto publish(const algebra::Affine<typename Def::Curve>& p) {
    if constexpr (requires { Def::publish(p); }) {
        return Def::publish(p);
    } else {
        return p;
    }
}
template <Construction Def>
using PublishedPoint = decltype(publish<Def>(algebra::Affine<typename Def::Curve>{}));

// Chunks per group of the wide tables that variable-time sums may use: the
// construction's wide_chunks_per_lookup, else its chunks_per_lookup.
template <Construction Def>
constexpr unsigned wide_chunks_per_lookup() {
    if constexpr (requires { Def::wide_chunks_per_lookup; }) {
        return Def::wide_chunks_per_lookup;
    } else {
        return Def::chunks_per_lookup;
    }
}

// The group arithmetic of a configurable construction's tables (see
// encodings.hpp): its TableGroup, else its encoding's own.
template <Construction Def>
struct TableGroup {
    using type = Group<typename Def::Encoding>;
};
template <Construction Def>
    requires requires { typename Def::TableGroup; }
struct TableGroup<Def> {
    using type = typename Def::TableGroup;
};

// Segments of `per_segment` chunks, every table built at construction from
// base points k_i·G with k_i = ((i + seed)·0x9E3779B97F4A7C15 mod 2^64) | 1.
// The first variable-time hash also builds wide tables of every segment, when
// they fit wide_cap. Instances with the same sizes share their tables, wide
// ones included, through the process's table cache (table_cache.hpp).
template <Construction Def>
class ConfigurablePedersen {
  public:
    using Curve = typename Def::Curve;
    using Point = algebra::Projective<Curve>;
    using Entry = algebra::Niels<Curve>;
    using Encoding = typename Def::Encoding;
    using Tables = Layout<Curve, Encoding, Def::chunks_per_lookup, typename TableGroup<Def>::type>;
    using WideTables = Layout<Curve, Encoding, wide_chunks_per_lookup<Def>()>;
    using Definition = Def;

    static constexpr std::size_t wide_cap = std::size_t{64} << 20;

    static constexpr std::uint64_t multiplier = 0x9E3779B97F4A7C15ull;

    // The odd 64-bit scalar of segment `index`; unsigned arithmetic wraps.
    static constexpr std::uint64_t scalar(std::uint64_t index) { return ((index + Def::seed) * multiplier) | 1; }

    static Point base_vartime(std::uint64_t index) {
        Point p = Point::generator();
        p.mul_assign(Curve::ScalarField::from(scalar(index)));
        return p;
    }

    // Faults with "capacity overflow" when the tables' size in bytes cannot
    // be represented; throws std::bad_alloc when it cannot be allocated.
    // Segments of no chunks derive and hold nothing. The tables are built in
    // slices of whole groups with a checkpoint after each; whatever is thrown
    // leaves nothing behind.
    static ConfigurablePedersen build(std::uint64_t segments, std::uint64_t per_segment, Checkpoint checkpoint = {}) {
        constexpr std::uint64_t max_entries = std::numeric_limits<std::ptrdiff_t>::max() / sizeof(Entry);
        if (per_segment != 0 && segments > std::numeric_limits<std::uint64_t>::max() / per_segment)
            fault::raise("capacity overflow");
        const std::uint64_t requested = per_segment;
        if (segments == 0) per_segment = 0;  // however large, nothing to hold
        if (per_segment > max_entries) fault::raise("capacity overflow");
        const std::uint64_t stride = Tables::segment_entries(per_segment);
        if (stride != 0 && segments > max_entries / stride) fault::raise("capacity overflow");

        ConfigurablePedersen h;
        h.segments_ = segments;
        h.per_segment_ = per_segment;
        h.requested_per_segment_ = requested;
        h.stride_ = static_cast<std::size_t>(stride);
        if (stride == 0) return h;
        TableCache& cache = TableCache::process();
        const std::string key = fixed_key(segments, per_segment);
        h.fixed_ = cache.find_fixed<Fixed>(key);
        if (!h.fixed_) {
            auto block = std::make_unique<Fixed>();
            block->tables = build_tables<Tables>(segments, per_segment, checkpoint);
            h.fixed_ = cache.insert_fixed(key, std::move(block));
        }
        return h;
    }

    algebra::Bytes32 hash(std::span<const std::uint8_t> data, Checkpoint checkpoint = {}) const {
        return hash_bits(BitString(data), checkpoint);
    }
    algebra::Bytes32 hash_bits(const BitString& bits, Checkpoint checkpoint = {}) const {
        check_capacity_bits(bits.size());
        return Def::encode(sum(bits, 0, checkpoint).to_affine());
    }
    // The same digests in variable time: public data only.
    algebra::Bytes32 hash_vartime(std::span<const std::uint8_t> data, Checkpoint checkpoint = {}) const {
        return hash_bits_vartime(BitString(data), checkpoint);
    }
    algebra::Bytes32 hash_bits_vartime(const BitString& bits, Checkpoint checkpoint = {}) const {
        check_capacity_bits(bits.size());
        prepare_bits_vartime(0, bits.size(), checkpoint);
        return Def::encode(sum<VariableTime>(bits, 0, checkpoint).to_affine_vartime());
    }
    // The hash point itself, in the curve's published model.
    PublishedPoint<Def> point(const BitString& bits, Checkpoint checkpoint = {}) const {
        check_capacity_bits(bits.size());
        return publish<Def>(sum(bits, 0, checkpoint).to_affine());
    }

    // The capacity fault, for an input of `bytes` bytes (or `bits` bits)
    // that does not fit. Counted from the bytes, the chunks never overflow.
    void check_capacity(std::uint64_t bytes) const {
        const std::uint64_t chunks = chunk_count(bytes, Encoding::chunk_bits);
        const std::uint64_t powers = segments_ * per_segment_;
        if (chunks > powers) capacity_fault(bytes * 8, chunks, powers);
    }
    void check_capacity_bits(std::uint64_t bits) const {
        const std::uint64_t chunks = chunk_count_bits(bits, Encoding::chunk_bits);
        const std::uint64_t powers = segments_ * per_segment_;
        if (chunks > powers) capacity_fault(bits, chunks, powers);
    }
    // The longest input, in bits: every generator power takes a chunk. The
    // tables' size bounds the product, so it cannot overflow.
    std::optional<std::uint64_t> capacity_bits() const { return segments_ * per_segment_ * Encoding::chunk_bits; }

    // Nothing to grow: every table exists from the start.
    void prepare(std::uint64_t, std::uint64_t, Checkpoint = {}, Uses = Uses::Once) const {}
    void prepare_bits(std::uint64_t, std::uint64_t, Checkpoint = {}, Uses = Uses::Once) const {}
    // Builds the wide tables, once, if they fit wide_cap; what is thrown
    // leaves none behind. Any number of threads may call it at once.
    void prepare_bits_vartime(std::uint64_t, std::uint64_t, Checkpoint checkpoint = {}, Uses = Uses::Once) const {
        if (!fixed_ || fixed_->wide_ready() != nullptr || !wide_fits()) return;
        Fixed& fixed = *fixed_;
        const std::lock_guard lock(fixed.wide_mutex);
        if (fixed.wide_ready() != nullptr) return;
        fixed.wide = build_tables<WideTables>(segments_, per_segment_, checkpoint);
        fixed.wide_published.store(fixed.wide.data(), std::memory_order_release);
    }
    // Whether the wide tables fit wide_cap (there are none to build without chunks).
    bool wide_fits() const {
        const std::uint64_t stride = WideTables::segment_entries(per_segment_);
        return stride != 0 && stride <= wide_cap / sizeof(Entry) / segments_;
    }
    std::size_t wide_table_bytes() const { return fixed_ ? fixed_->wide_bytes() : 0; }

    // The sum of an input placed at segment `first_segment` of a longer one;
    // it must fit (check_capacity). So an input cut at segment boundaries
    // sums piece by piece.
    Point sum(std::span<const std::uint8_t> data, std::uint64_t first_segment, Checkpoint checkpoint = {}) const {
        return sum(BitString(data), first_segment, checkpoint);
    }
    // Variable-time sums read the wide tables once they are built.
    template <Lookup L = ConstantTime>
    Point sum(const BitString& bits, std::uint64_t first_segment, Checkpoint checkpoint = {}) const {
        if constexpr (L::vartime) {
            if (const Entry* wide = fixed_ ? fixed_->wide_ready() : nullptr)
                return sum_with<WideTables, L>(wide,
                                               static_cast<std::size_t>(WideTables::segment_entries(per_segment_)),
                                               bits, first_segment, checkpoint);
        }
        return sum_with<Tables, L>(fixed_ ? fixed_->tables.data() : nullptr, stride_, bits, first_segment, checkpoint);
    }

  private:
    // sum() over the tables of layout T.
    template <class T, Lookup L>
    Point sum_with(const Entry* tables, std::size_t stride, const BitString& bits, std::uint64_t first_segment,
                   Checkpoint checkpoint) const {
        constexpr unsigned K = T::chunks_per_lookup;
        constexpr std::uint64_t slice = checkpoint_chunks / K * K;  // whole groups
        const std::uint64_t chunks = chunk_count_bits(bits.size(), Encoding::chunk_bits);
        Point acc = Point::identity();
        if (chunks == 0) return acc;
        const Entry* table = tables + first_segment * stride;
        std::uint64_t since_checkpoint = 0;
        for (std::uint64_t first = 0; first < chunks; first += per_segment_, table += stride) {
            const std::uint64_t used = std::min(per_segment_, chunks - first);
            // A long segment in slices; group g of a segment starts at entry g·stride(K).
            for (std::uint64_t done = 0; done < used; done += slice) {
                const std::uint64_t n = std::min(slice, used - done);
                T::template accumulate<L>(acc, table + done / K * T::G::stride(K), per_segment_ - done, n, bits,
                                          first + done);
                since_checkpoint += n;
                if (since_checkpoint >= checkpoint_chunks) {
                    checkpoint();
                    since_checkpoint = 0;
                }
            }
        }
        return acc;
    }

  public:
    // Bits of input one segment takes.
    std::uint64_t segment_bits() const { return per_segment_ * Encoding::chunk_bits; }
    // The second size as the constructor was given it (segment_bits and the
    // tables treat it as 0 when there are no segments).
    std::uint64_t requested_per_segment() const { return requested_per_segment_; }

    std::uint64_t segments() const { return segments_; }
    std::uint64_t per_segment() const { return per_segment_; }
    std::size_t table_bytes() const { return fixed_ ? fixed_->tables.size() * sizeof(Entry) : 0; }
    // The table of segment s, for checks.
    std::span<const Entry> table(std::uint64_t s) const {
        return std::span<const Entry>(fixed_->tables).subspan(s * stride_, stride_);
    }

  private:
    ConfigurablePedersen() = default;

    // The tables of every segment under layout T, built in slices of whole
    // groups with a checkpoint after each.
    template <class T>
    static std::vector<Entry> build_tables(std::uint64_t segments, std::uint64_t per_segment, Checkpoint checkpoint) {
        std::vector<Entry> tables;
        // Reserved, not filled: memory is written (and so taken) as the
        // slices are built, and appending never reallocates.
        tables.reserve(static_cast<std::size_t>(segments * T::segment_entries(per_segment)));
        constexpr std::uint64_t slice =
            std::max<std::uint64_t>(build_slice_chunks / T::chunks_per_lookup, 1) * T::chunks_per_lookup;
        std::vector<Point> points;
        std::vector<Entry> entries;
        for (std::uint64_t s = 0; s < segments; ++s) {
            Point unit = base_vartime(s);
            for (std::uint64_t done = 0; done < per_segment; done += slice) {
                const std::uint64_t n = std::min(slice, per_segment - done);
                points.resize(static_cast<std::size_t>(T::segment_entries(n)));
                entries.resize(points.size());
                unit = T::segment_points(unit, n, points);
                algebra::batch_to_niels<Curve>(points, entries);
                tables.insert(tables.end(), entries.begin(), entries.end());  // within capacity
                checkpoint();
            }
        }
        return tables;
    }

    // The tables of one pair of sizes, shared by every instance with them;
    // the wide ones are built at most once, published through
    // `wide_published`.
    struct Fixed final : CachedTables {
        std::vector<Entry> tables;  // segment s at s·stride_
        std::mutex wide_mutex;
        std::atomic<const Entry*> wide_published{nullptr};
        std::vector<Entry> wide;  // written once, under the mutex, before `wide_published`

        const Entry* wide_ready() const { return wide_published.load(std::memory_order_acquire); }
        std::size_t wide_bytes() const { return wide_ready() != nullptr ? wide.size() * sizeof(Entry) : 0; }
        std::size_t bytes() const override { return tables.size() * sizeof(Entry) + wide_bytes(); }
    };

    // Names the construction (the address of a variable of its own) and the sizes.
    static std::string fixed_key(std::uint64_t segments, std::uint64_t per_segment) {
        return std::to_string(reinterpret_cast<std::uintptr_t>(&kind)) + " " + std::to_string(segments) + " " +
               std::to_string(per_segment);
    }
    static constexpr char kind = 0;

    TableCache::Handle<Fixed> fixed_;  // none when there are no chunks
    std::uint64_t segments_ = 0;
    std::uint64_t per_segment_ = 0;
    std::uint64_t requested_per_segment_ = 0;
    std::size_t stride_ = 0;
};

// Segments of Def::chunks_per_segment chunks with base points from `Bases`:
//
//   Point base_vartime(std::uint64_t segment) const;
//   std::uint64_t shared_segments() const;                      built-in tables
//   std::span<const Entry> shared_table(std::uint64_t) const;   segment < shared_segments()
//
// and, optionally, wide tables for the variable-time sums of the first
// segments (wide_tables.hpp), of Def::wide_chunks_per_lookup chunks a group,
// and ahead of them still wider ones (Def::widest_chunks_per_lookup) for
// fewer segments:
//
//   std::uint64_t wide_segments_vartime() const;
//   const Entry* wide_table_vartime(std::uint64_t) const;       segment < wide_segments_vartime()
//   std::uint64_t widest_segments_vartime() const;              at most wide_segments_vartime()
//   const Entry* widest_table_vartime(std::uint64_t) const;     segment < widest_segments_vartime()
//
// and, when more than one set of generators exists, a key naming them for
// the table cache:
//
//   std::string cache_key() const;
//
// The first segments come from tables built into the library. Further
// tables are built on the first input that needs them and kept in a growing
// block of the table cache (table_cache.hpp), shared by every instance with
// the same generators: full tables while the cache holds at most three
// quarters of its limit, then only the multiples tables of further
// segments, up to the limit; segments past both are summed from base points
// derived during the call. So the cache never holds more than its limit,
// whatever it is given to hash, and results never depend on what it holds.
// An instance given a cap of its own has a cache of its own, limited by it.
template <Construction Def, class Bases>
class CachingPedersen {
  public:
    using Curve = typename Def::Curve;
    using Encoding = typename Def::Encoding;
    using Point = algebra::Projective<Curve>;
    using Entry = algebra::Niels<Curve>;
    using Tables = Layout<Curve, Encoding, Def::chunks_per_lookup>;
    using Multiples = Layout<Curve, Encoding, 1>;
    using Definition = Def;

    static constexpr std::uint64_t chunks_per_segment = Def::chunks_per_segment;
    static constexpr std::size_t default_cap = std::size_t{64} << 20;
    static constexpr std::size_t table_bytes_per_segment = Tables::segment_entries(chunks_per_segment) * sizeof(Entry);
    static constexpr std::size_t multiples_per_segment = Multiples::segment_entries(1);

    // Shares the process's table cache.
    explicit CachingPedersen(Bases bases) : bases_(std::move(bases)) { store_ = open_store(TableCache::process()); }
    // Holds a cache of its own, of at most `cap_bytes`.
    CachingPedersen(Bases bases, std::size_t cap_bytes)
        : bases_(std::move(bases)), own_cache_(std::make_unique<TableCache>(cap_bytes)) {
        store_ = open_store(*own_cache_);
    }

    // Grows the cache for the input first, so it takes the instance for
    // exclusive use; the cache never changes a result.
    algebra::Bytes32 hash(std::span<const std::uint8_t> data, Checkpoint checkpoint = {}) {
        return hash_bits(BitString(data), checkpoint);
    }
    algebra::Bytes32 hash_bits(const BitString& bits, Checkpoint checkpoint = {}) {
        prepare_bits(0, bits.size(), checkpoint);
        return Def::encode(sum(bits, 0, checkpoint).to_affine());
    }
    // The same digests in variable time: public data only.
    algebra::Bytes32 hash_vartime(std::span<const std::uint8_t> data, Checkpoint checkpoint = {}) {
        return hash_bits_vartime(BitString(data), checkpoint);
    }
    algebra::Bytes32 hash_bits_vartime(const BitString& bits, Checkpoint checkpoint = {}) {
        prepare_bits_vartime(0, bits.size(), checkpoint);
        return Def::encode(sum<VariableTime>(bits, 0, checkpoint).to_affine_vartime());
    }
    // The hash point itself, in the curve's published model.
    PublishedPoint<Def> point(const BitString& bits, Checkpoint checkpoint = {}) {
        prepare_bits(0, bits.size(), checkpoint);
        return publish<Def>(sum(bits, 0, checkpoint).to_affine());
    }

    // Every input fits.
    void check_capacity(std::uint64_t) const {}
    void check_capacity_bits(std::uint64_t) const {}
    static constexpr std::optional<std::uint64_t> capacity_bits() { return std::nullopt; }

    // Grows the cache for `bytes` bytes (or `bits` bits) of input placed at
    // segment `first_segment`, within the limit: tables for the segments that
    // an earlier input needed too, or for all of them when `uses` says
    // Repeated. sum() reads the cache only, so any number of threads may run
    // it at once, and it gives the same result whatever the cache holds.
    void prepare(std::uint64_t first_segment, std::uint64_t bytes, Checkpoint checkpoint = {}, Uses uses = Uses::Once) {
        extend(first_segment, first_segment + segments_for(chunk_count(bytes, Encoding::chunk_bits)), checkpoint, uses);
    }
    void prepare_bits(std::uint64_t first_segment, std::uint64_t bits, Checkpoint checkpoint = {},
                      Uses uses = Uses::Once) {
        extend(first_segment, first_segment + segments_for(chunk_count_bits(bits, Encoding::chunk_bits)), checkpoint,
               uses);
    }
    // The same for sum<VariableTime>, which needs nothing more for an input
    // within the wide tables.
    void prepare_bits_vartime(std::uint64_t first_segment, std::uint64_t bits, Checkpoint checkpoint = {},
                              Uses uses = Uses::Once) {
        const std::uint64_t end = first_segment + segments_for(chunk_count_bits(bits, Encoding::chunk_bits));
        if (end > wide_segments()) extend(first_segment, end, checkpoint, uses);
    }

    // The sum of an input placed at segment `first_segment` of a longer one,
    // from whatever the cache holds (see prepare); so an input cut at segment
    // boundaries sums piece by piece.
    Point sum(std::span<const std::uint8_t> data, std::uint64_t first_segment, Checkpoint checkpoint = {}) const {
        return sum(BitString(data), first_segment, checkpoint);
    }
    template <Lookup L = ConstantTime>
    Point sum(const BitString& bits, std::uint64_t first_segment, Checkpoint checkpoint = {}) const {
        constexpr std::uint64_t checkpoint_segments =
            std::max<std::uint64_t>(1, checkpoint_chunks / chunks_per_segment);
        const std::uint64_t chunks = chunk_count_bits(bits.size(), Encoding::chunk_bits);
        const std::uint64_t end = first_segment + segments_for(chunks);
        Point acc = Point::identity();
        std::uint64_t s = first_segment;
        // Segments [s, limit) from the wide tables of layout W that table_of gives.
        [[maybe_unused]] const auto walk_wide = [&](auto layout, std::uint64_t limit, auto table_of) {
            using W = decltype(layout);
            for (limit = std::min(end, limit); s < limit; ++s) {
                const std::uint64_t first = (s - first_segment) * chunks_per_segment;
                W::template accumulate<VariableTime>(acc, table_of(s), chunks_per_segment,
                                                     std::min(chunks_per_segment, chunks - first), bits, first);
                if ((s - first_segment + 1) % checkpoint_segments == 0) checkpoint();
            }
        };
        if constexpr (L::vartime && has_widest_tables) {
            walk_wide(Layout<Curve, Encoding, Def::widest_chunks_per_lookup>{}, bases_.widest_segments_vartime(),
                      [&](std::uint64_t i) { return bases_.widest_table_vartime(i); });
        }
        if constexpr (L::vartime && has_wide_tables) {
            walk_wide(Layout<Curve, Encoding, Def::wide_chunks_per_lookup>{}, wide_segments(),
                      [&](std::uint64_t i) { return bases_.wide_table_vartime(i); });
        }
        const std::uint64_t shared = bases_.shared_segments();
        const Extent extent = this->extent();
        const std::uint64_t tabled = std::max(s, std::min(end, shared + extent.tabled));
        for (; s < tabled; ++s) {
            const Entry* table = s < shared ? bases_.shared_table(s).data() : store_->tables[s - shared].data();
            const std::uint64_t first = (s - first_segment) * chunks_per_segment;
            Tables::template accumulate<L>(acc, table, chunks_per_segment, std::min(chunks_per_segment, chunks - first),
                                           bits, first);
            if ((s - first_segment + 1) % checkpoint_segments == 0) checkpoint();
        }
        if (end > tabled) accumulate_untabled<L>(acc, extent, tabled, end, first_segment, chunks, bits, checkpoint);
        return acc;
    }

    // Bits of input one segment takes.
    static constexpr std::uint64_t segment_bits() { return chunks_per_segment * Encoding::chunk_bits; }

    static constexpr bool has_wide_tables = requires(const Bases& b) { b.wide_table_vartime(std::uint64_t{0}); };
    static constexpr bool has_widest_tables = requires(const Bases& b) { b.widest_table_vartime(std::uint64_t{0}); };
    // Segments that sum<VariableTime> takes from wide tables.
    std::uint64_t wide_segments() const {
        if constexpr (has_wide_tables) {
            return bases_.wide_segments_vartime();
        } else {
            return 0;
        }
    }

    // Bytes of tables the cache holds for this instance's generators (the
    // built-in ones not counted); other instances with the same generators
    // share them.
    std::size_t cached_bytes() const { return store_->held.load(std::memory_order_acquire); }
    // Segments with a full table, the built-in ones included.
    std::uint64_t tabled_end() const { return bases_.shared_segments() + extent().tabled; }
    // Segments with a table or a kept multiples table.
    std::uint64_t cached_end() const {
        const Extent e = extent();
        return bases_.shared_segments() + e.tabled + e.kept;
    }
    // The cache this instance's tables are in.
    const TableCache& cache() const { return *store_.cache(); }
    const Bases& bases() const { return bases_; }

  private:
    static std::uint64_t segments_for(std::uint64_t chunks) {
        return chunks / chunks_per_segment + (chunks % chunks_per_segment != 0);
    }

    // The tables of one set of generators past the built-in ones: full
    // tables of `tabled` segments, then multiples tables of the next `kept`
    // ones. Grown under `grow` only;
    // readers take `extent` (one word, so that they never see a count of
    // one kind with that of the other from a different moment) and read
    // what it covers without a lock.
    struct Store final : CachedTables {
        std::mutex grow;
        std::atomic<std::uint64_t> extent{0};  // tabled << 32 | kept
        std::atomic<std::size_t> held{0};
        std::uint64_t seen = 0;  // segments an input has needed; under `grow`
        Slots<std::vector<Entry>> tables;
        Slots<std::vector<Entry>> multiples;
        std::size_t bytes() const override { return held.load(std::memory_order_relaxed); }
    };
    struct Extent {
        std::uint64_t tabled;
        std::uint64_t kept;
    };
    static constexpr std::uint64_t max_count = 0xFFFFFFFF;

    Extent extent() const {
        const std::uint64_t e = store_->extent.load(std::memory_order_acquire);
        return {e >> 32, e & max_count};
    }

    // Under a key that names this construction (the address of a variable
    // of its own) and its generators.
    TableCache::Handle<Store> open_store(TableCache& cache) const {
        std::string key = std::to_string(reinterpret_cast<std::uintptr_t>(&kind));
        if constexpr (requires { bases_.cache_key(); }) key.append(1, ' ').append(bases_.cache_key());
        return cache.template growing<Store>(key, [] { return std::make_unique<Store>(); });
    }
    static constexpr char kind = 0;

    // Tables for segments [first, segments) of an input.
    void extend(std::uint64_t first, std::uint64_t segments, Checkpoint checkpoint, Uses uses) {
        const std::uint64_t shared = bases_.shared_segments();
        if (segments <= cached_end()) return;
        Store& store = *store_;
        TableCache& cache = *store_.cache();
        const std::lock_guard lock(store.grow);
        // Plain variables: the lambda below captures them.
        const Extent at_start = extent();
        std::uint64_t tabled = at_start.tabled;
        std::uint64_t kept = at_start.kept;
        // Segments summed for the first time get nothing built, and neither
        // does a piece of a stream that starts past what the cache holds
        // (tables are built in order, and a stream passes each segment once).
        const std::uint64_t wanted = uses == Uses::Repeated ? segments : std::min(segments, store.seen);
        store.seen = std::max(store.seen, segments);
        if (first > shared + tabled + kept) return;
        segments = wanted;
        const auto publish = [&](std::size_t bytes) {
            store.held.fetch_add(bytes, std::memory_order_relaxed);
            store.extent.store(tabled << 32 | kept, std::memory_order_release);
        };
        // Bytes are counted before a table is built, so that a full cache
        // costs no building, and given back if building fails.
        while (shared + tabled < segments && kept == 0 && tabled < max_count) {
            const std::size_t bytes = table_bytes_per_segment + store.tables.cost(tabled);
            if (!cache.charge(&store, bytes, 3)) break;
            try {
                std::vector<Entry> table =
                    Tables::build_segment(bases_.base_vartime(shared + tabled), chunks_per_segment);
                store.tables.at(tabled) = std::move(table);
            } catch (...) {
                cache.refund(&store, bytes);
                throw;
            }
            ++tabled;
            publish(bytes);
            checkpoint();
        }
        // Then multiples tables, in slices that share one inversion, so that
        // temporary memory stays small and a fault keeps what was completed.
        constexpr std::uint64_t slice = 256;
        std::vector<Point> points;
        std::vector<Entry> entries;
        while (shared + tabled + kept < segments && kept < max_count) {
            const std::uint64_t want = std::min({slice, segments - (shared + tabled + kept), max_count - kept});
            std::uint64_t n = 0;
            std::size_t bytes = 0;
            for (; n < want; ++n) {
                const std::size_t more = multiples_per_segment * sizeof(Entry) + store.multiples.cost(kept + n);
                if (!cache.charge(&store, more, 4)) break;
                bytes += more;
            }
            if (n == 0) break;
            try {
                points.resize(static_cast<std::size_t>(n * multiples_per_segment));
                entries.resize(points.size());
                for (std::uint64_t i = 0; i < n; ++i)
                    Multiples::segment_points(
                        bases_.base_vartime(shared + tabled + kept + i), 1,
                        std::span<Point>(points).subspan(i * multiples_per_segment, multiples_per_segment));
                algebra::batch_to_niels<Curve>(points, entries);
                for (std::uint64_t i = 0; i < n; ++i) {
                    const auto first = entries.begin() + static_cast<std::ptrdiff_t>(i * multiples_per_segment);
                    store.multiples.at(kept + i).assign(first, first + multiples_per_segment);
                }
            } catch (...) {
                cache.refund(&store, bytes);  // nothing of the slice is published
                throw;
            }
            kept += n;
            publish(bytes);
            checkpoint();
        }
    }

    // Segments [begin, end) of an input whose first segment is `origin`, by
    // Horner's rule, in batches that share their doublings; multiples tables
    // from the cache or derived now.
    template <Lookup L>
    void accumulate_untabled(Point& acc, Extent extent, std::uint64_t begin, std::uint64_t end, std::uint64_t origin,
                             std::uint64_t chunks, const BitString& bits, Checkpoint checkpoint) const {
        constexpr std::uint64_t batch = 128;
        const std::uint64_t tabled_end = bases_.shared_segments() + extent.tabled;
        const std::uint64_t kept_end = tabled_end + extent.kept;
        std::vector<Point> points;
        std::vector<Entry> derived;
        std::array<HornerSegment<Curve>, batch> list;
        for (std::uint64_t s0 = begin; s0 < end; s0 += batch) {
            const std::uint64_t s1 = std::min(end, s0 + batch);
            const std::uint64_t derive_from = std::max(s0, kept_end);
            if (derive_from < s1) {
                points.resize((s1 - derive_from) * multiples_per_segment);
                derived.resize(points.size());
                for (std::uint64_t s = derive_from; s < s1; ++s)
                    Multiples::segment_points(bases_.base_vartime(s), 1,
                                              std::span<Point>(points).subspan(
                                                  (s - derive_from) * multiples_per_segment, multiples_per_segment));
                algebra::batch_to_niels<Curve>(points, derived);
            }
            for (std::uint64_t s = s0; s < s1; ++s) {
                const Entry* multiples =
                    s < kept_end ? kept_multiples(s - tabled_end) : &derived[(s - derive_from) * multiples_per_segment];
                const std::uint64_t first = (s - origin) * chunks_per_segment;
                list[s - s0] = {multiples, std::min(chunks_per_segment, chunks - first), first};
            }
            accumulate_horner<Curve, Encoding, L>(acc, std::span<const HornerSegment<Curve>>(list.data(), s1 - s0),
                                                  bits);
            checkpoint();
        }
    }

    // The multiples table of the kept segment k.
    const Entry* kept_multiples(std::uint64_t k) const { return store_->multiples[k].data(); }

    Bases bases_;
    std::unique_ptr<TableCache> own_cache_;  // for an instance given its own cap
    TableCache::Handle<Store> store_;        // released before own_cache_ goes
};

}  // namespace pedersen
