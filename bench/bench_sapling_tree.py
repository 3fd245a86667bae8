"""The wallet's tree: what extend costs beside plain hashing, with witnesses and
marks, and what reading a mainnet-sized tree state and its root costs.

Run after `pip install .`:

    python3 bench/bench_sapling_tree.py [--leaves 262144] [--rounds 5] [--threads 2]
    python3 bench/bench_sapling_tree.py --root-only [--leaves 65536]   # one figure, for compare runs

1. `CommitmentTree.extend` of LEAVES leaves, variable time, against `hash_many(..., vartime=True)` over LEAVES
   items of 516 bits (a tree costs one node hash per leaf; the rest must be small). Target: at most 1.15x.
2. The same extend keeping 1,000 witnesses, and with 1,000 marks, against none. Targets: at most 1.25x each.
3. `from_bytes` and `root()` (constant time, the default) of a 734,157-leaf tree state (mainnet's at height
   1,384,123), with the empty roots already computed. Target: at most 1 ms.
4. `--root-only` prints the CPU seconds of `merkle_root(LEAVES leaves, vartime=True)`; run it under two builds
   alternately (e.g. this commit's and an older one's virtual environment) to compare them.

CPU time of the whole process (every thread), so that a shared machine's load disturbs the figures less; the
variants alternate within each round and the figures are medians over rounds.
"""

from __future__ import annotations

import argparse
import random
import statistics
import time
from typing import Callable, Dict, List

from machine import load_average, usable_cpus

from tamarind import ZcashPedersen, sapling

MERKLE_BITS = 516
MAINNET_SIZE = 734_157


def leaves_of(count: int, seed: int = 1) -> List[bytes]:
    rng = random.Random(seed)
    return [rng.getrandbits(254).to_bytes(32, "little") for _ in range(count)]


def cpu(call: Callable[[], object]) -> float:
    start = time.process_time()
    call()
    return time.process_time() - start


def tree_state(size: int) -> bytes:
    """A zcashd tree state of `size` leaves with arbitrary node values: its bytes
    are all that reading and the root depend on."""
    rng = random.Random(size)

    def node() -> bytes:
        return b"\x01" + rng.getrandbits(254).to_bytes(32, "little")

    in_leaves = 1 if size % 2 else 2
    out = node() + (node() if in_leaves == 2 else b"\x00")
    rest = (size - in_leaves) >> 1
    parents = []
    while rest:
        parents.append(node() if rest & 1 else b"\x00")
        rest >>= 1
    return out + bytes([len(parents)]) + b"".join(parents)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--leaves", type=int, default=1 << 18)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--threads", type=int, default=usable_cpus())
    parser.add_argument("--root-only", action="store_true")
    args = parser.parse_args()
    leaves = leaves_of(args.leaves)
    if args.root_only:
        sapling.merkle_root(leaves[:64], vartime=True)
        print(cpu(lambda: sapling.merkle_root(leaves, threads=args.threads, vartime=True)))
        return

    nodes = [bytes(65) for _ in range(args.leaves)]  # the batch's cost does not depend on the bits
    hasher = ZcashPedersen()
    witnessed = sapling.CommitmentTree()
    witnessed.extend(leaves_of(1_000, seed=2), vartime=True)
    base = witnessed.copy()
    # A witness of each of the 1,000 leaves, up to date.
    kept = sapling.CommitmentTree().extend(leaves_of(1_000, seed=2), mark=range(1_000), vartime=True)
    marks = list(range(0, args.leaves, max(1, args.leaves // 1_000)))[:1_000]

    def extend(**options: object) -> Callable[[], object]:
        def call() -> object:
            tree = base.copy()
            witnesses = [w.copy() for w in options.get("witnesses", [])]  # type: ignore[attr-defined]
            return tree.extend(
                leaves, witnesses=witnesses, mark=options.get("mark", ()), threads=args.threads, vartime=True
            )

        return call

    variants: Dict[str, Callable[[], object]] = {
        "hash_many": lambda: hasher.hash_many(nodes, threads=args.threads, bit_length=MERKLE_BITS, vartime=True),
        "extend": extend(),
        "extend, 1,000 witnesses": extend(witnesses=kept),
        "extend, 1,000 marks": extend(mark=marks),
    }
    state = tree_state(MAINNET_SIZE)
    sapling.empty_root(32)  # warm: the empty roots computed
    ZcashPedersen().hash_bits(bytes(65), MERKLE_BITS)

    def read_and_root() -> None:
        for _ in range(20):
            sapling.CommitmentTree.from_bytes(state).root()

    times: Dict[str, List[float]] = {name: [] for name in [*variants, "from_bytes + root"]}
    for _ in range(args.rounds):
        for name, call in variants.items():
            times[name].append(cpu(call))
        times["from_bytes + root"].append(cpu(read_and_root) / 20)
    median = {name: statistics.median(values) for name, values in times.items()}
    print(f"{args.leaves} leaves, {args.threads} threads, {args.rounds} rounds, load {load_average()}")
    print(f"{'variant':<26} {'CPU s (median)':>15} {'ratio':>8}  target")
    targets = {"extend": ("hash_many", 1.15), "extend, 1,000 witnesses": ("extend", 1.25)}
    targets["extend, 1,000 marks"] = ("extend", 1.25)
    for name in variants:
        against = targets.get(name)
        ratio = median[name] / median[against[0]] if against else 1.0
        goal = f"<= {against[1]}x {against[0]}" if against else ""
        print(f"{name:<26} {median[name]:>15.3f} {ratio:>8.3f}  {goal}")
    size = sapling.CommitmentTree.from_bytes(state).size
    print(
        f"from_bytes + root() of a {size}-leaf tree state: {median['from_bytes + root'] * 1e3:.3f} ms (target <= 1 ms)"
    )


if __name__ == "__main__":
    main()
