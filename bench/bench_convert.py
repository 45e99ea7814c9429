"""Events per second of `lma convert` next to plain iteration.

    python bench/bench_convert.py [EVENTS]

Writes a synthetic file with the project's writer (4 channels, 1000
samples per trace, 3 partial pulses of 60 samples per channel), then times
once each: iterating an LmaReader and doing nothing with the events;
kelvane.read_events, which copies them into the output arrays; and the
whole `lma convert` command, which also writes the .npz. State the build
type and machine next to the figures.
"""

import contextlib
import io
import os
import sys
import tempfile
import time

import numpy as np

import kelvane
from kelvane import cli
from kelvane.lmafmt import LmaReader
from kelvane.writer import Channel, Event, Pulse, write_lma

CHANNELS = {c: Channel(gain=0.25, baseline=100) for c in (0, 1, 4, 7)}
NSAMPLES = 1000


def make_file(path, n, **header):
    """Writes `n` events of three 60-sample pulses per channel; `header`
    goes to write_lma. Returns the file size."""
    rng = np.random.default_rng(1)

    def section():
        return [Pulse(int(first), rng.integers(-500, 500, 60).tolist())
                for first in rng.choice(np.arange(0, NSAMPLES - 60, 60), 3,
                                        replace=False)]

    events = (Event(i, [section() for _ in CHANNELS]) for i in range(n))
    return write_lma(path, CHANNELS, events, nsamples=NSAMPLES, **header)


def iterate_only(name):
    with LmaReader(name) as r:
        for _ in r:
            pass


def convert(*argv):
    with contextlib.redirect_stdout(io.StringIO()):
        assert cli.main(["convert", *argv]) == 0


def timed(work):
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000
    with tempfile.TemporaryDirectory() as folder:
        name = os.path.join(folder, "bench.lma")
        size = make_file(name, n)
        out = os.path.join(folder, "bench.npz")
        runs = [("iterate LmaReader", lambda: iterate_only(name)),
                ("read_events", lambda: kelvane.read_events(name)),
                ("lma convert", lambda: convert(name, out)),
                ("lma convert float32",
                 lambda: convert(name, out, "--dtype", "float32"))]
        # On a virtual machine the first touch of memory can be much slower
        # than any later one; pay for it before the clock runs.
        np.ones(n * NSAMPLES * len(CHANNELS))
        print(f"{n} events, {size / 2**20:.1f} MiB, "
              f"{len(CHANNELS)} channels x {NSAMPLES} samples")
        base = None
        for label, work in runs:
            seconds = timed(work)
            base = base or seconds
            print(f"{label:<22}{n / seconds:>10.0f} events/s"
                  f"{seconds / base:>8.2f}x the time of iteration")


if __name__ == "__main__":
    main()
