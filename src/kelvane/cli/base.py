"""What every command shares: the `Command` base, the argument parser and
the argument types, and `run_main`, which parses, runs the command and
turns how it ended into an exit status."""

from __future__ import annotations

import argparse
import contextlib
import json
import sys
import warnings
from typing import (Any, Iterator, List, NoReturn, Optional, Sequence, Tuple)

from ..sidecar import StaleIndexWarning
from .source import expand_inputs, use_storage_options
from .status import PROG, guarded_output, printable, reported


class Command:
    """One subcommand of `lma`: its name and help, its arguments, and
    `run`, which returns the exit status or raises `UserError`."""

    name = ""
    help = ""
    description = ""

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        """Adds the command's own arguments to its parser."""

    def check_arguments(self, parser: argparse.ArgumentParser,
                        args: argparse.Namespace) -> None:
        """Refuses, with `parser.error`, arguments that make no sense
        together; called before anything is opened."""

    def run(self, args: argparse.Namespace) -> int:
        raise NotImplementedError


class ArgumentParser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line instead of argparse's usage block; --help has the rest.
        self.exit(2, f"{self.prog}: error: {message} "
                     f"(see {self.prog} --help)\n")


class ShowVersion(argparse.Action):
    """--version; the package metadata is read only when it is asked
    for."""

    def __init__(self, option_strings: Sequence[str], dest: str,
                 **kwargs: Any) -> None:
        super().__init__(option_strings, dest=argparse.SUPPRESS,
                         default=argparse.SUPPRESS, nargs=0,
                         help="print the version of kelvane and exit")

    def __call__(self, parser: argparse.ArgumentParser,
                 namespace: argparse.Namespace, values: Any,
                 option_string: Optional[str] = None) -> NoReturn:
        from .. import __version__
        print(f"{parser.prog} (kelvane) {__version__}")
        parser.exit()


def build_parser(commands: Sequence[Command]) -> ArgumentParser:
    parser = ArgumentParser(
        prog=PROG, description="Inspect, convert and plot LMA files.",
        epilog="Exit status: 0 success, 1 error or damaged record, "
               "2 bad argument, 130 interrupted, 128+N on signal N "
               "(SIGTERM, SIGHUP), 141 output pipe closed.")
    parser.add_argument("--version", action=ShowVersion)
    subparsers = parser.add_subparsers(title="commands", required=True,
                                       metavar="COMMAND",
                                       parser_class=ArgumentParser)
    for command in commands:
        sub = subparsers.add_parser(command.name, help=command.help,
                                    description=command.description)
        command.add_arguments(sub)
        sub.add_argument("--storage-option", dest="storage_options",
                         action="append", type=storage_option, default=[],
                         metavar="KEY=VALUE",
                         help="an option for the filesystem of URL inputs "
                              "(s3://..., https://...), VALUE read as JSON "
                              "where it parses; repeatable")
        sub.set_defaults(command=command)
    return parser


@contextlib.contextmanager
def one_line_index_warnings() -> Iterator[None]:
    """A persistent index ignored for a file is told in one line, as
    errors are; other warnings show as usual."""
    shown = warnings.showwarning

    def show(message: Any, category: Any, filename: str, lineno: int,
             file: Any = None, line: Optional[str] = None) -> None:
        if issubclass(category, StaleIndexWarning):
            print(f"{PROG}: warning: {printable(str(message))}",
                  file=sys.stderr)
        else:
            shown(message, category, filename, lineno, file, line)

    warnings.showwarning = show
    try:
        yield
    finally:
        warnings.showwarning = shown


# Options whose value, a range or a list per channel, may start with a
# minus sign, which argparse would otherwise take for an option of its
# own.
RANGE_OPTIONS = ("--range", "--window", "--threshold", "--fraction",
                 "--polarity")


def joined_ranges(argv: Sequence[Any]) -> List[Any]:
    """`argv` with `--range -20:0` written as `--range=-20:0`, and
    `--polarity -1,2=1` as `--polarity=-1,2=1`."""
    out: List[Any] = []
    k = 0
    while k < len(argv):
        arg = argv[k]
        value = argv[k + 1] if k + 1 < len(argv) else None
        if (arg in RANGE_OPTIONS and isinstance(value, str)
                and value.startswith("-")
                and any(c in value for c in ":,=")):
            out.append(f"{arg}={value}")
            k += 2
            continue
        out.append(arg)
        k += 1
    return out


def run_main(commands: Sequence[Command],
             argv: Optional[List[str]] = None) -> int:
    """Parses `argv` (the process's arguments by default) and runs the
    command it names; returns the exit status. A bad argument raises
    SystemExit(2), as argparse does."""
    def parse_and_run() -> int:
        parser = build_parser(commands)
        args = parser.parse_args(
            joined_ranges(sys.argv[1:] if argv is None else argv))
        command: Command = args.command
        command.check_arguments(parser, args)
        use_storage_options(dict(args.storage_options))

        def run() -> int:
            # Patterns are listed with the storage options just set.
            expand_inputs(args)
            return command.run(args)

        with one_line_index_warnings():
            return reported(run)

    return guarded_output(parse_and_run)


def storage_option(text: str) -> Tuple[str, Any]:
    """KEY=VALUE, the value as JSON where it parses (numbers, true,
    {"endpoint_url": ...}), else as the text given."""
    key, equals, value = text.partition("=")
    if not equals or not key:
        raise argparse.ArgumentTypeError(f"not KEY=VALUE: {text!r}")
    try:
        return key, json.loads(value)
    except ValueError:
        return key, value


def whole_number(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"not a whole number: {text!r}") from None


def event_index(text: str) -> int:
    value = whole_number(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def add_event_choice(parser: argparse.ArgumentParser) -> None:
    """--event N or --tag T (--all: every event with it), for commands
    that take one event; over several files, N counts across them."""
    choice = parser.add_mutually_exclusive_group()
    choice.add_argument("--event", type=whole_number, default=0, metavar="N",
                        help="event index, counted from 0 (default 0); a "
                             "negative one counts from the end, -1 the last")
    choice.add_argument("--tag", type=whole_number, metavar="T",
                        help="the first event with this tag")
    parser.add_argument("--all", action="store_true",
                        help="with --tag, every event with the tag")


def print_table(rows: Sequence[Tuple[str, ...]], indent: str = "") -> None:
    """Right-aligned columns, two spaces apart."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        cells = (cell.rjust(width) for cell, width in zip(row, widths))
        print(indent + "  ".join(cells))
