#pragma once
// Many inputs hashed by a team of threads sharing one hasher read-only.
// Inputs go in batches of consecutive items; a batch's points are normalised
// together with one inversion. Each item is hashed exactly as hash() does,
// in constant time in its bytes.

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

#include "algebra/curve.hpp"
#include "algebra/encoding.hpp"
#include "fault/fault.hpp"
#include "pedersen/engine.hpp"

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
};

namespace detail {

inline constexpr std::size_t batch_items = 32;
inline constexpr std::size_t batch_bytes = std::size_t{16} << 10;

// [starts[b], starts[b + 1]) is batch b: up to batch_items items and, unless
// one item is longer, up to batch_bytes bytes.
inline std::vector<std::size_t> batch_starts(std::span<const std::span<const std::uint8_t>> items) {
    std::vector<std::size_t> starts;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (starts.empty() || i - starts.back() == batch_items || bytes + items[i].size() > batch_bytes) {
            starts.push_back(i);
            bytes = 0;
        }
        bytes += items[i].size();
    }
    starts.push_back(items.size());
    return starts;
}

// Thrown by a worker's checkpoint once the team is told to stop.
struct Stopped {};

// What a worker failed with, carried to the calling thread by value:
// std::exception_ptr would tie the module to a libstdc++ newer than the
// wheels' manylinux target.
struct Failure {
    enum class Kind { none, memory, fault } kind = Kind::none;
    std::string message;

    // Call inside a catch block.
    void take_current() noexcept {
        try {
            throw;
        } catch (const std::bad_alloc&) {
            kind = Kind::memory;
        } catch (const std::exception& error) {
            set_fault(error.what());
        } catch (...) {
            set_fault("a hashing thread failed");
        }
    }

    void rethrow_if_any() const {
        if (kind == Kind::memory) throw std::bad_alloc();
        if (kind == Kind::fault) fault::raise(message);
    }

  private:
    void set_fault(const char* text) noexcept {
        try {
            message = text;
            kind = Kind::fault;
        } catch (...) {
            kind = Kind::memory;  // the only way the copy fails
        }
    }
};

}  // namespace detail

// out[i] = hasher.hash(items[i]) for every i. The hasher must be ready for
// the longest item (check_capacity, prepare) and is only read. Whatever the
// checkpoint or a worker throws is rethrown once every worker has stopped;
// `out` is then incomplete.
template <class Hasher>
void hash_many(const Hasher& hasher, std::span<const std::span<const std::uint8_t>> items,
               std::span<algebra::Bytes32> out, const ManyOptions& options) {
    using Curve = typename Hasher::Curve;
    const std::vector<std::size_t> starts = detail::batch_starts(items);
    const std::size_t batches = starts.size() - 1;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};

    const auto run_batches = [&](Checkpoint checkpoint) {
        std::array<algebra::Projective<Curve>, detail::batch_items> points;
        std::array<algebra::Affine<Curve>, detail::batch_items> affine;
        for (;;) {
            checkpoint();  // before every batch, the first included
            if (stop.load(std::memory_order_relaxed)) return;
            const std::size_t b = next.fetch_add(1, std::memory_order_relaxed);
            if (b >= batches) return;
            const std::size_t first = starts[b], n = starts[b + 1] - first;
            for (std::size_t i = 0; i < n; ++i) points[i] = hasher.sum(items[first + i], 0, checkpoint);
            algebra::batch_to_affine<Curve>(std::span(points.data(), n), std::span(affine.data(), n));
            for (std::size_t i = 0; i < n; ++i) out[first + i] = Hasher::Definition::encode(affine[i]);
        }
    };

    std::mutex mutex;
    std::condition_variable finished;
    std::size_t running = 0;
    detail::Failure failure;
    const auto worker = [&] {
        const auto check = [&] {
            if (stop.load(std::memory_order_relaxed)) throw detail::Stopped{};
        };
        try {
            run_batches(Checkpoint(check));
        } catch (const detail::Stopped&) {
        } catch (...) {
            const std::lock_guard lock(mutex);
            if (failure.kind == detail::Failure::Kind::none) failure.take_current();
            stop.store(true, std::memory_order_relaxed);
        }
        const std::lock_guard lock(mutex);
        --running;
        finished.notify_all();
    };

    std::vector<std::thread> team;
    // Joins on every way out, after telling the team to stop.
    struct Join {
        std::vector<std::thread>& team;
        std::atomic<bool>& stop;
        ~Join() {
            stop.store(true, std::memory_order_relaxed);
            for (auto& t : team) t.join();
        }
    } join{team, stop};

    const std::size_t helpers = std::min<std::size_t>(options.threads, batches) - (batches != 0);
    team.reserve(helpers);
    for (std::size_t i = 0; i < helpers; ++i) {
        {
            const std::lock_guard lock(mutex);
            ++running;
        }
        try {
            team.emplace_back(worker);
        } catch (const std::system_error&) {
            // Out of threads: the ones started, and this one, do the work.
            const std::lock_guard lock(mutex);
            --running;
            break;
        }
    }

    const auto check = [&] {
        options.checkpoint();
        if (stop.load(std::memory_order_relaxed)) throw detail::Stopped{};
    };
    try {
        run_batches(Checkpoint(check));
    } catch (const detail::Stopped&) {}
    std::unique_lock lock(mutex);
    while (running != 0) {
        // Against the system clock: a steady-clock wait needs glibc 2.34's
        // pthread_cond_clockwait, too new for the wheels' manylinux target, and
        // a clock step only lengthens or shortens one poll.
        const auto until = std::chrono::system_clock::now() + options.poll;
        if (finished.wait_until(lock, until, [&] { return running == 0; })) break;
        lock.unlock();
        options.checkpoint();  // a throw here stops and joins the team
        lock.lock();
    }
    failure.rethrow_if_any();
}

}  // namespace pedersen
