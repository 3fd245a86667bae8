#include "tamarind/sapling_functions.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "algebra/ct.hpp"
#include "sapling/merkle.hpp"
#include "sapling/note_commitment.hpp"
#include "sapling/serial.hpp"
#include "tamarind/arguments.hpp"
#include "tamarind/compatibility.hpp"
#include "tamarind/errors.hpp"
#include "tamarind/gil.hpp"
#include "tamarind/results.hpp"
#include "tamarind/sapling_tree.hpp"
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
        const pedersen::NoteCommitment note = compute(
            true, [&](pedersen::Checkpoint) { return pedersen::sapling_note_commitment(*g_d, *pk_d, value, *rcm); });
        using Refused = pedersen::NoteCommitment::Refused;
        constexpr std::string_view NOT_AN_ADDRESS_POINT =
            " is not a point a payment address can hold: not the canonical encoding (ZIP 216) of a point of "
            "Jubjub's prime-order subgroup other than the identity";
        if (note.refused == Refused::g_d) raise(PyExc_ValueError, "g_d" + std::string(NOT_AN_ADDRESS_POINT));
        if (note.refused == Refused::pk_d) raise(PyExc_ValueError, "pk_d" + std::string(NOT_AN_ADDRESS_POINT));
        if (note.refused == Refused::rcm) raise(PyExc_ValueError, "rcm must be below the Jubjub subgroup order r_J");
        return new_bytes(note.cmu);
    });
}

namespace {

constexpr std::array<std::string_view, 4> ROOT_PARAMETERS{"leaves", "depth", "threads", "vartime"};
constexpr std::array<std::string_view, 5> PATH_PARAMETERS{"leaves", "position", "depth", "threads", "vartime"};
constexpr std::array<std::string_view, 3> HASH_PARAMETERS{"height", "left", "right"};
constexpr std::array<std::string_view, 2> ENCODE_PARAMETERS{"path", "position"};
constexpr std::array<std::string_view, 4> VERIFY_PARAMETERS{"leaf", "position", "path", "root"};

// An integer the Python layer has checked already (a height, a depth, a
// position in range).
std::uint64_t checked_integer(PyObject* value, std::string_view name) { return extract_u64(value, name); }

// The leaves of a tree of `depth`, with the messages tamarind.sapling has
// always given: the first leaf past 2^depth, then each leaf's own fault.
std::vector<sapling::Node> leaves_of(PyObject* leaves, unsigned depth) {
    std::vector<sapling::Node> out;
    const Ref iterator = iterate(leaves, "leaves");
    while (Ref item{PyIter_Next(iterator.get())}) {
        const std::size_t index = out.size();
        if (depth < 64 && (std::uint64_t{index} >> depth) != 0) {
            raise(PyExc_ValueError, "leaf " + std::to_string(index) + ": a tree of depth " + std::to_string(depth) +
                                        " holds at most 2**" + std::to_string(depth) + " leaves");
        }
        out.push_back(node_argument(item.get(), "leaf " + std::to_string(index)));
    }
    if (PyErr_Occurred() != nullptr) propagate_python_error();
    return out;
}

Ref node_list(const std::vector<sapling::Node>& nodes) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(nodes.size())));
    if (!list) propagate_python_error();
    for (std::size_t i = 0; i < nodes.size(); ++i)
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), new_bytes(nodes[i]));
    return list;
}

std::vector<sapling::Node> path_of(PyObject* path) {
    std::vector<sapling::Node> out;
    const Ref iterator = iterate(path, "path");
    while (Ref item{PyIter_Next(iterator.get())})
        out.push_back(node_argument(item.get(), "path[" + std::to_string(out.size()) + "]"));
    if (PyErr_Occurred() != nullptr) propagate_python_error();
    return out;
}

}  // namespace

PyObject* sapling_merkle_root(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        std::array<Ref, ROOT_PARAMETERS.size()> arguments;
        parse_arguments({"_tamarind", "_sapling_merkle_root", ROOT_PARAMETERS, 4}, args, kwargs, arguments);
        const auto depth = static_cast<unsigned>(checked_integer(arguments[1].get(), "depth"));
        const std::optional<std::uint64_t> threads = extract_count(arguments[2].get(), "threads");
        const bool vartime = extract_flag(arguments[3].get(), "vartime");
        const std::vector<sapling::Node> leaves = leaves_of(arguments[0].get(), depth);
        const sapling::Node root = compute(true, [&](pedersen::Checkpoint checkpoint) {
            sapling::NodeHasher hasher(hash_options(threads, vartime, checkpoint));
            return sapling::merkle_root(leaves, depth, hasher);
        });
        return new_bytes(root);
    });
}

PyObject* sapling_merkle_path(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        std::array<Ref, PATH_PARAMETERS.size()> arguments;
        parse_arguments({"_tamarind", "_sapling_merkle_path", PATH_PARAMETERS, 5}, args, kwargs, arguments);
        const std::uint64_t position = checked_integer(arguments[1].get(), "position");
        const auto depth = static_cast<unsigned>(checked_integer(arguments[2].get(), "depth"));
        const std::optional<std::uint64_t> threads = extract_count(arguments[3].get(), "threads");
        const bool vartime = extract_flag(arguments[4].get(), "vartime");
        const std::vector<sapling::Node> leaves = leaves_of(arguments[0].get(), depth);
        if (position >= leaves.size()) {
            raise(PyExc_ValueError, "position " + std::to_string(position) + " is out of range for " +
                                        std::to_string(leaves.size()) + " leaves");
        }
        const std::vector<sapling::Node> path = compute(true, [&](pedersen::Checkpoint checkpoint) {
            sapling::NodeHasher hasher(hash_options(threads, vartime, checkpoint));
            return sapling::merkle_path(leaves, position, depth, hasher);
        });
        return node_list(path).release();
    });
}

PyObject* sapling_merkle_hash(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        std::array<Ref, HASH_PARAMETERS.size()> arguments;
        parse_arguments({"_tamarind", "_sapling_merkle_hash", HASH_PARAMETERS, 3}, args, kwargs, arguments);
        const auto height = static_cast<unsigned>(checked_integer(arguments[0].get(), "height"));
        const sapling::Node left = node_argument(arguments[1].get(), "left");
        const sapling::Node right = node_argument(arguments[2].get(), "right");
        const sapling::Node node = compute(true, [&](pedersen::Checkpoint checkpoint) {
            sapling::NodeHasher hasher(hash_options(1, false, checkpoint));
            return hasher.hash(height, left, right);
        });
        return new_bytes(node);
    });
}

PyObject* sapling_empty_roots(PyObject*, PyObject*) {
    return guarded([&] {
        const auto& roots = sapling::empty_roots();
        Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(roots.size())));
        if (!tuple) propagate_python_error();
        for (std::size_t i = 0; i < roots.size(); ++i)
            PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), new_bytes(roots[i]));
        return tuple.release();
    });
}

PyObject* sapling_verify_path(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        std::array<Ref, VERIFY_PARAMETERS.size()> arguments;
        parse_arguments({"_tamarind", "_sapling_verify_path", VERIFY_PARAMETERS, 4}, args, kwargs, arguments);
        const sapling::Node leaf = node_argument(arguments[0].get(), "leaf");
        std::uint64_t position = checked_integer(arguments[1].get(), "position");
        const std::vector<sapling::Node> path = path_of(arguments[2].get());
        const sapling::Node root = node_argument(arguments[3].get(), "root");
        const sapling::Node node = compute(true, [&](pedersen::Checkpoint checkpoint) {
            sapling::NodeHasher hasher(hash_options(1, false, checkpoint));
            sapling::Node at = leaf;
            for (std::size_t height = 0; height < path.size(); ++height, position >>= 1) {
                at = (position & 1) != 0 ? hasher.hash(static_cast<unsigned>(height), path[height], at)
                                         : hasher.hash(static_cast<unsigned>(height), at, path[height]);
            }
            return at;
        });
        PyObject* result = node == root ? Py_True : Py_False;
        Py_IncRef(result);
        return result;
    });
}

PyObject* sapling_encode_path(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        std::array<Ref, ENCODE_PARAMETERS.size()> arguments;
        parse_arguments({"_tamarind", "_sapling_encode_path", ENCODE_PARAMETERS, 2}, args, kwargs, arguments);
        const std::vector<sapling::Node> path = path_of(arguments[0].get());
        const std::uint64_t position = extract_u64(arguments[1].get(), "position");
        const std::vector<std::uint8_t> data =
            refusing_tree_errors([&] { return sapling::encode_path(path, position); });
        PyObject* result =
            PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()), static_cast<Py_ssize_t>(data.size()));
        if (result == nullptr) propagate_python_error();
        return result;
    });
}

PyObject* sapling_decode_path(PyObject*, PyObject* data_argument) {
    return guarded([&] {
        const BytesLike data = extract_bytes_like(data_argument, "data");
        const auto [path, position] = refusing_tree_errors([&] { return sapling::decode_path(data.data); });
        Ref list = node_list(path);
        PyObject* result = Py_BuildValue("(OK)", list.get(), static_cast<unsigned long long>(position));
        if (result == nullptr) propagate_python_error();
        return result;
    });
}

}  // namespace tamarind
