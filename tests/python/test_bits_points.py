"""hash_bits, point, capacity, bulk bit lengths, bytes-like inputs and the Sapling note commitment, against
published values and plain-integer sums (reference.py) that share nothing with the C++ core."""

from __future__ import annotations

import array
import hashlib
import io
import mmap
import random
import sys

import _tamarind
import pytest
from conftest import MAX_SMALL_INPUT, panic_exception_type, small_instance
from reference import BABYJUBJUB, JUBJUB, Curve, Point, to_le32
from test_circom import base_point as circom_base
from test_zcash import DEFAULT, candidate, group_hash

B, J = _tamarind.BabyJubjubPedersen, _tamarind.JubjubBoweHopwood


def pack(bits: list[int]) -> bytes:
    out = bytearray((len(bits) + 7) // 8)
    for i, bit in enumerate(bits):
        out[i // 8] |= bit << (i % 8)
    return bytes(out)


def configurable_base(curve: Curve, seed: int):
    return lambda segment: curve.mul(curve.generator, ((segment + seed) * 0x9E3779B97F4A7C15 % 2**64) | 1)


# (curve, chunk width, chunks per segment, digit of a chunk's bits, weight step, base of a segment)
def construction(hasher) -> tuple:
    if isinstance(hasher, _tamarind.ZcashPedersen):
        return JUBJUB, 3, 63, lambda c: (1 + c[0] + 2 * c[1]) * (1 - 2 * c[2]), 16, lambda s: group_hash(DEFAULT, s)
    if isinstance(hasher, _tamarind.CircomPedersen):
        return BABYJUBJUB, 4, 50, lambda c: (1 + c[0] + 2 * c[1] + 4 * c[2]) * (1 - 2 * c[3]), 32, circom_base
    segments, per_segment = hasher.__reduce__()[1][1]
    if isinstance(hasher, B):
        return BABYJUBJUB, 1, per_segment, lambda c: c[0], 2, configurable_base(BABYJUBJUB, 0xBABE0001)
    digit = lambda c: (1 + c[0] + 2 * c[1]) * (1 - 2 * c[2])  # noqa: E731
    return JUBJUB, 3, per_segment, digit, 16, configurable_base(JUBJUB, 0x5A170002)


def reference_point(hasher, bits: list[int]) -> Point:
    curve, width, per_segment, digit, step, base = construction(hasher)
    bits = bits + [0] * (-len(bits) % width)
    chunks = [bits[i : i + width] for i in range(0, len(bits), width)]
    total: Point = (0, 1)
    for first in range(0, len(chunks), per_segment):
        k = sum(digit(chunk) * step**j for j, chunk in enumerate(chunks[first : first + per_segment]))
        total = curve.add(total, curve.mul(base(first // per_segment), k % curve.order))
    return total


def encode(hasher, point: Point) -> bytes:
    jubjub = isinstance(hasher, (_tamarind.ZcashPedersen, J))
    return to_le32(point[0]) if jubjub else BABYJUBJUB.compress(point)


def unpack(packed: bytes) -> Point:
    """Baby Jubjub's packed point back to (x, y), with plain integers."""
    y = int.from_bytes(packed, "little") & ((1 << 255) - 1)
    x_squared = BABYJUBJUB.x_squared(y)
    x = BABYJUBJUB.sqrt(x_squared) if x_squared is not None else None
    assert x is not None, "not a point"
    x = min(x, BABYJUBJUB.p - x)
    return (BABYJUBJUB.p - x if packed[31] >> 7 and x else x, y)


# Published Sapling Pedersen hashes of bit strings (the u-coordinate, big-endian hex).
@pytest.mark.parametrize(
    "bits, u",
    [
        ("1111111", "4f8ce0e0a9e674b3ab9606a7d7aefba386e81583d81918127814cde41d209d97"),
        ("111111100", "4f8ce0e0a9e674b3ab9606a7d7aefba386e81583d81918127814cde41d209d97"),
        ("0000000", "283c7880f35179e201161402d9c4556b255917dbbf0142ae60519787d36d4dea"),
        ("0000001", "1f1086b287636a20063c9614db2de66bb7d49242e88060956a5e5845057f6f5d"),
        ("0100010", "27fa1e296c37dde8448483ce5485c2604d1d830e53812246299773a02ecd519c"),
        ("111111", "06b1187c11ca4fb4383b2e0d0dbbde3ad3617338b5029187ec65a5eaed5e4d0b"),
        ("000000", "62454a957289b3930d10f3def0d512cfe0ef3de06421321221af3558de9d481d"),
    ],
)
def test_zcash_published_bit_strings(bits, u):
    data = pack([int(c) for c in bits])
    assert _tamarind.ZcashPedersen().hash_bits(data, len(bits))[::-1].hex() == u
    assert _tamarind.ZcashPedersen().point(data, len(bits))[0] == int(u, 16)


# Lengths that end inside a byte, a chunk, a lookup group and a segment.
@pytest.mark.parametrize(
    "make, lengths",
    [
        (_tamarind.ZcashPedersen, [1, 2, 4, 188, 190, 516, 582]),
        (_tamarind.CircomPedersen, [1, 3, 5, 199, 201, 248, 254]),
        (lambda: B(3, 13), [1, 12, 13, 14, 27, 39]),
        (lambda: J(3, 7), [1, 2, 20, 22, 43, 63]),
    ],
    ids=["zcash", "circom", "baby", "bowe"],
)
def test_hash_bits_and_point_match_plain_integer_sums(make, lengths):
    hasher = make()
    rng = random.Random(len(lengths) * 1000 + lengths[-1])
    for n in lengths:
        bits = [rng.getrandbits(1) for _ in range(n)]
        expected = reference_point(hasher, bits)
        assert hasher.point(pack(bits), n) == expected, n
        assert hasher.hash_bits(pack(bits), n) == encode(hasher, expected), n
        assert hasher.hash_many([pack(bits)], bit_length=n) == [encode(hasher, expected)], n


def test_whole_bytes_agree_with_hash(class_name):
    hasher = small_instance(class_name)
    lengths = range(MAX_SMALL_INPUT + 1) if hasher.capacity is not None else [0, 1, 4, 100, 141, 142]
    for n in lengths:
        data = random.Random(n).randbytes(n)
        assert hasher.hash_bits(data, 8 * n) == hasher.hash(data), n
        point = hasher.point(data)
        assert point == hasher.point(data, 8 * n)
        assert all(type(c) is int for c in point)
        if isinstance(hasher, (_tamarind.ZcashPedersen, J)):
            assert JUBJUB.on_curve(point) and point[0] == int.from_bytes(hasher.hash(data), "little")
        else:
            assert unpack(hasher.hash(data)) == point


@pytest.mark.parametrize(
    "data, bit_length, message",
    [
        (b"\x01\x00", 7, "data has 2 bytes but a bit_length of 7 takes exactly 1"),
        (b"", 1, "data has 0 bytes but a bit_length of 1 takes exactly 1"),
        (b"\x01", 0, "data has 1 bytes but a bit_length of 0 takes exactly 0"),
        (b"\x80", 7, "data has bits set at positions from bit_length (7) on; they must be zero"),
        (b"\xff\x02", 9, "data has bits set at positions from bit_length (9) on; they must be zero"),
    ],
)
def test_data_that_does_not_fit_the_bit_length_is_refused(class_name, data, bit_length, message):
    hasher = small_instance(class_name)
    for call, prefix in [
        (lambda: hasher.hash_bits(data, bit_length), ""),
        (lambda: hasher.point(data, bit_length=bit_length), ""),
        (lambda: hasher.hash_many([bytes(-(-bit_length // 8))] * 3 + [data], bit_length=bit_length), "item 3: "),
    ]:
        with pytest.raises(ValueError) as caught:
            call()
        assert str(caught.value) == prefix + message


@pytest.mark.parametrize("make, bits", [(lambda: B(4, 8), 32), (lambda: B(3, 13), 39), (lambda: J(1, 3), 9)])
def test_capacity_is_the_longest_input(make, bits):
    for unbounded in (_tamarind.ZcashPedersen(b"Tamarind"), _tamarind.CircomPedersen()):
        assert unbounded.capacity is None and unbounded.capacity_bits is None
    hasher = make()
    assert (hasher.capacity_bits, hasher.capacity) == (bits, bits // 8)
    hasher.hash_bits(bytes(-(-bits // 8)), bits)
    hasher.hash(bytes(bits // 8))
    with pytest.raises(panic_exception_type()):
        hasher.hash_bits(bytes(-(-(bits + 1) // 8)), bits + 1)
    with pytest.raises(panic_exception_type()):
        hasher.hash(bytes(bits // 8 + 1))


@pytest.mark.parametrize("threads", [1, 2])
def test_hash_many_reports_the_first_bad_item_whatever_its_kind(threads):
    hasher = J(1, 3)  # one byte fits
    items: list[object] = [bytes([i]) for i in range(12)]
    items[5], items[10] = b"\x00\x00", "not bytes"
    with pytest.raises(panic_exception_type()) as fault:
        hasher.hash_many(items, threads=threads)
    assert fault.value.args[0].startswith("item 5: input of 16 bits")
    items[5], items[10] = "not bytes", b"\x00\x00"
    with pytest.raises(TypeError, match="^item 5: a bytes-like object is required, not 'str'$"):
        hasher.hash_many(items, threads=threads)


def noncontiguous(data: bytes) -> memoryview:
    return memoryview(bytes(b for x in data for b in (x, 0xAA)))[::2]


def mapped(data: bytes) -> mmap.mmap:
    region = mmap.mmap(-1, len(data))
    region.write(data)
    return region


BUFFERS = [bytearray, memoryview, noncontiguous, mapped, lambda d: array.array("B", d)]


@pytest.mark.parametrize("make_buffer", BUFFERS, ids=["bytearray", "memoryview", "strided", "mmap", "array"])
def test_bytes_like_objects_are_read_as_their_bytes(class_name, make_buffer):
    hasher = small_instance(class_name)
    data = bytes([0x5A, 0x03])
    assert hasher.hash_bits(make_buffer(data), 10) == hasher.hash_bits(data, 10)
    assert hasher.point(make_buffer(data)) == hasher.point(data)
    assert hasher.hash_many([make_buffer(data), data]) == [hasher.hash(data)] * 2
    state = hasher.incremental(make_buffer(data[:1]))
    state.update(make_buffer(data[1:]))
    assert state.digest() == hasher.hash(data)
    with pytest.raises(TypeError, match="cannot be converted to 'PyBytes'"):
        hasher.hash(make_buffer(data))


@pytest.mark.parametrize("value", ["text", 5, None, object()])
def test_objects_without_bytes_are_refused(value):
    hasher = _tamarind.ZcashPedersen()
    state, name = hasher.incremental(), type(value).__qualname__
    for call in (lambda: hasher.hash_bits(value, 8), lambda: hasher.point(value), lambda: state.update(value)):
        with pytest.raises(TypeError) as caught:
            call()
        assert str(caught.value) == f"argument 'data': a bytes-like object is required, not '{name}'"


@pytest.mark.skipif(sys.version_info < (3, 11), reason="hashlib.file_digest is new in 3.11")
def test_file_digest_hashes_a_file(tmp_path):
    data = random.Random(3).randbytes(300_000)
    (tmp_path / "blob").write_bytes(data)
    hasher = _tamarind.ZcashPedersen()
    with open(tmp_path / "blob", "rb") as f:
        assert hashlib.file_digest(f, hasher.incremental).digest() == hasher.hash(data)
    assert hashlib.file_digest(io.BytesIO(data), hasher.incremental).digest() == hasher.hash(data)


R_J = JUBJUB.order


def note_commitment(g_d: bytes, pk_d: bytes, value: int, rcm: bytes) -> bytes:
    bits = [1] * 6 + [(value >> i) & 1 for i in range(64)]
    bits += [(byte >> i) & 1 for byte in g_d + pk_d for i in range(8)]
    r = next(p for p in (candidate(DEFAULT, b"r", c) for c in range(256)) if not isinstance(p, str))
    hash_point = reference_point(_tamarind.ZcashPedersen(), bits)
    return to_le32(JUBJUB.add(hash_point, JUBJUB.mul(r, int.from_bytes(rcm, "little")))[0])


G_D = bytes.fromhex("3a71e348169e0cedbc4f3633a260d0e785ea8f8927ce4501cef3216ed075cea2")


def test_note_commitment_published_value():
    g_d = G_D
    pk_d = bytes.fromhex("db4cd2b0aac4f7eb8ca131f16567c445a9555126d3c29f14e3d776e841ae7415")
    rcm = bytes.fromhex("39176dac39ace4980ecc8d778e89860255ec3615060000000000000000000000")
    cmu = "cb3cf9153270d57eb914c6c2bcc01850c9fed44fce0806278f083ef2dd076439"
    assert _tamarind._sapling_note_commitment(g_d, pk_d, 0, rcm).hex() == cmu
    assert _tamarind._sapling_note_commitment(bytearray(g_d), memoryview(pk_d), 0, rcm=bytearray(rcm)).hex() == cmu


@pytest.mark.parametrize("value, rcm", [(2**64 - 1, R_J - 1), (1, 0), (123456789, None)])
def test_note_commitment_matches_plain_integers(value, rcm):
    rng = random.Random(value)
    # Points an address can hold: hash points, of the prime-order subgroup, encoded as Zcash does.
    g_d, pk_d = (
        (v | (u & 1) << 255).to_bytes(32, "little")
        for u, v in (_tamarind.ZcashPedersen().point(rng.randbytes(8)) for _ in range(2))
    )
    rcm_bytes = to_le32(rng.randrange(R_J) if rcm is None else rcm)
    assert _tamarind._sapling_note_commitment(g_d, pk_d, value, rcm_bytes) == note_commitment(
        g_d, pk_d, value, rcm_bytes
    )


@pytest.mark.parametrize(
    "g_d, value, rcm, error, message",
    [
        (G_D, 0, to_le32(R_J), ValueError, "rcm must be below the Jubjub subgroup order r_J"),
        (G_D, 0, b"\xff" * 32, ValueError, "rcm must be below the Jubjub subgroup order r_J"),
        (bytes(32), 2**64, bytes(32), ValueError, "value must be at least 0 and below 2**64"),
        (bytes(32), -1, bytes(32), ValueError, "value must be at least 0 and below 2**64"),
        (bytes(32), 1.0, bytes(32), TypeError, "argument 'value': an integer is required"),
        (bytes(31), 0, bytes(32), ValueError, "g_d must be 32 bytes, not 31"),
        (bytes(32), 0, bytes(33), ValueError, "rcm must be 32 bytes, not 33"),
    ],
)
def test_note_commitment_refusals(g_d, value, rcm, error, message):
    with pytest.raises(error) as caught:
        _tamarind._sapling_note_commitment(g_d, G_D, value, rcm)
    assert str(caught.value) == message
