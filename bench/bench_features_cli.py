"""Speed of `lma features` over many files, in one process and in two.

    python bench/bench_features_cli.py [--files 20] [--megabytes 50]
                                       [--repeat 1] [--suffix .npz]

Writes one file of about MEGABYTES in bench_lmafile's shape "4x1024, 8
pulses of 32" with its maker, and copies it to FILES files of their own.
Then times, interleaved, best of `--repeat`:

  read bytes   reading every file's bytes: the floor, what any reader of
               the files must do anyway
  API loop     LmaFile(name).features() for each file in a Python loop,
               one process: what a user has without the command
  --jobs 1     the command in one process, writing OUT
  --jobs 2     the same in two worker processes (their start included)

and prints each time with its ratio to the floor, and --jobs 1 over
--jobs 2 (on two free cores the aim is at least 1.6). State the build type
and machine (`lscpu`) next to the figures; on a shared machine the cores
this process got are printed too.
"""

import argparse
import contextlib
import io
import os
import shutil
import sys
import tempfile
import time

from bench_lmafile import SHAPES, write_shape

import kelvane  # noqa: E402
from kelvane import cli  # noqa: E402

SHAPE = "4x1024, 8 pulses of 32"


def make_files(folder, count, megabytes):
    first = os.path.join(folder, "f00.lma")
    shape = SHAPES[SHAPE]
    # The size of one event, from a small file of the same records.
    probe = os.path.join(folder, "probe.lma")
    small = write_shape(probe, shape, 1000)
    header = write_shape(probe, shape, 0)
    os.unlink(probe)
    events = int(megabytes * 1e6 * 1000 / (small - header))
    write_shape(first, shape, events)
    names = [first]
    for i in range(1, count):
        names.append(os.path.join(folder, f"f{i:02d}.lma"))
        shutil.copyfile(first, names[-1])
    return names, events


def read_bytes(names):
    for name in names:
        with open(name, "rb") as f:
            while f.read(1 << 24):
                pass


def api_loop(names):
    for name in names:
        with kelvane.LmaFile(name) as f:
            f.features()


def command(names, out, jobs):
    with contextlib.redirect_stdout(io.StringIO()):
        status = cli.main(["features", *names, "-o", out, "--jobs", str(jobs)])
    assert status == 0


def cpu_seconds():
    own = os.times()
    return own.user + own.system + own.children_user + own.children_system


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=20)
    parser.add_argument("--megabytes", type=float, default=50)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--suffix", default=".npz",
                        choices=[".npz", ".csv", ".parquet"])
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        names, events = make_files(folder, args.files, args.megabytes)
        out = os.path.join(folder, "out" + args.suffix)
        size = sum(os.path.getsize(n) for n in names)
        print(f"{args.files} files of {events} events ({SHAPE}), "
              f"{size / 1e6:.0f} MB in all; {os.cpu_count()} cores, "
              f"{len(os.sched_getaffinity(0))} usable; OUT {args.suffix}")
        runs = {"read bytes": lambda: read_bytes(names),
                "API loop": lambda: api_loop(names),
                "--jobs 1": lambda: command(names, out, 1),
                "--jobs 2": lambda: command(names, out, 2)}
        read_bytes(names)   # the page cache warm for all
        best = {key: float("inf") for key in runs}
        cores = {}
        for _ in range(args.repeat):
            for key, run in runs.items():
                c0, t0 = cpu_seconds(), time.perf_counter()
                run()
                seconds = time.perf_counter() - t0
                if seconds < best[key]:
                    best[key] = seconds
                    cores[key] = (cpu_seconds() - c0) / seconds
        floor = best["read bytes"]
        for key, seconds in best.items():
            print(f"{key:11s} {seconds:8.3f} s  {size / 1e6 / seconds:8.0f} "
                  f"MB/s  {seconds / floor:7.1f}x the floor  "
                  f"({cores[key]:.2f} cores busy)")
        print(f"--jobs 2 is {best['--jobs 1'] / best['--jobs 2']:.2f}x as "
              f"fast as --jobs 1; --jobs 1 takes "
              f"{best['--jobs 1'] / best['API loop']:.2f}x the API loop")


if __name__ == "__main__":
    sys.exit(main())
