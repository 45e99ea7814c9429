"""What the commands that follow a run share: the options, the run opened
from the names as given (so that new files matching a pattern join it),
and the loop that wakes every interval. Ctrl-C ends the loop between two
intervals, after a complete line or output."""

from __future__ import annotations

import argparse
import math
import time
from typing import Any, Callable, Iterator, List

from ..damage import FileReplacedError
from ..run import Run
from . import source
from .status import UserError, printable


def add_follow_options(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("--follow", action="store_true",
                        help=f"keep reading the run as it is written and "
                             f"{what}, each interval, until Ctrl-C; new "
                             f"files that match a pattern join the run")
    parser.add_argument("--interval", type=seconds, default=1.0,
                        metavar="S", help="with --follow (default 1 s)")


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be above 0: {text}")
    return value


def open_run(args: argparse.Namespace) -> Run:
    """The run of the names as the command was given them, patterns
    unexpanded; a failure to open it is one line."""
    names: List[str] = getattr(args, "given", None) or args.files
    try:
        return Run(names, storage_options=dict(source.storage_options) or None)
    except FileNotFoundError as error:
        raise UserError(f"cannot open {printable(str(error))}") from None
    except (OSError, ValueError) as error:
        raise UserError(printable(str(error))) from None


def intervals(run: Run, every: float,
              clock: Callable[[], float] = time.monotonic,
              ) -> Iterator[Any]:
    """After each `every` seconds, the run refreshed: (events now, seconds
    since the last refresh). A replaced file ends it with one line."""
    last = clock()
    while True:
        time.sleep(max(0.0, last + every - clock()))
        try:
            run.refresh()
        except FileReplacedError as error:
            raise UserError(printable(str(error))) from None
        except (OSError, ValueError) as error:
            raise UserError(printable(str(error))) from None
        now = clock()
        yield len(run), now - last
        last = now
