#pragma once
// The Sapling note commitment (NoteCommit^Sapling): a windowed Pedersen
// commitment to a note's value and diversified address. Every input is a
// secret of the note's owner, so all of it runs in constant time.

#include <cstdint>
#include <optional>
#include <span>

#include "algebra/encoding.hpp"
#include "constructions/zcash.hpp"

namespace pedersen {

// R, the base of the commitment randomness: find_group_hash under the
// default personalization with the tag "r". Derived on first use.
const JubjubPoint& note_commitment_randomness_base();

// cmu, the u-coordinate (32 bytes little-endian) of
//   PedersenHashToPoint("Zcash_PH", 1,1,1,1,1,1 ‖ value ‖ g_d ‖ pk_d) + [rcm]·R,
// where value is 64 bits, least significant first, and g_d and pk_d are the
// 256 bits of their 32-byte encodings as given; rcm is a 32-byte
// little-endian scalar. Refused, naming the argument, when g_d or pk_d is not
// a point a payment address can hold (address_point_mask) or rcm is not below
// the subgroup order r_J. Constant time in all four inputs: only those three
// yes/no answers are declassified. The copies of them it makes (rcm as a
// scalar, the message bits) are wiped before it returns.
struct NoteCommitment {
    enum class Refused { none, g_d, pk_d, rcm };
    algebra::Bytes32 cmu;
    Refused refused;
};
NoteCommitment sapling_note_commitment(std::span<const std::uint8_t, 32> g_d, std::span<const std::uint8_t, 32> pk_d,
                                       std::uint64_t value, std::span<const std::uint8_t, 32> rcm);

// All ones when `encoding` decodes canonically (ZIP 216: v below q, the sign
// bit clear for u = 0) to a point of Jubjub's prime-order subgroup other than
// the identity, else zero. Constant time: every step runs whatever the bytes.
std::uint64_t address_point_mask(std::span<const std::uint8_t, 32> encoding);

}  // namespace pedersen
