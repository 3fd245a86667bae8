"""The README's scale-out recipes, taken from its code blocks: each program run as shown, and its functions over
every class, across real process boundaries (so instances are pickled and rebuilt in the workers)."""

import importlib
import multiprocessing
import os
import random
import re
import runpy
import sys
from pathlib import Path

import _tamarind
import distributed
import pytest

pytestmark = pytest.mark.scale_out

README = Path(__file__).resolve().parents[2] / "README.md"
# A block the suite runs is marked by a comment line just above its opening fence.
RECIPE_BLOCK = re.compile(r"^<!-- recipe: (\w+) -->\n```python\n(.*?)^```$", re.M | re.S)
RECIPES = ["batch", "pool", "dask"]

# Per instance: a factory and the longest input it takes (configurable ones kept small, the caching
# ones given inputs long enough to derive segments past the built-in six).
INSTANCES = {
    "BabyJubjubPedersen(4, 64)": (lambda: _tamarind.BabyJubjubPedersen(4, 64), 32),
    "JubjubBoweHopwood(4, 63)": (lambda: _tamarind.JubjubBoweHopwood(4, 63), 94),
    "CircomPedersen()": (lambda: _tamarind.CircomPedersen(), 200),
    "ZcashPedersen()": (lambda: _tamarind.ZcashPedersen(), 200),
    "ZcashPedersen(b'Tamarind')": (lambda: _tamarind.ZcashPedersen(b"Tamarind"), 200),
}


def varied_items(longest, count=120, seed=7):
    rng = random.Random(seed)
    return [rng.randbytes(rng.randint(0, longest)) for _ in range(count)]


def expected(make, items):
    # From an instance that never left this process.
    hasher = make()
    return [hasher.hash(item) for item in items]


@pytest.fixture(scope="module")
def recipe_dir(tmp_path_factory):
    """The README's recipes as importable modules `readme_<name>`, in a folder on sys.path: worker
    processes that import them by name (spawned ones, Dask's) inherit the path."""
    blocks = dict(RECIPE_BLOCK.findall(README.read_text(encoding="utf-8")))
    assert sorted(blocks) == sorted(RECIPES), "the README's marked recipe blocks changed"
    folder = tmp_path_factory.mktemp("recipes")
    for name, code in blocks.items():
        (folder / f"readme_{name}.py").write_text(code, encoding="utf-8")
    sys.path.insert(0, str(folder))
    yield folder
    sys.path.remove(str(folder))
    for name in RECIPES:
        sys.modules.pop(f"readme_{name}", None)


def recipe_module(name):
    return importlib.import_module(f"readme_{name}")


def run_program(recipe_dir, name):
    """Runs a recipe as a program (`__name__ == "__main__"`) and returns its globals."""
    return runpy.run_path(str(recipe_dir / f"readme_{name}.py"), run_name="__main__")


# --- one process ------------------------------------------------------------


def test_batch_program(recipe_dir):
    program = run_program(recipe_dir, "batch")
    hasher, items = program["hasher"], program["items"]
    assert len(items) == 20_000
    assert program["digests"] == [hasher.hash(item) for item in items]
    assert program["streamed"] == [hasher.hash(i.to_bytes(8, "little")) for i in range(12_000)]


@pytest.mark.parametrize("count, size", [(0, 5), (1, 5), (5, 5), (6, 5), (23, 5), (23, 1), (23, 100)])
def test_batch_slices_cover_every_record_once_in_order(recipe_dir, count, size):
    hash_in_slices = recipe_module("batch").hash_in_slices
    make, longest = INSTANCES["ZcashPedersen()"]
    items = varied_items(longest, count)
    assert list(hash_in_slices(make(), iter(items), size=size)) == expected(make, items)


# --- multiprocessing ----------------------------------------------------------
# These run before any Dask cluster exists in this process, so that the pools fork a process without its threads.


def test_pool_program(recipe_dir):
    program = run_program(recipe_dir, "pool")
    hasher, items = program["hasher"], program["items"]
    assert program["digests"] == [hasher.hash(item) for item in items]


@pytest.mark.parametrize("start_method", ["default", "spawn"])
@pytest.mark.parametrize("instance", INSTANCES)
def test_pool_recipe_matches_hash(recipe_dir, monkeypatch, instance, start_method):
    # A spawned worker receives the instance pickled (a forked one inherits it), as on platforms without fork.
    if start_method != "default":
        monkeypatch.setattr(multiprocessing, "Pool", multiprocessing.get_context(start_method).Pool)
    make, longest = INSTANCES[instance]
    items = varied_items(longest)
    # Small chunks, so that both processes take several and the order must be restored.
    assert recipe_module("pool").hash_in_pool(make(), items, processes=2, chunk_size=7) == expected(make, items)


def test_pool_recipe_with_no_items(recipe_dir):
    assert recipe_module("pool").hash_in_pool(_tamarind.CircomPedersen(), [], processes=2) == []


# --- Dask -------------------------------------------------------------------


@pytest.fixture(scope="module")
def dask_client(recipe_dir):
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


def test_dask_program(recipe_dir):
    program = run_program(recipe_dir, "dask")
    hasher, items = program["hasher"], program["items"]
    assert program["digests"] == [hasher.hash(item) for item in items]


@pytest.mark.parametrize("instance", INSTANCES)
def test_dask_recipe_matches_hash(dask_client, instance):
    worker_pids = dask_client.run(os.getpid)
    assert len(worker_pids) == 2 and os.getpid() not in worker_pids.values()
    make, longest = INSTANCES[instance]
    items = varied_items(longest)
    digests = recipe_module("dask").hash_on_cluster(dask_client, make(), items, chunk_size=7)
    assert digests == expected(make, items)
