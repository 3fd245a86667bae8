"""Baby Jubjub points in circom's packed form.

`CircomPedersen().hash(data)` returns the hash point packed into 32 bytes, as
circomlibjs's `babyJub.packPoint` writes it; circuits and contracts work with
the coordinates instead (a Tornado-style commitment is the x-coordinate of
`pedersenHash(nullifier ‖ secret)`). This module converts between the two::

    from tamarind import CircomPedersen
    from tamarind.circom import unpack_point

    x, y = unpack_point(CircomPedersen().hash(preimage))  # == CircomPedersen().point(preimage)

The curve is Baby Jubjub in the EIP-2494 form circomlib uses: a·x² + y² =
1 + d·x²·y² with a = 168700, d = 168696 over the BN254 scalar field of order
`P`. The packed form is the canonical y, little-endian, with bit 255 (bit 7 of
byte 31) set when x > (P - 1)/2; `unpack_point` and `pack_point` match
circomlibjs's `unpackPoint` and `packPoint` on every valid point.

These run on Python integers and are not constant time; use them on public
points (hash outputs that are published, such as commitments), as circom users do.
"""

from __future__ import annotations

import operator
from typing import TYPE_CHECKING, Optional, Tuple

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

__all__ = ["P", "A", "D", "is_on_curve", "pack_point", "unpack_point"]

# The BN254 scalar field, Baby Jubjub's base field.
P = 21888242871839275222246405745257275088548364400416034343698204186575808495617
A = 168700
D = 168696

_HALF = (P - 1) // 2
_SIGN = 1 << 255


def _two_adic_split(n: int) -> Tuple[int, int]:
    """(s, t) with n = 2^s · t and t odd."""
    s = 0
    while n % 2 == 0:
        n //= 2
        s += 1
    return s, n


def _smallest_non_residue() -> int:
    z = 2
    while pow(z, _HALF, P) != P - 1:
        z += 1
    return z


# Tonelli-Shanks precomputation: P - 1 = 2^28 · T, and a generator of the
# 2-Sylow subgroup, a non-residue raised to T (5 is the smallest non-residue).
_S, _T = _two_adic_split(P - 1)
_ROOT_OF_UNITY = pow(_smallest_non_residue(), _T, P)
assert _S == 28 and pow(_ROOT_OF_UNITY, 1 << (_S - 1), P) == P - 1


def _sqrt(w: int) -> Optional[int]:
    """A square root of w modulo P, or None when w is not a square (Tonelli-Shanks)."""
    if w == 0:
        return 0
    if pow(w, _HALF, P) != 1:
        return None
    m, c = _S, _ROOT_OF_UNITY
    t = pow(w, _T, P)
    r = pow(w, (_T + 1) // 2, P)
    # Invariant: r² = w·t, and t has order dividing 2^(m-1); done when t = 1.
    while t != 1:
        i, t2 = 0, t
        while t2 != 1:
            t2 = t2 * t2 % P
            i += 1
        b = pow(c, 1 << (m - i - 1), P)
        m, c = i, b * b % P
        t = t * c % P
        r = r * b % P
    return r


def _integer(value: int, name: str) -> int:
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__!r}") from None


def is_on_curve(x: int, y: int) -> bool:
    """Whether the integers (x, y), reduced modulo P, satisfy a·x² + y² = 1 + d·x²·y².

    Anything but integers (a float, a string) is a `TypeError`.
    """
    x, y = _integer(x, "x"), _integer(y, "y")
    xx, yy = x * x % P, y * y % P
    return (A * xx + yy - 1 - D * xx * yy) % P == 0


def _coordinate(value: int, name: str) -> int:
    n = _integer(value, name)
    if not 0 <= n < P:
        raise ValueError(f"{name} is not a canonical field element: it must be in [0, P)")
    return n


def pack_point(x: int, y: int) -> bytes:
    """The 32-byte packed form of the Baby Jubjub point (x, y), as circomlibjs's
    `babyJub.packPoint`: y little-endian, bit 255 set when x > (P - 1)/2.

    Coordinates must be integers in [0, P) (`ValueError` otherwise, as for a
    point that is not on the curve; `TypeError` for a non-integer).
    """
    x = _coordinate(x, "x")
    y = _coordinate(y, "y")
    if not is_on_curve(x, y):
        raise ValueError("(x, y) is not a point of Baby Jubjub")
    return (y | (_SIGN if x > _HALF else 0)).to_bytes(32, "little")


def unpack_point(packed: ReadableBuffer) -> Tuple[int, int]:
    """The affine coordinates (x, y) of a packed Baby Jubjub point, as
    circomlibjs's `babyJub.unpackPoint`; the inverse of `pack_point`.

    `packed` is any bytes-like object of 32 bytes. Raises `ValueError` when y
    is not below P, when no point of the curve has that y, or when the sign bit
    is set for x = 0 (which has no negative): every accepted encoding is the
    one `pack_point` gives.
    """
    try:
        # A copy in order, so that strided views read as the hashers read them.
        data = memoryview(packed).tobytes()
    except TypeError:
        raise TypeError(f"packed must be a bytes-like object, not {type(packed).__name__!r}") from None
    if len(data) != 32:
        raise ValueError(f"packed must be 32 bytes, not {len(data)}")
    n = int.from_bytes(data, "little")
    negative, y = n >> 255, n & (_SIGN - 1)
    if y >= P:
        raise ValueError("packed point has a non-canonical y (not below P)")
    yy = y * y % P
    # a is a square and d is not (the curve is complete), so a - d·y² is never 0.
    x = _sqrt((1 - yy) * pow(A - D * yy, -1, P) % P)
    if x is None:
        raise ValueError("packed point is not on Baby Jubjub: no x for this y")
    if x == 0 and negative:
        raise ValueError("packed point is not canonical: sign bit set for x = 0")
    if (x > _HALF) != bool(negative):
        x = P - x
    return x, y
