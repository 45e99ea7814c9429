"""`lma convert FILE... OUT.{npz,zarr,nc} [--dtype float64|float32|raw]
[--start N] [--stop N] [--no-compress] [--memory-limit SIZE]`: events of
one or more files into a NumPy archive, or the dataset xarray's engine
"lma" opens, as Zarr or netCDF. The writing is `kelvane.export`'s."""

from __future__ import annotations

import argparse
import contextlib
import importlib
import os
import re
from typing import Any, Dict, Optional, Sequence, Tuple

from .. import export
from ..export import Run
from .base import Command, event_index
from .memory import out_of_memory, reserve
from .output import atomic_path, refuse_inputs
from .progress import progress_bar
from . import source
from .source import checked_range
from .status import UsageError, UserError, fail, printable


class ConvertCommand(Command):
    name = "convert"
    help = "events into a NumPy .npz, Zarr or netCDF file"
    description = ("Write the events of one or more files, in the order "
                   "given, to a NumPy .npz file: 'tags', 'horpos', 'time', "
                   "one 2-D array per channel ('channel0', ...) with a row "
                   "per event, and the header as 'channels', 'nsamples', "
                   "'sample_interval', 'calibration', 'source', 'start'. "
                   "OUT.zarr (needs kelvane[zarr]) and OUT.nc (needs "
                   "kelvane[netcdf]) hold the dataset xarray's engine "
                   "'lma' opens, with the attribute 'start'. Without -o, "
                   "the last argument is OUT. With --pulses, the partial "
                   "pulses as stored, to OUT.{parquet,npz,zarr}.")

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("paths", nargs="+", metavar="FILE",
                            help="LMA files, then OUT.{npz,zarr,nc} "
                                 "unless -o gives it")
        parser.add_argument("-o", "--output", metavar="OUT.{npz,zarr,nc}",
                            help="the output; every FILE is then an input")
        parser.add_argument("--pulses", action="store_true",
                            help="the partial pulses as stored, of every "
                                 "FILE, to OUT.{parquet,npz,zarr}")
        parser.add_argument("--dtype", choices=list(export.DTYPES),
                            default="float64",
                            help="trace type; float32 halves the size, raw "
                                 "keeps the int16 samples as stored")
        parser.add_argument("--start", type=event_index, default=0,
                            metavar="N", help="first event (default 0), "
                                              "counted over all inputs")
        parser.add_argument("--stop", type=event_index, default=None,
                            metavar="N",
                            help="stop before this event (default: all)")
        parser.add_argument("--no-compress", dest="compress",
                            action="store_false",
                            help="write the samples uncompressed")
        parser.add_argument("--memory-limit", type=memory_size,
                            default=export.DEFAULT_MEMORY_LIMIT,
                            metavar="SIZE",
                            help="memory for decoding and writing, as 512M "
                                 "or 2G (default 256M)")

    def check_arguments(self, parser: argparse.ArgumentParser,
                        args: argparse.Namespace) -> None:
        if args.output is None:
            if len(args.paths) < 2:
                parser.error("the following arguments are required: "
                             "OUT.{npz,zarr,nc}")
            args.files, args.out = args.paths[:-1], args.paths[-1]
        else:
            args.files, args.out = args.paths, args.output
        if args.stop is not None and args.stop < args.start:
            parser.error(f"--stop {args.stop} is before --start {args.start}")

    def run(self, args: argparse.Namespace) -> int:
        if args.pulses:
            from .pulses import convert_pulses
            return convert_pulses(args)
        suffix = check_output(args.files, args.out)
        require_modules(suffix)
        with contextlib.ExitStack() as stack:
            files = [stack.enter_context(source.open_or_explain(name))
                     for name in args.files]
            try:
                return convert(args, suffix, Run._from_files(files))
            except MemoryError:
                raise UserError(out_of_memory(files[0])) from None


def memory_size(text: str) -> int:
    """Bytes from "268435456", "256M", "256MiB", "2G" (powers of 1024)."""
    found = re.fullmatch(r"\s*(\d+)\s*(?:([KMGT])(?:i?B)?|B)?\s*", text,
                         re.IGNORECASE)
    if not found:
        raise argparse.ArgumentTypeError(f"not a size: {text!r}")
    power = " KMGT".index((found.group(2) or " ").upper())
    value = int(found.group(1)) << (10 * power)
    if value < 2**23:
        raise argparse.ArgumentTypeError(f"must be at least 8M: {text}")
    return value


def check_output(sources: Sequence[str], out: str,
                 formats: Optional[Dict[str, Any]] = None,
                 mode: str = "") -> str:
    """The output's format, by suffix, among `formats` (by default those of
    `lma convert`; `mode` names the option that picks others). Refuses an
    OUT that would overwrite something other than an archive or a Zarr
    store, an input above all."""
    formats = export.FORMATS if formats is None else formats
    suffix = os.path.splitext(out)[1].lower()
    if suffix not in formats:
        raise UsageError(f"OUT must end in {', '.join(formats)}{mode}: "
                         f"{printable(out)}")
    refuse_inputs(sources, out)
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
                    formats: Optional[Dict[str, Tuple[Tuple[str, ...], str]]]
                    = None) -> None:
    """UserError naming the extra to install unless the modules writing
    `suffix` (by default as `lma convert` writes it) import."""
    modules, extra = (export.FORMATS if formats is None else formats)[suffix]
    missing = []
    for name in modules:
        try:
            importlib.import_module(name)
        except ImportError:
            missing.append(name)
    if missing:
        raise UserError(f"writing {suffix} needs {' and '.join(missing)}: "
                        f"pip install 'kelvane[{extra}]'")


def run_range(run: Run, start: int, stop: Optional[int]) -> range:
    """The events from `start` up to `stop` over all inputs; UserError
    when there is no event `start`, as for one file."""
    if len(run.files) == 1:
        return checked_range(run.files[0], start, stop)
    n = len(run)
    if start >= n and start > 0 and stop != start:
        raise UserError(f"the {len(run.files)} inputs have {n} events; "
                        f"no event {start}")
    return range(min(start, n), n if stop is None else min(stop, n))


def convert(args: argparse.Namespace, suffix: str, run: Run) -> int:
    try:
        run.check_compatible(args.dtype == "raw")
        if args.dtype == "raw" and suffix in export.SCALED:
            export.check_raw_scaling(run)
    except ValueError as error:
        # Inputs that cannot share one output, or raw samples no reader
        # could decode.
        raise UsageError(str(error)) from None
    events = run_range(run, args.start, args.stop)
    layout = export.plan_for(run, args.dtype, args.memory_limit, suffix)
    # Decoding writes every sample: memory granted on credit would get the
    # process killed, so it is checked before the output is made.
    reserve(layout.working_bytes(len(events)) + 20 * len(events))
    total = len(events) * layout.event_bytes
    with atomic_path(args.out, directory=suffix == ".zarr") as temp, \
            progress_bar(total, "converting", unit="B") as progress:
        export.export(run, temp, start=events.start, stop=args.stop,
                      dtype=args.dtype, compress=args.compress,
                      memory_limit=args.memory_limit, suffix=suffix,
                      progress=progress)
    return converted(args, run, events)


def converted(args: argparse.Namespace, run: Run, events: range) -> int:
    last = f"{events.stop - 1}" if len(events) else "none"
    of = printable(args.files[0]) if len(args.files) == 1 else \
        f"{len(args.files)} files"
    print(f"wrote {len(events)} events ({args.start} to {last}) "
          f"of {of} to {printable(args.out)}")
    damage = export.damage_message(run, run.damages(events.start,
                                                    args.stop))
    return fail(damage) if damage else 0

