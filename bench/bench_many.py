"""`hash_many` against a Python loop of `hash` on the same instance, as throughput ratios.

Run after `pip install .`:  python3 bench/bench_many.py [--items 20000] [--size 64] [--rounds 5]

For each hasher (the configurable ones just large enough for the input size), one batch of random inputs is
hashed by `[h.hash(x) for x in items]` and by `h.hash_many(items, threads=T)` for T = 1, 2 and None (every usable
CPU), the variants alternating within each round so that a shared machine's load falls on all of them alike.
Figures are medians over the rounds of WALL-CLOCK time per batch: CPU time would count the work of every thread and
hide exactly the speed-up that threads bring. A ratio above 1 means hash_many is faster than the loop.
"""

from __future__ import annotations

import argparse
import math
import os
import platform
import statistics
import time

import _tamarind
from machine import load_average, usable_cpus

# The speed-ups hash_many is meant to reach against the loop (threads=2 only on a machine with 2 or more CPUs).
TARGETS = {1: 1.05, 2: 1.7}


def hashers(size: int) -> dict:
    bits = size * 8
    return {
        "ZcashPedersen": _tamarind.ZcashPedersen(),
        "CircomPedersen": _tamarind.CircomPedersen(),
        "BabyJubjubPedersen": _tamarind.BabyJubjubPedersen(math.ceil(bits / 256), 256),
        "JubjubBoweHopwood": _tamarind.JubjubBoweHopwood(math.ceil(bits / (3 * 256)), 256),
    }


def wall(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--items", type=int, default=20_000, help="inputs per batch (default 20000)")
    parser.add_argument("--size", type=int, default=64, help="bytes per input (default 64)")
    parser.add_argument("--rounds", type=int, default=5, help="alternating rounds, medians taken (default 5)")
    args = parser.parse_args()

    cpus = usable_cpus()
    model = "?"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            model = next((line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")), "?")
    except OSError:
        pass
    print(f"# {platform.python_implementation()} {platform.python_version()}, {cpus} usable CPUs, {model}")
    print(
        f"# {args.items} inputs of {args.size} bytes per batch; medians of wall-clock time over {args.rounds} "
        "alternating rounds (not CPU time, which counts every thread's work)"
    )
    print(f"# load average at the start: {load_average()} (other work on the CPUs distorts the threaded figures)")
    print(f"{'hasher':<20}{'variant':<18}{'ms/batch':>10}{'hash/s':>12}{'vs loop':>9}  target")

    for name, hasher in hashers(args.size).items():
        items = [os.urandom(args.size) for _ in range(args.items)]
        expected = [hasher.hash(item) for item in items]  # also warms a caching hasher's tables
        calls = {
            "loop of hash": lambda: [hasher.hash(item) for item in items],
            "threads=1": lambda: hasher.hash_many(items, threads=1),
            "threads=2": lambda: hasher.hash_many(items, threads=2),
            "threads=None": lambda: hasher.hash_many(items),
        }
        for variant, call in calls.items():
            if call() != expected:
                raise SystemExit(f"{name} {variant}: digests differ from hash")
        times: dict[str, list[float]] = {variant: [] for variant in calls}
        for _ in range(args.rounds):
            for variant, call in calls.items():
                times[variant].append(wall(call))
        loop = statistics.median(times["loop of hash"])
        for variant in calls:
            median = statistics.median(times[variant])
            threads = {"threads=1": 1, "threads=2": 2}.get(variant)
            target = ""
            if threads is not None and cpus >= threads:
                wanted = TARGETS[threads]
                target = f">= {wanted:.2f}x {'met' if loop / median >= wanted else 'MISSED'}"
            rate = args.items / median
            print(f"{name:<20}{variant:<18}{median * 1e3:>10.1f}{rate:>12.0f}{loop / median:>8.2f}x  {target}")
    print(f"# load average at the end: {load_average()}")


if __name__ == "__main__":
    main()
