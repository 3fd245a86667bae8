"""Zcash Sapling's note commitment tree and note commitments.

Compatible with Zcash Sapling (the protocol's MerkleCRH and NoteCommit, and
the trees librustzcash and zcashd build): every hash here is the Sapling
Pedersen hash of `ZcashPedersen()` with its default group-hash
personalization "Zcash_PH", over a bit string that starts with a 6-bit prefix.
32-byte values (tree nodes, leaves, roots, cmu) are little-endian, as Zcash
stores them.

    from tamarind import sapling

    root = sapling.merkle_root([cmu1, cmu2, cmu3])     # depth 32, the rest empty
    path = sapling.merkle_path([cmu1, cmu2, cmu3], 1)  # 32 siblings, bottom up
    assert sapling.verify_path(cmu2, 1, path, root)

"Personalization" means two things, kept apart here. `ZcashPedersen`'s
`personalization` is the 8-byte tag of the group hash that derives the
generators; Zcash only ever uses "Zcash_PH", the default, and so does every
function of this module. Zcash's own texts call the 6-bit prefix of the hashed
bits a personalization too: MerkleTree(height) is the height as 6 bits, least
significant first, and NoteCommitment is six ones. These functions add that
prefix themselves. Height 63 would read as six ones, so tree heights stop at 62.

A wallet holds the tree's frontier and its notes' witnesses rather than every
leaf: `CommitmentTree` and `IncrementalWitness` are zcashd's incremental tree
and witness, byte for byte (its serialized forms, its roots and paths):

    tree = sapling.CommitmentTree.from_bytes(bytes.fromhex(final_state))
    [mine] = tree.extend(block_cmus, witnesses=kept, mark=[3])  # one batch
    path = mine.path()                                          # to spend it
"""

from __future__ import annotations

import operator
from typing import TYPE_CHECKING, Iterable, List, Optional, Sequence, Tuple

import _tamarind
from _tamarind import CommitmentTree, IncrementalWitness

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

__all__ = [
    "CommitmentTree",
    "IncrementalWitness",
    "UNCOMMITTED",
    "MAX_HEIGHT",
    "Q",
    "decode_path",
    "empty_root",
    "encode_path",
    "merkle_hash",
    "merkle_path",
    "merkle_root",
    "note_commitment",
    "verify_path",
]

# The Jubjub base field (BLS12-381's scalar field): tree nodes are its elements.
Q = 0x73EDA753299D7D483339D80809A1D80553BDA402FFFE5BFEFFFFFFFF00000001
# The highest tree height with its own prefix (63 is NoteCommitment's six ones).
MAX_HEIGHT = 62
# The value of an empty leaf.
UNCOMMITTED = (1).to_bytes(32, "little")


def _bytes_like(value: ReadableBuffer, name: str) -> ReadableBuffer:
    """`value`, once it is known to be bytes-like (the extension reads it)."""
    try:
        memoryview(value)
    except TypeError:
        raise TypeError(f"{name} must be a bytes-like object, not {type(value).__name__!r}") from None
    return value


def _height(height: int, name: str = "height", top: int = MAX_HEIGHT) -> int:
    try:
        h = operator.index(height)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(height).__name__!r}") from None
    if not 0 <= h <= top:
        raise ValueError(f"{name} must be in [0, {top}], not {h}")
    return h


def merkle_hash(height: int, left: ReadableBuffer, right: ReadableBuffer) -> bytes:
    """MerkleCRH: the node at `height` + 1 over the children `left` and `right` at `height`.

    The Sapling Pedersen hash ("Zcash_PH") of 516 bits: `height` as 6 bits,
    least significant first (0 ≤ height ≤ 62; 0 hashes two leaves), then the
    low 255 bits of `left` and of `right`. Children are 32-byte little-endian
    field elements; one not below the Jubjub base-field modulus raises
    `ValueError`. Returns the node, 32 bytes little-endian, as zcashd's and
    librustzcash's `merkle_hash(depth, lhs, rhs)`.
    """
    return _tamarind._sapling_merkle_hash(_height(height), left, right)


_empty_roots: Optional[Tuple[bytes, ...]] = None


def _empty() -> Tuple[bytes, ...]:
    global _empty_roots
    if _empty_roots is None:
        _empty_roots = _tamarind._sapling_empty_roots()
    return _empty_roots


def empty_root(height: int) -> bytes:
    """The root of an empty subtree of `height` levels (0 ≤ height ≤ 62):
    `UNCOMMITTED` at height 0, then merkle_hash(h, e, e) over the one below.

    Zcash's "empty roots" / "uncommitted" nodes; `empty_root(32)` is the root of
    an empty Sapling note commitment tree. All 63 are computed on first use
    and then served from memory.
    """
    return _empty()[_height(height)]


def merkle_root(
    leaves: Iterable[ReadableBuffer], depth: int = 32, threads: Optional[int] = None, vartime: bool = False
) -> bytes:
    """The root of the depth-`depth` Sapling tree whose first leaves are `leaves`
    (32-byte little-endian values, in order) and whose other leaves are empty.

    `depth` is 32 for Zcash's note commitment tree (0 ≤ depth ≤ 62). Each level
    is hashed with `hash_many` on `threads` native threads (default: every usable
    CPU), and `threads` is refused as `hash_many` refuses it, even when no level
    needs hashing; subtrees with no leaf are never hashed, their empty roots stand in.
    More than 2**depth leaves, or a leaf that is not 32 bytes or not a canonical
    field element, raises `ValueError` naming its index.

    With `vartime=True` the levels are hashed in variable time (`hash_many`'s
    `vartime`): the same root, faster, but the time taken leaks the leaves. Only
    for leaves that are public anyway, such as the note commitments of the
    chain; the default is constant time.
    """
    return _tamarind._sapling_merkle_root(leaves, _height(depth, "depth"), threads, vartime)


def merkle_path(
    leaves: Sequence[ReadableBuffer],
    position: int,
    depth: int = 32,
    threads: Optional[int] = None,
    vartime: bool = False,
) -> List[bytes]:
    """The authentication path of the leaf at `position` in the tree of
    `merkle_root(leaves, depth)`: the sibling at each height, bottom up
    (`depth` values of 32 bytes), as Zcash's witnesses hold them.

    `position` must index one of `leaves` (`ValueError` otherwise). Takes the
    same arguments (`vartime` included: public leaves only) and raises the same
    errors as `merkle_root`.
    """
    try:
        index = operator.index(position)
    except TypeError:
        raise TypeError(f"position must be an integer, not {type(position).__name__!r}") from None
    count = len(leaves)
    if not 0 <= index < count:
        raise ValueError(f"position {index} is out of range for {count} leaves")
    return _tamarind._sapling_merkle_path(leaves, index, _height(depth, "depth"), threads, vartime)


def verify_path(leaf: ReadableBuffer, position: int, path: Sequence[ReadableBuffer], root: ReadableBuffer) -> bool:
    """Whether `path` (siblings bottom up, as `merkle_path` returns) leads from
    `leaf` at `position` to `root` in a tree of depth len(path).

    Returns False for a path that does not lead there. Arguments that no tree
    could hold raise instead: a position not in [0, 2**len(path)), values that
    are not 32 bytes (`ValueError`) or not bytes-like (`TypeError`), and
    nodes that are not canonical field elements (`ValueError`, from `merkle_hash`).
    """
    try:
        index = operator.index(position)
    except TypeError:
        raise TypeError(f"position must be an integer, not {type(position).__name__!r}") from None
    depth = _height(len(path), "len(path)")
    if not 0 <= index < 1 << depth:
        raise ValueError(f"position {index} is out of range for a tree of depth {depth}")
    return _tamarind._sapling_verify_path(leaf, index, path, root)


def encode_path(path: Sequence[ReadableBuffer], position: int) -> bytes:
    """zcashd's `MerklePath` bytes of `path` (siblings bottom up, as
    `merkle_path` and `IncrementalWitness.path` return them) and `position`:
    the depth as a CompactSize, each sibling as a CompactSize 32 and its 32
    bytes, root side first, then the position as 8 bytes little-endian.

    1 ≤ len(path) ≤ 62, 0 ≤ position < 2**len(path), and siblings that are
    32-byte canonical field elements, else `ValueError`.
    """
    try:
        index = operator.index(position)
    except TypeError:
        raise TypeError(f"position must be an integer, not {type(position).__name__!r}") from None
    if index < 0:
        raise ValueError(f"position {index} is out of range for a path of depth {len(path)}")
    return _tamarind._sapling_encode_path(path, index)


def decode_path(data: ReadableBuffer) -> Tuple[List[bytes], int]:
    """`(path, position)` from zcashd's `MerklePath` bytes (see `encode_path`):
    the siblings bottom up, as `verify_path` takes them. Bytes no path could
    have (truncated, trailing, an element that is not 32 bytes or not below
    q, a depth of 0 or above 62, a position ≥ 2**depth) raise `ValueError`
    saying what and at which byte.
    """
    path, position = _tamarind._sapling_decode_path(data)
    return path, position


def note_commitment(g_d: ReadableBuffer, pk_d: ReadableBuffer, value: int, rcm: ReadableBuffer) -> bytes:
    """The Sapling note commitment's u-coordinate, cmu (32 bytes little-endian),
    as Zcash's NoteCommit^Sapling and librustzcash's `Note::cmu`.

    The Pedersen hash to a point ("Zcash_PH") of the bits 1,1,1,1,1,1
    (NoteCommitment) ‖ `value` as 64 bits ‖ the 256 bits of `g_d` ‖ those of
    `pk_d`, all least significant first, plus [rcm]·R for R the group hash of
    "r". `g_d` and `pk_d` are the 32-byte encodings of the diversified base and
    transmission key, hashed as given: each must decode canonically (ZIP 216) to
    a point of Jubjub's prime-order subgroup other than the identity, as every
    payment address's do. `value` is in zatoshis, 0 ≤ value < 2**64; `rcm` is the
    32-byte little-endian commitment trapdoor, below the Jubjub subgroup order.
    Computed in constant time in all four (the checks included): `ValueError`
    naming the argument for a point no address holds, an out-of-range `value` or
    `rcm`, or a value that is not 32 bytes; `TypeError` for arguments of the
    wrong type.
    """
    # The extension checks the lengths and ranges, in the same words; only its
    # TypeErrors are worded otherwise, so the types are checked here.
    g_d, pk_d, rcm = _bytes_like(g_d, "g_d"), _bytes_like(pk_d, "pk_d"), _bytes_like(rcm, "rcm")
    try:
        zatoshis = operator.index(value)
    except TypeError:
        raise TypeError(f"value must be an integer, not {type(value).__name__!r}") from None
    return _tamarind._sapling_note_commitment(g_d, pk_d, zatoshis, rcm)
