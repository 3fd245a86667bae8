#include "quern/zcash.hpp"

#include <algorithm>
#include <cassert>
#include <limits>
#include <string>
#include <string_view>

#include "algebra/fault.hpp"
#include "hashes/blake2s.hpp"
#include "quern/components.hpp"

namespace quern {

namespace {

using algebra::JubjubFq;

// The stream every candidate of one search shares: URS, then tag. Only the
// counter byte differs between candidates, so each one copies this state.
// The personalization is checked here, before any digest is computed.
hashes::blake2s::State candidate_prefix(std::span<const std::uint8_t> personalization,
                                        std::span<const std::uint8_t> tag) {
    auto state = hashes::blake2s::Params{}.personal(personalization).to_state();
    state.update(std::string_view(SAPLING_URS, sizeof SAPLING_URS - 1));
    state.update(tag);
    return state;
}

std::array<std::uint8_t, 32> finish_candidate(hashes::blake2s::State state, std::uint8_t counter) {
    state.update(std::span<const std::uint8_t>(&counter, 1));
    const auto hash = state.finalize();
    std::array<std::uint8_t, 32> digest;
    assert(hash.as_bytes().size() == digest.size());
    std::copy(hash.as_bytes().begin(), hash.as_bytes().end(), digest.begin());
    return digest;
}

}  // namespace

static_assert(sizeof SAPLING_URS - 1 == 64, "the URS enters the digest as 64 ASCII characters");

std::array<std::uint8_t, 32> group_hash_digest(std::span<const std::uint8_t> personalization,
                                               std::span<const std::uint8_t> tag, std::uint8_t counter) {
    return finish_candidate(candidate_prefix(personalization, tag), counter);
}

std::optional<JubjubPoint> group_hash_point(std::span<const std::uint8_t, 32> digest) {
    algebra::BigInt<4> n;
    for (std::size_t i = 0; i < 32; ++i) n.limbs[i / 8] |= std::uint64_t{digest[i]} << (8 * (i % 8));
    const bool sign = (n.limbs[3] >> 63) != 0;
    n.limbs[3] &= ~(std::uint64_t{1} << 63);

    // No reduction: a v of q or more is a rejected candidate, not v mod q.
    const std::optional<JubjubFq> v = JubjubFq::from_bigint(n);
    if (!v) return std::nullopt;
    std::optional<JubjubFq> u = algebra::recover_x<algebra::JubjubConfig>(*v);
    if (!u) return std::nullopt;
    // The sign bit fixes the parity of the canonical u, so the choice does not
    // depend on which root the square root happened to return.
    if ((u->into_bigint().limbs[0] & 1) != static_cast<std::uint64_t>(sign)) u = -*u;

    JubjubPoint p{*u, *v, *u * *v, JubjubFq::one()};
    for (int i = 0; i < 3; ++i) p.double_in_place();  // clear the cofactor 8
    // Points of small order (v = ±1 among them) vanish under the cofactor.
    if (p == JubjubPoint::identity()) return std::nullopt;
    return p;
}

JubjubPoint find_group_hash(std::span<const std::uint8_t> personalization, std::span<const std::uint8_t> tag) {
    const auto prefix = candidate_prefix(personalization, tag);
    for (unsigned counter = 0; counter < 256; ++counter) {
        const auto digest = finish_candidate(prefix, static_cast<std::uint8_t>(counter));
        if (auto point = group_hash_point(digest)) return *point;
    }
    algebra::fault("no valid group hash point found");
}

std::size_t JubjubSapling::segments_for(std::size_t bytes) {
    // ⌈8n / 189⌉ segments (189 bits = 63 chunks), split so that 8n cannot
    // overflow: 189 bytes are exactly 8 segments.
    const std::size_t whole = bytes / 189 * 8;
    const std::size_t rest = (bytes % 189 * 8 + 188) / 189;
    const std::size_t segments = whole + rest;
    return segments == 0 ? 1 : segments;
}

algebra::JubjubFq JubjubSapling::hash(std::span<const std::uint8_t> data) {
    extend(segments_for(data.size()));
    return hash_bits<BoweHopwood>(parameters_, LsbFirst::expand(data)).to_affine().x;
}

void JubjubSapling::extend(std::size_t segments) {
    if (parameters_.segment_count() >= segments) return;
    // Room for every table up front: appending one table at a time would
    // otherwise move the whole cache on each append.
    detail::table_bytes<JubjubPoint>(std::uint64_t{segments} * chunks_per_segment);
    parameters_.reserve(segments * chunks_per_segment, segments);

    std::array<JubjubPoint, chunks_per_segment> table;
    while (parameters_.segment_count() < segments) {
        const std::size_t index = parameters_.segment_count();
        if (index > std::numeric_limits<std::uint32_t>::max())
            algebra::fault("segment index " + std::to_string(index) + " does not fit the 4-byte group-hash tag");
        Parameters<JubjubPoint>::expand_segment(base_point(static_cast<std::uint32_t>(index)),
                                                BoweHopwood::power_step, table);
        parameters_.append_segment(table);
        assert(parameters_.powers.size() == parameters_.segment_count() * chunks_per_segment);
    }
}

JubjubPoint JubjubSapling::base_point(std::uint32_t index) const {
    if (personalization_ == SAPLING_PERSONALIZATION && index < SAPLING_GENERATORS.size())
        return JubjubPoint::from_affine(SAPLING_GENERATORS[index]);
    const std::array<std::uint8_t, 4> tag = {
        static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index >> 8),
        static_cast<std::uint8_t>(index >> 16), static_cast<std::uint8_t>(index >> 24)};
    return find_group_hash(personalization_, tag);
}

}  // namespace quern
