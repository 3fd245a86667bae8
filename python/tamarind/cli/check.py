"""--check: reading back lines of digests and verifying them, as `sha256sum -c` does."""

from __future__ import annotations

import os
import re
import sys
from typing import Iterator, List, NamedTuple, Optional, Tuple, Union

from ..exit_status import EXIT_CHECK_FAILED, EXIT_OK
from .grouping import digests
from .hashers import Hasher, plural
from .messages import PROG, Fatal, InputError, ReadError, escaped, report, write_output
from .reading import STDIN_NAME

# A listed digest as sha256sum -c reads it: an optional backslash (the name is
# escaped), the digest, a space, then a space (text) or "*" (binary), the name.
_LISTED = re.compile(rb"(\\?)([0-9A-Fa-f]{64}) [ *](.+)", re.DOTALL)
_UNESCAPE = {b"\\": b"\\", b"n": b"\n", b"r": b"\r"}


def unescaped(name: bytes) -> Optional[bytes]:
    """The name an escaped line stands for; None when an escape is not one we write."""
    parts, i = [], 0
    while i < len(name):
        if name[i : i + 1] == b"\\":
            replacement = _UNESCAPE.get(name[i + 1 : i + 2])
            if replacement is None:
                return None
            parts.append(replacement)
            i += 2
        else:
            parts.append(name[i : i + 1])
            i += 1
    return b"".join(parts)


def read_listing(name: str) -> List[bytes]:
    try:
        if name == STDIN_NAME:
            if sys.stdin is None:
                raise Fatal(f"{PROG}: standard input is closed")
            data = sys.stdin.buffer.read()
        else:
            with open(name, "rb") as stream:
                data = stream.read()
    except OSError as exc:
        raise Fatal(f"{PROG}: {os.fsdecode(escaped(name))}: {exc.strerror or exc}") from None
    return data.splitlines()


class _Listed(NamedTuple):
    mark: bytes  # a backslash when the name is shown escaped
    shown: bytes  # the name as output shows it
    digest: str  # as listed, in lower case


def verify(listing_name: str, hasher: Hasher) -> int:
    """Checks each listed digest; one `NAME: OK` or `NAME: FAILED` line per entry,
    warnings on standard error, status 1 when anything failed."""
    shown_listing = os.fsdecode(escaped(listing_name))
    malformed = mismatched = unreadable = checked = 0

    def entries() -> Iterator[Tuple[_Listed, Union[bytes, str]]]:
        nonlocal malformed, checked
        for line in read_listing(listing_name):
            if not line.strip():
                continue
            match = _LISTED.fullmatch(line)
            raw_name = match and (unescaped(match.group(3)) if match.group(1) else match.group(3))
            if not match or not raw_name:
                malformed += 1
                continue
            checked += 1
            name = os.fsdecode(raw_name)
            shown = escaped(name)
            mark = b"\\" if shown != raw_name else b""
            yield _Listed(mark, shown, match.group(2).decode("ascii").lower()), name

    for listed, result in digests(hasher, entries()):
        if isinstance(result, InputError):
            report(f"{PROG}: {os.fsdecode(listed.shown)}: {result}")
            failed = b": FAILED open or read\n" if isinstance(result, ReadError) else b": FAILED\n"
            write_output(listed.mark + listed.shown + failed)
            unreadable += 1
            continue
        matched = result.hex() == listed.digest
        write_output(listed.mark + listed.shown + (b": OK\n" if matched else b": FAILED\n"))
        mismatched += not matched
    if checked == 0:
        report(f"{PROG}: {shown_listing}: no properly formatted digest lines found")
        return EXIT_CHECK_FAILED
    if malformed:
        report(f"{PROG}: WARNING: {plural(malformed, 'line is', 'lines are')} improperly formatted")
    if unreadable:
        report(f"{PROG}: WARNING: {plural(unreadable, 'listed input', 'listed inputs')} could not be hashed")
    if mismatched:
        report(f"{PROG}: WARNING: {plural(mismatched, 'computed digest', 'computed digests')} did NOT match")
    return EXIT_CHECK_FAILED if unreadable or mismatched else EXIT_OK
