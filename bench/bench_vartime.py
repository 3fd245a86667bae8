"""Variable time against constant time, in one build: hash_vartime against hash, merkle_root(vartime=True) against
the default.

Run after `pip install .`:  python3 bench/bench_vartime.py [--rounds N] [--quick]

Within a round the two calls alternate on the same instance and input, so that a shared machine's load falls on both
alike; each figure is the median over the rounds. Single hashes are timed in CPU time (time.process_time) per call;
merkle_root, which runs on native threads, in wall-clock time (time.perf_counter) per root. Only the ratios are
meant to be compared between runs.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import time
from typing import Callable, List, Tuple

import _tamarind
from machine import load_average, usable_cpus

from tamarind import sapling

# (label, instance, input bytes, target ratio)
CASES: List[Tuple[str, Callable[[], object], int, float]] = [
    ("ZcashPedersen", _tamarind.ZcashPedersen, 64, 1.7),
    ("ZcashPedersen", _tamarind.ZcashPedersen, 1024, 1.8),
    ("CircomPedersen", _tamarind.CircomPedersen, 64, 2.2),
    ("CircomPedersen", _tamarind.CircomPedersen, 1024, 2.5),
    ("JubjubBoweHopwood(4, 63)", lambda: _tamarind.JubjubBoweHopwood(4, 63), 64, 2.0),
    ("BabyJubjubPedersen(4, 128)", lambda: _tamarind.BabyJubjubPedersen(4, 128), 64, 2.0),
]
MERKLE_TARGET = 1.6


def per_call(call: Callable[[], object], clock: Callable[[], float], min_seconds: float) -> float:
    """Seconds per call of `call` on `clock`, over at least `min_seconds` and 3 calls."""
    count, start = 0, clock()
    while True:
        call()
        count += 1
        elapsed = clock() - start
        if elapsed >= min_seconds and count >= 3:
            return elapsed / count


def alternate(
    constant: Callable[[], object],
    variable: Callable[[], object],
    clock: Callable[[], float],
    rounds: int,
    min_seconds: float,
) -> Tuple[float, float]:
    """Median seconds per call of each, measured in alternating rounds."""
    times: Tuple[List[float], List[float]] = ([], [])
    for _ in range(rounds):
        times[0].append(per_call(constant, clock, min_seconds))
        times[1].append(per_call(variable, clock, min_seconds))
    return statistics.median(times[0]), statistics.median(times[1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=9, help="alternating rounds per figure (default 9)")
    parser.add_argument("--quick", action="store_true", help="shorter measurements and a smaller tree")
    arguments = parser.parse_args()
    min_seconds = 0.02 if arguments.quick else 0.1
    leaves_log2 = 12 if arguments.quick else 16

    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")), "?")
    print(
        f"# {platform.python_implementation()} {platform.python_version()}, {usable_cpus()} usable CPUs, {cpu}, "
        f"load {load_average()}, {arguments.rounds} rounds"
    )
    print(f"{'hasher':<28}{'input':>7}{'hash µs':>11}{'vartime µs':>12}{'ratio':>8}{'target':>8}")
    for label, make, size, target in CASES:
        hasher = make()
        data = os.urandom(size)
        assert hasher.hash_vartime(data) == hasher.hash(data)  # and the caching ones have their tables
        constant, variable = alternate(
            lambda: hasher.hash(data),
            lambda: hasher.hash_vartime(data),
            time.process_time,
            arguments.rounds,
            min_seconds,
        )
        ratio = constant / variable
        print(
            f"{label:<28}{size:>7}{constant * 1e6:>11.1f}{variable * 1e6:>12.1f}{ratio:>7.2f}×{target:>7.2f}×"
            + ("" if ratio >= target else "  (missed)")
        )

    # Leaves below the modulus: the top byte of a 32-byte little-endian value kept under 0x40.
    leaves = [os.urandom(31) + bytes([byte & 0x3F]) for byte in os.urandom(1 << leaves_log2)]
    assert sapling.merkle_root(leaves[:64], vartime=True) == sapling.merkle_root(leaves[:64])
    constant, variable = alternate(
        lambda: sapling.merkle_root(leaves),
        lambda: sapling.merkle_root(leaves, vartime=True),
        time.perf_counter,
        max(1, arguments.rounds // 3),
        0.0,
    )
    ratio = constant / variable
    print(
        f"{f'merkle_root, 2**{leaves_log2} leaves':<28}{'':>7}{constant * 1e6:>11.0f}{variable * 1e6:>12.0f}"
        f"{ratio:>7.2f}×{MERKLE_TARGET:>7.2f}×"
        + ("" if ratio >= MERKLE_TARGET else "  (missed)")
        + "  (wall clock, all usable CPUs)"
    )


if __name__ == "__main__":
    main()
