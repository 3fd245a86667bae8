"""Internal faults of the `_tamarind` extension, seen from Python.

A fault inside the extension (a configurable hasher given more input than it
has generators for, a size too large to allocate) surfaces as
`PanicException`, which derives from `BaseException` so that a plain
`except Exception` does not swallow it. The type is not an attribute of the
extension; its private `_panic_exception()` hands it out. The extension also
writes a report of each fault to file descriptor 2, which the helpers here
keep off the terminal when the caller turns the fault into its own message.
"""

from __future__ import annotations

import os
import sys

from _tamarind import _panic_exception


def is_panic(exc: BaseException) -> bool:
    """True when `exc` is the extension's PanicException (or derives from it)."""
    return isinstance(exc, _panic_exception())


class NativeReportSilencer:
    """Points file descriptor 2 at the null device while a call into the extension runs.

    The fault report is written below Python's `sys.stderr`, so only swapping
    the descriptor hides it. Both descriptors are opened once, so each use
    costs two dup2 calls. Python-level text already buffered is flushed first
    so that none of it is lost. If descriptor 2 cannot be duplicated (it may be
    closed), uses change nothing.
    """

    def __init__(self) -> None:
        self._saved = -1
        self._null = -1
        try:
            self._saved = os.dup(2)
            self._null = os.open(os.devnull, os.O_WRONLY)
        except OSError:
            self.close()

    def __enter__(self) -> None:
        if self._null >= 0:
            try:
                sys.stderr.flush()
            except (AttributeError, OSError, ValueError):
                pass
            os.dup2(self._null, 2)

    def __exit__(self, *exc_info: object) -> None:
        if self._null >= 0:
            os.dup2(self._saved, 2)

    def close(self) -> None:
        for fd in (self._saved, self._null):
            if fd >= 0:
                os.close(fd)
        self._saved = self._null = -1
