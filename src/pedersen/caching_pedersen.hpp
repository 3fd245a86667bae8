#pragma once
// The hasher of the constructions with fixed generators (Zcash, circom):
// tables grown lazily in the process's table cache (see engine.hpp).

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
#include "pedersen/engine.hpp"
#include "pedersen/table.hpp"
#include "pedersen/table_cache.hpp"
#include "pedersen/wide_tables.hpp"

namespace pedersen {

// Segments of Def::chunks_per_segment chunks with base points from `Bases`:
//
//   Point base_vartime(std::uint64_t segment) const;
//   std::uint64_t shared_segments() const;                      built-in tables
//   std::span<const Entry> shared_table(std::uint64_t) const;   segment < shared_segments()
//
// and, optionally, how many first segments have wide tables for the
// variable-time sums (wide_tables.hpp), of Def::wide_chunks_per_lookup chunks
// a group, the first of them still wider ones (Def::widest_chunks_per_lookup):
//
//   std::uint64_t wide_segments_vartime() const;
//   std::uint64_t widest_segments_vartime() const;              at most wide_segments_vartime()
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
// The wide tables are a block of the same cache, grown into the room it
// leaves free. An instance given a cap of its own has a cache of its own,
// limited by it, its wide tables included.
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
    // The wide tables a variable-time call holds while it runs; empty when
    // there are none.
    using WideHandle = TableCache::Handle<WideTablesVartime<Entry>>;

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
        const WideHandle wide = prepare_bits_vartime(0, bits.size(), checkpoint);
        return Def::encode(sum<VariableTime>(bits, 0, checkpoint, wide).to_affine_vartime());
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
    // The same for sum<VariableTime>, which reads the wide tables that the
    // returned handle holds for as long as it lives, and needs nothing more
    // for an input within them.
    WideHandle prepare_bits_vartime(std::uint64_t first_segment, std::uint64_t bits, Checkpoint checkpoint = {},
                                    Uses uses = Uses::Once) {
        const std::uint64_t end = first_segment + segments_for(chunk_count_bits(bits, Encoding::chunk_bits));
        const std::uint64_t wide_end = std::min(end, wide_segments());
        // The ordinary tables serve most of a longer input: they grow first,
        // and the wide ones take the room left.
        if (end > wide_end) extend(first_segment, end, checkpoint, uses);
        WideHandle wide = open_wide(wide_end, checkpoint);
        if (end <= wide_end && (wide ? wide->ready() : 0) < end) extend(first_segment, end, checkpoint, uses);
        return wide;
    }

    // The sum of an input placed at segment `first_segment` of a longer one,
    // from whatever the cache holds (see prepare) and, in variable time, the
    // wide tables `wide` holds; so an input cut at segment boundaries sums
    // piece by piece.
    Point sum(std::span<const std::uint8_t> data, std::uint64_t first_segment, Checkpoint checkpoint = {}) const {
        return sum(BitString(data), first_segment, checkpoint);
    }
    template <Lookup L = ConstantTime>
    Point sum(const BitString& bits, std::uint64_t first_segment, Checkpoint checkpoint = {},
              const WideHandle& wide = {}) const {
        Point acc = Point::identity();
        sum_into<L>(acc, bits, first_segment, checkpoint, wide);
        return acc;
    }
    // acc += that sum; a DeferredSum (variable time) records the table entries.
    template <Lookup L = ConstantTime, class Acc>
    void sum_into(Acc& acc, const BitString& bits, std::uint64_t first_segment, Checkpoint checkpoint = {},
                  const WideHandle& wide = {}) const {
        constexpr std::uint64_t checkpoint_segments =
            std::max<std::uint64_t>(1, checkpoint_chunks / chunks_per_segment);
        const std::uint64_t chunks = chunk_count_bits(bits.size(), Encoding::chunk_bits);
        const std::uint64_t end = first_segment + segments_for(chunks);
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
        if constexpr (L::vartime && has_wide_tables) {
            if (wide) {
                const std::uint64_t ready = wide->ready();
                const auto table_of = [&](std::uint64_t i) { return wide->table(i); };
                if constexpr (has_widest_tables)
                    walk_wide(WidestTables{}, std::min(ready, bases_.widest_segments_vartime()), table_of);
                walk_wide(WideTables{}, ready, table_of);
            }
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
    }

    // Bits of input one segment takes.
    static constexpr std::uint64_t segment_bits() { return chunks_per_segment * Encoding::chunk_bits; }

    static constexpr bool has_wide_tables = requires(const Bases& b) { b.wide_segments_vartime(); };
    static constexpr bool has_widest_tables = requires(const Bases& b) { b.widest_segments_vartime(); };
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
    using WideTables = Layout<Curve, Encoding, wide_chunks_per_lookup<Def>()>;
    using WidestTables = Layout<Curve, Encoding, widest_chunks_per_lookup<Def>()>;

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

    // The wide tables, grown for segments [0, end) if the cache has free
    // room for them all; none when the generators have none. Under a key of their
    // own kind (another variable's address) and the generators'.
    WideHandle open_wide(std::uint64_t end, Checkpoint checkpoint) const {
        if constexpr (has_wide_tables) {
            const std::uint64_t segments = bases_.wide_segments_vartime();
            if (segments == 0) return {};
            TableCache& cache = *store_.cache();
            WideHandle wide = cache.template growing<WideTablesVartime<Entry>>(
                wide_key(), [segments] { return std::make_unique<WideTablesVartime<Entry>>(segments); });
            wide->grow(
                cache, end, [this](std::uint64_t s) { return wide_table_bytes(s); },
                [this](std::uint64_t s) { return build_wide(s); }, checkpoint);
            return wide;
        } else {
            return {};
        }
    }
    std::string wide_key() const {
        std::string key = std::to_string(reinterpret_cast<std::uintptr_t>(&wide_kind));
        if constexpr (requires { bases_.cache_key(); }) key.append(1, ' ').append(bases_.cache_key());
        return key;
    }
    static constexpr char wide_kind = 0;

    // Segment s's wide table: of the widest groups for the first segments.
    bool is_widest(std::uint64_t s) const {
        if constexpr (has_widest_tables) {
            return s < bases_.widest_segments_vartime();
        } else {
            return false;
        }
    }
    std::size_t wide_table_bytes(std::uint64_t s) const {
        return (is_widest(s) ? WidestTables::segment_entries(chunks_per_segment)
                             : WideTables::segment_entries(chunks_per_segment)) *
               sizeof(Entry);
    }
    std::vector<Entry> build_wide(std::uint64_t s) const {
        const Point base = bases_.base_vartime(s);
        return is_widest(s) ? WidestTables::build_segment(base, chunks_per_segment)
                            : WideTables::build_segment(base, chunks_per_segment);
    }

    // Tables for segments [first, segments) of an input.
    void extend(std::uint64_t first, std::uint64_t segments, Checkpoint checkpoint, Uses uses) {
        const std::uint64_t shared = bases_.shared_segments();
        if (segments <= cached_end()) return;
        Store& store = *store_;
        const std::lock_guard lock(store.grow);
        Extent grown = extent();
        // Segments summed for the first time get nothing built, and neither
        // does a piece of a stream that starts past what the cache holds
        // (tables are built in order, and a stream passes each segment once).
        const std::uint64_t wanted = uses == Uses::Repeated ? segments : std::min(segments, store.seen);
        store.seen = std::max(store.seen, segments);
        if (first > shared + grown.tabled + grown.kept) return;
        grow_tables(grown, wanted, checkpoint);
        grow_multiples(grown, wanted, checkpoint);
    }

    // Full tables up to segment `segments` while no multiples table is
    // kept, within three quarters of the limit; under the store's `grow`.
    // Bytes are counted before a table is built, so that a full cache costs
    // no building, and given back if building fails.
    void grow_tables(Extent& grown, std::uint64_t segments, Checkpoint checkpoint) {
        const std::uint64_t shared = bases_.shared_segments();
        Store& store = *store_;
        TableCache& cache = *store_.cache();
        while (shared + grown.tabled < segments && grown.kept == 0 && grown.tabled < max_count) {
            const std::size_t bytes = table_bytes_per_segment + store.tables.cost(grown.tabled);
            if (!cache.charge(&store, bytes, 3)) break;
            try {
                std::vector<Entry> table =
                    Tables::build_segment(bases_.base_vartime(shared + grown.tabled), chunks_per_segment);
                store.tables.at(grown.tabled) = std::move(table);
            } catch (...) {
                cache.refund(&store, bytes);
                throw;
            }
            ++grown.tabled;
            publish_growth(grown, bytes);
            checkpoint();
        }
    }

    // Then multiples tables up to segment `segments`, within the limit, in
    // slices that share one inversion, so that temporary memory stays small
    // and a fault keeps what was completed; under the store's `grow`.
    void grow_multiples(Extent& grown, std::uint64_t segments, Checkpoint checkpoint) {
        constexpr std::uint64_t slice = 256;
        const std::uint64_t shared = bases_.shared_segments();
        Store& store = *store_;
        TableCache& cache = *store_.cache();
        std::vector<Point> points;
        std::vector<Entry> entries;
        while (shared + grown.tabled + grown.kept < segments && grown.kept < max_count) {
            const std::uint64_t next = shared + grown.tabled + grown.kept;
            const std::uint64_t want = std::min({slice, segments - next, max_count - grown.kept});
            std::uint64_t n = 0;
            std::size_t bytes = 0;
            for (; n < want; ++n) {
                const std::size_t more = multiples_per_segment * sizeof(Entry) + store.multiples.cost(grown.kept + n);
                if (!cache.charge(&store, more, 4)) break;
                bytes += more;
            }
            if (n == 0) break;
            try {
                points.resize(static_cast<std::size_t>(n * multiples_per_segment));
                entries.resize(points.size());
                for (std::uint64_t i = 0; i < n; ++i)
                    Multiples::segment_points(
                        bases_.base_vartime(next + i), 1,
                        std::span<Point>(points).subspan(i * multiples_per_segment, multiples_per_segment));
                algebra::batch_to_niels<Curve>(points, entries);
                for (std::uint64_t i = 0; i < n; ++i) {
                    const auto first = entries.begin() + static_cast<std::ptrdiff_t>(i * multiples_per_segment);
                    store.multiples.at(grown.kept + i).assign(first, first + multiples_per_segment);
                }
            } catch (...) {
                cache.refund(&store, bytes);  // nothing of the slice is published
                throw;
            }
            grown.kept += n;
            publish_growth(grown, bytes);
            checkpoint();
        }
    }

    // Makes `grown` and `bytes` more visible to readers.
    void publish_growth(Extent grown, std::size_t bytes) {
        store_->held.fetch_add(bytes, std::memory_order_relaxed);
        store_->extent.store(grown.tabled << 32 | grown.kept, std::memory_order_release);
    }

    // Segments [begin, end) of an input whose first segment is `origin`, by
    // Horner's rule, in batches that share their doublings; multiples tables
    // from the cache or derived now.
    template <Lookup L, class Acc>
    void accumulate_untabled(Acc& acc, Extent extent, std::uint64_t begin, std::uint64_t end, std::uint64_t origin,
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
