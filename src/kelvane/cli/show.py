"""`lma show FILE... [--event N | --tag T [--all]] [--csv]`: one event's
tag and, per channel, the samples its partial pulses cover and their
minimum and maximum; or its traces as CSV. Several files are one run: the
event is counted, or its tag looked for, across them."""

from __future__ import annotations

import argparse
import contextlib
import sys

import numpy as np

from ..lmafile import LmaFile
from .base import Command, add_event_choice, print_table
from .source import event_of, find_events, open_file
from .status import printable


class ShowCommand(Command):
    name = "show"
    help = "one event: tag and per-channel summary, or CSV"
    description = ("Print one event's tag and, per channel, the samples "
                   "its partial pulses cover and their minimum and maximum.")

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("files", nargs="+", metavar="FILE",
                            help="one file, or several read as one run")
        add_event_choice(parser)
        parser.add_argument("--csv", action="store_true",
                            help="print the full traces as CSV instead: a "
                                 "time column, then one column per channel")

    def run(self, args: argparse.Namespace) -> int:
        with contextlib.ExitStack() as stack:
            files = [stack.enter_context(open_file(name))
                     for name in args.files]
            for k, pick in enumerate(find_events(files, args)):
                f = files[pick.file]
                event = event_of(f, pick.event)
                if k:
                    print()
                if args.csv:
                    print_csv(f, event.traces)
                    continue
                where = (f"event {pick.event} of {printable(f.path)}"
                         if len(files) == 1 else
                         f"event {pick.overall} (event {pick.event} of "
                         f"{printable(f.path)})")
                print(f"{where}: tag {event.tag}")
                print_summary(f, pick.event, event.traces)
        return 0


def print_summary(f: LmaFile, index: int, traces: np.ndarray) -> None:
    covered = covered_samples(f, index)
    table = [("channel", "covered", "minimum", "maximum")]
    for c, trace, mask in zip(f.channels, traces, covered):
        values = trace[mask]
        low, high = ((brief(values.min().item()),
                      brief(values.max().item()))
                     if values.size else ("-", "-"))
        table.append((str(c), str(int(mask.sum())), low, high))
    if len(table) > 1:
        print_table(table)


def brief(value: float) -> str:
    """Six significant digits, written as a float reads back: a gain's
    rounding (-1.9000000000000001) is noise to a reader, and 175.0 stays
    175.0. --csv keeps every digit."""
    return repr(float(f"{value:.6g}"))


def print_csv(f: LmaFile, traces: np.ndarray) -> None:
    keys = [f"channel{c}" for c in f.channels]
    # Times to 12 digits, so 3 x 2e-09 reads 6e-09; the traces by repr, the
    # shortest text that reads back as the same float.
    columns = [[f"{t:.12g}" for t in f.time.tolist()]]
    columns += [list(map(repr, trace.tolist())) for trace in traces]
    out = sys.stdout
    out.write(",".join(["time"] + keys) + "\n")
    for row in zip(*columns):
        out.write(",".join(row) + "\n")


def covered_samples(f: LmaFile, index: int) -> np.ndarray:
    """Which samples of each channel in use the partial pulses of event
    `index` cover, one row per channel.

    The traces cannot tell (an uncovered sample and one whose raw value
    equals the baseline are both 0.0), the pulses as stored can. Each
    covers its slice of the trace as the decoder places it, negative first
    indices included; a single sample broadcast into an empty slice covers
    nothing.
    """
    covered = np.zeros((len(f.channels), max(f.nsamples, 0)), dtype=bool)
    row = {c: i for i, c in enumerate(f.channels)}
    pulses = f.pulses(index, index + 1)
    for channel, first, length in zip(pulses.channel.tolist(),
                                      pulses.first.tolist(),
                                      pulses.length.tolist()):
        covered[row[channel], first:first + length] = True
    return covered
