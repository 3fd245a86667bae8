"""Pedersen hashes over Jubjub and Baby Jubjub, computed by a C++20 core.

Every `hash` returns a new 32-byte `bytes` object. An input longer than a
configurable hasher's capacity raises `PanicException` (qualified name
pyo3_runtime.PanicException), which derives from `BaseException` and is not an
attribute of this module (`_panic_exception()` returns it).

Every class also has `hash_bits` (an input of any number of bits),
`hash_vartime` (the same digests in variable time, for public data only),
`point` (the hash point as integers), `hash_many` (many inputs on native
threads, `vartime=True` for public data),
`incremental` (one input fed in pieces, see `IncrementalHash`), the
properties `capacity` and `capacity_bits`, and pickles by its constructor
arguments. What they take as data is any bytes-like object; `hash` takes
bytes. Long calls raise `KeyboardInterrupt` on Ctrl-C.

Calls on 2,048 bytes of input or more (hash_many: of its items in all),
configurable hashers' table builds and the Sapling tree calls compute
without the interpreter lock, so other Python threads run meanwhile. Any
number of threads may use one hasher at once; a call on an `IncrementalHash`,
`CommitmentTree` or `IncrementalWitness` from another thread waits for the
running one. Code that runs during a call on the calling thread -- a signal
handler -- is refused with `RuntimeError` ("Already borrowed" or "Already
mutably borrowed") when it would use a caching hasher or an object with state
that the call is using (reading along with a read is allowed).
"""

from typing import Dict, Iterable, List, Optional, SupportsIndex, Tuple, Type, final

from _typeshed import ReadableBuffer

__all__ = ["BabyJubjubPedersen", "JubjubBoweHopwood", "CircomPedersen", "ZcashPedersen"]

@final
class BabyJubjubPedersen:
    """Unsigned-window Pedersen hash over the ERC-2494 Baby Jubjub curve
    (arkworks `pedersen::CRH` construction). Output is the compressed curve point."""

    def __new__(cls, segments: SupportsIndex, bits_per_window: SupportsIndex) -> BabyJubjubPedersen: ...
    def hash(self, data: bytes) -> bytes:
        """Hash `data`, returning the compressed point as bytes."""
    @property
    def capacity(self) -> Optional[int]:
        """The longest input in bytes, or None when any length fits (the caching hashers)."""
    @property
    def capacity_bits(self) -> Optional[int]:
        """The longest input in bits (hash_bits), or None when any length fits (the caching hashers)."""
    def hash_bits(self, data: ReadableBuffer, bit_length: SupportsIndex) -> bytes:
        """Hash the first `bit_length` bits of `data` (any bytes-like object): message
        bit i is bit i % 8 of data[i // 8], least significant first, exactly as
        hash() reads bytes, so hash_bits(d, 8 * len(d)) == hash(d). Chunks and
        segments follow bit_length, not the bytes: this is the hash of a bit string,
        as Zcash defines PedersenHash and circom's Pedersen(n) template hashes n bits.
        `data` must have exactly ceil(bit_length / 8) bytes and every bit from
        bit_length on must be zero, else ValueError. Constant time in the bits.

        Returns the compressed point: 32 bytes, y little-endian with
        bit 7 of byte 31 set when x > (p - 1) / 2."""
    def hash_vartime(self, data: ReadableBuffer, bit_length: Optional[SupportsIndex] = None) -> bytes:
        """The digest hash(data) returns (with `bit_length`, hash_bits(data, bit_length)),
        bit for bit, computed in VARIABLE TIME: table entries are loaded at addresses
        the input picks, so the time taken and the memory touched leak the input to
        anyone who can observe them (a co-tenant sharing the machine, its caches).
        For data that is public anyway only (tree nodes over on-chain commitments,
        published data sets); never for secrets, nullifiers or note contents.
        `data` is any bytes-like object, checked as hash_bits() checks it.

        Returns the compressed point: 32 bytes, y little-endian with
        bit 7 of byte 31 set when x > (p - 1) / 2."""
    def point(self, data: ReadableBuffer, bit_length: Optional[SupportsIndex] = None) -> Tuple[int, int]:
        """The hash point of `data` (any bytes-like object) as a tuple (x, y) of ints in
        [0, p): the affine coordinates of the point whose encoding hash() returns,
        before encoding. With `bit_length`, of the first bit_length bits, read as
        hash_bits() reads them.

        Coordinates are in the EIP-2494 model of Baby Jubjub
        (a = 168700, d = 168696): the point that hash() compresses."""
    def hash_many(
        self,
        items: Iterable[ReadableBuffer],
        threads: Optional[SupportsIndex] = None,
        bit_length: Optional[SupportsIndex] = None,
        vartime: bool = False,
    ) -> List[bytes]:
        """Hash every bytes-like object of the iterable `items`, returning the list of
        digests: the same as [self.hash(x) for x in items] (or, with `bit_length`,
        [self.hash_bits(x, bit_length) for x in items]), computed on `threads`
        native threads (default: the usable CPUs; 1 runs on the calling thread).
        Items are checked in order: the first bad one raises what hash() or
        hash_bits() would, naming its index; nothing is returned then.
        With a true `vartime`, the items are hashed as hash_vartime() hashes them:
        the same digests, faster, but leaking the items through timing; for public
        data only. The default is constant time.

        Each digest is the compressed point: 32 bytes, y little-endian with
        bit 7 of byte 31 set when x > (p - 1) / 2."""
    def incremental(self, data: ReadableBuffer = b"") -> IncrementalHash:
        """A new IncrementalHash over this hasher: feed it pieces (any bytes-like
        objects) with update(), then read digest(), equal to self.hash() of the
        pieces joined. hashlib.file_digest(f, self.incremental) hashes a file."""
    def __reduce__(self) -> Tuple[object, Tuple[str, Tuple[object, ...]]]:
        """Pickled by its constructor arguments."""

@final
class JubjubBoweHopwood:
    """Bowe–Hopwood / Zcash-Sapling Pedersen hash over Jubjub
    (arkworks `bowe_hopwood::CRH` construction). Output is the x-coordinate."""

    def __new__(cls, segments: SupportsIndex, chunks_per_segment: SupportsIndex) -> JubjubBoweHopwood: ...
    def hash(self, data: bytes) -> bytes:
        """Hash `data`, returning the x-coordinate as bytes."""
    @property
    def capacity(self) -> Optional[int]:
        """The longest input in bytes, or None when any length fits (the caching hashers)."""
    @property
    def capacity_bits(self) -> Optional[int]:
        """The longest input in bits (hash_bits), or None when any length fits (the caching hashers)."""
    def hash_bits(self, data: ReadableBuffer, bit_length: SupportsIndex) -> bytes:
        """Hash the first `bit_length` bits of `data` (any bytes-like object): message
        bit i is bit i % 8 of data[i // 8], least significant first, exactly as
        hash() reads bytes, so hash_bits(d, 8 * len(d)) == hash(d). Chunks and
        segments follow bit_length, not the bytes: this is the hash of a bit string,
        as Zcash defines PedersenHash and circom's Pedersen(n) template hashes n bits.
        `data` must have exactly ceil(bit_length / 8) bytes and every bit from
        bit_length on must be zero, else ValueError. Constant time in the bits.

        Returns the x-coordinate, 32 bytes little-endian."""
    def hash_vartime(self, data: ReadableBuffer, bit_length: Optional[SupportsIndex] = None) -> bytes:
        """The digest hash(data) returns (with `bit_length`, hash_bits(data, bit_length)),
        bit for bit, computed in VARIABLE TIME: table entries are loaded at addresses
        the input picks, so the time taken and the memory touched leak the input to
        anyone who can observe them (a co-tenant sharing the machine, its caches).
        For data that is public anyway only (tree nodes over on-chain commitments,
        published data sets); never for secrets, nullifiers or note contents.
        `data` is any bytes-like object, checked as hash_bits() checks it.

        Returns the x-coordinate, 32 bytes little-endian."""
    def point(self, data: ReadableBuffer, bit_length: Optional[SupportsIndex] = None) -> Tuple[int, int]:
        """The hash point of `data` (any bytes-like object) as a tuple (x, y) of ints in
        [0, p): the affine coordinates of the point whose encoding hash() returns,
        before encoding. With `bit_length`, of the first bit_length bits, read as
        hash_bits() reads them.

        Coordinates are in Jubjub's model (a = -1, d = -10240/10241):
        (u, v), u being what hash() returns."""
    def hash_many(
        self,
        items: Iterable[ReadableBuffer],
        threads: Optional[SupportsIndex] = None,
        bit_length: Optional[SupportsIndex] = None,
        vartime: bool = False,
    ) -> List[bytes]:
        """Hash every bytes-like object of the iterable `items`, returning the list of
        digests: the same as [self.hash(x) for x in items] (or, with `bit_length`,
        [self.hash_bits(x, bit_length) for x in items]), computed on `threads`
        native threads (default: the usable CPUs; 1 runs on the calling thread).
        Items are checked in order: the first bad one raises what hash() or
        hash_bits() would, naming its index; nothing is returned then.
        With a true `vartime`, the items are hashed as hash_vartime() hashes them:
        the same digests, faster, but leaking the items through timing; for public
        data only. The default is constant time.

        Each digest is the x-coordinate, 32 bytes little-endian."""
    def incremental(self, data: ReadableBuffer = b"") -> IncrementalHash:
        """A new IncrementalHash over this hasher: feed it pieces (any bytes-like
        objects) with update(), then read digest(), equal to self.hash() of the
        pieces joined. hashlib.file_digest(f, self.incremental) hashes a file."""
    def __reduce__(self) -> Tuple[object, Tuple[str, Tuple[object, ...]]]:
        """Pickled by its constructor arguments."""

@final
class CircomPedersen:
    """circom / iden3-compatible Baby Jubjub Pedersen hash (`circomlibjs pedersenHash`).

    `hash(data)` returns the 32-byte packed point, byte-identical to circomlibjs.
    Reusable: generators are derived once and cached across calls, so reuse the
    same instance for repeated hashing."""

    def __new__(cls) -> CircomPedersen: ...
    def hash(self, data: bytes) -> bytes:
        """Hash `data`, returning the 32-byte packed point (circomlibjs `packPoint`)."""
    @property
    def capacity(self) -> Optional[int]:
        """The longest input in bytes, or None when any length fits (the caching hashers)."""
    @property
    def capacity_bits(self) -> Optional[int]:
        """The longest input in bits (hash_bits), or None when any length fits (the caching hashers)."""
    def hash_bits(self, data: ReadableBuffer, bit_length: SupportsIndex) -> bytes:
        """Hash the first `bit_length` bits of `data` (any bytes-like object): message
        bit i is bit i % 8 of data[i // 8], least significant first, exactly as
        hash() reads bytes, so hash_bits(d, 8 * len(d)) == hash(d). Chunks and
        segments follow bit_length, not the bytes: this is the hash of a bit string,
        as Zcash defines PedersenHash and circom's Pedersen(n) template hashes n bits.
        `data` must have exactly ceil(bit_length / 8) bytes and every bit from
        bit_length on must be zero, else ValueError. Constant time in the bits.

        Returns the 32-byte packed point, byte-identical to
        circomlibjs's packPoint."""
    def hash_vartime(self, data: ReadableBuffer, bit_length: Optional[SupportsIndex] = None) -> bytes:
        """The digest hash(data) returns (with `bit_length`, hash_bits(data, bit_length)),
        bit for bit, computed in VARIABLE TIME: table entries are loaded at addresses
        the input picks, so the time taken and the memory touched leak the input to
        anyone who can observe them (a co-tenant sharing the machine, its caches).
        For data that is public anyway only (tree nodes over on-chain commitments,
        published data sets); never for secrets, nullifiers or note contents.
        `data` is any bytes-like object, checked as hash_bits() checks it.

        Returns the 32-byte packed point, byte-identical to
        circomlibjs's packPoint."""
    def point(self, data: ReadableBuffer, bit_length: Optional[SupportsIndex] = None) -> Tuple[int, int]:
        """The hash point of `data` (any bytes-like object) as a tuple (x, y) of ints in
        [0, p): the affine coordinates of the point whose encoding hash() returns,
        before encoding. With `bit_length`, of the first bit_length bits, read as
        hash_bits() reads them.

        Coordinates are in the EIP-2494 model of Baby Jubjub
        (a = 168700, d = 168696), as circomlibjs's babyJub.unpackPoint returns them
        for hash()'s packed output and as circom's Pedersen(n) template outputs them;
        x is what Tornado-style commitments and nullifier hashes take."""
    def hash_many(
        self,
        items: Iterable[ReadableBuffer],
        threads: Optional[SupportsIndex] = None,
        bit_length: Optional[SupportsIndex] = None,
        vartime: bool = False,
    ) -> List[bytes]:
        """Hash every bytes-like object of the iterable `items`, returning the list of
        digests: the same as [self.hash(x) for x in items] (or, with `bit_length`,
        [self.hash_bits(x, bit_length) for x in items]), computed on `threads`
        native threads (default: the usable CPUs; 1 runs on the calling thread).
        Items are checked in order: the first bad one raises what hash() or
        hash_bits() would, naming its index; nothing is returned then.
        With a true `vartime`, the items are hashed as hash_vartime() hashes them:
        the same digests, faster, but leaking the items through timing; for public
        data only. The default is constant time.

        Each digest is the 32-byte packed point, byte-identical to
        circomlibjs's packPoint."""
    def incremental(self, data: ReadableBuffer = b"") -> IncrementalHash:
        """A new IncrementalHash over this hasher: feed it pieces (any bytes-like
        objects) with update(), then read digest(), equal to self.hash() of the
        pieces joined. hashlib.file_digest(f, self.incremental) hashes a file."""
    def __reduce__(self) -> Tuple[object, Tuple[str, Tuple[object, ...]]]:
        """Pickled by its constructor arguments."""

@final
class ZcashPedersen:
    """Zcash Sapling Pedersen hash over Jubjub.

    `hash(data)` returns the 32-byte little-endian u-coordinate. The optional
    8-byte `personalization` defaults to `b"Zcash_PH"`. Reusable: generators are
    derived once and cached across calls."""

    def __new__(cls, personalization: Optional[bytes] = None) -> ZcashPedersen: ...
    def hash(self, data: bytes) -> bytes:
        """Hash `data`, returning the 32-byte little-endian u-coordinate."""
    @property
    def capacity(self) -> Optional[int]:
        """The longest input in bytes, or None when any length fits (the caching hashers)."""
    @property
    def capacity_bits(self) -> Optional[int]:
        """The longest input in bits (hash_bits), or None when any length fits (the caching hashers)."""
    def hash_bits(self, data: ReadableBuffer, bit_length: SupportsIndex) -> bytes:
        """Hash the first `bit_length` bits of `data` (any bytes-like object): message
        bit i is bit i % 8 of data[i // 8], least significant first, exactly as
        hash() reads bytes, so hash_bits(d, 8 * len(d)) == hash(d). Chunks and
        segments follow bit_length, not the bytes: this is the hash of a bit string,
        as Zcash defines PedersenHash and circom's Pedersen(n) template hashes n bits.
        `data` must have exactly ceil(bit_length / 8) bytes and every bit from
        bit_length on must be zero, else ValueError. Constant time in the bits.

        Returns the u-coordinate, 32 bytes little-endian: Zcash's
        PedersenHash (under the default personalization; e.g. MerkleCRH hashes a
        6-bit height, then the low 255 bits of each child)."""
    def hash_vartime(self, data: ReadableBuffer, bit_length: Optional[SupportsIndex] = None) -> bytes:
        """The digest hash(data) returns (with `bit_length`, hash_bits(data, bit_length)),
        bit for bit, computed in VARIABLE TIME: table entries are loaded at addresses
        the input picks, so the time taken and the memory touched leak the input to
        anyone who can observe them (a co-tenant sharing the machine, its caches).
        For data that is public anyway only (tree nodes over on-chain commitments,
        published data sets); never for secrets, nullifiers or note contents.
        `data` is any bytes-like object, checked as hash_bits() checks it.

        Returns the u-coordinate, 32 bytes little-endian: Zcash's
        PedersenHash (under the default personalization; e.g. MerkleCRH hashes a
        6-bit height, then the low 255 bits of each child)."""
    def point(self, data: ReadableBuffer, bit_length: Optional[SupportsIndex] = None) -> Tuple[int, int]:
        """The hash point of `data` (any bytes-like object) as a tuple (x, y) of ints in
        [0, p): the affine coordinates of the point whose encoding hash() returns,
        before encoding. With `bit_length`, of the first bit_length bits, read as
        hash_bits() reads them.

        Coordinates are in Jubjub's model (a = -1, d = -10240/10241):
        (u, v) as Zcash's PedersenHashToPoint gives them; u is what hash() returns."""
    def hash_many(
        self,
        items: Iterable[ReadableBuffer],
        threads: Optional[SupportsIndex] = None,
        bit_length: Optional[SupportsIndex] = None,
        vartime: bool = False,
    ) -> List[bytes]:
        """Hash every bytes-like object of the iterable `items`, returning the list of
        digests: the same as [self.hash(x) for x in items] (or, with `bit_length`,
        [self.hash_bits(x, bit_length) for x in items]), computed on `threads`
        native threads (default: the usable CPUs; 1 runs on the calling thread).
        Items are checked in order: the first bad one raises what hash() or
        hash_bits() would, naming its index; nothing is returned then.
        With a true `vartime`, the items are hashed as hash_vartime() hashes them:
        the same digests, faster, but leaking the items through timing; for public
        data only. The default is constant time.

        Each digest is the u-coordinate, 32 bytes little-endian: Zcash's
        PedersenHash (under the default personalization; e.g. MerkleCRH hashes a
        6-bit height, then the low 255 bits of each child)."""
    def incremental(self, data: ReadableBuffer = b"") -> IncrementalHash:
        """A new IncrementalHash over this hasher: feed it pieces (any bytes-like
        objects) with update(), then read digest(), equal to self.hash() of the
        pieces joined. hashlib.file_digest(f, self.incremental) hashes a file."""
    def __reduce__(self) -> Tuple[object, Tuple[str, Tuple[object, ...]]]:
        """Pickled by its constructor arguments."""

@final
class IncrementalHash:
    """One input fed in pieces to a hasher, made by its incremental() method.

    update() any number of times, then digest() or hexdigest(); the digest
    equals the hasher's hash() of the pieces joined. Memory does not grow
    with the input. Calls use the hasher as hash() does. A call from another
    thread while one runs waits for it."""

    @property
    def name(self) -> str:
        """The name of the hasher class."""
    @property
    def digest_size(self) -> int:
        """The size of a digest in bytes: 32."""
    def update(self, data: ReadableBuffer) -> None:
        """Feed `data` (any bytes-like object), the next piece of the input."""
    def digest(self) -> bytes:
        """The hash of the pieces fed so far, as the hasher's hash() of them joined."""
    def hexdigest(self) -> str:
        """The digest as 64 lowercase hex digits."""
    def copy(self) -> IncrementalHash:
        """An independent copy of this state, bound to the same hasher."""
    def __copy__(self) -> IncrementalHash: ...
    def __deepcopy__(self, memo: object, /) -> IncrementalHash: ...

@final
class CommitmentTree:
    """zcashd's incremental Sapling note commitment tree (IncrementalMerkleTree),
    empty when made: the frontier of the leaves appended so far, from which
    roots and witnesses follow. Reads and writes zcashd's serialized form."""

    def __new__(cls, depth: SupportsIndex = 32) -> CommitmentTree: ...
    @classmethod
    def from_bytes(cls, data: ReadableBuffer, depth: SupportsIndex = 32) -> CommitmentTree:
        """The tree in zcashd's serialized form (z_gettreestate's finalState,
        lightwalletd's saplingTree, as bytes). Absent last parents, which zebrad
        writes, are read too. Anything no tree could have written is a ValueError
        that says what and at which byte."""
    def to_bytes(self) -> bytes:
        """The tree in zcashd's serialized form."""
    def append(self, cmu: ReadableBuffer) -> None:
        """Appends one leaf (32 bytes little-endian, below q). ValueError for a full tree."""
    def extend(
        self,
        cmus: Iterable[ReadableBuffer],
        *,
        witnesses: Iterable[IncrementalWitness] = (),
        mark: Iterable[SupportsIndex] = (),
        threads: Optional[SupportsIndex] = None,
        vartime: bool = False,
    ) -> List[IncrementalWitness]:
        """Appends every cmu of `cmus` (32-byte bytes-like values) in one call and
        brings each witness of `witnesses` up to date with them; returns new
        witnesses, in the order of `mark`, of the leaves at the batch indexes
        `mark` lists, up to date with the whole batch. The same, byte for byte, as
        appending the cmus one at a time to the tree and every witness and taking
        a witness after each marked cmu, but each level of the batch is hashed as
        one batch on `threads` threads, and witnesses cost O(depth) each. All or
        nothing: a refused argument changes no tree and no witness."""
    def root(self, vartime: bool = False) -> bytes:
        """The root (32 bytes little-endian). vartime=True hashes in variable time:
        public leaves only."""
    def witness(self) -> IncrementalWitness:
        """A witness of the last leaf (of the empty tree: one that never gives a path)."""
    def copy(self) -> CommitmentTree:
        """An independent copy of the tree."""
    def __copy__(self) -> CommitmentTree: ...
    def __deepcopy__(self, memo: object, /) -> CommitmentTree: ...
    def __len__(self) -> int:
        """Return len(self)."""
    @property
    def size(self) -> int:
        """The number of leaves appended."""
    @property
    def depth(self) -> int:
        """The tree's depth (32 for Zcash's)."""

@final
class IncrementalWitness:
    """zcashd's IncrementalWitness: what a wallet keeps of a note's leaf to give
    its authentication path at any later size of the tree. Made by
    CommitmentTree.witness() or extend(mark=...), or read with from_bytes()."""

    @classmethod
    def from_bytes(cls, data: ReadableBuffer, depth: SupportsIndex = 32) -> IncrementalWitness:
        """The witness in zcashd's serialized form. Anything no witness could have
        written is a ValueError that says what and at which byte."""
    def to_bytes(self) -> bytes:
        """The witness in zcashd's serialized form."""
    def append(self, cmu: ReadableBuffer) -> None:
        """Brings the witness up to date with one more leaf of its tree."""
    def root(self, vartime: bool = False) -> bytes:
        """The root of the tree the witness is up to date with."""
    def path(self) -> List[bytes]:
        """The witnessed leaf's siblings, bottom up, as merkle_path returns them
        (verify_path takes them). ValueError for the empty tree's witness."""
    def copy(self) -> IncrementalWitness:
        """An independent copy of the witness."""
    def __copy__(self) -> IncrementalWitness: ...
    def __deepcopy__(self, memo: object, /) -> IncrementalWitness: ...
    @property
    def position(self) -> int:
        """The witnessed leaf's position (none for the empty tree's witness)."""
    @property
    def leaf(self) -> bytes:
        """The witnessed leaf (none for the empty tree's witness)."""
    @property
    def tree_size(self) -> int:
        """The size of the tree the witness is up to date with."""
    @property
    def depth(self) -> int:
        """The tree's depth."""

def _sapling_merkle_root(
    leaves: Iterable[ReadableBuffer], depth: int, threads: Optional[SupportsIndex], vartime: bool
) -> bytes:
    """The root of the tree of `leaves` (see tamarind.sapling.merkle_root)."""

def _sapling_merkle_path(
    leaves: Iterable[ReadableBuffer], position: int, depth: int, threads: Optional[SupportsIndex], vartime: bool
) -> List[bytes]:
    """The path of a leaf (see tamarind.sapling.merkle_path)."""

def _sapling_merkle_hash(height: int, left: ReadableBuffer, right: ReadableBuffer) -> bytes:
    """MerkleCRH (see tamarind.sapling.merkle_hash)."""

def _sapling_verify_path(
    leaf: ReadableBuffer, position: int, path: Iterable[ReadableBuffer], root: ReadableBuffer
) -> bool:
    """Whether a path leads to a root (see tamarind.sapling.verify_path)."""

def _sapling_encode_path(path: Iterable[ReadableBuffer], position: int) -> bytes:
    """zcashd's MerklePath bytes (see tamarind.sapling.encode_path)."""

def _sapling_decode_path(data: ReadableBuffer, /) -> Tuple[List[bytes], int]:
    """(path, position) from zcashd's MerklePath bytes (see tamarind.sapling.decode_path)."""

def _sapling_empty_roots() -> Tuple[bytes, ...]:
    """The 63 empty roots, height 0 first."""

def _rebuild(name: str, arguments: Tuple[object, ...], /) -> object:
    """The hasher class `name` called with the tuple `arguments` (unpickling)."""

def _panic_exception() -> Type[BaseException]:
    """The exception type raised for internal faults (pyo3_runtime.PanicException); the same object on every call."""

def _sapling_note_commitment(g_d: ReadableBuffer, pk_d: ReadableBuffer, value: int, rcm: ReadableBuffer) -> bytes:
    """The Sapling note commitment's u-coordinate (cmu) as 32 bytes little-endian, as
    Zcash computes NoteCommit: PedersenHashToPoint under "Zcash_PH" over the bits
    1,1,1,1,1,1, then `value` as 64 bits, then the 256 bits of `g_d` and of `pk_d`
    (32-byte encodings, bits taken as given, least significant first), plus
    [rcm]R, R being the group hash of "r" under "Zcash_PH". g_d, pk_d and rcm are
    32-byte bytes-like objects: g_d and pk_d canonical encodings (ZIP 216) of
    points of Jubjub's prime-order subgroup other than the identity, rcm a
    little-endian scalar below the Jubjub subgroup order; 0 <= value < 2**64;
    else ValueError. Constant time in all four."""

def table_cache_info() -> Dict[str, int]:
    """The process's table cache, as a dict: "limit", the limit in bytes;
    "bytes", what counts against it (the tables that inputs grew, the wide
    tables of variable-time calls, and tables kept for hashers that no longer
    exist); "held", the bytes of every table the cache holds, those of live
    configurable hashers included; "blocks", the number of sets of tables (one
    per set of generators and one for its wide tables, or per pair of
    configurable sizes)."""

def lane_kernel() -> str:
    """The kernel that runs variable-time batches (hash_many with vartime=True,
    the Sapling trees and roots): "avx512ifma" when eight hashes run at once
    on AVX-512 IFMA, "scalar" otherwise (a processor or system without it,
    or TAMARIND_LANES=0 in the environment at import). Digests never depend
    on it."""

def set_table_cache_limit(limit: SupportsIndex, /) -> None:
    """Set the table cache's limit, in bytes (default 64 MiB). Hashers with the same
    generators share their tables through the cache, so a new instance finds the
    tables that an earlier one built. Nothing an input does makes the cache
    hold more than the limit: past it, hashing gets slower, never different.
    Lowering the limit drops tables that no live hasher uses, least recently
    used first; tables in use go with their last hasher."""
