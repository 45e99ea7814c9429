"""The `lma` command: inspect, convert and plot LMA files.

    lma info FILE...
    lma index FILE... [-o PATH]
    lma show FILE [--event N | --tag T] [--csv]
    lma convert FILE OUT.{npz,zarr,nc} [--dtype float32] [--start N] [--stop N]
    lma convert --pulses FILE... OUT.{parquet,npz,zarr} [--start N] [--stop N]
    lma plot FILE [--event N | --tag T] -o OUT.{png,svg,pdf} [--size WxH]
    lma features FILE... -o OUT.{parquet,csv,npz} [--channels C,C]
                 [--quantities Q,Q] [--window A:B] [--threshold T]
                 [--fraction F] [--polarity {1,-1}] [--jobs N]
    lma spectrum FILE... --channel C (--quantity Q | --hits Q) [--bins N]
                 [--range LO:HI] [--log] [--window A:B] [--threshold T]
                 [--fraction F] [--polarity {1,-1}] -o OUT.{png,svg,pdf}
    lma hits FILE... -o OUT.{parquet,csv,npz} --threshold T [--channels C,C]
             [--polarity {1,-1}] [--window A:B] [--merge N] [--pre N]
             [--post N] [--fraction F] [--rise LO:HI] [--tail N] [--jobs N]
    lma view SOURCE... [--port N] [--host H] [--no-browser]
             [--allow-origin HOST:PORT]
    lma report SOURCE... -o OUT.html

`show` and `plot` take one event: by index, counted from 0 (the default),
or from the end when negative (-1 is the last); or by tag, the first
event that has it.

Exit status: 0 on success, 1 on an error (including a damaged record,
after the events before it have been reported or written, and a failure to
write standard output), 2 on a bad argument, 130 when interrupted, 128 + the
signal's number on SIGTERM or SIGHUP, 141 (as for SIGPIPE) when the reader
of standard output went away. Errors are one line on standard error.

One module per command, each a `Command` (see `base`); a new command is a
module and one more entry in `COMMANDS`.
"""

from __future__ import annotations

from typing import List, Optional

from .base import ArgumentParser, Command
from .base import build_parser as _parser_of
from .base import run_main
from .convert import ConvertCommand
from .features import FeaturesCommand
from .hits import HitsCommand
from .index import IndexCommand
from .info import InfoCommand
from .plot import PlotCommand
from .report import ReportCommand
from .show import ShowCommand
from .spectrum import SpectrumCommand
from .view import ViewCommand

__all__ = ["main", "build_parser", "COMMANDS"]

COMMANDS: List[Command] = [InfoCommand(), ShowCommand(), ConvertCommand(),
                           PlotCommand(), FeaturesCommand(),
                           SpectrumCommand(), HitsCommand(), IndexCommand(),
                           ViewCommand(), ReportCommand()]


def build_parser() -> ArgumentParser:
    """The argument parser of `lma`, every subcommand and option included.

    Returns
    -------
    argparse.ArgumentParser
        A parser whose ``error`` prints one line
        and exits with status 2. The command-line reference of the
        documentation is generated from it.
    """
    return _parser_of(COMMANDS)


def main(argv: Optional[List[str]] = None) -> int:
    """Runs `lma` and returns its exit status.

    Parameters
    ----------
    argv
        The arguments after the command's name; the process's own by
        default.

    Returns
    -------
    int
        The exit status: 0 success, 1 error (a damaged record included),
        2 bad argument, 130 interrupted, 128 + N on signal N.

    Raises
    ------
    SystemExit
        With status 2, for a bad argument (as :mod:`argparse` does).
    """
    return run_main(COMMANDS, argv)
