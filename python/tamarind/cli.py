"""The `tamarind` command: digests in the manner of sha256sum, computed with one
of the four Pedersen hashers.

    tamarind circom [FILE...]
    tamarind zcash [--personalization P] [FILE...]
    tamarind babyjubjub SEGMENTS BITS_PER_WINDOW [FILE...]
    tamarind bowe-hopwood SEGMENTS CHUNKS_PER_SEGMENT [FILE...]
    tamarind COMMAND [ARGS] --check LIST

Each input gives one line, `<64 hex digits>  <name>`. One hasher instance
serves the whole run, so the caching hashers derive their base points once.
Small inputs are hashed together, a group at a time, by `hash_many`; large
ones and standard input are streamed through an incremental hash in blocks,
so memory does not grow with the input, with a progress bar on a terminal.
Every error is one line on standard error; the exit status is 0 when every
input was hashed and 2 otherwise, 130 after Ctrl-C. --check reads such lines
back and verifies them as `sha256sum -c` does: exit status 1 when any input
failed.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import stat
import sys
import time
from functools import partial
from typing import (
    BinaryIO,
    Callable,
    ContextManager,
    Generic,
    Iterable,
    Iterator,
    List,
    NamedTuple,
    NoReturn,
    Optional,
    Protocol,
    Sequence,
    Tuple,
    TypeVar,
    Union,
)

from _tamarind import BabyJubjubPedersen, CircomPedersen, JubjubBoweHopwood, ZcashPedersen

from .faults import NativeReportSilencer, is_panic

PROG = "tamarind"
EXIT_OK = 0
EXIT_FAILURE = 2
EXIT_CHECK_FAILED = 1  # sha256sum -c's status when a listed input fails
EXIT_INTERRUPTED = 130  # what a shell reports for a command ended by Ctrl-C
U64_MAX = 2**64 - 1
STDIN_NAME = "-"
# Inputs of at least this many bytes are streamed, a block per read and per update.
STREAM_BLOCK = 1 << 20
# Bounds of one hash_many call: few enough inputs that output keeps coming, few
# enough bytes that memory stays small. An input shorter than a block may take
# the bytes one block past the bound.
GROUP_ITEMS = 256
GROUP_BYTES = 4 << 20
# A streamed input this large (its size when known, else the bytes done) gets a
# progress bar on standard error when that is a terminal; redrawn at most this often.
PROGRESS_FROM = 16 << 20
PROGRESS_INTERVAL = 0.1

T = TypeVar("T")
Tag = TypeVar("Tag")


class Fatal(Exception):
    """An error that ends the run: a bad command line, a hasher that cannot be
    built, a failing standard output. Its text is the whole message line."""


class InputError(Exception):
    """One input that could not be hashed. Reported; the run goes on with the next."""


class ReadError(InputError):
    """An input that could not be opened or read (for --check, `FAILED open or read`)."""


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


class HexInput(NamedTuple):
    text: str  # as given: it is the input's name in the output
    data: bytes


def babyjubjub_capacity(segments: int, bits_per_window: int) -> int:
    """Most input bytes a BabyJubjubPedersen accepts: it has one generator per input bit."""
    return segments * bits_per_window // 8


def bowe_hopwood_capacity(segments: int, chunks_per_segment: int) -> int:
    """Most input bytes a JubjubBoweHopwood accepts.

    n bytes form ceil(8n / 3) chunks of 3 bits and each chunk needs a generator,
    so n fits exactly when 8n <= 3 * segments * chunks_per_segment.
    """
    return 3 * segments * chunks_per_segment // 8


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

    def read_size(self, done: int) -> int:
        """How much to read after `done` bytes: a block, but never more than one
        byte past the capacity, which is enough to refuse the input."""
        if self.capacity is None:
            return STREAM_BLOCK
        return max(1, min(STREAM_BLOCK, self.capacity + 1 - done))

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

    def digest_stream(self, stream: BinaryIO, head: bytes, progress: "Progress") -> bytes:
        """The digest of `head` and the rest of `stream`, read and hashed a block at
        a time. Each block is measured against the capacity before it is hashed."""
        state = self._call(self._instance.incremental)
        done, block = 0, head
        while block:
            self.refuse_over_capacity(done + len(block))
            self._call(state.update, block)
            done += len(block)
            progress.update(done)
            block = read_block(stream, self.read_size(done))
        return self._call(state.digest)


# --- command-line values -----------------------------------------------------

_DIGITS = re.compile(r"[0-9]+")
_HEX = re.compile(r"(?:[0-9A-Fa-f]{2})*")
_NOT_HEX = re.compile(r"[^0-9A-Fa-f]")


def size_argument(text: str) -> int:
    """A size: a decimal whole number the extension can take (below 2**64)."""
    digits = text.lstrip("0") or "0"
    # The length test comes first so that an absurdly long number is never converted.
    if not _DIGITS.fullmatch(text) or len(digits) > len(str(U64_MAX)) or int(digits) > U64_MAX:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number from 0 to {U64_MAX}")
    return int(digits)


def hex_argument(text: str) -> HexInput:
    bad = _NOT_HEX.search(text)
    if bad:
        raise argparse.ArgumentTypeError(f"{text!r} is not hex: {bad.group()!r} is not a hex digit (0-9, a-f, A-F)")
    if len(text) % 2:
        raise argparse.ArgumentTypeError(f"{text!r} has an odd number of hex digits: each byte takes two")
    return HexInput(text, bytes.fromhex(text))


def personalization_argument(text: str) -> bytes:
    """8 ASCII characters stand for themselves, 16 hex digits for the 8 bytes they
    spell. The length alone decides, so no text is ambiguous."""
    if len(text) == 16:
        if _HEX.fullmatch(text):
            return bytes.fromhex(text)
        raise argparse.ArgumentTypeError(f"{text!r} has 16 characters, but not all are hex digits")
    if len(text) == 8:
        if text.isascii():
            return text.encode("ascii")
        raise argparse.ArgumentTypeError(f"{text!r} has 8 characters, but not all are ASCII")
    raise argparse.ArgumentTypeError(f"{text!r} is neither 8 ASCII characters nor 16 hex digits")


class _Parser(argparse.ArgumentParser):
    # argparse would print the usage and then the error; one line is the rule here.
    def error(self, message: str) -> NoReturn:
        raise Fatal(f"{self.prog}: {message}")


class _VersionAction(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: object) -> None:
        super().__init__(option_strings, dest=argparse.SUPPRESS, nargs=0, help="print the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, *args: object, **kwargs: object) -> NoReturn:
        from . import __version__

        sys.stdout.write(f"{parser.prog} {__version__}\n")
        parser.exit()


def _choose_circom(args: argparse.Namespace) -> Choice:
    return Choice(CircomPedersen, "CircomPedersen()", None)


def _choose_zcash(args: argparse.Namespace) -> Choice:
    personalization: Optional[bytes] = args.personalization
    if personalization is None:
        return Choice(ZcashPedersen, "ZcashPedersen()", None)
    return Choice(partial(ZcashPedersen, personalization), f"ZcashPedersen({personalization!r})", None)


def _choose_babyjubjub(args: argparse.Namespace) -> Choice:
    s, w = args.segments, args.bits_per_window
    return Choice(partial(BabyJubjubPedersen, s, w), f"BabyJubjubPedersen({s}, {w})", babyjubjub_capacity(s, w))


def _choose_bowe_hopwood(args: argparse.Namespace) -> Choice:
    s, c = args.segments, args.chunks_per_segment
    return Choice(partial(JubjubBoweHopwood, s, c), f"JubjubBoweHopwood({s}, {c})", bowe_hopwood_capacity(s, c))


def _add_sources(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "-c",
        "--check",
        metavar="LIST",
        help="verify the digests in LIST (lines of '<digest>  <name>', as this command prints them; "
        f"{STDIN_NAME} reads standard input): one 'NAME: OK' or 'NAME: FAILED' line each",
    )
    command.add_argument(
        "--hex",
        metavar="HEX",
        type=hex_argument,
        action="append",
        help="hash the bytes these hex digits spell instead of files; may be repeated, and HEX is the name printed",
    )
    # With a default, argparse does not list FILE as missing when a size is.
    command.add_argument(
        "files",
        metavar="FILE",
        nargs="*",
        default=[],
        help=f"file to hash; none, or {STDIN_NAME}, reads standard input",
    )


EXAMPLES = f"""\
examples:
  {PROG} zcash abc.txt                       Zcash Sapling hash of a file
  printf abc | {PROG} circom                 circom hash of standard input
  {PROG} zcash --personalization Tamarind --hex 616263
  {PROG} babyjubjub 4 64 a.bin b.bin         4 segments of 64-bit windows, two files
  {PROG} bowe-hopwood 4 63 --hex 00ff
  {PROG} zcash *.bin > sums.txt && {PROG} zcash --check sums.txt

Options of a command go after it: {PROG} COMMAND --help lists them.
Exit status: 0 when every input was hashed (or, with --check, matched), 1 when
--check found a mismatch or an input it could not hash, 130 after Ctrl-C, 2
after any other error (one line on standard error each).
"""


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Print Pedersen hashes of files, standard input or hex strings, one line per input: "
        "64 lowercase hex digits, two spaces, the input's name.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action=_VersionAction)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", title="hashers", required=True)

    circom = commands.add_parser(
        "circom",
        help="circom / iden3 Pedersen hash over Baby Jubjub (any length)",
        description="circom / iden3 Pedersen hash over Baby Jubjub, byte-identical to circomlibjs pedersenHash: "
        "the 32-byte packed point. Any input length.",
    )
    circom.set_defaults(choose=_choose_circom)

    zcash = commands.add_parser(
        "zcash",
        help="Zcash Sapling Pedersen hash over Jubjub (any length)",
        description="Zcash Sapling Pedersen hash over Jubjub: the u-coordinate as 32 little-endian bytes. "
        "Any input length.",
    )
    zcash.add_argument(
        "--personalization",
        metavar="P",
        type=personalization_argument,
        help="8 ASCII characters, or 16 hex digits for any 8 bytes (default: Zcash_PH)",
    )
    zcash.set_defaults(choose=_choose_zcash)

    baby = commands.add_parser(
        "babyjubjub",
        help="unsigned-window Pedersen hash over Baby Jubjub (arkworks pedersen::CRH)",
        description="Unsigned-window Pedersen hash over ERC-2494 Baby Jubjub (arkworks pedersen::CRH "
        "construction): the compressed point. Inputs of at most floor(SEGMENTS * BITS_PER_WINDOW / 8) bytes.",
    )
    baby.add_argument("segments", metavar="SEGMENTS", type=size_argument, help="number of segments")
    baby.add_argument("bits_per_window", metavar="BITS_PER_WINDOW", type=size_argument, help="input bits per segment")
    baby.set_defaults(choose=_choose_babyjubjub)

    bowe = commands.add_parser(
        "bowe-hopwood",
        help="Bowe-Hopwood Pedersen hash over Jubjub (arkworks bowe_hopwood::CRH)",
        description="Bowe-Hopwood Pedersen hash over Jubjub (arkworks bowe_hopwood::CRH construction): "
        "the x-coordinate as 32 little-endian bytes. Inputs of n bytes with "
        "ceil(8n / 3) <= SEGMENTS * CHUNKS_PER_SEGMENT.",
    )
    bowe.add_argument("segments", metavar="SEGMENTS", type=size_argument, help="number of segments")
    bowe.add_argument(
        "chunks_per_segment", metavar="CHUNKS_PER_SEGMENT", type=size_argument, help="3-bit chunks per segment"
    )
    bowe.set_defaults(choose=_choose_bowe_hopwood)

    for command in (circom, zcash, baby, bowe):
        _add_sources(command)
    return parser


def command_options(parser: argparse.ArgumentParser) -> dict[str, list[str]]:
    """For each option string a command accepts, the commands that accept it."""
    takers: dict[str, list[str]] = {}
    for action in parser._actions:  # argparse keeps its subcommands only here
        if isinstance(action, argparse._SubParsersAction):
            for name, command in action.choices.items():
                for option in command._option_string_actions:
                    if option not in ("-h", "--help"):
                        takers.setdefault(option, []).append(name)
    return takers


def check_leading_options(parser: argparse.ArgumentParser, argv: Sequence[str]) -> None:
    """Refuses, naming it, an option given before the command.

    argparse would report only the missing command; an option that belongs to
    a command gets a hint to move it after that command."""
    own = {option for action in parser._actions for option in action.option_strings}
    takers = command_options(parser)
    for arg in argv:
        if arg == "--" or arg == STDIN_NAME or not arg.startswith("-"):
            return  # the command (or a positional): argparse takes it from here
        name = arg.split("=", 1)[0] if arg.startswith("--") else arg[:2]
        # argparse accepts unambiguous prefixes of long options (--vers).
        if name in own or (
            name.startswith("--") and len(name) > 2 and len([o for o in own if o.startswith(name)]) == 1
        ):
            continue
        if name not in takers and name.startswith("--"):
            # An abbreviation, as argparse allows after the command.
            full = [option for option in takers if option.startswith(name)]
            name = full[0] if len(full) == 1 else name
        commands = takers.get(name, [])
        if len(commands) == 1:
            raise Fatal(
                f"{PROG}: {name} is an option of the {commands[0]} command and goes after it: "
                f"{PROG} {commands[0]} {name} ..."
            )
        if commands:
            raise Fatal(
                f"{PROG}: {name} goes after the command, e.g. {PROG} {commands[0]} {name} ... "
                f"(commands: {', '.join(commands)})"
            )
        raise Fatal(f"{PROG}: unrecognized option '{name}' (see {PROG} --help)")


# --- inputs and output -------------------------------------------------------


def escaped(name: str) -> bytes:
    """A name as output and messages show it: backslash, newline and carriage return
    escaped, so that every input still takes exactly one line."""
    return os.fsencode(name).replace(b"\\", b"\\\\").replace(b"\n", b"\\n").replace(b"\r", b"\\r")


def read_block(stream: BinaryIO, size: int) -> bytes:
    """`size` bytes of `stream`, fewer only at its end."""
    parts: List[bytes] = []
    remaining = size
    try:
        while remaining > 0:
            part = stream.read(remaining)
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


class _Group(Generic[Tag]):
    """Inputs waiting for one hash_many call, and the errors among them, in order."""

    def __init__(self, hasher: Hasher) -> None:
        self._hasher = hasher
        self._entries: List[Tuple[Tag, Union[bytes, InputError]]] = []
        self._bytes = 0

    def add(self, tag: Tag, item: Union[bytes, InputError]) -> None:
        """Adds bytes to hash, or the error that stands in for an input."""
        if isinstance(item, bytes):
            try:
                self._hasher.refuse_over_capacity(len(item))
            except InputError as exc:
                item = exc
            else:
                self._bytes += len(item)
        self._entries.append((tag, item))

    @property
    def full(self) -> bool:
        return len(self._entries) >= GROUP_ITEMS or self._bytes >= GROUP_BYTES

    def flush(self) -> Iterator[Tuple[Tag, Union[bytes, InputError]]]:
        entries, self._entries, self._bytes = self._entries, [], 0
        digests = iter(self._hasher.digest_many([item for _, item in entries if isinstance(item, bytes)]))
        for tag, item in entries:
            yield tag, next(digests) if isinstance(item, bytes) else item


def digests(
    hasher: Hasher, sources: Iterable[Tuple[Tag, Union[bytes, str]]]
) -> Iterator[Tuple[Tag, Union[bytes, InputError]]]:
    """The digest of each source, or the error that stopped it, in the order given.

    A source is bytes to hash, or the name of a file (STDIN_NAME: standard
    input). Inputs shorter than a block wait in a group for one hash_many
    call; a longer one is streamed once the group before it is done, so the
    order holds."""
    group: _Group[Tag] = _Group(hasher)
    for tag, source in sources:
        # Standard input may wait for a person at a terminal, who should see the digests already known.
        if group.full or (isinstance(source, str) and source == STDIN_NAME):
            yield from group.flush()
        if isinstance(source, bytes):
            group.add(tag, source)
            continue
        streamed = False
        try:
            with open_input(source) as stream:
                first = hasher.read_size(0)
                head = read_block(stream, first)
                if len(head) < first:  # all of it: hashed with the group
                    group.add(tag, head)
                    continue
                yield from group.flush()
                streamed = True
                with Progress(source, known_size(stream)) as progress:
                    result: Union[bytes, InputError] = hasher.digest_stream(stream, head, progress)
        except InputError as exc:
            if not streamed:  # its place is behind the inputs waiting in the group
                group.add(tag, exc)
                continue
            result = exc
        yield tag, result
    yield from group.flush()


def inputs(args: argparse.Namespace) -> Iterator[Tuple[str, Union[bytes, str]]]:
    """(name, source) per input, in command-line order: hex inputs are their
    bytes, files and standard input their names."""
    if args.hex:
        for item in args.hex:
            yield item.text, item.data
        return
    for name in args.files or [STDIN_NAME]:
        yield name, name


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


# --- --check -----------------------------------------------------------------

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


def plural(count: int, singular: str, many: str) -> str:
    return f"{count} {singular if count == 1 else many}"


class _Listed(NamedTuple):
    mark: bytes  # a backslash when the name is shown escaped
    shown: bytes  # the name as output shows it
    digest: str  # as listed, in lower case


def verify(listing_name: str, hasher: "Hasher") -> int:
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


def _discard_stdout() -> None:
    # Python flushes standard output once more at exit; after a failed write that
    # flush would fail as well and print a second message, so aim it at the null device.
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (OSError, AttributeError, ValueError):
        pass


def run(argv: Optional[Sequence[str]]) -> int:
    parser = build_parser()
    arguments = sys.argv[1:] if argv is None else list(argv)
    check_leading_options(parser, arguments)
    args, unknown = parser.parse_known_args(arguments)
    for arg in unknown:
        if arg.startswith("-") and arg != STDIN_NAME:
            name = arg.split("=", 1)[0] if arg.startswith("--") else arg[:2]
            owners = command_options(parser).get(name)
            if owners:
                raise Fatal(
                    f"{PROG} {args.command}: {name} is an option of {' and '.join(owners)}, not of {args.command}"
                )
            raise Fatal(f"{PROG} {args.command}: unrecognized option '{name}' (see {PROG} {args.command} --help)")
    if unknown:
        parser.error(f"unrecognized arguments: {' '.join(unknown)}")
    if args.hex and args.files:
        raise Fatal(f"{PROG} {args.command}: --hex cannot be combined with FILE arguments")
    if args.check is not None and (args.hex or args.files):
        raise Fatal(f"{PROG} {args.command}: --check cannot be combined with --hex or FILE arguments")
    choice: Choice = args.choose(args)
    silencer = NativeReportSilencer()
    try:
        hasher = Hasher(choice, silencer)
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
            _discard_stdout()
        report(str(exc))
        return EXIT_FAILURE
    except BrokenPipeError:
        # The reader went away (`tamarind ... | head -1`): there is no one left to tell.
        _discard_stdout()
        return EXIT_FAILURE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except SystemExit as exc:  # --help and --version end through argparse's exit
        return exc.code if isinstance(exc.code, int) else EXIT_OK
