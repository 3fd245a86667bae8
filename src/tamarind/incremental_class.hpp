#pragma once
// IncrementalHash: one long input fed to a hasher instance in pieces,
// hashlib style (update, digest, hexdigest, copy). One Python class serves
// the four hasher classes; what differs lives behind IncrementalState, which
// each hasher class implements.

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "algebra/encoding.hpp"
#include "tamarind/python.hpp"

namespace tamarind {

// The state of one incremental hash. `owner` is the hasher instance it was
// made from; each call reaches the hasher through it, borrowing as `hash`
// does. Failures are thrown as everywhere in the module.
class IncrementalState {
  public:
    virtual ~IncrementalState() = default;
    virtual void update(PyObject* owner, std::span<const std::uint8_t> data) = 0;
    virtual algebra::Bytes32 digest(PyObject* owner) const = 0;
    virtual std::unique_ptr<IncrementalState> clone() const = 0;
    virtual std::string_view name() const = 0;  // the hasher class's
};

// A new IncrementalHash holding `state` and a reference to `owner`.
PyObject* new_incremental_hash(std::unique_ptr<IncrementalState> state, PyObject* owner);

// The class object (borrowed, kept until finalization); throws PythonError.
PyObject* incremental_hash_type();
// Forgets it after finalization (no Python call).
void forget_incremental_hash_type() noexcept;

}  // namespace tamarind
