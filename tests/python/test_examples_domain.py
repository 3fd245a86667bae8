"""The Sapling and circom examples run, and print what plain-integer references compute."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

from reference import BABYJUBJUB
from test_circom import base_point, enc
from test_sapling import reference_merkle_hash

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def run(name: str) -> dict[str, str]:
    """The example's output lines, as a mapping from the text before the first colon."""
    proc = subprocess.run([sys.executable, str(EXAMPLES / name)], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return dict((part.strip() for part in line.split(":", 1)) for line in proc.stdout.splitlines())


def circom_point(data: bytes) -> tuple[int, int]:
    total = (0, 1)
    for start in range(0, len(data), 25):
        chunk = data[start : start + 25]
        exponent = sum(enc(b & 15) * 32 ** (2 * i) + enc(b >> 4) * 32 ** (2 * i + 1) for i, b in enumerate(chunk))
        total = BABYJUBJUB.add(total, BABYJUBJUB.mul(base_point(start // 25), exponent % BABYJUBJUB.order))
    return total


def test_tornado_commitment():
    out = run("tornado_commitment.py")
    nullifier = int(out["nullifier"], 16).to_bytes(31, "little")
    secret = int(out["secret"], 16).to_bytes(31, "little")
    assert int(out["commitment"], 16) == circom_point(nullifier + secret)[0]
    assert int(out["nullifier hash"], 16) == circom_point(nullifier)[0]


def test_sapling_tree():
    out = run("sapling_tree.py")
    assert out["empty tree root"] == "fbc2f4300c01f0b7820d00e3347c8da4ee614674376cbc45359daa54f9b5493e"
    assert out["cmu 0"] == "cb3cf9153270d57eb914c6c2bcc01850c9fed44fce0806278f083ef2dd076439"
    level = [int.from_bytes(bytes.fromhex(out[f"cmu {i}"]), "little") for i in range(4)]
    empty = 1
    for height in range(32):
        level += [empty] * (len(level) % 2)
        pairs = zip(level[::2], level[1::2])
        level = [int.from_bytes(reference_merkle_hash(height, left, right), "little") for left, right in pairs]
        empty = int.from_bytes(reference_merkle_hash(height, empty, empty), "little")
    assert out["root"] == level[0].to_bytes(32, "little").hex()
    assert out["path verifies"] == "True"
    assert out["path verifies for another leaf"] == "False"


def test_sapling_wallet():
    out = run("sapling_wallet.py")
    sys.path.insert(0, str(EXAMPLES))
    try:
        import sapling_wallet as wallet
    finally:
        sys.path.remove(str(EXAMPLES))
    from tamarind import sapling

    # The chain the wallet followed, the replaced block last.
    leaves = [i.to_bytes(32, "little") for i in range(1_000)]
    for block in [*range(wallet.BLOCKS - 1), wallet.REPLACEMENT]:
        leaves += wallet.block_cmus(block)
    assert out["root (as zcash-cli shows it)"] == sapling.merkle_root(leaves, vartime=True)[::-1].hex()
    assert out["after the reorganisation"] == f"{len(leaves)} leaves, 3 notes"
    mine = [1_000 + block * wallet.PER_BLOCK + i for block, i in sorted(wallet.MINE) if block < wallet.BLOCKS - 1]
    assert [out[f"note at {p}"] for p in mine] == ["path verifies: True"] * 3
