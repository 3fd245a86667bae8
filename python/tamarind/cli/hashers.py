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
    @property
    def capacity(self) -> Optional[int]: ...

    @property
    def capacity_bits(self) -> Optional[int]: ...

    def hash(self, data: bytes) -> bytes: ...

    def hash_bits(self, data: bytes, bit_length: int) -> bytes: ...

    def hash_many(
        self, items: Iterable[bytes], threads: Optional[int] = ..., bit_length: Optional[int] = ...
    ) -> List[bytes]: ...

    def incremental(self, data: bytes = ...) -> SupportsIncremental: ...


class Choice(NamedTuple):
    """The hasher a command asks for, before it is built."""

    build: Callable[[], SupportsHash]
    description: str  # how messages name it, e.g. BabyJubjubPedersen(4, 64)


def choose(args: argparse.Namespace) -> Choice:
    """The hasher the parsed command line names."""
    if args.command == "circom":
        return Choice(CircomPedersen, "CircomPedersen()")
    if args.command == "zcash":
        personalization: Optional[bytes] = args.personalization
        if personalization is None:
            return Choice(ZcashPedersen, "ZcashPedersen()")
        return Choice(partial(ZcashPedersen, personalization), f"ZcashPedersen({personalization!r})")
    if args.command == "babyjubjub":
        s, w = args.segments, args.bits_per_window
        return Choice(partial(BabyJubjubPedersen, s, w), f"BabyJubjubPedersen({s}, {w})")
    s, c = args.segments, args.chunks_per_segment
    return Choice(partial(JubjubBoweHopwood, s, c), f"JubjubBoweHopwood({s}, {c})")


def plural(count: int, singular: str, many: str) -> str:
    return f"{count} {singular if count == 1 else many}"


def panic_message(exc: BaseException) -> str:
    return str(exc.args[0]) if exc.args else type(exc).__name__


class Hasher:
    """The hasher chosen on the command line, built once for the whole run.

    The extension reports each internal fault on descriptor 2 before raising
    PanicException; the report is silenced around every call, since our own
    one-line message replaces it.
    """

    def __init__(self, choice: Choice, silencer: NativeReportSilencer, bits: Optional[int] = None) -> None:
        self.description = choice.description
        self.bits = bits  # --bits: each input's first `bits` bits are hashed, and nothing else
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
        self.capacity = self._instance.capacity  # in bytes; None when any length fits
        capacity_bits = self._instance.capacity_bits
        if bits is not None and capacity_bits is not None and bits > capacity_bits:
            raise Fatal(
                f"{PROG}: --bits {bits} is too many for {self.description}: "
                f"at most {plural(capacity_bits, 'bit fits', 'bits fit')}"
            )

    @property
    def first_read(self) -> int:
        """How much of an input to read first: with --bits, all that is hashed."""
        return read_size(self.capacity, 0) if self.bits is None else -(-self.bits // 8)

    def fit(self, data: bytes) -> bytes:
        """What is hashed of a whole input: all of it, within the capacity, or with
        --bits its first bits (the rest of the last byte cleared, as hash_bits wants).
        Checked before any call: the extension would fault with PanicException instead."""
        if self.bits is None:
            self.refuse_over_capacity(len(data))
            return data
        if 8 * len(data) < self.bits:
            raise InputError(f"input too short for --bits {self.bits}: {plural(8 * len(data), 'bit', 'bits')}")
        data = data[: self.first_read]
        spare = -self.bits % 8
        return data[:-1] + bytes([data[-1] & (0xFF >> spare)]) if spare else data

    def refuse_over_capacity(self, size: int) -> None:
        if self.capacity is not None and size > self.capacity:
            raise InputError(
                f"input too long for {self.description}: at most {plural(self.capacity, 'byte fits', 'bytes fit')}"
            )

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
        """The digest of an input that `fit` returned."""
        if self.bits is None:
            return self._call(self._instance.hash, data)
        return self._call(self._instance.hash_bits, data, self.bits)

    def digest_many(self, items: List[bytes]) -> List[Union[bytes, InputError]]:
        """The digest of each item (each as `fit` returned it), in one hash_many call."""
        if not items:
            return []
        try:
            if self.bits is None:
                return list(self._call(self._instance.hash_many, items))
            return list(self._call(partial(self._instance.hash_many, bit_length=self.bits), items))
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
