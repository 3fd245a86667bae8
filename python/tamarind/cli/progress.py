"""The progress bar shown on a terminal while a large input is streamed."""

from __future__ import annotations

import os
import sys
import time
from typing import Optional

from .messages import PROG, escaped

# A streamed input this large (its size when known, else the bytes done) gets a
# progress bar on standard error when that is a terminal; redrawn at most this often.
PROGRESS_FROM = 16 << 20
PROGRESS_INTERVAL = 0.1


def mebibytes(count: int) -> str:
    return f"{count / (1 << 20):.1f} MiB"


class Progress:
    """A one-line progress bar on standard error for a streamed input: drawn only
    on a terminal and once the input is known to be large, redrawn in place after
    a carriage return, and erased when the input is done or abandoned."""

    BAR = 30  # characters between the brackets

    def __init__(self, name: str, total: Optional[int]) -> None:
        self._name = os.fsdecode(escaped(name))
        self._total = total  # None when the size is not known (a pipe)
        self._shown = 0  # characters of the line on screen
        self._drawn_at = 0.0
        self._out = sys.stderr
        try:
            if self._out is not None and not self._out.isatty():
                self._out = None
        except (AttributeError, OSError, ValueError):
            self._out = None

    def __enter__(self) -> "Progress":
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._shown:
            self._write("\r" + " " * self._shown + "\r")

    def update(self, done: int) -> None:
        if self._out is None or (done if self._total is None else self._total) < PROGRESS_FROM:
            return
        now = time.monotonic()
        if self._shown and now - self._drawn_at < PROGRESS_INTERVAL:
            return
        self._drawn_at = now
        if self._total is None:
            line = f"{PROG}: {mebibytes(done)}  {self._name}"
        else:
            fraction = min(1.0, done / self._total)
            filled = int(self.BAR * fraction)
            line = (
                f"{PROG}: [{'#' * filled}{'.' * (self.BAR - filled)}] {fraction:4.0%}  "
                f"{mebibytes(done)} of {mebibytes(self._total)}  {self._name}"
            )
        # The name comes last, so that a narrow terminal cuts only the name; the
        # last column is left free, as writing there wraps on some terminals.
        line = line[: self._columns() - 1]
        previous, self._shown = self._shown, max(self._shown, len(line))  # first: Ctrl-C may end the write
        self._write("\r" + line + " " * max(0, previous - len(line)))

    def _columns(self) -> int:
        try:
            columns = os.get_terminal_size(self._out.fileno()).columns if self._out is not None else 0
        except (AttributeError, OSError, ValueError):
            columns = 0
        return columns or 80  # a terminal that does not say (0) is taken as the common width

    def _write(self, text: str) -> None:
        if self._out is None:
            return
        try:
            self._out.write(text)
            self._out.flush()
        except (OSError, ValueError):
            self._out = None  # a terminal that went away takes no more bars
