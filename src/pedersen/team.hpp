#pragma once
// A team of threads doing one job together: the calling thread and its
// helpers each run the job until it returns. The first failure stops the
// others and is rethrown on the calling thread once all have stopped; the
// team joins its threads on every way out.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "fault/fault.hpp"
#include "pedersen/checkpoint.hpp"

namespace pedersen::detail {

// Thrown by a team member's checkpoint once the team is told to stop.
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

// The job is called as job(checkpoint), once per member; the checkpoint it
// is given throws Stopped once the team is told to stop, so the job calls it
// between pieces of work. A job must outlive the team that runs it.
class Team {
  public:
    Team() = default;
    Team(const Team&) = delete;
    Team& operator=(const Team&) = delete;
    ~Team() {
        stop_.store(true, std::memory_order_relaxed);
        for (auto& thread : threads_) thread.join();
    }

    // Up to `helpers` threads, each running `job`; fewer when the system has
    // no more threads to give, and then the ones started and the calling
    // thread do the work.
    template <class Job>
    void start(std::size_t helpers, const Job& job) {
        threads_.reserve(helpers);
        for (std::size_t i = 0; i < helpers; ++i) {
            {
                const std::lock_guard lock(mutex_);
                ++running_;
            }
            try {
                threads_.emplace_back([this, &job] { help(job); });
            } catch (const std::system_error&) {
                const std::lock_guard lock(mutex_);
                --running_;
                break;
            }
        }
    }

    // The calling thread's share: `job`, with `checkpoint` run at each of its
    // checkpoints; then the wait for the helpers, with `checkpoint` run every
    // `poll`. What the checkpoint throws stops the team and goes on up; a
    // helper's failure is rethrown here.
    template <class Job>
    void work_and_wait(const Job& job, Checkpoint checkpoint, std::chrono::milliseconds poll) {
        const auto check = [&] {
            checkpoint();
            if (stop_.load(std::memory_order_relaxed)) throw Stopped{};
        };
        try {
            job(Checkpoint(check));
        } catch (const Stopped&) {}
        std::unique_lock lock(mutex_);
        while (running_ != 0) {
            // Against the system clock: a steady-clock wait needs glibc 2.34's
            // pthread_cond_clockwait, too new for the wheels' manylinux target,
            // and a clock step only lengthens or shortens one poll.
            const auto until = std::chrono::system_clock::now() + poll;
            if (finished_.wait_until(lock, until, [&] { return running_ == 0; })) break;
            lock.unlock();
            checkpoint();  // a throw here stops and joins the team
            lock.lock();
        }
        failure_.rethrow_if_any();
    }

  private:
    template <class Job>
    void help(const Job& job) {
        const auto check = [&] {
            if (stop_.load(std::memory_order_relaxed)) throw Stopped{};
        };
        try {
            job(Checkpoint(check));
        } catch (const Stopped&) {
        } catch (...) {
            const std::lock_guard lock(mutex_);
            if (failure_.kind == Failure::Kind::none) failure_.take_current();
            stop_.store(true, std::memory_order_relaxed);
        }
        const std::lock_guard lock(mutex_);
        --running_;
        finished_.notify_all();
    }

    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable finished_;
    std::size_t running_ = 0;  // helpers started that have not finished
    Failure failure_;
    std::vector<std::thread> threads_;
};

}  // namespace pedersen::detail
