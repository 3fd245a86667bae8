#pragma once
// The interpreter's C API, as this module uses it: the limited API only (the
// build defines Py_LIMITED_API), plus an owning reference handle.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tamarind {

// One owned (strong) reference, released when the handle goes out of scope.
// Every reference the module takes is held by one of these or handed on at
// once, so that no error path leaks.
class Ref {
public:
    Ref() = default;
    // Takes over a new reference, as returned by most API calls (may be null).
    explicit Ref(PyObject* owned) noexcept : object_(owned) {}

    static Ref borrowed(PyObject* object) noexcept {
        Py_IncRef(object);  // accepts null
        return Ref(object);
    }

    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_DecRef(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference on, e.g. as the return value of an entry point.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

private:
    PyObject* object_ = nullptr;
};

}  // namespace tamarind
