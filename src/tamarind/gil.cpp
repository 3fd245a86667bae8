#include "tamarind/gil.hpp"

#include <atomic>
#include <chrono>
#include <thread>

#include <unistd.h>

#include "tamarind/python.hpp"

namespace tamarind::gil {

namespace {

std::atomic<unsigned> python_capable{0};

// The main thread's identity in the process that asked; guarded by the
// interpreter lock.
pid_t main_thread_pid = -1;
unsigned long main_thread_ident = 0;

// threading.main_thread().ident; false with no exception set when it cannot
// be read.
bool read_main_thread_ident(unsigned long& ident) {
    Ref threading(PyImport_ImportModule("threading"));
    Ref main_thread = threading ? Ref(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : Ref();
    Ref value = main_thread ? Ref(PyObject_GetAttrString(main_thread.get(), "ident")) : Ref();
    if (value) ident = PyLong_AsUnsignedLong(value.get());
    if (!value || PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return false;
    }
    return true;
}

}  // namespace

void enter_python_capable() noexcept { python_capable.fetch_add(1); }
void leave_python_capable() noexcept { python_capable.fetch_sub(1); }
bool python_capable_running() noexcept { return python_capable.load() != 0; }

bool on_main_thread() {
    const pid_t pid = getpid();
    if (pid != main_thread_pid) {
        unsigned long ident = 0;
        // Unknown, the thread is taken for the main one: it then looks for
        // signals as the main thread would, at a small cost.
        if (!read_main_thread_ident(ident)) return true;
        main_thread_ident = ident;
        main_thread_pid = pid;
    }
    return PyThread_get_thread_ident() == main_thread_ident;
}

void forget_main_thread() noexcept { main_thread_pid = -1; }

void take_back(PyThreadState* state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        // Only the unwinding that ends the thread comes through this C call
        // (caught as anything: under glibc its exception object is not one a
        // reference may bind). Leaving this handler would go on unwinding,
        // the only other way out being a rethrow, so the thread stays here
        // until the process ends.
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

}  // namespace tamarind::gil
