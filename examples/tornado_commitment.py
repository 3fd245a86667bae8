"""A Tornado Cash-style deposit note: its commitment and nullifier hash.

A deposit is two random 31-byte numbers, the nullifier and the secret (248
bits each, so below the BN254 field order). The contract stores

    commitment     = x-coordinate of pedersenHash(nullifier ‖ secret)
    nullifier hash = x-coordinate of pedersenHash(nullifier)

where pedersenHash is circomlib's Pedersen hash over Baby Jubjub, fed the
numbers as 31 little-endian bytes each. The circuit recomputes both from the
note, so they must match bit for bit.

    python examples/tornado_commitment.py                   # a fresh random note
    python examples/tornado_commitment.py NULLIFIER SECRET  # 0x-hex or decimal
"""

from __future__ import annotations

import secrets
import sys

from tamarind import CircomPedersen, circom


def number(text: str) -> int:
    value = int(text, 0)
    if not 0 <= value < 2**248:
        raise SystemExit(f"{text}: a nullifier or secret is a 248-bit number")
    return value


def main(argv: list[str]) -> None:
    if argv:
        nullifier, secret = (number(text) for text in argv)
    else:
        nullifier, secret = secrets.randbits(248), secrets.randbits(248)
    preimage = nullifier.to_bytes(31, "little") + secret.to_bytes(31, "little")

    hasher = CircomPedersen()  # one instance: its base points are derived once
    commitment, _ = hasher.point(preimage)
    # A program that already holds the packed digest (circomlibjs's pedersenHash
    # output) gets the same coordinates from unpack_point.
    nullifier_hash, _ = circom.unpack_point(hasher.hash(preimage[:31]))

    print(f"nullifier:      0x{nullifier:062x}")
    print(f"secret:         0x{secret:062x}")
    print(f"note:           tornado-eth-0.1-1-0x{preimage.hex()}")
    print(f"commitment:     0x{commitment:064x}")
    print(f"nullifier hash: 0x{nullifier_hash:064x}")


if __name__ == "__main__":
    main(sys.argv[1:])
