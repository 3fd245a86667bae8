"""Many inputs in one process: one `hash_many` call, and a generator hashed a slice
at a time.

    python examples/large_batch.py [--items 2000]

Prints the digests of the batch, then those of the generator, one per line in hex.
"""

from __future__ import annotations

import argparse
import itertools
from typing import Iterable, Iterator

from tamarind import CircomPedersen


def hash_in_slices(
    hasher, records: Iterable[bytes], size: int = 5_000
) -> Iterator[bytes]:
    """Digests of any iterable of bytes, holding `size` records at a time: for input
    larger than memory."""
    records = iter(records)
    while batch := list(itertools.islice(records, size)):
        yield from hasher.hash_many(batch)


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--items",
        type=int,
        default=2_000,
        help="inputs in the batch and in the generator",
    )
    arguments = parser.parse_args()

    hasher = CircomPedersen()
    # 64-byte inputs; millions work alike
    items = [i.to_bytes(8, "little") * 8 for i in range(arguments.items)]
    # One call: native threads on every usable CPU, digests in the order of the items.
    for digest in hasher.hash_many(items):
        print(digest.hex())

    generated = (i.to_bytes(8, "little") for i in range(arguments.items))
    for digest in hash_in_slices(hasher, generated, size=500):
        print(digest.hex())


if __name__ == "__main__":
    main()
