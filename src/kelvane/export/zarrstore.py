"""Zarr stores, in the format the installed Zarr writes by default (the
second with Zarr 2, the third with Zarr 3), each chunk compressed whole
with zstd at level 3: named here, since the default codec differs between
the two. Not through Blosc, whose small blocks each start the compressor
anew: on traces it is two to three times slower, and its blocks hide the
repeats that make calibrated traces small (float64 traces come out half
as large again)."""

from __future__ import annotations

import warnings
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np
import zarr

from ..damage import Damage
from .dataset import Sink, write_dataset
from .plan import Plan
from .run import Run

ZARR3 = int(zarr.__version__.split(".")[0]) >= 3


def compressor(compress: bool) -> Any:
    if not compress:
        return None
    if ZARR3:
        from zarr.codecs import ZstdCodec
        return ZstdCodec(level=3)
    from numcodecs import Zstd
    return Zstd(level=3)


class ZarrSink(Sink):
    def __init__(self, path: str, compress: bool) -> None:
        self.path = path
        self.compress = compress
        self.group = zarr.open_group(path, mode="w")
        self.arrays: Dict[str, Any] = {}
        # The codecs release the interpreter lock: the variables of a
        # batch are compressed side by side.
        self.pool = ThreadPoolExecutor(4)

    def attributes(self, attrs: Dict[str, Any]) -> None:
        self.group.attrs.update(attrs)

    def variable(self, name: str, dims: Sequence[str],
                 shape: Tuple[int, ...], dtype: np.dtype,
                 chunks: Tuple[int, ...], attrs: Dict[str, Any],
                 data: Optional[np.ndarray] = None) -> None:
        if ZARR3:
            # The third format has no empty fill value; xarray reads it as
            # a mask only where an attribute `_FillValue` says so, and
            # there is none.
            array = self.group.create_array(
                name, shape=shape, dtype=dtype, chunks=chunks,
                compressors=compressor(self.compress), fill_value=0,
                dimension_names=list(dims), attributes=attrs)
        else:
            # No fill value, so that no sample reads as missing.
            array = self.group.create_dataset(
                name, shape=shape, dtype=dtype, chunks=chunks,
                compressor=compressor(self.compress), fill_value=None)
            array.attrs.put(dict(attrs, _ARRAY_DIMENSIONS=list(dims)))
        self.arrays[name] = array
        if data is not None and data.size:
            array[...] = data

    def write(self, at: int,
              blocks: Dict[str, np.ndarray]) -> Callable[[], None]:
        def put(name: str) -> None:
            block = blocks[name]
            self.arrays[name][at:at + len(block)] = block

        started = [self.pool.submit(put, name) for name in blocks]

        def finish() -> None:
            for done in started:
                done.result()
        return finish

    def close(self) -> None:
        self.pool.shutdown()
        with warnings.catch_warnings():
            # Zarr's third format has no consolidated metadata of its own
            # yet; it is written for readers of the second, as xarray
            # does.
            warnings.filterwarnings("ignore", "Consolidated metadata",
                                    UserWarning)
            zarr.consolidate_metadata(self.path)


def write_zarr(run: Run, path: str, events: range, dtype: str, layout: Plan,
               compress: bool, damages: List[Tuple[int, Damage]],
               progress: Callable[[int], None]) -> None:
    sink = ZarrSink(path, compress)
    try:
        write_dataset(sink, run, events, dtype, layout, damages, progress)
    finally:
        sink.pool.shutdown(cancel_futures=True)
