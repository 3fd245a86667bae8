"""`python -m tamarind` and the `tamarind` console script."""

from __future__ import annotations

import sys
from collections.abc import Sequence

from .exit_status import EXIT_INTERRUPTED

__all__ = ["main"]


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with `argv` (default: sys.argv[1:]); returns the exit status."""
    # Loading the extension and the command line takes a noticeable moment, so
    # Ctrl-C is caught from before the first heavy import: status 130, no traceback.
    try:
        from .cli import main as run

        return run(argv)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
