"""`lma info FILE`: the header, the calibration table and the number of
events, and whether the file ends cleanly."""

from __future__ import annotations

import argparse
import os

from ..batch import damage_message
from ..lmafile import LmaFile
from .base import Command, print_table
from .source import open_file
from .status import fail


class InfoCommand(Command):
    name = "info"
    help = "header, calibration and number of events"
    description = ("Print the header, the calibration table and the number "
                   "of events, and whether the file ends cleanly.")

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("file", metavar="FILE")

    def run(self, args: argparse.Namespace) -> int:
        with open_file(args.file) as f:
            print_header(f)
            print(f"{'events':<17}{len(f)}")
            if f.damage is None:
                print(f"{'ends':<17}cleanly")
                return 0
            print(f"{'ends':<17}with a {f.damage}")
            return fail(damage_message(f))


def print_header(f: LmaFile) -> None:
    rows = [("file", f.path),
            ("file size", f"{os.path.getsize(f.path)} bytes"),
            ("first event at", f"byte {f.pos_begin}"),
            ("channels in use", ", ".join(map(str, f.channels)) or "none"),
            ("samples/trace", str(f.nsamples)),
            ("sample interval", repr(f.sample_interval))]
    for label, value in rows:
        print(f"{label:<17}{value}")
    if not f.channels:
        return
    print("calibration")
    table = [("channel", "fullscale", "offset", "baseline", "gain")]
    for c, cal in zip(f.channels, f.calibration.values()):
        table.append((str(c), str(cal.fullscale), str(cal.offset),
                      str(cal.baseline), repr(cal.gain)))
    print_table(table, indent="  ")
