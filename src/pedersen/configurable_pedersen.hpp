#pragma once
// The hasher of the configurable constructions: every table built eagerly,
// shared by the instances of the same sizes (see engine.hpp).

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

namespace pedersen {

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
    // The wide tables belong to the instance's block: a call holds nothing.
    struct WideHandle {};

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
        (void)prepare_bits_vartime(0, bits.size(), checkpoint);
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
    WideHandle prepare_bits_vartime(std::uint64_t, std::uint64_t, Checkpoint checkpoint = {}, Uses = Uses::Once) const {
        if (!fixed_ || fixed_->wide_ready() != nullptr || !wide_fits()) return {};
        Fixed& fixed = *fixed_;
        const std::lock_guard lock(fixed.wide_mutex);
        if (fixed.wide_ready() != nullptr) return {};
        fixed.wide = build_tables<WideTables>(segments_, per_segment_, checkpoint);
        fixed.wide_published.store(fixed.wide.data(), std::memory_order_release);
        return {};
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
    Point sum(const BitString& bits, std::uint64_t first_segment, Checkpoint checkpoint = {},
              const WideHandle& wide = {}) const {
        Point acc = Point::identity();
        sum_into<L>(acc, bits, first_segment, checkpoint, wide);
        return acc;
    }
    // acc += that sum; a DeferredSum (variable time) records the table entries.
    template <Lookup L = ConstantTime, class Acc>
    void sum_into(Acc& acc, const BitString& bits, std::uint64_t first_segment, Checkpoint checkpoint = {},
                  const WideHandle& = {}) const {
        if constexpr (L::vartime) {
            if (const Entry* wide = fixed_ ? fixed_->wide_ready() : nullptr)
                return sum_with<WideTables, L>(acc, wide,
                                               static_cast<std::size_t>(WideTables::segment_entries(per_segment_)),
                                               bits, first_segment, checkpoint);
        }
        sum_with<Tables, L>(acc, fixed_ ? fixed_->tables.data() : nullptr, stride_, bits, first_segment, checkpoint);
    }

  private:
    // sum_into() over the tables of layout T.
    template <class T, Lookup L, class Acc>
    void sum_with(Acc& acc, const Entry* tables, std::size_t stride, const BitString& bits, std::uint64_t first_segment,
                  Checkpoint checkpoint) const {
        constexpr unsigned K = T::chunks_per_lookup;
        constexpr std::uint64_t slice = checkpoint_chunks / K * K;  // whole groups
        const std::uint64_t chunks = chunk_count_bits(bits.size(), Encoding::chunk_bits);
        if (chunks == 0) return;
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

}  // namespace pedersen
