#pragma once
// What callers of the native hashing modules this one replaces already rely
// on, word for word: the type of the exception raised for internal faults,
// the TypeError texts of calls and conversions, and the messages of a refused
// borrow. Programs catch the exception by its qualified name and match these
// texts, so none of them changes; everything else the module says is its own.
// Python-free, so the texts are tested on their own.

#include <cassert>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "tamarind/borrow.hpp"
#include "tamarind/signature.hpp"

namespace tamarind {

// The exception of internal faults: this qualified name, derived from
// BaseException, with this doc. errors.cpp creates it.
inline constexpr const char* PANIC_NAME = "pyo3_runtime.PanicException";
inline constexpr const char* PANIC_DOC =
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.";

// Written to stderr before the process aborts, when not even a fault can be
// reported any more.
inline constexpr std::string_view ABORT_AT_BOUNDARY = "uncaught panic at ffi boundary\n";

// What a message says of a type whose name cannot be read.
inline constexpr std::string_view UNKNOWN_TYPE_NAME = "<failed to extract type name>";

// The message of a refused borrow depends only on what was asked for: a shared
// borrow can only meet an exclusive one, an exclusive borrow meets any other.
constexpr std::string_view borrow_conflict_message(BorrowKind requested) {
    return requested == BorrowKind::Shared ? "Already mutably borrowed" : "Already borrowed";
}

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

// The interpreter's own words for an object without the buffer protocol.
inline std::string not_bytes_like(std::string_view type_name) {
    return "a bytes-like object is required, not '" + std::string(type_name) + "'";
}

}  // namespace messages
}  // namespace tamarind
