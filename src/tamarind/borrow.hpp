#pragma once
// Who may use an object while a call on it runs. Long calls compute without
// the interpreter lock, so other threads run during them; code also runs on
// the calling thread itself during a call (a signal handler its checkpoint
// runs). The two are told apart:
//
// - Another thread is let in: a hasher serves any number of threads at once
//   (its tables are shared and thread-safe), and an object with state
//   (StateLock) makes it wait until the running call is done.
// - The calling thread is refused when it would enter an object that one of
//   its own running calls holds, but for a shared use inside a shared one:
//   waiting would deadlock, as the call it interrupted cannot go on until
//   the handler returns.
//
// No Python dependency: the caller says how to wait (without the interpreter
// lock) and how to refuse, and these are tested on their own.

#include <cassert>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace tamarind {

enum class BorrowKind { Shared, Exclusive };

// One object borrowed by a call running on this thread. The borrows of a
// thread form a list through the calls' own frames, newest first: nested
// calls (a handler's) push and pop theirs while the outer ones stay.
class ThreadBorrow {
  public:
    ThreadBorrow(const void* object, BorrowKind kind) : object_(object), kind_(kind), next_(top_) { top_ = this; }
    ThreadBorrow(const ThreadBorrow&) = delete;
    ThreadBorrow& operator=(const ThreadBorrow&) = delete;
    // Unlinked wherever it is, so that borrows taken together may go in any order.
    ~ThreadBorrow() {
        ThreadBorrow** link = &top_;
        while (*link != this) {
            assert(*link != nullptr);
            link = &(*link)->next_;
        }
        *link = next_;
    }

    // Whether a call on this thread holds `object`.
    static bool held(const void* object) {
        for (const ThreadBorrow* b = top_; b != nullptr; b = b->next_)
            if (b->object_ == object) return true;
        return false;
    }
    // Whether borrowing `object` as `kind` on this thread meets a borrow of
    // it that a running call of this thread holds: only shared with shared
    // coexist.
    static bool conflicts(const void* object, BorrowKind kind) {
        for (const ThreadBorrow* b = top_; b != nullptr; b = b->next_)
            if (b->object_ == object && (kind == BorrowKind::Exclusive || b->kind_ == BorrowKind::Exclusive))
                return true;
        return false;
    }

  private:
    const void* object_;
    BorrowKind kind_;
    ThreadBorrow* next_;
    // Trivially destructible, so that no thread registers a destructor for it.
    static inline thread_local ThreadBorrow* top_ = nullptr;
};

// The lock of an object with state: one thread's calls at a time use it.
// A flag under a mutex that is only ever held for a moment, rather than a
// mutex held for the call: std::mutex::try_lock needs a glibc symbol newer
// than the wheels' manylinux target (pthread_mutex_trylock@GLIBC_2.34), and
// so does a plain condition-variable wait in libstdc++ (GLIBCXX_3.4.30); a
// wait with a deadline on the system clock, as the hashing team's
// (team.hpp), needs neither.
class StateLock {
  public:
    StateLock() = default;
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

    bool try_acquire() {
        const std::lock_guard guard(mutex_);
        return !std::exchange(held_, true);
    }
    void acquire() {
        std::unique_lock guard(mutex_);
        while (held_) released_.wait_until(guard, std::chrono::system_clock::now() + std::chrono::seconds(1));
        held_ = true;
    }
    void release() {
        {
            const std::lock_guard guard(mutex_);
            held_ = false;
        }
        released_.notify_one();
    }

  private:
    std::mutex mutex_;
    std::condition_variable released_;
    bool held_ = false;  // under mutex_
};

// Holds an object's StateLock for one call, from construction to scope exit.
// A call of this thread that already holds it is refused (`refuse(kind)`
// is called, and must throw) unless both borrows are shared, and then the
// inner one runs under the outer one's lock. Another thread's call is waited
// for: `wait(acquire)` must call `acquire()`, which blocks until the lock is
// this call's (the binding lets the interpreter lock go meanwhile). Nothing
// is held when the constructor throws.
class StateBorrow {
  public:
    template <class Wait, class Refuse>
    StateBorrow(StateLock& lock, BorrowKind kind, Wait&& wait, Refuse&& refuse)
        : lock_(take(lock, kind, wait, refuse)), entry_(&lock, kind) {}
    StateBorrow(const StateBorrow&) = delete;
    StateBorrow& operator=(const StateBorrow&) = delete;
    ~StateBorrow() {
        if (lock_ != nullptr) lock_->release();
    }

  private:
    // The lock taken for this borrow; none for one nested in a shared borrow.
    template <class Wait, class Refuse>
    static StateLock* take(StateLock& lock, BorrowKind kind, Wait& wait, Refuse& refuse) {
        if (ThreadBorrow::conflicts(&lock, kind)) refuse(kind);
        if (ThreadBorrow::held(&lock)) return nullptr;
        if (!lock.try_acquire()) wait([&lock] { lock.acquire(); });
        return &lock;
    }

    StateLock* lock_;
    ThreadBorrow entry_;
};

}  // namespace tamarind
