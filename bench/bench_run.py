"""Speed of `kelvane.Run` against the files read one by one, as a user does
without it, and against reading the bytes.

    python bench/bench_run.py [--repeat 5] [--scale 1.0] [--histogram-only]

Six files written by the project's writer (about 14 MB each at scale 1)
in a temporary directory removed at the end. Every ratio comes from one
run with its contenders interleaved (median over rounds, range in
brackets), so that a busy machine slows them alike. The contenders that
run in one thread are timed in that thread's processor time, which time
spent waiting for a core on a shared machine does not count.

Figures:
  features jobs=1   Run.features over the run against a loop of
                    LmaFile.features over the same files, open and
                    indexed, and a concatenation
  features jobs=2   wall clock against jobs=1, the processor time the
                    process used per second of wall clock (2 = both
                    cores), and the processor time against jobs=1 (what
                    the threads cost beyond the work)
  read              Run.read in batches of 256 that cross file boundaries
                    against LmaFile.read of the same events file by file
  histogram         Run.histogram of one quantity against Run.features of
                    that quantity
  floor             Run.features against reading the files' bytes
  refresh           Run.refresh() with nothing new, per file (warm cache)
  follow            from an event's last byte written to its range yielded
                    by Run.follow(interval)
"""

import argparse
import os
import statistics
import sys
import tempfile
import threading
import time

import numpy as np

from kelvane import LmaFile, Run
from kelvane.writer import write_random_run

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_lmafile import BATCH, machine, thread_rounds  # noqa: E402

FILES = 6
EVENTS = 6000   # per file at scale 1: 4 channels of 1024 samples
OPTIONS = dict(threshold=100.0)


def ratio(times, key, base):
    r = sorted(a / b for a, b in zip(times[key], times[base]))
    return f"{statistics.median(r):.2f} ({r[0]:.2f}-{r[-1]:.2f})"


def by_hand(files):
    parts = [f.features(**OPTIONS) for f in files]
    return np.concatenate([p.values["maximum"] for p in parts])


def read_by_hand(files):
    for f in files:
        for a in range(0, len(f), BATCH):
            f.read(a, min(a + BATCH, len(f)))


def read_run(run):
    # Batches aligned on the run, not the files: some cross a boundary.
    for a in range(0, len(run), BATCH):
        run.read(a, min(a + BATCH, len(run)))


def read_bytes(paths):
    buffer = bytearray(1 << 20)
    for p in paths:
        with open(p, "rb", buffering=0) as f:
            while f.readinto(buffer):
                pass


def jobs_figure(run, repeat):
    wall, cpu = {1: [], 2: []}, {1: [], 2: []}
    for _ in range(repeat):
        for jobs in (1, 2):
            w, c = time.perf_counter(), time.process_time()
            run.features(jobs=jobs, **OPTIONS)
            wall[jobs].append(time.perf_counter() - w)
            cpu[jobs].append(time.process_time() - c)
    speed = sorted(a / b for a, b in zip(wall[1], wall[2]))
    busy = sorted(c / w for c, w in zip(cpu[2], wall[2]))
    work = sorted(b / a for a, b in zip(cpu[1], cpu[2]))
    return (f"{statistics.median(speed):.2f}x wall ({speed[0]:.2f}-"
            f"{speed[-1]:.2f}); {statistics.median(busy):.2f} cores busy; "
            f"{statistics.median(work):.2f}x the processor time")


def follow_latency(d, interval, count=10):
    """Seconds from an event's last byte written to its range yielded."""
    source = os.path.join(d, "source.lma")
    write_random_run(source, count + 1, nchannels=2, nsamples=256)
    with LmaFile(source) as f:
        offsets = list(f.offsets) + [os.path.getsize(source)]
    with open(source, "rb") as fh:
        data = fh.read()
    live = os.path.join(d, "live_0.lma")
    with open(live, "wb") as out:
        out.write(data[:offsets[1]])
    run = Run(os.path.join(d, "live_*.lma"))
    written = []

    def writer():
        with open(live, "ab") as out:
            for k in range(1, count + 1):
                time.sleep(interval * 2.5)
                out.write(data[offsets[k]:offsets[k + 1]])
                out.flush()
                written.append(time.perf_counter())

    thread = threading.Thread(target=writer)
    thread.start()
    delays = []
    for new in run.follow(interval, idle_timeout=interval * 6):
        seen = time.perf_counter()
        delays.extend(seen - written[i - 1] for i in new)
    thread.join()
    return delays


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--histogram-only", action="store_true",
                        help="the histogram figure alone, as for a run of "
                             "1 GB (--scale 12)")
    args = parser.parse_args()
    print(machine())
    with tempfile.TemporaryDirectory() as d:
        paths = []
        for k in range(FILES):
            p = os.path.join(d, f"run_{k}.lma")
            write_random_run(p, max(int(EVENTS * args.scale), 1), seed=k,
                             distinct=64)
            paths.append(p)
        size = sum(os.path.getsize(p) for p in paths)
        print(f"{FILES} files, {size / 1e6:.0f} MB; load average "
              f"{os.getloadavg()[0]:.1f}")
        run = Run(os.path.join(d, "run_*.lma"))
        len(run)    # every file indexed, as each of `files` is
        files = [LmaFile(p) for p in paths]
        quantity = dict(quantities=["maximum"], channels=[0])
        histogram = {
            "histogram": lambda: run.histogram("maximum", 0, bins=100,
                                               range=(0.0, 4000.0)),
            "one quantity": lambda: run.features(**quantity)}
        if args.histogram_only:
            times = thread_rounds(args.repeat, histogram)
            print(f"histogram / features        "
                  f"{ratio(times, 'histogram', 'one quantity')}  "
                  f"(aim <= 1.1)")
            return
        times = thread_rounds(args.repeat, {
            "run": lambda: run.features(**OPTIONS),
            "hand": lambda: by_hand(files),
            "read run": lambda: read_run(run),
            "read files": lambda: read_by_hand(files),
            **histogram,
            "bytes": lambda: read_bytes(paths),
        })
        print(f"features jobs=1 / by hand   {ratio(times, 'run', 'hand')}"
              f"  (aim <= 1.05)")
        print(f"features jobs=2             {jobs_figure(run, args.repeat)}"
              f"  (aim >= 1.5x wall, 1.7 cores)")
        print(f"read across files / by file "
              f"{ratio(times, 'read run', 'read files')}  (aim <= 1.1)")
        print(f"histogram / features        "
              f"{ratio(times, 'histogram', 'one quantity')}  (aim <= 1.1)")
        print(f"features / reading bytes    {ratio(times, 'run', 'bytes')}")
        refresh = []
        for _ in range(args.repeat * 20):
            t = time.perf_counter()
            run.refresh()
            refresh.append((time.perf_counter() - t) / FILES)
        print(f"refresh, nothing new        "
              f"{statistics.median(refresh) * 1e3:.3f} ms per file  "
              f"(aim <= 1 ms)")
        for f in files:
            f.close()
        run.close()
        late = follow_latency(d, interval=0.2)
        print(f"follow, interval 200 ms     "
              f"{statistics.median(late) * 1e3:.0f} ms median, "
              f"{max(late) * 1e3:.0f} ms at most  (aim <= 300 ms)")


if __name__ == "__main__":
    main()
