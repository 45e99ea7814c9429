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

Several files make one dataset along `event` with `kelvane.open_dataset`
(a list of paths or URLs, or a glob pattern), with a per-event `file`
coordinate into the attribute `sources`.
``xr.open_mfdataset(paths, engine="lma")`` needs ``combine="nested",
concat_dim="event"``: the files have no coordinate along `event` to order
them by.
"""

from __future__ import annotations

import functools
import os
import sys
import warnings
from typing import Any, Callable, Dict, Iterable, List, Optional, Tuple

import numpy as np
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from . import names

__all__ = ["LmaBackendEntrypoint", "open_dataset", "lma_dataset",
           "run_dataset", "DTYPES"]

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
    """Lazily read values of a run of files, with the event axis first."""

    def __init__(self, run: Any, shape: Tuple[int, ...], dtype: np.dtype):
        self.run = run
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


def _read_run(run: Any, start: int, stop: int, dtype: str,
              keys: List[str]) -> Any:
    """Events [start, stop) of `run`, for the channels `keys`, into new
    arrays."""
    return run.read(start, stop, dtype=dtype,
                    out=run.empty(stop - start, DTYPES[dtype], keys))


class ChannelArray(_LmaArray):
    """One channel's traces, (events x samples)."""

    def __init__(self, run: Any, channel: int, dtype: str):
        super().__init__(run, (len(run), run.nsamples), DTYPES[dtype])
        self.key = f"channel{channel}"
        self.engine_dtype = dtype

    def _read(self, start: int, stop: int) -> np.ndarray:
        events = _read_run(self.run, start, stop, self.engine_dtype,
                           [self.key])
        return events.traces[self.key]


def _lazy(array: BackendArray) -> Any:
    return indexing.LazilyIndexedArray(array)


def run_dataset(run: Any, dtype: Any = "float64",
                drop_variables: Iterable[str] = (),
                many: bool = False) -> xr.Dataset:
    """The dataset over a `Run` of open files, lazily; closing the dataset
    does not close them. `many`: in the form for several files (a `file`
    coordinate, the attribute `sources`, the damage as lists), which a
    run of more than one always takes."""
    from .export.metadata import (calibration, damage_attributes,
                                  source_attributes)
    dtype = _engine_dtype(dtype)
    many = many or len(run.files) > 1
    drop = set(drop_variables)
    # Kept by the index, which read every record's head: no record is
    # read again for them.
    tags, horpos = run.heads()
    coords = {name: xr.Variable(("event",), values)
              for name, values in (("tag", tags), ("horpos", horpos))
              if name not in drop}
    if "time" not in drop:
        coords["time"] = xr.Variable(("sample",), np.asarray(run.time),
                                     {"units": "s"})
    if many and "file" not in drop:
        # Small enough to hold (two bytes an event), and known without
        # reading: the files' lengths place every event.
        coords["file"] = xr.Variable(("event",), np.repeat(
            np.arange(len(run.files), dtype=run.file_dtype),
            np.diff(run.bounds)))
    data_vars = {}
    for channel, key in zip(run.channels, run.keys):
        if key in drop:
            continue
        attrs = {"channel": int(channel), **calibration(run, key)}
        data_vars[key] = xr.Variable(
            ("event", "sample"),
            _lazy(ChannelArray(run, channel, dtype)), attrs)
    # Plain numbers and text, so the attributes survive netCDF and Zarr.
    attrs = source_attributes(run, many)
    attrs.update(damage_attributes(run.damages(0, None), many))
    return xr.Dataset(data_vars, coords, attrs)


def lma_dataset(lma: Any, dtype: Any = "float64",
                drop_variables: Iterable[str] = ()) -> xr.Dataset:
    """The dataset over an open `LmaFile`, lazily; closing the dataset does
    not close the file (`open_dataset` arranges that)."""
    from .export.run import Run
    return run_dataset(Run._from_files([lma]), dtype, drop_variables)


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

    A list of paths opens as one run of events, as `kelvane.open_dataset`
    gives it (`parallel=True`: the files opened on Dask, in parallel).
    A URL fsspec knows ("s3://bucket/run.lma") opens too, with
    `storage_options` for its filesystem.
    """

    description = "LMA waveform files, read lazily through kelvane.LmaFile"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "dtype",
                               "parallel", "storage_options")

    def open_dataset(self, filename_or_obj: Any, *,
                     drop_variables: Optional[Iterable[str]] = None,
                     dtype: Any = "float64",
                     parallel: bool = False,
                     storage_options: Optional[Dict[str, Any]] = None,
                     ) -> xr.Dataset:
        many = isinstance(filename_or_obj, (list, tuple))
        paths = list(filename_or_obj) if many else [filename_or_obj]
        for path in paths:
            if not isinstance(path, (str, os.PathLike)):
                raise TypeError(f"the lma engine opens files by name, not "
                                f"{type(path).__name__}")
        dtype = _engine_dtype(dtype)    # a bad one fails before any opens
        if isinstance(drop_variables, str):
            drop_variables = [drop_variables]
        # Here, not at the top: xarray imports every backend it finds, and
        # kelvane's extension need not load for files of other kinds.
        from . import DamagedRecordWarning
        from .export.run import Run
        files = _open_files(paths, parallel, storage_options)
        try:
            run = Run._from_files(
                files, [os.fsdecode(os.fspath(p)) for p in paths])
            if many:
                # As the conversion of several files requires.
                run.check_compatible(dtype == "raw")
            ds = run_dataset(run, dtype, drop_variables or (), many)
        except BaseException:
            _close_all(files)
            raise
        for i, damage in run.damages(0, None):
            warnings.warn(DamagedRecordWarning(run.sources[i], damage),
                          stacklevel=_outside_stacklevel())
        ds.set_close(functools.partial(_close_all, files))
        return ds

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        if not isinstance(filename_or_obj, (str, os.PathLike)):
            return False
        name = os.fspath(filename_or_obj)
        return isinstance(name, str) and name.lower().endswith(".lma")


def _close_all(files: List[Any]) -> None:
    for f in files:
        f.close()


def _open_files(paths: List[Any], parallel: bool,
                storage_options: Optional[Dict[str, Any]] = None
                ) -> List[Any]:
    """`LmaFile`s of `paths`, opened one after the other or, `parallel`,
    as Dask tasks (each open scans its file for the record index)."""
    from . import LmaFile
    opener: Any = LmaFile if storage_options is None else \
        functools.partial(LmaFile, storage_options=storage_options)
    if parallel and len(paths) > 1:
        import dask
        return list(dask.compute(*[dask.delayed(opener, pure=False)(p)
                                   for p in paths]))
    files: List[Any] = []
    try:
        for path in paths:
            files.append(opener(path))
    except BaseException:
        _close_all(files)
        raise
    return files


def _paths(paths: Any,
           storage_options: Optional[Dict[str, Any]] = None) -> List[str]:
    """The names `paths` stands for: one path or URL, the matches of a
    glob pattern in natural order, or each of a list as given."""
    if not isinstance(paths, (str, bytes, os.PathLike)):
        return [os.fsdecode(os.fspath(p)) for p in paths]
    return names.expand(paths, storage_options)


def open_dataset(paths: Any, **kwargs: Any) -> xr.Dataset:
    """The events of one or more LMA files as one xarray dataset along
    `event`, lazily: nothing is decoded before it is asked for.

    `paths`: a path or URL, a list of them (kept in the order given), or
    a glob pattern (its matches in natural order, run_2 before run_10;
    in a URL, matched in its store, with `storage_options` for the store
    as for each file). A per-event coordinate `file` indexes the attribute
    `sources`, the names as given or matched. `chunks` makes Dask arrays
    (as for `xr.open_dataset`), and then the files are opened in parallel
    on Dask; the other arguments (`dtype`, `drop_variables`, ...) are
    those of ``xr.open_dataset(..., engine="lma")``. The files must share
    channels, samples per trace and sample interval, and for
    `dtype="raw"` the calibration (`MismatchError` otherwise, naming the
    first file and field that differ); where calibrated files differ in
    calibration, each field of a channel's is a list with one value per
    file. A damaged file adds the events before its damage, with a
    `DamagedRecordWarning`; the attributes `damage`, `damage_file`,
    `damage_offset` and `damage_event` list each.

    Parameters
    ----------
    paths : str, os.PathLike, or a list of them
        Paths or URLs, or a glob pattern.
    **kwargs
        Those of ``xr.open_dataset(..., engine="lma")``: `chunks`,
        `dtype`, `drop_variables`, `storage_options`, ...

    Returns
    -------
    xarray.Dataset
        Along `event`, with the coordinate `file` and the attribute
        `sources`.

    Raises
    ------
    FileNotFoundError
        For a pattern that matches nothing.
    MismatchError
        For files that cannot share one dataset.
    """
    names = _paths(paths, kwargs.get("storage_options"))
    kwargs.setdefault("parallel", kwargs.get("chunks") is not None)
    return xr.open_dataset(names, engine=LmaBackendEntrypoint, **kwargs)
