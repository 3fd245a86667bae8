"""How the command line feeds the hashers: small inputs in hash_many groups, large ones and standard
input streamed block by block, a progress bar on a terminal, and Ctrl-C."""

from __future__ import annotations

import fcntl
import io
import os
import signal
import struct
import subprocess
import sys
import termios
import threading
from pathlib import Path
from typing import Any, BinaryIO, Callable, Iterator

import pytest
import tamarind.cli
from _tamarind import BabyJubjubPedersen, CircomPedersen, JubjubBoweHopwood, ZcashPedersen
from conftest import CEILING, panic_exception_type, read_until, wait_for
from tamarind.cli import grouping, hashers, progress, reading
from test_cli import assert_succeeded, expected, run

# The configurable ones hold several of the small blocks the tests stream with:
# BabyJubjubPedersen(8, 256) takes 256 bytes, JubjubBoweHopwood(4, 200) 300.
STREAMED: dict[str, tuple[list[str], Callable[[], Any]]] = {
    "circom": (["circom"], CircomPedersen),
    "zcash": (["zcash", "--personalization", "Tamarind"], lambda: ZcashPedersen(b"Tamarind")),
    "babyjubjub": (["babyjubjub", "8", "256"], lambda: BabyJubjubPedersen(8, 256)),
    "bowe-hopwood": (["bowe-hopwood", "4", "200"], lambda: JubjubBoweHopwood(4, 200)),
}


def pattern(length: int, seed: int = 0) -> bytes:
    return bytes((37 * i + 11 * seed + length) % 256 for i in range(length))


def fake_stdin(data: bytes) -> io.TextIOWrapper:
    return io.TextIOWrapper(io.BytesIO(data))


# 7-byte blocks (56 bits, not a multiple of the 3-bit chunks) end at every
# position within a chunk and cut many segments; 64 is a power of two like the real block.
@pytest.mark.parametrize("block", [7, 64])
@pytest.mark.parametrize("command", STREAMED)
def test_streamed_inputs_hash_as_if_whole(
    command: str,
    block: int,
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    capsysbinary: pytest.CaptureFixture[bytes],
) -> None:
    args, factory = STREAMED[command]
    monkeypatch.setattr(reading, "STREAM_BLOCK", block)
    monkeypatch.chdir(tmp_path)
    sizes = sorted({0, 1, block - 1, block, block + 1, 2 * block, 2 * block + 1, 3 * block + 5, 250})
    contents = {f"len{n}": pattern(n) for n in sizes}
    for name, data in contents.items():
        (tmp_path / name).write_bytes(data)
    stdin = pattern(2 * block + 3, seed=1)
    monkeypatch.setattr(sys, "stdin", fake_stdin(stdin))
    assert tamarind.cli.main([*args, *contents, "-"]) == 0
    printed = capsysbinary.readouterr()
    lines = [f"{expected(factory, data)}  {name}" for name, data in [*contents.items(), ("-", stdin)]]
    assert (printed.err, printed.out.decode().splitlines()) == (b"", lines)
    # --check goes through the same reading.
    (tmp_path / "sums").write_text("\n".join(lines[:-1]) + "\n")
    assert tamarind.cli.main([*args, "--check", "sums"]) == 0
    assert capsysbinary.readouterr().out.decode().splitlines() == [f"{name}: OK" for name in contents]


class ReadRecorder:
    """A file whose reads are recorded: (bytes asked for, bytes returned)."""

    def __init__(self, path: str, reads: list[tuple[int, int]]) -> None:
        self._file: BinaryIO = open(path, "rb")
        self._reads = reads

    def read(self, size: int = -1) -> bytes:
        data = self._file.read(size)
        self._reads.append((size, len(data)))
        return data

    def fileno(self) -> int:
        return self._file.fileno()

    def __enter__(self) -> "ReadRecorder":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._file.close()


@pytest.fixture
def reads(monkeypatch: pytest.MonkeyPatch) -> list[tuple[int, int]]:
    recorded: list[tuple[int, int]] = []
    monkeypatch.setattr(reading, "open", lambda path, mode: ReadRecorder(path, recorded), raising=False)
    return recorded


@pytest.mark.parametrize("command", ["circom", "zcash"])
def test_a_large_input_is_never_read_whole(
    command: str,
    reads: list[tuple[int, int]],
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    capsysbinary: pytest.CaptureFixture[bytes],
) -> None:
    args, factory = STREAMED[command]
    monkeypatch.setattr(reading, "STREAM_BLOCK", 64)
    data = pattern(10 * 64 + 3)
    (tmp_path / "big").write_bytes(data)
    assert tamarind.cli.main([*args, str(tmp_path / "big")]) == 0
    assert capsysbinary.readouterr().out.decode() == f"{expected(factory, data)}  {tmp_path / 'big'}\n"
    assert all(0 < asked <= 64 for asked, _ in reads), reads
    assert sum(got for _, got in reads) == len(data)


# Capacities below and above the block: an over-long file is refused after
# reading one byte past the capacity, and one that fits exactly is hashed.
@pytest.mark.parametrize(
    "args, capacity",
    [
        (["babyjubjub", "2", "8"], 2),
        (["babyjubjub", "8", "256"], 256),
        (["bowe-hopwood", "4", "200"], 300),
    ],
    ids=["below-block", "babyjubjub-above-block", "bowe-hopwood-above-block"],
)
def test_over_capacity_is_read_one_byte_past_at_most(
    args: list[str],
    capacity: int,
    reads: list[tuple[int, int]],
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    capsysbinary: pytest.CaptureFixture[bytes],
) -> None:
    monkeypatch.setattr(reading, "STREAM_BLOCK", 64)
    monkeypatch.chdir(tmp_path)
    (tmp_path / "long").write_bytes(pattern(capacity + 5000))
    (tmp_path / "fits").write_bytes(pattern(capacity))
    assert tamarind.cli.main([*args, "long"]) == 2
    printed = capsysbinary.readouterr()
    assert printed.out == b""
    assert printed.err.decode().startswith("tamarind: long: input too long for ")
    assert sum(got for _, got in reads) == capacity + 1
    assert tamarind.cli.main([*args, "fits"]) == 0
    cls = BabyJubjubPedersen if args[0] == "babyjubjub" else JubjubBoweHopwood
    digest = expected(lambda: cls(int(args[1]), int(args[2])), pattern(capacity))
    assert capsysbinary.readouterr().out.decode() == f"{digest}  fits\n"


class RecordingHasher:
    """A CircomPedersen that records each hash_many call: its items and how many
    output lines had been printed before it."""

    capacity = capacity_bits = None

    def __init__(self, capture: pytest.CaptureFixture[bytes], calls: list[tuple[list[bytes], int]]) -> None:
        self._inner = CircomPedersen()
        self._capture, self._calls, self._out = capture, calls, b""

    def hash(self, data: bytes) -> bytes:
        raise AssertionError("a short input was hashed alone")

    def hash_many(self, items: list[bytes], threads: int | None = None) -> list[bytes]:
        self._out += self._capture.readouterr().out
        self._calls.append((list(items), self._out.count(b"\n")))
        return self._inner.hash_many(items, threads)  # type: ignore[no-any-return]

    def incremental(self, data: bytes = b"") -> Any:
        return self._inner.incremental(data)

    def printed(self) -> list[str]:
        return (self._out + self._capture.readouterr().out).decode().splitlines()


@pytest.mark.parametrize("source", ["hex", "files"])
def test_short_inputs_go_through_hash_many_in_bounded_groups(
    source: str, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsysbinary: pytest.CaptureFixture[bytes]
) -> None:
    calls: list[tuple[list[bytes], int]] = []
    recorder = RecordingHasher(capsysbinary, calls)
    monkeypatch.setattr(hashers, "CircomPedersen", lambda: recorder)
    monkeypatch.setattr(reading, "STREAM_BLOCK", 64)
    monkeypatch.setattr(grouping, "GROUP_BYTES", 1000)
    monkeypatch.chdir(tmp_path)
    if source == "hex":
        contents = [pattern(i % 4, seed=i) for i in range(600)]  # few bytes: the item count bounds the groups
        names = [data.hex() for data in contents]
        argv = [f"--hex={name}" for name in names]
    else:
        contents = [pattern(50 + i % 14, seed=i) for i in range(60)]  # shorter than a block: the bytes bound them
        names = argv = [f"f{i}" for i in range(len(contents))]
        for name, data in zip(names, contents):
            (tmp_path / name).write_bytes(data)
    assert tamarind.cli.main(["circom", *argv]) == 0
    assert recorder.printed() == [f"{expected(CircomPedersen, data)}  {name}" for data, name in zip(contents, names)]
    assert [item for items, _ in calls for item in items] == contents
    assert len(calls) > 1
    assert all(len(items) <= grouping.GROUP_ITEMS for items, _ in calls)
    assert all(sum(map(len, items)) < 1000 + 64 for items, _ in calls)
    # Each group's lines are out before the next group is hashed.
    assert [before for _, before in calls] == [sum(len(items) for items, _ in calls[:k]) for k in range(len(calls))]


def test_a_fault_inside_a_group_is_pinned_on_its_input(
    monkeypatch: pytest.MonkeyPatch, capsysbinary: pytest.CaptureFixture[bytes]
) -> None:
    panic = panic_exception_type()

    class Faulty:
        capacity = capacity_bits = None

        def __init__(self) -> None:
            self._inner = CircomPedersen()

        def hash(self, data: bytes) -> bytes:
            if data == b"\x02":
                raise panic("cannot hash 02")
            return self._inner.hash(data)  # type: ignore[no-any-return]

        def hash_many(self, items: list[bytes], threads: int | None = None) -> list[bytes]:
            if b"\x02" in items:
                raise panic("item %d: cannot hash 02" % items.index(b"\x02"))
            return self._inner.hash_many(items, threads)  # type: ignore[no-any-return]

    monkeypatch.setattr(hashers, "CircomPedersen", Faulty)
    assert tamarind.cli.main(["circom", "--hex", "01", "--hex", "02", "--hex", "03"]) == 2
    printed = capsysbinary.readouterr()
    assert printed.out.decode().splitlines() == [f"{expected(CircomPedersen, bytes([i]))}  0{i}" for i in (1, 3)]
    assert printed.err.decode().splitlines() == ["tamarind: 02: internal fault: cannot hash 02"]


def test_errors_keep_their_place_among_the_digests(tmp_path: Path) -> None:
    # One stream for both outputs, so that the order between them shows.
    for name, data in [("a", b"\x01"), ("b", b"\x02"), ("c", b"\x03"), ("long", bytes(100))]:
        (tmp_path / name).write_bytes(data)
    (tmp_path / "dir").mkdir()
    proc = subprocess.run(
        [sys.executable, "-m", "tamarind", "babyjubjub", "2", "8", "a", "missing", "long", "b", "dir", "c"],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        cwd=tmp_path,
        timeout=300,
    )
    too_long = "input too long for BabyJubjubPedersen(2, 8): at most 2 bytes fit"
    digest = {
        name: expected(lambda: BabyJubjubPedersen(2, 8), data)
        for name, data in [("a", b"\x01"), ("b", b"\x02"), ("c", b"\x03")]
    }
    assert (proc.returncode, proc.stdout.decode().splitlines()) == (
        2,
        [
            f"{digest['a']}  a",
            "tamarind: missing: No such file or directory",
            f"tamarind: long: {too_long}",
            f"{digest['b']}  b",
            "tamarind: dir: Is a directory",
            f"{digest['c']}  c",
        ],
    )


def test_digests_known_are_printed_before_standard_input_is_read(tmp_path: Path) -> None:
    (tmp_path / "a").write_bytes(b"abc")
    proc = subprocess.Popen(
        [sys.executable, "-m", "tamarind", "zcash", "a", "-"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        cwd=tmp_path,
        bufsize=0,
    )
    assert proc.stdout is not None
    try:
        # Standard input is still open meanwhile.
        first = read_until(proc.stdout.fileno(), lambda out: b"\n" in out, "the digest of a")
        rest, err = proc.communicate(b"fox", timeout=CEILING)
    finally:
        proc.kill()
        proc.wait()
    assert first.decode() == f"{expected(ZcashPedersen, b'abc')}  a\n"
    assert (rest.decode(), err, proc.returncode) == (f"{expected(ZcashPedersen, b'fox')}  -\n", b"", 0)


def test_the_real_block_boundary_of_a_file_and_of_standard_input(tmp_path: Path) -> None:
    data = os.urandom(reading.STREAM_BLOCK + 1)
    (tmp_path / "big").write_bytes(data)
    (tmp_path / "block").write_bytes(data[:-1])
    digest, block = expected(ZcashPedersen, data), expected(ZcashPedersen, data[:-1])
    assert_succeeded(
        run(["zcash", "big", "-", "block"], stdin=data, cwd=tmp_path),
        [f"{digest}  big", f"{digest}  -", f"{block}  block"],
    )


# --- Ctrl-C ------------------------------------------------------------------


@pytest.fixture(scope="module")
def big_file(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """24 MiB: minutes of hashing, and large enough for a progress bar."""
    path = tmp_path_factory.mktemp("big") / "big.bin"
    path.write_bytes(os.urandom(24 << 20))
    return path


class Feeder(threading.Thread):
    """Writes `data` to the pipe `fd`, then closes it; `written` counts the bytes so far."""

    def __init__(self, fd: int, data: bytes) -> None:
        super().__init__()
        self._fd, self._data, self.written = fd, data, 0

    def run(self) -> None:
        view = memoryview(self._data)
        try:
            while self.written < len(view):
                self.written += os.write(self._fd, view[self.written : self.written + (1 << 16)])
        except BrokenPipeError:
            pass  # the command ended first
        finally:
            os.close(self._fd)


def pipe_capacity(fd: int) -> int:
    # Linux says; elsewhere a pipe holds at most 64 KiB, so 1 MiB is safely more.
    return fcntl.fcntl(fd, getattr(fcntl, "F_GETPIPE_SZ", 1032)) if sys.platform == "linux" else 1 << 20


# From Ctrl-C to the end of the run: the extension looks for signals every few
# milliseconds of work, so this much only a run that ignored Ctrl-C would take.
INTERRUPT_CEILING = 30


def interrupt(proc: subprocess.Popen[bytes]) -> tuple[bytes, bytes]:
    """Sends SIGINT; the rest of the command's output once it has ended, which it must promptly."""
    proc.send_signal(signal.SIGINT)
    try:
        return proc.communicate(timeout=INTERRUPT_CEILING)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        pytest.fail(f"the command was still running {INTERRUPT_CEILING} s after Ctrl-C")


# Each waits until the command shows it is in the middle of the long work (or
# waiting on standard input) before Ctrl-C. A streamed file: see the progress bar's test.
@pytest.mark.parametrize("how", ["streamed-stdin", "hash-many", "waiting-on-stdin"])
def test_ctrl_c_ends_the_run_promptly_with_status_130(how: str, big_file: Path, tmp_path: Path) -> None:
    args = [sys.executable, "-m", "tamarind", "zcash"]
    lines: list[str] = []  # the lines printed before Ctrl-C
    if how == "hash-many":
        # A first group of empty files, whose lines say that the second group is
        # being read and hashed: pieces shorter than a block, megabytes in all.
        piece = big_file.read_bytes()[:200_000]
        for i in range(80):
            (tmp_path / f"f{i}").write_bytes(piece[i:])
        empty = [tmp_path / f"e{i}" for i in range(grouping.GROUP_ITEMS)]
        for path in empty:
            path.write_bytes(b"")
        args += [*map(str, empty), *(str(tmp_path / f"f{i}") for i in range(80))]
        lines = [f"{expected(ZcashPedersen, b'')}  {path}" for path in empty]
    elif how == "waiting-on-stdin":
        (tmp_path / "a").write_bytes(b"abc")
        args += [str(tmp_path / "a"), "-"]
        lines = [f"{expected(ZcashPedersen, b'abc')}  {tmp_path / 'a'}"]
    read_end, write_end = os.pipe()
    proc = subprocess.Popen(args, stdin=read_end, stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
    os.close(read_end)
    assert proc.stdout is not None
    feeder = Feeder(write_end, big_file.read_bytes())
    printed = b""
    try:
        if how == "streamed-stdin":
            # Once more than a block and what the pipe holds is written, the first block is hashed.
            beyond = reading.STREAM_BLOCK + pipe_capacity(write_end)
            feeder.start()
            wait_for(lambda: feeder.written > beyond, "the command to read past its first block")
        else:
            printed = read_until(
                proc.stdout.fileno(), lambda out: out.count(b"\n") >= len(lines), f"{len(lines)} lines of digests"
            )
        out, err = interrupt(proc)
    finally:
        proc.kill()
        proc.wait()
        if feeder.ident is not None:
            feeder.join()  # it closes the pipe
        else:
            os.close(write_end)  # open until now: the waiting case waits on it
    assert (proc.returncode, err) == (130, b"")  # no traceback, nor any other message
    assert (printed + out).decode().splitlines() == lines  # none from the work interrupted


# --- the progress bar --------------------------------------------------------


def screen(text: str) -> str:
    """The line a terminal shows after `text`: carriage returns go back to the first column."""
    line: list[str] = []
    column = 0
    for char in text:
        if char == "\r":
            column = 0
            continue
        if column < len(line):
            line[column] = char
        else:
            line.append(char)
        column += 1
    return "".join(line).rstrip()


def test_progress_bar_on_a_terminal_is_erased_on_ctrl_c(big_file: Path) -> None:
    master, slave = os.openpty()
    columns = 72  # narrower than the line: a line that wrapped could not be redrawn in place
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    try:
        proc = subprocess.Popen(
            [sys.executable, "-m", "tamarind", "circom", str(big_file)],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=slave,
        )
        try:
            # Drawn once the first block is hashed: a carriage return, then the bar.
            shown = read_until(master, lambda out: b"MiB" in out.partition(b"\r")[2], "the progress bar")
            out, _ = interrupt(proc)
        finally:
            proc.kill()
            proc.wait()
        # The command has ended, so all it wrote is there to read. Our end of the
        # terminal stays open meanwhile: once no one holds it, Linux may report the
        # terminal closed before the last of its output is read.
        shown = read_until(master, lambda out: out.endswith(b"\r") or b"\n" in out, "the bar to be erased", shown)
    finally:
        os.close(slave)
        os.close(master)
    assert (proc.returncode, out) == (130, b"")
    text = shown.decode(errors="replace")
    assert "\n" not in text  # one line, redrawn in place
    first = screen(text.split("\r")[1])
    # The name is cut, the numbers before it are not.
    assert len(first) == columns - 1 and str(big_file).startswith(first.split("MiB  ")[1])
    assert first.startswith("tamarind: [") and "% " in first and "of 24.0 MiB  /" in first
    assert screen(text) == ""  # erased


class Terminal:
    """A pseudo-terminal: `file` writes to it, `shown()` returns what it received."""

    MARK = "<end>"

    def __init__(self) -> None:
        self._master, slave = os.openpty()
        self.file = open(slave, "w", encoding="utf-8", errors="backslashreplace")

    def shown(self) -> str:
        # A mark of our own after what was written: the terminal keeps the order.
        self.file.write(self.MARK)
        self.file.flush()
        out = read_until(self._master, lambda out: self.MARK.encode() in out, "the end of the output").decode()
        return out[: out.index(self.MARK)]

    def close(self) -> None:
        self.file.close()
        os.close(self._master)


@pytest.fixture
def terminal() -> Iterator[Terminal]:
    opened = Terminal()
    yield opened
    opened.close()


def pipe_stdin(data: bytes) -> io.TextIOWrapper:
    """Standard input from a pipe, so its size is unknown."""
    read, write = os.pipe()
    os.write(write, data)  # fits a pipe's buffer
    os.close(write)
    return open(read, "r")


@pytest.mark.parametrize(
    "source, large, line",
    [
        ("file", True, "tamarind: [##############################] 100%  0.0 MiB of 0.0 MiB  big"),
        ("stdin", True, "tamarind: 0.0 MiB  -"),
        ("file", False, None),
        ("stdin", False, None),
    ],
    ids=["file", "stdin", "small-file", "small-stdin"],
)
def test_progress_bar_for_large_inputs_on_a_terminal(
    source: str,
    large: bool,
    line: str | None,
    terminal: Terminal,
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    capsysbinary: pytest.CaptureFixture[bytes],
) -> None:
    monkeypatch.setattr(reading, "STREAM_BLOCK", 64)
    monkeypatch.setattr(progress, "PROGRESS_FROM", 640)
    monkeypatch.setattr(progress, "PROGRESS_INTERVAL", 0.0)
    data = pattern(640 + 5 if large else 639)
    (tmp_path / "big").write_bytes(data)
    monkeypatch.setattr(sys, "stdin", pipe_stdin(data))
    name = "big" if source == "file" else "-"
    monkeypatch.chdir(tmp_path)
    # Here, not in a fixture: the capture installs its own standard error when the test starts.
    monkeypatch.setattr(sys, "stderr", terminal.file)
    assert tamarind.cli.main(["circom", name]) == 0
    assert capsysbinary.readouterr().out.decode() == f"{expected(CircomPedersen, data)}  {name}\n"
    shown = terminal.shown()
    if line is None:
        assert shown == ""
        return
    assert "\n" not in shown
    drawn = [screen(part) for part in shown.split("\r") if part.strip()]
    assert drawn[-1] == line
    assert screen(shown) == ""


def test_no_progress_bar_when_standard_error_is_not_a_terminal(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsysbinary: pytest.CaptureFixture[bytes]
) -> None:
    monkeypatch.setattr(reading, "STREAM_BLOCK", 64)
    monkeypatch.setattr(progress, "PROGRESS_FROM", 64)
    monkeypatch.setattr(progress, "PROGRESS_INTERVAL", 0.0)
    (tmp_path / "big").write_bytes(pattern(1000))
    with open(tmp_path / "err", "w") as err:
        monkeypatch.setattr(sys, "stderr", err)
        assert tamarind.cli.main(["circom", str(tmp_path / "big")]) == 0
    assert (tmp_path / "err").read_text() == ""
    assert capsysbinary.readouterr().out.decode().startswith(expected(CircomPedersen, pattern(1000)))
