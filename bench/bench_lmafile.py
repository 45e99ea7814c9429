"""Speed and memory of `kelvane.LmaFile` next to iterating `LmaReader`.

    python bench/bench_lmafile.py [--repeat 5] [--scale 1.0] [--big]
                                  [--old-batch GITREF]

Three file shapes, written with the project's writer: 4 channels x 1024
samples with 8 pulses of 32 samples per channel; 4 x 8192 with one
full-length pulse; 16 x 256 with one pulse of 16 samples. Each file holds
copies of a few dozen distinct packed records, which writes hundreds of
megabytes in seconds. Every ratio comes from one run with its contenders
interleaved, best of `--repeat`, so that a busy machine slows them alike.
The files (about 100 MB, or 1 GB more with `--big`) live in a temporary
directory that is removed at the end.

Figures, as ratios of times or rates:
  batches     f.read of 256 events at a time into reused arrays of an
              open file, against iterating LmaReader; in brackets, with
              opening (and scanning) the file and making the arrays
  whole read  f.read() of the whole file into new arrays, against the floor:
              reading the file's bytes and allocating and writing the
              output arrays; "open + read" counts the scan too
  len         opening a file and len(f), against iterating it
  f[i]        one event at the start against one at the end of the
              largest file (1 GB with --big), once scanned
  threads     two threads reading disjoint halves into their own reused
              arrays, against one thread reading all; in brackets, the
              cores the process got meanwhile (on a busy machine, fewer
              than two), and the same ratio for NumPy overwriting those
              arrays, two threads against one: the memory system's own
              limit for so much output
  pulses      f.pulses() against f.read(): bytes of the result and time
  memory      peak resident growth of a whole read in a fresh process,
              against its output; and of opening a file whose pulse
              length asks for far more samples than the file has
  read_events kelvane.read_events against iterating LmaReader; with
              --old-batch, also the batch module of that git revision
State the build type and machine next to the figures.
"""

import argparse
import importlib.util
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

# Decoding uses no BLAS; its idle worker threads would only compete for
# cores with the measurement.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import kelvane  # noqa: E402
from kelvane import LmaFile  # noqa: E402
from kelvane.lmafmt import LmaReader  # noqa: E402
from kelvane.writer import (Channel, Event, Pulse, header_bytes,  # noqa: E402
                            write_lma)

BATCH = 256
DISTINCT = 64   # distinct records per file, repeated to reach the size


def sparse_pulses(rng, channels, nsamples, pulses, width):
    firsts = rng.choice(np.arange(0, nsamples - width + 1, width), pulses,
                        replace=False)
    return [[Pulse(int(f), rng.integers(-900, 900, width).tolist())
             for f in sorted(firsts)] for _ in range(channels)]


SHAPES = {
    # name: (channels, nsamples, pulses per channel, pulse width, events)
    "4x1024, 8 pulses of 32": (4, 1024, 8, 32, 8000),
    "4x8192, full length": (4, 8192, 1, 8192, 800),
    "16x256, 1 pulse of 16": (16, 256, 1, 16, 8000),
}


def write_shape(path, shape, events):
    """A file of `events` records, copies of DISTINCT packed ones."""
    channels, nsamples, pulses, width, _ = shape
    rng = np.random.default_rng(1)
    calibration = {c: Channel(gain=0.5 + c, baseline=c)
                   for c in range(channels)}
    records = [Event(tag, sparse_pulses(rng, channels, nsamples, pulses,
                                        width)).pack()
               for tag in range(DISTINCT)]
    block = b"".join(records)
    with open(path, "wb") as f:
        f.write(header_bytes(calibration, nsamples=nsamples,
                             sample_interval=1e-9))
        whole, rest = divmod(events, DISTINCT)
        for _ in range(whole):
            f.write(block)
        f.write(b"".join(records[:rest]))
    return os.path.getsize(path)


def best_of(repeat, runners):
    """Best time of each runner over `repeat` interleaved rounds."""
    best = {key: float("inf") for key in runners}
    for _ in range(repeat):
        for key, run in runners.items():
            t0 = time.perf_counter()
            run()
            best[key] = min(best[key], time.perf_counter() - t0)
    return best


# ---------------------------------------------------------------- runners

def iterate_reader(path):
    with LmaReader(path) as r:
        for _ in r:
            pass


def read_batches(f, start, stop, out=None):
    """Returns the arrays reused, of the first batch's size."""
    for i in range(start, stop, BATCH):
        got = f.read(i, min(i + BATCH, stop), out=out)
        out = got if out is None else out
    return out


def open_and_read_batches(path):
    with LmaFile(path) as f:
        read_batches(f, 0, len(f))


def floor(path, shape, events):
    """Reads the file's bytes through one small buffer, allocates the
    output arrays and writes every page of them, which any whole read must
    do."""
    channels, nsamples = shape[0], shape[1]
    chunk = bytearray(2**20)
    with open(path, "rb", buffering=0) as fh:
        while fh.readinto(chunk):
            pass
    # All kept until the end, as a result is: freeing each at once would
    # let the allocator hand the same, already mapped pages out again.
    arrays = [np.empty(events, np.int32), np.empty(events)]
    arrays += [np.empty((events, nsamples)) for _ in range(channels)]
    for array in arrays:
        array.fill(0)
    return arrays


def overwrite(outs, times):
    """Writes every value of the arrays `times` over with NumPy, which
    releases the interpreter lock while it does: what the memory system
    gives threads for writing alone."""
    for _ in range(times):
        for out in outs:
            for a in out.traces.values():
                a[...] = 0.0


def overwrite_in_two_threads(outs, times):
    threads = [threading.Thread(target=overwrite, args=([out], times))
               for out in outs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def in_two_threads(f, outs):
    n = len(f)
    threads = [threading.Thread(target=read_batches, args=(f, a, b, out))
               for (a, b), out in zip(((0, n // 2), (n // 2, n)), outs)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def whole_read_times(path, shape_name, events, repeat):
    shape = SHAPES[shape_name]
    with LmaFile(path) as f:
        return best_of(repeat, {
            "floor": lambda: floor(path, shape, events),
            "read": lambda: f.read(),
            "open+read": lambda: LmaFile(path).read(),
        })


def in_child(what, path, shape_name, events, repeat):
    """Times of `what` measured in a fresh interpreter whose allocator maps
    every large array anew, as a one-off read of a large file gets it.
    (Left to itself, the allocator would hand the floor the pages it freed
    a moment ago, already mapped, and the read not always.)"""
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="131072")
    done = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", what, path,
         shape_name, str(events), str(repeat)],
        env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def cores_used(work):
    """Processor time over wall time while `work` runs."""
    wall, cpu = time.perf_counter(), time.process_time()
    work()
    return (time.process_time() - cpu) / (time.perf_counter() - wall)


def events_at(f, indices):
    for i in indices:
        f[i]


def old_batch(revision):
    """The batch module of a git revision, imported inside the package so
    that its relative imports resolve."""
    source = subprocess.run(
        ["git", "show", f"{revision}:src/kelvane/batch.py"],
        capture_output=True, text=True, check=True,
        cwd=os.path.dirname(os.path.abspath(__file__))).stdout
    spec = importlib.util.spec_from_loader("kelvane._batch_before",
                                           loader=None)
    module = importlib.util.module_from_spec(spec)
    module.__package__ = "kelvane"
    exec(compile(source, f"{revision}:batch.py", "exec"), module.__dict__)
    return module


# ------------------------------------------------------------ memory probe

PROBE = r"""
import json, sys
from kelvane import LmaFile

def resident(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

path, what = sys.argv[1], sys.argv[2]
f = LmaFile(path) if what == "read" else None
# Resets the peak to the current size, so the peak measures this step.
with open("/proc/self/clear_refs", "w") as c:
    c.write("5")
before = resident("VmRSS")
if what == "read":
    events = f.read()
    size = events.tags.nbytes + events.horpos.nbytes + sum(
        a.nbytes for a in events.traces.values())
else:
    f = LmaFile(path)
    size = 0
print(json.dumps({"growth": resident("VmHWM") - before, "output": size,
                  "events": len(f)}))
"""


def probe(path, what):
    done = subprocess.run([sys.executable, "-c", PROBE, path, what],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def write_corrupt(path):
    """One sound record, then one whose pulse claims 2**24 samples (32 MiB)
    and has a hundred."""
    good = Event(1, [[Pulse(0, [1] * 100)]])
    bad = Event(2, [[Pulse(0, [1] * 100, length=2**24)]])
    write_lma(path, {0: Channel()}, [good, bad], nsamples=2**24)


# ------------------------------------------------------------------ report

def row(figure, shape, value, target=""):
    print(f"  {figure:<34}{shape:<24}{value:<36}{target}", flush=True)


def measure_shape(name, shape, path, events, repeat, old):
    channels = shape[0]
    with LmaFile(path) as f:
        assert len(f) == events and f.damage is None
        out = read_batches(f, 0, events)
        t = best_of(repeat, {
            "reader": lambda: iterate_reader(path),
            "batches": lambda: read_batches(f, 0, events, out),
            "open+batches": lambda: open_and_read_batches(path),
            "len": lambda: len(LmaFile(path)),
        })
        row("batches: events/s vs iteration", name,
            f"{events / t['batches']:,.0f} /s, "
            f"{t['reader'] / t['batches']:.2f}x "
            f"(open: {t['reader'] / t['open+batches']:.2f}x)",
            ">= 3x" if shape[3] < shape[1] else ">= 1.3x")
        row("len on a fresh open vs iteration", name,
            f"{t['reader'] / t['len']:.1f}x", ">= 5x")

        t = in_child("whole", path, name, events, repeat)
        row("whole read vs floor", name,
            f"{t['read'] / t['floor']:.2f}x "
            f"(open + read {t['open+read'] / t['floor']:.2f}x)", "<= 1.2x")

        outs = [out, read_batches(f, 0, BATCH)]
        batches = -(-events // BATCH)
        t = best_of(repeat, {
            "one": lambda: read_batches(f, 0, events, out),
            "two": lambda: in_two_threads(f, outs),
            # As many arrays written as the reads write.
            "write one": lambda: overwrite(outs, batches // 2),
            "write two": lambda: overwrite_in_two_threads(outs, batches // 2),
        })
        # Cores busy with other work cap the gain; the cores this process
        # got while two threads read say how much it could be. Output far
        # larger than cache caps it too: so much the memory system gives
        # two threads that only write the same arrays.
        cores = cores_used(lambda: in_two_threads(f, outs))
        row("two threads vs one", name, f"{t['one'] / t['two']:.2f}x "
            f"(cores got: {cores:.2f}; writing alone: "
            f"{t['write one'] / t['write two']:.2f}x)", ">= 1.6x")

        if shape[3] < shape[1]:
            pulses = f.pulses()
            dense = events * channels * shape[1] * 8
            held = sum(a.nbytes for a in pulses)
            t = best_of(repeat, {"read": lambda: f.read(),
                                 "pulses": lambda: f.pulses()})
            row("pulses: dense float64 / bytes", name,
                f"{dense / held:.1f}x fewer bytes", ">= 10x")
            row("pulses: time vs f.read", name,
                f"{t['pulses'] / t['read']:.2f}x the time", "< 1x")

    runners = {"reader": lambda: iterate_reader(path),
               "read_events": lambda: kelvane.read_events(path)}
    if old is not None:
        runners["before"] = lambda: old.read_events(path)
    t = best_of(repeat, runners)
    text = f"{t['read_events'] / t['reader']:.2f}x the time"
    if old is not None:
        text += f" (before: {t['before'] / t['reader']:.2f}x)"
    row("read_events vs iteration", name, text)

    memory = probe(path, "read")
    row("peak memory of a whole read", name,
        f"+{memory['growth'] / 2**20:.0f} MiB for "
        f"{memory['output'] / 2**20:.0f} MiB out")


def measure_random_access(path, repeat, label):
    with LmaFile(path) as f:
        n = len(f)
        calls = 500
        t = best_of(repeat, {
            "start": lambda: events_at(f, range(calls)),
            "end": lambda: events_at(f, range(n - calls, n)),
        })
        row("f[i]: end vs start", label,
            f"{t['start'] / calls * 1e6:.1f} vs "
            f"{t['end'] / calls * 1e6:.1f} us, "
            f"{t['end'] / t['start']:.2f}x", "~1x")


def main():
    if sys.argv[1:2] == ["--child"]:
        what, path, shape_name, events, repeat = sys.argv[2:]
        assert what == "whole"
        print(json.dumps(whole_read_times(path, shape_name, int(events),
                                          int(repeat))))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiply the number of events per file")
    parser.add_argument("--big", action="store_true",
                        help="also write a 1 GB file for f[i]")
    parser.add_argument("--old-batch", metavar="GITREF",
                        help="also time read_events of this revision")
    args = parser.parse_args()
    old = old_batch(args.old_batch) if args.old_batch else None
    print(f"numpy {np.__version__}, {os.cpu_count()} cores; best of "
          f"{args.repeat} interleaved rounds")
    with tempfile.TemporaryDirectory() as folder:
        largest = None
        for i, (name, shape) in enumerate(SHAPES.items()):
            events = max(2 * BATCH, int(shape[-1] * args.scale))
            path = os.path.join(folder, f"shape{i}.lma")
            size = write_shape(path, shape, events)
            print(f"\n{name}: {events} events, {size / 1e6:.0f} MB",
                  flush=True)
            measure_shape(name, shape, path, events, args.repeat, old)
            if largest is None or size > largest[1]:
                largest = (path, size)
        print()
        path, size = largest
        measure_random_access(path, args.repeat, f"{size / 1e6:.0f} MB")
        if args.big:
            path = os.path.join(folder, "big.lma")
            shape = SHAPES["4x1024, 8 pulses of 32"]
            size = write_shape(path, shape, 2**30 // 2324)
            measure_random_access(path, args.repeat, f"{size / 1e6:.0f} MB")
        corrupt = os.path.join(folder, "corrupt.lma")
        write_corrupt(corrupt)
        memory = probe(corrupt, "open")
        row("peak memory, corrupt pulse length", "32 MiB claimed",
            f"+{memory['growth'] / 2**20:.1f} MiB, {memory['events']} "
            f"event(s)", "bytes present")


if __name__ == "__main__":
    main()
