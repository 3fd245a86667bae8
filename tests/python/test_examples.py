"""The programs in examples/: each run as a user would, its output checked against digests computed here; the
scale-out functions also over every class, across real process boundaries (so instances are pickled and rebuilt in
the workers)."""

import importlib
import multiprocessing
import os
import random
import subprocess
import sys
from pathlib import Path

import _tamarind
import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"

# Per instance: a factory and the longest input it takes (configurable ones kept small, the caching
# ones given inputs long enough to derive segments past the built-in six).
INSTANCES = {
    "BabyJubjubPedersen(4, 64)": (lambda: _tamarind.BabyJubjubPedersen(4, 64), 32),
    "JubjubBoweHopwood(4, 63)": (lambda: _tamarind.JubjubBoweHopwood(4, 63), 94),
    "CircomPedersen()": (lambda: _tamarind.CircomPedersen(), 200),
    "ZcashPedersen()": (lambda: _tamarind.ZcashPedersen(), 200),
    "ZcashPedersen(b'Tamarind')": (lambda: _tamarind.ZcashPedersen(b"Tamarind"), 200),
}


def run_example(name, *arguments):
    """The example's standard output lines, after checking that it exited with status 0."""
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / name), *map(str, arguments)], capture_output=True, text=True, timeout=600
    )
    assert done.returncode == 0, f"{name} exited with {done.returncode}:\n{done.stderr}"
    return done.stdout.splitlines()


def numbered(count, repeat=8):
    # The inputs the examples hash: i as 8 little-endian bytes, repeated.
    return [i.to_bytes(8, "little") * repeat for i in range(count)]


def hex_digests(hasher, items):
    return [hasher.hash(item).hex() for item in items]


def varied_items(longest, count=120, seed=7):
    rng = random.Random(seed)
    return [rng.randbytes(rng.randint(0, longest)) for _ in range(count)]


def expected(make, items):
    # From an instance that never left this process.
    hasher = make()
    return [hasher.hash(item) for item in items]


@pytest.fixture(scope="module")
def example_module():
    """Imports an example by name. Worker processes that import it again (spawned ones, Dask's) inherit the path."""
    sys.path.insert(0, str(EXAMPLES))
    yield importlib.import_module
    sys.path.remove(str(EXAMPLES))
    for name in ("multiprocessing_pool", "dask_cluster", "dask_tree_root"):
        sys.modules.pop(name, None)


# --- one process ------------------------------------------------------------


@pytest.mark.parametrize("hasher_name, cls", [("zcash", _tamarind.ZcashPedersen), ("circom", _tamarind.CircomPedersen)])
def test_hash_files_prints_each_files_digest_small_and_streamed(tmp_path, hasher_name, cls):
    rng = random.Random(3)
    contents = {
        "empty": b"",
        "small file": rng.randbytes(300),
        "large.bin": rng.randbytes(4_500),  # past one block: streamed, in pieces that cut across segments
        "tiny": b"abc",
    }
    paths = []
    for name, content in contents.items():
        (tmp_path / name).write_bytes(content)
        paths.append(tmp_path / name)
    hasher = cls()
    want = [f"{hasher.hash(content).hex()}  {path}" for path, content in zip(paths, contents.values())]
    assert run_example("hash_files.py", "--hasher", hasher_name, "--block-size", 1_000, *paths) == want


def test_large_batch_program():
    hasher = _tamarind.CircomPedersen()
    want = hex_digests(hasher, numbered(1_200)) + hex_digests(hasher, numbered(1_200, repeat=1))
    assert run_example("large_batch.py", "--items", 1_200) == want


# --- multiprocessing ----------------------------------------------------------
# These run before any Dask cluster exists in this process, so that the pools fork a process without its threads.


@pytest.mark.scale_out
@pytest.mark.parametrize("start_method", ["fork", "spawn"])
def test_pool_program(start_method):
    # Several chunks of 250 over two processes, so the order must be restored.
    lines = run_example("multiprocessing_pool.py", "--items", 700, "--processes", 2, "--start-method", start_method)
    assert lines == hex_digests(_tamarind.ZcashPedersen(), numbered(700))


@pytest.mark.scale_out
@pytest.mark.parametrize("start_method", ["fork", "spawn"])
@pytest.mark.parametrize("instance", INSTANCES)
def test_pool_matches_hash(example_module, instance, start_method):
    # A spawned worker receives the instance pickled (a forked one inherits it), as on platforms without fork.
    hash_in_pool = example_module("multiprocessing_pool").hash_in_pool
    make, longest = INSTANCES[instance]
    items = varied_items(longest)
    context = multiprocessing.get_context(start_method)
    assert hash_in_pool(make(), items, processes=2, chunk_size=7, context=context) == expected(make, items)


@pytest.mark.scale_out
def test_pool_with_no_items(example_module):
    assert example_module("multiprocessing_pool").hash_in_pool(_tamarind.CircomPedersen(), [], processes=2) == []


# --- Dask -------------------------------------------------------------------


@pytest.fixture(scope="module")
def dask_client(example_module):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.mark.scale_out
def test_dask_program():
    lines = run_example("dask_cluster.py", "--items", 700, "--workers", 2)
    assert lines == hex_digests(_tamarind.ZcashPedersen(), numbered(700))


@pytest.mark.scale_out
@pytest.mark.parametrize("instance", INSTANCES)
def test_dask_matches_hash(example_module, dask_client, instance):
    worker_pids = dask_client.run(os.getpid)
    assert len(worker_pids) == 2 and os.getpid() not in worker_pids.values()
    make, longest = INSTANCES[instance]
    items = varied_items(longest)
    digests = example_module("dask_cluster").hash_on_cluster(dask_client, make(), items, chunk_size=7)
    assert digests == expected(make, items)


@pytest.mark.scale_out
@pytest.mark.parametrize("count, subtree_depth", [(0, 3), (1, 3), (37, 3), (64, 4), (200, 5)])
def test_dask_tree_root_equals_merkle_root(example_module, dask_client, count, subtree_depth):
    from tamarind import sapling

    leaves = [(11 * i + 5).to_bytes(32, "little") for i in range(count)]
    root = example_module("dask_tree_root").root_on_cluster(dask_client, leaves, subtree_depth, depth=8)
    assert root == sapling.merkle_root(leaves, depth=8)


@pytest.mark.scale_out
def test_dask_tree_root_program():
    assert run_example("dask_tree_root.py", "--leaves", 1500, "--subtree-depth", 8)[-1] == "equals merkle_root: True"
