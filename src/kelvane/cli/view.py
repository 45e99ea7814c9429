"""`lma view SOURCE... [--port N] [--host H] [--no-browser]`: a live web
page of the run, served from this process until Ctrl-C."""

from __future__ import annotations

import argparse
import os
import re
import sys
from typing import TYPE_CHECKING, List

from .base import Command
from .follow import open_run
from .status import PROG, UsageError, UserError, printable

if TYPE_CHECKING:
    from ..run import Run
    from ..view.serve import Viewer

VIEW_EXTRA = "pip install 'kelvane[view]'"


class ViewCommand(Command):
    name = "view"
    help = "a live web page to browse events and watch spectra"
    description = ("Serve a web page of the run: its files and events, each "
                   "event's traces, and spectra of any quantity, updated as "
                   "records and new files matching a pattern arrive. It "
                   "listens on 127.0.0.1 and ::1 only, unless --host says "
                   "otherwise, and reads only the SOURCEs named here; it "
                   "never writes next to them. Ctrl-C stops it.")

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("files", nargs="+", metavar="SOURCE",
                            help="files, patterns or URLs of the run")
        parser.add_argument("--port", type=port_number, default=5006,
                            metavar="N", help="(default 5006; 0 picks a "
                                              "free one, printed)")
        parser.add_argument("--host", metavar="H",
                            help="the address to listen on instead of "
                                 "loopback; anyone who can reach it can "
                                 "read the run")
        parser.add_argument("--no-browser", action="store_true",
                            help="do not open a browser (none is opened "
                                 "without DISPLAY or WAYLAND_DISPLAY)")
        parser.add_argument("--allow-origin", action="append", default=[],
                            type=origin, metavar="HOST:PORT",
                            help="also accept pages loaded from HOST:PORT, "
                                 "e.g. the local end of an ssh tunnel on "
                                 "another port; repeatable")

    def run(self, args: argparse.Namespace) -> int:
        try:
            from ..view.serve import Viewer
        except ImportError as error:
            if str(error.name or "").startswith("kelvane"):
                raise
            raise UsageError(f"view needs bokeh: {VIEW_EXTRA}") from None
        run = open_run(args)
        title = run_name(run.sources)
        try:
            viewer = Viewer(run, title=title, port=args.port, host=args.host,
                            origins=args.allow_origin)
        except OSError as error:
            raise UserError(f"cannot listen on port {args.port}: "
                            f"{printable(error.strerror or str(error))}"
                            ) from None
        # Ctrl-C from here on is how the page is meant to end.
        try:
            announce(args, viewer, title, run)
            viewer.serve_forever()
        except KeyboardInterrupt:
            pass
        finally:
            viewer.stop()
        return 0


def announce(args: argparse.Namespace, viewer: "Viewer", title: str,
             run: "Run") -> None:
    """The warning for a page others can reach, the line with the address,
    and the browser, where one can be shown."""
    from ..view.serve import is_loopback
    if args.host is not None and not is_loopback(args.host):
        print(f"{PROG}: warning: listening on {printable(args.host)}: "
              f"anyone who can reach port {viewer.port} there can read "
              f"the run", file=sys.stderr)
    n = len(run.files)
    print(f"Serving {printable(title)} ({n} file{'s' if n != 1 else ''}, "
          f"{len(run)} events) at {viewer.url} — Ctrl-C to stop", flush=True)
    if not args.no_browser and (os.environ.get("DISPLAY") or
                                os.environ.get("WAYLAND_DISPLAY")):
        import webbrowser
        viewer.server.io_loop.add_callback(webbrowser.open, viewer.url)


def run_name(sources: List[str]) -> str:
    """What the run is called: the files' common name before their
    numbers ("run0042" for run0042_000.lma, run0042_001.lma, ...)."""
    stems = [os.path.splitext(os.path.basename(s.rstrip("/")))[0]
             for s in sources]
    if len(stems) == 1:
        return stems[0] or "run"
    common = os.path.commonprefix(stems)
    return re.sub(r"[\s_.-]*\d*$", "", common) or \
        common.rstrip("_-. ") or "run"


def port_number(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port: {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"not a port (0 to 65535): {text}")
    return value


def origin(text: str) -> str:
    host, colon, port = text.rpartition(":")
    if not colon or not host or "/" in host:
        raise argparse.ArgumentTypeError(f"not HOST:PORT: {text!r}")
    port_number(port)
    return f"{host.lower()}:{int(port)}"
