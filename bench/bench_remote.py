"""Speed of `kelvane.LmaFile` over bytes held elsewhere, next to the same
file on local disk.

    python bench/bench_remote.py [--size MB] [--repeat 5]

One file of the 4 x 1024 shape of bench_lmafile.py (8 pulses of 32 samples
per channel), `--size` megabytes (default 64; about 1000 for the real
figure), read whole in batches of 256 events into reused arrays:
  local      from the local file (the floor: positional reads, page cache
             warm)
  http       from a URL served by an HTTP server on this machine's
             loopback, a process of its own answering range requests from
             the same file with sendfile (read through fsspec and aiohttp)
  bytesio    from an io.BytesIO holding the file's bytes
  download   the user's way without URLs: fetching the whole file over the
             same HTTP server into a local file, then reading it locally
  fetch      the floor of http: fetching the file's bytes through the same
             client (fsspec's range reads) in blocks of 8 MB, nothing else
Every contender runs once per round, the rounds interleaved so that a busy
moment slows them alike; a ratio is the median of the per-round ratios of
speeds to local, with their range. Opening (and scanning) is timed the
same way on its own. State the build type and machine next to the
figures.
"""

import argparse
import io
import os
import socket
import statistics
import subprocess
import sys
import tempfile
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import fsspec  # noqa: E402

from kelvane import LmaFile  # noqa: E402

from bench_lmafile import (BATCH, SHAPES, machine, rounds,  # noqa: E402
                           write_shape)

SHAPE = "4x1024, 8 pulses of 32"
RECORD_BYTES = 2324   # one record of that shape


class FileHandler(BaseHTTPRequestHandler):
    """Answers HEAD and range GETs from one open file."""

    protocol_version = "HTTP/1.1"
    fd = -1
    size = 0

    def log_message(self, *args):
        pass

    def setup(self):
        super().setup()
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def missing(self):
        """404 for anything but the file (its sidecar among them)."""
        if self.path.endswith(".lma"):
            return False
        self.send_response(404)
        self.send_header("Content-Length", "0")
        self.end_headers()
        return True

    def do_HEAD(self):
        if self.missing():
            return
        self.send_response(200)
        self.send_header("Content-Length", str(self.size))
        self.send_header("Accept-Ranges", "bytes")
        self.end_headers()

    def do_GET(self):
        if self.missing():
            return
        start, stop = 0, self.size
        ranged = self.headers.get("Range")
        if ranged:
            first, _, last = ranged.split("=")[1].partition("-")
            start = int(first)
            stop = min(self.size, int(last) + 1) if last else self.size
        self.send_response(206 if ranged else 200)
        self.send_header("Content-Length", str(stop - start))
        self.end_headers()
        self.wfile.flush()
        while start < stop:
            start += os.sendfile(self.connection.fileno(), self.fd, start,
                                 stop - start)


def serve(path):
    """The server process: prints its port, then answers until ended."""
    fd = os.open(path, os.O_RDONLY)
    handler = type("Handler", (FileHandler,),
                   {"fd": fd, "size": os.fstat(fd).st_size})
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    print(server.server_address[1], flush=True)
    server.serve_forever()


def read_batches(f, out=None):
    n = len(f)
    for i in range(0, n, BATCH):
        got = f.read(i, min(i + BATCH, n), out=out)
        if out is None:
            out = got
    return out


def download_and_read(url, folder):
    path = os.path.join(folder, "downloaded.lma")
    fsspec.filesystem("http").get_file(url, path)
    with LmaFile(path) as f:
        read_batches(f)
    os.remove(path)


def fetch_only(url, size):
    fs = fsspec.filesystem("http")
    for start in range(0, size, 8 << 20):
        fs.cat_file(url, start=start, end=min(size, start + (8 << 20)))


def ratios(times, key, base="local"):
    """Median and range over the rounds of key's speed relative to base."""
    r = sorted(b / a for a, b in zip(times[key], times[base]))
    return f"{statistics.median(r):.2f}x ({r[0]:.2f}-{r[-1]:.2f})"


def main():
    if sys.argv[1:2] == ["--serve"]:
        serve(sys.argv[2])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=float, default=64,
                        help="file size in MB (default 64)")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "run.lma")
        events = max(BATCH, int(args.size * 1e6 / RECORD_BYTES))
        size = write_shape(path, SHAPES[SHAPE], events)
        server = subprocess.Popen([sys.executable, __file__, "--serve",
                                   path], stdout=subprocess.PIPE, text=True)
        url = "http://127.0.0.1:%s/run.lma" % server.stdout.readline().strip()
        with open(path, "rb") as raw:
            data = raw.read()
        try:
            opened = {"local": LmaFile(path), "http": LmaFile(url),
                      "bytesio": LmaFile(io.BytesIO(data))}
            outs = {k: read_batches(f) for k, f in opened.items()}
            batches = rounds(args.repeat, {
                **{k: (lambda k=k: read_batches(opened[k], outs[k]))
                   for k in opened},
                "download": lambda: download_and_read(url, folder),
                "fetch": lambda: fetch_only(url, size)})
            opening = rounds(args.repeat, {
                "local": lambda: LmaFile(path).close(),
                "http": lambda: LmaFile(url).close(),
                "bytesio": lambda: LmaFile(io.BytesIO(data)).close()})
        finally:
            server.terminate()
            server.wait()
    local = statistics.median(batches["local"])
    print(f"{SHAPE}: {events} events, {size / 1e6:.0f} MB, batches of "
          f"{BATCH}; {machine()}")
    print(f"  local batches: {size / local / 1e6:.0f} MB/s of file")
    print("  speed against local (median of rounds, range):")
    for key, floor in [("http", 0.5), ("bytesio", 0.8), ("download", None)]:
        goal = "" if floor is None else f"   (goal >= {floor}x)"
        print(f"    {key:9s} batches {ratios(batches, key)}{goal}")
    print(f"    http against download then local: "
          f"{ratios(batches, 'http', 'download')}")
    print(f"    http against its floor, fetching the bytes only: "
          f"{ratios(batches, 'http', 'fetch')}")
    print(f"    fetching the bytes only against local: "
          f"{ratios(batches, 'fetch')}")
    for key in ("http", "bytesio"):
        print(f"    {key:9s} open + scan {ratios(opening, key)}")


if __name__ == "__main__":
    main()
