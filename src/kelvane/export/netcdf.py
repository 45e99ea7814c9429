"""netCDF-4 files (HDF5 underneath), compressed with zlib at level 1
after a byte shuffle."""

from __future__ import annotations

import contextlib
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import h5netcdf
import numpy as np

from ..damage import Damage
from .dataset import Sink, write_dataset
from .plan import Plan
from .run import Run


class NetcdfSink(Sink):
    def __init__(self, path: str, compress: bool, sizes: Dict[str, int]):
        self.compress = compress
        self.file = h5netcdf.File(path, "w")
        self.file.dimensions = sizes
        self.variables: Dict[str, Any] = {}

    def attributes(self, attrs: Dict[str, Any]) -> None:
        self.file.attrs.update(attrs)

    def variable(self, name: str, dims: Sequence[str],
                 shape: Tuple[int, ...], dtype: np.dtype,
                 chunks: Tuple[int, ...], attrs: Dict[str, Any],
                 data: Optional[np.ndarray] = None) -> None:
        options: Dict[str, Any] = {}
        # HDF5 chunks no empty variable, nor one smaller than a chunk.
        if all(shape):
            options["chunks"] = tuple(min(c, s) for c, s in zip(chunks,
                                                                shape))
            if self.compress:
                options.update(compression="gzip", compression_opts=1,
                               shuffle=True)
        # No fill value: none of the samples is missing.
        variable = self.file.create_variable(name, tuple(dims), dtype,
                                             **options)
        variable.attrs.update(attrs)
        self.variables[name] = variable
        if data is not None and data.size:
            variable[...] = data

    def write(self, at: int, blocks: Dict[str, np.ndarray]) -> None:
        for name, block in blocks.items():
            self.variables[name][at:at + len(block)] = block

    def close(self) -> None:
        try:
            self.file.close()
        except BaseException:
            # HDF5 crashes on a file whose closing failed, which h5netcdf
            # would flush again when collected: it is closed as far as
            # h5netcdf knows.
            self.file._closed = True
            raise


def write_netcdf(run: Run, path: str, events: range, dtype: str,
                 layout: Plan, compress: bool,
                 damages: List[Tuple[int, Damage]],
                 progress: Callable[[int], None]) -> None:
    sink = NetcdfSink(path, compress, {"event": len(events),
                                       "sample": run.nsamples})
    try:
        write_dataset(sink, run, events, dtype, layout, damages, progress)
    except BaseException:
        with contextlib.suppress(Exception):
            sink.close()
        raise
