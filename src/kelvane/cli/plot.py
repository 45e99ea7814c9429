"""`lma plot FILE... [--event N | --tag T [--all]] -o OUT [--size WxH]`:
each channel's trace of one event against time, as an image; several
files are one run, and with --all every event with the tag is drawn."""

from __future__ import annotations

import argparse
import contextlib
import os
from typing import Tuple

from .base import Command, add_event_choice
from .output import atomic_output, refuse_inputs
from .source import event_of, find_events, open_file
from .status import UsageError, UserError, printable

# What `lma plot` writes, by the output's suffix (any case). Not
# PostScript: it cannot draw the legend's translucent frame and says so.
IMAGE_FORMATS = ("png", "svg", "pdf")


class PlotCommand(Command):
    name = "plot"
    help = "one event's traces as an image"
    description = "Draw each channel's trace of one event against time."

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("files", nargs="+", metavar="FILE",
                            help="one file, or several read as one run")
        add_event_choice(parser)
        parser.add_argument("-o", "--output", required=True, metavar="OUT",
                            help="the image; its suffix picks the format: "
                                 + ", ".join(IMAGE_FORMATS))
        parser.add_argument("--size", type=image_size, default=(800, 450),
                            metavar="WxH", help="in pixels (default 800x450)")

    def run(self, args: argparse.Namespace) -> int:
        # Given a file object, matplotlib cannot infer the format.
        image = image_format(args.output)
        refuse_inputs(args.files, args.output)
        try:
            from matplotlib.figure import Figure
        except ImportError:
            raise UserError("plot needs matplotlib: "
                            "pip install 'kelvane[plot]'") from None
        with contextlib.ExitStack() as stack:
            files = [stack.enter_context(open_file(name))
                     for name in args.files]
            picks = find_events(files, args)
            width, height = args.size
            figure = Figure(figsize=(width / 100, height / 100), dpi=100)
            axes = figure.subplots()
            for pick in picks:
                f = files[pick.file]
                event = event_of(f, pick.event)
                # One event's lines are named by channel; several events'
                # by the event too.
                name = "" if len(picks) == 1 else \
                    f"event {pick.overall}, "
                for c, trace in zip(f.channels, event.traces):
                    axes.plot(f.time, trace, label=f"{name}channel {c}",
                              linewidth=0.8)
            axes.set_xlabel("time (s)")
            axes.set_ylabel("calibrated amplitude")
            first = picks[0]
            f = files[first.file]
            if len(picks) > 1:
                title = f"{len(picks)} events with tag {args.tag}"
            elif len(files) == 1:
                title = (f"{printable(os.path.basename(f.path))}, "
                         f"event {first.event}, tag {f.tags[first.event]}")
            else:
                title = (f"{printable(os.path.basename(f.path))}, "
                         f"event {first.event} (event {first.overall} of "
                         f"{len(files)} files), tag {f.tags[first.event]}")
            axes.set_title(title)
            if f.channels:
                axes.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0),
                            borderaxespad=0.0)
            figure.tight_layout()
        with atomic_output(args.output) as out:
            figure.savefig(out, format=image, dpi=100)
        print(f"wrote {printable(args.output)}")
        return 0


def image_size(text: str) -> Tuple[int, int]:
    try:
        width, height = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not WIDTHxHEIGHT: {text!r}")
    if not (0 < width <= 20000 and 0 < height <= 20000):
        raise argparse.ArgumentTypeError(f"size out of range: {text}")
    return width, height


def image_format(out: str) -> str:
    suffix = os.path.splitext(out)[1][1:].lower()
    if suffix not in IMAGE_FORMATS:
        raise UsageError(f"OUT must end in ."
                         f"{', .'.join(IMAGE_FORMATS)}: {printable(out)}")
    return suffix
