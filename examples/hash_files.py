"""Hash files with a Pedersen hasher, as `sha256sum` does: one `DIGEST  NAME` line
per file.

    python examples/hash_files.py [--hasher zcash|circom] [--block-size BYTES] FILE...

Files of up to one block (1 MiB by default) are read whole and hashed together by
one `hash_many` call, on every CPU. A larger file is streamed instead: it goes
through an incremental hash one block at a time, so memory does not grow with the
file.
"""

from __future__ import annotations

import argparse
import os

from tamarind import CircomPedersen, ZcashPedersen

HASHERS = {"zcash": ZcashPedersen, "circom": CircomPedersen}


def hash_large_file(hasher, path: str, block_size: int) -> bytes:
    state = hasher.incremental()
    with open(path, "rb") as file:
        while piece := file.read(block_size):
            state.update(piece)
    return state.digest()


def hash_files(hasher, paths: list[str], block_size: int = 1 << 20) -> list[bytes]:
    """The digest of each file, in the order given."""
    digests: dict[int, bytes] = {}
    small: list[int] = []
    for index, path in enumerate(paths):
        if os.path.getsize(path) > block_size:
            digests[index] = hash_large_file(hasher, path, block_size)
        else:
            small.append(index)
    contents = []
    for index in small:
        with open(paths[index], "rb") as file:
            contents.append(file.read())
    digests.update(zip(small, hasher.hash_many(contents)))
    return [digests[index] for index in range(len(paths))]


def main() -> None:
    parser = argparse.ArgumentParser(description="Hash files with a Pedersen hasher.")
    parser.add_argument("--hasher", choices=sorted(HASHERS), default="zcash")
    parser.add_argument(
        "--block-size",
        type=int,
        default=1 << 20,
        help="bytes read at a time from a large file",
    )
    parser.add_argument("files", nargs="+", metavar="FILE")
    arguments = parser.parse_args()
    # One instance for every file: its tables are built once.
    hasher = HASHERS[arguments.hasher]()
    for path, digest in zip(
        arguments.files, hash_files(hasher, arguments.files, arguments.block_size)
    ):
        print(f"{digest.hex()}  {path}")


if __name__ == "__main__":
    main()
