#pragma once
// The two configurable hashers: every generator is derived at construction
// from the curve generator, a per-kind seed and the two size arguments.

#include <cstdint>

#include "algebra/curves.hpp"
#include "quern/components.hpp"
#include "quern/pedersen.hpp"

namespace quern {

// The seed of each configurable instance; left undefined for any other.
template <class Hasher>
struct Seed;

template <CurvePoint G, class E, BitLayout L, class O>
    requires Encoding<E, G>
Pedersen<G, E, L, O> Pedersen<G, E, L, O>::build(std::uint64_t segments, std::uint64_t per_segment) {
    const Deterministic source{Seed<Pedersen>::value};
    return Pedersen{Parameters<G>::template uniform<E>(source, segments, per_segment)};
}

namespace instances {

using BabyJubjubPedersen =
    Pedersen<algebra::Projective<algebra::EdwardsConfig>, Unsigned, LsbFirst, WholePoint>;
using JubjubBoweHopwood =
    Pedersen<algebra::Projective<algebra::JubjubConfig>, BoweHopwood, LsbFirst, XCoordinate>;

}  // namespace instances

template <>
struct Seed<instances::BabyJubjubPedersen> {
    static constexpr std::uint64_t value = 0xBABE0001;
};

template <>
struct Seed<instances::JubjubBoweHopwood> {
    static constexpr std::uint64_t value = 0x5A170002;
};

}  // namespace quern
