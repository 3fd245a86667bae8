"""The root of a large Sapling tree on a Dask cluster, one subtree per task.

    python examples/dask_tree_root.py [--leaves 4096] [--subtree-depth 10] \
        [--workers 2] [--scheduler tcp://HOST:8786]

An indexer rebuilding the whole chain's tree can split it: each task computes
the root of one subtree of 2**SUBTREE_DEPTH consecutive leaves
(`merkle_root(chunk, depth=SUBTREE_DEPTH)`, a full subtree when the chunk is
full and padded with empty leaves otherwise), and the top levels combine those
roots with `merkle_hash`, padded with the empty roots of that height. The
result equals `merkle_root(leaves)` on one machine, which the script checks.
"""

from __future__ import annotations

import argparse

from dask.distributed import Client, LocalCluster

from tamarind import sapling


def subtree_root(chunk, depth):
    # The chain is public data: variable time is safe.
    return sapling.merkle_root(chunk, depth=depth, threads=1, vartime=True)


def root_on_cluster(client, leaves, subtree_depth, depth=32):
    """sapling.merkle_root(leaves, depth), computed subtree by subtree."""
    size = 1 << subtree_depth
    chunks = [leaves[i : i + size] for i in range(0, len(leaves), size)]
    level = client.gather(client.map(subtree_root, chunks, depth=subtree_depth))
    for height in range(subtree_depth, depth):
        if len(level) % 2:
            level.append(sapling.empty_root(height))
        level = [
            sapling.merkle_hash(height, a, b) for a, b in zip(level[::2], level[1::2])
        ]
    return level[0] if level else sapling.empty_root(depth)


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--leaves", type=int, default=4_096)
    parser.add_argument("--subtree-depth", type=int, default=10)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--scheduler", help="address of a running scheduler")
    arguments = parser.parse_args()

    leaves = [(7 * i + 3).to_bytes(32, "little") for i in range(arguments.leaves)]
    if arguments.scheduler:
        with Client(arguments.scheduler) as client:
            root = root_on_cluster(client, leaves, arguments.subtree_depth)
    else:
        cluster = LocalCluster(
            n_workers=arguments.workers,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
        )
        with cluster, Client(cluster) as client:
            root = root_on_cluster(client, leaves, arguments.subtree_depth)
    print(f"root: {root.hex()}")
    print(f"equals merkle_root: {root == sapling.merkle_root(leaves, vartime=True)}")


if __name__ == "__main__":
    main()
