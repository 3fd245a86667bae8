"""Peak resident memory of the command line hashing one large file.

Run after `pip install .` (or `bash scripts/run.sh`):

    python3 bench/bench_cli_rss.py [--size MB] [--command zcash|circom] [--stdin]

Writes a file of random bytes (50 MB by default), runs `python -m tamarind
COMMAND FILE` on it (or pipes it to standard input with --stdin), and reports
the command's peak RSS, as the kernel counts it for the finished child, next
to that of the same command hashing one byte: the difference is what the
input's size costs. The command streams large inputs, so the peak should stay
far below the input size; the target is at most 150 MiB. The exit status is 1
when the target is missed.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time
from typing import BinaryIO

TARGET_MIB = 150


def peak_rss_mib(args: list[str], stdin_path: str | None = None) -> tuple[float, float, bytes]:
    """Runs the command; its peak RSS in MiB, its wall time in seconds and its output."""
    started = time.perf_counter()
    stdin = subprocess.PIPE if stdin_path else subprocess.DEVNULL
    proc = subprocess.Popen(args, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    chunks: dict[str, bytes] = {}
    readers = [
        threading.Thread(target=lambda name, stream: chunks.__setitem__(name, stream.read()), args=pair)
        for pair in (("out", proc.stdout), ("err", proc.stderr))
    ]
    if stdin_path:
        readers.append(threading.Thread(target=copy_file, args=(stdin_path, proc.stdin)))
    for reader in readers:
        reader.start()
    # wait4 gives this child's own usage, not the sum over every child so far.
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    for reader in readers:
        reader.join()
    elapsed = time.perf_counter() - started
    if proc.returncode != 0:
        sys.exit(f"{' '.join(args)} failed with status {proc.returncode}: {chunks['err'].decode(errors='replace')}")
    # Linux counts ru_maxrss in KiB, macOS in bytes.
    scale = 1 if sys.platform == "darwin" else 1024
    return usage.ru_maxrss * scale / (1 << 20), elapsed, chunks["out"]


def copy_file(path: str, pipe: BinaryIO) -> None:
    with open(path, "rb") as source:
        while block := source.read(1 << 20):
            pipe.write(block)
    pipe.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=50, help="input size in MB (10^6 bytes; default 50)")
    parser.add_argument("--command", choices=["zcash", "circom"], default="zcash")
    parser.add_argument("--stdin", action="store_true", help="pipe the input to standard input instead of naming it")
    args = parser.parse_args()

    command = [sys.executable, "-m", "tamarind", args.command]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "input.bin")
        with open(path, "wb") as out:
            for _ in range(args.size):
                out.write(os.urandom(1_000_000))
        baseline, _, _ = peak_rss_mib([*command, "--hex", "00"])
        peak, seconds, output = peak_rss_mib(command if args.stdin else [*command, path], path if args.stdin else None)
    source = "standard input" if args.stdin else "a file"
    print(f"# {sys.implementation.name} {sys.version.split()[0]}, {os.cpu_count()} CPUs")
    print(f"tamarind {args.command}, {args.size} MB from {source}: {seconds:.1f} s")
    print(f"peak RSS: {peak:.1f} MiB (hashing 1 byte: {baseline:.1f} MiB; the input adds {peak - baseline:.1f} MiB)")
    print(f"digest: {output.decode().split()[0]}")
    met = peak <= TARGET_MIB
    print(f"target: at most {TARGET_MIB} MiB: {'met' if met else 'MISSED'}")
    sys.exit(0 if met else 1)


if __name__ == "__main__":
    main()
