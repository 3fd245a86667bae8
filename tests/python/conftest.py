"""Shared helpers for the tests of the _tamarind extension surface."""

import os
import select
import signal
import time

import _tamarind
import pytest

# Registration order, which is also the order of __all__.
CLASS_NAMES = ["BabyJubjubPedersen", "JubjubBoweHopwood", "CircomPedersen", "ZcashPedersen"]

# The two caching hashers take exclusive borrows; the configurable ones shared.
EXCLUSIVE = {"CircomPedersen", "ZcashPedersen"}

# Small instances of every class. The configurable ones accept at least
# MAX_SMALL_INPUT bytes: 4 segments of 8 bits, and 4 segments of 6 three-bit
# chunks (24 chunks, enough for 9 bytes).
_SMALL = {
    "BabyJubjubPedersen": lambda: _tamarind.BabyJubjubPedersen(4, 8),
    "JubjubBoweHopwood": lambda: _tamarind.JubjubBoweHopwood(4, 6),
    "CircomPedersen": lambda: _tamarind.CircomPedersen(),
    "ZcashPedersen": lambda: _tamarind.ZcashPedersen(),
}
MAX_SMALL_INPUT = 4


# A shell without job control starts a background command with SIGINT
# ignored, and every command the tests start would inherit that, so the tests
# of Ctrl-C would see nothing arrive. A handled signal is reset to the default
# in a child, which then takes Ctrl-C as a user's shell would deliver it.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def pytest_configure(config):
    # Under AddressSanitizer these run in a pass of their own, with its allocator
    # told to fail as the system one does instead of ending the process.
    config.addinivalue_line("markers", "allocation_failure: asks for more memory than any machine has")
    config.addinivalue_line("markers", "scale_out: runs work in worker processes (multiprocessing, Dask)")
    config.addinivalue_line("markers", "typing: checks the stub and the package's types with mypy (the lint stage)")


def small_instance(name):
    return _SMALL[name]()


@pytest.fixture(params=CLASS_NAMES)
def class_name(request):
    return request.param


@pytest.fixture
def cls(class_name):
    return getattr(_tamarind, class_name)


# The type of internal-fault exceptions: deliberately not a module attribute,
# handed out by a private function instead.
panic_exception_type = _tamarind._panic_exception


# How long a test waits for something it needs before it fails, saying what it
# waited for. Minutes: under the sanitizers, on a busy machine, hashing the first
# megabyte alone can take two. Only a failing test ever waits that long.
CEILING = 600.0


def wait_for(condition, what, ceiling=CEILING):
    """Returns once `condition()` holds; fails, naming `what`, if it does not within `ceiling` seconds."""
    deadline = time.monotonic() + ceiling
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"waited {ceiling:.0f} s for {what}")
        time.sleep(0.01)


def read_until(fd, until, what, data=b"", ceiling=CEILING):
    """Reads the descriptor `fd` (a pipe or a terminal), adding to `data`, until
    `until(data)` holds; returns it. Fails, naming `what`, if the writers close
    it first or `ceiling` seconds pass."""
    deadline = time.monotonic() + ceiling
    while not until(data):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            pytest.fail(f"waited {ceiling:.0f} s for {what}; received {data!r}")
        if select.select([fd], [], [], remaining)[0]:
            try:
                chunk = os.read(fd, 4096)
            except OSError:  # EIO: a terminal that every writer has closed
                chunk = b""
            if not chunk:
                pytest.fail(f"the output ended before {what}; received {data!r}")
            data += chunk
    return data
