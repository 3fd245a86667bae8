#pragma once
// The parameter list of a constructor or method and the TypeError texts for
// calls that do not fit it. Python-free, so the texts are tested on their own;
// arguments.cpp matches the actual call against it.

#include <cassert>
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

namespace messages {

// 'x' / 'x' and 'y' / 'x', 'y', and 'z': the interpreter's own way of listing names.
inline std::string quoted_list(std::span<const std::string_view> names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            if (names.size() > 2) out += ',';
            out += (i == names.size() - 1) ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

inline std::string too_many_positional(const Signature& sig, std::size_t given) {
    assert(given > sig.parameters.size());
    const char* verb = given == 1 ? "was" : "were";
    std::string out = sig.full_name() + " takes ";
    if (sig.required != sig.parameters.size()) {
        out += "from " + std::to_string(sig.required) + " to ";
    }
    out += std::to_string(sig.parameters.size()) + " positional arguments but " + std::to_string(given) + " " + verb +
           " given";
    return out;
}

inline std::string unexpected_keyword(const Signature& sig, std::string_view keyword) {
    return sig.full_name() + " got an unexpected keyword argument '" + std::string(keyword) + "'";
}

inline std::string multiple_values(const Signature& sig, std::string_view parameter) {
    return sig.full_name() + " got multiple values for argument '" + std::string(parameter) + "'";
}

inline std::string missing_required(const Signature& sig, std::span<const std::string_view> missing) {
    assert(!missing.empty());
    return sig.full_name() + " missing " + std::to_string(missing.size()) + " required positional " +
           (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing);
}

// A conversion TypeError, relabelled with the parameter it came from.
inline std::string labelled(std::string_view parameter, std::string_view message) {
    return "argument '" + std::string(parameter) + "': " + std::string(message);
}

// Appended rather than concatenated: GCC 12 at -O3 reports a false -Wrestrict
// overlap for "'" + std::string(...) (GCC bug 105651).
inline std::string cannot_convert(std::string_view type_name, std::string_view target) {
    std::string message = "'";
    message.append(type_name).append("' object cannot be converted to '").append(target).append("'");
    return message;
}

}  // namespace messages
}  // namespace tamarind
