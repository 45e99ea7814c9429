"""`lma report SOURCE... -o run.html`: one self-contained HTML file with a
run's summary, spectra and sample events, to mail or attach to a logbook;
it opens in a browser with no network."""

from __future__ import annotations

import argparse
import os

from .base import Command
from .follow import open_run
from .output import atomic_output, refuse_inputs
from .progress import progress_bar
from .status import UsageError, fail, printable
from .view import VIEW_EXTRA, run_name


class ReportCommand(Command):
    name = "report"
    help = "a run's summary, spectra and sample events as one HTML file"
    description = ("Write one HTML file, Bokeh's JavaScript inlined so that "
                   "it opens with no network, holding the files with their "
                   "events and damage, the spectrum of the maximum and of "
                   "the sum of each channel, and a dozen sample events "
                   "(the first, the last, the largest, and evenly spaced "
                   "ones) to zoom into. Its size stays under 5 MB for any "
                   "run.")

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("files", nargs="+", metavar="SOURCE",
                            help="files, globs or URLs, read as one run")
        parser.add_argument("-o", "--output", required=True, metavar="OUT",
                            help="the HTML file")

    def run(self, args: argparse.Namespace) -> int:
        refuse_inputs(args.files, args.output)
        try:
            import bokeh  # noqa: F401
        except ImportError:
            raise UsageError(f"report needs bokeh: {VIEW_EXTRA}") from None
        from ..view.report import report_html
        run = open_run(args)
        with progress_bar(len(run), "report") as progress:
            page = report_html(run, title=run_name(run.sources),
                               progress=progress)
        with atomic_output(args.output) as out:
            out.write(page.encode("utf-8"))
        files = len(run.files)
        print(f"wrote {printable(args.output)}: {files} "
              f"file{'s' if files > 1 else ''}, {len(run)} events")
        status = 0
        for i, damage in run.damage:
            status = fail(f"{run.sources[i]}: {damage}")
        return status
