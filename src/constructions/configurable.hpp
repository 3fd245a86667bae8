#pragma once
// The two configurable hashers: every generator is derived at construction
// from the curve generator, a per-kind seed and the two size arguments.

#include <cstdint>

#include "algebra/curves.hpp"
#include "algebra/encoding.hpp"
#include "pedersen/configurable_pedersen.hpp"

namespace pedersen {

// One bit per chunk over Baby Jubjub, four bits per lookup read as a signed
// digit (8 entries and a carry point); the output is the compressed point of
// the published model.
struct BabyJubjubDefinition {
    using Curve = algebra::BabyJubjubMinusOneConfig;
    using Encoding = Unsigned;
    using TableGroup = SignedDigits<Unsigned>;
    static constexpr unsigned chunks_per_lookup = 4;
    // Variable time: 255 entries per 8 bits, 14.2 times the memory.
    static constexpr unsigned wide_chunks_per_lookup = 8;
    static constexpr std::uint64_t seed = 0xBABE0001;
    static constexpr algebra::Bytes32 encode(const algebra::Affine<Curve>& p) {
        return algebra::compressed_point(Curve::to_standard(p));
    }
    static constexpr algebra::Affine<algebra::BabyJubjubConfig> publish(const algebra::Affine<Curve>& p) {
        return Curve::to_standard(p);
    }
};

// Bowe–Hopwood chunks over Jubjub, one per lookup (4 entries, so tables take
// four times the memory of one point per chunk); the output is x.
struct JubjubBoweHopwoodDefinition {
    using Curve = algebra::JubjubConfig;
    using Encoding = BoweHopwood;
    static constexpr unsigned chunks_per_lookup = 1;
    // Variable time: 258 entries per 3 chunks, 21.5 times the memory.
    static constexpr unsigned wide_chunks_per_lookup = 3;
    static constexpr std::uint64_t seed = 0x5A170002;
    static constexpr algebra::Bytes32 encode(const algebra::Affine<Curve>& p) { return algebra::field_to_bytes(p.x); }
};

extern template class ConfigurablePedersen<BabyJubjubDefinition>;
extern template class ConfigurablePedersen<JubjubBoweHopwoodDefinition>;

using BabyJubjubPedersen = ConfigurablePedersen<BabyJubjubDefinition>;
using JubjubBoweHopwood = ConfigurablePedersen<JubjubBoweHopwoodDefinition>;

}  // namespace pedersen
