"""The process's table cache: shared by instances with the same generators,
bounded by its limit, and never changing a digest."""

from __future__ import annotations

import gc
import os

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
