"""Reading the inputs: hex arguments, files and standard input, a block at a time."""

from __future__ import annotations

import argparse
import contextlib
import os
import stat
import sys
from typing import BinaryIO, ContextManager, Iterator, List, Optional, Tuple, Union

from .messages import ReadError

STDIN_NAME = "-"
# Inputs of at least this many bytes are streamed, a block per read and per update.
STREAM_BLOCK = 1 << 20


def read_size(capacity: Optional[int], done: int) -> int:
    """How much to read after `done` bytes: a block, but never more than one
    byte past the capacity, which is enough to refuse the input."""
    if capacity is None:
        return STREAM_BLOCK
    return max(1, min(STREAM_BLOCK, capacity + 1 - done))


def read_block(stream: BinaryIO, size: int) -> bytes:
    """`size` bytes of `stream`, fewer only at its end."""
    parts: List[bytes] = []
    remaining = size
    try:
        while remaining > 0:
            part = stream.read(min(remaining, STREAM_BLOCK))  # a file's read(n) allocates all n at once
            if not part:
                break
            parts.append(part)
            remaining -= len(part)
    except OSError as exc:
        raise ReadError(exc.strerror or str(exc)) from None
    except MemoryError:
        raise ReadError("out of memory") from None
    return parts[0] if len(parts) == 1 else b"".join(parts)


def open_input(name: str) -> ContextManager[BinaryIO]:
    """The file, or standard input (left open when done)."""
    if name == STDIN_NAME:
        if sys.stdin is None:  # descriptor 0 was closed when Python started
            raise ReadError("standard input is closed")
        return contextlib.nullcontext(sys.stdin.buffer)
    try:
        return open(name, "rb")
    except OSError as exc:
        raise ReadError(exc.strerror or str(exc)) from None


def known_size(stream: BinaryIO) -> Optional[int]:
    """The size of a regular file; None for pipes, terminals and the like."""
    try:
        status = os.fstat(stream.fileno())
    except (OSError, ValueError, AttributeError):
        return None
    return status.st_size if stat.S_ISREG(status.st_mode) else None


def inputs(args: argparse.Namespace) -> Iterator[Tuple[str, Union[bytes, str]]]:
    """(name, source) per input, in command-line order: hex inputs are their
    bytes, files and standard input their names."""
    if args.hex:
        for item in args.hex:
            yield item.text, item.data
        return
    for name in args.files or [STDIN_NAME]:
        yield name, name
