#pragma once
// The borrow counter every hasher instance carries. Calls hold the interpreter
// lock, but code can still run during one: a signal handler the call's
// checkpoint runs, or another thread while that handler has released the lock
// (waiting for the thread, say). A caching hasher must never be entered twice
// at once, so such a call is refused rather than queued: queued, a handler
// that waits for the thread would deadlock.
//
// No Python dependency: the counter and its guard are tested on their own.

#include <atomic>
#include <cassert>
#include <cstdint>
#include <optional>

namespace tamarind {

enum class BorrowKind { Shared, Exclusive };

// Invariant: state is 0 (free), n in [1, EXCLUSIVE) for n shared borrows, or
// EXCLUSIVE for one exclusive borrow. Only BorrowGuard changes it.
class BorrowFlag {
  public:
    static constexpr std::uintptr_t EXCLUSIVE = ~std::uintptr_t{0};

    BorrowFlag() = default;
    BorrowFlag(const BorrowFlag&) = delete;
    BorrowFlag& operator=(const BorrowFlag&) = delete;

    std::uintptr_t load() const { return state_.load(std::memory_order_acquire); }

    // A shared borrow is refused only while an exclusive one is active. The
    // count saturates one below EXCLUSIVE, so that it can never be mistaken for
    // an exclusive borrow; a caller that many deep is refused as well.
    bool try_acquire_shared() {
        std::uintptr_t current = state_.load(std::memory_order_relaxed);
        do {
            if (current >= EXCLUSIVE - 1) return false;
        } while (
            !state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire, std::memory_order_relaxed));
        return true;
    }

    bool try_acquire_exclusive() {
        std::uintptr_t expected = 0;
        return state_.compare_exchange_strong(expected, EXCLUSIVE, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }

    void release_shared() {
        [[maybe_unused]] const std::uintptr_t previous = state_.fetch_sub(1, std::memory_order_release);
        assert(previous != 0 && previous != EXCLUSIVE);
    }

    void release_exclusive() {
        assert(load() == EXCLUSIVE);
        state_.store(0, std::memory_order_release);
    }

  private:
    std::atomic<std::uintptr_t> state_{0};
};

// Holds one borrow and gives it back when it goes out of scope, on every path.
class BorrowGuard {
  public:
    static std::optional<BorrowGuard> acquire(BorrowFlag& flag, BorrowKind kind) {
        const bool taken = kind == BorrowKind::Shared ? flag.try_acquire_shared() : flag.try_acquire_exclusive();
        if (!taken) return std::nullopt;
        return BorrowGuard(flag, kind);
    }

    BorrowGuard(BorrowGuard&& other) noexcept : flag_(other.flag_), kind_(other.kind_) { other.flag_ = nullptr; }
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    BorrowGuard& operator=(BorrowGuard&&) = delete;

    ~BorrowGuard() {
        if (flag_ == nullptr) return;
        if (kind_ == BorrowKind::Shared) {
            flag_->release_shared();
        } else {
            flag_->release_exclusive();
        }
    }

  private:
    BorrowGuard(BorrowFlag& flag, BorrowKind kind) : flag_(&flag), kind_(kind) {}

    BorrowFlag* flag_;  // null once moved from
    BorrowKind kind_;
};

}  // namespace tamarind
