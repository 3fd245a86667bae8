#pragma once
// Internal faults: broken invariants and exhausted capacities, in any layer.
// They abort the current call; the Python boundary turns them into
// PanicException carrying what() as the message. Argument errors and absent
// results never use this.

#include <stdexcept>
#include <string>

namespace fault {

struct Fault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void raise(const std::string& message) { throw Fault(message); }

}  // namespace fault
