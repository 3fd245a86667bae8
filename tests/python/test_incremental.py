"""Incremental hashing objects, and long calls that Ctrl-C interrupts."""

import copy
import os
import signal
import subprocess
import sys
import time

import _tamarind
import pytest
from conftest import CLASS_NAMES, panic_exception_type

# Instances with room for every length used here: the configurable ones with
# segments that end inside a byte (13 and 21 bits), so pieces cross segments
# anywhere.
ROOMY = {
    "BabyJubjubPedersen": lambda: _tamarind.BabyJubjubPedersen(700, 13),
    "JubjubBoweHopwood": lambda: _tamarind.JubjubBoweHopwood(500, 7),
    "CircomPedersen": lambda: _tamarind.CircomPedersen(),
    "ZcashPedersen": lambda: _tamarind.ZcashPedersen(b"Tamarind"),
}


@pytest.fixture(scope="module")
def roomy():
    return {name: build() for name, build in ROOMY.items()}


def pieces(data, sizes):
    out, at = [], 0
    for size in sizes:
        out.append(data[at : at + size])
        at += size
    out.append(data[at:])
    return out


@pytest.mark.parametrize("class_name", CLASS_NAMES)
@pytest.mark.parametrize("length", [0, 1, 24, 25, 26, 188, 189, 190, 1000])
@pytest.mark.parametrize(
    "sizes", [[], [1] * 30, [0, 3, 0, 7, 11], [24, 1, 189, 2]], ids=["whole", "bytes", "odd", "units"]
)
def test_digest_equals_hash_of_the_pieces_joined(roomy, class_name, length, sizes):
    hasher = roomy[class_name]
    data = os.urandom(length)
    state = hasher.incremental()
    for piece in pieces(data, sizes):
        state.update(piece)
    assert state.digest() == hasher.hash(data)
    assert state.hexdigest() == hasher.hash(data).hex()
    assert state.digest() == hasher.hash(data)  # reading does not change the state


@pytest.mark.parametrize("class_name", CLASS_NAMES)
def test_state_object_behaves_like_hashlib(roomy, class_name):
    hasher = roomy[class_name]
    head, tail = os.urandom(100), os.urandom(77)
    state = hasher.incremental(head)
    assert isinstance(state, _tamarind.IncrementalHash)
    assert (state.name, state.digest_size) == (class_name, 32)
    forked = state.copy()
    for duplicate in (copy.copy(state), copy.deepcopy(state)):
        duplicate.update(b"x")
        assert duplicate.digest() == hasher.hash(head + b"x")
    state.update(tail)
    assert forked.digest() == hasher.hash(head)
    assert state.digest() == hasher.hash(head + tail)
    state.update(tail)  # updates after a digest go on from where it was
    assert state.digest() == hasher.hash(head + tail + tail)


def test_state_keeps_its_hasher_alive():
    state = _tamarind.ZcashPedersen(b"Tamarind").incremental(b"abc")
    expected = _tamarind.ZcashPedersen(b"Tamarind").hash(b"abc")
    assert state.digest() == expected


@pytest.mark.parametrize(
    "value, message",
    [
        ("abc", "argument 'data': a bytes-like object is required, not 'str'"),
        (3, "argument 'data': a bytes-like object is required, not 'int'"),
    ],
)
def test_update_takes_bytes_like_objects_only(value, message):
    state = _tamarind.CircomPedersen().incremental()
    with pytest.raises(TypeError) as error:
        state.update(value)
    assert str(error.value) == message
    with pytest.raises(TypeError):
        _tamarind.CircomPedersen().incremental(value)


def test_state_cannot_be_made_directly_or_subclassed():
    with pytest.raises(TypeError, match="incremental"):
        _tamarind.IncrementalHash()
    with pytest.raises(TypeError):
        type("Derived", (_tamarind.IncrementalHash,), {})
    assert "IncrementalHash" not in _tamarind.__all__


@pytest.mark.parametrize(
    "build", [lambda: _tamarind.BabyJubjubPedersen(2, 8), lambda: _tamarind.JubjubBoweHopwood(1, 6)]
)
def test_update_past_capacity_faults_as_hash_does_and_changes_nothing(build):
    hasher = build()  # two bytes fit
    state = hasher.incremental(b"a")
    with pytest.raises(panic_exception_type()) as by_update:
        state.update(b"bc")
    with pytest.raises(panic_exception_type()) as by_hash:
        hasher.hash(b"abc")
    assert by_update.value.args == by_hash.value.args
    state.update(b"b")
    assert state.digest() == hasher.hash(b"ab")


# ---- interruption ------------------------------------------------------------


class Interrupted(Exception):
    pass


BIG = 16 * 1024 * 1024


# A long call holds the interpreter lock, so no Python thread of this process
# could run to send the signal: a child process sends it, and reports when
# (CLOCK_MONOTONIC is shared by every process).
SENDER = (
    "import os, sys, time; time.sleep(float(sys.argv[2])); t = time.monotonic(); os.kill(int(sys.argv[1]), 2); print(t)"
)


@pytest.fixture
def sigint_after():
    """Arms a SIGINT to this process after a delay, with a handler that raises
    Interrupted (or the handler the test passes); the function it yields
    returns a callable giving the time the signal was sent."""
    senders = []

    def arm(delay, handler=None):
        def default(signum, frame):
            raise Interrupted()

        signal.signal(signal.SIGINT, handler or default)
        sender = subprocess.Popen(
            [sys.executable, "-c", SENDER, str(os.getpid()), str(delay)], stdout=subprocess.PIPE, text=True
        )
        senders.append(sender)
        return lambda: float(sender.communicate(timeout=60)[0])

    previous = signal.getsignal(signal.SIGINT)
    yield arm
    for sender in senders:
        sender.kill()
        sender.wait()
    signal.signal(signal.SIGINT, previous)


CALLS = {
    "hash": lambda hasher, data: hasher.hash(data),
    "hash_many": lambda hasher, data: hasher.hash_many([b"x", data, b"y"], threads=2),
    "update": lambda hasher, data: hasher.incremental().update(data),
}


@pytest.mark.parametrize("call", CALLS)
def test_sigint_interrupts_a_long_call_promptly(sigint_after, call):
    hasher = _tamarind.ZcashPedersen()
    data = os.urandom(BIG)
    sent_at = sigint_after(0.5)
    with pytest.raises(Interrupted):
        CALLS[call](hasher, data)
    latency = time.monotonic() - sent_at()
    print(f"{call}: interrupted {latency * 1000:.1f} ms after SIGINT")
    assert latency < 2.0  # the work between two checks is a few milliseconds; the rest is a busy machine
    assert hasher.hash(b"abc") == _tamarind.ZcashPedersen().hash(b"abc")
    assert hasher.hash(data[:5000]) == _tamarind.ZcashPedersen().hash(data[:5000])


def test_keyboard_interrupt_by_default(sigint_after):
    hasher = _tamarind.CircomPedersen()
    sigint_after(0.5, signal.default_int_handler)
    with pytest.raises(KeyboardInterrupt):
        hasher.hash(os.urandom(BIG))


def test_a_handler_that_reenters_the_busy_instance_is_refused(sigint_after):
    hasher = _tamarind.ZcashPedersen()
    sigint_after(0.5, lambda signum, frame: hasher.hash(b"x"))
    with pytest.raises(RuntimeError, match="Already borrowed"):
        hasher.hash_many([os.urandom(BIG)])
    assert hasher.hash(b"x") == _tamarind.ZcashPedersen().hash(b"x")


def test_a_handler_that_returns_lets_the_call_finish(sigint_after):
    hasher = _tamarind.CircomPedersen()
    data = os.urandom(1_000_000)
    seen = []
    sigint_after(0.3, lambda signum, frame: seen.append(signum))
    digest = hasher.hash(data)
    assert seen == [signal.SIGINT]  # handled during the call, which then went on
    assert digest == _tamarind.CircomPedersen().hash(data)


def test_a_handler_that_reads_a_state_being_updated_is_refused(sigint_after):
    # The state's own borrow answers first (the hasher's would say "Already borrowed").
    hasher = _tamarind.ZcashPedersen()
    state = hasher.incremental(b"abc")
    sigint_after(0.5, lambda signum, frame: state.digest())
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        state.update(os.urandom(BIG))
    assert state.digest() == hasher.hash(b"abc")
