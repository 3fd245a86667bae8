#pragma once
// The hash engine all four constructions share. A construction is a
// declaration (see constructions/: configurable.hpp, zcash.hpp, circom.hpp):
//
//   using Curve;                 the curve model the sums are formed in (a = -1)
//   using Encoding;              the chunk encoding
//   chunks_per_lookup            K: chunks one table lookup covers
//   chunks_per_segment           (the caching constructions) chunks per segment
//   encode(Affine<Curve>)        the 32 output bytes of the affine sum
//   publish(Affine<Curve>)       (optional) the affine sum in the curve's
//                                published model, when it is not Curve
//
// plus a source of segment base points. Two hashers are built from them:
// ConfigurablePedersen builds every table eagerly and never changes;
// CachingPedersen grows its tables lazily, in the process's table cache.
//
// Inputs are bit strings (bits.hpp): hash() takes every bit of its bytes,
// hash_bits() a given number of them. Hashing is constant time in the input
// bits: only the input length shapes the work (which segments, how many
// lookups, which tables). See table.hpp. hash_vartime() and
// hash_bits_vartime() give the same digests through the VariableTime lookup
// and a variable-time inversion: faster, and leaking the input bits through
// timing, so for public data only.
//
// This header holds what the two hashers share (the Construction concept and
// the published point); configurable_pedersen.hpp and caching_pedersen.hpp
// hold the hashers, checkpoint.hpp the way long work lets its caller in.

#include <concepts>
#include <cstdint>
#include <string>

#include "algebra/curve.hpp"
#include "algebra/encoding.hpp"
#include "fault/fault.hpp"
#include "pedersen/checkpoint.hpp"
#include "pedersen/encodings.hpp"

namespace pedersen {

// How often the caller means to sum inputs of the length it prepares for.
// A caching hasher builds a segment's table only for a segment that is
// summed again (building costs many sums), so a single long input costs no
// more than summing it; Repeated says that the tables will pay off at once.
enum class Uses { Once, Repeated };

// The capacity fault: too few generator powers for the input.
[[noreturn]] inline void capacity_fault(std::uint64_t bits, std::uint64_t chunks, std::uint64_t powers) {
    fault::raise("input of " + std::to_string(bits) + " bits needs " + std::to_string(chunks) + " chunks but only " +
                 std::to_string(powers) + " generator powers are available");
}

template <class Def>
concept Construction = requires {
    typename Def::Curve;
    typename Def::Encoding;
    { Def::chunks_per_lookup } -> std::convertible_to<unsigned>;
    { Def::encode(algebra::Affine<typename Def::Curve>{}) } -> std::same_as<algebra::Bytes32>;
};

// The hash point as a construction publishes it.
template <Construction Def>
constexpr auto publish(const algebra::Affine<typename Def::Curve>& p) {
    if constexpr (requires { Def::publish(p); }) {
        return Def::publish(p);
    } else {
        return p;
    }
}
template <Construction Def>
using PublishedPoint = decltype(publish<Def>(algebra::Affine<typename Def::Curve>{}));

// Chunks per group of the wide tables that variable-time sums may use: the
// construction's wide_chunks_per_lookup, else its chunks_per_lookup.
template <Construction Def>
constexpr unsigned wide_chunks_per_lookup() {
    if constexpr (requires { Def::wide_chunks_per_lookup; }) {
        return Def::wide_chunks_per_lookup;
    } else {
        return Def::chunks_per_lookup;
    }
}

// Chunks per group of the still wider tables that variable-time sums may use
// for the first segments: the construction's widest_chunks_per_lookup, else
// wide_chunks_per_lookup.
template <Construction Def>
constexpr unsigned widest_chunks_per_lookup() {
    if constexpr (requires { Def::widest_chunks_per_lookup; }) {
        return Def::widest_chunks_per_lookup;
    } else {
        return wide_chunks_per_lookup<Def>();
    }
}

// The group arithmetic of a configurable construction's tables (see
// encodings.hpp): its TableGroup, else its encoding's own.
template <Construction Def>
struct TableGroup {
    using type = Group<typename Def::Encoding>;
};
template <Construction Def>
    requires requires { typename Def::TableGroup; }
struct TableGroup<Def> {
    using type = typename Def::TableGroup;
};

}  // namespace pedersen
