#include "tamarind/errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "tamarind/compatibility.hpp"

namespace tamarind {

namespace {

// Created once per interpreter lifetime and never freed; only touched with
// the interpreter lock held, and the module refuses every interpreter but the
// first of each lifetime.
PyObject* panic_type = nullptr;

[[noreturn]] void abort_at_boundary() noexcept {
    std::fwrite(ABORT_AT_BOUNDARY.data(), 1, ABORT_AT_BOUNDARY.size(), stderr);
    std::fflush(stderr);
    std::abort();
}

// The one-line report of an internal fault, written before it is raised.
// C++ exceptions carry no location, so the module names itself instead.
void report_fault(std::string_view message) noexcept {
    std::fprintf(stderr, "_tamarind: internal fault: %.*s\n", static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
}

void set_panic(std::string_view message) {
    report_fault(message);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the creation error is raised instead
    // Replacement characters rather than a second failure for bytes that are
    // not UTF-8: the fault must reach Python in some form.
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    // A str value becomes the exception's single argument.
    PyErr_SetObject(type, text.get());
}

}  // namespace

void propagate_python_error() { throw PythonError{}; }

void raise(PyObject* type, std::string_view message) {
    Ref text = new_str(message);
    PyErr_SetObject(type, text.get());
    throw PythonError{};
}

std::string utf8(PyObject* text) {
    Ref encoded(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!encoded) propagate_python_error();
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) != 0) propagate_python_error();
    return std::string(data, static_cast<std::size_t>(size));
}

Ref new_str(std::string_view text) {
    Ref str(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
    if (!str) propagate_python_error();
    return str;
}

PyObject* panic_exception_type() noexcept {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc(PANIC_NAME, PANIC_DOC, PyExc_BaseException, nullptr);
    }
    return panic_type;
}

void forget_panic_exception_type() noexcept { panic_type = nullptr; }

void set_python_exception_from_current() noexcept {
    try {
        try {
            throw;
        } catch (const PythonError&) {
            // An API call reported failure; its exception is already set.
            if (PyErr_Occurred() == nullptr) {
                PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
            }
        } catch (const std::bad_alloc&) {
            // Losing the interpreter to an allocation failure would be worse
            // than any exception: the caller can free memory and go on.
            PyErr_NoMemory();
        } catch (const std::exception& fault) {
            set_panic(fault.what());
        } catch (...) {
            set_panic("unknown internal fault");
        }
    } catch (...) {
        abort_at_boundary();
    }
}

}  // namespace tamarind
