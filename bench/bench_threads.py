"""What long calls leave to other Python threads, and what threads sharing one hasher gain.

Run after `pip install .`:  python3 bench/bench_threads.py [--rounds 5]

(a) While a worker thread makes one long call (ZcashPedersen().hash of 1 MiB, hash_many of 10,000 64-byte items,
sapling.merkle_root of 2^18 leaves with vartime=True), the main thread counts in a loop; its rate is given as a
fraction of the rate of the same loop while the worker only sleeps. A call that held the interpreter lock throughout
would leave it close to 0. hash_many and merkle_root run on all usable CPUs but one (`threads`), so that what is
measured is the lock, not the counting thread's share of the cores.

(b) Four threads each hash 256 KiB with one shared ZcashPedersen (constant time), against one thread hashing the four
inputs in turn: the ratio of their WALL-CLOCK times (CPU time would count every thread's work and hide the gain).
On n usable CPUs the ideal is max(1/n, 1/4).

Figures are medians over the rounds, the variants alternating within each round so that a shared machine's load
falls on all of them alike.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import threading
import time

import _tamarind
from machine import load_average, usable_cpus

from tamarind import sapling

# (a): the counting thread keeps at least this fraction of its rate; (b): four threads take at most this fraction
# of one thread's time (on 2 or more CPUs).
COUNTING_TARGET = 0.50
FOUR_THREADS_TARGET = 0.65


def counting_rate(worker: threading.Thread) -> float:
    """Turns per second of a loop on this thread, for as long as `worker` runs."""
    turns = 0
    worker.start()
    start = time.perf_counter()
    while worker.is_alive():
        turns += 1
    elapsed = time.perf_counter() - start
    worker.join()
    return turns / elapsed


def wall(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5, help="alternating rounds, medians taken (default 5)")
    args = parser.parse_args()

    cpus = usable_cpus()
    print(f"# {platform.python_implementation()} {platform.python_version()}, {cpus} usable CPUs")
    print(f"# load average at the start: {load_average()} (other work on the CPUs distorts these figures)")
    print(f"# (a) hash_many and merkle_root on threads={max(1, cpus - 1)}; medians over {args.rounds} rounds")

    hasher = _tamarind.ZcashPedersen()
    megabyte = os.urandom(1 << 20)
    items = [os.urandom(64) for _ in range(10_000)]
    leaves = [(i + 2).to_bytes(32, "little") for i in range(1 << 18)]
    threads = max(1, cpus - 1)
    calls = {
        "hash of 1 MiB": lambda: hasher.hash(megabyte),
        "hash_many of 10,000 items": lambda: hasher.hash_many(items, threads=threads),
        "merkle_root of 2^18 leaves": lambda: sapling.merkle_root(leaves, threads=threads, vartime=True),
    }
    for call in calls.values():  # warms the tables
        call()

    pieces = [os.urandom(256 << 10) for _ in range(4)]
    expected = [hasher.hash(piece) for piece in pieces]

    def four_threads() -> None:
        results: list[bytes] = [b""] * 4

        def run(i: int) -> None:
            results[i] = hasher.hash(pieces[i])

        threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        if results != expected:
            raise SystemExit("four threads: digests differ from one thread's")

    fractions: dict[str, list[float]] = {name: [] for name in calls}
    durations: dict[str, list[float]] = {name: [] for name in calls}
    one_thread: list[float] = []
    four: list[float] = []
    for _ in range(args.rounds):
        for name, call in calls.items():
            took: list[float] = []
            busy = counting_rate(threading.Thread(target=lambda: took.append(wall(call))))
            solo = counting_rate(threading.Thread(target=time.sleep, args=(took[0],)))
            fractions[name].append(busy / solo)
            durations[name].append(took[0])
        one_thread.append(wall(lambda: [hasher.hash(piece) for piece in pieces]))
        four.append(wall(four_threads))

    print(f"{'(a) while a worker thread runs':<36}{'call s':>8}{'counting rate':>15}  target")
    for name in calls:
        fraction = statistics.median(fractions[name])
        verdict = "met" if fraction >= COUNTING_TARGET else "MISSED"
        print(
            f"{name:<36}{statistics.median(durations[name]):>8.2f}{fraction:>14.0%}  >= {COUNTING_TARGET:.0%} {verdict}"
        )
    ratio = statistics.median(four) / statistics.median(one_thread)
    verdict = "met" if ratio <= FOUR_THREADS_TARGET else "MISSED"
    target = f"<= {FOUR_THREADS_TARGET:.2f}x {verdict}" if cpus >= 2 else "(one CPU: no target)"
    print(f"{'(b) 4 x hash of 256 KiB':<36}{'1 thread s':>12}{'4 threads s':>13}{'ratio':>8}  target")
    print(f"{'':<36}{statistics.median(one_thread):>12.2f}{statistics.median(four):>13.2f}{ratio:>7.2f}x  {target}")
    print(f"# load average at the end: {load_average()}")


if __name__ == "__main__":
    main()
