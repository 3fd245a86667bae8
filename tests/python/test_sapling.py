"""tamarind.sapling against Zcash's published values and a plain-integer Pedersen hash on bits."""

from __future__ import annotations

import random

import pytest
from reference import JUBJUB, to_le32
from test_zcash import group_hash

from tamarind import sapling

Q = JUBJUB.p
R_ORDER = JUBJUB.order


def reference_merkle_hash(height: int, left: int, right: int) -> bytes:
    """The Sapling Pedersen hash of the 516 bits, one scalar multiplication per segment."""
    bits = [height >> i & 1 for i in range(6)] + [left >> i & 1 for i in range(255)]
    bits += [right >> i & 1 for i in range(255)]
    total = (0, 1)
    # 516 bits are 172 whole 3-bit chunks, 63 to a segment.
    for segment in range(3):
        digit = sum(
            (1 + bits[k] + 2 * bits[k + 1]) * (1 - 2 * bits[k + 2]) * 16**j
            for j, k in enumerate(range(189 * segment, min(189 * (segment + 1), 516), 3))
        )
        total = JUBJUB.add(total, JUBJUB.mul(group_hash(b"Zcash_PH", segment), digit % R_ORDER))
    return to_le32(total[0])


def leaves_of(count: int, seed: int = 0) -> list[bytes]:
    rng = random.Random(seed)
    return [to_le32(rng.randrange(Q)) for _ in range(count)]


@pytest.mark.parametrize(
    "height, root",
    [
        (0, "01" + "00" * 31),
        (1, "817de36ab2d57feb077634bca77819c8e0bd298c04f6fed0e6a83cc1356ca155"),
        (32, "fbc2f4300c01f0b7820d00e3347c8da4ee614674376cbc45359daa54f9b5493e"),
    ],
)
def test_published_empty_roots(height, root):
    assert sapling.empty_root(height).hex() == root


@pytest.mark.parametrize(
    "height, left, right",
    [(0, 0, 1), (5, Q - 1, 2**254), (33, 12345, Q - 1), (62, Q - 2**200, 7)],
)
def test_merkle_hash_matches_the_reference_on_bits(height, left, right):
    expected = reference_merkle_hash(height, left, right)
    assert sapling.merkle_hash(height, to_le32(left), to_le32(right)) == expected
    assert sapling.merkle_hash(height, bytearray(to_le32(left)), memoryview(to_le32(right))) == expected


@pytest.mark.parametrize(
    "height, left, right, error, message",
    [
        (-1, bytes(32), bytes(32), ValueError, r"height must be in \[0, 62\], not -1"),
        (63, bytes(32), bytes(32), ValueError, r"height must be in \[0, 62\], not 63"),
        (1.0, bytes(32), bytes(32), TypeError, "height must be an integer"),
        (0, to_le32(Q), bytes(32), ValueError, "left is not a canonical field element"),
        (0, bytes(32), b"\xff" * 32, ValueError, "right is not a canonical field element"),
        (0, bytes(31), bytes(32), ValueError, "left must be 32 bytes, not 31"),
        (0, bytes(32), bytes(33), ValueError, "right must be 32 bytes, not 33"),
        (0, "00" * 32, bytes(32), TypeError, "left must be a bytes-like object"),
    ],
)
def test_merkle_hash_refusals(height, left, right, error, message):
    with pytest.raises(error, match=message):
        sapling.merkle_hash(height, left, right)


def naive_root(leaves: list[bytes], height: int, start: int = 0) -> bytes:
    """Every node hashed, empty subtrees included."""
    if height == 0:
        return leaves[start] if start < len(leaves) else sapling.UNCOMMITTED
    half = 1 << (height - 1)
    return sapling.merkle_hash(
        height - 1, naive_root(leaves, height - 1, start), naive_root(leaves, height - 1, start + half)
    )


@pytest.mark.parametrize("count", range(17))
def test_merkle_root_equals_the_naive_tree(count):
    leaves = leaves_of(count, seed=count)
    assert sapling.merkle_root(leaves, depth=4) == naive_root(leaves, 4)
    assert sapling.merkle_root(iter(leaves), depth=4, threads=1) == naive_root(leaves, 4)
    assert sapling.merkle_root(leaves, depth=4, vartime=True) == naive_root(leaves, 4)


@pytest.mark.parametrize(
    "leaves, message",
    [
        (leaves_of(17), r"leaf 16: a tree of depth 4 holds at most 2\*\*4 leaves"),
        (leaves_of(5) + [to_le32(Q)] + leaves_of(2), "leaf 5 is not a canonical field element"),
        (leaves_of(2) + [bytes(31)], "leaf 2 must be 32 bytes, not 31"),
    ],
)
def test_merkle_root_names_the_bad_leaf(leaves, message):
    with pytest.raises(ValueError, match=message):
        sapling.merkle_root(leaves, depth=4)


def test_paths_lead_to_the_root_and_tampering_breaks_them():
    leaves = leaves_of(11, seed=11)
    root = sapling.merkle_root(leaves, depth=4)
    for position, leaf in enumerate(leaves):
        path = sapling.merkle_path(leaves, position, depth=4)
        siblings = [naive_root(leaves, height, (position >> height ^ 1) << height) for height in range(4)]
        assert path == siblings
        assert sapling.merkle_path(leaves, position, depth=4, vartime=True) == siblings
        assert sapling.verify_path(leaf, position, path, root)
        assert not sapling.verify_path(leaf, position ^ 1, path, root)
        assert not sapling.verify_path(leaves[position - 1], position, path, root)
        for height in range(4):
            tampered = list(path)
            tampered[height] = bytes([path[height][0] ^ 1]) + path[height][1:]
            assert not sapling.verify_path(leaf, position, tampered, root)


@pytest.mark.parametrize("position", [-1, 11, 16])
def test_merkle_path_refuses_positions_without_a_leaf(position):
    with pytest.raises(ValueError, match=f"position {position} is out of range for 11 leaves"):
        sapling.merkle_path(leaves_of(11), position, depth=4)


def test_verify_path_refuses_positions_outside_the_tree():
    with pytest.raises(ValueError, match="position 16 is out of range for a tree of depth 4"):
        sapling.verify_path(sapling.UNCOMMITTED, 16, [sapling.UNCOMMITTED] * 4, bytes(32))


G_D = "3a71e348169e0cedbc4f3633a260d0e785ea8f8927ce4501cef3216ed075cea2"
PK_D = "db4cd2b0aac4f7eb8ca131f16567c445a9555126d3c29f14e3d776e841ae7415"
RCM = "39176dac39ace4980ecc8d778e89860255ec3615060000000000000000000000"


def test_published_note_commitment():
    g_d, pk_d, rcm = bytes.fromhex(G_D), bytes.fromhex(PK_D), bytes.fromhex(RCM)
    cmu = "cb3cf9153270d57eb914c6c2bcc01850c9fed44fce0806278f083ef2dd076439"
    assert sapling.note_commitment(g_d, pk_d, 0, rcm).hex() == cmu
    assert sapling.note_commitment(bytearray(g_d), memoryview(pk_d), 0, bytearray(rcm)).hex() == cmu


@pytest.mark.parametrize(
    "g_d, value, rcm, error, message",
    [
        (G_D, 2**64, RCM, ValueError, "value"),
        (G_D, -1, RCM, ValueError, "value"),
        (G_D, 0, to_le32(R_ORDER).hex(), ValueError, "rcm"),
        (G_D, 0, RCM[:-2], ValueError, "rcm must be 32 bytes, not 31"),
        (G_D + "00", 0, RCM, ValueError, "g_d must be 32 bytes, not 33"),
        (G_D, 1.0, RCM, TypeError, "value must be an integer"),
    ],
)
def test_note_commitment_refusals(g_d, value, rcm, error, message):
    with pytest.raises(error, match=message):
        sapling.note_commitment(bytes.fromhex(g_d), bytes.fromhex(PK_D), value, bytes.fromhex(rcm))
