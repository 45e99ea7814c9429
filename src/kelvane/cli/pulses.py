"""`lma convert --pulses FILE... OUT.{parquet,npz,zarr}`: the partial
pulses as stored, of one file or of several in the order given; the
writing is `kelvane.pulses_export`'s."""

from __future__ import annotations

import argparse
import contextlib
from typing import List

from ..lmafile import LmaFile
from ..export import Run
from ..pulses_export import (PULSE_FORMATS, MismatchError, check_compatible,
                             damaged_inputs, write_pulses)
from .convert import check_output, require_modules, run_range
from .output import atomic_path
from .progress import progress_bar
from .source import open_file
from .status import UsageError, fail, printable


def convert_pulses(args: argparse.Namespace) -> int:
    suffix = check_output(args.files, args.out, PULSE_FORMATS,
                          " with --pulses")
    require_modules(suffix, PULSE_FORMATS)
    with contextlib.ExitStack() as stack:
        files = [stack.enter_context(open_file(name)) for name in args.files]
        try:
            check_compatible(files)
        except MismatchError as error:
            raise UsageError(str(error)) from None
        events = run_range(Run._from_files(files), args.start, args.stop)
        with atomic_path(args.out, directory=suffix == ".zarr") as temp, \
                progress_bar(len(events), "converting") as progress:
            write_pulses(files, temp, start=events.start, stop=args.stop,
                         suffix=suffix, progress=progress)
        return converted_pulses(args, files, events)


def converted_pulses(args: argparse.Namespace, files: List[LmaFile],
                     events: range) -> int:
    last = f"{events.stop - 1}" if len(events) else "none"
    of = printable(args.files[0]) if len(files) == 1 else \
        f"{len(files)} files"
    print(f"wrote the pulses of {len(events)} events ({events.start} to "
          f"{last}) of {of} to {printable(args.out)}")
    damaged = damaged_inputs(files, events.start, args.stop)
    if damaged:
        return fail("; ".join(f"{files[i].path}: {files[i].damage}"
                              for i in damaged))
    return 0
