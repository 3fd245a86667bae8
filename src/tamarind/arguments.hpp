#pragma once
// Matching a call's positional and keyword arguments to a Signature, and the
// conversions of single argument values, with the interpreter's messages.
// Every failure sets a Python exception and throws PythonError.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "tamarind/python.hpp"
#include "tamarind/signature.hpp"

namespace tamarind {

// Fills `out` (one slot per parameter, in order) with new references to the
// arguments given; a slot stays empty for an optional parameter not given.
// Checks, in order: too many positional arguments, each keyword (unknown or
// already given), then missing required arguments.
void parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<Ref> out);

// An int (bool and other subclasses included) or anything with __index__, as
// an unsigned 64-bit integer. A TypeError is relabelled with `parameter`; the
// OverflowError of a negative or too large value passes through as it is.
std::uint64_t extract_u64(PyObject* value, std::string_view parameter);

// The contents of a bytes object (or of a subclass), read in place: the view
// lives as long as `value`. Anything else is a TypeError naming `parameter`.
std::span<const std::uint8_t> extract_bytes(PyObject* value, std::string_view parameter);

// The bytes of any bytes-like object (bytes, bytearray, memoryview, mmap,
// array, ...), with the object that holds them. A bytes object (or subclass)
// is read in place; anything else is copied through memoryview(value).tobytes(),
// since the 3.9 limited API has no PyObject_GetBuffer (and a copy costs far
// less than a hash). A non-contiguous view is copied in order. An object
// without the buffer protocol is a TypeError naming `parameter`.
struct BytesLike {
    Ref holder;
    std::span<const std::uint8_t> data;
};
BytesLike extract_bytes_like(PyObject* value, std::string_view parameter);

// The same for item `index` of an iterable argument; the TypeError says
// "item 3: ..." instead of naming a parameter.
BytesLike extract_item_bytes_like(PyObject* value, std::size_t index);

// An iterator over `value`; a TypeError (not iterable) is relabelled with
// `parameter`.
Ref iterate(PyObject* value, std::string_view parameter);

// A count of at least 1, absent for None or a missing argument. A count below
// 1 is a ValueError naming `parameter`; one of 2^64 or more the interpreter's
// OverflowError, as extract_u64 raises it.
std::optional<std::uint64_t> extract_count(PyObject* value, std::string_view parameter);

// True or False, and nothing else: a flag that switches off constant time is
// never taken from a truthy object by accident. False for a missing argument.
bool extract_flag(PyObject* value, std::string_view parameter);

}  // namespace tamarind
