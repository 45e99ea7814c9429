"""`lma convert FILE OUT.{npz,zarr,nc} [--dtype float32] [--start N]
[--stop N]`: events into a NumPy archive, or the dataset xarray's engine
"lma" opens, as Zarr or netCDF."""

from __future__ import annotations

import argparse
import contextlib
import importlib
import os
import warnings
from typing import Any, Dict, Tuple

import numpy as np

from ..batch import (Events, damage_message, damage_reached, new_events,
                     read_range)
from ..lmafile import LmaFile
from .base import Command, event_index
from .memory import reserve
from .output import atomic_output, atomic_path
from .progress import progress_bar
from .source import checked_range, open_file
from .status import UsageError, UserError, fail, printable


class ConvertCommand(Command):
    name = "convert"
    help = "events into a NumPy .npz, Zarr or netCDF file"
    description = ("Write the events to a NumPy .npz file: 'tags', one "
                   "2-D array per channel ('channel0', ...) with a row per "
                   "event, and the header as 'channels', 'nsamples', "
                   "'sample_interval', 'calibration', 'source', 'start'. "
                   "OUT.zarr (needs kelvane[zarr]) and OUT.nc (needs "
                   "kelvane[netcdf]) hold the dataset xarray's engine "
                   "'lma' opens, with the attribute 'start'. With "
                   "--pulses, the partial pulses as stored, of one or more "
                   "files, to OUT.{parquet,npz,zarr}.")

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("paths", nargs="+", metavar="FILE",
                            help="LMA files, then OUT.{npz,zarr,nc} "
                                 "unless -o gives it")
        parser.add_argument("-o", "--output", metavar="OUT.{npz,zarr,nc}",
                            help="the output; every FILE is then an input")
        parser.add_argument("--pulses", action="store_true",
                            help="the partial pulses as stored, of every "
                                 "FILE, to OUT.{parquet,npz,zarr}")
        parser.add_argument("--dtype", choices=["float64", "float32"],
                            default="float64",
                            help="trace type; float32 halves the size")
        parser.add_argument("--start", type=event_index, default=0,
                            metavar="N", help="first event (default 0)")
        parser.add_argument("--stop", type=event_index, default=None,
                            metavar="N",
                            help="stop before this event (default: all)")

    def check_arguments(self, parser: argparse.ArgumentParser,
                        args: argparse.Namespace) -> None:
        if args.output is None:
            if len(args.paths) < 2:
                parser.error("the following arguments are required: "
                             "OUT.{npz,zarr,nc}")
            args.files, args.out = args.paths[:-1], args.paths[-1]
        else:
            args.files, args.out = args.paths, args.output
        if len(args.files) > 1 and not args.pulses:
            parser.error("several inputs need --pulses")
        args.file = args.files[0]
        if args.stop is not None and args.stop < args.start:
            parser.error(f"--stop {args.stop} is before --start {args.start}")

    def run(self, args: argparse.Namespace) -> int:
        if args.pulses:
            from .pulses import convert_pulses
            return convert_pulses(args)
        suffix = check_output(args.file, args.out)
        if suffix != ".npz":
            return convert_to_dataset(args, suffix)
        dtype = np.dtype(args.dtype)
        # The output file is made before decoding, so that an unwritable OUT
        # is found at once.
        with open_file(args.file) as f, atomic_output(args.out) as out:
            events = checked_range(f, args.start, args.stop)
            tags, traces = convert_events(f, events, dtype)
            np.savez(out, **dict(traces, tags=tags,
                                 **header_arrays(f, args.start)))
        return converted(args, f, events)


# What `lma convert` writes, by the output's suffix (any case): the modules
# each format needs beyond NumPy, and the extra that installs them.
CONVERT_FORMATS: Dict[str, Tuple[Tuple[str, ...], str]] = {
    ".npz": ((), ""),
    ".zarr": (("xarray", "zarr"), "zarr"),
    ".nc": (("xarray", "h5netcdf", "h5py"), "netcdf"),
}


def check_output(source: str, out: str) -> str:
    """The output's format, by suffix. Refuses an OUT that would overwrite
    something other than an archive or a Zarr store, the input above
    all."""
    suffix = os.path.splitext(out)[1].lower()
    if suffix not in CONVERT_FORMATS:
        raise UsageError(f"OUT must end in {', '.join(CONVERT_FORMATS)}: "
                         f"{printable(out)}")
    with contextlib.suppress(OSError):
        if os.path.samefile(source, out):
            raise UsageError(f"OUT is the input file: {printable(out)}")
    if suffix == ".zarr" and os.path.lexists(out) and not is_zarr_store(out):
        raise UsageError(f"OUT exists and is not a Zarr store: "
                         f"{printable(out)}")
    return suffix


def is_zarr_store(path: str) -> bool:
    # The group's metadata file, in Zarr's second format or its third.
    return os.path.isdir(path) and not os.path.islink(path) and any(
        os.path.isfile(os.path.join(path, name))
        for name in (".zgroup", "zarr.json"))


def require_modules(suffix: str,
                    formats: Dict[str, Tuple[Tuple[str, ...], str]]
                    = CONVERT_FORMATS) -> None:
    """UserError naming the extra to install unless the modules writing
    `suffix` import."""
    modules, extra = formats[suffix]
    missing = []
    for name in modules:
        try:
            importlib.import_module(name)
        except ImportError:
            missing.append(name)
    if missing:
        raise UserError(f"writing {suffix} needs {' and '.join(missing)}: "
                        f"pip install 'kelvane[{extra}]'")


# Events decoded per call while converting, as bytes of output: small
# enough for a smooth progress bar and a prompt response to Ctrl-C.
CONVERT_CHUNK_BYTES = 2**24


def converted(args: argparse.Namespace, f: LmaFile, events: range) -> int:
    last = f"{events.stop - 1}" if len(events) else "none"
    print(f"wrote {len(events)} events ({args.start} to {last}) "
          f"of {args.file} to {args.out}")
    if damage_reached(f, args.stop):
        return fail(damage_message(f))
    return 0


def convert_to_dataset(args: argparse.Namespace, suffix: str) -> int:
    """Writes the events as the xarray backend presents them, to Zarr or
    netCDF."""
    require_modules(suffix)
    from ..xarray_backend import lma_dataset
    with open_file(args.file) as f, \
            atomic_path(args.out, directory=suffix == ".zarr") as temp:
        events = checked_range(f, args.start, args.stop)
        ds = lma_dataset(f, args.dtype).isel(
            event=slice(events.start, events.stop))
        if not damage_reached(f, args.stop):
            for key in ("damage", "damage_offset", "damage_event"):
                ds.attrs.pop(key, None)
        ds.attrs["start"] = events.start
        write_dataset(ds, temp, suffix, f)
    return converted(args, f, events)


def write_dataset(ds: Any, path: str, suffix: str, f: LmaFile) -> None:
    """With Dask at hand, a chunk of events at a time, so that memory stays
    bounded; without, one channel at a time. In this thread either way, so
    that an interruption stops the writing before the output is removed.
    """
    try:
        import dask
    except ImportError:
        scheduler: Any = contextlib.nullcontext()
    else:
        itemsize = ds[next(iter(ds.data_vars))].dtype.itemsize \
            if ds.data_vars else 1
        row_bytes = max(f.nsamples, 0) * len(f.channels) * itemsize
        ds = ds.chunk({"event": max(1, CONVERT_CHUNK_BYTES
                                    // max(row_bytes, 1))})
        scheduler = dask.config.set(scheduler="synchronous")
    with scheduler, warnings.catch_warnings():
        if suffix == ".zarr":
            # Zarr's third format has no consolidated metadata of its own
            # yet; it is written for readers of the second.
            warnings.filterwarnings("ignore", "Consolidated metadata",
                                    UserWarning)
            ds.to_zarr(path, mode="w")
        else:
            ds.to_netcdf(path, engine="h5netcdf")


def convert_events(f: LmaFile, events: range, dtype: np.dtype) -> Events:
    """The events as arrays of exactly their size, decoded a chunk at a
    time under a progress bar."""
    row_bytes = max(f.nsamples, 0) * len(f.channels) * dtype.itemsize
    reserve(len(events) * (row_bytes + 4))
    result = new_events(f, len(events), dtype)
    step = max(1, CONVERT_CHUNK_BYTES // max(row_bytes, 1))
    with progress_bar(len(events), "converting") as progress:
        for i in range(events.start, events.stop, step):
            j = min(i + step, events.stop)
            read_range(f, range(i, j), dtype, result, i - events.start)
            if progress is not None:
                progress(j - i)
    return result


def header_arrays(f: LmaFile, start: int) -> Dict[str, np.ndarray]:
    calibration = np.array(
        [(c.fullscale, c.offset, c.baseline, c.gain)
         for c in f.calibration.values()],
        dtype=[("fullscale", "i4"), ("offset", "i4"), ("baseline", "i4"),
               ("gain", "f8")])
    return {"channels": np.array(f.channels, dtype=np.int32),
            "nsamples": np.array(f.nsamples, dtype=np.int32),
            "sample_interval": np.array(f.sample_interval),
            "calibration": calibration,
            "source": np.array(f.path),
            "start": np.array(start, dtype=np.int64)}
