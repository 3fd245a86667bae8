"""Shared helpers for the tests of the _tamarind extension surface."""

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


def panic_exception_type():
    """The type of internal-fault exceptions, obtained by provoking one: it
    is deliberately not reachable as a module attribute."""
    try:
        _tamarind.BabyJubjubPedersen(0, 0).hash(b"\x01")
    except BaseException as error:  # noqa: B036 - the type is what we want
        return type(error)
    raise AssertionError("hashing past the capacity did not fault")
