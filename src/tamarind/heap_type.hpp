#pragma once
// The module's classes are heap types built one way, after CPython's
// Modules/xxlimited.c: from a PyType_Spec, final (no Py_TPFLAGS_BASETYPE),
// without GC support (no instance can be part of a cycle), and immutable where
// the running interpreter knows the flag, so that `__new__` cannot be
// replaced. Instances are allocated and freed through the type's slots.

#include <cstddef>
#include <initializer_list>
#include <vector>

#include "tamarind/errors.hpp"
#include "tamarind/python.hpp"

namespace tamarind {

// A new heap type named `name` whose instances take `basic_size` bytes. The
// name, and whatever the slots point to but the doc (which is copied), must
// live as long as the process. Throws PythonError.
inline PyObject* new_heap_type(const char* name, std::size_t basic_size, std::initializer_list<PyType_Slot> slots) {
    std::vector<PyType_Slot> terminated(slots);
    terminated.push_back({0, nullptr});
    PyType_Spec shape = {name, static_cast<int>(basic_size), 0, Py_TPFLAGS_DEFAULT | immutable_type_flag(),
                         terminated.data()};
    PyObject* type = PyType_FromSpec(&shape);
    if (type == nullptr) propagate_python_error();
    return type;
}

// A new instance of `type`, its memory zeroed; throws PythonError.
inline PyObject* allocate_instance(PyTypeObject* type) {
    const auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) propagate_python_error();
    return self;
}

// The end of every tp_dealloc: frees the memory and drops the reference to
// the heap type that every instance holds.
inline void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    const auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
}

}  // namespace tamarind
