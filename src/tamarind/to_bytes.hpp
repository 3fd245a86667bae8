#pragma once
// The byte form of a hash result, as handed to Python. Python-free.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tamarind {

// Values with a compressed serialisation: field elements (32 bytes little
// endian) and affine points (32 bytes compressed).
template <class T>
concept CompressedSerializable = requires(const T& value, std::vector<std::uint8_t>& out) {
    value.serialize_compressed(out);
};

template <CompressedSerializable T>
std::vector<std::uint8_t> to_bytes(const T& value) {
    std::vector<std::uint8_t> out;
    out.reserve(32);  // every encoding in use is 32 bytes: one allocation
    value.serialize_compressed(out);
    return out;
}

// A result that already is its byte form, such as a packed point.
template <std::size_t N>
const std::array<std::uint8_t, N>& to_bytes(const std::array<std::uint8_t, N>& value) {
    return value;
}

}  // namespace tamarind
