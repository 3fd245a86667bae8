#pragma once
// Long calls compute without the interpreter lock, so that other Python
// threads run meanwhile; short ones keep it, as hashlib's do, since letting
// it go and taking it back can cost more than the work (a whole switch
// interval, when another thread is running Python).
//
// Every Python object a call uses is read before the lock goes (arguments
// parsed, bytes held by reference) and results become Python objects only
// once it is back; in between the engine sees C++ values alone.
//
// Engine locks (a table being grown) are held across checkpoints, and a
// checkpoint may run Python code: a signal handler, or on 3.12+ the garbage
// collector, either of which may let the interpreter lock go. So a thread
// holding the interpreter lock must never wait for an engine lock that a
// call running such code holds. Calls that keep the interpreter lock keep
// it only while no such call is under way; otherwise they let it go too.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <utility>

#include "pedersen/checkpoint.hpp"
#include "tamarind/errors.hpp"
#include "tamarind/python.hpp"

namespace tamarind {

// Work on this many bytes of input or more runs without the interpreter
// lock (hashlib's threshold; about a millisecond of hashing).
inline constexpr std::size_t RELEASE_BYTES = 2048;

// How often the main thread, computing without the interpreter lock, takes
// it back to run signal handlers: once per default switch interval (5 ms).
// When another thread is running Python, taking it back waits up to an
// interval each time, which would halve the computation; so while it has to
// wait, the period doubles, up to SIGNAL_PERIOD_MAX (Ctrl-C then takes up to
// that long, and the computation loses a tenth).
inline constexpr std::chrono::milliseconds SIGNAL_PERIOD{5};
inline constexpr std::chrono::milliseconds SIGNAL_PERIOD_MAX{50};
// A wait for the lock longer than this means another thread was running Python.
inline constexpr std::chrono::microseconds CONTENDED_WAIT{500};

namespace gil {

// Engine calls under way whose checkpoint may run Python code: every call
// that keeps the interpreter lock, and the main thread's calls without it.
// Read and changed with the interpreter lock held, but for the decrement at
// the end of a call without it.
void enter_python_capable() noexcept;
void leave_python_capable() noexcept;
bool python_capable_running() noexcept;

// Whether the calling thread is the one that runs signal handlers (Python's
// main thread). Needs the interpreter lock; asked of the threading module
// once per process, so a fork's child asks again.
bool on_main_thread();
// Forgets the answer once the interpreter is finalized (no Python call).
void forget_main_thread() noexcept;

// Takes the interpreter lock back for `state`. When the interpreter is being
// finalized, Python 3.9 to 3.13 end a thread other than the finalizing one
// here by unwinding it; the frames above would then release references
// without an interpreter, so the thread is parked for good instead, as 3.14
// parks it.
void take_back(PyThreadState* state) noexcept;

// Runs `wait` without the interpreter lock, taking it back afterwards: what
// it waits for (a thread's call on an object with state) may need the
// interpreter lock to finish.
template <class Wait>
void wait_released(Wait&& wait) {
    PyThreadState* state = PyEval_SaveThread();
    try {
        wait();
    } catch (...) {
        take_back(state);
        throw;
    }
    take_back(state);
}
// The same, as StateBorrow's way to wait.
inline constexpr auto wait_for_state = [](auto&& acquire) { wait_released(acquire); };

// The interpreter lock let go from construction to destruction.
class Released {
  public:
    explicit Released(bool counted) : counted_(counted) {
        if (counted_) enter_python_capable();
        state_ = PyEval_SaveThread();
    }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;
    ~Released() {
        if (counted_) leave_python_capable();  // no engine lock is held any more
        take_back(state_);
    }

    // For a checkpoint: the lock held, then let go again.
    void hold() { take_back(state_); }
    void release() { state_ = PyEval_SaveThread(); }

  private:
    bool counted_;
    PyThreadState* state_;
};

// The checkpoint of work without the interpreter lock: on the main thread,
// every period (see SIGNAL_PERIOD), it takes the lock back and runs the
// pending signal handlers; elsewhere it does nothing, since only the main
// thread runs them. Called every millisecond or so: its fast path is a clock
// read.
class ReleasedCheck {
  public:
    ReleasedCheck(Released& released, bool main_thread)
        : released_(released), main_thread_(main_thread), next_(std::chrono::steady_clock::now() + SIGNAL_PERIOD) {}

    void operator()() const {
        if (!main_thread_) return;
        const auto asked = std::chrono::steady_clock::now();
        if (asked < next_) return;
        released_.hold();
        const auto held = std::chrono::steady_clock::now();
        const int failed = PyErr_CheckSignals();
        released_.release();  // the exception stays set on this thread's state
        period_ = held - asked > CONTENDED_WAIT
                      ? std::min<std::chrono::steady_clock::duration>(2 * period_, SIGNAL_PERIOD_MAX)
                      : std::chrono::steady_clock::duration(SIGNAL_PERIOD);
        next_ = std::chrono::steady_clock::now() + period_;
        if (failed != 0) propagate_python_error();
    }

  private:
    Released& released_;
    bool main_thread_;
    mutable std::chrono::steady_clock::time_point next_;
    mutable std::chrono::steady_clock::duration period_{SIGNAL_PERIOD};
};

// Counts a call that keeps the interpreter lock as one whose checkpoint may
// run Python code.
class HeldCall {
  public:
    HeldCall() { enter_python_capable(); }
    HeldCall(const HeldCall&) = delete;
    HeldCall& operator=(const HeldCall&) = delete;
    ~HeldCall() { leave_python_capable(); }
};

}  // namespace gil

// Runs body(checkpoint), the engine's work for a call, with the interpreter
// lock held; or without it when `long_work` says so, or when a call whose
// checkpoint may run Python code is under way (see above). Whatever body
// returns must hold no Python object; it is returned once the lock is back,
// and so is whatever it throws.
template <class Body>
decltype(auto) compute(bool long_work, Body&& body) {
    if (!long_work && !gil::python_capable_running()) {
        const gil::HeldCall held;
        const SignalCheck check;
        return body(pedersen::Checkpoint(check));
    }
    const bool main_thread = gil::on_main_thread();
    gil::Released released(main_thread);
    const gil::ReleasedCheck check(released, main_thread);
    return body(pedersen::Checkpoint(check));
}

}  // namespace tamarind
