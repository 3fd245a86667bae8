#include <algorithm>
#include <limits>
#include <cassert>
#include <string>
#include <string_view>

#include "fault/fault.hpp"
#include "hashes/blake2s.hpp"
#include "constructions/zcash.hpp"

namespace pedersen {

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

std::optional<JubjubPoint> group_hash_point(std::span<const std::uint8_t, 32> digest) {
    algebra::BigInt<4> n;
    for (std::size_t i = 0; i < 32; ++i) n.limbs[i / 8] |= std::uint64_t{digest[i]} << (8 * (i % 8));
    const bool sign = (n.limbs[3] >> 63) != 0;
    n.limbs[3] &= ~(std::uint64_t{1} << 63);

    // No reduction: a v of q or more is a rejected candidate, not v mod q.
    const std::optional<JubjubFq> v = JubjubFq::from_bigint(n);
    if (!v) return std::nullopt;
    std::optional<JubjubFq> u = algebra::recover_x_vartime<algebra::JubjubConfig>(*v);
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
    fault::raise("no valid group hash point found");
}

JubjubPoint SaplingBases::base_vartime(std::uint64_t segment) const {
    if (is_default() && segment < SAPLING_GENERATORS.size())
        return JubjubPoint::from_affine(SAPLING_GENERATORS[segment]);
    if (segment > std::numeric_limits<std::uint32_t>::max())
        fault::raise("segment index " + std::to_string(segment) + " does not fit the 4-byte group-hash tag");
    const std::array<std::uint8_t, 4> tag = {
        static_cast<std::uint8_t>(segment), static_cast<std::uint8_t>(segment >> 8),
        static_cast<std::uint8_t>(segment >> 16), static_cast<std::uint8_t>(segment >> 24)};
    return find_group_hash(personalization_, tag);
}

}  // namespace pedersen
