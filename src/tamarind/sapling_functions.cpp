#include "tamarind/sapling_functions.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "algebra/ct.hpp"
#include "sapling/note_commitment.hpp"
#include "tamarind/arguments.hpp"
#include "tamarind/compatibility.hpp"
#include "tamarind/errors.hpp"
#include "tamarind/signature.hpp"

namespace tamarind {

namespace {

constexpr std::array<std::string_view, 4> NOTE_COMMITMENT_PARAMETERS{"g_d", "pk_d", "value", "rcm"};

// Secret bytes held here, wiped when the call ends however it ends.
using Secret32 = algebra::ct::Wiped<std::array<std::uint8_t, 32>>;

// 32 bytes of any bytes-like object, copied out into `out` (the bytes object
// may not outlive the call's arguments). Written in place rather than
// returned, so that the only copy is the one that is wiped.
void read_32_bytes(PyObject* value, std::string_view parameter, Secret32& out) {
    const BytesLike bytes = extract_bytes_like(value, parameter);
    if (bytes.data.size() != 32) {
        raise(PyExc_ValueError, std::string(parameter) + " must be 32 bytes, not " + std::to_string(bytes.data.size()));
    }
    std::copy(bytes.data.begin(), bytes.data.end(), out->begin());
}

// An int in [0, 2^64); out of range is a ValueError that does not repeat the
// value, which is secret.
std::uint64_t extract_value(PyObject* value) {
    Ref integer = PyLong_Check(value) ? Ref::borrowed(value) : Ref(PyNumber_Index(value));
    if (!integer) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise(PyExc_TypeError, messages::labelled("value", "an integer is required"));
        }
        propagate_python_error();
    }
    const unsigned long long result = PyLong_AsUnsignedLongLong(integer.get());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) propagate_python_error();
        PyErr_Clear();
        raise(PyExc_ValueError, "value must be at least 0 and below 2**64");
    }
    return result;
}

}  // namespace

PyObject* sapling_note_commitment(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<Ref, NOTE_COMMITMENT_PARAMETERS.size()> arguments;
        parse_arguments({"_tamarind", "_sapling_note_commitment", NOTE_COMMITMENT_PARAMETERS, 4}, args, kwargs,
                        arguments);
        Secret32 g_d, pk_d, rcm;
        read_32_bytes(arguments[0].get(), "g_d", g_d);
        read_32_bytes(arguments[1].get(), "pk_d", pk_d);
        const std::uint64_t value = extract_value(arguments[2].get());
        read_32_bytes(arguments[3].get(), "rcm", rcm);
        const std::optional<algebra::Bytes32> cmu = pedersen::sapling_note_commitment(*g_d, *pk_d, value, *rcm);
        if (!cmu) raise(PyExc_ValueError, "rcm must be below the Jubjub subgroup order r_J");
        PyObject* result =
            PyBytes_FromStringAndSize(reinterpret_cast<const char*>(cmu->data()), static_cast<Py_ssize_t>(cmu->size()));
        if (result == nullptr) propagate_python_error();
        return result;
    });
}

}  // namespace tamarind
