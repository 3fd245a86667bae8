#pragma once
// Masks for constant-time code: all ones or all zeros, computed with
// arithmetic only, so that neither a branch nor an address depends on the
// value they are made from. Field elements and points build their select and
// conditional negation on these.

#include <cstddef>
#include <cstdint>

namespace algebra::ct {

// All ones when v != 0: the top bit of v | -v is set exactly then.
constexpr std::uint64_t mask_nonzero(std::uint64_t v) { return 0 - ((v | (0 - v)) >> 63); }

constexpr std::uint64_t mask_equal(std::uint64_t a, std::uint64_t b) { return ~mask_nonzero(a ^ b); }

// bit must be 0 or 1.
constexpr std::uint64_t mask_from_bit(std::uint64_t bit) { return 0 - bit; }

// a where mask is set, b elsewhere.
constexpr std::uint64_t select(std::uint64_t mask, std::uint64_t a, std::uint64_t b) { return b ^ (mask & (a ^ b)); }

// Told about every value computed from secrets that is made public on
// purpose; null in the module. The constant-time check points it at
// memcheck, which then treats the value as public from there on.
inline void (*declassify_hook)(void* value, std::size_t size) = nullptr;

// The one place where a decision on secret data (a yes/no, never the data)
// becomes public, so that it may steer a branch.
inline std::uint64_t declassify(std::uint64_t value) {
    // Through memory, so that what comes back is what the hook saw.
    if (declassify_hook != nullptr) declassify_hook(&value, sizeof value);
    return value;
}

}  // namespace algebra::ct
