#pragma once
// The parameter list of a constructor or method. Python-free; arguments.cpp
// matches the actual call against it, and compatibility.hpp words the
// TypeError of a call that does not fit.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace tamarind {

// Every parameter is positional-or-keyword; the first `required` ones have no
// default. Invariant: required <= parameters.size().
struct Signature {
    std::string_view class_name;
    std::string_view method_name;  // "__new__" for constructors
    std::span<const std::string_view> parameters;
    std::size_t required;

    // "BabyJubjubPedersen.__new__()": how the messages name the callable.
    std::string full_name() const { return std::string(class_name) + "." + std::string(method_name) + "()"; }
};

}  // namespace tamarind
