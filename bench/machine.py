"""What the benchmarks print about the machine they ran on."""

from __future__ import annotations

import os


def usable_cpus() -> int:
    """The CPUs this process may run on (its affinity), else every CPU."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def load_average() -> str:
    """The 1-minute load average as text: figures from a busy machine are worth less."""
    try:
        return f"{os.getloadavg()[0]:.2f}"
    except (AttributeError, OSError):
        return "unknown"
