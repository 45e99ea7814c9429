"""Zarr stores, in the format the installed Zarr writes by default (the
second with Zarr 2, the third with Zarr 3), each chunk compressed whole
with zstd: named here, since the default codec differs between the two.
At level 1, except float64 traces: for int16 samples it makes chunks as
small as level 3 does, at twice the speed; float32 traces come out a
tenth larger (about one and a half times the input on random pulses) at
two and a half times the speed; float64 traces take as long at any
level up to 3, where they come out a quarter smaller than at level 1.
Not through Blosc, whose small blocks each start the compressor anew: on
traces it is two to three times slower, and its blocks hide the repeats
that make calibrated traces small (float64 traces come out half as large
again).

The chunks are compressed here, several at a time (zstd releases the
interpreter lock), and stored as the encoded bytes the array's codecs
declare, so that Zarr reads them as its own. Zarr's own writing sends
each chunk through its codec pipeline one after another, copying it on
the way: several times slower."""

from __future__ import annotations

import os
import warnings
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np
import zarr

from ..damage import Damage
from .dataset import Sink, write_dataset
from .plan import Plan
from .run import Run

ZARR3 = int(zarr.__version__.split(".")[0]) >= 3


def level(dtype: np.dtype) -> int:
    return 3 if dtype.itemsize >= 8 else 1


def compressor(compress: bool, dtype: np.dtype) -> Any:
    if not compress:
        return None
    if ZARR3:
        from zarr.codecs import ZstdCodec
        return ZstdCodec(level=level(dtype))
    from numcodecs import Zstd
    return Zstd(level=level(dtype))


class Chunks:
    """Stores encoded chunks of one array straight into its store: `None`
    from `of` where the array declares codecs other than the ones this
    module gives it (another default format, say), which then go through
    Zarr's own writing."""

    def __init__(self, array: Any, encode: Callable[[bytes], bytes],
                 dtype: np.dtype) -> None:
        self.array = array
        self.encode = encode
        self.dtype = dtype    # of the stored bytes, byte order included
        self.rows = array.chunks[0]

    @classmethod
    def of(cls, array: Any) -> Optional["Chunks"]:
        # One chunk across all but the first dimension.
        if any(c < n for c, n in zip(array.chunks[1:], array.shape[1:])):
            return None
        if ZARR3:
            from zarr.codecs import BytesCodec, ZstdCodec
            metadata = array.metadata
            if metadata.zarr_format != 3:
                return None
            codecs = tuple(metadata.codecs)
            if not codecs or not isinstance(codecs[0], BytesCodec):
                return None
            # An enum in earlier Zarr 3 releases, a plain string in later.
            endian = getattr(codecs[0].endian, "value", codecs[0].endian)
            order = "<" if endian in (None, "little") else ">"
            rest = codecs[1:]
            if not rest:
                encode: Callable[[bytes], bytes] = bytes
            elif len(rest) == 1 and isinstance(rest[0], ZstdCodec):
                from numcodecs import Zstd
                encode = Zstd(level=rest[0].level,
                              checksum=rest[0].checksum).encode
            else:
                return None
            return cls(array, encode,
                       array.dtype.newbyteorder(order)
                       if array.dtype.itemsize > 1 else array.dtype)
        if array.filters or array.order != "C":
            return None
        coder = array.compressor
        return cls(array, bytes if coder is None else coder.encode,
                   array.dtype)

    def put(self, row: int, block: np.ndarray) -> None:
        """Stores the rows `block` from `row` on: the start of a chunk,
        and its end or the array's (the chunk is then padded with
        zeros, as it is across rows of no samples)."""
        shape = tuple(self.array.chunks)
        if block.shape != shape:
            full = np.zeros(shape, self.dtype)
            full[tuple(slice(0, n) for n in block.shape)] = block
            block = full
        data = self.encode(np.ascontiguousarray(block, self.dtype))
        coords = (row // self.rows,) + (0,) * (block.ndim - 1)
        if ZARR3:
            from zarr.core.buffer import default_buffer_prototype
            from zarr.core.sync import sync
            where = self.array.store_path / \
                self.array.metadata.encode_chunk_key(coords)
            sync(where.set(default_buffer_prototype().buffer.from_bytes(
                data)))
        else:
            self.array.chunk_store[self.array._chunk_key(coords)] = data


class ZarrSink(Sink):
    def __init__(self, path: str, compress: bool) -> None:
        self.path = path
        self.compress = compress
        self.group = zarr.open_group(path, mode="w")
        self.arrays: Dict[str, Any] = {}
        self.chunks: Dict[str, Optional[Chunks]] = {}
        self.pool = ThreadPoolExecutor(os.cpu_count() or 1)

    def attributes(self, attrs: Dict[str, Any]) -> None:
        self.group.attrs.update(attrs)

    def variable(self, name: str, dims: Sequence[str],
                 shape: Tuple[int, ...], dtype: np.dtype,
                 chunks: Tuple[int, ...], attrs: Dict[str, Any],
                 data: Optional[np.ndarray] = None) -> None:
        codec = compressor(self.compress, dtype)
        if ZARR3:
            # The third format has no empty fill value; xarray reads it as
            # a mask only where an attribute `_FillValue` says so, and
            # there is none.
            array = self.group.create_array(
                name, shape=shape, dtype=dtype, chunks=chunks,
                compressors=codec, fill_value=0,
                dimension_names=list(dims), attributes=attrs)
        else:
            # No fill value, so that no sample reads as missing.
            array = self.group.create_dataset(
                name, shape=shape, dtype=dtype, chunks=chunks,
                compressor=codec, fill_value=None)
            array.attrs.put(dict(attrs, _ARRAY_DIMENSIONS=list(dims)))
        self.arrays[name] = array
        self.chunks[name] = Chunks.of(array)
        if data is not None and data.size:
            array[...] = data

    def write(self, at: int,
              blocks: Dict[str, np.ndarray]) -> Callable[[], None]:
        started: List[Future] = []
        for name, block in blocks.items():
            chunks = self.chunks[name]
            if chunks is None:
                array = self.arrays[name]
                started.append(self.pool.submit(
                    array.__setitem__, slice(at, at + len(block)), block))
                continue
            # Each batch starts a chunk.
            for i in range(0, len(block), chunks.rows):
                started.append(self.pool.submit(
                    chunks.put, at + i, block[i:i + chunks.rows]))

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
