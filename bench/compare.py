"""Side-by-side timings of two builds of _tamarind, as ratios.

    python3 bench/compare.py --baseline OLD_PYTHON [--candidate NEW_PYTHON] [--rounds 7]

Each interpreter must import its own build of `_tamarind` (for example two
virtual environments). The two are run alternately, round after round, each
round in fresh processes, and every figure is the median over the rounds of
CPU time per call, so that a noisy shared machine distorts both alike. The
last column is baseline time / candidate time: above 1 the candidate is faster.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import statistics
import subprocess
import sys
import time

SIZES = [64, 1024, 65536]


def cpu_rate(call, min_seconds: float) -> float:
    """CPU seconds per call, over at least `min_seconds` of CPU time."""
    call()
    count, start = 0, time.process_time()
    while True:
        call()
        count += 1
        elapsed = time.process_time() - start
        if elapsed >= min_seconds and count >= 3:
            return elapsed / count


def rss_kib() -> int:
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def worker(seconds: float) -> dict:
    import _tamarind as t

    results = {}
    configurable = {
        "BabyJubjubPedersen": lambda size: t.BabyJubjubPedersen(math.ceil(size * 8 / 256), 256),
        "JubjubBoweHopwood": lambda size: t.JubjubBoweHopwood(math.ceil(size * 8 / (3 * 256)), 256),
    }
    for size in SIZES:
        data = os.urandom(size)
        for name in ("ZcashPedersen", "CircomPedersen"):
            hasher = getattr(t, name)()
            hasher.hash(data)  # tables are built for a length hashed a second time
            results[f"{name} {size} B warm"] = cpu_rate(lambda: hasher.hash(data), seconds)
        for name, make in configurable.items():
            hasher = make(size)
            results[f"{name} {size} B warm"] = cpu_rate(lambda: hasher.hash(data), seconds)
    for size in SIZES:
        data = os.urandom(size)
        both = [getattr(t, name)() for name in ("ZcashPedersen", "CircomPedersen")]
        for hasher in both:
            hasher.hash_vartime(data)
            hasher.hash_vartime(data)  # wide tables, and tables for a length hashed a second time
            results[f"{type(hasher).__name__} {size} B vartime warm"] = cpu_rate(
                lambda: hasher.hash_vartime(data), seconds
            )
        # Both in one process, in turn: whatever tables the two keep between calls.
        results[f"Zcash + Circom {size} B vartime in turn"] = cpu_rate(
            lambda: [hasher.hash_vartime(data) for hasher in both], seconds
        )
    data = os.urandom(64)
    for name in ("ZcashPedersen", "CircomPedersen"):
        cls = getattr(t, name)
        cls().hash(data)  # another instance of the class has hashed
        results[f"{name} 64 B fresh instance"] = cpu_rate(lambda: cls().hash(data), seconds)
    # Construction that builds its tables: with a limit of 0, the table cache
    # keeps none for the next instance with the same sizes.
    if hasattr(t, "set_table_cache_limit"):
        t.set_table_cache_limit(0)
    for name in configurable:
        cls = getattr(t, name)
        results[f"{name}(64, 256) construction"] = cpu_rate(lambda: cls(64, 256), seconds)
    return results


def first_hash() -> dict:
    """The first 64-byte hash of each caching class in this process."""
    import _tamarind as t

    data = os.urandom(64)
    out = {}
    for name in ("ZcashPedersen", "CircomPedersen"):
        hasher = getattr(t, name)()
        start = time.process_time()
        hasher.hash(data)
        out[f"{name} 64 B first in process"] = time.process_time() - start
    return out


def memory(kind: str) -> dict:
    """RSS growth (KiB) of one task, in a process of its own."""
    import _tamarind as t

    before = rss_kib()
    if kind == "tables":
        keep = [t.BabyJubjubPedersen(64, 2048), t.JubjubBoweHopwood(64, 1024)]
        return {"configurable tables (64x2048 + 64x1024) RSS KiB": rss_kib() - before, "_": len(keep)}
    import resource

    size = 4 * 1000 * 1000
    data = os.urandom(size)
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    hasher = getattr(t, kind)()
    hasher.hash(data)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base
    return {
        f"{kind} 4 MB peak RSS growth KiB": peak,
        f"{kind} 4 MB RSS held after KiB": rss_kib() - before - size // 1024,
    }


def run(python: str, *args: str) -> dict:
    out = subprocess.run([python, __file__, *args], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--baseline", help="python that imports the baseline build (required)")
    parser.add_argument("--candidate", default=sys.executable, help="python that imports the new build")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--seconds", type=float, default=0.3, help="CPU seconds per figure and round")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--first-hash", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--memory", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(worker(args.seconds)))
        return
    if args.first_hash:
        print(json.dumps(first_hash()))
        return
    if args.memory:
        print(json.dumps(memory(args.memory)))
        return

    if not args.baseline:
        parser.error("--baseline is required")
    samples: dict[str, dict[str, list[float]]] = {"baseline": {}, "candidate": {}}
    for round_ in range(args.rounds):
        for label, python in (("baseline", args.baseline), ("candidate", args.candidate)):
            results = run(python, "--worker", "--seconds", str(args.seconds))
            for _ in range(3):
                results.update(run(python, "--first-hash"))
            if round_ == 0:
                for kind in ("tables", "ZcashPedersen", "CircomPedersen"):
                    results.update(run(python, "--memory", kind))
            for key, value in results.items():
                samples[label].setdefault(key, []).append(value)
        print(f"round {round_ + 1}/{args.rounds} done", file=sys.stderr)

    print(f"{'figure':<52}{'baseline':>14}{'candidate':>14}{'ratio':>8}")
    for key in samples["candidate"]:
        if key == "_":
            continue
        old = statistics.median(samples["baseline"][key])
        new = statistics.median(samples["candidate"][key])
        if "KiB" in key:
            print(f"{key:<52}{old:>14.0f}{new:>14.0f}{old / max(new, 1):>8.2f}")
        else:
            print(f"{key:<52}{old * 1e6:>12.1f}us{new * 1e6:>12.1f}us{old / new:>8.2f}")


if __name__ == "__main__":
    main()
