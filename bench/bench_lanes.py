"""The 8-lane kernel against the scalar one, in one build: `hash_many(..., vartime=True)` of each hasher, and
`sapling.merkle_root(..., vartime=True)`.

Run after `pip install .`:  python3 bench/bench_lanes.py [--rounds 5] [--items 4096] [--leaves 1048576]

The kernel is chosen when the module is imported (TAMARIND_LANES=0 forces the scalar one), so each figure comes from
a fresh process, the two kernels alternating round by round; figures are medians over the rounds. hash_many runs on
one thread and is timed in CPU time per hash; merkle_root runs on 2 threads and is timed in wall-clock seconds.
Uniformly random inputs. On a processor without AVX-512 IFMA both columns run the scalar kernel.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import time
from typing import Dict, List, Tuple

# (label, constructor expression, bytes per item, bit length or None, target ratio)
CASES: List[Tuple[str, str, int, object, float]] = [
    ("Sapling node, 516 bits", "ZcashPedersen()", 65, 516, 3.5),
    ("ZcashPedersen, 64 bytes", "ZcashPedersen()", 64, None, 3.0),
    ("CircomPedersen, 64 bytes", "CircomPedersen()", 64, None, 3.0),
    ("JubjubBoweHopwood(4, 63), 64 bytes", "JubjubBoweHopwood(4, 63)", 64, None, 2.5),
    ("BabyJubjubPedersen(4, 128), 64 bytes", "BabyJubjubPedersen(4, 128)", 64, None, 2.5),
]


def worker(case: int, items: int, leaves: int) -> Dict[str, object]:
    """In the child: the figure of one case (-1: merkle_root) under the kernel chosen at import."""
    import tamarind
    from tamarind import sapling

    rng = random.Random(case)
    if case < 0:
        data = [rng.getrandbits(254).to_bytes(32, "little") for _ in range(leaves)]
        sapling.merkle_root(data[:64], vartime=True, threads=2)  # warm the tables
        start = time.perf_counter()
        sapling.merkle_root(data, vartime=True, threads=2)
        return {"kernel": tamarind.lane_kernel(), "seconds": time.perf_counter() - start}
    _, make, size, bits, _ = CASES[case]
    name, arguments = make.rstrip(")").split("(")
    hasher = getattr(tamarind, name)(*(int(a) for a in arguments.split(",") if a))
    data = [rng.randbytes(size) for _ in range(items)]
    if bits is not None:
        data = [bytearray(d[:-1]) + bytes([d[-1] & ((1 << (bits % 8)) - 1)]) for d in data]
    hasher.hash_many(data[:64], threads=1, bit_length=bits, vartime=True)  # warm the tables
    start = time.process_time()
    hasher.hash_many(data, threads=1, bit_length=bits, vartime=True)
    return {"kernel": tamarind.lane_kernel(), "seconds": (time.process_time() - start) / items}


def run_child(case: int, lanes: bool, items: int, leaves: int) -> Dict[str, object]:
    env = dict(os.environ)
    env.pop("TAMARIND_LANES", None)
    if not lanes:
        env["TAMARIND_LANES"] = "0"
    command = [sys.executable, __file__, "--worker", str(case), "--items", str(items), "--leaves", str(leaves)]
    out = subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--items", type=int, default=4096)
    parser.add_argument("--leaves", type=int, default=1 << 20)
    parser.add_argument("--skip-root", action="store_true")
    parser.add_argument("--worker", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker is not None:
        print(json.dumps(worker(args.worker, args.items, args.leaves)))
        return

    cases = list(range(len(CASES))) + ([] if args.skip_root else [-1])
    print(f"{'case':40} {'scalar':>12} {'lanes':>12} {'ratio':>7} {'target':>7}")
    for case in cases:
        figures: Tuple[List[float], List[float]] = ([], [])
        kernel = ""
        for _ in range(args.rounds):
            figures[0].append(float(run_child(case, False, args.items, args.leaves)["seconds"]))  # type: ignore[arg-type]
            result = run_child(case, True, args.items, args.leaves)
            kernel = str(result["kernel"])
            figures[1].append(float(result["seconds"]))  # type: ignore[arg-type]
        scalar, lanes = statistics.median(figures[0]), statistics.median(figures[1])
        if case < 0:
            label, target = f"merkle_root, {args.leaves} leaves, 2 threads", "-"
            shown = (f"{scalar:.3f} s", f"{lanes:.3f} s")
        else:
            label, target = CASES[case][0], f"{CASES[case][4]:.1f}x"
            shown = (f"{scalar * 1e6:.2f} us", f"{lanes * 1e6:.2f} us")
        print(f"{label:40} {shown[0]:>12} {shown[1]:>12} {scalar / lanes:>6.2f}x {target:>7}", flush=True)
    print(f"lanes column ran the {kernel!r} kernel")


if __name__ == "__main__":
    main()
