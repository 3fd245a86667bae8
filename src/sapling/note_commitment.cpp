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

// x·2^(64·k) for the limbs of a 256-bit value: the value modulo q, computed
// the same way whatever it is.
algebra::JubjubFq reduce(const algebra::BigInt<4>& n) {
    using Fq = algebra::JubjubFq;
    constexpr Fq two_32 = Fq::from(std::uint64_t{1} << 32);
    constexpr Fq two_64 = two_32 * two_32;
    Fq v = Fq::zero();
    for (std::size_t i = 4; i-- > 0;) v = v * two_64 + Fq::from(n.limbs[i]);
    return v;
}

}  // namespace

std::uint64_t address_point_mask(std::span<const std::uint8_t, 32> encoding) {
    using Fq = algebra::JubjubFq;
    algebra::BigInt<4> n;
    for (std::size_t i = 0; i < 32; ++i) n.limbs[i / 8] |= std::uint64_t{encoding[i]} << (8 * (i % 8));
    const std::uint64_t sign = n.limbs[3] >> 63;
    n.limbs[3] &= ~(std::uint64_t{1} << 63);
    algebra::BigInt<4> difference = n;
    const std::uint64_t v_below_q = 0 - difference.sub_with_borrow(Fq::MODULUS);  // a borrow: v < q

    // u² = (v² - 1) / (d·v² + 1) on -u² + v² = 1 + d·u²·v²; d is not a
    // square, so the denominator never vanishes.
    const Fq v = reduce(n);
    const Fq v2 = v.square();
    const Fq u2 = (v2 - Fq::one()) * (algebra::JubjubConfig::COEFF_D * v2 + Fq::one()).invert();
    std::uint64_t is_square = 0;
    Fq u = u2.sqrt(is_square);
    const std::uint64_t u_is_zero = u.equal_mask(Fq::zero());
    // The root whose canonical value has the sign bit's parity.
    u = u.conditional_negate(algebra::ct::mask_nonzero((u.into_bigint().limbs[0] & 1) ^ sign));
    // ZIP 216: u = 0 has no negative, so its sign bit must be clear.
    const std::uint64_t canonical = v_below_q & is_square & ~(u_is_zero & (0 - sign));

    // In the subgroup of order r: [r]·P is the identity. r is public, so the
    // double-and-add over its bits follows r alone.
    JubjubPoint multiple{u, v, u * v, Fq::one()};
    multiple.mul_bigint(algebra::JubjubFr::MODULUS);
    const std::uint64_t order_r = multiple.x.equal_mask(Fq::zero()) & multiple.y.equal_mask(multiple.z);
    const std::uint64_t identity = u_is_zero & v.equal_mask(Fq::one());
    return canonical & order_r & ~identity;
}

const JubjubPoint& note_commitment_randomness_base() {
    static const JubjubPoint base = find_group_hash(SAPLING_PERSONALIZATION, std::array<std::uint8_t, 1>{'r'});
    return base;
}

NoteCommitment sapling_note_commitment(std::span<const std::uint8_t, 32> g_d, std::span<const std::uint8_t, 32> pk_d,
                                       std::uint64_t value, std::span<const std::uint8_t, 32> rcm) {
    if (algebra::ct::declassify(address_point_mask(g_d)) == 0) return {{}, NoteCommitment::Refused::g_d};
    if (algebra::ct::declassify(address_point_mask(pk_d)) == 0) return {{}, NoteCommitment::Refused::pk_d};
    // Every copy of the inputs made here is wiped on the way out, refusal included.
    algebra::ct::Wiped<algebra::BigInt<4>> scalar;
    for (std::size_t i = 0; i < 32; ++i) scalar->limbs[i / 8] |= std::uint64_t{rcm[i]} << (8 * (i % 8));
    algebra::ct::Wiped<algebra::BigInt<4>> difference(*scalar);  // rcm - r_J, as telling as rcm
    const std::uint64_t below_order = difference->sub_with_borrow(algebra::JubjubFr::MODULUS);  // borrow: rcm < r_J
    if (algebra::ct::declassify(below_order) == 0) return {{}, NoteCommitment::Refused::rcm};

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
    return {ZcashDefinition::encode(commitment.to_affine()), NoteCommitment::Refused::none};
}

}  // namespace pedersen
