"""Long calls let the interpreter lock go: other Python threads run during them, and a second thread's
call on an object with state waits for the running one instead of being refused."""

import os
import subprocess
import sys
import threading
import time

import _tamarind
import pytest
from conftest import CEILING, wait_for
from test_incremental import Interrupted, sigint_during  # noqa: F401 (a fixture)

from tamarind import sapling

LEAF = (7).to_bytes(32, "little")
LEAVES = [(i + 2).to_bytes(32, "little") for i in range(1 << 13)]


def _configurable_build():
    # Sizes of their own, so that the table cache holds no tables for them yet.
    return _tamarind.JubjubBoweHopwood(1 << 11, 77)


# Each takes well over a hundred milliseconds, on any machine.
LONG_CALLS = {
    "hash": lambda: _tamarind.ZcashPedersen().hash(bytes(1 << 17)),
    "hash_bits": lambda: _tamarind.CircomPedersen().hash_bits(bytes(1 << 17), 8 << 17),
    "hash_vartime": lambda: _tamarind.ZcashPedersen().hash_vartime(bytes(1 << 17)),
    "point": lambda: _tamarind.CircomPedersen().point(bytes(1 << 17)),
    # A short input, but the first variable-time call of these sizes builds their wide tables.
    "hash_vartime building tables": lambda: _tamarind.BabyJubjubPedersen(120, 128).hash_vartime(b"x"),
    "hash_many": lambda: _tamarind.ZcashPedersen().hash_many([bytes(64)] * 4000, threads=1),
    "update": lambda: _tamarind.ZcashPedersen().incremental().update(bytes(1 << 18)),
    "merkle_root": lambda: sapling.merkle_root(LEAVES, threads=1),
    "extend": lambda: sapling.CommitmentTree().extend(LEAVES, threads=1),
    "configurable build": _configurable_build,
}


@pytest.mark.parametrize("call", LONG_CALLS)
def test_other_threads_run_during_a_long_call(call):
    started = threading.Event()
    span = []

    def work():
        started.set()
        begin = time.perf_counter()
        LONG_CALLS[call]()
        span.extend([begin, time.perf_counter()])

    worker = threading.Thread(target=work)
    worker.start()
    wait_for(started.is_set, "the worker to start")
    # This thread's progress, a time every 256 turns of a loop. Held through
    # the call, the interpreter lock would let it run only at the edges: for
    # a switch interval (5 ms) as the call begins, and once it has ended.
    stamps = []
    turns = 0
    while worker.is_alive():
        turns += 1
        if turns % 256 == 0:
            stamps.append(time.perf_counter())
    worker.join()
    begin, end = span
    quarter = (end - begin) / 4
    middle = sum(begin + quarter < stamp < end - quarter for stamp in stamps)
    print(f"{call}: {(end - begin) * 1000:.0f} ms, {256 * middle} turns of the loop in its middle half")
    assert middle >= 10


def test_threads_updating_one_state_both_succeed():
    hasher = _tamarind.ZcashPedersen()
    state = hasher.incremental()
    piece = os.urandom(3000)  # over the threshold, and not a whole number of segments
    start = threading.Barrier(2)
    errors = []

    def feed():
        start.wait()
        try:
            for _ in range(8):
                state.update(piece)
        except BaseException as error:  # noqa: BLE001 (reported below)
            errors.append(error)

    threads = [threading.Thread(target=feed) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    # The same piece each time: any order the updates ran in joins to this.
    assert state.digest() == hasher.hash(piece * 16)


def test_threads_extending_one_tree_both_succeed():
    tree = sapling.CommitmentTree()
    tree.extend(LEAVES[:5])
    witness = tree.witness()
    first, second = LEAVES[5:2000], LEAVES[2000:4000]
    start = threading.Barrier(2)
    errors = []

    def extend(cmus):
        start.wait()
        try:
            tree.extend(cmus, witnesses=[witness], threads=1)
        except BaseException as error:  # noqa: BLE001 (reported below)
            errors.append(error)

    threads = [threading.Thread(target=extend, args=(cmus,)) for cmus in (first, second)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert tree.size == 5 + len(first) + len(second)
    # One batch whole, then the other: never interleaved.
    roots = {sapling.merkle_root(LEAVES[:5] + a + b) for a, b in [(first, second), (second, first)]}
    assert tree.root() in roots
    assert witness.root() == tree.root() and witness.tree_size == tree.size


def test_a_handler_that_reenters_the_tree_being_extended_is_refused(sigint_during):  # noqa: F811
    tree = sapling.CommitmentTree()
    start = sigint_during(lambda signum, frame: tree.root())
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        start()
        tree.extend([LEAF] * (1 << 16), threads=1)
    assert tree.size == 0


def test_sigint_interrupts_a_long_call_while_another_thread_runs_python(sigint_during):  # noqa: F811
    # The main thread waits its turn for the interpreter lock each time it
    # looks for signals, and so looks less often; it still looks.
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            pass

    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        start = sigint_during()
        with pytest.raises(Interrupted):
            sent_at = start()
            _tamarind.ZcashPedersen().hash(bytes(16 << 20))
        latency = time.monotonic() - sent_at()
    finally:
        stop.set()
        spinner.join()
    print(f"hash beside a busy thread: interrupted {latency * 1000:.1f} ms after SIGINT")
    assert latency < 30, f"the call ended {latency:.1f} s after SIGINT"


# A daemon thread whose long call ends while the interpreter is finalizing:
# taking the interpreter lock back ends such a thread (3.9 to 3.13 unwind it
# with pthread_exit), which must not unwind through the call's frames. A
# finalizer holds finalization open until the thread has stopped running.
DAEMON_AT_EXIT = """
import os, sys, threading, time, types, _tamarind
started = threading.Event()
native = []

def work():
    native.append(threading.get_native_id())
    started.set()
    _tamarind.ZcashPedersen().hash(bytes(1 << 16))

# Module globals (and on 3.9 the text codecs) are gone by the time the
# finalizer runs: what it uses comes bound, and reads bytes.
def running(tid, read=os.read, open_=os.open, close=os.close, O_RDONLY=os.O_RDONLY):
    try:
        fd = open_(b"/proc/self/task/%d/stat" % tid, O_RDONLY)
    except FileNotFoundError:
        return False
    try:
        return read(fd, 4096).rpartition(b")")[2].split()[0] == b"R"
    finally:
        close(fd)

class Finalizer:
    def __del__(self, write=os.write, running=running, native=native, monotonic=time.monotonic, sleep=time.sleep,
                ceiling=float(sys.argv[1])):
        deadline = monotonic() + ceiling
        while running(native[0]) and monotonic() < deadline:
            sleep(0.01)
        write(1, b"stopped" if not running(native[0]) else b"still running")

module = types.ModuleType("finalizer")
module.finalizer = Finalizer()
sys.modules["finalizer"] = module
del module
threading.Thread(target=work, daemon=True).start()
started.wait()
"""


def test_a_daemon_thread_in_a_long_call_at_exit_ends_quietly():
    if not os.path.exists(f"/proc/{os.getpid()}/task"):
        pytest.skip("needs /proc to see the thread stop")
    child = subprocess.run(
        [sys.executable, "-c", DAEMON_AT_EXIT, str(CEILING)], capture_output=True, text=True, timeout=2 * CEILING
    )
    assert (child.returncode, child.stdout, child.stderr) == (0, "stopped", "")


# The main thread's long call builds the variable-time wide tables, holding
# their lock across checkpoints, each of which takes the interpreter lock
# back. A short call of another thread that needs them meanwhile must not wait
# for that lock while holding the interpreter lock. A fresh process, so that
# no table exists yet; the table cache counts the tables' bytes before they are
# built, which tells the other thread the build is under way.
SHORT_CALL_DURING_A_BUILD = """
import threading, _tamarind
before = _tamarind.table_cache_info()["bytes"]
def short():
    while _tamarind.table_cache_info()["bytes"] == before:
        pass
    _tamarind.ZcashPedersen().hash_vartime(bytes(1000))
thread = threading.Thread(target=short)
thread.start()
_tamarind.ZcashPedersen().hash_vartime(bytes(4096))
thread.join()
print("done", end="")
"""


def test_a_short_call_during_a_long_calls_table_build_does_not_deadlock():
    child = subprocess.run(
        [sys.executable, "-c", SHORT_CALL_DURING_A_BUILD], capture_output=True, text=True, timeout=CEILING
    )
    assert (child.returncode, child.stdout, child.stderr) == (0, "done", "")
