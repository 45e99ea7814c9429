"""LMA files as xarray datasets: the backend behind ``engine="lma"``.

    import xarray as xr
    ds = xr.open_dataset("run.lma")                 # lazy: nothing decoded
    ds.channel0.isel(event=slice(100, 200)).max()   # decodes those 100 only
    ds = xr.open_dataset("run.lma", chunks={"event": 10_000})   # Dask

Dimensions `event` and `sample`; one variable per channel in use, named by
its event key ("channel0", ...); coordinates `time` (seconds, along
`sample`), `tag` and `horpos` (along `event`). Opening reads the header and
the record index only; a selection decodes just the events it needs, and
only the channel asked for. Everything pickles (an `LmaFile` reopens by
path or URL), so the arrays travel to Dask worker processes.
"""

from __future__ import annotations

import os
import sys
import warnings
from typing import Any, Callable, Dict, Iterable, Optional, Tuple

import numpy as np
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

__all__ = ["LmaBackendEntrypoint", "lma_dataset", "DTYPES"]

# The backend's `dtype` argument: the engine's name for it, and the NumPy
# type of the arrays it gives.
DTYPES = {"float64": np.dtype(np.float64), "float32": np.dtype(np.float32),
          "raw": np.dtype(np.int16)}

# A selection of scattered events reads their covering range in one call
# while at most this share of the events decoded is thrown away; sparser
# ones read each run of consecutive events on its own.
_MAX_WASTE = 0.5


def _engine_dtype(dtype: Any) -> str:
    if isinstance(dtype, str) and dtype in DTYPES:
        return dtype
    try:
        wanted = np.dtype(dtype)
    except TypeError:
        wanted = None
    for name, value in DTYPES.items():
        if wanted == value:
            return name
    raise ValueError(f"dtype must be one of {', '.join(DTYPES)}, "
                     f"not {dtype!r}")


def _take_events(key: Any, n: int,
                 read: Callable[[int, int], np.ndarray]) -> np.ndarray:
    """The rows `key` selects along the event axis (an integer, a slice or
    an array of indices, as outer indexing gives them), with `read(i, j)`
    giving the rows of events i to j - 1."""
    if isinstance(key, (int, np.integer)):
        return read(int(key), int(key) + 1)[0]
    if isinstance(key, slice):
        start, stop, step = key.indices(n)
        if step == 1:
            return read(start, max(start, stop))
        wanted = np.arange(start, stop, step)
    else:
        wanted = np.asarray(key, dtype=np.int64).ravel()
    if wanted.size == 0:
        return read(0, 0)
    needed = np.unique(wanted)
    first, last = int(needed[0]), int(needed[-1]) + 1
    if needed.size >= (1 - _MAX_WASTE) * (last - first):
        rows = read(first, last)
        if needed.size == last - first:
            taken = rows
        else:
            taken = rows[needed - first]
    else:
        # Runs of consecutive events, each read in one call.
        breaks = np.flatnonzero(np.diff(needed) != 1) + 1
        starts = np.concatenate(([0], breaks))
        ends = np.concatenate((breaks, [needed.size]))
        taken = np.concatenate([read(int(needed[a]), int(needed[b - 1]) + 1)
                                for a, b in zip(starts, ends)])
    if np.array_equal(needed, wanted):
        return taken
    return taken[np.searchsorted(needed, wanted)]


class _LmaArray(BackendArray):
    """Lazily read values of one file, with the event axis first."""

    def __init__(self, lma: Any, shape: Tuple[int, ...], dtype: np.dtype):
        self.lma = lma
        self.shape = shape
        self.dtype = dtype

    def __getitem__(self, key: indexing.ExplicitIndexer) -> np.ndarray:
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.OUTER, self._raw_get)

    def _raw_get(self, key: Tuple[Any, ...]) -> np.ndarray:
        rows = _take_events(key[0], self.shape[0], self._read)
        rest = key[1:]
        if all(isinstance(k, slice) and k == slice(None) for k in rest):
            return rows
        # Samples are cut after decoding: a record has no per-sample layout
        # to seek in.
        if isinstance(key[0], (int, np.integer)):
            return rows[rest]
        return rows[(slice(None),) + rest]

    def _read(self, start: int, stop: int) -> np.ndarray:
        raise NotImplementedError


class Heads:
    """The tags and trigger positions of one file read so far. Every read
    of a channel brings them along, so loading a whole dataset needs no
    pass of its own for the coordinates. A copy (a pickled one) starts
    empty; untouched slots cost no memory."""

    def __init__(self, n: int):
        self.n = n
        self.tags = np.empty(n, np.int32)
        self.horpos = np.empty(n, np.float64)
        self.known = np.zeros(n, bool)

    def __reduce__(self) -> Any:
        return Heads, (self.n,)

    def store(self, start: int, events: Any) -> None:
        stop = start + len(events.tags)
        self.tags[start:stop] = events.tags
        self.horpos[start:stop] = events.horpos
        # Last, so that a thread reading at the same time never takes a
        # slot before its values are in.
        self.known[start:stop] = True

    def get(self, lma: Any, field: str, start: int, stop: int) -> np.ndarray:
        if not self.known[start:stop].all():
            # The record heads only: no trace is decoded.
            self.store(start, lma.read(start, stop, channels=[]))
        return getattr(self, field)[start:stop].copy()


class ChannelArray(_LmaArray):
    """One channel's traces, (events x samples)."""

    def __init__(self, lma: Any, heads: Heads, channel: int, dtype: str):
        super().__init__(lma, (len(lma), max(lma.nsamples, 0)),
                         DTYPES[dtype])
        self.heads = heads
        self.channel = channel
        self.engine_dtype = dtype

    def _read(self, start: int, stop: int) -> np.ndarray:
        events = self.lma.read(start, stop, channels=[self.channel],
                               dtype=self.engine_dtype)
        self.heads.store(start, events)
        return events.traces[f"channel{self.channel}"]


class EventField(_LmaArray):
    """Tags or trigger positions, one per event."""

    def __init__(self, lma: Any, heads: Heads, field: str):
        dtype = np.dtype(np.int32 if field == "tags" else np.float64)
        super().__init__(lma, (len(lma),), dtype)
        self.heads = heads
        self.field = field

    def _read(self, start: int, stop: int) -> np.ndarray:
        return self.heads.get(self.lma, self.field, start, stop)


def _lazy(array: BackendArray) -> Any:
    return indexing.LazilyIndexedArray(array)


def lma_dataset(lma: Any, dtype: Any = "float64",
                drop_variables: Iterable[str] = ()) -> xr.Dataset:
    """The dataset over an open `LmaFile`, lazily; closing the dataset does
    not close the file (`open_dataset` arranges that)."""
    dtype = _engine_dtype(dtype)
    drop = set(drop_variables)
    heads = Heads(len(lma))
    event_vars = {"tag": EventField(lma, heads, "tags"),
                  "horpos": EventField(lma, heads, "horpos")}
    coords = {name: xr.Variable(("event",), _lazy(array))
              for name, array in event_vars.items() if name not in drop}
    if "time" not in drop:
        coords["time"] = xr.Variable(("sample",), np.asarray(lma.time),
                                     {"units": "s"})
    data_vars = {}
    for channel in lma.channels:
        key = f"channel{channel}"
        if key in drop:
            continue
        cal = lma.calibration[key]
        attrs = {"channel": int(channel), "fullscale": int(cal.fullscale),
                 "offset": int(cal.offset), "baseline": int(cal.baseline),
                 "gain": float(cal.gain)}
        data_vars[key] = xr.Variable(
            ("event", "sample"),
            _lazy(ChannelArray(lma, heads, channel, dtype)), attrs)
    attrs = {"source": os.fspath(lma.path),
             "sample_interval": float(lma.sample_interval),
             "nsamples": int(lma.nsamples)}
    if lma.damage is not None:
        # Plain numbers and text, so the attributes survive netCDF and Zarr.
        attrs.update(damage=str(lma.damage),
                     damage_offset=int(lma.damage.offset),
                     damage_event=int(lma.damage.event))
    return xr.Dataset(data_vars, coords, attrs)


# Packages whose frames a warning from the backend passes over, to point at
# the line that opened the dataset.
_OWN_PACKAGES = ("xarray", "kelvane")


def _outside_stacklevel() -> int:
    """The `stacklevel` for a warning issued by the caller of this function
    that names the first frame outside xarray and kelvane: xarray reaches
    the backend through a number of its own calls that differs between its
    versions."""
    frame = sys._getframe(1)
    level = 1
    while frame is not None and str(frame.f_globals.get(
            "__name__", "")).partition(".")[0] in _OWN_PACKAGES:
        frame = frame.f_back
        level += 1
    return level


class LmaBackendEntrypoint(BackendEntrypoint):
    """Opens LMA files with ``xr.open_dataset(path, engine="lma")``.

    `dtype`: "float64" (default) or "float32" for calibrated traces,
    "raw" for the int16 counts as stored (a sample no pulse covers holds the
    channel's baseline, so ``gain * (raw - baseline)`` is the trace).
    A damaged record ends the data: the events before it are there, a
    `DamagedRecordWarning` is issued and the dataset's attributes `damage`
    (the warning's text), `damage_offset` and `damage_event` describe it.
    A URL fsspec knows ("s3://bucket/run.lma") opens too, with
    `storage_options` for its filesystem.
    """

    description = "LMA waveform files, read lazily through kelvane.LmaFile"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "dtype",
                               "storage_options")

    def open_dataset(self, filename_or_obj: Any, *,
                     drop_variables: Optional[Iterable[str]] = None,
                     dtype: Any = "float64",
                     storage_options: Optional[Dict[str, Any]] = None,
                     ) -> xr.Dataset:
        if not isinstance(filename_or_obj, (str, os.PathLike)):
            raise TypeError(f"the lma engine opens files by name, not "
                            f"{type(filename_or_obj).__name__}")
        _engine_dtype(dtype)    # a bad one fails before the file opens
        if isinstance(drop_variables, str):
            drop_variables = [drop_variables]
        # Here, not at the top: xarray imports every backend it finds, and
        # kelvane's extension need not load for files of other kinds.
        from . import DamagedRecordWarning, LmaFile
        lma = LmaFile(filename_or_obj) if storage_options is None else \
            LmaFile(filename_or_obj, storage_options=storage_options)
        try:
            ds = lma_dataset(lma, dtype, drop_variables or ())
        except BaseException:
            lma.close()
            raise
        if lma.damage is not None:
            warnings.warn(DamagedRecordWarning(lma.path,
                                               lma.damage),
                          stacklevel=_outside_stacklevel())
        ds.set_close(lma.close)
        return ds

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        if not isinstance(filename_or_obj, (str, os.PathLike)):
            return False
        name = os.fspath(filename_or_obj)
        return isinstance(name, str) and name.lower().endswith(".lma")
