"""The process's table cache: shared by instances with the same generators,
bounded by its limit, and never changing a digest."""

from __future__ import annotations

import gc
import json
import os
import subprocess
import sys

import pytest

import tamarind
from tamarind import ZcashPedersen

DATA = os.urandom(1500)  # 64 segments: 58 past the built-in tables


@pytest.fixture
def limit():
    # Other tests' hashers may hold tables up to the default limit; room for ours.
    before = tamarind.table_cache_info()["limit"]
    tamarind.set_table_cache_limit(1 << 30)
    yield
    tamarind.set_table_cache_limit(before)


def bytes_held() -> int:
    gc.collect()
    return tamarind.table_cache_info()["bytes"]


@pytest.mark.usefixtures("limit")
def test_a_new_instance_finds_the_tables_an_earlier_one_built():
    start = bytes_held()
    first = ZcashPedersen(b"cacheT01")
    digest = first.hash(DATA)
    assert bytes_held() == start  # tables are built for inputs of a length seen before
    assert first.hash(DATA) == digest
    grown = bytes_held()
    assert grown > start
    del first
    # Kept for the next instance, which builds nothing.
    assert ZcashPedersen(b"cacheT01").hash(DATA) == digest
    assert bytes_held() == grown


@pytest.mark.usefixtures("limit")
def test_the_limit_bounds_the_cache_and_never_changes_a_digest():
    inputs = [DATA, DATA * 3]
    start = bytes_held()
    hasher = ZcashPedersen(b"cacheT02")
    digests = [hasher.hash(data) for data in inputs]  # from tables grown for them
    ours = bytes_held() - start
    assert ours > 0
    # In use: lowering the limit keeps them (and drops what no hasher uses).
    tamarind.set_table_cache_limit(0)
    in_use = bytes_held()
    assert in_use >= ours
    # Unused, they are dropped; then every segment is derived during the call.
    del hasher
    assert bytes_held() == in_use - ours
    fresh = ZcashPedersen(b"cacheT02")
    assert [fresh.hash(data) for data in inputs] == digests
    assert bytes_held() == in_use - ours
    # Room for a little: some multiples tables, the rest derived.
    tamarind.set_table_cache_limit(in_use - ours + 200_000)
    assert [fresh.hash(data) for data in inputs] == digests
    assert in_use - ours < bytes_held() <= in_use - ours + 200_000


# Run in a fresh process: hashes in variable time under a limit of a few MiB and
# reports the digests, the most the cache ever reported and how far the
# process's peak resident memory rose over the hashing.
LOW_LIMIT_PROGRAM = """
import json, sys
import tamarind

LIMIT = 4 << 20
def rss(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) << 10 for line in status if line.startswith(field + ":"))

tamarind.set_table_cache_limit(LIMIT)
inputs = [bytes.fromhex(x) for x in json.loads(sys.argv[1])]
hashers = {name: getattr(tamarind, name)() for name in ("CircomPedersen", "ZcashPedersen")}
start, digests, most = rss("VmRSS"), {name: [] for name in hashers}, 0
for _ in range(3):  # from the second round on, the ordinary tables grow too
    for name, hasher in hashers.items():
        digests[name].append([hasher.hash_vartime(x).hex() for x in inputs])
        digests[name].append([d.hex() for d in hasher.hash_many(inputs, threads=2, vartime=True)])
        info = tamarind.table_cache_info()
        most = max(most, info["bytes"], info["held"])
print(json.dumps({"digests": digests, "most": most, "limit": LIMIT, "rise": rss("VmHWM") - start}))
"""


def test_a_low_limit_bounds_the_variable_time_tables_too():
    # From the widest tables into the wide ones, to their end and past it.
    inputs = [os.urandom(n) for n in (20, 140, 600, 1190, 3000)]
    expected = {
        name: [getattr(tamarind, name)().hash(x).hex() for x in inputs] for name in ("CircomPedersen", "ZcashPedersen")
    }
    run = subprocess.run(
        [sys.executable, "-c", LOW_LIMIT_PROGRAM, json.dumps([x.hex() for x in inputs])],
        capture_output=True,
        text=True,
        check=True,
    )
    report = json.loads(run.stdout)
    for name, rounds in report["digests"].items():
        assert rounds == [expected[name]] * 6, name
    assert 0 < report["most"] <= report["limit"]
    # The wide tables of both for such inputs take 60 MiB; nothing of it is
    # built past the limit. (AddressSanitizer's quarantine keeps what is freed.)
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert report["rise"] < report["limit"] + (16 << 20)


@pytest.mark.parametrize(
    ("value", "error"),
    [(-1, OverflowError), (2**64, OverflowError), ("1", TypeError), (1.0, TypeError), (None, TypeError)],
)
@pytest.mark.usefixtures("limit")
def test_bad_limits_are_refused(value, error):
    before = tamarind.table_cache_info()["limit"]
    with pytest.raises(error):
        tamarind.set_table_cache_limit(value)
    assert tamarind.table_cache_info()["limit"] == before
