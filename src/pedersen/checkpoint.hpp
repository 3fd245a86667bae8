#pragma once
// How long work lets its caller in: a checkpoint called between slices of a
// few milliseconds, from which the caller may throw.

#include <concepts>
#include <cstdint>
#include <type_traits>

namespace pedersen {

// Long work calls its checkpoint between slices of a few milliseconds at
// most, so that a caller can abandon a call by throwing from it (to deliver
// a signal, or to stop a worker). Whatever it interrupts, an instance keeps
// only what it had completed.
class Checkpoint {
  public:
    Checkpoint() = default;  // never interrupts
    template <class F>
        requires(!std::same_as<std::remove_cvref_t<F>, Checkpoint>)
    explicit Checkpoint(const F& check)
        : context_(&check), call_([](const void* c) { (*static_cast<const F*>(c))(); }) {}

    void operator()() const {
        if (call_ != nullptr) call_(context_);
    }

  private:
    const void* context_ = nullptr;
    void (*call_)(const void*) = nullptr;
};

// Chunks summed between two checkpoints: about a millisecond of lookups.
inline constexpr std::uint64_t checkpoint_chunks = 4096;
// Chunks whose tables are built between two checkpoints: a few milliseconds.
inline constexpr std::uint64_t build_slice_chunks = 1024;

}  // namespace pedersen
