"""Opening a large file with its persistent index (FILE.lmaidx) against
opening it with a scan.

    python bench/bench_index.py [--size MB] [--repeat 7]

One file of 4 channels x 1024 samples with 8 pulses of 32 per channel
(the first shape of bench_lmafile.py), about `--size` MB (default 1024),
written with the project's writer into a temporary directory removed at
the end, and its sidecar written by `save_index`. In interleaved rounds
(warm page cache, wall-clock time):

  sidecar     LmaFile(path) and len(f), the sidecar beside it
  scan        the same through a symbolic link, which has no sidecar
              beside it: the scan the sidecar saves, what users do today
  floors      reading the sidecar's bytes (what opening with it must do
              anyway), and reading the file's bytes through 1 MiB (the
              scan's floor)

It prints the sidecar's size and the index's bytes per event, on disk
and in memory.

Each figure is the median of the per-round ratios, with their range.
State the machine (printed) and the build type next to the figures.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_lmafile import (FILE_BUFFER, SHAPES, machine,  # noqa: E402
                           read_bytes, rounds, write_shape)

from kelvane import LmaFile  # noqa: E402

SHAPE = SHAPES["4x1024, 8 pulses of 32"]


def open_and_count(path):
    with LmaFile(path) as f:
        return len(f)


def ratio(times, key, other):
    ratios = sorted(a / b for a, b in zip(times[key], times[other]))
    return (f"{statistics.median(ratios):.1f}x "
            f"({ratios[0]:.1f}-{ratios[-1]:.1f})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", type=float, default=1024,
                        help="file size in MB (default 1024)")
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "big.lma")
        # Records per MB, from a small file of the same records.
        per = write_shape(path, SHAPE, 640) / 640
        events = max(1, int(args.size * 1e6 / per))
        size = write_shape(path, SHAPE, events)
        with LmaFile(path) as f:
            f.save_index()
            assert len(f) == events
            # What the index holds per event in memory: offsets, and the
            # tags and horpos where the index keeps them.
            held = sum(getattr(f, name).nbytes
                       for name in ("offsets", "tags", "horpos")
                       if hasattr(f, name))
        link = os.path.join(folder, "link.lma")
        os.symlink(path, link)
        index = path + ".lmaidx"
        buffer = bytearray(FILE_BUFFER)
        times = rounds(args.repeat, {
            "sidecar": lambda: open_and_count(path),
            "scan": lambda: open_and_count(link),
            "sidecar bytes": lambda: read_bytes(index, buffer),
            "file bytes": lambda: read_bytes(path, buffer),
        })
        print(f"machine: {machine()}")
        print(f"file: {size / 1e6:.0f} MB, {events} events; sidecar "
              f"{os.path.getsize(index) / 1e6:.2f} MB, "
              f"{os.path.getsize(index) / events:.1f} bytes per event; "
              f"index in memory {held / events:.1f} bytes per event")
        best = {k: min(v) for k, v in times.items()}
        print(f"open + len with the sidecar: {best['sidecar'] * 1e3:.2f} ms "
              f"(best), with a scan: {best['scan'] * 1e3:.0f} ms")
        print(f"scan / sidecar:              {ratio(times, 'scan', 'sidecar')}"
              f"   (target >= 50x)")
        print(f"sidecar / its bytes' read:   "
              f"{ratio(times, 'sidecar', 'sidecar bytes')}")
        print(f"scan / the file's read:      "
              f"{ratio(times, 'scan', 'file bytes')}")


if __name__ == "__main__":
    main()
