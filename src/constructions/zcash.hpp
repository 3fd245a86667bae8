#pragma once
// The Zcash Sapling Pedersen hash over Jubjub: 3-bit Bowe–Hopwood chunks, 63
// per segment, segment base points from the Sapling group hash (BLAKE2s over
// a fixed URS text with an 8-byte personalization, cofactor cleared).

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "algebra/curves.hpp"
#include "algebra/encoding.hpp"
#include "pedersen/caching_pedersen.hpp"
#include "constructions/shared_tables.hpp"

namespace pedersen {

using JubjubPoint = algebra::Projective<algebra::JubjubConfig>;
using JubjubAffine = algebra::Affine<algebra::JubjubConfig>;

// The default personalization of the Sapling Pedersen hash.
inline constexpr std::array<std::uint8_t, 8> SAPLING_PERSONALIZATION = {'Z', 'c', 'a', 's', 'h', '_', 'P', 'H'};

// The 64-character URS text that every group-hash digest starts with.
inline constexpr char SAPLING_URS[] = "096b36a5804bfacef1691e173c366a47ff5ba84a44f26ddd7e8d9f79d5b42df0";

// The base points of segments 0 to 5 under SAPLING_PERSONALIZATION, held
// ready so that inputs of up to 141 bytes never run the counter search. Row s
// is find_group_hash(SAPLING_PERSONALIZATION, s as 4 bytes little-endian).
inline constexpr std::array<JubjubAffine, 6> SAPLING_GENERATORS = {{
    {algebra::JubjubFq::constant("52355368488200756720908213129543630848976972731871436319321443845291207170897"),
     algebra::JubjubFq::constant("18372611905088487385433946659983357101887954355879737496286092836680199584970")},
    {algebra::JubjubFq::constant("9787319019520772215561425571402619434275350335445140843695488791465664995454"),
     algebra::JubjubFq::constant("617599303620822769724880923839314378351145790385632133893219494436232173713")},
    {algebra::JubjubFq::constant("46254521528573726497224586973822974014192468152453531001037375756982829433973"),
     algebra::JubjubFq::constant("24506313747297525290953778557147418250711256987769181747135349052620150133847")},
    {algebra::JubjubFq::constant("22718818598176814730279188811725115822910786497974609492339302594899840639692"),
     algebra::JubjubFq::constant("21482900543196151117444117927157074338652061209517124624989426821710350741737")},
    {algebra::JubjubFq::constant("27058202516373004425968234366429922161775745886920564416371317087192362222289"),
     algebra::JubjubFq::constant("33152712010531917481292916450097258839113870850090594303231218126810079660783")},
    {algebra::JubjubFq::constant("44899967701403962114488563060475643935789150330315799264409868287497276170361"),
     algebra::JubjubFq::constant("45648747605882624690586248172048386288129541878950585457687885861218308416154")},
}};

// The point one digest decodes to: its low 255 bits (little-endian) are v,
// bit 255 picks the parity of u, and the result is 8·(u, v). Absent when v is
// not below q, when no u exists, or when 8·(u, v) is the identity.
std::optional<JubjubPoint> group_hash_point(std::span<const std::uint8_t, 32> digest);

// A point of the prime-order subgroup, never the identity, found by stepping
// a counter byte appended to `tag` until a BLAKE2s digest decodes to a point.
// Faults with "no valid group hash point found" after 256 rejected candidates,
// and with "Bad personalization length: {}" for a personalization over 8 bytes.
JubjubPoint find_group_hash(std::span<const std::uint8_t> personalization, std::span<const std::uint8_t> tag);

// Segment base points under one personalization: rows of SAPLING_GENERATORS
// for the default one, group hashes otherwise (tag: the segment index as 4
// bytes little-endian). The default personalization's first segments have
// tables shared by the process, and wide variable-time ones in the table
// cache (wide_tables.hpp).
class SaplingBases {
  public:
    // Segments with wide tables: 1.2 KB of input, 26 MiB at most.
    static constexpr std::uint64_t wide_segments = 52;

    explicit SaplingBases(std::array<std::uint8_t, 8> personalization) : personalization_(personalization) {}

    JubjubPoint base_vartime(std::uint64_t segment) const;
    std::uint64_t shared_segments() const { return is_default() ? shared::SEGMENTS : 0; }
    std::span<const algebra::Niels<algebra::JubjubConfig>> shared_table(std::uint64_t segment) const;
    std::uint64_t wide_segments_vartime() const { return is_default() ? wide_segments : 0; }
    const std::array<std::uint8_t, 8>& personalization() const { return personalization_; }
    std::string cache_key() const { return std::string(personalization_.begin(), personalization_.end()); }

  private:
    bool is_default() const { return personalization_ == SAPLING_PERSONALIZATION; }
    std::array<std::uint8_t, 8> personalization_;
};

struct ZcashDefinition {
    using Curve = algebra::JubjubConfig;
    using Encoding = BoweHopwood;
    static constexpr unsigned chunks_per_lookup = 2;
    static constexpr unsigned wide_chunks_per_lookup = 3;
    static constexpr std::uint64_t chunks_per_segment = 63;
    // The u-coordinate, 32 bytes little-endian.
    static constexpr algebra::Bytes32 encode(const algebra::Affine<Curve>& p) { return algebra::field_to_bytes(p.x); }
};

extern template class CachingPedersen<ZcashDefinition, SaplingBases>;

class ZcashPedersen : public CachingPedersen<ZcashDefinition, SaplingBases> {
  public:
    // Tables in the process's table cache.
    explicit ZcashPedersen(std::array<std::uint8_t, 8> personalization = SAPLING_PERSONALIZATION)
        : CachingPedersen(SaplingBases(personalization)) {}
    // Tables in a cache of its own, of at most `cap_bytes`.
    ZcashPedersen(std::array<std::uint8_t, 8> personalization, std::size_t cap_bytes)
        : CachingPedersen(SaplingBases(personalization), cap_bytes) {}

    const std::array<std::uint8_t, 8>& personalization() const { return bases().personalization(); }
};

}  // namespace pedersen
