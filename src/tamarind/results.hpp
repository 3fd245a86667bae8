#pragma once
// What the hashers hand back to Python: DIGEST_SIZE bytes, as a new bytes
// object.

#include <cstddef>
#include <tuple>

#include "algebra/encoding.hpp"
#include "tamarind/errors.hpp"
#include "tamarind/python.hpp"

namespace tamarind {

// Every hash result is this long, whatever the construction.
inline constexpr std::size_t DIGEST_SIZE = std::tuple_size_v<algebra::Bytes32>;

// A new bytes object holding `digest`; throws PythonError.
inline PyObject* new_bytes(const algebra::Bytes32& digest) {
    const auto* first = reinterpret_cast<const char*>(digest.data());
    PyObject* result = PyBytes_FromStringAndSize(first, static_cast<Py_ssize_t>(DIGEST_SIZE));
    if (result == nullptr) propagate_python_error();
    return result;
}

}  // namespace tamarind
