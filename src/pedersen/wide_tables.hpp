#pragma once
// Tables with wider groups for the variable-time lookup, for the first
// segments of a construction whose base points never change (the default
// Sapling personalization, circom). A direct load costs the same whatever the
// size of the table, so wider groups cut additions at no lookup cost, while a
// constant-time scan grows with the table; hence separate tables.
//
// They only save time, so they are a block of the table cache that takes
// only free room (TableCache::charge_free): built on first use, from the
// first segment up to those an input needs, when the limit leaves room for
// all of them; held by each call that reads them, and dropped whole, like
// any block, once none does. A call that finds fewer of them than it needs
// sums the rest from the ordinary tables, with the same result.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "pedersen/checkpoint.hpp"
#include "pedersen/table_cache.hpp"

namespace pedersen {

template <class Entry>
class WideTablesVartime final : public CachedTables {
  public:
    // Room for the tables of segments [0, segments).
    explicit WideTablesVartime(std::uint64_t segments) : tables_(static_cast<std::size_t>(segments)) {}

    // Segments [0, ready()) have a table, which never changes while the
    // block is held.
    std::uint64_t ready() const { return ready_.load(std::memory_order_acquire); }
    const Entry* table(std::uint64_t segment) const { return tables_[static_cast<std::size_t>(segment)].data(); }

    std::size_t bytes() const override { return held_.load(std::memory_order_relaxed); }

    // Builds the tables of segments up to `segments` (at most the block's),
    // `build(s)` making segment s's of `bytes_of(s)` bytes, if `cache` has
    // free room for all of them: for part of an input they would take the
    // room that its ordinary tables, smaller per segment, use better. Bytes
    // are counted before building, and what is not built is given back if
    // building throws; any number of threads may call it at once.
    template <class Bytes, class Build>
    void grow(TableCache& cache, std::uint64_t segments, Bytes bytes_of, Build build, Checkpoint checkpoint) {
        if (ready() >= segments) return;
        const std::lock_guard lock(grow_);
        std::uint64_t s = ready_.load(std::memory_order_relaxed);
        std::size_t unbuilt = 0;
        for (std::uint64_t i = s; i < segments; ++i) unbuilt += bytes_of(i);
        if (!cache.charge_free(this, unbuilt)) return;
        try {
            for (; s < segments; ++s) {
                tables_[static_cast<std::size_t>(s)] = build(s);
                const std::size_t bytes = bytes_of(s);
                unbuilt -= bytes;
                held_.fetch_add(bytes, std::memory_order_relaxed);
                ready_.store(s + 1, std::memory_order_release);
                checkpoint();
            }
        } catch (...) {
            cache.refund(this, unbuilt);
            throw;
        }
    }

  private:
    std::mutex grow_;
    std::atomic<std::uint64_t> ready_{0};
    std::atomic<std::size_t> held_{0};
    std::vector<std::vector<Entry>> tables_;  // sized once; slot s written under grow_ before ready_ passes it
};

}  // namespace pedersen
