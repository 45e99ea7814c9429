"""The xarray backend: many files on a cluster, and one file whole.

    python bench/bench_xarray.py [MIB_PER_FILE] [FILES]

Writes one synthetic file with the project's writer (4 channels, 1000
samples per trace, 3 partial pulses of 60 samples per channel), about
MIB_PER_FILE (default 50) MiB, and copies it to FILES (default 20) files
with their own names. Then, from one run:
- the peak of channel 0 over all the files, through
  `open_mfdataset(..., parallel=True)` on a `distributed.LocalCluster` of
  2 worker processes against 1 (one thread each), and the same work in
  plain processes without Dask, for what the machine gives at the time;
- loading one whole file through the backend (`open_dataset(...).load()`)
  against `LmaFile(...).read()` into new arrays.
Every timing is the best of a few repeats, taken in turns with the
timings it is compared with, the files warm in the page cache. Needs
`kelvane[dask]`. State the machine next to the figures.
"""

import contextlib
import functools
import os
import shutil
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
    mib = float(sys.argv[1]) if len(sys.argv) > 1 else 50
    nfiles = int(sys.argv[2]) if len(sys.argv) > 2 else 20
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
