"""What every `hash` call promises regardless of construction: 32 fresh bytes,
faults as PanicException or MemoryError, borrows refused and released, and
instances that stay usable after any failure."""

import threading

import pytest

import _tamarind
from conftest import EXCLUSIVE, MAX_SMALL_INPUT, panic_exception_type, small_instance

B = _tamarind.BabyJubjubPedersen
J = _tamarind.JubjubBoweHopwood


@pytest.mark.parametrize("length", range(MAX_SMALL_INPUT + 1))
def test_hash_returns_32_new_bytes(class_name, length):
    instance = small_instance(class_name)
    data = bytes(range(1, length + 1))
    first = instance.hash(data)
    second = instance.hash(data=data)
    assert type(first) is bytes
    assert len(first) == 32
    assert first == second
    assert first is not second


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
    panic = panic_exception_type()
    instance = make()
    with pytest.raises(panic) as caught:
        instance.hash(data)
    assert caught.value.args == (message,)
    fitting = data[:-1]
    assert instance.hash(fitting) == make().hash(fitting)


@pytest.mark.parametrize("factory", [B, J], ids=["BabyJubjubPedersen", "JubjubBoweHopwood"])
@pytest.mark.parametrize("segments, per_segment", [(1, 2**64 - 1), (2**64 - 1, 2**64 - 1), (2**64 - 1, 0)])
def test_unrepresentable_sizes_are_a_capacity_overflow(factory, segments, per_segment):
    with pytest.raises(panic_exception_type()) as caught:
        factory(segments, per_segment)
    assert caught.value.args == ("capacity overflow",)


@pytest.mark.parametrize("factory", [B, J], ids=["BabyJubjubPedersen", "JubjubBoweHopwood"])
def test_allocation_failure_is_a_memory_error(factory):
    # 2**50 points cannot be allocated on any machine this runs on, yet their
    # byte count is representable, so this is no capacity overflow.
    with pytest.raises(MemoryError):
        factory(1, 2**50)
    assert len(factory(1, 8).hash(b"\x01")) == 32


def _value_whose_type_name_calls(callback):
    """An object that is not bytes and whose type name is looked up through
    `callback`, which then runs while `hash` holds its borrow."""

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                return callback()
            return super().__getattribute__(name)

    return Meta("Reentrant", (), {})()


def test_reentrant_call_is_refused_only_for_exclusive_borrows(class_name):
    instance = small_instance(class_name)
    inner = []

    def call_again():
        try:
            inner.append(instance.hash(b"\x01"))
        except RuntimeError as error:
            inner.append(error)
        return "Reentrant"

    with pytest.raises(TypeError, match="^argument 'data': 'Reentrant' object cannot be converted to 'PyBytes'$"):
        instance.hash(_value_whose_type_name_calls(call_again))

    (outcome,) = inner
    if class_name in EXCLUSIVE:
        assert isinstance(outcome, RuntimeError)
        assert outcome.args == ("Already borrowed",)
    else:
        assert outcome == small_instance(class_name).hash(b"\x01")
    # The borrow was released on the error path.
    assert instance.hash(b"\x01") == small_instance(class_name).hash(b"\x01")


def test_threads_sharing_an_instance_are_serialised(class_name):
    instance = small_instance(class_name)
    inputs = [bytes([i]) * (i % (MAX_SMALL_INPUT + 1)) for i in range(40)]
    expected = [small_instance(class_name).hash(data) for data in inputs]
    failures = []

    def work():
        try:
            for _ in range(5):
                assert [instance.hash(data) for data in inputs] == expected
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


@pytest.mark.parametrize("class_name", sorted(EXCLUSIVE))
def test_cached_instances_answer_like_fresh_ones_in_any_order(class_name):
    lengths = [0, 150, 1, 64, 2, 200, 31]
    inputs = [bytes((7 * i + n) % 256 for i in range(n)) for n in lengths]
    fresh = [small_instance(class_name).hash(data) for data in inputs]
    reused = small_instance(class_name)
    assert [reused.hash(data) for data in inputs] == fresh
    assert [reused.hash(data) for data in reversed(inputs)] == fresh[::-1]
