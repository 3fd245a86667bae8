#pragma once
// The circom/iden3-compatible Pedersen hash over Baby Jubjub: 4-bit signed
// windows, 50 per segment, base points from BLAKE-256 digests of
// "PedersenGenerator_" strings; the output is circomlibjs's packed point.
// Sums are formed in the a = -1 model of Baby Jubjub and mapped back once.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "algebra/curves.hpp"
#include "algebra/encoding.hpp"
#include "pedersen/caching_pedersen.hpp"
#include "constructions/shared_tables.hpp"

namespace pedersen {

// In the curve's published model (a = 168700).
using BabyJubjubStandardPoint = algebra::Projective<algebra::BabyJubjubConfig>;
// In the a = -1 model the hash runs in.
using BabyJubjubPoint = algebra::Projective<algebra::BabyJubjubMinusOneConfig>;

// The base point of segment `index`, in the prime-order subgroup: rows 0 to 5
// from the built-in table, later ones derived from generator strings.
BabyJubjubStandardPoint base_point(std::uint64_t index);

// The derivation alone, bypassing the built-in table (it reproduces it). Try
// after try, the BLAKE-256 digest of the generator string is read as a
// compressed point: bit 255 is the sign of x, bits 254 and 255 are cleared
// and the rest, taken modulo p as circomlibjs does, is y. Tries whose y has
// no curve point are skipped; the first point found is multiplied by 8.
BabyJubjubStandardPoint derive_base_point(std::uint64_t index);

// base_point in the a = -1 model; the first segments have shared tables,
// and wide variable-time ones in the table cache (wide_tables.hpp).
struct CircomBases {
    // Segments with wide tables: 1.2 KB of input, 34 MiB at most, of which
    // the wider ones of the first 150 bytes take 19 MiB.
    static constexpr std::uint64_t wide_segments = 48;
    static constexpr std::uint64_t widest_segments = 6;

    BabyJubjubPoint base_vartime(std::uint64_t segment) const;
    static std::string cache_key() { return "circom"; }
    static constexpr std::uint64_t shared_segments() { return shared::SEGMENTS; }
    std::span<const algebra::Niels<algebra::BabyJubjubMinusOneConfig>> shared_table(std::uint64_t segment) const;
    static constexpr std::uint64_t wide_segments_vartime() { return wide_segments; }
    static constexpr std::uint64_t widest_segments_vartime() { return widest_segments; }
};

struct CircomDefinition {
    using Curve = algebra::BabyJubjubMinusOneConfig;
    using Encoding = Circom;
    static constexpr unsigned chunks_per_lookup = 1;
    static constexpr unsigned wide_chunks_per_lookup = 2;
    static constexpr unsigned widest_chunks_per_lookup = 3;
    static constexpr std::uint64_t chunks_per_segment = 50;
    // circomlibjs's packPoint: the compressed point of the published model.
    static constexpr algebra::Bytes32 encode(const algebra::Affine<Curve>& p) {
        return algebra::compressed_point(Curve::to_standard(p));
    }
    static constexpr algebra::Affine<algebra::BabyJubjubConfig> publish(const algebra::Affine<Curve>& p) {
        return Curve::to_standard(p);
    }
};

extern template class CachingPedersen<CircomDefinition, CircomBases>;

class CircomPedersen : public CachingPedersen<CircomDefinition, CircomBases> {
  public:
    // Tables in the process's table cache.
    CircomPedersen() : CachingPedersen(CircomBases{}) {}
    // Tables in a cache of its own, of at most `cap_bytes`.
    explicit CircomPedersen(std::size_t cap_bytes) : CachingPedersen(CircomBases{}, cap_bytes) {}
};

}  // namespace pedersen
