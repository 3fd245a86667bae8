"""Hashes per second for the four hashers, and construction times.

Run after `pip install .`:  python3 bench/bench_hashes.py [--quick]

Warm: one instance hashes the same size repeatedly (the caching hashers have
their tables). Cold: a fresh instance for every hash, so a caching hasher
derives its tables inside the measured call.
"""

from __future__ import annotations

import argparse
import math
import os
import platform
import time

import _tamarind

SIZES = [32, 64, 1024, 64 * 1024]


def rate(call, min_seconds: float) -> float:
    """Calls per second of `call`, measured over at least `min_seconds`."""
    count, start = 0, time.perf_counter()
    while True:
        call()
        count += 1
        elapsed = time.perf_counter() - start
        if elapsed >= min_seconds and count >= 3:
            return count / elapsed


def configurable(cls, per_segment: int, bits_per_segment: int, size: int):
    """An instance of `cls` with just enough segments for `size` bytes."""
    segments = math.ceil(size * 8 / bits_per_segment)
    return cls(segments, per_segment)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="shorter runs")
    args = parser.parse_args()
    seconds = 0.2 if args.quick else 1.0

    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")), "?")
    print(f"# {platform.python_implementation()} {platform.python_version()}, {os.cpu_count()} CPUs, {cpu}")
    print(f"{'hasher':<22}{'input':>8}{'warm hash/s':>14}{'cold hash/s':>14}")

    for size in SIZES:
        data = os.urandom(size)
        rows = [
            ("ZcashPedersen", lambda: _tamarind.ZcashPedersen(), True),
            ("CircomPedersen", lambda: _tamarind.CircomPedersen(), True),
            ("BabyJubjubPedersen", lambda: configurable(_tamarind.BabyJubjubPedersen, 256, 256, size), False),
            ("JubjubBoweHopwood", lambda: configurable(_tamarind.JubjubBoweHopwood, 256, 3 * 256, size), False),
        ]
        for name, make, caching in rows:
            hasher = make()
            hasher.hash(data)  # a caching hasher builds its tables here, outside the measurement
            warm = rate(lambda: hasher.hash(data), seconds)
            cold = rate(lambda: make().hash(data), seconds) if caching else float("nan")
            print(f"{name:<22}{size:>8}{warm:>14.0f}{cold:>14.0f}")

    print()
    print(f"{'construction (64, 256)':<30}{'ms':>10}")
    for cls in (_tamarind.BabyJubjubPedersen, _tamarind.JubjubBoweHopwood):
        per_call = 1.0 / rate(lambda: cls(64, 256), seconds)
        print(f"{cls.__name__:<30}{per_call * 1e3:>10.2f}")


if __name__ == "__main__":
    main()
