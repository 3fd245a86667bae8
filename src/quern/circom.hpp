#pragma once
// The circom/iden3-compatible Pedersen hash over Baby Jubjub: 4-bit signed
// windows, 50 windows per segment, base points from BLAKE-256 digests of
// "PedersenGenerator_" strings, tables derived lazily and cached.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "algebra/curves.hpp"
#include "quern/pedersen.hpp"

namespace quern {

using BabyJubjubPoint = algebra::Projective<algebra::EdwardsConfig>;

// The 83-byte BLAKE-256 preimage of one try: "PedersenGenerator_", the index
// and "_", the try counter, both numbers zero-filled to 32 digits.
std::string generator_string(std::uint64_t index, std::uint64_t attempt);

// The base point of segment `index`, in the prime-order subgroup: rows 0 to 5
// from the built-in table, later ones derived from generator strings.
BabyJubjubPoint base_point(std::uint64_t index);

// The derivation alone, bypassing the built-in table (it reproduces it). Try
// after try, the BLAKE-256 digest of the generator string is read as a
// compressed point: bit 255 is the sign of x, bits 254 and 255 are cleared
// and the rest, taken modulo p as circomlibjs does, is y. Tries whose y has
// no curve point are skipped; the first point found is multiplied by 8.
BabyJubjubPoint derive_base_point(std::uint64_t index);

class BabyJubjubCircom {
public:
    static constexpr std::size_t windows_per_segment = 50;
    static constexpr std::size_t bytes_per_segment = windows_per_segment / 2;  // two 4-bit windows per byte

    // The packed sum: canonical y little-endian, bit 7 of byte 31 set when
    // x > (p - 1)/2. Derives and caches the tables the input needs first, so
    // it takes the hasher for exclusive use; the cache never changes a result.
    std::array<std::uint8_t, 32> hash(std::span<const std::uint8_t> data);

    const Parameters<BabyJubjubPoint>& parameters() const { return parameters_; }

private:
    // Builds and appends tables until `segments` are cached; table s holds
    // 32^j·base_point(s) for j = 0..49.
    void extend(std::size_t segments);

    // Invariant: segment s of the record is the table of segment s, complete.
    Parameters<BabyJubjubPoint> parameters_;
};

}  // namespace quern
