"""`lma convert --pulses FILE... OUT.{parquet,npz,zarr}`: the partial
pulses as stored, of one file or of several in the order given; the
writing is `kelvane.pulses_export`'s."""

from __future__ import annotations

import argparse
import contextlib
import os
from typing import List, Optional, Sequence

from ..lmafile import LmaFile
from ..pulses_export import (PULSE_FORMATS, MismatchError, bounds,
                             check_compatible, damaged_inputs, write_pulses)
from .convert import is_zarr_store, require_modules
from .output import atomic_path
from .progress import progress_bar
from .source import checked_range, open_file
from .status import UsageError, UserError, fail, printable


def convert_pulses(args: argparse.Namespace) -> int:
    suffix = check_pulses_output(args.files, args.out)
    require_modules(suffix, PULSE_FORMATS)
    with contextlib.ExitStack() as stack:
        files = [stack.enter_context(open_file(name)) for name in args.files]
        try:
            check_compatible(files)
        except MismatchError as error:
            raise UsageError(str(error)) from None
        events = pulses_range(files, args.start, args.stop)
        with atomic_path(args.out, directory=suffix == ".zarr") as temp, \
                progress_bar(len(events), "converting") as progress:
            write_pulses(files, temp, start=events.start, stop=args.stop,
                         suffix=suffix, progress=progress)
        return converted_pulses(args, files, events)


def check_pulses_output(sources: Sequence[str], out: str) -> str:
    """The output's format, by suffix; refuses an OUT that is an input or
    would overwrite something other than a Zarr store."""
    suffix = os.path.splitext(out)[1].lower()
    if suffix not in PULSE_FORMATS:
        raise UsageError(f"OUT must end in {', '.join(PULSE_FORMATS)} "
                         f"with --pulses: {printable(out)}")
    for source in sources:
        with contextlib.suppress(OSError):
            if os.path.samefile(source, out):
                raise UsageError(f"OUT is the input file: {printable(out)}")
    if suffix == ".zarr" and os.path.lexists(out) and not is_zarr_store(out):
        raise UsageError(f"OUT exists and is not a Zarr store: "
                         f"{printable(out)}")
    return suffix


def pulses_range(files: List[LmaFile], start: int,
                 stop: Optional[int]) -> range:
    """The events from `start` up to `stop` over all inputs; UserError
    when there is no event `start`, as for one file."""
    if len(files) == 1:
        return checked_range(files[0], start, stop)
    n = bounds(files)[-1]
    if start >= n and start > 0 and stop != start:
        raise UserError(f"the {len(files)} inputs have {n} events; "
                        f"no event {start}")
    return range(min(start, n), n if stop is None else min(stop, n))


def converted_pulses(args: argparse.Namespace, files: List[LmaFile],
                     events: range) -> int:
    last = f"{events.stop - 1}" if len(events) else "none"
    of = args.files[0] if len(files) == 1 else f"{len(files)} files"
    print(f"wrote the pulses of {len(events)} events ({events.start} to "
          f"{last}) of {of} to {args.out}")
    damaged = damaged_inputs(files, events.start, args.stop)
    if damaged:
        return fail("; ".join(f"{files[i].path}: {files[i].damage}"
                              for i in damaged))
    return 0
