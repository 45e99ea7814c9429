"""`lma info FILE...`: per file, the header, the calibration table and the
number of events, and whether the file ends cleanly; with several files, a
total after them."""

from __future__ import annotations

import argparse
from ..batch import damage_message
from ..damage import ending
from ..lmafile import LmaFile
from .base import Command, print_table
from .source import file_size, open_file
from .status import UserError, fail, printable


class InfoCommand(Command):
    name = "info"
    help = "header, calibration and number of events"
    description = ("Print the header, the calibration table and the number "
                   "of events of each file, and whether it ends cleanly; "
                   "with several files, a total after them. A file that "
                   "cannot be read is reported and the others go on.")

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("files", nargs="+", metavar="FILE")

    def run(self, args: argparse.Namespace) -> int:
        status = 0
        total = Total()
        for name in args.files:
            try:
                status = max(status, print_info(name, total))
            except UserError as error:
                status = max(status, fail(str(error), error.status))
                total.unreadable += 1
        if len(args.files) > 1:
            print()
            print(f"{'total':<17}{total}")
        return status


class Total:
    """What the files reported add up to."""

    def __init__(self) -> None:
        self.files = self.events = self.bytes = 0
        self.damaged = self.incomplete = self.unreadable = 0

    def __str__(self) -> str:
        said = (f"{self.files} files, {self.events} events, {self.bytes} "
                f"bytes, {self.damaged} damaged")
        if self.incomplete:
            said += f", {self.incomplete} incomplete"
        return said + (f", {self.unreadable} unreadable"
                       if self.unreadable else "")


def print_info(name: str, total: Total) -> int:
    """Prints one file's block and adds it to `total`; returns the exit
    status it asks for."""
    with open_file(name) as f:
        if total.files:
            print()
        size = print_header(f)
        print(f"{'events':<17}{len(f)}")
        total.files += 1
        total.events += len(f)
        total.bytes += size
        if f.damage is None:
            print(f"{'ends':<17}cleanly")
            return 0
        print(f"{'ends':<17}{ending(f.damage)}")
        if f.damage.incomplete:
            total.incomplete += 1
        else:
            total.damaged += 1
        return fail(damage_message(f))


def print_header(f: LmaFile) -> int:
    """Prints the header and the calibration; returns the file's size."""
    size = file_size(f)
    rows = [("file", printable(f.path)),
            ("file size", f"{size} bytes"),
            ("first event at", f"byte {f.pos_begin}"),
            ("channels in use", ", ".join(map(str, f.channels)) or "none"),
            ("samples/trace", str(f.nsamples)),
            ("sample interval", repr(f.sample_interval))]
    for label, value in rows:
        print(f"{label:<17}{value}")
    if not f.channels:
        return size
    print("calibration")
    table = [("channel", "fullscale", "offset", "baseline", "gain")]
    for c, cal in zip(f.channels, f.calibration.values()):
        table.append((str(c), str(cal.fullscale), str(cal.offset),
                      str(cal.baseline), repr(cal.gain)))
    print_table(table, indent="  ")
    return size
