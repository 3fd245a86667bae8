// Small helpers shared by several test files.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fault/fault.hpp"

namespace test_support {

using Bytes = std::vector<std::uint8_t>;

inline std::string hex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (auto b : bytes) (out += digits[b >> 4]) += digits[b & 15];
    return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> unhex(const std::string& text) {
    std::array<std::uint8_t, N> out{};
    for (std::size_t i = 0; i < N; ++i)
        out[i] = static_cast<std::uint8_t>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
    return out;
}

// Deterministic, non-constant bytes (7*i + 3) mod 256, so byte order and block placement errors show.
inline Bytes pattern(std::size_t n) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(7 * i + 3);
    return out;
}

inline Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

template <class Rng = std::mt19937_64>
Bytes random_bytes(std::size_t n, std::uint64_t seed) {
    Rng rng(static_cast<typename Rng::result_type>(seed));
    Bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

// The message of the fault::Fault a call raises, or "no fault".
inline std::string fault_of(auto&& call) {
    try {
        call();
    } catch (const fault::Fault& fault) {
        return fault.what();
    }
    return "no fault";
}

}  // namespace test_support
