"""Hashing a large batch on a Dask cluster.

    python examples/dask_cluster.py [--items 2000] [--workers 2] \
        [--scheduler tcp://HOST:8786]

Without --scheduler it starts a LocalCluster of worker processes on this machine.
For many machines, start a scheduler and workers there (`dask scheduler`,
`dask worker tcp://HOST:8786`, with tamarind installed on every worker) and pass
the scheduler's address. Prints one digest per line in hex, in the items' order.
"""

from __future__ import annotations

import argparse

from dask.distributed import Client, LocalCluster

from tamarind import ZcashPedersen


def hash_chunk(hasher, chunk):
    # A worker runs one task per thread, so one native thread per task.
    return hasher.hash_many(chunk, threads=1)


def hash_on_cluster(client, hasher, items, chunk_size=1_000):
    """[hasher.hash(x) for x in items], computed by the cluster's workers."""
    # Pickled once and sent to every worker, which rebuilds it once; its tasks all
    # share that copy.
    remote = client.scatter(hasher, broadcast=True)
    chunks = [items[i : i + chunk_size] for i in range(0, len(items), chunk_size)]
    futures = client.map(hash_chunk, [remote] * len(chunks), chunks)
    return [digest for part in client.gather(futures) for digest in part]


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--items", type=int, default=2_000)
    parser.add_argument(
        "--workers", type=int, default=2, help="worker processes of the local cluster"
    )
    parser.add_argument(
        "--scheduler", help="address of a running scheduler, instead of a local cluster"
    )
    arguments = parser.parse_args()

    # 64-byte inputs
    items = [i.to_bytes(8, "little") * 8 for i in range(arguments.items)]
    hasher = ZcashPedersen()
    if arguments.scheduler:
        with Client(arguments.scheduler) as client:
            digests = hash_on_cluster(client, hasher, items, chunk_size=250)
    else:
        cluster = LocalCluster(
            n_workers=arguments.workers,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
        )
        with cluster, Client(cluster) as client:
            digests = hash_on_cluster(client, hasher, items, chunk_size=250)
    for digest in digests:
        print(digest.hex())


if __name__ == "__main__":
    main()
