"""`lma show FILE [--event N | --tag T] [--csv]`: one event's tag and, per
channel, the samples its partial pulses cover and their minimum and
maximum; or its traces as CSV."""

from __future__ import annotations

import argparse
import sys

import numpy as np

from ..lmafile import LmaFile
from .base import Command, add_event_choice, print_table
from .source import find_event, open_file
from .status import printable


class ShowCommand(Command):
    name = "show"
    help = "one event: tag and per-channel summary, or CSV"
    description = ("Print one event's tag and, per channel, the samples "
                   "its partial pulses cover and their minimum and maximum.")

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("file", metavar="FILE")
        add_event_choice(parser)
        parser.add_argument("--csv", action="store_true",
                            help="print the full traces as CSV instead: a "
                                 "time column, then one column per channel")

    def run(self, args: argparse.Namespace) -> int:
        with open_file(args.file) as f:
            index, event = find_event(f, args)
            if args.csv:
                print_csv(f, event.traces)
                return 0
            covered = covered_samples(f, index)
            print(f"event {index} of {printable(f.path)}: tag {event.tag}")
            table = [("channel", "covered", "minimum", "maximum")]
            for c, trace, mask in zip(f.channels, event.traces, covered):
                values = trace[mask]
                low, high = ((brief(values.min().item()),
                              brief(values.max().item()))
                             if values.size else ("-", "-"))
                table.append((str(c), str(int(mask.sum())), low, high))
            if len(table) > 1:
                print_table(table)
        return 0


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
