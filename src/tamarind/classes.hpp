#pragma once
// The four hasher classes the module registers.

#include <span>
#include <string_view>

#include "tamarind/python.hpp"

namespace tamarind {

struct RegisteredClass {
    std::string_view name;
    // The class object (borrowed, kept for the process); throws PythonError.
    PyObject* (*type_object)();
};

// In registration order, which is also the order of the module's __all__.
std::span<const RegisteredClass> registered_classes();

}  // namespace tamarind
