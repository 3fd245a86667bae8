"""`hash_many` against `hash`, its errors and thread counts; pickling and copying of every class."""

import copy
import multiprocessing
import pickle
import random

import _tamarind
import pytest
from conftest import panic_exception_type

from tamarind import sapling

B = _tamarind.BabyJubjubPedersen
J = _tamarind.JubjubBoweHopwood

# Around every segment and table boundary of the four hashers (Baby Jubjub and circom windows of 32 and 25 bytes,
# Jubjub segments of 23.6 bytes, Zcash segments of 189 bits), and past the built-in six segments of the caching ones.
LENGTHS = [0, 1, 2, 31, 32, 33, 63, 64, 65, 189, 190, 1000, 4096]

# Every class, the configurable ones with room for the longest length, and ZcashPedersen also with a
# personalization whose segments are all derived (none built in).
FACTORIES = {
    "BabyJubjubPedersen": lambda: B(128, 256),
    "JubjubBoweHopwood": lambda: J(48, 256),
    "CircomPedersen": lambda: _tamarind.CircomPedersen(),
    "ZcashPedersen": lambda: _tamarind.ZcashPedersen(),
    "ZcashPedersen-Tamarind": lambda: _tamarind.ZcashPedersen(b"Tamarind"),
}

_references = {}
_expected = {}


def reference(name):
    """An instance that only `hash` is called on, shared by the tests."""
    if name not in _references:
        _references[name] = FACTORIES[name]()
    return _references[name]


def expected(name, seed):
    """`hash` of each of mixed_items(seed), computed once per instance kind."""
    if (name, seed) not in _expected:
        _expected[name, seed] = [reference(name).hash(item) for item in mixed_items(seed)]
    return _expected[name, seed]


def mixed_items(seed=1):
    # Every length several times, shuffled, among many short inputs, so that every thread gets a mix.
    rng = random.Random(seed)
    items = [rng.randbytes(length) for length in LENGTHS for _ in range(4)]
    items += [rng.randbytes(rng.randint(0, 64)) for _ in range(300)]
    rng.shuffle(items)
    return items


@pytest.mark.parametrize("threads", [1, 2, 3, None])
@pytest.mark.parametrize("name", FACTORIES)
def test_hash_many_equals_hash_of_each_item(name, threads):
    items = mixed_items()
    # A fresh instance, so that a caching one derives its segments during this call, on its threads.
    digests = FACTORIES[name]().hash_many(items, threads=threads)
    assert type(digests) is list
    assert digests == expected(name, seed=1)


@pytest.mark.parametrize("name", FACTORIES)
def test_hash_many_keeps_the_instance_as_hash_does(name):
    # Calls of either kind on one instance, interleaved, give what a fresh instance gives.
    items, digests = mixed_items(seed=1), expected(name, seed=1)
    hasher = FACTORIES[name]()
    assert hasher.hash_many(items[:100], threads=2) == digests[:100]
    assert [hasher.hash(item) for item in items[100:200]] == digests[100:200]
    assert hasher.hash_many(items, threads=2) == digests


@pytest.mark.parametrize("threads", [1, 2, 16, None])
@pytest.mark.parametrize("count", [0, 1, 2, 3])
def test_fewer_items_than_threads(count, threads):
    hasher = _tamarind.ZcashPedersen()
    items = [bytes([i]) * 40 for i in range(count)]
    assert hasher.hash_many(items, threads=threads) == [hasher.hash(item) for item in items]


@pytest.mark.parametrize(
    "make_iterable",
    [list, tuple, iter, lambda items: (item for item in items), lambda items: dict.fromkeys(items)],
    ids=["list", "tuple", "iterator", "generator", "dict"],
)
@pytest.mark.parametrize("threads", [1, 2])
def test_any_iterable_of_bytes(make_iterable, threads):
    hasher = _tamarind.CircomPedersen()
    items = [bytes([i]) * i for i in range(50)]
    assert hasher.hash_many(make_iterable(items), threads=threads) == [hasher.hash(item) for item in items]
    assert hasher.hash_many(make_iterable([]), threads=threads) == []


def test_bytes_subclasses_are_hashed_as_their_bytes():
    class Tagged(bytes):
        pass

    hasher = _tamarind.ZcashPedersen()
    items = [Tagged(b"abc"), b"abc", Tagged(bytes(100))]
    assert hasher.hash_many(items, threads=2) == [hasher.hash(b"abc"), hasher.hash(b"abc"), hasher.hash(bytes(100))]


def ok_items(count):
    return [bytes([i % 256]) * (i % 70) for i in range(count)]


@pytest.mark.parametrize("threads", [1, 2, None])
@pytest.mark.parametrize("index", [0, 3, 57, 199])
@pytest.mark.parametrize("bad, type_name", [("abc", "str"), (None, "NoneType"), (7, "int")])
def test_item_that_is_not_bytes_like_is_named_by_index(bad, type_name, index, threads):
    hasher = _tamarind.ZcashPedersen()
    items = ok_items(200)
    items[index] = bad
    with pytest.raises(TypeError) as caught:
        hasher.hash_many(items, threads=threads)
    assert str(caught.value) == f"item {index}: a bytes-like object is required, not '{type_name}'"
    del items[index]
    assert hasher.hash_many(items, threads=threads) == [hasher.hash(item) for item in items]


def test_one_bytes_object_instead_of_a_list_fails_on_item_0():
    with pytest.raises(TypeError) as caught:
        _tamarind.CircomPedersen().hash_many(b"abc")
    assert str(caught.value) == "item 0: a bytes-like object is required, not 'int'"


@pytest.mark.parametrize("not_iterable", [5, None, object()])
def test_items_must_be_iterable(not_iterable):
    with pytest.raises(TypeError):
        _tamarind.CircomPedersen().hash_many(not_iterable)


def test_an_exception_from_the_iterable_passes_through():
    def failing():
        yield b"a"
        yield b"b"
        raise LookupError("source ran dry")

    hasher = _tamarind.ZcashPedersen()
    with pytest.raises(LookupError, match="source ran dry"):
        hasher.hash_many(failing(), threads=2)
    assert hasher.hash_many([b"a", b"b"], threads=2) == [hasher.hash(b"a"), hasher.hash(b"b")]


@pytest.mark.parametrize("threads", [1, 2, None])
@pytest.mark.parametrize("index", [0, 3, 40])
def test_item_over_capacity_is_named_by_index(index, threads):
    # JubjubBoweHopwood(1, 3) takes at most one byte.
    hasher = J(1, 3)
    items = [bytes([i]) for i in range(41)]
    items[index] = b"\x00\x00"
    with pytest.raises(panic_exception_type()) as caught:
        hasher.hash_many(items, threads=threads)
    assert caught.value.args == (
        f"item {index}: input of 16 bits needs 6 chunks but only 3 generator powers are available",
    )
    del items[index]
    assert hasher.hash_many(items, threads=threads) == [J(1, 3).hash(item) for item in items]


# Every reader of a thread count, with items to hash and without: the count is checked either way.
THREAD_READERS = {
    "hash_many": lambda threads: _tamarind.CircomPedersen().hash_many([b"abc"], threads=threads),
    "hash_many-empty": lambda threads: _tamarind.CircomPedersen().hash_many([], threads=threads),
    "merkle_root": lambda threads: sapling.merkle_root([sapling.UNCOMMITTED], depth=2, threads=threads),
    "merkle_root-empty": lambda threads: sapling.merkle_root([], depth=2, threads=threads),
    "merkle_path": lambda threads: sapling.merkle_path([sapling.UNCOMMITTED], 0, depth=2, threads=threads),
}


@pytest.mark.parametrize("read", THREAD_READERS.values(), ids=THREAD_READERS)
@pytest.mark.parametrize(
    "threads, error, message",
    [
        (0, ValueError, "threads must be at least 1, not 0"),
        (-(2**70), ValueError, f"threads must be at least 1, not {-(2**70)}"),
        (2**64, OverflowError, None),
        (2**200, OverflowError, None),
        (1.5, TypeError, "argument 'threads': 'float' object cannot be interpreted as an integer"),
    ],
    ids=["0", "-2**70", "2**64", "2**200", "float"],
)
def test_one_rule_for_thread_counts(read, threads, error, message):
    with pytest.raises(error) as caught:
        read(threads)
    assert message is None or str(caught.value) == message


def test_the_largest_thread_count_is_accepted():
    hasher = _tamarind.CircomPedersen()
    assert hasher.hash_many([b"abc"], threads=2**64 - 1) == [hasher.hash(b"abc")]
    assert sapling.merkle_root([], depth=2, threads=2**64 - 1) == sapling.empty_root(2)


def _hash_many_in_child(hasher, items):
    return hasher.hash_many(items, threads=2)


def test_threads_work_in_a_process_forked_after_threads_ran():
    if "fork" not in multiprocessing.get_all_start_methods():
        pytest.skip("no fork on this platform")
    hasher = _tamarind.ZcashPedersen()
    items = [bytes([i]) * 64 for i in range(100)]
    expected = hasher.hash_many(items, threads=2)
    with multiprocessing.get_context("fork").Pool(1) as pool:
        result = pool.apply_async(_hash_many_in_child, (hasher, items))
        assert result.get(timeout=120) == expected


# --- pickling and copying -----------------------------------------------------

PICKLED = {
    "BabyJubjubPedersen(4, 64)": lambda: B(4, 64),
    "JubjubBoweHopwood(4, 63)": lambda: J(4, 63),
    "BabyJubjubPedersen(2**64 - 1, 0)": lambda: B(2**64 - 1, 0),
    "CircomPedersen()": lambda: _tamarind.CircomPedersen(),
    "ZcashPedersen()": lambda: _tamarind.ZcashPedersen(),
    "ZcashPedersen(b'Tamarind')": lambda: _tamarind.ZcashPedersen(b"Tamarind"),
    "ZcashPedersen(personalization=b'Zcash_PH')": lambda: _tamarind.ZcashPedersen(personalization=b"Zcash_PH"),
}
# Up to the smallest capacity among them (BabyJubjubPedersen(2**64 - 1, 0) takes only the empty input).
PROBES = [b"", b"a", b"abc", bytes(range(32))]

COPIERS = {
    f"pickle protocol {p}": lambda h, p=p: pickle.loads(pickle.dumps(h, protocol=p))
    for p in range(pickle.HIGHEST_PROTOCOL + 1)
}
COPIERS["copy.copy"] = copy.copy
COPIERS["copy.deepcopy"] = copy.deepcopy


@pytest.mark.parametrize("copier", COPIERS)
@pytest.mark.parametrize("instance", PICKLED)
def test_copies_hash_as_the_original(instance, copier):
    original = PICKLED[instance]()
    probes = PROBES if instance != "BabyJubjubPedersen(2**64 - 1, 0)" else [b""]
    clone = COPIERS[copier](original)
    assert type(clone) is type(original)
    assert [clone.hash(p) for p in probes] == [original.hash(p) for p in probes]


@pytest.mark.parametrize("copier", COPIERS)
def test_copies_keep_the_personalization(copier):
    data = b"a personalization picks the base points"
    personalized = _tamarind.ZcashPedersen(b"Tamarind")
    clone = COPIERS[copier](personalized)
    assert clone.hash(data) == personalized.hash(data)
    assert clone.hash(data) != _tamarind.ZcashPedersen().hash(data)
    assert clone.hash_many([data, data], threads=2) == [personalized.hash(data)] * 2


@pytest.mark.parametrize("copier", COPIERS)
@pytest.mark.parametrize("factory, capacity", [(B, lambda s, n: s * n // 8), (J, lambda s, n: 3 * s * n // 8)])
def test_copies_keep_the_sizes(copier, factory, capacity):
    # A copy with other sizes would give other digests or another capacity.
    original = factory(3, 20)
    clone = COPIERS[copier](original)
    fits = bytes(range(1, capacity(3, 20) + 1))
    assert clone.hash(fits) == original.hash(fits)
    with pytest.raises(panic_exception_type()):
        clone.hash(fits + b"\x01")


@pytest.mark.parametrize(
    "make", [lambda: B(64, 256), lambda: J(64, 256)], ids=["BabyJubjubPedersen", "JubjubBoweHopwood"]
)
def test_pickles_carry_no_tables(make):
    # Tables of megabytes are rebuilt by the receiver, not sent.
    assert len(pickle.dumps(make(), protocol=pickle.HIGHEST_PROTOCOL)) < 200


def test_a_caching_hasher_pickles_the_same_after_deriving_segments():
    hasher = _tamarind.ZcashPedersen(b"Tamarind")
    before = pickle.dumps(hasher)
    long_input = bytes(range(256)) * 8
    digest = hasher.hash(long_input)
    assert pickle.dumps(hasher) == before
    assert pickle.loads(before).hash(long_input) == digest
