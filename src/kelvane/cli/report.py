"""`lma report SOURCE... -o run.html`: one self-contained HTML file with a
run's summary, spectra and sample events, to mail or attach to a logbook;
it opens in a browser with no network."""

from __future__ import annotations

import argparse
import threading
from typing import Any, Callable, Dict

from .base import Command
from .follow import open_run
from .output import atomic_output, refuse_inputs
from .progress import progress_bar
from .status import UsageError, fail, printable
from .view import VIEW_EXTRA, run_name

# The quantities whose spectra the report draws, of each channel.
QUANTITIES = ["maximum", "sum"]


class ReportCommand(Command):
    name = "report"
    help = "a run's summary, spectra and sample events as one HTML file"
    description = ("Write one HTML file, Bokeh's JavaScript inlined so that "
                   "it opens with no network, holding the files with their "
                   "events and damage, the spectrum of the maximum and of "
                   "the sum of each channel, and a dozen sample events "
                   "(the first, the last, the largest, and evenly spaced "
                   "ones) to choose from in one plot and zoom into. Its "
                   "size stays under 5 MB for any run.")

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
        run = open_run(args)
        with progress_bar(len(run), "report") as progress:
            # The features are computed with the interpreter free, so
            # Bokeh loads and the page is built meanwhile.
            features = in_background(lambda: run.features(
                quantities=QUANTITIES, progress=progress))
            from ..view.report import report_html
            page = report_html(run, QUANTITIES, features,
                               title=run_name(run.sources))
        with atomic_output(args.output) as out:
            out.write(page.encode("utf-8"))
        files = len(run.files)
        print(f"wrote {printable(args.output)}: {files} "
              f"file{'s' if files > 1 else ''}, {len(run)} events")
        status = 0
        for i, damage in run.damage:
            status = fail(f"{run.sources[i]}: {damage}")
        return status


def in_background(work: Callable[[], Any]) -> Callable[[], Any]:
    """Starts `work()` in a thread; returns a function that waits for its
    result, or raises what it raised. The thread does not hold the
    process up: Ctrl-C ends the command without waiting for it."""
    outcome: Dict[str, Any] = {}

    def target() -> None:
        try:
            outcome["result"] = work()
        except BaseException as error:
            outcome["error"] = error

    thread = threading.Thread(target=target, daemon=True)
    thread.start()

    def result() -> Any:
        thread.join()
        if "error" in outcome:
            raise outcome["error"]
        return outcome["result"]

    return result
