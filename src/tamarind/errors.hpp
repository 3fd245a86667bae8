#pragma once
// How failures cross the boundary into the interpreter. Inside the module a
// failure is always a C++ exception: PythonError once a Python exception is
// set, fault::Fault (or any std::exception) for an internal fault,
// std::bad_alloc when memory runs out. Each entry point runs its body through
// `guarded`, which turns whatever was thrown into a set Python exception, so
// nothing ever unwinds into the interpreter.

#include <string>
#include <string_view>

#include "tamarind/python.hpp"

namespace tamarind {

// The Python error indicator is set; the entry point only has to return null.
// Deliberately not a std::exception, so that no handler for internal faults
// can mistake it for one.
struct PythonError {};

// Throws PythonError; for calls that failed and already set an exception.
[[noreturn]] void propagate_python_error();

// Sets `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, std::string_view message);

// The message text of a Python str, as UTF-8 (lone surrogates kept), for
// building messages. Throws PythonError if `text` is not a str.
std::string utf8(PyObject* text);

// A new str from UTF-8 text built by the module (the inverse of utf8()).
Ref new_str(std::string_view text);

// The type raised for internal faults, created on first use; null with an
// exception set if it cannot be created. Borrowed: it lives for the process.
PyObject* panic_exception_type() noexcept;

// Forgets that type once the interpreter that owned it is finalized (no
// Python call), so that the next interpreter creates its own.
void forget_panic_exception_type() noexcept;

// Converts the exception currently being handled (call only inside a catch
// block) into a set Python exception. Ends the process if the conversion
// itself fails, since then nothing can be reported any more.
void set_python_exception_from_current() noexcept;

// Turns a pending signal into the exception its handler raises; run between
// slices of long work on the calling thread. Cheap when none is pending.
struct SignalCheck {
    void operator()() const {
        if (PyErr_CheckSignals() != 0) propagate_python_error();
    }
};

// Runs the body of an entry point that returns a new reference; null means a
// Python exception is set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_python_exception_from_current();
        return nullptr;
    }
}

}  // namespace tamarind
