"""The `tamarind` command: digests in the manner of sha256sum, computed with one
of the four Pedersen hashers.

    tamarind circom [FILE...]
    tamarind zcash [--personalization P] [FILE...]
    tamarind babyjubjub SEGMENTS BITS_PER_WINDOW [FILE...]
    tamarind bowe-hopwood SEGMENTS CHUNKS_PER_SEGMENT [FILE...]
    tamarind COMMAND [ARGS] --check LIST
    tamarind sapling-root [--check] [FILE]

Each input gives one line, `<64 hex digits>  <name>`. One hasher instance
serves the whole run, so the caching hashers derive their base points once.
Small inputs are hashed together, a group at a time, by `hash_many`; large
ones and standard input are streamed through an incremental hash in blocks,
so memory does not grow with the input, with a progress bar on a terminal.
Every error is one line on standard error; the exit status is 0 when every
input was hashed and 2 otherwise, 130 after Ctrl-C. --check reads such lines
back and verifies them as `sha256sum -c` does: exit status 1 when any input
failed.

The modules, in the order a run meets them: `arguments` (the grammar and its
messages), `hashers` (the chosen hasher and its capacity), `reading` (inputs,
a block at a time), `grouping` (hash_many groups and streamed inputs),
`progress` (the bar on a terminal), `check` (--check), `messages` (output).
"""

from __future__ import annotations

import os
from typing import Optional, Sequence

from ..exit_status import EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_OK
from ..faults import NativeReportSilencer
from . import sapling_root
from .arguments import parse
from .check import verify
from .grouping import digests
from .hashers import Hasher, choose
from .messages import PROG, Fatal, InputError, discard_stdout, escaped, report, write_line
from .reading import inputs

__all__ = ["main"]


def run(argv: Optional[Sequence[str]]) -> int:
    args = parse(argv)
    if args.command == "sapling-root":
        return sapling_root.run(args)
    choice = choose(args)
    silencer = NativeReportSilencer()
    try:
        hasher = Hasher(choice, silencer, args.bits)
        if args.check is not None:
            return verify(args.check, hasher)
        status = EXIT_OK
        for name, result in digests(hasher, inputs(args)):
            if isinstance(result, InputError):
                report(f"{PROG}: {os.fsdecode(escaped(name))}: {result}")
                status = EXIT_FAILURE
            else:
                write_line(result, name)
        return status
    finally:
        silencer.close()


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line with `argv` (default: sys.argv[1:]); returns the exit status."""
    try:
        return run(argv)
    except Fatal as exc:
        if isinstance(exc.__cause__, OSError):
            discard_stdout()
        report(str(exc))
        return EXIT_FAILURE
    except BrokenPipeError:
        # The reader went away (`tamarind ... | head -1`): there is no one left to tell.
        discard_stdout()
        return EXIT_FAILURE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except SystemExit as exc:  # --help and --version end through argparse's exit
        return exc.code if isinstance(exc.code, int) else EXIT_OK
