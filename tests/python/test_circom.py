"""CircomPedersen against a plain-integer reference (pure-Python BLAKE-256 base points, affine scalar
multiplication) and values computed by circomlibjs."""

import functools
import random

import _tamarind
import pytest
from blake256_reference import blake256
from reference import BABYJUBJUB as CURVE

P = CURVE.p


@functools.cache
def base_point(index: int) -> tuple[int, int]:
    # Try after try: the digest read as a compressed point, y taken modulo p,
    # the root not above (p - 1)/2 signed by bit 255, then times the cofactor.
    attempt = 0
    while True:
        digest = bytearray(blake256(f"PedersenGenerator_{index:032d}_{attempt:032d}".encode()))
        sign = digest[31] >> 7
        digest[31] &= 0x3F
        y = int.from_bytes(digest, "little") % P
        x_squared = CURVE.x_squared(y)
        x = None if x_squared is None else CURVE.sqrt(x_squared)
        if x is not None:
            x = min(x, P - x) if x else 0
            if sign:
                x = -x % P
            return CURVE.mul((x, y), 8)
        attempt += 1


def enc(nibble: int) -> int:
    return (1 + (nibble & 7)) * (-1 if nibble & 8 else 1)


def reference_hash(data: bytes) -> bytes:
    total = (0, 1)
    for segment in range(0, len(data), 25):
        chunk = data[segment : segment + 25]
        exponent = sum(enc(b & 15) * 32 ** (2 * i) + enc(b >> 4) * 32 ** (2 * i + 1) for i, b in enumerate(chunk))
        total = CURVE.add(total, CURVE.mul(base_point(segment // 25), exponent % CURVE.order))
    return CURVE.compress(total)


@pytest.fixture(scope="module")
def hasher():
    # One instance for the whole module: its cache must never change a result.
    return _tamarind.CircomPedersen()


@pytest.mark.parametrize(
    "message, digest",
    [
        (bytes(1), "0ce8d4ef4dd7cd8d62dfded9d4edb0a774ae6a41929a74da23109e8f11139c87"),
        (bytes(72), "d419bad32d504fb7d44d460c42c5593fe544fa4c135dec31e21bd9abdcc22d41"),
    ],
)
def test_blake256_reference_known_answers(message, digest):
    assert blake256(message).hex() == digest


# The built-in rows 0-5 and two points computed by circomlibjs, where reading
# the masked value modulo p (rather than skipping it) decides the point.
@pytest.mark.parametrize(
    "index, point",
    [
        (
            0,
            (
                10457101036533406547632367118273992217979173478358440826365724437999023779287,
                19824078218392094440610104313265183977899662750282163392862422243483260492317,
            ),
        ),
        (
            1,
            (
                2671756056509184035029146175565761955751135805354291559563293617232983272177,
                2663205510731142763556352975002641716101654201788071096152948830924149045094,
            ),
        ),
        (
            2,
            (
                5802099305472655231388284418920769829666717045250560929368476121199858275951,
                5980429700218124965372158798884772646841287887664001482443826541541529227896,
            ),
        ),
        (
            3,
            (
                7107336197374528537877327281242680114152313102022415488494307685842428166594,
                2857869773864086953506483169737724679646433914307247183624878062391496185654,
            ),
        ),
        (
            4,
            (
                20265828622013100949498132415626198973119240347465898028410217039057588424236,
                1160461593266035632937973507065134938065359936056410650153315956301179689506,
            ),
        ),
        (
            5,
            (
                1487999857809287756929114517587739322941449154962237464737694709326309567994,
                14017256862867289575056460215526364897734808720610101650676790868051368668003,
            ),
        ),
        (
            12,
            (
                3794846596710804728427490183747125272829051653079153052879417268450674798099,
                21842435477255044883863745269531290629657425422620774125328061317110773122799,
            ),
        ),
        (
            24,
            (
                15092230384839205420616677623736541428991062852475616768890993337308212374747,
                8589870786567729679958691339367382768045953941006167786325103731516226746949,
            ),
        ),
    ],
)
def test_reference_base_points(index, point):
    assert base_point(index) == point


def test_matches_circomlibjs_on_a_thousand_zero_bytes(hasher):
    expected = "54da388071ce3d49fea68e99b5f9be5e9caa8522e694589f666cb722b1a3c11b"
    assert hasher.hash(bytes(1000)).hex() == _tamarind.CircomPedersen().hash(bytes(1000)).hex() == expected


@pytest.mark.parametrize(
    "data, multiple",
    [(b"", 0), (b"\x00", 33), (b"\x88", -33), (b"\x07", 40), (b"\x0f", 24), (b"\x01\x00", 2 + 32 + 32**2 + 32**3)],
)
def test_short_inputs_are_multiples_of_the_first_base(hasher, data, multiple):
    assert hasher.hash(data) == CURVE.compress(CURVE.mul(base_point(0), multiple))


LENGTHS = [1, 3, 24, 25, 26, 50, 51, 150, 151, 175, 176, 299, 300, 301, 326, 500, 777]


@pytest.mark.parametrize("length", LENGTHS)
def test_random_inputs_match_the_reference(hasher, length):
    rng = random.Random(length)
    for _ in range(2):
        data = rng.randbytes(length)
        assert hasher.hash(data) == reference_hash(data)
