"""Speed of `LmaFile.hits` against vectorised NumPy and against `features`.

    python bench/bench_hits.py [--repeat 5] [--scale 1.0]

Files of the three shapes of bench_features.py (channels x samples), but
with 1-3 pulses per channel and event of a fast rise and an exponential
decay over tens of samples above a flat zero, stored as a zero-suppressing
digitiser stores them. Every ratio comes from one run with its contenders
interleaved, best of `--repeat`, in the processor time of the measuring
thread (the threads' figure in wall clock and processor time).

Figures:
  vs NumPy      hits() against the same definitions vectorised in NumPy
                over read() batches of 256 (no Python loop over events or
                hits); both are checked to agree first
  vs features   against features() with all nine quantities and the same
                threshold
  2x samples    the same file with twice the samples per trace, same pulses
  threads       two threads on halves against one thread on all of it,
                of a file of the same records at least THREAD_EVENTS long,
                so that starting a thread is not what is measured: the
                speed-up in wall clock, and the processor time the two
                threads keep busy per second (cores busy) against one
                thread's
State the build type and machine next to the figures.
"""

import argparse
import os
import sys
import tempfile
import threading
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

from kelvane import LmaFile  # noqa: E402
from kelvane.writer import Channel, Event, Pulse, header_bytes  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_features import doubled  # noqa: E402
from bench_lmafile import (BATCH, DISTINCT, SHAPES, machine,  # noqa: E402
                           rounds, row)

THRESHOLD = 50.0
TAIL = 8
THREAD_EVENTS = 64000


def shaped_pulses(rng, channels, nsamples):
    """1-3 pulses per channel: a rise over 3 samples, a decay with a time
    constant of 10-30 samples, stored until it falls below 1."""
    out = []
    for _ in range(channels):
        pulses, at = [], int(rng.integers(0, 16))
        for _ in range(int(rng.integers(1, 4))):
            amp = float(rng.uniform(100, 3000))
            tau = float(rng.uniform(10, 30))
            t = np.arange(int(3 + tau * np.log(amp)))
            y = np.where(t < 3, amp * t / 3, amp * np.exp(-(t - 3) / tau))
            y = y[:max(0, nsamples - at)]
            if len(y):
                pulses.append(Pulse(at, np.round(y).astype(int).tolist()))
            at += len(y) + int(rng.integers(1, 20))
            if at >= nsamples:
                break
        out.append(pulses)
    return out


def write_file(path, channels, nsamples, events):
    rng = np.random.default_rng(1)
    records = [Event(tag, shaped_pulses(rng, channels, nsamples)).pack()
               for tag in range(DISTINCT)]
    block = b"".join(records)
    with open(path, "wb") as f:
        f.write(header_bytes({c: Channel(gain=1.0) for c in range(channels)},
                             nsamples=nsamples, sample_interval=1e-9))
        for _ in range(events // DISTINCT):
            f.write(block)
    return events // DISTINCT * DISTINCT


def ragged(starts, stops):
    """The positions of [starts[k], stops[k]) for every k, concatenated,
    and each one's k."""
    lengths = stops - starts
    which = np.repeat(np.arange(len(starts)), lengths)
    before = np.cumsum(lengths) - lengths
    return starts[which] + np.arange(lengths.sum()) - before[which], which


def numpy_hits(f, threshold=THRESHOLD, tail=TAIL):
    """The hits (merge, pre and post 0) of batches of dense traces, every
    step vectorised over the batch: (row, start, peak, amplitude, charge,
    cfd, tail) in the order of `hits`."""
    n, ns = len(f), f.nsamples
    keys = [f"channel{c}" for c in f.channels]
    parts = []
    out = None
    for first in range(0, n, BATCH):
        out = f.read(first, min(first + BATCH, n), out=out)
        y = np.stack([out.traces[k][:len(out.tags)] for k in keys],
                     axis=1).reshape(-1, ns)
        flat = y.ravel()
        above = np.zeros((len(y), ns + 2), bool)
        above[:, 1:-1] = y >= threshold
        edges = np.diff(above.view(np.int8), axis=1)
        r, i = np.nonzero(edges == 1)
        _, j = np.nonzero(edges == -1)
        base = r * ns
        pos, which = ragged(base + i, base + j)
        amp = np.maximum.reduceat(flat[pos], np.r_[0, np.cumsum(j - i)[:-1]])
        at_max = np.where(flat[pos] == amp[which], pos, np.iinfo(np.int64).max)
        peak = np.minimum.reduceat(at_max, np.r_[0, np.cumsum(j - i)[:-1]])
        y0 = flat[np.maximum(base + i - 1, 0)]
        start = np.where(i == 0, 0.0, (i - 1) + (threshold - y0) /
                         (flat[base + i] - y0))
        csum = np.concatenate([np.zeros((len(y), 1)), np.cumsum(y, axis=1)],
                              axis=1).ravel()
        row_c = r * (ns + 1)
        nxt = np.r_[i[1:], ns]
        nxt = np.where(np.r_[r[1:], -1] == r, nxt, ns)
        hi = np.minimum(j, nxt)
        charge = csum[row_c + hi] - csum[row_c + i]
        t0 = np.minimum(peak - base + tail, hi)
        with np.errstate(all="ignore"):
            ratio = np.where(charge != 0, (csum[row_c + hi] -
                                           csum[row_c + t0]) / charge,
                             np.nan)
        # cfd: the last sample below half the amplitude in [lo, peak).
        prev = np.r_[0, hi[:-1]]
        lo = np.where(np.r_[-1, r[:-1]] == r, prev, 0)
        pos, which = ragged(base + lo, peak)
        level = 0.5 * amp
        below = np.where(flat[pos] < level[which], pos, -1)
        m = np.full(len(i), -1)
        np.maximum.at(m, which, below)
        ym = flat[np.maximum(m, 0)]
        with np.errstate(all="ignore"):
            cfd = np.where(m < 0, lo, (m - base) + (level - ym) /
                           (flat[np.maximum(m, 0) + 1] - ym))
        parts.append((r + first * len(keys), start, peak - base, amp, charge,
                      cfd, ratio))
    return tuple(np.concatenate(p) for p in zip(*parts))


def hits(f, start=0, stop=None):
    return f.hits(start, stop, threshold=THRESHOLD, tail=TAIL)


def check_agreement(f):
    mine = hits(f)
    rows, *theirs = numpy_hits(f)
    nkeys = len(f.channels)
    assert np.array_equal(rows // nkeys, mine.event)
    for name, v in zip(("start", "peak", "amplitude", "charge", "cfd",
                        "tail"), theirs):
        np.testing.assert_allclose(getattr(mine, name), v, rtol=1e-9,
                                   err_msg=name)


def in_two_threads(f):
    n = len(f)
    threads = [threading.Thread(target=hits, args=(f, a, b))
               for a, b in ((0, n // 2), (n // 2, n))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def measure(name, path, nsamples, events, repeat, long_path):
    with LmaFile(path) as f, LmaFile(doubled(path, nsamples)) as longer:
        check_agreement(f)
        runners = {
            "numpy": lambda: numpy_hits(f),
            "hits": lambda: hits(f),
            "features": lambda: f.features(threshold=THRESHOLD),
            "doubled": lambda: hits(longer),
        }
        t = {k: min(v) for k, v in
             rounds(repeat, runners, time.thread_time).items()}
        row("hits vs NumPy", name,
            f"{t['numpy'] / t['hits']:.1f}x faster "
            f"({events / t['hits']:,.0f} events/s)", ">= 10x")
        row("hits vs features (nine quantities)", name,
            f"{t['hits'] / t['features']:.2f}x the time", "<= 1.5x")
        row("twice the samples, same pulses", name,
            f"{t['doubled'] / t['hits']:.2f}x the time", "< 1.2x")
    with LmaFile(long_path) as f:
        wall, busy = thread_figures(f, repeat)
        row("two threads on halves vs one", f"{name}, {len(f)} events",
            f"{wall['one'] / wall['two']:.2f}x wall, "
            f"{busy['two'] / busy['one']:.2f}x cores busy",
            ">= 1.7x")


def thread_figures(f, repeat):
    """One thread on all of f against two on its halves, interleaved:
    the best wall time of each, and the most processor time it kept busy
    per second of wall time."""
    runners = {"one": lambda: hits(f), "two": lambda: in_two_threads(f)}
    wall = {k: float("inf") for k in runners}
    busy = {k: 0.0 for k in runners}
    for i in range(repeat):
        for key in sorted(runners, reverse=i % 2 == 1):
            w0, c0 = time.perf_counter(), time.process_time()
            runners[key]()
            w, c = time.perf_counter() - w0, time.process_time() - c0
            wall[key] = min(wall[key], w)
            busy[key] = max(busy[key], c / w)
    return wall, busy


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiply the number of events per file")
    args = parser.parse_args()
    print(f"{machine()}; numpy {np.__version__}; best of "
          f"{args.repeat} interleaved rounds")
    with tempfile.TemporaryDirectory() as folder:
        for k, (name, shape) in enumerate(SHAPES.items()):
            channels, nsamples = shape[0], shape[1]
            events = max(2 * BATCH, int(shape[-1] * args.scale))
            path = os.path.join(folder, f"shape{k}.lma")
            events = write_file(path, channels, nsamples, events)
            long_path = os.path.join(folder, f"shape{k}-long.lma")
            write_file(long_path, channels, nsamples,
                       max(events, int(THREAD_EVENTS * args.scale)))
            label = f"{channels}x{nsamples}"
            print(f"\n{label}: {events} events", flush=True)
            measure(label, path, nsamples, events, args.repeat, long_path)


if __name__ == "__main__":
    main()
