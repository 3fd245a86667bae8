"""The command line's exit statuses. A module of its own, importing nothing, so
that `python -m tamarind` has the status for Ctrl-C before it loads the rest."""

EXIT_OK = 0
EXIT_CHECK_FAILED = 1  # sha256sum -c's status when a listed input fails
EXIT_FAILURE = 2
EXIT_INTERRUPTED = 130  # what a shell reports for a command ended by Ctrl-C
