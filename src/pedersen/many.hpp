#pragma once
// Many inputs hashed by a team of threads sharing one hasher read-only.
// Inputs go in batches of consecutive items; a batch's points are normalised
// together with one inversion. Each item is hashed exactly as hash() (or
// hash_bits()) does, in constant time in its bits; or, when asked, as
// hash_vartime() does, for public data.
//
// ManyInputs is the whole policy of a bulk call (checks in item order,
// growing the hasher once, the thread count); hash_many hands out the
// batches to a Team (team.hpp), which runs them.

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

#include "algebra/curve.hpp"
#include "algebra/encoding.hpp"
#include "fault/fault.hpp"
#include "pedersen/bits.hpp"
#include "pedersen/engine.hpp"
#include "pedersen/lanes.hpp"
#include "pedersen/table.hpp"
#include "pedersen/team.hpp"

namespace pedersen {

// The CPUs this process may run on (its affinity mask where the system has
// one), at least 1.
inline unsigned usable_cpus() {
#if defined(__linux__) && defined(CPU_COUNT)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n != 0 ? n : 1;
}

struct ManyOptions {
    unsigned threads = 1;  // the calling thread included
    // The calling thread's checkpoint, run before each batch it takes (so at
    // least once), within long items and, once its own share is done, every
    // `poll` while it waits.
    Checkpoint checkpoint{};
    std::chrono::milliseconds poll{10};
    // The variable-time lookups and inversion: public items only.
    bool vartime = false;
};

namespace detail {

inline constexpr std::size_t batch_items = 32;
inline constexpr std::size_t batch_bytes = std::size_t{16} << 10;

// [starts[b], starts[b + 1]) is batch b: up to batch_items items and, unless
// one item is longer, up to batch_bytes bytes.
inline std::vector<std::size_t> batch_starts(std::span<const BitString> items) {
    std::vector<std::size_t> starts;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (starts.empty() || i - starts.back() == batch_items || bytes + items[i].bytes() > batch_bytes) {
            starts.push_back(i);
            bytes = 0;
        }
        bytes += items[i].bytes();
    }
    starts.push_back(items.size());
    return starts;
}

// A team member's working space: one batch's points, then their affine
// forms; in variable time on the lanes, the table entries each item adds.
template <class Hasher>
struct BatchSpace {
    using Curve = typename Hasher::Curve;
    std::array<algebra::Projective<Curve>, batch_items> points;
    std::array<algebra::Affine<Curve>, batch_items> affine;
    std::vector<std::uint64_t> entries;
    std::array<std::size_t, batch_items + 1> starts;

    // out[i] = the digest of items[i] for the items of one batch.
    void hash(const Hasher& hasher, std::span<const BitString> items, std::span<algebra::Bytes32> out, bool vartime,
              Checkpoint checkpoint, const typename Hasher::WideHandle& wide) {
        const std::size_t n = items.size();
        if (vartime) {
            const LaneKernel kernel = lane_kernel();
            if (kernel != LaneKernel::Scalar && n > 1)
                sum_on_lanes(kernel, hasher, items, checkpoint, wide);
            else
                for (std::size_t i = 0; i < n; ++i)
                    points[i] = hasher.template sum<VariableTime>(items[i], 0, checkpoint, wide);
            algebra::batch_to_affine_vartime<Curve>(std::span(points.data(), n), std::span(affine.data(), n));
        } else {
            for (std::size_t i = 0; i < n; ++i) points[i] = hasher.sum(items[i], 0, checkpoint);
            algebra::batch_to_affine<Curve>(std::span(points.data(), n), std::span(affine.data(), n));
        }
        for (std::size_t i = 0; i < n; ++i) out[i] = Hasher::Definition::encode(affine[i]);
    }

    // points[i] = the variable-time sum of items[i], the table entries added on the lanes.
    void sum_on_lanes(LaneKernel kernel, const Hasher& hasher, std::span<const BitString> items, Checkpoint checkpoint,
                      const typename Hasher::WideHandle& wide) {
        const std::size_t n = items.size();
        std::array<DeferredSum<Curve>, batch_items> sums;
        entries.clear();
        starts[0] = 0;
        for (std::size_t i = 0; i < n; ++i) {
            sums[i].entries = &entries;
            hasher.template sum_into<VariableTime>(sums[i], items[i], 0, checkpoint, wide);
            starts[i + 1] = entries.size();
        }
        sum_deferred<Curve>(kernel, entries, std::span<const std::size_t>(starts.data(), n + 1),
                            std::span(points.data(), n));
        for (std::size_t i = 0; i < n; ++i)
            if (sums[i].has_rest) points[i].add_assign(sums[i].rest);
    }
};

}  // namespace detail

// out[i] = hasher.hash_bits(items[i]) for every i. The hasher must be ready
// for the longest item (check_capacity_bits, prepare_bits) and is only read;
// variable-time sums read the wide tables that `wide` holds
// (prepare_bits_vartime).
// Whatever the checkpoint or a worker throws is rethrown once every worker
// has stopped; `out` is then incomplete.
template <class Hasher>
void hash_many(const Hasher& hasher, std::span<const BitString> items, std::span<algebra::Bytes32> out,
               const ManyOptions& options, const typename Hasher::WideHandle& wide = {}) {
    const std::vector<std::size_t> starts = detail::batch_starts(items);
    const std::size_t batches = starts.size() - 1;
    std::atomic<std::size_t> next{0};
    // Every member takes the next batch not yet taken, until none is left.
    const auto take_batches = [&](Checkpoint checkpoint) {
        detail::BatchSpace<Hasher> space;
        for (;;) {
            checkpoint();  // before every batch, the first included; throws once the team stops
            const std::size_t b = next.fetch_add(1, std::memory_order_relaxed);
            if (b >= batches) return;
            const std::size_t first = starts[b], n = starts[b + 1] - first;
            space.hash(hasher, items.subspan(first, n), out.subspan(first, n), options.vartime, checkpoint, wide);
        }
    };
    detail::Team team;
    team.start(std::min<std::size_t>(options.threads, batches) - (batches != 0), take_batches);
    team.work_and_wait(take_batches, options.checkpoint, options.poll);
}

// A bulk call from start to end: items are added one by one and checked as
// they come, so that the first bad item is the one reported whatever is
// wrong with it; then hash() grows the hasher once, for the longest item, and
// hashes every item on a team of threads.
template <class Hasher>
class ManyInputs {
  public:
    // Items of `bit_length` bits each when given, else of all their bytes.
    // Only the hasher's capacity is read, which never changes.
    ManyInputs(const Hasher& hasher, std::optional<std::uint64_t> bit_length)
        : capacity_bits_(hasher.capacity_bits()), bit_length_(bit_length) {}

    // Takes the next item; its bytes must stay put until hash() is done.
    // Refuses one that is not bit_length bits with the reason (an argument
    // error), and faults with the capacity fault for one that does not fit;
    // both messages start with "item {index}: ".
    std::optional<std::string> add(std::span<const std::uint8_t> item) {
        const auto prefix = [&] { return "item " + std::to_string(items_.size()) + ": "; };
        if (bit_length_) {
            if (auto error = bit_input_error(item, *bit_length_)) return prefix() + *error;
        }
        const BitString bits = bit_length_ ? BitString(item, *bit_length_) : BitString(item);
        if (capacity_bits_ && bits.size() > *capacity_bits_) {
            constexpr unsigned width = Hasher::Encoding::chunk_bits;
            try {
                capacity_fault(bits.size(), chunk_count_bits(bits.size(), width), *capacity_bits_ / width);
            } catch (const fault::Fault& fault) {
                fault::raise(prefix() + fault.what());
            }
        }
        longest_ = std::max(longest_, bits.size());
        items_.push_back(bits);
        return std::nullopt;
    }

    std::size_t size() const { return items_.size(); }

    // The digests of the items in order, by the hasher given to the
    // constructor, on `threads` threads, the calling one included (default:
    // the usable CPUs); in variable time when `vartime` is set (public items
    // only). The checkpoint runs on the calling thread as ManyOptions says;
    // what it throws is rethrown.
    template <class H>
    std::vector<algebra::Bytes32> hash(H& hasher, std::optional<std::uint64_t> threads, Checkpoint checkpoint = {},
                                       bool vartime = false) const {
        // Grows once, for every item.
        const Uses uses = items_.size() > 1 ? Uses::Repeated : Uses::Once;
        typename H::WideHandle wide;  // held until every item is hashed
        if (vartime)
            wide = hasher.prepare_bits_vartime(0, longest_, checkpoint, uses);
        else
            hasher.prepare_bits(0, longest_, checkpoint, uses);
        std::vector<algebra::Bytes32> digests(items_.size());
        const auto team = static_cast<unsigned>(std::min<std::uint64_t>(threads.value_or(usable_cpus()), 1u << 16));
        hash_many(std::as_const(hasher), std::span<const BitString>(items_), std::span<algebra::Bytes32>(digests),
                  {.threads = team, .checkpoint = checkpoint, .vartime = vartime}, wide);
        return digests;
    }

  private:
    std::optional<std::uint64_t> capacity_bits_;
    std::optional<std::uint64_t> bit_length_;
    std::vector<BitString> items_;
    std::uint64_t longest_ = 0;
};

}  // namespace pedersen
