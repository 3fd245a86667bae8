"""What every `hash` call promises: 32 fresh bytes, faults as PanicException or MemoryError,
borrows refused and released, instances usable after any failure and by several threads at once."""

import threading
from concurrent.futures import ThreadPoolExecutor

import _tamarind
import pytest
from conftest import EXCLUSIVE, MAX_SMALL_INPUT, panic_exception_type, small_instance

B = _tamarind.BabyJubjubPedersen
J = _tamarind.JubjubBoweHopwood


@pytest.mark.parametrize("length", range(MAX_SMALL_INPUT + 1))
def test_hash_returns_32_new_bytes(class_name, length):
    instance = small_instance(class_name)
    data = bytes(range(1, length + 1))
    first, second = instance.hash(data), instance.hash(data=data)
    assert type(first) is bytes and len(first) == 32
    assert first == second and first is not second


def test_empty_input_gives_the_identity_encoding():
    # The compressed identity (0, 1) of Baby Jubjub, and x = 0 of the Jubjub identity.
    assert B(0, 0).hash(b"") == b"\x01" + bytes(31)
    assert J(0, 0).hash(b"") == bytes(32)


CAPACITY_FAULTS = [
    (lambda: B(0, 0), b"\x01", "input of 8 bits needs 8 chunks but only 0 generator powers are available"),
    (lambda: B(1, 8), b"\x01\x02", "input of 16 bits needs 16 chunks but only 8 generator powers are available"),
    (lambda: J(1, 3), b"\x00\x00", "input of 16 bits needs 6 chunks but only 3 generator powers are available"),
]


@pytest.mark.parametrize("make, data, message", CAPACITY_FAULTS)
def test_input_over_capacity_panics_and_leaves_instance_usable(make, data, message):
    instance = make()
    with pytest.raises(panic_exception_type()) as caught:
        instance.hash(data)
    assert caught.value.args == (message,)
    assert instance.hash(data[:-1]) == make().hash(data[:-1])


@pytest.mark.parametrize("factory", [B, J], ids=["BabyJubjubPedersen", "JubjubBoweHopwood"])
@pytest.mark.parametrize("segments, per_segment", [(1, 2**64 - 1), (2**64 - 1, 2**64 - 1)])
def test_unrepresentable_sizes_are_a_capacity_overflow(factory, segments, per_segment):
    with pytest.raises(panic_exception_type()) as caught:
        factory(segments, per_segment)
    assert caught.value.args == ("capacity overflow",)


@pytest.mark.parametrize("factory, chunks", [(B, 8), (J, 3)], ids=["BabyJubjubPedersen", "JubjubBoweHopwood"])
def test_segments_that_hold_nothing_cost_nothing(factory, chunks):
    # However many segments, none holds a chunk, so no memory is taken for them.
    empty = factory(2**64 - 1, 0)
    assert empty.hash(b"") == factory(0, 0).hash(b"")
    with pytest.raises(panic_exception_type()) as caught:
        empty.hash(b"x")
    assert caught.value.args == (f"input of 8 bits needs {chunks} chunks but only 0 generator powers are available",)


@pytest.mark.allocation_failure
@pytest.mark.parametrize("factory", [B, J], ids=["BabyJubjubPedersen", "JubjubBoweHopwood"])
def test_allocation_failure_is_a_memory_error(factory):
    # 2**50 points cannot be allocated on any machine this runs on, yet their
    # byte count is representable, so this is no capacity overflow.
    with pytest.raises(MemoryError):
        factory(1, 2**50)
    assert len(factory(1, 8).hash(b"\x01")) == 32


def test_reentrant_call_is_refused_only_for_exclusive_borrows(class_name):
    instance = small_instance(class_name)
    inner = []

    def call_again():
        try:
            inner.append(instance.hash(b"\x01"))
        except RuntimeError as error:
            inner.append(error)
        return "Reentrant"

    class Meta(type):  # its type name is looked up while `hash` holds its borrow
        def __getattribute__(cls, name):
            return call_again() if name == "__qualname__" else super().__getattribute__(name)

    with pytest.raises(TypeError, match="^argument 'data': 'Reentrant' object cannot be converted to 'PyBytes'$"):
        instance.hash(Meta("Reentrant", (), {})())

    (outcome,) = inner
    expected = small_instance(class_name).hash(b"\x01")
    if class_name in EXCLUSIVE:
        assert isinstance(outcome, RuntimeError) and outcome.args == ("Already borrowed",)
    else:
        assert outcome == expected
    assert instance.hash(b"\x01") == expected  # the borrow was released on the error path


# Instances whose calls span the threshold at which calls let the interpreter
# lock go (2,048 bytes), so that threads run them at once. Zcash's under a
# personalization of its own, so that its tables grow during the threads'
# calls (the table cache shares them with every instance made later).
_WIDE = {
    "BabyJubjubPedersen": lambda: _tamarind.BabyJubjubPedersen(256, 128),
    "JubjubBoweHopwood": lambda: _tamarind.JubjubBoweHopwood(256, 64),
    "CircomPedersen": _tamarind.CircomPedersen,
    "ZcashPedersen": lambda: _tamarind.ZcashPedersen(b"Threads4"),
}
THREAD_INPUTS = [bytes([i]) * n for i, n in enumerate([0, 1, 100, 2047, 2048, 3000, 4000])]
THREAD_CALLS = {
    "hash": lambda h: [h.hash(data) for data in THREAD_INPUTS],
    "hash_vartime": lambda h: [h.hash_vartime(data) for data in THREAD_INPUTS],
    "hash_many": lambda h: h.hash_many(THREAD_INPUTS, threads=2),
    "hash_many_vartime": lambda h: h.hash_many(THREAD_INPUTS, threads=2, vartime=True),
}


@pytest.mark.parametrize("call", THREAD_CALLS)
def test_threads_sharing_an_instance_get_its_digests(class_name, call):
    instance = _WIDE[class_name]()
    assert instance.capacity is None or instance.capacity >= max(map(len, THREAD_INPUTS))
    start = threading.Barrier(4)

    def run(_):
        start.wait()
        return [THREAD_CALLS[call](instance) for _ in range(2)]

    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(run, range(4)))
    # One thread's digests, once the others are done.
    assert results == [[[_WIDE[class_name]().hash(data) for data in THREAD_INPUTS]] * 2] * 4
