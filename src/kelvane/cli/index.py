"""`lma index FILE... [-o PATH]`: writes each file's record index beside
it (FILE.lmaidx), where opening the file finds it and skips the scan."""

from __future__ import annotations

import argparse
import contextlib
import warnings
from typing import Optional

from .. import sidecar
from ..damage import ending
from ..sidecar import StaleIndexWarning
from .base import Command
from .source import open_file
from .status import UsageError, UserError, fail, printable


class IndexCommand(Command):
    name = "index"
    help = "write each file's record index beside it, for fast opening"
    description = ("Index each file and write its record index to "
                   "FILE.lmaidx beside it (or to PATH with -o, for one "
                   "file), where opening the file finds it. An index "
                   "already there is written anew. A file that cannot be "
                   "read is reported and the others go on.")

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("files", nargs="+", metavar="FILE")
        parser.add_argument("-o", "--output", metavar="PATH",
                            help="where to write the index (one FILE only)")

    def check_arguments(self, parser: argparse.ArgumentParser,
                        args: argparse.Namespace) -> None:
        if args.output is not None and len(args.files) > 1:
            parser.error("-o takes one FILE")

    def run(self, args: argparse.Namespace) -> int:
        if args.output is not None and len(args.files) > 1:
            # A pattern gave several: each index would replace the last.
            raise UsageError(f"-o takes one FILE; the pattern gives "
                             f"{len(args.files)}")
        status = 0
        for name in args.files:
            try:
                write_index(name, args.output)
            except UserError as error:
                status = max(status, fail(str(error), error.status))
        return status


def write_index(name: str, output: Optional[str]) -> None:
    with contextlib.ExitStack() as stack:
        # An index already there that no longer fits is no news here:
        # it is about to be written anew.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", StaleIndexWarning)
            f = stack.enter_context(open_file(name))
        try:
            where = f.save_index(output)
        except ValueError as error:
            # An output that would replace the data file, or anything but
            # an index.
            raise UsageError(str(error)) from None
        except OSError as error:
            target = sidecar.default_path(f.path) if output is None \
                else output
            raise UserError(f"cannot write {printable(target)}: "
                            f"{error.strerror or error}") from None
        except ValueError as error:
            # A path that holds no index to replace (a FIFO, a device).
            raise UsageError(printable(str(error))) from None
        ends = "cleanly" if f.damage is None else \
            ending(f.damage, detail=False)
        print(f"{printable(where)}: {len(f)} events, ends {ends}")
