#pragma once
// The interpreter's C API, as this module uses it: the limited API only (the
// build defines Py_LIMITED_API), plus an owning reference handle.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tamarind {

// Py_TPFLAGS_IMMUTABLETYPE where the running interpreter honours it (3.10 on),
// else 0. The module is built for the 3.9 limited API, whose headers may lack
// the name, so the bit is spelled out; whether to set it is decided at run time
// from the interpreter's own version text ("3.11.7 (main, ..."), which Python
// code cannot change, unlike sys.hexversion.
inline unsigned int immutable_type_flag() noexcept {
    constexpr unsigned int IMMUTABLE_TYPE = 1U << 8;
    const char* text = Py_GetVersion();
    unsigned major = 0, minor = 0;
    for (; *text >= '0' && *text <= '9'; ++text) major = major * 10 + static_cast<unsigned>(*text - '0');
    if (*text == '.') {
        for (++text; *text >= '0' && *text <= '9'; ++text) minor = minor * 10 + static_cast<unsigned>(*text - '0');
    }
    return major > 3 || (major == 3 && minor >= 10) ? IMMUTABLE_TYPE : 0;
}

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
