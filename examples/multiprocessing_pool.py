"""Hashing a large batch on a `multiprocessing` pool.

    python examples/multiprocessing_pool.py [--items 2000] [--processes N] \
        [--start-method fork|spawn|forkserver]

Each worker process receives the hasher once, through the pool's initializer, and
hashes whole chunks with `threads=1`: the pool already runs one process per CPU.
Prints one digest per line in hex, in the items' order.
"""

from __future__ import annotations

import argparse
import itertools
import multiprocessing

from tamarind import ZcashPedersen

_hasher = None  # this worker process's instance


def _init_worker(hasher):
    # Runs once per process: the instance is unpickled (its tables built) here, not
    # once per chunk.
    global _hasher
    _hasher = hasher


def _hash_chunk(chunk):
    return _hasher.hash_many(chunk, threads=1)


def chunked(items, size):
    items = iter(items)
    while chunk := list(itertools.islice(items, size)):
        yield chunk


def hash_in_pool(
    hasher, items, processes=None, chunk_size=1_000, context=multiprocessing
):
    """[hasher.hash(x) for x in items], computed by a pool of `processes` worker
    processes (default: one per CPU)."""
    with context.Pool(processes, initializer=_init_worker, initargs=(hasher,)) as pool:
        # imap keeps the chunks in order.
        return [
            digest
            for part in pool.imap(_hash_chunk, chunked(items, chunk_size))
            for digest in part
        ]


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--items", type=int, default=2_000)
    parser.add_argument(
        "--processes",
        type=int,
        default=None,
        help="worker processes (default: one per CPU)",
    )
    parser.add_argument(
        "--start-method", choices=multiprocessing.get_all_start_methods(), default=None
    )
    arguments = parser.parse_args()

    # 64-byte inputs
    items = [i.to_bytes(8, "little") * 8 for i in range(arguments.items)]
    context = multiprocessing.get_context(arguments.start_method)
    digests = hash_in_pool(
        ZcashPedersen(), items, arguments.processes, chunk_size=250, context=context
    )
    for digest in digests:
        print(digest.hex())


if __name__ == "__main__":
    main()
