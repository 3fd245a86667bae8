#pragma once
// Tables with wider groups for the variable-time lookup, for the first
// segments of a construction whose base points never change (the default
// Sapling personalization, circom). A direct load costs the same whatever the
// size of the table, so wider groups cut additions at no lookup cost, while a
// constant-time scan grows with the table; hence separate tables.
//
// Built on first use, one segment at a time, then shared by every instance
// and thread of the process and kept until it exits; the process holds at
// most Segments of them, whatever it is given to hash.

#include <array>
#include <atomic>
#include <cassert>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace pedersen {

template <class Tables, std::uint64_t Segments>
class WideTablesVartime {
  public:
    using Entry = typename Tables::Entry;
    static constexpr std::uint64_t segments = Segments;
    static constexpr unsigned chunks_per_lookup = Tables::chunks_per_lookup;

    // The table of segment s < Segments: `chunks` chunks over base(s), built
    // by the first caller while later ones wait; never changes afterwards.
    template <class Base>
    const Entry* table(std::uint64_t s, std::uint64_t chunks, const Base& base) {
        assert(s < Segments);
        if (const Entry* ready = tables_[s].load(std::memory_order_acquire)) return ready;
        const std::lock_guard lock(mutex_);
        if (const Entry* ready = tables_[s].load(std::memory_order_relaxed)) return ready;
        owned_[s] = Tables::build_segment(base(s), chunks);
        tables_[s].store(owned_[s].data(), std::memory_order_release);
        return owned_[s].data();
    }

  private:
    std::array<std::atomic<const Entry*>, Segments> tables_{};
    std::array<std::vector<Entry>, Segments> owned_;  // written under the lock, once per segment
    std::mutex mutex_;
};

}  // namespace pedersen
