"""Events of an LMA file as arrays, whole or in batches.

    tags, traces = kelvane.read_events("run.lma")
    traces["channel0"].shape        # (number of events, nsamples)

    for tags, traces in kelvane.iterate("run.lma", step_size=10_000):
        ...                          # at most 10 000 events in memory

Both accept `str` and `os.PathLike` names. A damaged event record ends the
data: the events before it are returned and a `DamagedRecordWarning` names
the record's byte offset and the error. A header the reader could not parse
raises `DamagedHeaderError`. Traces come as float64 or, with `dtype`, any
other floating type; a value too large for a narrower type becomes inf.
"""

from __future__ import annotations

import errno
import os
import sys
import threading
import warnings
from typing import (Any, Callable, Dict, Iterator, List, NamedTuple,
                    Optional, Union)

import numpy as np

from .damage import Damage, DamagedHeaderError, DamagedRecordWarning
from .lmafmt import LmaReader

__all__ = ["DamagedRecordWarning", "DamagedHeaderError", "Damage", "Events",
           "read_events", "iterate", "summarise_file", "open_reader"]

PathLike = Union[str, "os.PathLike[str]"]

# What decoding a broken record raises: the reader's own read failures
# (OSError), a pulse of length 0 (IndexError), and NumPy refusing a pulse
# that does not fit its trace or a negative length (ValueError).
DAMAGE_ERRORS = (OSError, IndexError, ValueError)

# Where the reader reports a header it could not parse.
_HEADER_REPORT = "kelvane.lmafmt.LmaReader.__read_header"

# Bytes of the fixed header part and of one channel's calibration block:
# the first event cannot start before both end.
_GENERAL_BYTES = 50
_CHANNEL_BYTES = 24

# Output arrays are sized from a guess at the events left (see `collect`).
# Untouched rows of an np.empty array cost address space, not memory, so
# the guess is generous; this caps it, in case small early records make it
# absurd. Past it the arrays grow as needed.
_GUESS_CAP_BYTES = 2 * 2**30


class Events(NamedTuple):
    """Events as arrays: `tags` (int32, one per event) and `traces`, which
    maps each event key ("channel0", ...) to a 2-D array with one row per
    event."""
    tags: np.ndarray
    traces: Dict[str, np.ndarray]


# The reader reports a header failure twice on stderr (through
# sys.excepthook, then sys.unraisablehook) and carries on. Both hooks are
# process-wide, so swapping them is serialised.
_hook_lock = threading.Lock()


def open_reader(filename: PathLike) -> LmaReader:
    """An `LmaReader` for `filename`, which may also be a path object.

    Raises `DamagedHeaderError` instead of the reader's report on stderr
    when the header cannot be parsed, `FileNotFoundError` when the file
    cannot be opened, `IsADirectoryError` for a directory (which opens
    but reads nothing), and `ValueError` for an existing file whose name is
    not valid UTF-8 (the reader takes UTF-8 names only).
    """
    name = os.fsdecode(filename)
    if os.path.isdir(name):
        raise IsADirectoryError(f"{name}: is a directory")
    _check_encodable(name)
    reports: List[BaseException] = []

    def unraisable(report: Any) -> None:
        if report.object == _HEADER_REPORT:
            reports.append(report.exc_value)
        else:
            saved_unraisable(report)

    with _hook_lock:
        saved_unraisable, saved_except = sys.unraisablehook, sys.excepthook
        sys.unraisablehook = unraisable
        sys.excepthook = lambda *exc_info: None
        try:
            reader = LmaReader(name)
        finally:
            sys.unraisablehook, sys.excepthook = saved_unraisable, saved_except
    # A parse that stops early never measures the file's end.
    if reports or reader.pos_end == 0:
        raise DamagedHeaderError(name, reports[0] if reports else None)
    # A larger header size than the parsed header is allowed; a smaller
    # one (negative included) would put the first event inside it.
    header_end = _GENERAL_BYTES + _CHANNEL_BYTES * reader.nchannels
    if reader.pos_begin < header_end:
        raise DamagedHeaderError(name, ValueError(
            f"first event at byte {reader.pos_begin}, inside the header "
            f"({header_end} bytes)"))
    return reader


def _check_encodable(name: str) -> None:
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        if not os.path.lexists(name):
            raise FileNotFoundError(errno.ENOENT, "No such file or directory",
                                    name) from None
        raise ValueError(f"{name!r}: cannot open a file whose name is not "
                         f"valid UTF-8") from None


class EventStream:
    """The events of an open reader from index `start` up to `stop`.

    Iterating yields the event dictionaries; a damaged record ends the
    iteration quietly and is kept in `damage`. `offset` is where the next
    record starts and `count` how many events were decoded, including the
    skipped ones before `start`; `record_offset` is where the last yielded
    event's record starts. There is one pass: iterating again, say
    after a `break`, goes on where the last loop stopped. `progress`, if
    given, is called with `offset` after each record, skipped ones too.
    """

    def __init__(self, reader: LmaReader, start: int = 0,
                 stop: Optional[int] = None,
                 progress: Optional[Callable[[int], None]] = None) -> None:
        if start < 0 or (stop is not None and stop < start):
            raise ValueError(f"bad event range: start={start}, stop={stop}")
        self.reader = reader
        self.start = start
        self.stop = stop
        self.progress = progress
        self.offset = reader.pos_begin
        self.record_offset = self.offset
        self.count = 0
        self.damage: Optional[Damage] = None
        # One generator for the whole pass: each new iteration over the
        # reader would seek back to the first record.
        self._events = self._decode()

    def __iter__(self) -> Iterator[Dict[str, Any]]:
        return self._events

    def _decode(self) -> Iterator[Dict[str, Any]]:
        reader, start, stop = self.reader, self.start, self.stop
        events = iter(reader)
        while stop is None or self.count < stop:
            try:
                event = next(events)
            except StopIteration:
                return
            except DAMAGE_ERRORS as error:
                self.damage = Damage(self.offset, self.count, error)
                return
            # Only here is the next record's start known: after a failure
            # the stream stands wherever the decoder gave up.
            self.record_offset = self.offset
            self.offset = reader.pos_cur
            self.count += 1
            if self.progress is not None:
                self.progress(self.offset)
            if self.count > start:
                yield event

    @property
    def size(self) -> Optional[int]:
        """The most events the range can hold; None when unbounded."""
        return None if self.stop is None else self.stop - self.start

    def events_left_guess(self) -> int:
        """Events after the current one, if the records left have the
        average size of those decoded so far."""
        if self.count == 0:
            return 0
        average = (self.offset - self.reader.pos_begin) / self.count
        return int((self.reader.pos_end - self.offset) / max(average, 1.0))


class Collector:
    """Output arrays filled one event at a time, up to `limit` events.

    Every row is written once: the arrays come from np.empty, whose pages
    the system supplies only when first written, and are cut to size at
    the end by a reallocation that does not touch the rows kept. Growing
    copies the rows so far; a good guess at the size (see `collect`) keeps
    that rare. (Doubling by ndarray.resize would zero-fill and copy, and
    first touches of memory are what this work costs most.)
    """

    def __init__(self, reader: LmaReader, dtype: Any = np.float64,
                 limit: Optional[int] = None) -> None:
        self.keys = [f"channel{c}" for c in reader.channels]
        self.nsamples = max(reader.nsamples, 0)
        self.dtype = np.dtype(dtype)
        self.limit = limit
        self.n = 0
        self.tags = np.empty(0, np.int32)
        self.traces = {k: np.empty((0, self.nsamples), self.dtype)
                       for k in self.keys}

    @property
    def capacity(self) -> int:
        return len(self.tags)

    @property
    def full(self) -> bool:
        return self.limit is not None and self.n >= self.limit

    def grow(self, events_left: int) -> None:
        """Room for the events so far plus a quarter more than
        `events_left`, within the cap, and at least half again as many."""
        n = self.n
        row_bytes = self.nsamples * int(self.dtype.itemsize) * len(self.keys)
        cap = _GUESS_CAP_BYTES // (row_bytes + 4)
        capacity = n + min(events_left + events_left // 4 + 16, cap)
        capacity = max(capacity, n + n // 2 + 1)
        if self.limit is not None:
            capacity = min(capacity, self.limit)
        self.tags = _moved(self.tags, n, (capacity,))
        for key, old in self.traces.items():
            self.traces[key] = _moved(old, n, (capacity, self.nsamples))

    def add(self, event: Dict[str, Any]) -> None:
        """Stores one event; there must be room (see `grow`)."""
        n = self.n
        self.tags[n] = event["tag"]
        for key, out in self.traces.items():
            out[n] = event[key]
        self.n = n + 1

    def result(self) -> Events:
        """The arrays cut to the events added; the collector is spent."""
        # refcheck off: nothing else refers to these arrays yet.
        self.tags.resize(self.n, refcheck=False)
        for out in self.traces.values():
            out.resize((self.n, self.nsamples), refcheck=False)
        return Events(self.tags, self.traces)


def _moved(old: np.ndarray, n: int, shape: Any) -> np.ndarray:
    new = np.empty(shape, old.dtype)
    new[:n] = old[:n]
    return new


def collect(stream: EventStream, collector: Collector) -> Events:
    """Fills `collector` from `stream` until either ends."""
    # A value too large for a narrower dtype becomes inf, as documented;
    # NumPy would also warn about it, once per process.
    with np.errstate(over="ignore"):
        for event in stream:
            if collector.n == collector.capacity:
                # The guess needs one decoded record; so the first event
                # is counted already.
                collector.grow(stream.events_left_guess() + 1)
            collector.add(event)
            if collector.full:
                break
    return collector.result()


def float_dtype(dtype: Any) -> np.dtype:
    """`dtype` as a NumPy dtype; ValueError unless it is floating (an
    integer type would silently wrap or cut the calibrated values)."""
    result = np.dtype(dtype)
    if result.kind != "f":
        raise ValueError(f"dtype must be a floating type, not {result}")
    return result


def _warn_damage(stream: EventStream) -> None:
    if stream.damage is not None:
        # stacklevel 3: the caller of read_events, or of next() on iterate.
        warnings.warn(DamagedRecordWarning(stream.reader.filename,
                                           stream.damage), stacklevel=3)


def read_events(filename: PathLike, start: int = 0,
                stop: Optional[int] = None, *,
                dtype: Any = np.float64) -> Events:
    """The events with index `start` up to `stop` (all by default) as
    arrays: `(tags, traces)`, see `Events`. `dtype` float32 halves the
    traces' memory.

    Events before `start` are decoded too, since a record's end is found
    only by decoding it.
    """
    dtype = float_dtype(dtype)
    with open_reader(filename) as reader:
        stream = EventStream(reader, start, stop)
        events = collect(stream, Collector(reader, dtype, stream.size))
    _warn_damage(stream)
    return events


def iterate(filename: PathLike, step_size: int = 10_000, *,
            dtype: Any = np.float64) -> Iterator[Events]:
    """Yields the file's events as `Events` batches of at most `step_size`
    events each, in file order, with new arrays for every batch. The file
    stays open until the iteration ends or the generator is closed.

    Not a generator itself, so that a bad argument or file raises here and
    not at the first `next()`."""
    if step_size < 1:
        raise ValueError(f"step_size must be at least 1, not {step_size}")
    return _batches(open_reader(filename), step_size, float_dtype(dtype))


def _batches(reader: LmaReader, step_size: int,
             dtype: np.dtype) -> Iterator[Events]:
    with reader:
        stream = EventStream(reader)
        while True:
            batch = collect(stream, Collector(reader, dtype, step_size))
            if len(batch.tags):
                yield batch
            if len(batch.tags) < step_size:
                break
    # After the last batch, so a caller that turns warnings into errors
    # has already received every event.
    _warn_damage(stream)


def summarise_file(filename: PathLike,
                   step_size: int = 10_000) -> List[Dict[str, Any]]:
    """One record per event: the file name, the tag and, per channel, the
    minimum and maximum of the trace (keys "channel0_min", ...).

    Made for running one task per file, e.g. with Dask: it opens its own
    reader and its result pickles.
    """
    reader = open_reader(filename)
    name = reader.filename
    records: List[Dict[str, Any]] = []
    for tags, traces in _batches(reader, step_size, np.dtype(np.float64)):
        columns: Dict[str, Any] = {"tag": tags.tolist()}
        for key, block in traces.items():
            empty = block.shape[1] == 0
            columns[f"{key}_min"] = ([np.nan] * len(tags) if empty
                                     else block.min(axis=1).tolist())
            columns[f"{key}_max"] = ([np.nan] * len(tags) if empty
                                     else block.max(axis=1).tolist())
        for i in range(len(tags)):
            record: Dict[str, Any] = {"file": name}
            record.update((k, v[i]) for k, v in columns.items())
            records.append(record)
    return records
