"""Speed of `lma report` against `Run.features` of the same run.

    python bench/bench_report.py [--repeat 3] [--megabytes 200] [--files 4]

FILES files of about MEGABYTES in all, 4 channels of 1024 samples, written
by the project's writer in a temporary directory removed at the end, each
with its persistent index beside it. Interleaved rounds (median ratio,
range in brackets), so that a busy machine slows both alike:

  report     the whole command in this process: the run opened, its
             features, the sample events read, the page built and written
  features   Run.features() with its defaults (every quantity) over the
             run already open: the aim is a report at most 1.5 times this
             on a 1 GB run
  two        Run.features of the maximum and the sum alone, the quantities
             the report draws: the stricter comparison

On a smaller run Bokeh's fixed cost (building and writing the page, about
a second) weighs more. State the machine beside the figures.
"""

import argparse
import contextlib
import io
import os
import statistics
import sys
import tempfile

from kelvane import LmaFile, Run, cli
from kelvane.writer import write_random_run

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_lmafile import machine, rounds  # noqa: E402

# Bytes per event of write_random_run's default shape, 4x1024 with 8
# pulses of 32 per channel.
EVENT_BYTES = 12 + 4 * (2 + 8 * (8 + 2 * 32))


def report(pattern, out):
    with contextlib.redirect_stdout(io.StringIO()):
        assert cli.main(["report", pattern, "-o", out]) == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--megabytes", type=float, default=200)
    parser.add_argument("--files", type=int, default=4)
    args = parser.parse_args()
    print(machine())
    with tempfile.TemporaryDirectory() as d:
        events = int(args.megabytes * 1e6 / args.files / EVENT_BYTES)
        for k in range(args.files):
            path = os.path.join(d, f"run_{k}.lma")
            write_random_run(path, events, seed=k, distinct=64)
            with LmaFile(path) as f:
                f.save_index()
        pattern = os.path.join(d, "run_*.lma")
        size = sum(os.path.getsize(os.path.join(d, f"run_{k}.lma"))
                   for k in range(args.files))
        out = os.path.join(d, "run.html")
        run = Run(pattern)
        times = rounds(args.repeat, {
            "report": lambda: report(pattern, out),
            "features": lambda: run.features(),
            "two": lambda: run.features(quantities=["maximum", "sum"]),
        })
        run.close()
        print(f"{args.files} files, {len(run)} events, {size / 1e6:.0f} MB, "
              f"with their indices; report {os.path.getsize(out) / 1e6:.1f}"
              f" MB")
        print("median s: " + ", ".join(
            f"{k} {statistics.median(t):.2f}" for k, t in times.items()))
        for base, aim in (("features", "  (aim <= 1.5 on 1 GB)"),
                          ("two", "")):
            r = sorted(a / b for a, b in zip(times["report"], times[base]))
            print(f"report / {base:8s} {statistics.median(r):.2f} "
                  f"({r[0]:.2f}-{r[-1]:.2f}){aim}")


if __name__ == "__main__":
    main()
