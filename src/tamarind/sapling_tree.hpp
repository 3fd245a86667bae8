#pragma once
// tamarind.sapling's CommitmentTree and IncrementalWitness (zcashd's
// incremental tree and witness), and the argument readers the Sapling
// functions share.

#include <cstdint>
#include <optional>
#include <string_view>

#include "sapling/merkle.hpp"
#include "sapling/tree.hpp"
#include "tamarind/errors.hpp"
#include "tamarind/python.hpp"

namespace tamarind {

// Borrowed class objects, created on first use; throw PythonError.
PyObject* commitment_tree_type();
PyObject* incremental_witness_type();
void forget_sapling_tree_types() noexcept;

// A 32-byte bytes-like node below q, with tamarind.sapling's messages
// ("left must be 32 bytes, not 31", "left is not a canonical field element ...").
sapling::Node node_argument(PyObject* value, std::string_view name);

// Runs `body` with the tree's refusals (bad bytes, a full tree) as ValueError.
template <class Body>
auto refusing_tree_errors(Body&& body) {
    try {
        return body();
    } catch (const sapling::TreeError& error) {
        raise(PyExc_ValueError, error.what());
    }
}

// How Sapling work hashes, with the checkpoint of the call (gil.hpp's
// compute gives it), so that Ctrl-C interrupts it.
sapling::HashOptions hash_options(std::optional<std::uint64_t> threads, bool vartime, pedersen::Checkpoint checkpoint);

}  // namespace tamarind
