"""Events of an LMA file as arrays, whole or in batches.

    tags, traces = kelvane.read_events("run.lma")
    traces["channel0"].shape        # (number of events, nsamples)

    for tags, traces in kelvane.iterate("run.lma", step_size=10_000):
        ...                          # at most 10 000 events in memory

Both accept `str` and `os.PathLike` names. A damaged event record ends the
data: the events before it are returned and a `DamagedRecordWarning` names
the record's byte offset and says what is wrong with it. A header that no
recording can have raises `DamagedHeaderError`. Both read through `kelvane.LmaFile`. Traces come as float64 or, with `dtype`, any
other floating type; a value too large for a narrower type becomes inf.
"""

from __future__ import annotations

import os
import warnings
from typing import (Any, Dict, Iterator, List, NamedTuple, Optional,
                    Union)

import numpy as np

from ._outputs import shown
from .damage import Damage, DamagedHeaderError, DamagedRecordWarning
from .lmafile import Events as FileEvents
from .lmafile import LmaFile
from .lmafmt import LmaReader

__all__ = ["DamagedRecordWarning", "DamagedHeaderError", "Damage", "Events",
           "read_events", "iterate", "summarise_file", "open_reader"]

PathLike = Union[str, "os.PathLike[str]"]


class Events(NamedTuple):
    """Events as arrays: `tags` (int32, one per event) and `traces`, which
    maps each event key ("channel0", ...) to a 2-D array with one row per
    event."""
    tags: np.ndarray
    traces: Dict[str, np.ndarray]


def open_reader(filename: PathLike) -> LmaReader:
    """An `LmaReader` for `filename` (a `str` or path object), once its
    header has passed the strict check of `LmaFile`.

    Raises `DamagedHeaderError` for a header no recording can have,
    `FileNotFoundError` when the file cannot be opened, `IsADirectoryError`
    for a directory, and `ValueError` for an existing file whose name is
    not valid UTF-8 (the reader takes UTF-8 names only).
    """
    name = os.fsdecode(filename)
    LmaFile(name).close()
    _check_encodable(name)
    return LmaReader(name)


def _check_encodable(name: str) -> None:
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{name!r}: cannot open a file whose name is not "
                         f"valid UTF-8") from None


def float_dtype(dtype: Any) -> np.dtype:
    """`dtype` as a NumPy dtype; ValueError unless it is floating (an
    integer type would silently wrap or cut the calibrated values)."""
    result = np.dtype(dtype)
    if result.kind != "f":
        raise ValueError(f"dtype must be a floating type, not {result}")
    return result


def event_range(f: LmaFile, start: int, stop: Optional[int]) -> range:
    """The events from `start` up to `stop` that `f` has.

    ValueError for a negative `start` or a `stop` before it; IndexError,
    saying how many events there are or which damaged record ends them,
    when there is no event `start` (except for an empty range, or `start`
    0 on a file without events). A `stop` past the end is cut to it.
    """
    if start < 0 or (stop is not None and stop < start):
        raise ValueError(f"bad event range: start={start}, stop={stop}")
    n = len(f)
    if start >= n and start > 0 and stop != start:
        raise IndexError(no_event_message(f, start))
    return range(min(start, n), n if stop is None else min(stop, n))


def no_event_message(f: LmaFile, index: int) -> str:
    """Why `f` has no event `index`: how many it has, and the damaged record
    that ends them if one does."""
    return f"{events_message(f)}; no event {index}"


def events_message(f: LmaFile) -> str:
    n = len(f)
    said = f"{shown(f.path)} has {n} event{'' if n == 1 else 's'}"
    if f.damage is not None:
        said += f", then {f.damage}" if f.damage.incomplete else \
            f", ended by a {f.damage}"
    return said


def damage_message(f: LmaFile) -> str:
    """The file name and where and why its events end early."""
    return str(damage_warning(f))


def damage_warning(f: LmaFile) -> DamagedRecordWarning:
    assert f.damage is not None
    return DamagedRecordWarning(shown(f.path), f.damage)


def damage_reached(f: LmaFile, stop: Optional[int]) -> bool:
    """Whether a read up to `stop` ran into the damaged record."""
    return f.damage is not None and (stop is None or stop > len(f))


def _warn_damage(f: LmaFile) -> None:
    # stacklevel 3: the caller of read_events, or of next() on iterate.
    warnings.warn(damage_warning(f), stacklevel=3)


# Types the native decoder writes itself; any other floating type is
# converted from float64 through a buffer of about this many bytes.
_NATIVE_DTYPES = {np.dtype(np.float64): "float64",
                  np.dtype(np.float32): "float32"}
_CONVERT_BYTES = 2**23


def new_events(f: LmaFile, n: int, dtype: np.dtype) -> Events:
    """Uninitialised `Events` arrays for `n` events of `f`."""
    width = max(f.nsamples, 0)
    return Events(np.empty(n, np.int32),
                  {f"channel{c}": np.empty((n, width), dtype)
                   for c in f.channels})


def read_range(f: LmaFile, events: range, dtype: np.dtype,
               out: Optional[Events] = None, at: int = 0) -> Events:
    """Events `events` of `f` as `Events(tags, traces)` of `dtype`; with
    `out` (as from `new_events`), into its rows from `at` on, returning
    views of them."""
    n = len(events)
    if out is None:
        out = new_events(f, n, dtype)
    rows = Events(out.tags[at:at + n],
                  {key: block[at:at + n] for key, block in out.traces.items()})
    native = _NATIVE_DTYPES.get(dtype)
    if native is not None:
        f.read(events.start, events.stop, dtype=native,
               out=FileEvents(rows.tags, np.empty(n), rows.traces))
        return rows
    width = max(f.nsamples, 0)
    step = max(1, _CONVERT_BYTES // max(8 * width * len(rows.traces), 1))
    buffer = None
    # A value too large for a narrower dtype becomes inf, as documented;
    # NumPy would also warn about it, once per process.
    with np.errstate(over="ignore"):
        for i in range(0, n, step):
            j = min(i + step, n)
            got = f.read(events.start + i, events.start + j, out=buffer)
            buffer = got if buffer is None else buffer
            rows.tags[i:j] = got.tags
            for key, block in rows.traces.items():
                block[i:j] = got.traces[key]
    return rows


def read_events(filename: PathLike, start: int = 0,
                stop: Optional[int] = None, *,
                dtype: Any = np.float64) -> Events:
    """The events with index `start` up to `stop` (all by default) as
    arrays.

    Parameters
    ----------
    filename : str or os.PathLike
        The LMA file.
    start, stop : int
        The range of events; a `stop` past the end reads to the end.
    dtype : floating dtype
        float64 by default; float32 halves the traces' memory.

    Returns
    -------
    tags : numpy.ndarray
        int32, one per event.
    traces : dict
        Each event key ("channel0", ...) to an (events × samples) array.

    Raises
    ------
    IndexError
        For a `start` with no event there (an empty range, `stop ==
        start`, does not).
    ValueError
        For a `dtype` that is not floating.

    Warns
    -----
    DamagedRecordWarning
        When the range reaches a damaged record; the events before it are
        returned.
    """
    dtype = float_dtype(dtype)
    with LmaFile(filename) as f:
        events = read_range(f, event_range(f, start, stop), dtype)
        if damage_reached(f, stop):
            _warn_damage(f)
    return events


def iterate(filename: PathLike, step_size: int = 10_000, *,
            dtype: Any = np.float64, start: int = 0,
            stop: Optional[int] = None) -> Iterator[Events]:
    """Yields the events with index `start` up to `stop` (all by default)
    in batches of at most `step_size` events each, in file order, with new
    arrays for every batch. The file stays open until the iteration ends
    or the generator is closed.

    Parameters
    ----------
    filename : str or os.PathLike
        The LMA file.
    step_size : int
        The most events in one batch, at least 1.
    dtype : floating dtype
        As for `read_events`.
    start, stop : int
        As for `read_events`.

    Yields
    ------
    tags : numpy.ndarray
        As `read_events` returns them.
    traces : dict
        As `read_events` returns them. A `DamagedRecordWarning` follows
        the last batch when the range reaches a damaged record.

    Not a generator itself, so that a bad argument or file raises here and
    not at the first `next()`."""
    if step_size < 1:
        raise ValueError(f"step_size must be at least 1, not {step_size}")
    dtype = float_dtype(dtype)
    f = LmaFile(filename)
    try:
        events = event_range(f, start, stop)
    except BaseException:
        f.close()
        raise
    return _batches(f, events, step_size, dtype, damage_reached(f, stop))


def _batches(f: LmaFile, events: range, step_size: int, dtype: np.dtype,
             warn: bool) -> Iterator[Events]:
    with f:
        for i in range(events.start, events.stop, step_size):
            j = min(i + step_size, events.stop)
            yield read_range(f, range(i, j), dtype)
        # After the last batch, so a caller that turns warnings into
        # errors has already received every event.
        if warn:
            _warn_damage(f)


def summarise_file(filename: PathLike,
                   step_size: int = 10_000) -> List[Dict[str, Any]]:
    """One record per event: the file name, the tag and, per channel, the
    minimum and maximum of the trace.

    Made for running one task per file, e.g. with Dask: it opens the file
    itself and its result pickles.

    Parameters
    ----------
    filename : str or os.PathLike
        The LMA file.
    step_size : int
        Events read at a time, which bounds the memory used.

    Returns
    -------
    list of dict
        Per event ``{"file": name, "tag": tag, "channel0_min": ...,
        "channel0_max": ..., ...}``; NaN for a trace of no samples.
    """
    name = os.fsdecode(filename)
    records: List[Dict[str, Any]] = []
    for tags, traces in iterate(name, step_size):
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
