"""Pedersen hashes over Jubjub and Baby Jubjub, computed by a C++20 core.

Every `hash` returns a new 32-byte `bytes` object. An input longer than a
configurable hasher's capacity raises `PanicException` (qualified name
pyo3_runtime.PanicException), which derives from `BaseException` and is not an
attribute of this module.
"""

from typing import Optional, SupportsIndex, final

__all__ = ["BabyJubjubPedersen", "JubjubBoweHopwood", "CircomPedersen", "ZcashPedersen"]

@final
class BabyJubjubPedersen:
    """Unsigned-window Pedersen hash over the ERC-2494 Baby Jubjub curve
    (arkworks `pedersen::CRH` construction). Output is the compressed curve point."""

    def __new__(cls, segments: SupportsIndex, bits_per_window: SupportsIndex) -> BabyJubjubPedersen: ...
    def hash(self, data: bytes) -> bytes:
        """Hash `data`, returning the compressed point as bytes."""

@final
class JubjubBoweHopwood:
    """Bowe–Hopwood / Zcash-Sapling Pedersen hash over Jubjub
    (arkworks `bowe_hopwood::CRH` construction). Output is the x-coordinate."""

    def __new__(cls, segments: SupportsIndex, chunks_per_segment: SupportsIndex) -> JubjubBoweHopwood: ...
    def hash(self, data: bytes) -> bytes:
        """Hash `data`, returning the x-coordinate as bytes."""

@final
class CircomPedersen:
    """circom / iden3-compatible Baby Jubjub Pedersen hash (`circomlibjs pedersenHash`).

    `hash(data)` returns the 32-byte packed point, byte-identical to circomlibjs.
    Reusable: generators are derived once and cached across calls, so reuse the
    same instance for repeated hashing."""

    def __new__(cls) -> CircomPedersen: ...
    def hash(self, data: bytes) -> bytes:
        """Hash `data`, returning the 32-byte packed point (circomlibjs `packPoint`)."""

@final
class ZcashPedersen:
    """Zcash Sapling Pedersen hash over Jubjub.

    `hash(data)` returns the 32-byte little-endian u-coordinate. The optional
    8-byte `personalization` defaults to `b"Zcash_PH"`. Reusable: generators are
    derived once and cached across calls."""

    def __new__(cls, personalization: Optional[bytes] = None) -> ZcashPedersen: ...
    def hash(self, data: bytes) -> bytes:
        """Hash `data`, returning the 32-byte little-endian u-coordinate."""
