#include "sapling/note_commitment.hpp"

#include <array>
#include <cstddef>

#include "algebra/ct.hpp"
#include "algebra/niels.hpp"
#include "pedersen/bits.hpp"

namespace pedersen {

namespace {

using Entry = algebra::Niels<algebra::JubjubConfig>;

// The 6-bit prefix of a note commitment, then value, g_d and pk_d.
constexpr std::uint64_t MESSAGE_BITS = 6 + 64 + 256 + 256;
constexpr std::size_t MESSAGE_BYTES = (MESSAGE_BITS + 7) / 8;

// The message takes 4 segments, all with process-wide tables: summing it
// never grows the hasher, so one instance serves every thread read-only.
static_assert(chunk_count_bits(MESSAGE_BITS, 3) <= ZcashDefinition::chunks_per_segment * shared::SEGMENTS);

// Copies `count` bits of `from` (least significant first) to `out` from bit
// `at` on, moving `at` past them. Which bytes are touched follows the
// positions alone; the bits themselves are only shifted and or-ed in.
void append_bits(std::span<std::uint8_t> out, std::uint64_t& at, std::span<const std::uint8_t> from,
                 std::uint64_t count) {
    for (std::uint64_t i = 0; i < count; ++i, ++at) {
        const unsigned bit = (from[i / 8] >> (i % 8)) & 1u;
        out[at / 8] = static_cast<std::uint8_t>(out[at / 8] | bit << (at % 8));
    }
}

// k·R for k = 1 to 15, for fixed 4-bit windows.
const std::array<Entry, 15>& randomness_multiples() {
    static const std::array<Entry, 15> table = [] {
        std::array<JubjubPoint, 15> points;
        points[0] = note_commitment_randomness_base();
        for (std::size_t k = 1; k < points.size(); ++k) points[k] = points[k - 1] + points[0];
        std::array<Entry, 15> entries;
        algebra::batch_to_niels<algebra::JubjubConfig>(points, entries);
        return entries;
    }();
    return table;
}

// [scalar]·R, one 4-bit window at a time from the top: four doublings, then
// the window's multiple found by scanning the whole table. Complete
// formulas, no branch and no address on the scalar.
JubjubPoint randomness_times(const algebra::BigInt<4>& scalar) {
    const std::array<Entry, 15>& multiples = randomness_multiples();
    JubjubPoint product = JubjubPoint::identity();
    for (std::size_t window = 64; window-- > 0;) {
        for (int i = 0; i < 4; ++i) product.double_in_place();
        const std::uint64_t digit = (scalar.limbs[window / 16] >> (4 * (window % 16))) & 15;
        algebra::add_assign(product, algebra::select_entry(std::span<const Entry>(multiples), digit));
    }
    return product;
}

}  // namespace

const JubjubPoint& note_commitment_randomness_base() {
    static const JubjubPoint base = find_group_hash(SAPLING_PERSONALIZATION, std::array<std::uint8_t, 1>{'r'});
    return base;
}

std::optional<algebra::Bytes32> sapling_note_commitment(std::span<const std::uint8_t, 32> g_d,
                                                        std::span<const std::uint8_t, 32> pk_d, std::uint64_t value,
                                                        std::span<const std::uint8_t, 32> rcm) {
    // Every copy of the inputs made here is wiped on the way out, refusal included.
    algebra::ct::Wiped<algebra::BigInt<4>> scalar;
    for (std::size_t i = 0; i < 32; ++i) scalar->limbs[i / 8] |= std::uint64_t{rcm[i]} << (8 * (i % 8));
    algebra::ct::Wiped<algebra::BigInt<4>> difference(*scalar);  // rcm - r_J, as telling as rcm
    const std::uint64_t below_order = difference->sub_with_borrow(algebra::JubjubFr::MODULUS);  // borrow: rcm < r_J
    if (algebra::ct::declassify(below_order) == 0) return std::nullopt;

    algebra::ct::Wiped<std::array<std::uint8_t, MESSAGE_BYTES>> message;
    std::uint64_t at = 0;
    const std::array<std::uint8_t, 1> prefix{0x3f};
    algebra::ct::Wiped<std::array<std::uint8_t, 8>> value_bytes;
    for (std::size_t i = 0; i < value_bytes->size(); ++i)
        (*value_bytes)[i] = static_cast<std::uint8_t>(value >> (8 * i));
    append_bits(*message, at, prefix, 6);
    append_bits(*message, at, *value_bytes, 64);
    append_bits(*message, at, g_d, 256);
    append_bits(*message, at, pk_d, 256);

    static const ZcashPedersen hasher;
    JubjubPoint commitment = hasher.sum(BitString(*message, MESSAGE_BITS), 0);
    commitment.add_assign(randomness_times(*scalar));
    return ZcashDefinition::encode(commitment.to_affine());
}

}  // namespace pedersen
