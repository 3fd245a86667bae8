"""tamarind.circom's packed points against the plain-integer reference curve."""

from __future__ import annotations

import random

import _tamarind
import pytest
from reference import BABYJUBJUB as CURVE
from reference import Point
from tamarind.circom import is_on_curve, pack_point, unpack_point

P = CURVE.p


def random_points(count: int) -> list[Point]:
    """Subgroup multiples of the generator, and points of any order from a random y."""
    rng = random.Random(2494)
    points = [CURVE.mul(CURVE.generator, rng.randrange(1, CURVE.order)) for _ in range(count)]
    while len(points) < 2 * count:
        y = rng.randrange(P)
        w = CURVE.x_squared(y)
        x = None if w is None else CURVE.sqrt(w)
        if x is not None:
            points.append((x if rng.getrandbits(1) else -x % P, y))
    return points


# The identity and the point of order 2 have x = 0, the only x without a sign.
@pytest.mark.parametrize("point", random_points(20) + [(0, 1), (0, P - 1)])
def test_pack_and_unpack_agree_with_the_reference(point):
    packed = CURVE.compress(point)
    assert pack_point(*point) == packed
    assert unpack_point(packed) == point
    assert unpack_point(memoryview(bytearray(packed))) == point


def y_without_point() -> int:
    y = 2
    while CURVE.sqrt(CURVE.x_squared(y)) is not None:
        y += 1
    return y


@pytest.mark.parametrize(
    "packed, message",
    [
        (bytes(31), "32 bytes, not 31"),
        (bytes(33), "32 bytes, not 33"),
        (P.to_bytes(32, "little"), "non-canonical y"),
        (y_without_point().to_bytes(32, "little"), "not on Baby Jubjub"),
        ((1 | 1 << 255).to_bytes(32, "little"), "sign bit set for x = 0"),
    ],
)
def test_unpack_refuses_what_pack_never_writes(packed, message):
    with pytest.raises(ValueError, match=message):
        unpack_point(packed)


@pytest.mark.parametrize(
    "x, y, error",
    [
        (P, 1, ValueError),
        (0, P + 1, ValueError),
        (-1, 1, ValueError),
        (1, 1, ValueError),
        (1.0, 1, TypeError),
    ],
)
def test_pack_refuses_non_canonical_or_off_curve_coordinates(x, y, error):
    with pytest.raises(error):
        pack_point(x, y)


def test_unpack_refuses_text():
    with pytest.raises(TypeError, match="bytes-like"):
        unpack_point("00" * 32)


@pytest.mark.parametrize("length", [0, 1, 31, 62, 200])
def test_point_is_the_unpacked_hash(length):
    data = random.Random(length).randbytes(length)
    hasher = _tamarind.CircomPedersen()
    assert hasher.point(data) == unpack_point(hasher.hash(data))


def test_strided_views_read_in_order():
    packed = _tamarind.CircomPedersen().hash(b"abc")
    spread = bytearray(64)
    spread[::2] = packed
    assert unpack_point(memoryview(spread)[::2]) == unpack_point(packed)


@pytest.mark.parametrize("x, y", [(0.0, 1.0), ("a", 1), (0, 1.0)])
def test_is_on_curve_takes_integers_only(x, y):
    with pytest.raises(TypeError, match="must be an integer"):
        is_on_curve(x, y)
