"""`lma spectrum FILE... --channel C --quantity Q -o OUT.{png,svg,pdf}`: a
histogram of one per-event quantity of one channel over the events of all
files; with `--hits`, of one quantity of every hit (the charge of every
pulse, say)."""

from __future__ import annotations

import argparse
import json
import math
import os
from typing import Dict, NamedTuple, Optional, Tuple

import numpy as np

from ..features import QUANTITIES, dtype_of
from ..hits import QUANTITIES as HIT_QUANTITIES
from ..hits import dtype_of as hit_dtype_of
from ..histogram import Histogram as KHistogram
from ..histogram import axis_scale, real_edges, whole_edges
from .base import Command
from .follow import add_follow_options, intervals, open_run
from .features import (add_edge_options, channel, check_settings,
                       positive_int, reported_damage, run_features,
                       settings_of)
from .hits import add_hit_options, all_hits, hit_options
from .output import atomic_output, refuse_inputs
from .plot import IMAGE_FORMATS, image_format
from .status import UserError, printable

# The unit of each quantity on the x axis; the rest count samples.
UNITS = {"maximum": "calibrated units", "minimum": "calibrated units",
         "sum": "calibrated units × samples", "pulses": "count",
         "amplitude": "calibrated units",
         "charge": "calibrated units × samples", "tail": "fraction"}

# Bins of a spectrum unless told, here and in `lma report`.
DEFAULT_BINS = 100


class SpectrumCommand(Command):
    name = "spectrum"
    help = "a histogram of one per-event quantity as an image"
    description = ("Draw the histogram of one quantity of one channel over "
                   "the events of every FILE. Values that are not a number "
                   "(or -1 for a position) have no value and are left out; "
                   "the legend counts them, the entries, and those below "
                   "and above the range.")

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("files", nargs="+", metavar="FILE")
        parser.add_argument("--channel", type=channel, required=True,
                            metavar="C", help="channel index or key")
        which = parser.add_mutually_exclusive_group(required=True)
        which.add_argument("--quantity", choices=QUANTITIES, metavar="Q",
                           help="of every event: " + ", ".join(QUANTITIES))
        which.add_argument("--hits", choices=HIT_QUANTITIES, metavar="Q",
                           help="of every hit (needs --threshold): " +
                                ", ".join(HIT_QUANTITIES))
        parser.add_argument("--bins", type=positive_int, default=DEFAULT_BINS,
                            metavar="N", help=f"(default {DEFAULT_BINS}; "
                                              "whole numbers "
                                              "are binned on whole edges)")
        parser.add_argument("--range", type=value_range, metavar="LO:HI",
                            help="of the histogram (default: of the values)")
        parser.add_argument("--log", action="store_true",
                            help="logarithmic event counts")
        add_edge_options(parser)
        add_hit_options(parser)
        add_follow_options(parser, "write OUT again where events were "
                                   "added (needs --range and --quantity)")
        parser.add_argument("-o", "--output", required=True, metavar="OUT",
                            help="the image, or the counts as JSON (the "
                                 "histogram libraries' serialisation) or "
                                 "CSV; its suffix picks the format: "
                                 + ", ".join(IMAGE_FORMATS + COUNT_FORMATS))

    def check_arguments(self, parser: argparse.ArgumentParser,
                        args: argparse.Namespace) -> None:
        if not args.hits:
            check_settings(parser, settings_of(args, [args.channel],
                                               [args.quantity]))
        elif args.threshold is None:
            parser.error("--hits needs --threshold")
        if args.follow and (args.range is None or args.hits):
            parser.error("--follow needs --range, of a --quantity: the "
                         "spectrum's bins stay the same as it fills")

    def run(self, args: argparse.Namespace) -> int:
        suffix = os.path.splitext(args.output)[1][1:].lower()
        if suffix not in COUNT_FORMATS:
            image_format(args.output)
        refuse_inputs(args.files, args.output)
        if suffix not in COUNT_FORMATS:
            try:
                import matplotlib  # noqa: F401
            except ImportError:
                raise UserError("spectrum needs matplotlib: "
                                "pip install 'kelvane[plot]'") from None
        if args.follow:
            return follow(args)
        quantity = args.hits or args.quantity
        if args.hits:
            results = all_hits(
                args.files, hit_options(args, [args.channel]), args.window,
                1)
            key = f"{args.channel}" if isinstance(args.channel, str) \
                else f"channel{args.channel}"
            values = np.concatenate([r.columns[quantity] for r in results])
            integer = hit_dtype_of(quantity).kind == "i"
            label, counting = f"{key} hit {quantity}", "hits"
            damage = [r.damage for r in results if r.damage is not None]
        else:
            table = run_features(args.files, settings_of(
                args, [args.channel], [quantity]))
            key = table.channels[0]
            values = table.features.values[quantity][:, 0]
            integer = dtype_of(quantity).kind == "i"
            label, counting = f"{key} {quantity}", "events"
            damage = table.damage
        counted = histogram(values, integer, args.bins, args.range)
        write_spectrum(args, counted, integer, quantity, label, counting)
        print(f"wrote {printable(args.output)}: {counted.legend(', ')}")
        return reported_damage(damage)


def write_spectrum(args: argparse.Namespace, counted: "Histogram",
                   integer: bool, quantity: str, label: str,
                   counting: str) -> None:
    """OUT, whole or not at all: the counts, or their image."""
    suffix = os.path.splitext(args.output)[1][1:].lower()
    unit = UNITS.get(quantity, "samples")
    if suffix in COUNT_FORMATS:
        write_counts(args.output, suffix, counted, integer,
                     **counts_names(label, quantity))
        return
    from matplotlib.figure import Figure
    figure = Figure(figsize=(8, 4.5), dpi=100)
    axes = figure.subplots()
    scale = axis_scale(counted.edges)
    axes.stairs(counted.counts, counted.edges / scale, fill=True,
                label=counted.legend())
    axes.set_xlabel(f"{label} "
                    f"({unit if scale == 1 else f'{scale:g} {unit}'})")
    axes.set_ylabel(counting)
    if args.log and counted.counts.any():
        axes.set_yscale("log")
    axes.set_title(printable(os.path.basename(args.files[0]))
                   if len(args.files) == 1
                   else f"{len(args.files)} files")
    # Beside the plot, where it can hide no bin.
    axes.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0),
                borderaxespad=0.0)
    figure.tight_layout()
    with atomic_output(args.output) as out:
        figure.savefig(out, format=suffix, dpi=100)


def follow(args: argparse.Namespace) -> int:
    """The spectrum of the run so far, written to OUT and written again
    every interval with the events added since, which alone are reduced:
    the range stays the one given, values beyond it count as flow."""
    run = open_run(args)
    quantity = args.quantity
    settings = settings_of(args, [args.channel], [quantity])
    options = settings.options(run.files[0])
    edges = {k: v for k, v in options.items()
             if k not in ("channels", "quantities")}
    try:
        h = run.histogram(quantity, args.channel, bins=args.bins,
                          range=args.range, **edges)
    except (ValueError, TypeError, IndexError) as error:
        raise UserError(printable(str(error))) from None
    key = args.channel if isinstance(args.channel, str) \
        else f"channel{args.channel}"
    label = f"{key} {quantity}"

    def write() -> None:
        counted = Histogram(h.edges, h.counts().astype(np.int64), h.entries,
                            h.underflow, h.overflow, h.no_value)
        write_spectrum(args, counted, h.integer, quantity, label, "events")
        print(f"wrote {printable(args.output)}: {counted.legend(', ')}",
              flush=True)

    write()
    done = len(run)
    for events, _ in intervals(run, args.interval):
        if events > done:
            feat = run.features(done, events, **options)
            h.fill(feat.values[quantity][:, 0])
            done = events
            write()
    return 0  # never reached: Ctrl-C ends the loop


# The outputs that hold the counts rather than draw them.
COUNT_FORMATS = ("json", "csv")


def write_counts(out: str, suffix: str, counted: "Histogram", integer: bool,
                 *, name: str, label: str) -> None:
    """The counts as kelvane.Histogram writes them in JSON, or as CSV: low
    edge, high edge, count, the flow bins with infinite edges."""
    try:
        h = KHistogram(counted.edges, counted.counts,
                       underflow=counted.underflow, overflow=counted.overflow,
                       no_value=counted.no_value, integer=integer, name=name,
                       label=label)
    except ValueError as error:
        raise UserError(f"cannot write {printable(out)}: {error}") from None
    with atomic_output(out) as f:
        f.write(counts_text(h, suffix).encode())


def counts_names(label: str, quantity: str) -> Dict[str, str]:
    """The name and axis label that the counts of `label` ("channel0
    maximum") are written under."""
    unit = UNITS.get(quantity, "samples")
    return {"name": label.replace(" ", "_"), "label": f"{label} ({unit})"}


def counts_text(h: KHistogram, suffix: str) -> str:
    """The counts of `h` as written in a file of `suffix`: JSON, as
    kelvane.Histogram serialises itself under its name, or CSV."""
    if suffix == "json":
        return json.dumps({h.name: h.to_dict()}, indent=1) + "\n"
    edges = np.concatenate([[-np.inf], h.edges, [np.inf]])
    return "".join(
        ["low,high,count\n"] +
        [f"{lo!r},{hi!r},{int(c)}\n"
         for lo, hi, c in zip(edges[:-1].tolist(), edges[1:].tolist(),
                              h.counts(flow=True))])


class Histogram(NamedTuple):
    """Event counts between `edges`, and how many values fell outside."""
    edges: np.ndarray
    counts: np.ndarray
    entries: int
    underflow: int
    overflow: int
    no_value: int

    def legend(self, separator: str = "\n") -> str:
        return separator.join([f"entries {self.entries}",
                               f"underflow {self.underflow}",
                               f"overflow {self.overflow}",
                               f"no value {self.no_value}"])


def histogram(values: np.ndarray, integer: bool, bins: int,
              limits: Optional[Tuple[float, float]]) -> Histogram:
    """Counts of `values` within `limits` (both included; by default the
    finite values' own), in `bins` equal bins; whole numbers on whole
    edges, at most `bins` of them. NaN, or -1 for whole numbers, is no
    value."""
    missing = values == -1 if integer else np.isnan(values)
    valid = values[~missing]
    if limits is not None:
        low, high = limits
    else:
        finite = valid[np.isfinite(valid)]
        low, high = ((finite.min().item(), finite.max().item())
                     if finite.size else (0, 0))
    inside = valid[(valid >= low) & (valid <= high)]
    edges = (whole_edges(low, high, bins) if integer
             else real_edges(low, high, bins))
    counts = np.histogram(inside, edges)[0]
    return Histogram(edges, counts, int(inside.size),
                     int(np.count_nonzero(valid < low)),
                     int(np.count_nonzero(valid > high)),
                     int(np.count_nonzero(missing)))


def value_range(text: str) -> Tuple[float, float]:
    try:
        low, high = (float(part) for part in text.split(":"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not LO:HI: {text!r}") from None
    if not (math.isfinite(low) and math.isfinite(high) and low < high):
        raise argparse.ArgumentTypeError(f"not LO < HI, both finite: "
                                         f"{text}")
    return low, high
