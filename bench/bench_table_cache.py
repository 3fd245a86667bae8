"""What the process's table cache saves: new instances against a warm one, a fresh process, memory of many instances.

Run after `pip install .`:

    python3 bench/bench_table_cache.py [--rounds N] [--baseline OLD_PYTHON]

- new/warm: in one process, a new instance per 1 KiB hash against hashes on one warm instance (CPU time, alternating
  rounds, medians), after another instance with the same generators hashed 1 KiB.
- fresh process: the first 1 KiB hash of a fresh process (CPU time of the hash alone, the import not counted), in
  processes started alternately with this interpreter and, given --baseline, another build's.
- memory: RSS growth of 1,000 live instances that each hashed 1 KiB of their own, and the peak RSS growth of a
  variable-time hash of 1 MiB, each in a fresh process.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
from typing import Dict, List

from compare import cpu_rate
from machine import load_average, usable_cpus

KIB = os.urandom(1024)
CLASSES = ["ZcashPedersen", "CircomPedersen"]

# Each prints one JSON number; {cls} names the class.
FRESH_HASH = """
import json, os, time, _tamarind
data = os.urandom(1024)
start = time.process_time()
_tamarind.{cls}().hash(data)
print(json.dumps(time.process_time() - start))
"""
MANY_INSTANCES = """
import json, os, _tamarind
def rss():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
_tamarind.{cls}().hash(os.urandom(8))
before = rss()
live = [_tamarind.{cls}() for _ in range(1000)]
for h in live:
    h.hash(os.urandom(1024))
print(json.dumps((rss() - before) / 1024))
"""
VARTIME_PEAK = """
import json, os, _tamarind
def kib(field):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith(field + ":"))
data = os.urandom(1 << 20)
before = kib("VmRSS")
_tamarind.{cls}().hash_vartime(data)
print(json.dumps((kib("VmHWM") - before) / 1024))
"""


def run(python: str, script: str, cls: str) -> float:
    out = subprocess.run([python, "-c", script.format(cls=cls)], check=True, capture_output=True, text=True)
    return float(json.loads(out.stdout))


def new_against_warm(cls_name: str, rounds: int) -> Dict[str, float]:
    import _tamarind

    cls = getattr(_tamarind, cls_name)
    warm = cls()
    warm.hash(KIB)
    cls().hash(KIB)  # another instance with the same generators
    times: Dict[str, List[float]] = {"warm": [], "new": []}
    for _ in range(rounds):
        times["warm"].append(cpu_rate(lambda: warm.hash(KIB), 0.3))
        times["new"].append(cpu_rate(lambda: cls().hash(KIB), 0.3))
    return {k: statistics.median(v) for k, v in times.items()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--baseline", help="another build's interpreter, for the fresh-process comparison")
    args = parser.parse_args()
    print(f"# {platform.processor() or platform.machine()}, {usable_cpus()} CPUs, load {load_average()}")
    print(f"# {args.rounds} rounds, medians, CPU time")

    print("\nnew instance per 1 KiB hash against a warm instance (target <= 1.5x)")
    for name in CLASSES:
        t = new_against_warm(name, args.rounds)
        warm, new = t["warm"] * 1e6, t["new"] * 1e6
        print(f"  {name:15} warm {warm:8.1f} us  new {new:8.1f} us  ratio {new / warm:.2f}x")

    print("\nfirst 1 KiB hash in a fresh process" + (f" (baseline {args.baseline})" if args.baseline else ""))
    for name in CLASSES:
        this: List[float] = []
        base: List[float] = []
        for _ in range(args.rounds):
            this.append(run(sys.executable, FRESH_HASH, name))
            if args.baseline:
                base.append(run(args.baseline, FRESH_HASH, name))
        line = f"  {name:15} this {statistics.median(this) * 1e3:8.2f} ms"
        if base:
            ratio = statistics.median(base) / statistics.median(this)
            line += f"  baseline {statistics.median(base) * 1e3:8.2f} ms  baseline/this {ratio:.2f}x"
        print(line)

    print("\nmemory (MiB, fresh processes)")
    for name in CLASSES:
        many = statistics.median(run(sys.executable, MANY_INSTANCES, name) for _ in range(3))
        peak = run(sys.executable, VARTIME_PEAK, name)
        print(f"  {name:15} 1,000 live instances after 1 KiB each: +{many:.1f}  hash_vartime(1 MiB) peak: +{peak:.1f}")


if __name__ == "__main__":
    main()
