"""The `tamarind` command line, run as a separate process and checked against the extension classes."""

from __future__ import annotations

import importlib.metadata
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import sysconfig
from pathlib import Path
from typing import Callable, Sequence

import pytest
import tamarind.cli
from _tamarind import BabyJubjubPedersen, CircomPedersen, JubjubBoweHopwood, ZcashPedersen
from conftest import CEILING, panic_exception_type, read_until
from tamarind.cli import hashers

import tamarind

Factory = Callable[[], object]

# Command-line arguments, and the instance they must be equivalent to.
COMMANDS: dict[str, tuple[list[str], Factory]] = {
    "circom": (["circom"], CircomPedersen),
    "zcash": (["zcash"], ZcashPedersen),
    "zcash-ascii-default": (["zcash", "--personalization", "Zcash_PH"], ZcashPedersen),
    "zcash-hex-default": (["zcash", "--personalization", "5A636173685f5048"], ZcashPedersen),
    "zcash-ascii": (["zcash", "--personalization", "Tamarind"], lambda: ZcashPedersen(b"Tamarind")),
    "zcash-hex": (
        ["zcash", "--personalization", "00ff7f8041424344"],
        lambda: ZcashPedersen(bytes.fromhex("00ff7f8041424344")),
    ),
    "babyjubjub": (["babyjubjub", "4", "64"], lambda: BabyJubjubPedersen(4, 64)),
    "bowe-hopwood": (["bowe-hopwood", "4", "63"], lambda: JubjubBoweHopwood(4, 63)),
}

# All within the smallest capacity above (BabyJubjubPedersen(4, 64): 32 bytes).
INPUTS = [b"abc", b"", bytes(range(32)), b"\xff" * 7]


def run(args: Sequence[str], stdin: bytes = b"", cwd: Path | None = None) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(
        [sys.executable, "-m", "tamarind", *args], input=stdin, capture_output=True, cwd=cwd, timeout=300
    )


def expected(factory: Factory, data: bytes) -> str:
    # A fresh instance per input: the command's single instance must not differ.
    return factory().hash(data).hex()  # type: ignore[attr-defined, no-any-return]


def assert_succeeded(proc: subprocess.CompletedProcess[bytes], lines: list[str]) -> None:
    assert (proc.stderr, proc.returncode, proc.stdout.decode().splitlines()) == (b"", 0, lines)


def assert_one_error(proc: subprocess.CompletedProcess[bytes], *fragments: str) -> None:
    """Exit status 2 and exactly one line on standard error (so no traceback), holding every fragment."""
    assert proc.returncode == 2, proc
    (line,) = proc.stderr.decode(errors="replace").splitlines()
    assert all(fragment in line for fragment in fragments), line


@pytest.mark.parametrize("command", COMMANDS)
def test_files_stdin_and_hex_inputs_in_order(command: str, tmp_path: Path) -> None:
    args, factory = COMMANDS[command]
    names = [f"in{i}" for i in range(len(INPUTS))]
    for name, data in zip(names, INPUTS):
        (tmp_path / name).write_bytes(data)
    stdin = b"from standard input"
    names.insert(2, "-")
    proc = run([*args, *names], stdin=stdin, cwd=tmp_path)
    contents = INPUTS[:2] + [stdin] + INPUTS[2:]
    assert_succeeded(proc, [f"{expected(factory, data)}  {name}" for data, name in zip(contents, names)])
    data = bytes(range(5, 30))  # no file: standard input
    assert_succeeded(run(args, stdin=data, cwd=tmp_path), [f"{expected(factory, data)}  -"])
    given = ["616263", "", "00010203FfFe", bytes(range(32)).hex()]
    proc = run([*args, *(f"--hex={text}" for text in given)])
    assert_succeeded(proc, [f"{expected(factory, bytes.fromhex(text))}  {text}" for text in given])


@pytest.mark.parametrize("command", ["circom", "zcash", "zcash-hex"])
def test_long_and_short_inputs_share_one_instance(command: str, tmp_path: Path) -> None:
    # Lengths that cross segment boundaries and go past the built-in base points,
    # long before short, so that a cache-dependent result would show.
    args, factory = COMMANDS[command]
    names = [f"len{length}" for length in [400, 3, 151, 0, 142, 26]]
    for name in names:
        length = int(name[3:])
        (tmp_path / name).write_bytes(bytes((7 * i + length) % 256 for i in range(length)))
    proc = run([*args, *names], cwd=tmp_path)
    assert_succeeded(proc, [f"{expected(factory, (tmp_path / name).read_bytes())}  {name}" for name in names])


def largest_accepted(factory: Factory) -> int:
    """The capacity as the extension itself enforces it: the longest input it hashes."""
    instance, n = factory(), 0
    while True:
        try:
            instance.hash(bytes(n + 1))  # type: ignore[attr-defined]
        except BaseException as exc:
            assert type(exc).__name__ == "PanicException"
            return n
        n += 1


CAPACITY_CASES = [
    "babyjubjub 0 0",
    "babyjubjub 1 8",
    "babyjubjub 1 15",
    "babyjubjub 3 5",
    "babyjubjub 2 64",
    "bowe-hopwood 1 1",
    "bowe-hopwood 1 3",
    "bowe-hopwood 2 2",
    "bowe-hopwood 3 7",
    "bowe-hopwood 4 63",
]


@pytest.mark.parametrize("args", [case.split() for case in CAPACITY_CASES], ids=" ".join)
def test_capacity_boundary_matches_extension(args: list[str], capfd: pytest.CaptureFixture[str]) -> None:
    cls = BabyJubjubPedersen if args[0] == "babyjubjub" else JubjubBoweHopwood
    factory = lambda: cls(int(args[1]), int(args[2]))  # noqa: E731
    capacity = largest_accepted(factory)
    capfd.readouterr()  # the extension's own fault reports
    fits, too_long = bytes(range(1, capacity + 1)).hex(), bytes(range(1, capacity + 2)).hex()
    proc = run([*args, "--hex", fits, "--hex", too_long])
    assert proc.stdout.decode().splitlines() == [f"{expected(factory, bytes.fromhex(fits))}  {fits}"]
    fit = "1 byte fits" if capacity == 1 else f"{capacity} bytes fit"
    assert_one_error(proc, f"tamarind: {too_long}: input too long", f"at most {fit}")


BIG = os.urandom(1 << 20)  # far more than fits, and more than a pipe buffer
TOO_LONG = "input too long for BabyJubjubPedersen(2, 8): at most 2 bytes fit"


@pytest.mark.parametrize(
    "args, names, stdin, errors",
    [
        (["babyjubjub", "2", "8"], ["short", "big", "short"], b"", [f"tamarind: big: {TOO_LONG}"]),
        (["babyjubjub", "2", "8"], ["short", "-", "short"], BIG, [f"tamarind: -: {TOO_LONG}"]),
        (
            ["circom"],
            ["short", "missing", "short", "dir"],
            b"",
            ["tamarind: missing: No such file or directory", "tamarind: dir: Is a directory"],
        ),
    ],
    ids=["over-capacity-file", "over-capacity-stdin", "unreadable"],
)
def test_bad_inputs_are_reported_and_the_rest_hashed(
    args: list[str], names: list[str], stdin: bytes, errors: list[str], tmp_path: Path
) -> None:
    (tmp_path / "short").write_bytes(b"\x01\x02")
    (tmp_path / "big").write_bytes(BIG)
    (tmp_path / "dir").mkdir()
    proc = run([*args, *names], stdin=stdin, cwd=tmp_path)
    factory = CircomPedersen if args == ["circom"] else lambda: BabyJubjubPedersen(2, 8)
    assert proc.returncode == 2
    assert proc.stdout.decode().splitlines() == [expected(factory, b"\x01\x02") + "  short"] * 2
    assert proc.stderr.decode().splitlines() == errors


@pytest.mark.parametrize(
    "args, fragments",
    [
        ([], ["required: COMMAND"]),
        (["sha256"], ["invalid choice: 'sha256'"]),
        (["babyjubjub", "4"], ["tamarind babyjubjub:", "required: BITS_PER_WINDOW"]),
        (["babyjubjub", "four", "64"], ["argument SEGMENTS: 'four' is not a whole number"]),
        (["babyjubjub", "-1", "64"], ["argument SEGMENTS: '-1' is not a whole number"]),
        (["babyjubjub", "1.0", "8"], ["'1.0' is not a whole number"]),
        (["bowe-hopwood", "4", str(2**64)], ["argument CHUNKS_PER_SEGMENT:", "from 0 to 18446744073709551615"]),
        (["circom", "--hex", "abc"], ["argument --hex: 'abc' has an odd number of hex digits"]),
        (["circom", "--hex", "0g"], ["argument --hex: '0g' is not hex: 'g' is not a hex digit"]),
        (["zcash", "--hex", "zz"], ["tamarind zcash: argument --hex: 'zz' is not hex: 'z' is not a hex digit"]),
        (["circom", "--hex", "00 11"], ["'00 11' is not hex: ' ' is not a hex digit"]),
        (["circom", "--hex", "00", "file"], ["--hex cannot be combined with FILE"]),
        (["zcash", "--personalization", "Zcash"], ["'Zcash' is neither 8 ASCII characters nor 16 hex digits"]),
        (["zcash", "--personalization", "Zcash_PH0"], ["'Zcash_PH0' is neither"]),
        (["zcash", "--personalization", "5a636173685f504g"], ["16 characters, but not all are hex digits"]),
        (["zcash", "--personalization", "Zcash_PÄ"], ["8 characters, but not all are ASCII"]),
        (
            ["circom", "--personalization", "Zcash_PH"],
            ["tamarind circom: --personalization is an option of zcash, not of circom"],
        ),
        # Unknown options are named, wherever they stand.
        (["-V"], ["tamarind: unrecognized option '-V'"]),
        (["--bogus", "zcash"], ["tamarind: unrecognized option '--bogus'"]),
        (["circom", "--bogus"], ["tamarind circom: unrecognized option '--bogus'"]),
        (["babyjubjub", "4", "64", "--hex", "00", "-V"], ["tamarind babyjubjub: unrecognized option '-V'"]),
        # A command's option before the command: the hint names where it goes.
        (
            ["--personalization", "Tamarind", "zcash"],
            ["--personalization is an option of the zcash command", "tamarind zcash --personalization"],
        ),
        (["--pers=Tamarind", "zcash"], ["tamarind zcash --personalization"]),
        (["--hex", "00", "circom"], ["--hex goes after the command", "tamarind circom --hex"]),
        (["-c", "sums", "zcash"], ["-c goes after the command"]),
        (["circom", "--check", "sums", "--hex", "00"], ["--check cannot be combined with --hex or FILE"]),
        (["circom", "--check", "missing-list"], ["tamarind: missing-list: No such file or directory"]),
        (["circom", "--bits", "8.0", "--hex", "00"], ["argument --bits: '8.0' is not a whole number"]),
        (
            ["babyjubjub", "2", "8", "--bits", "17", "--hex", "000000"],
            ["tamarind: --bits 17 is too many for BabyJubjubPedersen(2, 8): at most 16 bits fit"],
        ),
        # Sizes the extension refuses to build: too many to count, too many to allocate.
        (
            ["babyjubjub", str(2**64 - 1), str(2**64 - 1), "--hex", "00"],
            ["cannot build BabyJubjubPedersen(", "capacity overflow"],
        ),
        pytest.param(
            ["bowe-hopwood", "1", str(10**15), "--hex", "00"],
            ["cannot build JubjubBoweHopwood(1, 1000000000000000): out of memory"],
            marks=pytest.mark.allocation_failure,
        ),
    ],
)
def test_bad_command_lines_fail_with_one_line(args: list[str], fragments: list[str]) -> None:
    proc = run(args)
    assert proc.stdout == b""
    assert_one_error(proc, *fragments)


# Files whose names look like options; after `--` they are files all the same.
ORDER_FILES = {"abc": b"abc", "one": b"\x01\x02", "-n": b"dash n", "--bits": b"dash dash bits"}


@pytest.mark.parametrize(
    "args, factory, bits, names",
    [
        (["babyjubjub", "1", "16", "--bits", "16", "abc"], lambda: BabyJubjubPedersen(1, 16), 16, ["abc"]),
        (["zcash", "abc", "--bits", "12", "one"], ZcashPedersen, 12, ["abc", "one"]),
        (["bowe-hopwood", "--bits", "8", "4", "63", "abc"], lambda: JubjubBoweHopwood(4, 63), 8, ["abc"]),
        (["babyjubjub", "1", "16", "--bits", "16", "--", "abc"], lambda: BabyJubjubPedersen(1, 16), 16, ["abc"]),
        (["babyjubjub", "--bits", "16", "--", "1", "16", "-n"], lambda: BabyJubjubPedersen(1, 16), 16, ["-n"]),
        (["zcash", "--", "-n", "--bits"], ZcashPedersen, None, ["-n", "--bits"]),
        (["--", "circom", "-n"], CircomPedersen, None, ["-n"]),
    ],
)
def test_options_and_files_in_any_order_and_double_dash_ends_options(
    args: list[str], factory: Factory, bits: int | None, names: list[str], tmp_path: Path
) -> None:
    for name, data in ORDER_FILES.items():
        (tmp_path / name).write_bytes(data)

    def digest(data: bytes) -> str:
        hasher = factory()
        if bits is None:
            return hasher.hash(data).hex()  # type: ignore[attr-defined, no-any-return]
        return hasher.hash_bits(first_bits(data, bits), bits).hex()  # type: ignore[attr-defined, no-any-return]

    assert_succeeded(run(args, cwd=tmp_path), [f"{digest(ORDER_FILES[name])}  {name}" for name in names])


def first_bits(data: bytes, bits: int) -> bytes:
    """The first `bits` bits of `data`, least significant first, in ceil(bits / 8) bytes."""
    return (int.from_bytes(data, "little") & ((1 << bits) - 1)).to_bytes(-(-bits // 8), "little")


# Inputs longer than N bits, with the bits past N set, and one of exactly N bits; from
# --hex and from standard input (read only as far as needed).
@pytest.mark.parametrize("bits", [0, 1, 7, 8, 13, 200])
@pytest.mark.parametrize("command", ["circom", "zcash-ascii", "babyjubjub", "bowe-hopwood"])
def test_bits_hashes_the_first_n_bits_of_each_input(command: str, bits: int) -> None:
    args, factory = COMMANDS[command]
    size = -(-bits // 8)
    given = [b"\xff" * (size + 2), bytes(range(101, 101 + size)) + b"\x5a", first_bits(b"\xff" * size, bits)]
    digests = [factory().hash_bits(first_bits(data, bits), bits).hex() for data in given]  # type: ignore[attr-defined]
    proc = run([*args, "--bits", str(bits), *(f"--hex={data.hex()}" for data in given)])
    assert_succeeded(proc, [f"{digest}  {data.hex()}" for digest, data in zip(digests, given)])
    assert_succeeded(run([*args, "--bits", str(bits)], stdin=given[1] * 1000), [f"{digests[1]}  -"])


def test_bits_refuses_an_input_shorter_than_n_bits() -> None:
    proc = run(["zcash", "--bits", "12", "--hex", "ab", "--hex", "abcd"])
    digest = ZcashPedersen().hash_bits(bytes.fromhex("ab0d"), 12).hex()  # the top 4 bits of cd cleared
    assert proc.stdout.decode().splitlines() == [f"{digest}  abcd"]
    assert_one_error(proc, "tamarind: ab: input too short for --bits 12: 8 bits")


def test_escaped_names_keep_one_line_per_input(tmp_path: Path) -> None:
    names = ["new\nline", "back\\slash", "plain"]
    for name in names:
        (tmp_path / name).write_bytes(name.encode())
    assert_succeeded(
        run(["circom", *names], cwd=tmp_path),
        [
            f"\\{expected(CircomPedersen, b'new' + bytes([10]) + b'line')}  new\\nline",
            f"\\{expected(CircomPedersen, b'back' + bytes([92]) + b'slash')}  back\\\\slash",
            f"{expected(CircomPedersen, b'plain')}  plain",
        ],
    )


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_failing_standard_output_is_one_error() -> None:
    with open("/dev/full", "wb") as full:
        proc = subprocess.run(
            [sys.executable, "-m", "tamarind", "circom", "--hex", "00"], stdout=full, stderr=subprocess.PIPE, timeout=60
        )
    assert proc.returncode == 2
    assert proc.stderr.decode().splitlines() == ["tamarind: standard output: No space left on device"]


def test_one_instance_serves_the_run(
    monkeypatch: pytest.MonkeyPatch, capsysbinary: pytest.CaptureFixture[bytes]
) -> None:
    built: list[object] = []
    monkeypatch.setattr(hashers, "CircomPedersen", lambda: built.append(CircomPedersen()) or built[-1])
    assert tamarind.cli.main(["circom", "--hex", "00", "--hex", "01", "--hex", "02"]) == 0
    assert (len(capsysbinary.readouterr().out.splitlines()), len(built)) == (3, 1)


def console_script() -> Path:
    try:
        importlib.metadata.distribution("tamarind")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("tamarind is not installed, so there is no console script")
    script = Path(sysconfig.get_path("scripts")) / "tamarind"
    if not script.exists():
        found = shutil.which("tamarind")
        assert found, "the installed distribution has no tamarind console script"
        script = Path(found)
    return script


def test_console_script_matches_module_run(tmp_path: Path) -> None:
    proc = subprocess.run(
        [str(console_script()), "zcash", "--hex", "616263"], capture_output=True, timeout=60, cwd=tmp_path
    )
    assert_succeeded(proc, [f"{expected(ZcashPedersen, b'abc')}  616263"])


# Found before the real extension: it says it is being loaded, then waits, so
# that Ctrl-C comes while the command line is still importing what it needs.
STAND_IN_EXTENSION = """
import sys
sys.stderr.write("loading _tamarind\\n")
sys.stderr.flush()
sys.stdin.read()
"""


@pytest.mark.parametrize("how", ["module", "script"])
def test_ctrl_c_while_the_extension_loads_ends_quietly_with_status_130(how: str, tmp_path: Path) -> None:
    (tmp_path / "_tamarind.py").write_text(STAND_IN_EXTENSION)
    command = [sys.executable, "-m", "tamarind"] if how == "module" else [str(console_script())]
    path = os.pathsep.join(filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")]))
    proc = subprocess.Popen(
        [*command, "zcash", "--hex", "00"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env={**os.environ, "PYTHONPATH": path},
        bufsize=0,
    )
    assert proc.stderr is not None
    try:
        said = read_until(proc.stderr.fileno(), lambda err: b"\n" in err, "the stand-in extension to be loaded")
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=CEILING)
    finally:
        proc.kill()
        proc.wait()
    assert (proc.returncode, out, said + err) == (130, b"", b"loading _tamarind\n")


def test_package_exports_the_extensions_panic_exception() -> None:
    assert tamarind.PanicException is panic_exception_type()


def test_version_is_the_package_metadata_version() -> None:
    proc = run(["--version"])
    assert_succeeded(proc, [f"tamarind {tamarind.__version__}"])
    try:
        assert importlib.metadata.version("tamarind") == tamarind.__version__
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("tamarind is not installed, so there is no metadata to compare")


def test_help_shows_examples_and_the_check_option() -> None:
    top, zcash = run(["--help"]), run(["zcash", "--help"])
    assert (top.returncode, zcash.returncode) == (0, 0)
    assert "examples:" in top.stdout.decode() and "tamarind zcash --check sums.txt" in top.stdout.decode()
    # One entry names the check option both ways and takes LIST; argparse's layout of the names varies (3.13
    # writes "-c, --check LIST", earlier versions "-c LIST, --check LIST").
    [names] = [re.split(r"\s{2,}", line.strip())[0] for line in zcash.stdout.decode().splitlines() if "--check" in line]
    assert re.findall(r"--?[a-z]+", names) == ["-c", "--check"] and names.endswith(" LIST"), names


def write_inputs(folder: Path) -> dict[str, bytes]:
    inputs = {"abc": b"abc", "empty": b"", "zeros": bytes(20), "new\nline": b"escaped name"}
    for name, data in inputs.items():
        (folder / name).write_bytes(data)
    return inputs


@pytest.mark.parametrize("command", ["circom", "zcash-ascii", "babyjubjub", "bowe-hopwood"])
def test_check_accepts_what_the_command_printed(command: str, tmp_path: Path) -> None:
    args, factory = COMMANDS[command]
    names = list(write_inputs(tmp_path))
    printed = run([*args, *names], cwd=tmp_path)
    assert printed.returncode == 0
    (tmp_path / "sums").write_bytes(printed.stdout)
    assert_succeeded(
        run([*args, "--check", "sums"], cwd=tmp_path), ["abc: OK", "empty: OK", "zeros: OK", "\\new\\nline: OK"]
    )
    # The same list from standard input, with -c.
    assert_succeeded(
        run([*args, "-c", "-"], stdin=printed.stdout, cwd=tmp_path),
        ["abc: OK", "empty: OK", "zeros: OK", "\\new\\nline: OK"],
    )


# sha256sum -c's reading of a list: upper-case digests and the binary marker are
# accepted, blank lines skipped; the other hashers' digests do not match.
@pytest.mark.parametrize(
    "line, verdict",
    [
        ("{digest}  abc", "abc: OK"),
        ("{upper}  abc", "abc: OK"),
        ("{digest} *abc", "abc: OK"),
        ("{other}  abc", "abc: FAILED"),
        ("{digest}  abc\n\n{digest}  abc", "abc: OK\nabc: OK"),
    ],
    ids=["text", "upper-case", "binary-marker", "other-hasher", "blank-line"],
)
def test_check_line_forms(line: str, verdict: str, tmp_path: Path) -> None:
    (tmp_path / "abc").write_bytes(b"abc")
    digest, other = expected(ZcashPedersen, b"abc"), expected(CircomPedersen, b"abc")
    (tmp_path / "sums").write_text(line.format(digest=digest, upper=digest.upper(), other=other) + "\n")
    proc = run(["zcash", "--check", "sums"], cwd=tmp_path)
    failed = "FAILED" in verdict
    assert (proc.returncode, proc.stdout.decode().splitlines()) == (1 if failed else 0, verdict.splitlines())
    assert proc.stderr.decode().splitlines() == (
        ["tamarind: WARNING: 1 computed digest did NOT match"] if failed else []
    )


def test_check_reports_each_failure_and_sums_up_on_stderr(tmp_path: Path) -> None:
    write_inputs(tmp_path)
    listing = [
        f"{expected(CircomPedersen, data)}  {name}"
        for name, data in [
            ("abc", b"abc"),
            ("changed", b"before"),
            ("missing", b""),
            ("zeros", bytes(20)),
            ("empty", b"x"),
        ]
    ]
    (tmp_path / "changed").write_bytes(b"after")
    listing += ["not a digest line", "0123  abc"]
    (tmp_path / "sums").write_text("\n".join(listing) + "\n")
    proc = run(["circom", "-c", "sums"], cwd=tmp_path)
    assert proc.returncode == 1
    assert proc.stdout.decode().splitlines() == [
        "abc: OK",
        "changed: FAILED",
        "missing: FAILED open or read",
        "zeros: OK",
        "empty: FAILED",
    ]
    assert proc.stderr.decode().splitlines() == [
        "tamarind: missing: No such file or directory",
        "tamarind: WARNING: 2 lines are improperly formatted",
        "tamarind: WARNING: 1 listed input could not be hashed",
        "tamarind: WARNING: 2 computed digests did NOT match",
    ]


@pytest.mark.parametrize(
    "listing, stderr",
    [
        (b"", "tamarind: sums: no properly formatted digest lines found"),
        (b"abc  abc\n", "tamarind: sums: no properly formatted digest lines found"),
        (b"\\" + b"0" * 64 + b"  bad\\escape\n", "tamarind: sums: no properly formatted digest lines found"),
    ],
    ids=["empty", "short-digest", "bad-escape"],
)
def test_check_without_digest_lines_fails(listing: bytes, stderr: str, tmp_path: Path) -> None:
    (tmp_path / "sums").write_bytes(listing)
    proc = run(["circom", "--check", "sums"], cwd=tmp_path)
    assert (proc.returncode, proc.stdout, proc.stderr.decode().splitlines()) == (1, b"", [stderr])


def test_check_refuses_inputs_over_capacity(tmp_path: Path) -> None:
    (tmp_path / "long").write_bytes(bytes(3))
    (tmp_path / "sums").write_text(f"{'0' * 64}  long\n")
    proc = run(["babyjubjub", "1", "16", "--check", "sums"], cwd=tmp_path)
    assert (proc.returncode, proc.stdout.decode().splitlines()) == (1, ["long: FAILED"])
    assert proc.stderr.decode().splitlines() == [
        "tamarind: long: input too long for BabyJubjubPedersen(1, 16): at most 2 bytes fit",
        "tamarind: WARNING: 1 listed input could not be hashed",
    ]


def tree_state_answer(size: int, root: bytes | None = None) -> tuple[str, str]:
    """A z_gettreestate answer for a tree of `size` leaves, and its root as zcash-cli shows it."""
    from tamarind import sapling

    leaves = [(3 * i + 1).to_bytes(32, "little") for i in range(size)]
    tree = sapling.CommitmentTree()
    tree.extend(leaves, vartime=True)
    shown = sapling.merkle_root(leaves, vartime=True)[::-1].hex()
    commitments = {"finalRoot": (root or bytes.fromhex(shown)).hex(), "finalState": tree.to_bytes().hex()}
    return json.dumps({"height": 419201, "sapling": {"commitments": commitments}}), shown


@pytest.mark.parametrize("form", ["json", "hex", "file"])
def test_sapling_root_prints_root_and_size(form: str, tmp_path: Path) -> None:
    answer, shown = tree_state_answer(5)
    text = answer if form != "hex" else json.loads(answer)["sapling"]["commitments"]["finalState"]
    if form == "file":
        (tmp_path / "state.json").write_text(answer)
        proc = run(["sapling-root", str(tmp_path / "state.json")])
    else:
        proc = run(["sapling-root"], stdin=text.encode())
    assert_succeeded(proc, [f"{shown}  5"])


def test_sapling_root_check() -> None:
    answer, shown = tree_state_answer(3)
    assert_succeeded(run(["sapling-root", "--check"], stdin=answer.encode()), [f"{shown}  3"])
    wrong, _ = tree_state_answer(3, root=bytes(32))
    proc = run(["sapling-root", "--check"], stdin=wrong.encode())
    assert proc.returncode == 1 and proc.stdout.decode() == f"{shown}  3\n"
    assert "but finalRoot is " + "00" * 32 in proc.stderr.decode()


@pytest.mark.parametrize(
    "stdin, fragment",
    [
        (b'{"height": 280000, "sapling": {"commitments": {"finalRoot": "ab"}}}', "has no Sapling finalState"),
        (b"{not json", "not a z_gettreestate answer"),
        (b"0g", "finalState is not hex"),
        (b"02", "tree state: an Optional tag of 2"),
    ],
)
def test_sapling_root_refuses_malformed_answers(stdin: bytes, fragment: str) -> None:
    assert_one_error(run(["sapling-root"], stdin=stdin), fragment)
