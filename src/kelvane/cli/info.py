"""`lma info FILE... [--follow]`: per file, the header, the calibration
table and the number of events, and whether the file ends cleanly; with
several files, a total after them. With --follow, instead, one line per
interval while the run is written."""

from __future__ import annotations

import argparse
import time
from typing import Any

from ..batch import damage_message
from ..damage import ending
from ..lmafile import LmaFile
from .base import Command, print_table
from .follow import add_follow_options, intervals, open_run
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
        add_follow_options(parser, "print a line of the events, the rate "
                                   "over the interval and the damage")

    def run(self, args: argparse.Namespace) -> int:
        if args.follow:
            return follow(args)
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


def follow(args: argparse.Namespace) -> int:
    """A line per interval: the time, the run's files and events, events
    per second over the interval, and its damage (the last file's
    incomplete record is not damage while the run is written)."""
    run = open_run(args)
    print(progress_line(run, 0.0), flush=True)
    before = len(run)
    for events, took in intervals(run, args.interval):
        print(progress_line(run, (events - before) / took), flush=True)
        before = events
    return 0  # never reached: Ctrl-C ends the loop


def progress_line(run: Any, rate: float) -> str:
    damage = "; ".join(f"{printable(run.sources[i])}: {d}"
                       for i, d in run.damage)
    return (f"{time.strftime('%H:%M:%S')}  {len(run)} events in "
            f"{len(run.files)} files  {rate:.1f} events/s  "
            f"{damage or 'no damage'}")
