"""`lma features FILE... -o OUT.{parquet,csv,npz}`: per-event quantities of
each channel, a row per event of each file in the order given, as a table.

The options shared with `lma spectrum` (the window and the edge settings)
and the reading of several files, in this process or in several, live here
too.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import multiprocessing
import os
import pickle
import queue
import signal
import tempfile
import threading
from typing import (Any, Callable, Dict, Iterator, List, NamedTuple,
                    Optional, Sequence, Tuple, Union)

import numpy as np

from ..batch import damage_message
from ..features import QUANTITIES, Features, flat_columns, request
from ..lmafile import LmaFile
from .base import Command
from .convert import require_modules
from .output import atomic_output, refuse_inputs
from .progress import progress_bar
from . import source
from .source import file_size, open_file
from .status import UsageError, UserError, fail, printable
from .table_npz import (Column, Filler, Placed, Repeated, value_offsets,
                        write_columns)

# What `lma features` writes, by the output's suffix (any case): the
# modules each format needs beyond NumPy, and the extra that installs them.
# CSV goes through pandas so that its text is what `to_pandas()` would
# write; NumPy's archive needs nothing more.
TABLE_FORMATS: Dict[str, Tuple[Tuple[str, ...], str]] = {
    ".parquet": (("pandas", "pyarrow"), "table"),
    ".csv": (("pandas",), "table"),
    ".npz": ((), ""),
}

# File bytes whose events are reduced per call: a smooth progress bar and a
# prompt response to Ctrl-C, at a negligible cost per call.
CHUNK_BYTES = 2**24

# Rows of a file's name made at once for the column 'file' of an archive,
# then written over and over.
NAME_BLOCK = 4096

Channel = Union[int, str]
Report = Callable[[int], None]


class PerChannel(NamedTuple):
    """A setting given per channel on the command line ("-1,2=1"): the
    value of each channel not named, and the named channels' own."""
    default: Any
    each: Dict[Channel, Any]

    def values(self) -> List[Any]:
        return [self.default, *self.each.values()]


class Settings(NamedTuple):
    """What every file is asked for (see `LmaFile.features`); an end of
    `window` left out is None until a file's length fills it in. A
    setting may be a `PerChannel`."""
    channels: Optional[List[Channel]]
    quantities: Optional[List[str]]
    window: Any
    threshold: Any
    fraction: Any
    polarity: Any

    def options(self, f: LmaFile) -> Dict[str, Any]:
        """Keyword arguments of `LmaFile.features` for the file `f`: each
        window's open ends filled in from its samples per trace, each
        per-channel setting a mapping over the channels selected."""
        def window(w: Any) -> Any:
            if w is None:
                return None
            first, stop = w
            return (0 if first is None else first,
                    f.nsamples if stop is None else stop)

        selected = f.channels if self.channels is None else self.channels
        keys = [c if isinstance(c, str) else f"channel{c}" for c in selected]

        def resolved(value: Any, fill: Callable[[Any], Any]) -> Any:
            if not isinstance(value, PerChannel):
                return fill(value)
            # The bare value is every other channel's, not the library's
            # default: the mapping names each channel.
            out = {k: fill(value.default) for k in keys}
            for c, v in value.each.items():
                out[c if isinstance(c, str) else f"channel{c}"] = fill(v)
            return out

        return dict(channels=self.channels, quantities=self.quantities,
                    window=resolved(self.window, window),
                    threshold=resolved(self.threshold, lambda v: v),
                    fraction=resolved(self.fraction, lambda v: v),
                    polarity=resolved(self.polarity, lambda v: v))


class FileResult(NamedTuple):
    """One file's quantities as the table's columns (`flat_columns`), and
    the line that reports its damaged record, if one ends its events. A
    worker process's columns stay in a file, as `Part`s, until read in."""
    name: str
    channels: List[str]
    rows: int
    columns: Dict[str, Union[np.ndarray, Part]]
    damage: Optional[str]
    sample_interval: Optional[float] = None
    options: Optional[Dict[str, Any]] = None


class Opened(NamedTuple):
    """A file as a worker process found it on opening: its rows, the
    table's columns and their dtypes (`str`), the line that reports its
    damaged record if one ends its events, and the path of the open file
    pickled, for reading it again without indexing it again."""
    name: str
    channels: List[str]
    rows: int
    columns: Dict[str, str]
    damage: Optional[str]
    saved: str
    sample_interval: Optional[float] = None
    options: Optional[Dict[str, Any]] = None


class Part(NamedTuple):
    """`nbytes` bytes at `offset` in the file at `path`: values of `dtype`
    (its `str`)."""
    path: str
    offset: int
    nbytes: int
    dtype: str


class FeaturesCommand(Command):
    name = "features"
    help = "per-event quantities of each channel as a table"
    description = ("Write per-event quantities of each channel to a table: "
                   "a row per event of each FILE in turn, the columns "
                   "'file', 'tag', 'horpos', then '<key>_<quantity>' per "
                   "channel and quantity. OUT.parquet and OUT.csv need "
                   "kelvane[table].")

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("files", nargs="+", metavar="FILE")
        parser.add_argument("-o", "--output", required=True, metavar="OUT",
                            help="the table; its suffix picks the format: "
                                 + ", ".join(TABLE_FORMATS))
        parser.add_argument("--channels", type=channel_list, metavar="C,C",
                            help="channel indices or keys (default: all)")
        parser.add_argument("--quantities", type=name_list, metavar="Q,Q",
                            help="of " + ", ".join(QUANTITIES)
                                 + " (default: all; crossing only with "
                                   "--threshold)")
        add_edge_options(parser)
        parser.add_argument("--jobs", type=positive_int, default=1,
                            metavar="N",
                            help="read files in N processes (default 1)")

    def check_arguments(self, parser: argparse.ArgumentParser,
                        args: argparse.Namespace) -> None:
        check_settings(parser, settings_of(args, args.channels,
                                           args.quantities))

    def run(self, args: argparse.Namespace) -> int:
        suffix = table_format(args.files, args.output)
        require_modules(suffix, TABLE_FORMATS)
        settings = settings_of(args, args.channels, args.quantities)
        # The output file is made before reading, so that an unwritable OUT
        # is found at once.
        with atomic_output(args.output) as out:
            if suffix == ".npz" and in_parallel(args.jobs, args.files):
                results: Sequence[Any] = npz_in_processes(
                    out, args.files, settings, args.jobs)
            else:
                results = all_features(args.files, settings, args.jobs)
                write_table(out, suffix, results)
        rows = sum(r.rows for r in results)
        files = len(args.files)
        print(f"wrote {rows} events of {files} file{'' if files == 1 else 's'}"
              f" to {printable(args.output)}")
        return reported_damage(results)


# ------------------------------------------------------------ the options

def add_edge_options(parser: argparse.ArgumentParser) -> None:
    """The window and edge settings, shared by the commands that reduce
    events."""
    each = (" Each may be given per channel: a bare value for every "
            "channel, then CHANNEL=VALUE for one, as in -1,2=1.")
    parser.add_argument("--window", type=per_channel(sample_window, None),
                        metavar="A:B",
                        help="samples [A, B) of each trace; either end may "
                             "be left out (default: all)")
    parser.add_argument("--threshold", type=per_channel(float, None),
                        metavar="T",
                        help="level of 'crossing', in calibrated units")
    parser.add_argument("--fraction", type=per_channel(float, 0.5),
                        default=0.5, metavar="F",
                        help="of the peak, for 'cfd' (default 0.5)")
    parser.add_argument("--polarity", type=per_channel(polarity, 1),
                        default=1, metavar="{1,-1}",
                        help="-1 for negative pulses (default 1)." + each)


def polarity(text: str) -> int:
    if text.strip() not in ("1", "-1", "+1"):
        raise argparse.ArgumentTypeError(f"not 1 or -1: {text!r}")
    return int(text)


def per_channel(parse: Callable[[str], Any],
                default: Any) -> Callable[[str], Any]:
    """The type of an option that takes one value, or a bare value for
    every channel and CHANNEL=VALUE for some ("-1,2=1"; the bare value by
    default `default`): the value, or a PerChannel."""
    def convert(text: str) -> Any:
        items = [item.strip() for item in text.split(",")]
        if len(items) == 1 and "=" not in items[0]:
            return parse(items[0])
        bare: List[Any] = []
        each: Dict[Channel, Any] = {}
        for item in items:
            name, sign, value = item.partition("=")
            if not sign:
                bare.append(parse(item))
                continue
            key = channel(name)
            if key in each:
                raise argparse.ArgumentTypeError(
                    f"channel {name} is given twice in {text!r}")
            each[key] = parse(value)
        if len(bare) > 1:
            raise argparse.ArgumentTypeError(
                f"more than one value for every channel in {text!r}")
        return PerChannel(bare[0] if bare else default, each)
    convert.__name__ = getattr(parse, "__name__", "value")
    return convert


def settings_of(args: argparse.Namespace,
                channels: Optional[List[Channel]],
                quantities: Optional[List[str]]) -> Settings:
    """The settings of `add_edge_options` in `args`, for these channels and
    quantities."""
    return Settings(channels, quantities, args.window, args.threshold,
                    args.fraction, args.polarity)


def check_settings(parser: argparse.ArgumentParser,
                   settings: Settings) -> None:
    """Refuses, before any file is opened, what `LmaFile.features` would
    refuse in every file; the window and the channels are checked against
    each file as it is opened."""
    def each(value: Any) -> List[Any]:
        return value.values() if isinstance(value, PerChannel) else [value]

    try:
        for threshold in each(settings.threshold):
            for fraction in each(settings.fraction):
                for sign in each(settings.polarity):
                    request(0, settings.quantities, None, threshold,
                            fraction, sign)
    except ValueError as error:
        parser.error(str(error))


def comma_list(text: str) -> List[str]:
    items = [item.strip() for item in text.split(",")]
    if "" in items:
        raise argparse.ArgumentTypeError(f"an empty item in {text!r}")
    return items


def channel(text: str) -> Channel:
    """A channel index, or an event key such as 'channel3'."""
    text = text.strip()
    return int(text) if text.isascii() and text.isdigit() else text


def channel_list(text: str) -> List[Channel]:
    return [channel(item) for item in comma_list(text)]


def name_list(text: str) -> List[str]:
    return comma_list(text)


def sample_window(text: str) -> Tuple[Optional[int], Optional[int]]:
    parts = text.split(":")
    if len(parts) != 2:
        raise argparse.ArgumentTypeError(f"not A:B: {text!r}")
    first, stop = (sample_bound(part, text) for part in parts)
    if first is not None and stop is not None and stop < first:
        raise argparse.ArgumentTypeError(f"window {text} ends before it "
                                         f"starts")
    return first, stop


def sample_bound(part: str, text: str) -> Optional[int]:
    if not part.strip():
        return None
    try:
        value = int(part)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"not A:B in whole samples: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}")
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text}")
    return value


# ---------------------------------------------------------- the reading

def all_features(names: Sequence[str], settings: Settings,
                 jobs: int = 1) -> List[FileResult]:
    """Each file's quantities, in the order given, read in `jobs`
    processes, under a progress bar over the files' bytes. The first
    failing file in that order ends it with its `UserError`."""
    total = sum(size_or_zero(name) for name in names)
    if in_parallel(jobs, names):
        with tempfile.TemporaryDirectory(prefix="lma-features-") as folder, \
                worker_pool(min(jobs, len(names)), folder) as workers, \
                progress_bar(total, "features", unit="B") as progress:
            handed = waited(workers, [
                workers.pool.apply_async(worker_features, (k, name, settings))
                for k, name in enumerate(names)], progress)
            return [in_memory(r) for r in handed]
    with progress_bar(total, "features", unit="B") as progress:
        return [file_features(name, settings, progress) for name in names]


def in_parallel(jobs: int, names: Sequence[str]) -> bool:
    return jobs > 1 and len(names) > 1


def size_or_zero(name: str) -> int:
    try:
        return os.path.getsize(name)
    except OSError:
        return 0    # reported once the file is opened


def file_features(name: str, settings: Settings,
                  report: Optional[Report]) -> FileResult:
    """The quantities of all of a file's events, a chunk at a time (see
    `checked_options` for what is refused before)."""
    with open_file(name) as f:
        options, empty = checked_options(f, name, settings)
        parts = [empty, *chunks(f, options, len(f), report)]
        damage = damage_message(f) if f.damage is not None else None
        interval = f.sample_interval
    feat = joined(parts)
    return FileResult(name, feat.channels, len(feat.tags), flat_columns(feat),
                      damage, interval, empty.options)


def checked_options(f: LmaFile, name: str, settings: Settings,
                    ) -> Tuple[Dict[str, Any], Features]:
    """The file's keyword arguments of `LmaFile.features`, and what they
    give for no events; a window or channels the file does not have are
    refused before any record is read (UsageError, naming the file)."""
    options = settings.options(f)
    try:
        return options, f.features(0, 0, **options)
    except (ValueError, TypeError, IndexError) as error:
        raise UsageError(f"{printable(name)}: {error}") from None


def chunks(f: Any, options: Dict[str, Any], rows: int,
           report: Optional[Report]) -> Iterator[Features]:
    """The quantities of the events [0, rows) in turn, a chunk of the
    file's bytes at a time; a record that no longer reads is a
    `UserError`."""
    size = file_size(f)
    step = max(1, rows * CHUNK_BYTES // max(size, 1))
    done = 0
    for first in range(0, rows, step):
        stop = min(first + step, rows)
        with f.reading(range(first, stop)):
            part = f.features(first, stop, **options)
        yield part
        if report is not None:
            reached = size * stop // rows
            report(reached - done)
            done = reached
    if report is not None and done < size:
        report(size - done)


def joined(parts: Sequence[Features]) -> Features:
    """Features of consecutive event ranges with the same channels, as
    one."""
    first = parts[0]
    return Features(np.concatenate([p.tags for p in parts]),
                    np.concatenate([p.horpos for p in parts]),
                    first.channels,
                    {q: np.concatenate([p.values[q] for p in parts])
                     for q in first.values})


class Workers(NamedTuple):
    pool: Any
    done: Any       # the queue the workers report their progress to


@contextlib.contextmanager
def worker_pool(jobs: int, folder: str) -> Iterator[Workers]:
    """`jobs` worker processes, which leave what they hand over in
    `folder`. Leaving the block ends them: on a failure or an interruption
    the files still being read are not waited for. Made before any
    progress bar, whose thread would make a fork unsafe."""
    context = multiprocessing.get_context(
        "fork" if fork_is_safe() else "spawn")
    done = context.Queue()
    with context.Pool(jobs, initializer=start_worker,
                      initargs=(done, dict(source.storage_options),
                                folder)) as pool:
        yield Workers(pool, done)


def waited(workers: Workers, pending: Sequence[Any],
           progress: Optional[Report],
           meanwhile: Callable[[], None] = lambda: None) -> List[Any]:
    """The results of the workers' calls `pending`, in order, with their
    progress shown and `meanwhile` called while they run; the first failed
    call in that order raises its exception."""
    results = []
    for result in pending:
        while not result.ready():
            show_progress(workers.done, progress)
            meanwhile()
            result.wait(0.1)
        results.append(result.get())
    show_progress(workers.done, progress)
    return results


def handed_over(result: FileResult, path: str) -> FileResult:
    """The result with its columns left in the file `path`: through the
    result pipe, megabytes of pickled arrays cost the parent more than the
    worker took to compute them."""
    parts: Dict[str, Union[np.ndarray, Part]] = {}
    with open(path, "wb") as out:
        for key, array in result.columns.items():
            data = np.ascontiguousarray(array)
            parts[key] = Part(path, out.tell(), data.nbytes, data.dtype.str)
            out.write(data.view(np.uint8).reshape(-1))
    return result._replace(columns=parts)


def in_memory(result: FileResult) -> FileResult:
    """The result with every column in memory. Read in, not mapped: a
    mapping would hold a descriptor of its file for as long as its arrays
    live."""
    return result._replace(columns={
        key: read_part(c) if isinstance(c, Part) else c
        for key, c in result.columns.items()})


def read_part(part: Part) -> np.ndarray:
    """A part's values read into memory; OSError when its file is
    shorter."""
    dtype = np.dtype(part.dtype)
    array = np.empty(part.nbytes // dtype.itemsize, dtype)
    view = array.view(np.uint8).reshape(-1)
    with open(part.path, "rb") as data:
        data.seek(part.offset)
        if data.readinto(view) != part.nbytes:
            raise OSError(f"{part.path}: a worker's result is cut short")
    return array


def fork_is_safe() -> bool:
    """Whether workers may be forked, which is much quicker than starting
    new interpreters: only while this process runs no other thread, as a
    fork copies the calling thread alone, and a lock another one held
    would stay held in the child for good."""
    return "fork" in multiprocessing.get_all_start_methods() and \
        threading.active_count() == 1


def show_progress(done: Any, progress: Optional[Report]) -> None:
    """Takes the bytes the workers have reported so far to the bar, if
    there is one."""
    try:
        while True:
            reached = done.get_nowait()
            if progress is not None:
                progress(reached)
    except queue.Empty:
        pass


# The queue a worker process reports its progress to.
worker_progress: Optional[Any] = None


# Where a worker process leaves its results' arrays.
worker_folder = ""


def start_worker(done: Any, storage_options: Dict[str, Any],
                 folder: str) -> None:
    global worker_progress, worker_folder
    worker_progress = done
    worker_folder = folder
    source.use_storage_options(storage_options)
    # Ctrl-C reaches the whole process group; the parent alone answers it,
    # by ending the workers, so that they print no traceback of their own.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # A forked worker inherits the handlers that turn these into an
    # exception; the parent ends its workers with SIGTERM, which must end
    # them quietly.
    for name in ("SIGTERM", "SIGHUP"):
        if hasattr(signal, name):
            signal.signal(getattr(signal, name), signal.SIG_DFL)


def worker_features(index: int, name: str,
                    settings: Settings) -> FileResult:
    report = worker_progress.put if worker_progress is not None else None
    return handed_over(file_features(name, settings, report),
                       os.path.join(worker_folder, f"{index}.bin"))


def worker_open(index: int, name: str, settings: Settings) -> Opened:
    """The file indexed, its options checked, and the open file left
    pickled for `worker_fill`, with its index."""
    with open_file(name) as f:
        _, empty = checked_options(f, name, settings)
        saved = os.path.join(worker_folder, f"{index}.open")
        with open(saved, "wb") as out:
            pickle.dump(f, out, protocol=pickle.HIGHEST_PROTOCOL)
        return Opened(name, empty.channels, len(f),
                      {key: values.dtype.str for key, values
                       in flat_columns(empty).items()},
                      damage_message(f) if f.damage is not None else None,
                      saved, f.sample_interval, empty.options)


def worker_fill(opened: Opened, settings: Settings, target: str,
                places: Dict[str, int]) -> Dict[str, Placed]:
    """The file's rows of each column written into the file `target`, at
    the column's place."""
    report = worker_progress.put if worker_progress is not None else None
    fd = os.open(target, os.O_WRONLY | getattr(os, "O_CLOEXEC", 0))
    try:
        fillers = {key: Filler(fd, at, np.dtype(opened.columns[key]))
                   for key, at in places.items()}
        with open_file(opened.name, opened.saved) as f:
            options = settings.options(f)
            # The events found when it was opened; the file may have
            # grown since, and a file cut since fails as it is read.
            for part in chunks(f, options, opened.rows, report):
                for key, values in flat_columns(part).items():
                    fillers[key].put(values)
    finally:
        os.close(fd)
    return {key: filler.placed() for key, filler in fillers.items()}


def reported_damage(results: Sequence[Any]) -> int:
    """One line per file whose events a damaged record ended; 1 if there
    was one."""
    status = 0
    for result in results:
        if result.damage is not None:
            status = fail(result.damage)
    return status


# ---------------------------------------------------------- the writing

def table_format(names: Sequence[str], out: str) -> str:
    """The table's format, by suffix; refuses an OUT that is one of the
    inputs."""
    suffix = os.path.splitext(out)[1].lower()
    if suffix not in TABLE_FORMATS:
        raise UsageError(f"OUT must end in {', '.join(TABLE_FORMATS)}: "
                         f"{printable(out)}")
    refuse_inputs(names, out)
    return suffix


def same_channels(results: Sequence[FileResult]) -> None:
    first = results[0]
    for result in results[1:]:
        if result.channels != first.channels:
            raise UserError(
                f"{printable(result.name)} has the channels "
                f"{', '.join(result.channels)} and "
                f"{printable(first.name)} "
                f"{', '.join(first.channels)}: choose common "
                f"ones with --channels")


def write_table(out: Any, suffix: str,
                results: Sequence[FileResult]) -> None:
    """All files' rows to the binary file `out`, with the column `file`
    first: strings in an archive, a category of the names in the order
    given for pandas."""
    same_channels(results)
    names = [printable(r.name) for r in results]
    counts = [r.rows for r in results]
    if suffix == ".npz":
        write_npz(out, results)
        return
    per_file = [in_memory(r).columns for r in results]
    # Each column made contiguous in one copy, which the writers then take
    # as it is.
    columns = {name: np.concatenate([c[name] for c in per_file])
               for name in per_file[0]}
    import pandas as pd
    categories = list(dict.fromkeys(names))
    codes = np.repeat([categories.index(n) for n in names], counts)
    frame = pd.DataFrame(dict(
        file=pd.Categorical.from_codes(codes, categories), **columns))
    if suffix == ".parquet":
        import pyarrow as pa
        import pyarrow.parquet as pq
        table = pa.Table.from_pandas(frame, preserve_index=False)
        table = table.replace_schema_metadata({
            **(table.schema.metadata or {}),
            b"kelvane": provenance(results).encode()})
        pq.write_table(table, out)
        return
    text = io.TextIOWrapper(out, encoding="utf-8", newline="")
    frame.to_csv(text, index=False)
    text.flush()
    text.detach()       # `out` stays open for the atomic rename


def write_npz(out: Any, results: Sequence[FileResult]) -> None:
    """What `np.savez` writes of the columns joined, written from each
    file's part in turn rather than joined first (`np.savez` cannot take a
    member named 'file' anyway: that is the name of its own first
    parameter)."""
    rows = sum(r.rows for r in results)
    write_columns(out, [names_column(results)] + [
        Column(key, np.dtype(first.dtype), rows,
               [r.columns[key] for r in results])
        for key, first in results[0].columns.items()] +
        [provenance_column(results)])


def provenance(results: Sequence[Any]) -> str:
    """Where a table came from, as JSON: kelvane's version, the sources
    (URLs without their credentials), the channels, the sample interval
    and every option the quantities were computed with."""
    from importlib.metadata import version
    first = results[0]
    return json.dumps({
        "version": version("kelvane"),
        "sources": [printable(r.name) for r in results],
        "channels": list(first.channels),
        "sample_interval": first.sample_interval,
        "options": first.options})


def provenance_column(results: Sequence[Any]) -> Column:
    """The archive's member `kelvane_metadata`: the provenance as a 0-d
    unicode array, which loads without pickles."""
    text = provenance(results)
    return Column("kelvane_metadata", np.dtype(f"<U{max(len(text), 1)}"), 1,
                  [np.array(text)], shape=())


def names_column(results: Sequence[Any]) -> Column:
    """The column 'file': each file's name over its rows, from a block of
    it written over and over."""
    names = [printable(r.name) for r in results]
    text = np.array(names).dtype
    return Column("file", text, sum(r.rows for r in results),
                  [Repeated(np.full(min(r.rows, NAME_BLOCK), name, text),
                            r.rows) for r, name in zip(results, names)])


def npz_in_processes(out: Any, names: Sequence[str], settings: Settings,
                     jobs: int) -> List[Opened]:
    """The `.npz` table written to `out` by `jobs` worker processes: they
    index every file first, which gives each file's rows and so every
    column's place in the archive; then each writes its files' values
    straight into place, while this process writes the column of names.
    The archive's headers come last."""
    total = sum(size_or_zero(name) for name in names)
    with tempfile.TemporaryDirectory(prefix="lma-features-") as folder, \
            worker_pool(min(jobs, len(names)), folder) as workers, \
            progress_bar(total, "features", unit="B") as progress:
        pool = workers.pool
        opened: List[Opened] = waited(workers, [
            pool.apply_async(worker_open, (k, name, settings))
            for k, name in enumerate(names)], progress)
        same_channels(opened)
        rows = sum(o.rows for o in opened)
        columns = [names_column(opened)] + [
            Column(key, np.dtype(dtype), rows, [])
            for key, dtype in opened[0].columns.items()]
        out.flush()
        places = value_offsets(columns, out.tell())
        filling, before = [], 0
        for o in opened:
            filling.append(pool.apply_async(worker_fill, (
                o, settings, out.name,
                {c.name: at + before * c.dtype.itemsize
                 for c, at in zip(columns[1:], places[1:])})))
            before += o.rows
        text = Filler(out.fileno(), places[0], columns[0].dtype)
        for piece in columns[0].pieces:
            text.put(piece)
        # What the workers have written goes to disk while they write
        # on, rather than all of it in the sync before the rename.
        placed = waited(workers, filling, progress,
                        lambda: os.fdatasync(out.fileno()))
    write_columns(out, [columns[0]._replace(pieces=[text.placed()])] + [
        c._replace(pieces=[p[c.name] for p in placed])
        for c in columns[1:]] + [provenance_column(opened)])
    return opened
