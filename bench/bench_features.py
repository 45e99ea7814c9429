"""Speed of `LmaFile.features` against what a user writes without it.

    python bench/bench_features.py [--repeat 5] [--scale 1.0] [--before DIR]

The three file shapes of bench_lmafile.py, written by its maker. Every
ratio comes from one run with its contenders interleaved, best of
`--repeat`, so that a busy machine slows them alike; in the processor time
of the measuring thread, but for the threads' figure (wall clock). The
files live in a temporary directory that is removed at the end.

Figures:
  vs NumPy      whole-file features() with a threshold (all nine
                quantities) against read() in batches of 256 into reused
                arrays plus NumPy reductions along the samples for maximum,
                argmax, minimum, argmin, sum and the threshold crossing
  vs floor      against reading the file's bytes into a reused buffer
                (warm page cache): what any reduction must do
  2x samples    the same file with twice the samples per trace and the
                same pulses (sparse shapes): time against the original
  threads       two threads on halves of the file against one thread
                on all of it; in brackets, the cores the process got
With --before DIR, where DIR holds another build's installed `kelvane`
package (its site-packages), that build's features() runs in the same
rounds, its values checked equal bit for bit, and its figures follow in
brackets. State the build type and machine next to the figures.
"""

import argparse
import os
import struct
import sys
import tempfile
import threading
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

from kelvane import LmaFile  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_lmafile import (BATCH, SHAPES, before_build,  # noqa: E402
                           best_of, cores_used, machine, read_bytes, rounds,
                           row, write_shape)

THRESHOLD = 100.0
# Where the header keeps the samples per trace.
NSAMPLES_AT = 16


def numpy_features(f, threshold=THRESHOLD):
    """What a user writes today: batches of dense traces, reduced along
    the samples by NumPy."""
    n = len(f)
    keys = [f"channel{c}" for c in f.channels]
    results = {q: np.empty((n, len(keys))) for q in
               ("maximum", "argmax", "minimum", "argmin", "sum", "crossing")}
    out = None
    for start in range(0, n, BATCH):
        stop = min(start + BATCH, n)
        got = f.read(start, stop, out=out)
        out = got if out is None else out
        rows = np.arange(stop - start)
        for c, key in enumerate(keys):
            x = got.traces[key]
            results["maximum"][start:stop, c] = x.max(1)
            results["argmax"][start:stop, c] = x.argmax(1)
            results["minimum"][start:stop, c] = x.min(1)
            results["argmin"][start:stop, c] = x.argmin(1)
            results["sum"][start:stop, c] = x.sum(1)
            above = x >= threshold
            i = above.argmax(1)
            lo, hi = x[rows, i - 1], x[rows, i]
            # Rows that never cross divide by zero; np.where drops them.
            with np.errstate(divide="ignore", invalid="ignore"):
                edge = np.where(i == 0, 0.0,
                                i - 1 + (threshold - lo) / (hi - lo))
            results["crossing"][start:stop, c] = np.where(above.any(1), edge,
                                                          np.nan)
    return results


def same_values(f, other):
    """The other build computes the very same values."""
    mine = f.features(threshold=THRESHOLD).values
    theirs = other.features(threshold=THRESHOLD).values
    assert list(mine) == list(theirs)
    for q, v in mine.items():
        assert np.array_equal(v, theirs[q], equal_nan=True), q


def features(f, start=0, stop=None):
    return f.features(start, stop, threshold=THRESHOLD)


def in_two_threads(f):
    n = len(f)
    threads = [threading.Thread(target=features, args=(f, a, b))
               for a, b in ((0, n // 2), (n // 2, n))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def doubled(path, nsamples):
    """A copy of the file whose traces are twice as long: the header's
    sample count doubled, every pulse where it was."""
    other = path + ".doubled"
    with open(path, "rb") as src, open(other, "wb") as dst:
        data = bytearray(src.read())
        struct.pack_into("<i", data, NSAMPLES_AT, 2 * nsamples)
        dst.write(data)
    return other


def check_agreement(f):
    """The quantities both compute agree, so the race is fair."""
    mine = f.features(0, min(len(f), 2 * BATCH), threshold=THRESHOLD).values
    theirs = numpy_features(f)
    for q, v in mine.items():
        if q in theirs:
            np.testing.assert_allclose(v, theirs[q][:len(v)], rtol=1e-12)


def measure_shape(name, shape, path, events, repeat, before):
    buffer = bytearray(2**20)
    sparse = shape[3] < shape[1]
    with LmaFile(path) as f:
        check_agreement(f)
        runners = {
            "numpy": lambda: numpy_features(f),
            "features": lambda: features(f),
            "floor": lambda: read_bytes(path, buffer),
        }
        threads = {
            "one": lambda: features(f),
            "two": lambda: in_two_threads(f),
        }
        old = None
        if before is not None:
            old = before(path)
            same_values(f, old)
            runners["before"] = lambda: features(old)
            threads["before one"] = lambda: features(old)
            threads["before two"] = lambda: in_two_threads(old)
        then = (lambda text: f" (before: {text})") if old else (
            lambda text: "")
        if sparse:
            longer = LmaFile(doubled(path, shape[1]))
            runners["doubled"] = lambda: features(longer)
        # One thread's work in its own processor time, which others' load
        # on the machine stretches far less than the wall clock; threads
        # against the wall clock.
        t = {key: min(v) for key, v in
             rounds(repeat, runners, time.thread_time).items()}
        wall = best_of(repeat, threads)
        row("features vs NumPy", name,
            f"{t['numpy'] / t['features']:.1f}x faster "
            f"({events / t['features']:,.0f} events/s)" +
            then(old and f"{t['numpy'] / t['before']:.1f}x"),
            ">= 10x" if sparse else ">= 2x")
        row("features vs reading the bytes", name,
            f"{t['features'] / t['floor']:.2f}x the time" +
            then(old and f"{t['before'] / t['floor']:.2f}x"),
            "<= 5x" if shape[1] == 1024 else "")
        if sparse:
            row("twice the samples, same pulses", name,
                f"{t['doubled'] / t['features']:.2f}x the time", "< 1.2x")
            longer.close()
        cores = cores_used(lambda: in_two_threads(f))
        row("two threads on halves vs one", name,
            f"{wall['one'] / wall['two']:.2f}x (cores got: {cores:.2f})" +
            then(old and
                 f"{wall['before one'] / wall['before two']:.2f}x"),
            ">= 1.7x")
        if old is not None:
            old.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiply the number of events per file")
    parser.add_argument("--before", metavar="DIR",
                        help="also time the kelvane package installed in "
                             "DIR, in the same rounds")
    args = parser.parse_args()
    before = before_build(args.before) if args.before else None
    print(f"{machine()}; numpy {np.__version__}; best of "
          f"{args.repeat} interleaved rounds")
    with tempfile.TemporaryDirectory() as folder:
        for i, (name, shape) in enumerate(SHAPES.items()):
            events = max(2 * BATCH, int(shape[-1] * args.scale))
            path = os.path.join(folder, f"shape{i}.lma")
            size = write_shape(path, shape, events)
            print(f"\n{name}: {events} events, {size / 1e6:.0f} MB",
                  flush=True)
            measure_shape(name, shape, path, events, args.repeat, before)


if __name__ == "__main__":
    main()
