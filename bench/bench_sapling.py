"""Sapling tree roots and bit-exact hashing, as ratios against the obvious Python.

Run after `pip install .`:  python3 bench/bench_sapling.py [--leaves 65536] [--rounds 5]

1. `sapling.merkle_root(leaves)` (depth 32, every level one `hash_many` call on every usable CPU) against a Python
   loop of `sapling.merkle_hash` that builds the same tree level by level. The target, at least 1.7x on 2 cores, is
   on WALL-CLOCK time: the root is meant to be faster by using more cores, which CPU time would hide. CPU time is
   shown beside it, and merkle_root on one thread, which show what a loaded machine's wall clock cannot: how much
   less work the root does than the loop.
2. `ZcashPedersen.hash_bits(data, 516)` (a tree node's input) against `hash(data)` of 65 bytes (520 bits): 172
   against 174 chunks, so hash_bits should cost no more than hash. PROCESS CPU time of a single-threaded loop,
   which a shared machine's load disturbs less than wall-clock time. Target: within 1.05x.

The variants alternate within each round, so that load falls on all of them alike; figures are medians over rounds.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import time
from typing import Callable, Dict, List, Tuple

from machine import load_average, usable_cpus

from tamarind import ZcashPedersen, sapling

Q = sapling.Q
TREE_TARGET = 1.7
BITS_TARGET = 1.05


def timed(call: Callable[[], object]) -> Tuple[float, float]:
    """(wall-clock, process CPU) seconds of one call."""
    wall, cpu = time.perf_counter(), time.process_time()
    call()
    return time.perf_counter() - wall, time.process_time() - cpu


def loop_root(leaves: List[bytes], depth: int = 32) -> bytes:
    """The tree root with one merkle_hash call per node, as a user would write it."""
    level = leaves
    for height in range(depth):
        if len(level) % 2:
            level = level + [sapling.empty_root(height)]
        level = [sapling.merkle_hash(height, level[i], level[i + 1]) for i in range(0, len(level), 2)]
    return level[0]


def rounds(calls: Dict[str, Callable[[], object]], count: int) -> Dict[str, Tuple[float, float]]:
    """Median (wall-clock, CPU) seconds of each call, the calls alternating within each round."""
    times: Dict[str, List[Tuple[float, float]]] = {name: [] for name in calls}
    for _ in range(count):
        for name, call in calls.items():
            times[name].append(timed(call))
    return {
        name: (statistics.median(t[0] for t in values), statistics.median(t[1] for t in values))
        for name, values in times.items()
    }


def verdict(ratio: float, target: float, higher_is_better: bool) -> str:
    met = ratio >= target if higher_is_better else ratio <= target
    return "met" if met else "MISSED"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--leaves", type=int, default=1 << 16, help="leaves of the tree (default 65536)")
    parser.add_argument("--hashes", type=int, default=20_000, help="hashes per batch in part 2 (default 20000)")
    parser.add_argument("--rounds", type=int, default=5, help="alternating rounds, medians taken (default 5)")
    args = parser.parse_args()

    cpus = usable_cpus()
    print(f"# {platform.python_implementation()} {platform.python_version()}, {cpus} usable CPUs")
    print(f"# load average at the start: {load_average()}")

    leaves = [int.from_bytes(os.urandom(32), "little") % Q for _ in range(args.leaves)]
    leaf_bytes = [leaf.to_bytes(32, "little") for leaf in leaves]
    if sapling.merkle_root(leaf_bytes) != loop_root(leaf_bytes):
        raise SystemExit("merkle_root differs from the loop of merkle_hash")
    tree = rounds(
        {
            "loop of merkle_hash": lambda: loop_root(leaf_bytes),
            "merkle_root": lambda: sapling.merkle_root(leaf_bytes),
            "merkle_root threads=1": lambda: sapling.merkle_root(leaf_bytes, threads=1),
        },
        args.rounds,
    )
    loop_wall, loop_cpu = tree["loop of merkle_hash"]
    print(f"\n## merkle_root of {args.leaves} leaves at depth 32, medians of {args.rounds}")
    print(f"{'':<22}{'wall ms':>10}{'vs loop':>9}{'CPU ms':>10}{'vs loop':>9}")
    for name, (wall, cpu) in tree.items():
        print(f"{name:<22}{wall * 1e3:10.1f}{loop_wall / wall:8.2f}x{cpu * 1e3:10.1f}{loop_cpu / cpu:8.2f}x")
    ratio = loop_wall / tree["merkle_root"][0]
    target = f">= {TREE_TARGET}x {verdict(ratio, TREE_TARGET, True)}" if cpus >= 2 else "(target needs 2 CPUs)"
    print(f"merkle_root's wall-clock speed-up: {ratio:.2f}x  {target}")

    hasher = ZcashPedersen()
    nodes = [(leaves[i % len(leaves)] << 6).to_bytes(65, "little") for i in range(args.hashes)]
    hasher.hash(nodes[0])  # builds the three segments' tables both calls use
    bits = rounds(
        {
            "hash (65 bytes)": lambda: [hasher.hash(data) for data in nodes],
            "hash_bits (516 bits)": lambda: [hasher.hash_bits(data, 516) for data in nodes],
        },
        args.rounds,
    )
    cpu = {name: seconds for name, (_, seconds) in bits.items()}
    ratio = cpu["hash_bits (516 bits)"] / cpu["hash (65 bytes)"]
    print(f"\n## {args.hashes} hashes on one thread, process CPU time, median of {args.rounds}")
    for name, seconds in cpu.items():
        print(f"{name:<21}{seconds * 1e6 / args.hashes:10.2f} us/hash")
    print(f"hash_bits / hash     {ratio:10.3f}x  <= {BITS_TARGET}x {verdict(ratio, BITS_TARGET, False)}")
    print(f"# load average at the end: {load_average()}")


if __name__ == "__main__":
    main()
