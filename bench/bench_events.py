"""Events per second of the native decoding path, the literal path (taken
when the module's `zeros`/`empty` are rebound) and a floor that only reads
each record's bytes and allocates one zero-filled array per event.

All figures come from one run with the three readers interleaved, so the
ratios are comparable even on a busy machine. Usage:

    python bench/bench_events.py [--repeat 5] [--scale 1.0]
"""

import argparse
import os
import tempfile
import time

# Decoding uses no BLAS; its idle worker threads would only compete for
# cores with the measurement.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import kelvane.lmafmt as lmafmt  # noqa: E402
from kelvane.writer import Channel, Event, Pulse, write_lma  # noqa: E402


def shape_many_short(rng, n_events):
    nsamples, channels = 2000, 4
    events = []
    for tag in range(n_events):
        sections = []
        for _ in range(channels):
            firsts = rng.integers(0, nsamples - 8, size=50)
            sections.append([Pulse(int(f), rng.integers(-900, 900, 6).tolist())
                             for f in firsts])
        events.append(Event(tag, sections))
    return channels, nsamples, events


def shape_full_length(rng, n_events):
    nsamples, channels = 10000, 4
    events = []
    for tag in range(n_events):
        events.append(Event(tag, [
            [Pulse(0, rng.integers(-900, 900, nsamples).tolist())]
            for _ in range(channels)]))
    return channels, nsamples, events


def shape_sparse_channels(rng, n_events):
    nsamples, channels = 1000, 32
    events = []
    for tag in range(n_events):
        busy = set(rng.choice(channels, size=2, replace=False).tolist())
        events.append(Event(tag, [
            [Pulse(int(rng.integers(0, 900)),
                   rng.integers(-900, 900, 20).tolist())] if c in busy else []
            for c in range(channels)]))
    return channels, nsamples, events


SHAPES = {
    "many short pulses": (shape_many_short, 400),
    "full-length pulses": (shape_full_length, 200),
    "many mostly empty channels": (shape_sparse_channels, 2000),
}


def make_file(directory, name, builder, n_events, seed=1):
    channels, nsamples, events = builder(np.random.default_rng(seed),
                                         n_events)
    path = os.path.join(directory, name.replace(" ", "_") + ".lma")
    cal = {c: Channel(gain=0.5 + c, baseline=c) for c in range(channels)}
    write_lma(path, cal, events, nsamples=nsamples)
    sizes = [len(e.pack()) for e in events]
    return path, sizes, (channels, nsamples)


def run_reader(path):
    count = 0
    with lmafmt.LmaReader(path) as r:
        for _ in r:
            count += 1
    return count


def run_native(path, sizes, shape):
    return run_reader(path)


def run_literal(path, sizes, shape):
    # Any object other than the bound functions sends decoding down the
    # literal path; method wrappers add next to no call overhead.
    zeros, empty = lmafmt.zeros, lmafmt.empty
    lmafmt.zeros, lmafmt.empty = np.zeros.__call__, np.empty.__call__
    try:
        return run_reader(path)
    finally:
        lmafmt.zeros, lmafmt.empty = zeros, empty


def run_floor(path, sizes, shape):
    # Keeps the previous array alive while making the next, as a loop over
    # events does, so the allocator sees the same pattern.
    with open(path, "rb") as f:
        f.seek(lmafmt.LmaReader(path).pos_begin)
        last = None
        for size in sizes:
            f.read(size)
            # `last` still holds the previous array during the call.
            last = np.zeros(shape, dtype="float64")
    del last
    return len(sizes)


RUNNERS = {"native": run_native, "literal": run_literal, "floor": run_floor}


def measure(args, directory):
    print(f"numpy {np.__version__}; best of {args.repeat} interleaved runs")
    for name, (builder, n_events) in SHAPES.items():
        n_events = max(1, int(n_events * args.scale))
        path, sizes, shape = make_file(directory, name, builder, n_events)
        best = {k: float("inf") for k in RUNNERS}
        for _ in range(args.repeat):
            for key, run in RUNNERS.items():
                t0 = time.perf_counter()
                assert run(path, sizes, shape) == n_events
                best[key] = min(best[key], time.perf_counter() - t0)
        rate = {k: n_events / t for k, t in best.items()}
        mb = os.path.getsize(path) / 1e6
        print(f"\n{name}: {n_events} events, {mb:.1f} MB")
        for key in RUNNERS:
            print(f"  {key:8s} {rate[key]:12,.0f} events/s")
        print(f"  native/literal speed-up: {rate['native'] / rate['literal']:.1f}x;"
              f" native time / floor time: {rate['floor'] / rate['native']:.2f}")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--scale", type=float, default=1.0,
                   help="multiply the number of events per file")
    args = p.parse_args()
    with tempfile.TemporaryDirectory() as d:
        measure(args, d)


if __name__ == "__main__":
    main()
