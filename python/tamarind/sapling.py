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

One `ZcashPedersen` per thread serves every call: a caching instance is
borrowed exclusively for each call, so sharing one between threads could make
a call fail with "Already borrowed" (should the extension ever run calls
concurrently), and per-thread instances need no lock. A call that re-enters
this module on the same thread (a signal handler run while a long call checks
for Ctrl-C) gets a fresh instance instead.
"""

from __future__ import annotations

import operator
import threading
from typing import TYPE_CHECKING, Callable, Iterable, List, Optional, Sequence, Tuple, TypeVar

import _tamarind
from _tamarind import ZcashPedersen

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

__all__ = [
    "UNCOMMITTED",
    "MAX_HEIGHT",
    "Q",
    "empty_root",
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

# MerkleCRH's input: 6 bits of height, then 255 bits of each child.
_NODE_BITS = 255
_MERKLE_BITS = 6 + 2 * _NODE_BITS
_MERKLE_BYTES = (_MERKLE_BITS + 7) // 8

T = TypeVar("T")


class _PerThread(threading.local):
    def __init__(self) -> None:
        self.hasher = ZcashPedersen()
        self.busy = False


_per_thread = _PerThread()


def _with_hasher(call: Callable[[ZcashPedersen], T]) -> T:
    state = _per_thread
    if state.busy:
        return call(ZcashPedersen())
    state.busy = True
    try:
        return call(state.hasher)
    finally:
        state.busy = False


def _view(value: ReadableBuffer, name: str) -> memoryview:
    """A one-byte-per-item view of a bytes-like argument."""
    try:
        return memoryview(value).cast("B")
    except TypeError:
        raise TypeError(f"{name} must be a bytes-like object, not {type(value).__name__!r}") from None


def _buffer(value: ReadableBuffer, name: str) -> memoryview:
    """A one-byte-per-item view of a 32-byte bytes-like argument."""
    view = _view(value, name)
    if len(view) != 32:
        raise ValueError(f"{name} must be 32 bytes, not {len(view)}")
    return view


def _node(value: ReadableBuffer, name: str) -> int:
    n = int.from_bytes(_buffer(value, name), "little")
    if n >= Q:
        raise ValueError(f"{name} is not a canonical field element (not below the Jubjub base-field modulus)")
    return n


def _height(height: int, name: str = "height", top: int = MAX_HEIGHT) -> int:
    try:
        h = operator.index(height)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(height).__name__!r}") from None
    if not 0 <= h <= top:
        raise ValueError(f"{name} must be in [0, {top}], not {h}")
    return h


def _merkle_input(height: int, left: int, right: int) -> bytes:
    return (height | left << 6 | right << (6 + _NODE_BITS)).to_bytes(_MERKLE_BYTES, "little")


def merkle_hash(height: int, left: ReadableBuffer, right: ReadableBuffer) -> bytes:
    """MerkleCRH: the node at `height` + 1 over the children `left` and `right` at `height`.

    The Sapling Pedersen hash ("Zcash_PH") of 516 bits: `height` as 6 bits,
    least significant first (0 ≤ height ≤ 62; 0 hashes two leaves), then the
    low 255 bits of `left` and of `right`. Children are 32-byte little-endian
    field elements; one not below the Jubjub base-field modulus raises
    `ValueError`. Returns the node, 32 bytes little-endian, as zcashd's and
    librustzcash's `merkle_hash(depth, lhs, rhs)`.
    """
    data = _merkle_input(_height(height), _node(left, "left"), _node(right, "right"))
    return _with_hasher(lambda hasher: hasher.hash_bits(data, _MERKLE_BITS))


def _compute_empty_roots() -> Tuple[bytes, ...]:
    roots = [UNCOMMITTED]
    for height in range(MAX_HEIGHT):
        roots.append(merkle_hash(height, roots[-1], roots[-1]))
    return tuple(roots)


_empty_roots: Optional[Tuple[bytes, ...]] = None
_empty_root_values: Tuple[int, ...] = ()


def _empty() -> Tuple[bytes, ...]:
    global _empty_roots, _empty_root_values
    if _empty_roots is None:
        # Two threads may both compute them; the results are equal.
        roots = _compute_empty_roots()
        _empty_root_values = tuple(int.from_bytes(root, "little") for root in roots)
        _empty_roots = roots
    return _empty_roots


def empty_root(height: int) -> bytes:
    """The root of an empty subtree of `height` levels (0 ≤ height ≤ 62):
    `UNCOMMITTED` at height 0, then merkle_hash(h, e, e) over the one below.

    Zcash's "empty roots" / "uncommitted" nodes; `empty_root(32)` is the root of
    an empty Sapling note commitment tree. All 63 are computed on first use
    and then served from memory.
    """
    return _empty()[_height(height)]


def _leaf_values(leaves: Iterable[ReadableBuffer], depth: int) -> List[int]:
    values = []
    for index, leaf in enumerate(leaves):
        if index >> depth:
            raise ValueError(f"leaf {index}: a tree of depth {depth} holds at most 2**{depth} leaves")
        # The usual leaf, 32 bytes below Q, without a view or a name; anything else is checked in full.
        if type(leaf) is bytes and len(leaf) == 32:
            value = int.from_bytes(leaf, "little")
            if value < Q:
                values.append(value)
                continue
        values.append(_node(leaf, f"leaf {index}"))
    return values


def _merkle_hash_many(items: List[bytes], threads: Optional[int], vartime: bool) -> List[bytes]:
    return _with_hasher(
        lambda hasher: hasher.hash_many(items, threads=threads, bit_length=_MERKLE_BITS, vartime=vartime)
    )


def _levels(leaves: Iterable[ReadableBuffer], depth: int, threads: Optional[int], vartime: bool) -> List[List[int]]:
    """The non-empty prefix of every level, from the leaves (level 0) to the root
    (level `depth`); every node past it is the empty root of its level."""
    depth = _height(depth, "depth")
    # Checked by the extension even when no level needs hashing: an empty
    # hash_many refuses exactly the `threads` and `vartime` a real one would.
    _merkle_hash_many([], threads, vartime)
    _empty()
    empties = _empty_root_values
    level = _leaf_values(leaves, depth)
    levels = [level]
    for height in range(depth):
        if not level:
            break
        if len(level) % 2:
            level = level + [empties[height]]
        # _merkle_input, inlined: a call per node was a tenth of a variable-time root.
        items = [
            (height | left << 6 | right << (6 + _NODE_BITS)).to_bytes(_MERKLE_BYTES, "little")
            for left, right in zip(level[0::2], level[1::2])
        ]
        level = [int.from_bytes(digest, "little") for digest in _merkle_hash_many(items, threads, vartime)]
        levels.append(level)
    return levels


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
    levels = _levels(leaves, depth, threads, vartime)
    if not levels[0]:
        return empty_root(depth)
    return levels[-1][0].to_bytes(32, "little")


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
    levels = _levels(leaves, depth, threads, vartime)
    empties = _empty()
    path = []
    for height, level in enumerate(levels[:-1]):
        sibling = index ^ 1
        path.append(level[sibling].to_bytes(32, "little") if sibling < len(level) else empties[height])
        index >>= 1
    return path


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
    expected = bytes(_buffer(root, "root"))
    node = bytes(_buffer(leaf, "leaf"))
    for height, sibling in enumerate(path):
        left, right = (sibling, node) if index & 1 else (node, sibling)
        node = merkle_hash(height, left, right)
        index >>= 1
    return node == expected


def note_commitment(g_d: ReadableBuffer, pk_d: ReadableBuffer, value: int, rcm: ReadableBuffer) -> bytes:
    """The Sapling note commitment's u-coordinate, cmu (32 bytes little-endian),
    as Zcash's NoteCommit^Sapling and librustzcash's `Note::cmu`.

    The Pedersen hash to a point ("Zcash_PH") of the bits 1,1,1,1,1,1
    (NoteCommitment) ‖ `value` as 64 bits ‖ the 256 bits of `g_d` ‖ those of
    `pk_d`, all least significant first, plus [rcm]·R for R the group hash of
    "r". `g_d` and `pk_d` are the 32-byte encodings of the diversified base and
    transmission key, hashed as given; `value` is in zatoshis, 0 ≤ value < 2**64;
    `rcm` is the 32-byte little-endian commitment trapdoor, below the Jubjub
    subgroup order. Computed in constant time in all four (the range checks
    included): `ValueError` for an out-of-range `value` or `rcm`, or a value that
    is not 32 bytes; `TypeError` for arguments of the wrong type.
    """
    # The extension checks the lengths and ranges, in the same words; only its
    # TypeErrors are worded otherwise, so the types are checked here.
    g_d_view, pk_d_view, rcm_view = _view(g_d, "g_d"), _view(pk_d, "pk_d"), _view(rcm, "rcm")
    try:
        zatoshis = operator.index(value)
    except TypeError:
        raise TypeError(f"value must be an integer, not {type(value).__name__!r}") from None
    return _tamarind._sapling_note_commitment(g_d_view, pk_d_view, zatoshis, rcm_view)
