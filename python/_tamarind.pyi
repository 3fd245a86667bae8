"""Pedersen hashes over Jubjub and Baby Jubjub, computed by a C++20 core.

Every `hash` returns a new 32-byte `bytes` object. An input longer than a
configurable hasher's capacity raises `PanicException` (qualified name
pyo3_runtime.PanicException), which derives from `BaseException` and is not an
attribute of this module.

Every class also has `hash_many` (many inputs on native threads),
`incremental` (one input fed in pieces, see `IncrementalHash`) and pickles by
its constructor arguments. Long calls raise `KeyboardInterrupt` on Ctrl-C.

Every call holds the interpreter lock. Code that runs during a call -- a
signal handler, or another thread while a handler has released the
interpreter lock -- is refused with `RuntimeError` ("Already borrowed" or
"Already mutably borrowed") when it would use an instance the call is
changing, or change one the call is reading.
"""

from typing import Iterable, List, Optional, SupportsIndex, Tuple, final

__all__ = ["BabyJubjubPedersen", "JubjubBoweHopwood", "CircomPedersen", "ZcashPedersen"]

@final
class BabyJubjubPedersen:
    """Unsigned-window Pedersen hash over the ERC-2494 Baby Jubjub curve
    (arkworks `pedersen::CRH` construction). Output is the compressed curve point."""

    def __new__(cls, segments: SupportsIndex, bits_per_window: SupportsIndex) -> BabyJubjubPedersen: ...
    def hash(self, data: bytes) -> bytes:
        """Hash `data`, returning the compressed point as bytes."""
    def hash_many(self, items: Iterable[bytes], threads: Optional[SupportsIndex] = None) -> List[bytes]:
        """Hash every bytes object of the iterable `items`, returning the list of
        digests: the same as [self.hash(x) for x in items], computed on `threads`
        native threads (default: the usable CPUs; 1 runs on the calling thread).
        A bad item raises what hash() would, naming its index; nothing is returned then."""
    def incremental(self, data: bytes = b"") -> IncrementalHash:
        """A new IncrementalHash over this hasher: feed it pieces with update(), then
        read digest(), equal to self.hash() of the pieces joined."""
    def __reduce__(self) -> Tuple[object, Tuple[str, Tuple[object, ...]]]:
        """Pickled by its constructor arguments."""

@final
class JubjubBoweHopwood:
    """Bowe–Hopwood / Zcash-Sapling Pedersen hash over Jubjub
    (arkworks `bowe_hopwood::CRH` construction). Output is the x-coordinate."""

    def __new__(cls, segments: SupportsIndex, chunks_per_segment: SupportsIndex) -> JubjubBoweHopwood: ...
    def hash(self, data: bytes) -> bytes:
        """Hash `data`, returning the x-coordinate as bytes."""
    def hash_many(self, items: Iterable[bytes], threads: Optional[SupportsIndex] = None) -> List[bytes]:
        """Hash every bytes object of the iterable `items`, returning the list of
        digests: the same as [self.hash(x) for x in items], computed on `threads`
        native threads (default: the usable CPUs; 1 runs on the calling thread).
        A bad item raises what hash() would, naming its index; nothing is returned then."""
    def incremental(self, data: bytes = b"") -> IncrementalHash:
        """A new IncrementalHash over this hasher: feed it pieces with update(), then
        read digest(), equal to self.hash() of the pieces joined."""
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
    def hash_many(self, items: Iterable[bytes], threads: Optional[SupportsIndex] = None) -> List[bytes]:
        """Hash every bytes object of the iterable `items`, returning the list of
        digests: the same as [self.hash(x) for x in items], computed on `threads`
        native threads (default: the usable CPUs; 1 runs on the calling thread).
        A bad item raises what hash() would, naming its index; nothing is returned then."""
    def incremental(self, data: bytes = b"") -> IncrementalHash:
        """A new IncrementalHash over this hasher: feed it pieces with update(), then
        read digest(), equal to self.hash() of the pieces joined."""
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
    def hash_many(self, items: Iterable[bytes], threads: Optional[SupportsIndex] = None) -> List[bytes]:
        """Hash every bytes object of the iterable `items`, returning the list of
        digests: the same as [self.hash(x) for x in items], computed on `threads`
        native threads (default: the usable CPUs; 1 runs on the calling thread).
        A bad item raises what hash() would, naming its index; nothing is returned then."""
    def incremental(self, data: bytes = b"") -> IncrementalHash:
        """A new IncrementalHash over this hasher: feed it pieces with update(), then
        read digest(), equal to self.hash() of the pieces joined."""
    def __reduce__(self) -> Tuple[object, Tuple[str, Tuple[object, ...]]]:
        """Pickled by its constructor arguments."""

@final
class IncrementalHash:
    """One input fed in pieces to a hasher, made by its incremental() method.

    update() any number of times, then digest() or hexdigest(); the digest
    equals the hasher's hash() of the pieces joined. Memory does not grow
    with the input. Calls borrow the hasher as hash() does."""

    @property
    def name(self) -> str:
        """The name of the hasher class."""
    @property
    def digest_size(self) -> int:
        """The size of a digest in bytes: 32."""
    def update(self, data: bytes) -> None:
        """Feed `data` (bytes), the next piece of the input."""
    def digest(self) -> bytes:
        """The hash of the pieces fed so far, as the hasher's hash() of them joined."""
    def hexdigest(self) -> str:
        """The digest as 64 lowercase hex digits."""
    def copy(self) -> IncrementalHash:
        """An independent copy of this state, bound to the same hasher."""
    def __copy__(self) -> IncrementalHash: ...
    def __deepcopy__(self, memo: object, /) -> IncrementalHash: ...

def _rebuild(name: str, arguments: Tuple[object, ...], /) -> object:
    """The hasher class `name` called with the tuple `arguments` (unpickling)."""
