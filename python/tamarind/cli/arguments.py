"""The command line's grammar: commands, their options and values, and the
one-line messages for everything it refuses."""

from __future__ import annotations

import argparse
import re
import sys
from typing import Any, Dict, List, NamedTuple, NoReturn, Optional, Sequence, Set, Tuple

from .. import __version__
from .messages import PROG, Fatal
from .reading import STDIN_NAME

U64_MAX = 2**64 - 1

_DIGITS = re.compile(r"[0-9]+")
_HEX = re.compile(r"(?:[0-9A-Fa-f]{2})*")
_NOT_HEX = re.compile(r"[^0-9A-Fa-f]")


class HexInput(NamedTuple):
    text: str  # as given: it is the input's name in the output
    data: bytes


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


class Parser(argparse.ArgumentParser):
    # argparse would print the usage and then the error; one line is the rule here.
    def error(self, message: str) -> NoReturn:
        raise Fatal(f"{self.prog}: {message}")


EXAMPLES = f"""\
examples:
  {PROG} zcash abc.txt                       Zcash Sapling hash of a file
  printf abc | {PROG} circom                 circom hash of standard input
  {PROG} zcash --personalization Tamarind --hex 616263
  {PROG} babyjubjub 4 64 a.bin b.bin         4 segments of 64-bit windows, two files
  {PROG} bowe-hopwood 4 63 --hex 00ff
  {PROG} zcash *.bin > sums.txt && {PROG} zcash --check sums.txt
  zcash-cli z_gettreestate 1384123 | {PROG} sapling-root --check

Options of a command go after it: {PROG} COMMAND --help lists them.
Exit status: 0 when every input was hashed (or, with --check, matched), 1 when
--check found a mismatch or an input it could not hash, 130 after Ctrl-C, 2
after any other error (one line on standard error each).
"""


class CommandEntry(NamedTuple):
    name: str
    help: str
    description: str
    sizes: Tuple[Tuple[str, str, str], ...] = ()  # the hasher's size operands: dest, metavar, help
    hasher: bool = True  # a hashing command (files, --hex, --bits, -c/--check); else sapling-root's own grammar


COMMANDS = [
    CommandEntry(
        "circom",
        help="circom / iden3 Pedersen hash over Baby Jubjub (any length)",
        description="circom / iden3 Pedersen hash over Baby Jubjub, byte-identical to circomlibjs pedersenHash: "
        "the 32-byte packed point. Any input length.",
    ),
    CommandEntry(
        "zcash",
        help="Zcash Sapling Pedersen hash over Jubjub (any length)",
        description="Zcash Sapling Pedersen hash over Jubjub: the u-coordinate as 32 little-endian bytes. "
        "Any input length.",
    ),
    CommandEntry(
        "babyjubjub",
        help="unsigned-window Pedersen hash over Baby Jubjub (arkworks pedersen::CRH)",
        description="Unsigned-window Pedersen hash over EIP-2494 Baby Jubjub (arkworks pedersen::CRH "
        "construction): the compressed point. Inputs of at most floor(SEGMENTS * BITS_PER_WINDOW / 8) bytes.",
        sizes=(
            ("segments", "SEGMENTS", "number of segments"),
            ("bits_per_window", "BITS_PER_WINDOW", "input bits per segment"),
        ),
    ),
    CommandEntry(
        "bowe-hopwood",
        help="Bowe-Hopwood Pedersen hash over Jubjub (arkworks bowe_hopwood::CRH)",
        description="Bowe-Hopwood Pedersen hash over Jubjub (arkworks bowe_hopwood::CRH construction): "
        "the x-coordinate as 32 little-endian bytes. Inputs of n bytes with "
        "ceil(8n / 3) <= SEGMENTS * CHUNKS_PER_SEGMENT.",
        sizes=(
            ("segments", "SEGMENTS", "number of segments"),
            ("chunks_per_segment", "CHUNKS_PER_SEGMENT", "3-bit chunks per segment"),
        ),
    ),
    CommandEntry(
        "sapling-root",
        help="root and size of a Sapling tree state (a z_gettreestate answer)",
        description="Reads a zcashd z_gettreestate answer (JSON), or a bare sapling finalState hex, from FILE or "
        "standard input and prints 'ROOT  SIZE': the tree's root as zcash-cli shows roots (byte-reversed hex) "
        "and its number of leaves.",
        hasher=False,
    ),
]

# Operands are read by a parser whose options would start with this character,
# which no command-line argument can hold: every string it gets is an operand.
NO_OPTIONS = "\0"
# What argparse takes for an operand although it starts with "-".
_NEGATIVE_NUMBER = re.compile(r"-\d+|-\d*\.\d+")


def looks_like_option(arg: str) -> bool:
    """Whether argparse reads `arg` as an option (known or not) rather than an operand."""
    return arg.startswith("-") and arg != STDIN_NAME and not _NEGATIVE_NUMBER.fullmatch(arg) and " " not in arg


def option_name(arg: str) -> str:
    """The option an argument names: --name of --name=value, -x of -xVALUE."""
    return arg.split("=", 1)[0] if arg.startswith("--") else arg[:2]


def split_at_end_of_options(words: List[str]) -> Tuple[List[str], List[str]]:
    """The words before the first `--`, and those after it, which are operands whatever they look like."""
    if "--" not in words:
        return words, []
    end = words.index("--")
    return words[:end], words[end + 1 :]


class HelpOf(argparse.Action):
    """-h/--help for a parser that reads only part of a command: prints the whole command's help."""

    def __init__(self, option_strings: Sequence[str], dest: str, whole: argparse.ArgumentParser) -> None:
        super().__init__(option_strings, argparse.SUPPRESS, nargs=0, default=argparse.SUPPRESS)
        self.whole = whole

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> None:
        self.whole.print_help()
        parser.exit()


class Command(NamedTuple):
    """One command's grammar, read in two stages so that options and operands
    may come in any order: `options` takes the options wherever they stand and
    leaves the rest, which `operands` then reads in order. `whole` holds both,
    for --help."""

    whole: argparse.ArgumentParser
    options: Parser
    operands: Parser


class CommandLine:
    """The parser, and which options belong where, for the messages argparse
    cannot give: an option before its command, or after another command."""

    def __init__(self) -> None:
        self.parser = Parser(
            prog=PROG,
            description="Print Pedersen hashes of files, standard input or hex strings, one line per input: "
            "64 lowercase hex digits, two spaces, the input's name.",
            epilog=EXAMPLES,
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        self.own: Set[str] = {"-h", "--help"}  # the top level's options (argparse adds the help)
        self.takers: Dict[str, List[str]] = {}  # for each option of a command, the commands that take it
        self.commands: Dict[str, Command] = {}
        version = self.parser.add_argument(
            "--version", action="version", version=f"{PROG} {__version__}", help="print the version and exit"
        )
        self.own.update(version.option_strings)
        hashers = self.parser.add_subparsers(dest="command", metavar="COMMAND", title="hashers", required=True)
        for entry in COMMANDS:
            self._add_command(hashers, entry)

    def _add_command(self, hashers: Any, entry: CommandEntry) -> None:
        whole = hashers.add_parser(entry.name, help=entry.help, description=entry.description)
        options = Parser(prog=whole.prog, add_help=False)
        options.add_argument("-h", "--help", action=HelpOf, whole=whole)
        command = Command(whole, options, Parser(prog=whole.prog, add_help=False, prefix_chars=NO_OPTIONS))
        if entry.name == "zcash":
            self._option(
                entry.name,
                command,
                "--personalization",
                metavar="P",
                type=personalization_argument,
                help="8 ASCII characters, or 16 hex digits for any 8 bytes (default: Zcash_PH)",
            )
        for dest, metavar, text in entry.sizes:
            self._operand(command, dest, metavar=metavar, type=size_argument, help=text)
        if entry.hasher:
            self._add_sources(entry.name, command)
        else:
            self._add_tree_state(entry.name, command)
        self.commands[entry.name] = command

    def _add_tree_state(self, name: str, command: Command) -> None:
        # No short form: the hashers' -c takes a list of digests.
        self._option(
            name,
            command,
            "--check",
            action="store_true",
            help="compare the root with the answer's finalRoot: exit status 1 when they differ",
        )
        self._operand(
            command,
            "file",
            metavar="FILE",
            nargs="?",
            help=f"the z_gettreestate answer or finalState hex; none, or {STDIN_NAME}, reads standard input",
        )

    def _option(self, name: str, command: Command, *flags: str, **settings: Any) -> None:
        command.whole.add_argument(*flags, **settings)
        action = command.options.add_argument(*flags, **settings)
        for flag in action.option_strings:
            self.takers.setdefault(flag, []).append(name)

    @staticmethod
    def _operand(command: Command, name: str, **settings: Any) -> None:
        command.whole.add_argument(name, **settings)
        command.operands.add_argument(name, **settings)

    def _add_sources(self, name: str, command: Command) -> None:
        self._option(
            name,
            command,
            "-c",
            "--check",
            metavar="LIST",
            help="verify the digests in LIST (lines of '<digest>  <name>', as this command prints them; "
            f"{STDIN_NAME} reads standard input): one 'NAME: OK' or 'NAME: FAILED' line each",
        )
        self._option(
            name,
            command,
            "--hex",
            metavar="HEX",
            type=hex_argument,
            action="append",
            help="hash the bytes these hex digits spell instead of files; may be repeated, and HEX is the name printed",
        )
        self._option(
            name,
            command,
            "--bits",
            metavar="N",
            type=size_argument,
            help="hash only the first N bits of each input (bit i is bit i %% 8 of byte i // 8, least significant "
            "first), as a bit string of N bits: an input needs at least N bits, the rest is ignored. "
            "The first ceil(N / 8) bytes of each input are read whole, not streamed",
        )
        # With a default, argparse does not list FILE as missing when a size is.
        self._operand(
            command,
            "files",
            metavar="FILE",
            nargs="*",
            default=[],
            help=f"file to hash; none, or {STDIN_NAME}, reads standard input",
        )

    def check_leading_options(self, argv: Sequence[str]) -> None:
        """Refuses, naming it, an option given before the command.

        argparse would report only the missing command; an option that belongs to
        a command gets a hint to move it after that command."""
        for arg in argv:
            if arg == "--" or arg == STDIN_NAME or not arg.startswith("-"):
                return  # the command (or a positional): argparse takes it from here
            name = option_name(arg)
            # argparse accepts unambiguous prefixes of long options (--vers).
            if name in self.own or (
                name.startswith("--") and len(name) > 2 and len([o for o in self.own if o.startswith(name)]) == 1
            ):
                continue
            if name not in self.takers and name.startswith("--"):
                # An abbreviation, as argparse allows after the command.
                full = [option for option in self.takers if option.startswith(name)]
                name = full[0] if len(full) == 1 else name
            commands = self.takers.get(name, [])
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

    def parse(self, argv: Sequence[str]) -> argparse.Namespace:
        """The arguments, checked; Fatal with the one-line message otherwise.

        Two stages, since argparse mixes options and operands only without
        subcommands: the top level finds the command, then that command's
        options are read wherever they stand and the rest, in order, as its
        operands. `--` ends the options, before the command or after it."""
        self.check_leading_options(argv)
        at = next((i for i, arg in enumerate(argv) if arg == "--" or not looks_like_option(arg)), len(argv))
        if at:
            self.parser.parse_args(argv[:at])  # --help or --version, which end the run
        words = list(argv[at:])
        ended = words[:1] == ["--"]  # before the command: every word after the command is an operand
        if ended:
            words = words[1:]
        if not words or words[0] not in self.commands:
            self.parser.parse_args(words[:1])  # argparse's message for a missing or unknown command
        name, words = words[0], words[1:]
        options, operands = ([], words) if ended else split_at_end_of_options(words)
        command = self.commands[name]
        args, others = command.options.parse_known_args(options)
        for arg in others:
            if looks_like_option(arg):
                self.refuse_option(name, option_name(arg))
        command.operands.parse_args(others + operands, namespace=args)
        args.command = name
        if not next(entry for entry in COMMANDS if entry.name == name).hasher:
            return args
        if args.hex and args.files:
            raise Fatal(f"{PROG} {name}: --hex cannot be combined with FILE arguments")
        if args.check is not None and (args.hex or args.files):
            raise Fatal(f"{PROG} {name}: --check cannot be combined with --hex or FILE arguments")
        return args

    def refuse_option(self, command: str, name: str) -> NoReturn:
        """Refuses an option the command does not take, naming the commands that do."""
        owners = self.takers.get(name)
        if owners:
            raise Fatal(f"{PROG} {command}: {name} is an option of {' and '.join(owners)}, not of {command}")
        raise Fatal(f"{PROG} {command}: unrecognized option '{name}' (see {PROG} {command} --help)")


def parse(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    """The command line `argv` (default: sys.argv[1:]), parsed and checked."""
    return CommandLine().parse(sys.argv[1:] if argv is None else list(argv))
