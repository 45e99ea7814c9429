"""Speed and memory of `kelvane.LmaFile` next to iterating `LmaReader`.

    python bench/bench_lmafile.py [--repeat 5] [--scale 1.0] [--big]
                                  [--old-batch GITREF] [--before DIR]

Three file shapes, written with the project's writer: 4 channels x 1024
samples with 8 pulses of 32 samples per channel; 4 x 8192 with one
full-length pulse; 16 x 256 with one pulse of 16 samples. Each file holds
copies of a few dozen distinct packed records, which writes hundreds of
megabytes in seconds. Every ratio comes from one run with its contenders
interleaved, so that a busy machine slows them alike: against a floor, the
median of the ratios of each round and their range, in the processor time
of the measuring thread; against iteration, best of `--repeat`.
The files (about 100 MB, or 1 GB more with `--big`) live in a temporary
directory that is removed at the end.

Figures, as ratios of times or rates:
  batches vs floor
              f.read of 256 events at a time into reused arrays of an
              open file, against reading each batch's bytes into one
              reused buffer and filling the same arrays once
  open + len vs floor
              opening a file and len(f), against reading the file's bytes
              through one reused buffer of 1 MiB (warm page cache)
  batches     the same batches against iterating LmaReader; in brackets,
              with opening (and scanning) the file and making the arrays.
              Iteration writes each event into one array that stays in
              cache, so this ratio depends on the cache: it differs from
              machine to machine far more than the floor ratios
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
With --before DIR, where DIR holds another build's installed `kelvane`
package (its site-packages), the floor ratios are measured for that build
too, in the same rounds. State the build type and machine next to the
figures.
"""

import argparse
import importlib.util
import json
import os
import statistics
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


def rounds(repeat, runners, clock=time.perf_counter):
    """Each runner's time in each of `repeat` interleaved rounds; each
    round starts with the next runner, so none always follows the same
    one."""
    times = {key: [] for key in runners}
    keys = list(runners)
    for i in range(repeat):
        shift = i % len(keys)
        for key in keys[shift:] + keys[:shift]:
            t0 = clock()
            runners[key]()
            times[key].append(clock() - t0)
    return times


def thread_rounds(repeat, runners):
    """rounds() in the processor time of this thread, its own work and the
    kernel's for it: time spent waiting for a core on a busy machine does
    not count. For runners of one thread only."""
    return rounds(repeat, runners, time.thread_time)


def best_of(repeat, runners):
    """Best time of each runner over `repeat` interleaved rounds."""
    return {key: min(t) for key, t in rounds(repeat, runners).items()}


def against(times, key, floor_key):
    """Median and range of the per-round ratios of `key` to `floor_key`:
    the two ran side by side in each round, so a busy moment slows both."""
    ratios = sorted(a / b for a, b in zip(times[key], times[floor_key]))
    return (f"{statistics.median(ratios):.2f}x "
            f"({ratios[0]:.2f}-{ratios[-1]:.2f})")


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


def batch_spans(f, size, events):
    """Per batch: its byte offset and size in the file, and its number of
    events."""
    offsets = list(f.offsets) + [size]
    return [(offsets[i], offsets[min(i + BATCH, events)] - offsets[i],
             min(BATCH, events - i)) for i in range(0, events, BATCH)]


def batch_floor(fd, steps):
    """Reads each batch's bytes into one reused buffer and writes its rows
    of the output arrays once, with a fill: what any read of the batch
    into those arrays must do."""
    for offset, buffer, rows in steps:
        os.preadv(fd, [buffer], offset)
        for a in rows:
            a.fill(0)


def batch_floor_steps(spans, out):
    """batch_floor's work, sliced beforehand: one buffer for every batch,
    the rows of `out` each batch writes."""
    buffer = memoryview(bytearray(max(size for _, size, _ in spans)))
    arrays = [out.tags, out.horpos, *out.traces.values()]
    return [(offset, buffer[:size], [a[:n] for a in arrays])
            for offset, size, n in spans]


# The size of the scan's own reads. (Which size reads a file fastest
# depends on the file and the machine; here none of 64 KiB, 256 KiB, 1 MiB
# and 4 MiB was fastest for every file.)
FILE_BUFFER = 2**20


def read_bytes(path, buffer):
    """Opens the file and reads all of its bytes through `buffer`: the
    floor of opening and indexing it."""
    with open(path, "rb", buffering=0) as fh:
        while fh.readinto(buffer):
            pass


def open_and_count(cls, path):
    with cls(path) as f:
        return len(f)


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


def before_build(folder):
    """LmaFile of the `kelvane` package in `folder`, imported as
    kelvane_before beside this build's (its extensions are other files,
    with state of their own)."""
    home = os.path.join(folder, "kelvane")
    spec = importlib.util.spec_from_file_location(
        "kelvane_before", os.path.join(home, "__init__.py"),
        submodule_search_locations=[home])
    module = importlib.util.module_from_spec(spec)
    sys.modules["kelvane_before"] = module
    spec.loader.exec_module(module)
    return module.LmaFile


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
    print(f"  {figure:<40}{shape:<24}{value:<36}{target}", flush=True)


def measure_floors(name, path, events, repeat, before):
    """Batches and open + len against their floors, for this build and,
    given, another one, all in the same rounds."""
    builds = {"": LmaFile}
    if before is not None:
        builds[" before"] = before
    size = os.path.getsize(path)
    files = {label: cls(path) for label, cls in builds.items()}
    fd = os.open(path, os.O_RDONLY)
    try:
        # All write the same arrays, which then have the same place in
        # the caches; each build takes them in its own Events.
        out = read_batches(files[""], 0, events)
        runners = {}
        for label, f in files.items():
            assert len(f) == events and f.damage is None
            events_type = sys.modules[type(f).__module__].Events
            mine = events_type(out.tags, out.horpos, out.traces)
            runners["batches" + label] = (
                lambda f=f, mine=mine: read_batches(f, 0, events, mine))
        steps = batch_floor_steps(batch_spans(files[""], size, events), out)
        runners["floor"] = lambda: batch_floor(fd, steps)
        t = thread_rounds(repeat, runners)
        for label in builds:
            row("batches vs floor" + label, name,
                against(t, "batches" + label, "floor"), "<= 1.2x")
    finally:
        os.close(fd)
        for f in files.values():
            f.close()
    buffer = bytearray(FILE_BUFFER)
    runners = {"bytes": lambda: read_bytes(path, buffer)}
    for label, cls in builds.items():
        runners["len" + label] = lambda cls=cls: open_and_count(cls, path)
    t = thread_rounds(repeat, runners)
    for label in builds:
        row("open + len vs reading bytes" + label, name,
            against(t, "len" + label, "bytes"), "<= 1.5x")


def measure_shape(name, shape, path, events, repeat, old, before):
    channels = shape[0]
    measure_floors(name, path, events, repeat, before)
    with LmaFile(path) as f:
        assert len(f) == events and f.damage is None
        out = read_batches(f, 0, events)
        t = best_of(repeat, {
            "reader": lambda: iterate_reader(path),
            "batches": lambda: read_batches(f, 0, events, out),
            "open+batches": lambda: open_and_read_batches(path),
            "len": lambda: len(LmaFile(path)),
        })
        row("batches vs iteration (cache)", name,
            f"{events / t['batches']:,.0f} /s, "
            f"{t['reader'] / t['batches']:.2f}x "
            f"(open: {t['reader'] / t['open+batches']:.2f}x)",
            ">= 3x" if shape[3] < shape[1] else ">= 1.3x")
        row("open + len vs iteration (cache)", name,
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


def machine():
    """The processor's model name and the cores this process may use."""
    model = "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model}, {len(os.sched_getaffinity(0))} cores"


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
    parser.add_argument("--before", metavar="DIR",
                        help="also measure the floor ratios of the kelvane "
                             "package installed in DIR")
    args = parser.parse_args()
    old = old_batch(args.old_batch) if args.old_batch else None
    before = before_build(args.before) if args.before else None
    print(f"{machine()}; numpy {np.__version__}; {args.repeat} interleaved "
          f"rounds")
    with tempfile.TemporaryDirectory() as folder:
        largest = None
        for i, (name, shape) in enumerate(SHAPES.items()):
            events = max(2 * BATCH, int(shape[-1] * args.scale))
            path = os.path.join(folder, f"shape{i}.lma")
            size = write_shape(path, shape, events)
            print(f"\n{name}: {events} events, {size / 1e6:.0f} MB",
                  flush=True)
            measure_shape(name, shape, path, events, args.repeat, old,
                          before)
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
