"""The server of `lma view`: Bokeh's, in this process on the Tornado IO
loop, bound to loopback unless told otherwise, and accepting websockets
only from the origins it is told of.

    server = Viewer(run, port=0)
    print(server.url)
    server.serve_forever()          # until Ctrl-C
"""

from __future__ import annotations

import ipaddress
import os
import socket
from typing import Any, List, Optional, Sequence

from bokeh.application import Application
from bokeh.application.handlers.function import FunctionHandler
from bokeh.server.server import BaseServer
from bokeh.server.tornado import BokehTornado
from bokeh.server.util import create_hosts_allowlist
from tornado import netutil
from tornado.httpserver import HTTPServer
from tornado.ioloop import IOLoop, PeriodicCallback

from ..run import Run
from .app import Page
from .data import Watched

__all__ = ["Viewer", "is_loopback", "LOOPBACK"]

# Both loopback addresses, so "localhost" works whichever it resolves to.
LOOPBACK = ("127.0.0.1", "::1")

# How often the run is looked at for new records and files (ms).
REFRESH_MS = 500

# Settings Bokeh takes from the environment that would widen what the page
# accepts or make it fetch its scripts from the network.
_OVERRIDES = ("BOKEH_ALLOW_WS_ORIGIN", "BOKEH_RESOURCES", "BOKEH_CDN_VERSION")


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


class Viewer:
    """`run`'s page served at `host` (both loopback addresses when None) on
    `port` (0: a free one). Websockets are accepted from localhost:P and
    127.0.0.1:P, from `host` itself when it is not loopback, and from each
    HOST:PORT of `origins`."""

    def __init__(self, run: Run, *, title: str, port: int = 5006,
                 host: Optional[str] = None,
                 origins: Sequence[str] = ()) -> None:
        for name in _OVERRIDES:
            os.environ.pop(name, None)
        self.watched = Watched(run)
        self.host = host
        self.sockets = _bind(LOOPBACK if host is None else (host,), port)
        self.port = self.sockets[0].getsockname()[1]
        allowed = [f"localhost:{self.port}", f"127.0.0.1:{self.port}"]
        if host is not None and not is_loopback(host):
            allowed.append(f"{host}:{self.port}")
        allowed.extend(origins)
        self.origins = create_hosts_allowlist(allowed, self.port)

        def page(doc: Any) -> None:
            Page(self.watched, doc, title)

        try:
            tornado_app = BokehTornado(
                {"/": Application(FunctionHandler(page))},
                extra_websocket_origins=self.origins,
                absolute_url=self.url.rstrip("/"))
            self.http = HTTPServer(tornado_app)
            self.http.add_sockets(self.sockets)
        except Exception:
            for s in self.sockets:
                s.close()
            raise
        self.server = BaseServer(IOLoop.current(), tornado_app, self.http)
        self.refresher = PeriodicCallback(self.watched.refresh, REFRESH_MS)

    @property
    def url(self) -> str:
        host = "127.0.0.1" if self.host is None else self.host
        if ":" in host and not host.startswith("["):
            host = f"[{host}]"
        return f"http://{host}:{self.port}/"

    def start(self) -> None:
        self.server.start()
        self.refresher.start()

    def serve_forever(self) -> None:
        """Serves until Ctrl-C (KeyboardInterrupt), then stops and frees
        the port."""
        self.start()
        try:
            self.server.io_loop.start()
        finally:
            self.stop()

    def stop(self) -> None:
        """Stops serving and closes the sockets; again, does nothing."""
        if not self.sockets:
            return
        self.refresher.stop()
        self.server.stop(wait=False)
        sockets, self.sockets = self.sockets, []
        for s in sockets:
            s.close()


def _bind(hosts: Sequence[str], port: int) -> List[socket.socket]:
    """Listening sockets on each of `hosts`, all on one port: the first
    picks it when `port` is 0. A loopback address the machine lacks (no
    IPv6) is left out; any other failure is an error."""
    sockets: List[socket.socket] = []
    try:
        for host in hosts:
            try:
                sockets.extend(netutil.bind_sockets(port, host.strip("[]")))
            except OSError:
                if host == LOOPBACK[1] and sockets:
                    continue
                raise
            port = sockets[0].getsockname()[1]
    except Exception:
        for s in sockets:
            s.close()
        raise
    return sockets
