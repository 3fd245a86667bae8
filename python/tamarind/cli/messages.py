"""What the command line says: digest lines on standard output, one-line
messages on standard error, and the errors that become those messages."""

from __future__ import annotations

import os
import sys

PROG = "tamarind"


class Fatal(Exception):
    """An error that ends the run: a bad command line, a hasher that cannot be
    built, a failing standard output. Its text is the whole message line."""


class InputError(Exception):
    """One input that could not be hashed. Reported; the run goes on with the next."""


class ReadError(InputError):
    """An input that could not be opened or read (for --check, `FAILED open or read`)."""


def escaped(name: str) -> bytes:
    """A name as output and messages show it: backslash, newline and carriage return
    escaped, so that every input still takes exactly one line."""
    return os.fsencode(name).replace(b"\\", b"\\\\").replace(b"\n", b"\\n").replace(b"\r", b"\\r")


def write_line(digest: bytes, name: str) -> None:
    shown = escaped(name)
    # sha256sum's convention: a leading backslash marks a line whose name is escaped.
    mark = b"\\" if shown != os.fsencode(name) else b""
    write_output(mark + digest.hex().encode("ascii") + b"  " + shown + b"\n")


def write_output(line: bytes) -> None:
    out = sys.stdout
    if out is None:  # descriptor 1 was closed when Python started
        raise Fatal(f"{PROG}: standard output is closed")
    try:
        buffer = getattr(out, "buffer", None)
        if buffer is None:  # a text-only replacement, as some embedding programs install
            out.write(os.fsdecode(line))
            out.flush()
        else:
            buffer.write(line)
            buffer.flush()  # each line as soon as it is known, in order with the messages
    except BrokenPipeError:
        raise
    except (OSError, ValueError) as exc:
        message = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        raise Fatal(f"{PROG}: standard output: {message}") from exc


def report(message: str) -> None:
    """One line on standard error. File names keep their original bytes."""
    err = sys.stderr
    if err is None:
        return  # nowhere to say it; the exit status still tells
    try:
        err.flush()
        buffer = getattr(err, "buffer", None)
        if buffer is None:
            err.write(message + "\n")
            err.flush()
        else:
            buffer.write(os.fsencode(message) + b"\n")
            buffer.flush()
    except (OSError, ValueError):
        pass


def discard_stdout() -> None:
    # Python flushes standard output once more at exit; after a failed write that
    # flush would fail as well and print a second message, so aim it at the null device.
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (OSError, AttributeError, ValueError):
        pass
