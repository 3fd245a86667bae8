"""The plots of the documentation's Performance page, measured on this machine.

Run after `pip install '.[bench]'` (the package and matplotlib):

    python bench/plot.py [--rounds 5] [--quick] [--out docs/_static]

Writes, each stamped with the processor, its cores and the git commit measured:

- perf-per-byte.png: microseconds of CPU time per input byte against the input length, for the four hashers (warm
  instances: the caching hashers have their tables, the configurable ones are built for each length);
- perf-threads.png: hash_many's throughput against its thread count, up to the usable CPUs, in wall-clock time, with
  a Python loop of `hash` for reference;
- perf-vartime.png: the same cost per byte for `hash` (constant time) and `hash_vartime` (variable time).

Every figure is the median over the rounds; within a round the variants alternate, so that a shared machine's load
falls on all of them alike. The cost axes start at zero, so that a difference looks as large as it is. A run takes
a few minutes (seconds with --quick).
"""

from __future__ import annotations

import argparse
import math
import os
import platform
import statistics
import subprocess
import time
from pathlib import Path
from typing import Callable

import _tamarind
from machine import load_average, usable_cpus
from matplotlib.figure import Figure  # no pyplot: no display, no backend to choose
from matplotlib.ticker import NullFormatter

ROOT = Path(__file__).resolve().parents[1]
NAMES = ["ZcashPedersen", "CircomPedersen", "BabyJubjubPedersen", "JubjubBoweHopwood"]
CACHING_LENGTHS = [16, 32, 64, 128, 256, 1024, 4096, 16384, 65536, 262144]
CONFIGURABLE = ("BabyJubjubPedersen", "JubjubBoweHopwood")
CONFIGURABLE_LONGEST = 16384  # their tables grow with the capacity: 28 MB for BabyJubjubPedersen at this size
CACHED_TOGETHER = 4096  # the caching hashers' tables for this length: 16 MiB for Zcash, 6 MiB for circom


def machine() -> str:
    """The processor, its cores and the commit measured, for the stamp on every figure."""
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            model = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        pass

    def git(*arguments: str) -> str:
        try:
            return subprocess.run(["git", *arguments], cwd=ROOT, capture_output=True, text=True).stdout.strip()
        except OSError:
            return ""

    commit = git("rev-parse", "--short", "HEAD") or "unknown commit"
    if git("status", "--porcelain", "--untracked-files=no", "--", "src", "python", "CMakeLists.txt"):
        commit += " with local changes"
    return (
        f"{model}, {os.cpu_count()} cores ({usable_cpus()} usable); commit {commit}; "
        f"CPython {platform.python_version()}; {time.strftime('%Y-%m-%d')}, load average {load_average()} at the start"
    )


def make_hasher(name: str, longest: int):
    bits = 8 * longest
    if name == "BabyJubjubPedersen":
        return _tamarind.BabyJubjubPedersen(math.ceil(bits / 256), 256)
    if name == "JubjubBoweHopwood":
        return _tamarind.JubjubBoweHopwood(math.ceil(bits / (3 * 256)), 256)
    return getattr(_tamarind, name)()


def cpu_seconds_per_call(call: Callable[[], object], min_seconds: float) -> float:
    """CPU seconds per call, over at least `min_seconds` of CPU time."""
    count, start = 0, time.process_time()
    while True:
        call()
        count += 1
        elapsed = time.process_time() - start
        if elapsed >= min_seconds:
            return elapsed / count


def wall_seconds(call: Callable[[], object]) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def size_label(n: int) -> str:
    return f"{n >> 20} MiB" if n >= 1 << 20 else f"{n >> 10} KiB" if n >= 1 << 10 else f"{n} B"


def per_byte_axes(axes, lengths: list[int]) -> None:
    axes.set_xscale("log", base=2)
    axes.set_xticks(lengths, labels=[size_label(n) for n in lengths])
    axes.xaxis.set_minor_formatter(NullFormatter())
    axes.set_ylim(bottom=0)
    axes.set_xlabel("input length")
    axes.set_ylabel("µs of CPU time per byte (median)")
    axes.grid(True, alpha=0.3)


def stamp(figure, text: str) -> None:
    figure.text(0.01, 0.01, f"Measured on {text}", fontsize=7, color="0.35", ha="left", va="bottom")


def per_byte(
    rounds: int, min_seconds: float, lengths: list[int], longest_configurable: int, methods: tuple[str, ...] = ("hash",)
) -> dict[tuple[str, str], tuple[list[int], list[float]]]:
    """{(name, method): (lengths, median µs per byte)}, lengths beyond longest_configurable left out for the
    configurable hashers, which are built for each length: their variable-time calls read wider tables only when these
    take at most 64 MiB, so an instance larger than its input could show another path's figure.

    The caching hashers share the table cache's limit: once one of them has grown tables for long inputs, the next
    one gets only smaller tables. So the inputs of CACHED_TOGETHER bytes or fewer, whose tables all fit together, are
    measured with every variant alternating; each caching hasher then takes its longer inputs alone, on an empty
    cache."""
    data = os.urandom(max(lengths))
    result: dict[tuple[str, str], tuple[list[int], list[float]]] = {}

    def measure(cases: list[tuple[str, int]]) -> None:
        caching = {name for name, _ in cases if name not in CONFIGURABLE}
        hashers = {name: make_hasher(name, max(n for other, n in cases if other == name)) for name in caching}
        calls = []
        for name, n in sorted(cases, key=lambda case: case[1]):  # shorter first, as a hasher's tables grow
            hasher = make_hasher(name, n) if name in CONFIGURABLE else hashers[name]
            for method in methods:
                function = getattr(hasher, method)
                function(data[:n])  # warm: the tables this length needs, wide ones included, are built
                function(data[:n])  # a caching hasher builds them when an input needs them a second time
                calls.append((name, method, n, lambda function=function, piece=data[:n]: function(piece)))
        samples: dict[tuple[str, str, int], list[float]] = {(name, method, n): [] for name, method, n, _ in calls}
        for _ in range(rounds):
            for name, method, n, call in calls:
                samples[name, method, n].append(cpu_seconds_per_call(call, min_seconds) * 1e6 / n)
        for name, method, n in sorted(samples, key=lambda key: key[2]):
            points, values = result.setdefault((name, method), ([], []))
            points.append(n)
            values.append(statistics.median(samples[name, method, n]))
        del hashers, calls, hasher, function, call  # every reference to the hashers: their tables are unused now
        limit = _tamarind.table_cache_info()["limit"]
        _tamarind.set_table_cache_limit(0)  # drops every table no live hasher uses
        _tamarind.set_table_cache_limit(limit)

    measure(
        [(name, n) for name in CONFIGURABLE for n in lengths if n <= longest_configurable]
        + [(name, n) for name in NAMES if name not in CONFIGURABLE for n in lengths if n <= CACHED_TOGETHER]
    )
    for name in NAMES:
        if name not in CONFIGURABLE and max(lengths) > CACHED_TOGETHER:
            measure([(name, n) for n in lengths if n > CACHED_TOGETHER])
    return result


def plot_per_byte(out: Path, stamp_text: str, rounds: int, quick: bool) -> None:
    lengths = CACHING_LENGTHS[:6] if quick else CACHING_LENGTHS
    results = per_byte(rounds, 0.005 if quick else 0.03, lengths, min(CONFIGURABLE_LONGEST, max(lengths)))
    figure = Figure(figsize=(8, 5))
    axes = figure.subplots()
    for name in NAMES:
        axes.plot(*results[name, "hash"], marker="o", label=name)
    per_byte_axes(axes, lengths)
    axes.set_title("hash(data): cost per byte against input length")
    axes.legend()
    figure.tight_layout(rect=(0, 0.04, 1, 1))
    stamp(figure, stamp_text)
    figure.savefig(out / "perf-per-byte.png", dpi=110)


def plot_threads(out: Path, stamp_text: str, rounds: int, quick: bool) -> None:
    # Wall-clock time: CPU time would add up every thread's work and hide what more threads bring.
    count, size = (1_000, 64) if quick else (6_000, 64)
    # Up to the usable CPUs: a further thread only shares a core with another.
    thread_counts = list(range(1, usable_cpus() + 1))
    items = [os.urandom(size) for _ in range(count)]
    hashers = {name: make_hasher(name, size) for name in NAMES}
    for hasher in hashers.values():
        hasher.hash_many(items[:10])
    samples: dict[tuple[str, object], list[float]] = {}
    for _ in range(rounds):
        for name, hasher in hashers.items():
            samples.setdefault((name, "loop"), []).append(wall_seconds(lambda h=hasher: [h.hash(x) for x in items]))
            for threads in thread_counts:
                seconds = wall_seconds(lambda h=hasher, t=threads: h.hash_many(items, threads=t))
                samples.setdefault((name, threads), []).append(seconds)
    figure = Figure(figsize=(8, 5))
    axes = figure.subplots()
    for index, name in enumerate(NAMES):
        colour = f"C{index}"
        rates = [count / statistics.median(samples[name, t]) / 1000 for t in thread_counts]
        axes.plot(thread_counts, rates, marker="o", color=colour, label=f"{name}.hash_many")
        loop = count / statistics.median(samples[name, "loop"]) / 1000
        axes.axhline(loop, color=colour, linestyle=":", linewidth=1)
    axes.set_xticks(thread_counts)
    axes.set_xlabel(f"threads (up to the {usable_cpus()} usable CPUs)")
    axes.set_ylabel("thousand hashes per second (wall clock, median)")
    axes.set_title(f"hash_many of {count:,} inputs of {size} bytes (dotted: a Python loop of hash)")
    axes.set_ylim(bottom=0)
    axes.grid(True, alpha=0.3)
    axes.legend(fontsize=8)
    figure.tight_layout(rect=(0, 0.04, 1, 1))
    stamp(figure, stamp_text)
    figure.savefig(out / "perf-threads.png", dpi=110)


def plot_vartime(out: Path, stamp_text: str, rounds: int, quick: bool) -> None:
    lengths = [32, 64, 256, 1024, 4096] if quick else [32, 64, 256, 1024, 4096, 16384]
    results = per_byte(rounds, 0.005 if quick else 0.03, lengths, max(lengths), methods=("hash", "hash_vartime"))
    figure = Figure(figsize=(8, 5))
    axes = figure.subplots()
    for index, name in enumerate(NAMES):
        axes.plot(*results[name, "hash"], marker="o", color=f"C{index}", label=f"{name}.hash")
        axes.plot(
            *results[name, "hash_vartime"], marker="x", linestyle="--", color=f"C{index}", label=f"{name}.hash_vartime"
        )
    per_byte_axes(axes, lengths)
    axes.set_title("constant time (hash) against variable time (hash_vartime)")
    axes.legend(fontsize=8, ncol=2, loc="lower left")
    figure.tight_layout(rect=(0, 0.04, 1, 1))
    stamp(figure, stamp_text)
    figure.savefig(out / "perf-vartime.png", dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5, help="rounds per figure (default 5); medians are plotted")
    parser.add_argument("--quick", action="store_true", help="fewer lengths and shorter measurements, to try it out")
    parser.add_argument("--out", type=Path, default=ROOT / "docs" / "_static", help="folder for the PNGs")
    arguments = parser.parse_args()
    arguments.out.mkdir(parents=True, exist_ok=True)
    stamp_text = machine()
    print(f"measuring on {stamp_text}")
    started = time.perf_counter()
    plot_per_byte(arguments.out, stamp_text, arguments.rounds, arguments.quick)
    print(f"wrote perf-per-byte.png ({time.perf_counter() - started:.0f} s)")
    plot_threads(arguments.out, stamp_text, arguments.rounds, arguments.quick)
    print(f"wrote perf-threads.png ({time.perf_counter() - started:.0f} s)")
    plot_vartime(arguments.out, stamp_text, arguments.rounds, arguments.quick)
    print(f"wrote perf-vartime.png ({time.perf_counter() - started:.0f} s)")
    print(f"load average {load_average()} at the end")


if __name__ == "__main__":
    main()
