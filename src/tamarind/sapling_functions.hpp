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
    "32-byte bytes-like objects: g_d and pk_d canonical encodings (ZIP 216) of\n"
    "points of Jubjub's prime-order subgroup other than the identity, rcm a\n"
    "little-endian scalar below the Jubjub subgroup order; 0 <= value < 2**64;\n"
    "else ValueError. Constant time in all four.";

// The tree functions behind tamarind.sapling (which checks heights, depths
// and positions first and documents them). METH_VARARGS | METH_KEYWORDS
// entry points, but the two noted.
PyObject* sapling_merkle_root(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* sapling_merkle_path(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* sapling_merkle_hash(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* sapling_verify_path(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* sapling_encode_path(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* sapling_empty_roots(PyObject* module, PyObject*);       // METH_NOARGS
PyObject* sapling_decode_path(PyObject* module, PyObject* data);  // METH_O

inline constexpr const char* SAPLING_MERKLE_ROOT_DOC =
    "_sapling_merkle_root(leaves, depth, threads, vartime)\n--\n\nThe root of the tree of `leaves` (see "
    "tamarind.sapling.merkle_root).";
inline constexpr const char* SAPLING_MERKLE_PATH_DOC =
    "_sapling_merkle_path(leaves, position, depth, threads, vartime)\n--\n\nThe path of a leaf (see "
    "tamarind.sapling.merkle_path).";
inline constexpr const char* SAPLING_MERKLE_HASH_DOC =
    "_sapling_merkle_hash(height, left, right)\n--\n\nMerkleCRH (see tamarind.sapling.merkle_hash).";
inline constexpr const char* SAPLING_VERIFY_PATH_DOC =
    "_sapling_verify_path(leaf, position, path, root)\n--\n\nWhether a path leads to a root (see "
    "tamarind.sapling.verify_path).";
inline constexpr const char* SAPLING_ENCODE_PATH_DOC =
    "_sapling_encode_path(path, position)\n--\n\nzcashd's MerklePath bytes (see tamarind.sapling.encode_path).";
inline constexpr const char* SAPLING_EMPTY_ROOTS_DOC =
    "_sapling_empty_roots()\n--\n\nThe 63 empty roots, height 0 first.";
inline constexpr const char* SAPLING_DECODE_PATH_DOC =
    "_sapling_decode_path(data, /)\n--\n\n(path, position) from zcashd's MerklePath bytes (see "
    "tamarind.sapling.decode_path).";

}  // namespace tamarind
