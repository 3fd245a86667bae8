#pragma once
// The four hasher classes the module registers.

#include <span>
#include <string_view>

#include "tamarind/python.hpp"

namespace tamarind {

struct RegisteredClass {
    std::string_view name;
    // The class object (borrowed, kept until finalization); throws PythonError.
    PyObject* (*type_object)();
    // Forgets the class object after finalization (no Python call).
    void (*forget_type)() noexcept;
};

// In registration order, which is also the order of the module's __all__.
std::span<const RegisteredClass> registered_classes();

// A new instance of the class named `name` (a str) built from `arguments` (a
// tuple): how pickles made by __reduce__ come back. Throws PythonError.
PyObject* rebuild_hasher(PyObject* name, PyObject* arguments);

}  // namespace tamarind
