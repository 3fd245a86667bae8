"""Incremental hashing objects, and long calls that Ctrl-C interrupts."""

import copy
import os
import pickle
import signal
import subprocess
import sys
import threading
import time

import _tamarind
import pytest
from conftest import CEILING, CLASS_NAMES, panic_exception_type

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


# A child process sends the signal, so that nothing of this process has to
# run for it, and reports when (CLOCK_MONOTONIC is shared by every process). It sends it once this process
# has spent BUSY seconds of processor time after saying it is about to make the
# call: a few statements stand between the two, so by then the call is running,
# however slow or busy the machine. The calls are sized to take far longer.
BUSY = 0.2
SENDER = """
import os, sys, time
pid, busy = int(sys.argv[1]), float(sys.argv[2])
def cpu():  # user and system time of the whole process, from /proc/PID/stat
    fields = open(f"/proc/{pid}/stat").read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
print("ready", flush=True)
sys.stdin.readline()
start = cpu()
while cpu() - start < busy:
    time.sleep(0.001)
sent = time.monotonic()
os.kill(pid, 2)
print(sent, flush=True)
"""


@pytest.fixture
def sigint_during():
    """Arms a SIGINT to this process, with a handler that raises Interrupted (or
    the handler the test passes). The function it yields returns a callable to
    call just before the long call; that returns a callable giving the time the
    signal was sent."""
    if not os.path.exists(f"/proc/{os.getpid()}/stat"):
        pytest.skip("needs /proc to see this process at work")
    senders = []

    def arm(handler=None):
        def default(signum, frame):
            raise Interrupted()

        sender = subprocess.Popen(
            [sys.executable, "-c", SENDER, str(os.getpid()), str(BUSY)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        senders.append(sender)
        assert sender.stdout.readline() == "ready\n"
        signal.signal(signal.SIGINT, handler or default)

        def start():
            sender.stdin.write("start\n")
            sender.stdin.flush()
            return lambda: float(sender.communicate(timeout=CEILING)[0])

        return start

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
def test_sigint_interrupts_a_long_call_promptly(sigint_during, call):
    hasher = _tamarind.ZcashPedersen()
    data = os.urandom(BIG)
    start = sigint_during()
    with pytest.raises(Interrupted):
        sent_at = start()
        CALLS[call](hasher, data)
    latency = time.monotonic() - sent_at()
    print(f"{call}: interrupted {latency * 1000:.1f} ms after SIGINT")
    # The work between two checks is a few milliseconds; only a call that missed the signal takes this long.
    assert latency < 30, f"the call ended {latency:.1f} s after SIGINT"
    assert hasher.hash(b"abc") == _tamarind.ZcashPedersen().hash(b"abc")
    assert hasher.hash(data[:5000]) == _tamarind.ZcashPedersen().hash(data[:5000])


def test_keyboard_interrupt_by_default(sigint_during):
    hasher = _tamarind.CircomPedersen()
    data = os.urandom(BIG)
    start = sigint_during(signal.default_int_handler)
    with pytest.raises(KeyboardInterrupt):
        start()
        hasher.hash(data)


def test_a_handler_that_reenters_the_busy_instance_is_refused(sigint_during):
    hasher = _tamarind.ZcashPedersen()
    data = os.urandom(BIG)
    start = sigint_during(lambda signum, frame: hasher.hash(b"x"))
    with pytest.raises(RuntimeError, match="Already borrowed"):
        start()
        hasher.hash_many([data])
    assert hasher.hash(b"x") == _tamarind.ZcashPedersen().hash(b"x")


def test_a_handler_that_returns_lets_the_call_finish(sigint_during):
    hasher = _tamarind.CircomPedersen()
    data = os.urandom(2_000_000)
    seen = []
    start = sigint_during(lambda signum, frame: seen.append(signum))
    sent_at = start()
    digest = hasher.hash(data)
    sent_at()  # sent, so handled by now: during the call, or at the latest on its return
    assert seen == [signal.SIGINT]  # handled during the call, which then went on
    assert digest == _tamarind.CircomPedersen().hash(data)


def test_a_handler_that_reads_a_state_being_updated_is_refused(sigint_during):
    # The state's own borrow answers first (the hasher's would say "Already borrowed").
    hasher = _tamarind.ZcashPedersen()
    state = hasher.incremental(b"abc")
    data = os.urandom(BIG)
    start = sigint_during(lambda signum, frame: state.digest())
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        start()
        state.update(data)
    assert state.digest() == hasher.hash(b"abc")


class _HugePickle:
    """Unpickles as a JubjubBoweHopwood that takes minutes and 1.6 GB to build."""

    def __reduce__(self):
        return (_tamarind._rebuild, ("JubjubBoweHopwood", (1 << 22, 1)))


# Minutes of work each (one scalar multiplication per segment), far past the ceiling below.
HUGE_BUILDS = {
    "constructor": lambda: _tamarind.BabyJubjubPedersen(1 << 24, 1),
    "unpickling": lambda: pickle.loads(pickle.dumps(_HugePickle())),
}


@pytest.mark.parametrize("build", HUGE_BUILDS)
def test_sigint_stops_a_construction_promptly(sigint_during, build):
    start = sigint_during(signal.default_int_handler)
    with pytest.raises(KeyboardInterrupt):
        sent = start()
        HUGE_BUILDS[build]()
    latency = time.monotonic() - sent()
    print(f"{build}: interrupted {latency * 1000:.1f} ms after SIGINT")
    assert latency < 30.0, "construction went on long after SIGINT"


def test_a_thread_that_a_handler_waits_for_uses_the_busy_instance(sigint_during):
    # The handler releases the interpreter lock while hash_many still holds the
    # instance: another thread shares a hasher, so the one it waits for is served.
    hasher = _tamarind.ZcashPedersen()
    data = os.urandom(BIG)
    outcome = []

    def use():
        try:
            outcome.append(hasher.hash(b"x"))
        except RuntimeError as error:
            outcome.append(error)

    def handler(signum, frame):
        thread = threading.Thread(target=use)
        thread.start()
        thread.join()
        raise Interrupted()

    start = sigint_during(handler)
    with pytest.raises(Interrupted):
        start()
        hasher.hash_many([b"x", data, b"y"], threads=2)
    assert outcome == [_tamarind.ZcashPedersen().hash(b"x")]
