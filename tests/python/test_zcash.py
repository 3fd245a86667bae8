"""ZcashPedersen against a Sapling Pedersen hash written here from scratch:
hashlib's BLAKE2s for the group hash, plain-integer Jubjub arithmetic, and
one scalar multiplication per segment instead of tables of multiples."""

from __future__ import annotations

import functools
import hashlib
import random

import _tamarind
import pytest
from reference import JUBJUB, Point, bits_lsb_first, to_le32

URS = b"096b36a5804bfacef1691e173c366a47ff5ba84a44f26ddd7e8d9f79d5b42df0"
DEFAULT = b"Zcash_PH"
IDENTITY = (0, 1)

# The published base points of segments 0 to 5 under "Zcash_PH".
DEFAULT_GENERATORS = [
    (
        52355368488200756720908213129543630848976972731871436319321443845291207170897,
        18372611905088487385433946659983357101887954355879737496286092836680199584970,
    ),
    (
        9787319019520772215561425571402619434275350335445140843695488791465664995454,
        617599303620822769724880923839314378351145790385632133893219494436232173713,
    ),
    (
        46254521528573726497224586973822974014192468152453531001037375756982829433973,
        24506313747297525290953778557147418250711256987769181747135349052620150133847,
    ),
    (
        22718818598176814730279188811725115822910786497974609492339302594899840639692,
        21482900543196151117444117927157074338652061209517124624989426821710350741737,
    ),
    (
        27058202516373004425968234366429922161775745886920564416371317087192362222289,
        33152712010531917481292916450097258839113870850090594303231218126810079660783,
    ),
    (
        44899967701403962114488563060475643935789150330315799264409868287497276170361,
        45648747605882624690586248172048386288129541878950585457687885861218308416154,
    ),
]


def candidate(personalization: bytes, tag: bytes, counter: int) -> Point | str:
    """The point one counter value yields, or why it is rejected."""
    digest = hashlib.blake2s(URS + tag + bytes([counter]), digest_size=32, person=personalization).digest()
    n = int.from_bytes(digest, "little")
    sign, v = n >> 255, n & ((1 << 255) - 1)
    if v >= JUBJUB.p:
        return "out of range"
    w = JUBJUB.x_squared(v)
    if w is None:
        return "no inverse"
    u = JUBJUB.sqrt(w)
    if u is None:
        return "not a square"
    if u & 1 != sign:
        u = -u % JUBJUB.p
    point = JUBJUB.mul((u, v), 8)
    return "identity" if point == IDENTITY else point


@functools.lru_cache(maxsize=None)
def group_hash(personalization: bytes, segment: int) -> Point:
    tag = segment.to_bytes(4, "little")
    for counter in range(256):
        point = candidate(personalization, tag, counter)
        if not isinstance(point, str):
            return point
    raise AssertionError("no valid group hash point found")


@functools.lru_cache(maxsize=None)
def sapling_hash(data: bytes, personalization: bytes = DEFAULT) -> bytes:
    bits = bits_lsb_first(data)
    bits += [0] * (-len(bits) % 3)
    chunks = [bits[i : i + 3] for i in range(0, len(bits), 3)]
    digits: dict[int, int] = {}
    for i, (s0, s1, s2) in enumerate(chunks):
        digits[i // 63] = digits.get(i // 63, 0) + (1 + s0 + 2 * s1) * (1 - 2 * s2) * 16 ** (i % 63)
    total = IDENTITY
    for segment, digit in digits.items():
        total = JUBJUB.add(total, JUBJUB.mul(group_hash(personalization, segment), digit % JUBJUB.order))
    return to_le32(total[0])


def test_reference_reproduces_the_published_generators():
    for segment, expected in enumerate(DEFAULT_GENERATORS):
        assert group_hash(DEFAULT, segment) == expected
        assert JUBJUB.mul(expected, JUBJUB.order) == IDENTITY
    outcomes = [candidate(DEFAULT, bytes(4), counter) for counter in range(6)]
    assert outcomes[:5] == ["not a square", "out of range", "not a square", "not a square", "not a square"]
    assert outcomes[5] == DEFAULT_GENERATORS[0]


BOUNDARY_LENGTHS = [0, 1, 2, 3, 23, 24, 47, 48, 141, 142, 189, 190, 300]
_rng = random.Random(20240607)
RANDOM_LENGTHS = sorted(_rng.sample(range(301), 12))


@pytest.mark.parametrize("personalization", [None, DEFAULT, b"Tamarind"])
@pytest.mark.parametrize("length", BOUNDARY_LENGTHS + RANDOM_LENGTHS)
def test_fresh_instance_matches_reference(personalization, length):
    data = random.Random(length).randbytes(length)
    hasher = _tamarind.ZcashPedersen(*([] if personalization is None else [personalization]))
    assert hasher.hash(data) == sapling_hash(data, personalization or DEFAULT)


def test_one_reused_instance_matches_reference_in_any_order():
    rng = random.Random(7)
    hasher = _tamarind.ZcashPedersen(b"Tamarind")
    for data in [rng.randbytes(rng.randrange(301)) for _ in range(12)]:
        assert hasher.hash(data) == sapling_hash(data, b"Tamarind"), len(data)


def test_fresh_and_warm_instances_agree_at_every_length():
    """A fresh instance holds just the tables its input needs; a warm one holds
    more. Every length up to 400 bytes meets each rounding of the segment count."""
    data = random.Random(400).randbytes(400)
    warm = _tamarind.ZcashPedersen()
    assert warm.hash(data) == sapling_hash(data)
    for length in range(401):
        assert _tamarind.ZcashPedersen().hash(data[:length]) == warm.hash(data[:length]), length
