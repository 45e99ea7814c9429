"""The xarray backend: many files on threads and on a cluster, and one
file whole.

    python bench/bench_xarray.py [MIB_PER_FILE] [FILES] [--threads]

Writes one synthetic file with the project's writer (4 channels, 1000
samples per trace, 3 partial pulses of 60 samples per channel), about
MIB_PER_FILE (default 50) MiB, and copies it to FILES (default 20) files
with their own names. Then, from one run:
- the per-channel peak per sample over 4 of the files through
  `kelvane.open_dataset(..., chunks=...)` on Dask's threaded scheduler
  with 2 threads, against the engine's speed: `LmaFile.read` batches of
  the same size into the same arrays in a single-threaded loop (median
  of interleaved rounds, opening included in both);
- the peak of channel 0 over all the files, through
  `open_mfdataset(..., parallel=True)` on a `distributed.LocalCluster` of
  2 worker processes against 1 (one thread each), and the same work in
  plain processes without Dask, for what the machine gives at the time;
- loading one whole file through the backend (`open_dataset(...).load()`)
  against `LmaFile(...).read()` into new arrays.
Every other timing is the best of a few repeats, taken in turns with the
timings it is compared with, the files warm in the page cache. Needs
`kelvane[dask]`. With `--threads`, only the threaded peak. State the
machine, and how busy it was, next to the figures.
"""

import contextlib
import functools
import os
import platform
import shutil
import statistics
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import xarray as xr

import kelvane
from bench_convert import CHANNELS, NSAMPLES, make_file

# The file of the conversion benchmark, with a sample interval for `time`.
EVENT_BYTES = 12 + len(CHANNELS) * (2 + 3 * (8 + 2 * 60))
REPEATS = 4
THREAD_ROUNDS = 7
THREAD_FILES = 4
# The chunks of the README's examples, and small ones, where Dask's own
# cost per task shows.
THREAD_CHUNKS = (10_000, 1_000)


def timed(work):
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def peak(files, chunk):
    with xr.open_mfdataset(files, engine="lma", combine="nested",
                           concat_dim="event", parallel=True,
                           coords="minimal", compat="override",
                           chunks={"event": chunk}, inline_array=True) as ds:
        return float(ds.channel0.max().compute())


def plain_peak(names):
    result = -np.inf
    for name in names:
        with kelvane.LmaFile(name) as f:
            result = max(result, f.read(channels=[0]).traces["channel0"].max())
    return result


def interleaved(runs, repeats=REPEATS):
    """The best time of each of `runs` (label -> work), taking turns, so
    that a change in what else the machine runs meets them all alike."""
    times = {label: [] for label in runs}
    for _ in range(repeats):
        for label, work in runs.items():
            times[label].append(timed(work))
    return {label: min(spent) for label, spent in times.items()}


def median_of_rounds(runs, rounds):
    """The median time of each of `runs` (label -> work), taking turns."""
    times = {label: [] for label in runs}
    for _ in range(rounds):
        for label, work in runs.items():
            times[label].append(timed(work))
    return {label: statistics.median(spent) for label, spent in times.items()}


def loop_peaks(files, batch):
    """The per-channel peak over all events of `files`, per sample: the
    engine's batches in a plain single-threaded loop, at its best: into
    the same arrays each time, which stay mapped and in the cache."""
    peaks = {}
    reuse = None
    for name in files:
        with kelvane.LmaFile(name) as f:
            for start in range(0, len(f), batch):
                events = f.read(start, min(start + batch, len(f)), out=reuse)
                reuse = reuse or events
                for key, rows in events.traces.items():
                    top = rows.max(axis=0)
                    peaks[key] = (np.maximum(peaks[key], top) if key in peaks
                                  else top)
    return peaks


def dask_peaks(files, chunk):
    """The same through `kelvane.open_dataset` on Dask's threads."""
    with kelvane.open_dataset(files, chunks={"event": chunk}) as ds:
        return ds.max("event").compute()


def threaded_against_loop(files, chunk, rounds=THREAD_ROUNDS):
    """Dask's threaded scheduler with 2 threads against one thread
    looping over `LmaFile.read` batches of the same size, opening
    included in both."""
    import dask
    with dask.config.set(scheduler="threads", num_workers=2):
        expected = loop_peaks(files, chunk)
        got = dask_peaks(files, chunk)
        assert all(np.array_equal(got[key].values, peak)
                   for key, peak in expected.items())
        return median_of_rounds({
            "dask": functools.partial(dask_peaks, files, chunk),
            "loop": functools.partial(loop_peaks, files, chunk)}, rounds)


def scaling(files, chunk):
    """Dask clusters of 1 and 2 worker processes, and the same work in
    plain processes without Dask (what the machine gives two processes at
    the moment), all alive at once and timed in turns."""
    import distributed
    with contextlib.ExitStack() as stack:
        runs = {}
        for workers in (1, 2):
            cluster = stack.enter_context(distributed.LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True,
                dashboard_address=":0"))
            client = stack.enter_context(
                distributed.Client(cluster, set_as_default=False))
            runs[f"dask{workers}"] = functools.partial(
                on_client, client, files, chunk)
            pool = stack.enter_context(ProcessPoolExecutor(workers))
            runs[f"plain{workers}"] = functools.partial(
                on_pool, pool, workers, files)
        for work in runs.values():
            work()    # workers warm: imports and page cache
        return interleaved(runs)


def on_client(client, files, chunk):
    with client.as_current():
        return peak(files, chunk)


def on_pool(pool, workers, files):
    return max(pool.map(plain_peak,
                        [files[i::workers] for i in range(workers)]))


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    mib = float(args[0]) if args else 50
    nfiles = int(args[1]) if len(args) > 1 else 20
    n = int(mib * 2**20 / EVENT_BYTES)
    with tempfile.TemporaryDirectory() as folder:
        first = os.path.join(folder, "run00.lma")
        size = make_file(first, n, sample_interval=1e-9)
        files = [first]
        for i in range(1, nfiles):
            files.append(os.path.join(folder, f"run{i:02}.lma"))
            shutil.copyfile(first, files[-1])
        # Four tasks per file, so both workers have work to the end.
        chunk = -(-n // 4)
        print(f"{nfiles} files of {n} events, {size / 2**20:.1f} MiB each, "
              f"{len(CHANNELS)} channels x {NSAMPLES} samples")
        print(f"machine: {platform.machine()}, {os.cpu_count()} cores, "
              f"{platform.platform()}, Python {platform.python_version()}")
        print(f"per-channel peak of {THREAD_FILES} files, per sample, "
              f"medians of {THREAD_ROUNDS} rounds:")
        for events in THREAD_CHUNKS:
            took = threaded_against_loop(files[:THREAD_FILES], events)
            print(f"  chunks and batches of {events} events")
            print(f"  Dask threads (2), open_dataset    {took['dask']:8.3f} s"
                  f"   {took['dask'] / took['loop']:5.2f}x the loop's time")
            print(f"  LmaFile.read batches, one thread  {took['loop']:8.3f} s")
        if "--threads" in sys.argv:
            return
        took = scaling(files, chunk)
        one, two = took["dask1"], took["dask2"]
        plain_one, plain_two = took["plain1"], took["plain2"]
        print(f"peak of channel0, 1 worker process   {one:8.3f} s")
        print(f"peak of channel0, 2 worker processes {two:8.3f} s"
              f"   {one / two:5.2f}x faster")
        print(f"without Dask, 1 plain process        {plain_one:8.3f} s")
        print(f"without Dask, 2 plain processes      {plain_two:8.3f} s"
              f"   {plain_one / plain_two:5.2f}x faster")

        def engine():
            with kelvane.LmaFile(first) as f:
                f.read()

        def backend():
            with xr.open_dataset(first, engine="lma") as ds:
                ds.load()

        # The best of ten each: one whole file takes a fraction of a
        # second, which a busy machine easily disturbs.
        took = interleaved({"engine": engine, "backend": backend}, 10)
        direct, through = took["engine"], took["backend"]
        print(f"LmaFile.read, whole file             {direct:8.3f} s")
        print(f"open_dataset(...).load(), whole file {through:8.3f} s"
              f"   {through / direct:5.2f}x the time")


if __name__ == "__main__":
    main()
