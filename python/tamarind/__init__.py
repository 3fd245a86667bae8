"""Pedersen hashes over Jubjub and Baby Jubjub.

The four hasher classes come from the `_tamarind` extension and are the same
objects under both names::

    from tamarind import ZcashPedersen
    ZcashPedersen().hash(b"abc")        # 32 bytes: the little-endian u-coordinate

`tamarind.sapling` builds Zcash Sapling's note commitment tree and note
commitments on `ZcashPedersen`; `tamarind.circom` converts `CircomPedersen`'s
packed points to coordinates and back.

`tamarind.PanicException` is the exception the extension raises on an internal
fault, such as an input longer than a configurable hasher's capacity. It
derives from `BaseException`, not `Exception`. It is looked up on first use.

The command line is `python -m tamarind` (or the `tamarind` script); see
`tamarind --help`.
"""

from __future__ import annotations

# typing is not imported at run time either: see below.
TYPE_CHECKING = False

# The package version; the build reads it from this line (pyproject.toml).
__version__ = "0.1.0"

__all__ = [
    "BabyJubjubPedersen",
    "JubjubBoweHopwood",
    "CircomPedersen",
    "ZcashPedersen",
    "PanicException",
    "lane_kernel",
    "table_cache_info",
    "set_table_cache_limit",
]

if TYPE_CHECKING:
    from typing import Any

    from _tamarind import (
        BabyJubjubPedersen,
        CircomPedersen,
        JubjubBoweHopwood,
        ZcashPedersen,
        lane_kernel,
        set_table_cache_limit,
        table_cache_info,
    )

    class PanicException(BaseException):
        """Raised when native code called from Python faults (at runtime: pyo3_runtime.PanicException)."""


# Names taken from the extension as they are: the classes and the table cache's functions.
_CLASSES = frozenset(__all__) - {"PanicException"}


def __getattr__(name: str) -> Any:
    # Everything is fetched on first use. The command line runs with this package
    # imported first, and a Ctrl-C while the extension loads must reach the
    # command's own handling, not print a traceback. PanicException is not an
    # attribute of the extension; a private function of it hands the type out.
    if name in _CLASSES:
        import _tamarind

        value = getattr(_tamarind, name)
    elif name == "PanicException":
        from _tamarind import _panic_exception

        value = _panic_exception()
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})
