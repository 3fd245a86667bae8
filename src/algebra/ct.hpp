#pragma once
// Masks for constant-time code: all ones or all zeros, computed with
// arithmetic only, so that neither a branch nor an address depends on the
// value they are made from. Field elements and points build their select and
// conditional negation on these. And wipe(), for secret bytes left in memory,
// with Wiped<T>, which wipes its value on every way out of a scope.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace algebra::ct {

// All ones when v != 0: the top bit of v | -v is set exactly then.
constexpr std::uint64_t mask_nonzero(std::uint64_t v) { return 0 - ((v | (0 - v)) >> 63); }

constexpr std::uint64_t mask_equal(std::uint64_t a, std::uint64_t b) { return ~mask_nonzero(a ^ b); }

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

// Zeroes `size` bytes at `data`: for memory that held secret input and is
// about to be freed or reused. A plain memset there is a dead store the
// optimiser may drop; the empty asm below claims to read the memory, so the
// stores must happen. Where no such asm exists, volatile stores do the same.
inline void wipe(void* data, std::size_t size) noexcept {
    if (size == 0) return;  // data may be null then
#if defined(__GNUC__) || defined(__clang__)
    std::memset(data, 0, size);
    __asm__ __volatile__("" : : "r"(data) : "memory");
#else
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
#endif
}

// A secret held in a fixed place (bytes, limbs) and wiped when it goes out of
// scope, a throw included. Neither copied nor moved, so that no second copy
// escapes the wipe; the one way in is the constructor's copy, or writing
// through operator*. Memory that grows (a vector's) is wiped by its allocator
// instead, with the same wipe().
template <class T>
class Wiped {
    // All zero bytes must still be a T, and destroying it must do nothing else.
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

  public:
    Wiped() = default;
    explicit Wiped(const T& value) : value_(value) {}
    Wiped(const Wiped&) = delete;
    Wiped& operator=(const Wiped&) = delete;
    ~Wiped() { wipe(&value_, sizeof value_); }

    T& operator*() noexcept { return value_; }
    const T& operator*() const noexcept { return value_; }
    T* operator->() noexcept { return &value_; }
    const T* operator->() const noexcept { return &value_; }

  private:
    T value_{};
};

}  // namespace algebra::ct
