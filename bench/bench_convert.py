"""Events per second of `lma convert` next to plain iteration, and the
Zarr and netCDF exports next to writing the same dataset through xarray.

    python bench/bench_convert.py [EVENTS] [DISTINCT_EVENTS]

Writes a synthetic file with the project's writer (4 channels, 1000
samples per trace, 3 partial pulses of 60 samples per channel), then times
once each: iterating an LmaReader and doing nothing with the events;
kelvane.read_events, which copies them into the output arrays; and the
whole `lma convert` command, which also writes the .npz.

Then a file in which every event is distinct (`write_random_run`: 4 x 1024
samples, 8 pulses of 32 random samples per channel; 20 000 events make
46 MB), exported to .zarr and .nc as `lma convert` does it
(`kelvane.export`), side by side with what it did before: the xarray
dataset of the file written by `to_zarr` / `to_netcdf` in chunks of 16 MB;
the best of three runs each, taking turns.
Rates are MB of .lma input per second, without the command's start-up;
the floor is decoding alone; CPU s counts every thread's time, so that
CPU s above wall s shows the threads working side by side, and wall s
well above CPU s a machine busy with other work. State the build type
and machine next to the figures.
"""

import contextlib
import io
import os
import shutil
import sys
import tempfile
import time

import numpy as np

import kelvane
from kelvane import cli, export
from kelvane.lmafmt import LmaReader
from kelvane.writer import (Channel, Event, Pulse, write_lma,
                            write_random_run)

# Runs of each export, of which the quickest counts: on a shared machine
# a single run can be slowed several times over by other work.
REPEAT = 3
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


def timed_cpu(work):
    """Seconds of wall time and of CPU time over all the threads."""
    start, cpu = time.perf_counter(), time.process_time()
    work()
    return time.perf_counter() - start, time.process_time() - cpu


def machine():
    """The processor, its cores and how busy the machine was."""
    model = "unknown processor"
    with contextlib.suppress(OSError):
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    return f"{model}, {os.cpu_count()} cores, load average {load:.1f}"


def decode_only(name, dtype):
    with kelvane.LmaFile(name) as f:
        step = 4096
        out = None
        for i in range(0, len(f), step):
            got = f.read(i, min(i + step, len(f)), dtype=dtype, out=out)
            out = got if out is None else out


def through_xarray(name, path, dtype):
    """How `lma convert` wrote .zarr and .nc before `kelvane.export`."""
    import dask
    import warnings
    from kelvane.xarray_backend import lma_dataset
    with kelvane.LmaFile(name) as f:
        ds = lma_dataset(f, dtype)
        row = len(f.channels) * f.nsamples * np.dtype(
            export.DTYPES[dtype]).itemsize
        ds = ds.chunk({"event": max(1, 2**24 // row)})
        with dask.config.set(scheduler="synchronous"), \
                warnings.catch_warnings():
            warnings.simplefilter("ignore")
            if path.endswith(".zarr"):
                ds.to_zarr(path, mode="w")
            else:
                ds.to_netcdf(path, engine="h5netcdf")


def through_export(name, path, dtype):
    with kelvane.LmaFile(name) as f:
        export.export(export.Run([f]), path, dtype=dtype)


def size_of(path):
    if os.path.isdir(path):
        return sum(os.path.getsize(os.path.join(d, f))
                   for d, _, files in os.walk(path) for f in files)
    return os.path.getsize(path)


def exports(folder, n):
    name = os.path.join(folder, "distinct.lma")
    size = write_random_run(name, n)
    print(f"\n{n} distinct events, {size / 1e6:.1f} MB, 4 channels x 1024 "
          f"samples, 8 pulses of 32 samples per channel")
    print(machine())
    print(f"{'':<26}{'MB/s':>8}{'x before':>10}{'x floor':>9}"
          f"{'size / .lma':>13}{'CPU s':>7}{'wall s':>8}")
    for suffix, dtype in [(".zarr", "raw"), (".zarr", "float32"),
                          (".zarr", "float64"), (".nc", "raw"),
                          (".nc", "float32"), (".nc", "float64")]:
        floor = min(timed(lambda: decode_only(name, dtype))
                    for _ in range(REPEAT))
        # The best of a few runs, before and after taking turns, each once
        # the pages the last one wrote are on disk: otherwise it pays for
        # writing them back.
        best = {}
        for _ in range(REPEAT):
            for how, write in [("before", through_xarray),
                               ("after", through_export)]:
                out = os.path.join(folder, f"{how}-{dtype}{suffix}")
                if os.path.isdir(out):
                    shutil.rmtree(out)
                elif os.path.exists(out):
                    os.remove(out)
                os.sync()
                seconds, cpu = timed_cpu(lambda: write(name, out, dtype))
                if how not in best or seconds < best[how][0]:
                    best[how] = (seconds, cpu, size_of(out) / size)
        rows = [(how,) + best[how] for how in ("before", "after")]
        before = rows[0][1]
        for how, seconds, cpu, ratio in rows:
            label = f"{suffix} {dtype} {how}"
            print(f"{label:<26}{size / seconds / 1e6:>8.1f}"
                  f"{before / seconds:>10.2f}{floor / seconds:>9.2f}"
                  f"{ratio:>13.2f}{cpu:>7.2f}{seconds:>8.2f}")


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000
    distinct = int(sys.argv[2]) if len(sys.argv) > 2 else 20_000
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
        exports(folder, distinct)


if __name__ == "__main__":
    main()
