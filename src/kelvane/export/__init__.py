"""LMA events exported to a NumPy `.npz` archive, a Zarr store or a
netCDF file, in one pass of bounded memory.

    with kelvane.LmaFile("a.lma") as a, kelvane.LmaFile("b.lma") as b:
        run = Run._from_files([a, b])               # the events of both, in order
        export(run, "run.zarr", dtype="raw")

Every output holds the tags, the trigger positions (`horpos`), the time
axis, the calibration, the input files and, when the events written run
into a damaged record, the damage. Traces are float64, float32 or, with
`dtype="raw"`, the int16 samples as stored, with the calibration as CF's
`scale_factor` and `add_offset` in Zarr and netCDF. Outputs are compressed
unless `compress=False` and written a batch of events at a time, so that
memory stays within `memory_limit` bytes plus one chunk plus 20 bytes per
event.
"""

from __future__ import annotations

import os
from typing import Callable, Dict, Optional, Tuple

from .metadata import check_raw_scaling, damage_message
from .plan import DEFAULT_MEMORY_LIMIT, Plan, make_plan
from .run import DTYPES, MismatchError, Run

__all__ = ["Run", "MismatchError", "export", "FORMATS", "DTYPES",
           "DEFAULT_MEMORY_LIMIT", "plan_for",
           "damage_message", "check_raw_scaling", "SCALED"]

# The formats by suffix: the modules each needs beyond NumPy, and the
# extra that installs them.
FORMATS: Dict[str, Tuple[Tuple[str, ...], str]] = {
    ".npz": ((), ""),
    ".zarr": (("zarr",), "zarr"),
    ".nc": (("h5netcdf", "h5py"), "netcdf"),
}

# The formats that give raw samples their calibration as CF's
# `scale_factor` and `add_offset`.
SCALED = (".zarr", ".nc")

Progress = Optional[Callable[[int], None]]


def plan_for(run: Run, dtype: str, memory_limit: int, suffix: str) -> Plan:
    return make_plan(len(run.channels), run.nsamples, DTYPES[dtype],
                     memory_limit, suffix)


def export(run: Run, path: str, *, start: int = 0,
           stop: Optional[int] = None, dtype: str = "float64",
           compress: bool = True,
           memory_limit: int = DEFAULT_MEMORY_LIMIT,
           suffix: Optional[str] = None, progress: Progress = None) -> None:
    """Writes the events of `run` from `start` up to `stop` (None: all) to
    `path`, in the format its suffix (or `suffix`) names. `progress`, if
    given, is called with the number of bytes of samples just written.
    With several inputs, raw samples need one calibration for all
    (MismatchError otherwise)."""
    if dtype not in DTYPES:
        raise ValueError(f"dtype must be one of {', '.join(DTYPES)}, not "
                         f"{dtype!r}")
    suffix = (suffix or os.path.splitext(path)[1]).lower()
    if suffix not in FORMATS:
        raise ValueError(f"cannot write {suffix!r}: the formats are "
                         f"{', '.join(FORMATS)}")
    run.check_compatible(dtype == "raw")
    if dtype == "raw" and suffix in SCALED:
        check_raw_scaling(run)
    events = range(start, len(run) if stop is None else min(stop, len(run)))
    damages = run.damages(start, stop)
    layout = plan_for(run, dtype, memory_limit, suffix)
    if suffix == ".npz":
        from .npz import write_npz as write
    elif suffix == ".zarr":
        from .zarrstore import write_zarr as write
    else:
        from .netcdf import write_netcdf as write
    write(run, path, events, dtype, layout, compress, damages,
          progress or (lambda n: None))
