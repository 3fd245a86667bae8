#pragma once
// Module-level functions that compute Sapling constructions other than the
// plain hash; the tamarind.sapling package builds its API on them.

#include "tamarind/python.hpp"

namespace tamarind {

// _sapling_note_commitment(g_d, pk_d, value, rcm): the note commitment's
// u-coordinate as 32 bytes. A METH_VARARGS | METH_KEYWORDS entry point.
PyObject* sapling_note_commitment(PyObject* module, PyObject* args, PyObject* kwargs);

inline constexpr const char* SAPLING_NOTE_COMMITMENT_DOC =
    "_sapling_note_commitment(g_d, pk_d, value, rcm)\n--\n\n"
    "The Sapling note commitment's u-coordinate (cmu) as 32 bytes little-endian, as\n"
    "Zcash computes NoteCommit: PedersenHashToPoint under \"Zcash_PH\" over the bits\n"
    "1,1,1,1,1,1, then `value` as 64 bits, then the 256 bits of `g_d` and of `pk_d`\n"
    "(32-byte encodings, bits taken as given, least significant first), plus\n"
    "[rcm]R, R being the group hash of \"r\" under \"Zcash_PH\". g_d, pk_d and rcm are\n"
    "32-byte bytes-like objects, rcm a little-endian scalar below the Jubjub\n"
    "subgroup order; 0 <= value < 2**64; else ValueError. Constant time in all four.";

}  // namespace tamarind
