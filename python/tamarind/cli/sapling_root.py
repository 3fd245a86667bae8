"""`tamarind sapling-root`: the root and size of a Sapling tree state, as
zcashd's `z_gettreestate` answers it (or a bare `finalState` hex), and with
--check whether the answer's `finalRoot` is that root."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any, Optional, Tuple

from ..exit_status import EXIT_CHECK_FAILED, EXIT_OK
from ..sapling import CommitmentTree
from .messages import PROG, Fatal, report
from .reading import STDIN_NAME

NAME = f"{PROG} sapling-root"


def read_text(file: Optional[str]) -> str:
    try:
        if file is None or file == STDIN_NAME:
            return sys.stdin.buffer.read().decode("utf-8")
        with open(file, "rb") as f:
            return f.read().decode("utf-8")
    except OSError as exc:
        raise Fatal(f"{NAME}: {file}: {exc.strerror or exc}") from exc
    except UnicodeDecodeError as exc:
        raise Fatal(f"{NAME}: {file or STDIN_NAME}: not UTF-8 text") from exc


def tree_state(text: str) -> Tuple[str, Optional[str]]:
    """The finalState hex and the finalRoot (None for a bare finalState)."""
    text = text.strip()
    if not text.startswith("{"):
        return text, None
    try:
        answer: Any = json.loads(text)
    except json.JSONDecodeError as exc:
        raise Fatal(f"{NAME}: not a z_gettreestate answer: {exc}") from exc
    commitments = answer.get("sapling", {}).get("commitments") if isinstance(answer, dict) else None
    if not isinstance(commitments, dict):
        raise Fatal(f"{NAME}: not a z_gettreestate answer: no sapling.commitments")
    state, root = commitments.get("finalState"), commitments.get("finalRoot")
    if state is None:
        height = answer.get("height", "?")
        raise Fatal(f"{NAME}: the answer for height {height} has no Sapling finalState (before Sapling's first note)")
    if not isinstance(state, str) or not (root is None or isinstance(root, str)):
        raise Fatal(f"{NAME}: not a z_gettreestate answer: finalState and finalRoot must be strings")
    return state, root


def run(args: argparse.Namespace) -> int:
    state, expected = tree_state(read_text(args.file))
    try:
        data = bytes.fromhex(state)
    except ValueError as exc:
        raise Fatal(f"{NAME}: finalState is not hex: {exc}") from exc
    try:
        tree = CommitmentTree.from_bytes(data)
    except ValueError as exc:
        raise Fatal(f"{NAME}: {exc}") from exc
    # The chain's tree is public: variable time is safe.
    root = tree.root(vartime=True)[::-1].hex()  # as zcash-cli shows roots
    print(f"{root}  {tree.size}", flush=True)
    if not args.check:
        return EXIT_OK
    if expected is None:
        raise Fatal(f"{NAME}: --check needs a z_gettreestate answer with a finalRoot, not a bare finalState")
    if expected.lower() != root:
        report(f"{NAME}: the root is {root}, but finalRoot is {expected}")
        return EXIT_CHECK_FAILED
    return EXIT_OK
