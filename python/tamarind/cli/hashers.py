"""The hasher a command asks for, and the one instance that serves the whole run."""

from __future__ import annotations

import argparse
from functools import partial
from typing import BinaryIO, Callable, Iterable, List, NamedTuple, Optional, Protocol, TypeVar, Union

from _tamarind import BabyJubjubPedersen, CircomPedersen, JubjubBoweHopwood, ZcashPedersen

from ..faults import NativeReportSilencer, is_panic
from .messages import PROG, Fatal, InputError
from .progress import Progress
from .reading import read_block, read_size

T = TypeVar("T")


class SupportsIncremental(Protocol):
    def update(self, data: bytes) -> None: ...

    def digest(self) -> bytes: ...


class SupportsHash(Protocol):
    def hash(self, data: bytes) -> bytes: ...

    def hash_many(self, items: Iterable[bytes], threads: Optional[int] = ...) -> List[bytes]: ...

    def incremental(self, data: bytes = ...) -> SupportsIncremental: ...


class Choice(NamedTuple):
    """The hasher a command asks for, before it is built."""

    build: Callable[[], SupportsHash]
    description: str  # how messages name it, e.g. BabyJubjubPedersen(4, 64)
    capacity: Optional[int]  # most input bytes it accepts; None when unbounded


def babyjubjub_capacity(segments: int, bits_per_window: int) -> int:
    """Most input bytes a BabyJubjubPedersen accepts: it has one generator per input bit."""
    return segments * bits_per_window // 8


def bowe_hopwood_capacity(segments: int, chunks_per_segment: int) -> int:
    """Most input bytes a JubjubBoweHopwood accepts.

    n bytes form ceil(8n / 3) chunks of 3 bits and each chunk needs a generator,
    so n fits exactly when 8n <= 3 * segments * chunks_per_segment.
    """
    return 3 * segments * chunks_per_segment // 8


def choose(args: argparse.Namespace) -> Choice:
    """The hasher the parsed command line names."""
    if args.command == "circom":
        return Choice(CircomPedersen, "CircomPedersen()", None)
    if args.command == "zcash":
        personalization: Optional[bytes] = args.personalization
        if personalization is None:
            return Choice(ZcashPedersen, "ZcashPedersen()", None)
        return Choice(partial(ZcashPedersen, personalization), f"ZcashPedersen({personalization!r})", None)
    if args.command == "babyjubjub":
        s, w = args.segments, args.bits_per_window
        return Choice(partial(BabyJubjubPedersen, s, w), f"BabyJubjubPedersen({s}, {w})", babyjubjub_capacity(s, w))
    s, c = args.segments, args.chunks_per_segment
    return Choice(partial(JubjubBoweHopwood, s, c), f"JubjubBoweHopwood({s}, {c})", bowe_hopwood_capacity(s, c))


def panic_message(exc: BaseException) -> str:
    return str(exc.args[0]) if exc.args else type(exc).__name__


class Hasher:
    """The hasher chosen on the command line, built once for the whole run.

    The extension reports each internal fault on descriptor 2 before raising
    PanicException; the report is silenced around every call, since our own
    one-line message replaces it.
    """

    def __init__(self, choice: Choice, silencer: NativeReportSilencer) -> None:
        self.description = choice.description
        self.capacity = choice.capacity
        self._silencer = silencer
        try:
            # Sizes whose tables cannot even be counted fault ("capacity overflow").
            with silencer:
                self._instance = choice.build()
        except MemoryError:
            raise Fatal(f"{PROG}: cannot build {self.description}: out of memory") from None
        except BaseException as exc:
            if not is_panic(exc):
                raise
            raise Fatal(f"{PROG}: cannot build {self.description}: {panic_message(exc)}") from None

    def refuse_over_capacity(self, size: int) -> None:
        # Checked before any call: the extension would fault with PanicException instead.
        if self.capacity is not None and size > self.capacity:
            fit = "1 byte fits" if self.capacity == 1 else f"{self.capacity} bytes fit"
            raise InputError(f"input too long for {self.description}: at most {fit}")

    def _call(self, call: Callable[..., T], *args: object) -> T:
        # KeyboardInterrupt, raised by the extension inside long calls, passes through untouched.
        try:
            with self._silencer:
                return call(*args)
        except MemoryError:
            raise InputError("out of memory") from None
        except BaseException as exc:
            if not is_panic(exc):
                raise
            raise InputError(f"internal fault: {panic_message(exc)}") from None

    def digest(self, data: bytes) -> bytes:
        self.refuse_over_capacity(len(data))
        return self._call(self._instance.hash, data)

    def digest_many(self, items: List[bytes]) -> List[Union[bytes, InputError]]:
        """The digest of each item (each within the capacity), in one hash_many call."""
        if not items:
            return []
        try:
            return list(self._call(self._instance.hash_many, items))
        except InputError:
            # The call fails as a whole; one at a time, the fault is pinned on its input.
            results: List[Union[bytes, InputError]] = []
            for data in items:
                try:
                    results.append(self.digest(data))
                except InputError as exc:
                    results.append(exc)
            return results

    def digest_stream(self, stream: BinaryIO, head: bytes, progress: Progress) -> bytes:
        """The digest of `head` and the rest of `stream`, read and hashed a block at
        a time. Each block is measured against the capacity before it is hashed."""
        state = self._call(self._instance.incremental)
        done, block = 0, head
        while block:
            self.refuse_over_capacity(done + len(block))
            self._call(state.update, block)
            done += len(block)
            progress.update(done)
            block = read_block(stream, read_size(self.capacity, done))
        return self._call(state.digest)
