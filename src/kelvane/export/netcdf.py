"""netCDF-4 files (HDF5 underneath), compressed with zlib at level 1,
integers after a byte shuffle (see `dataset.shuffles`): the filters every
netCDF and HDF5 reader has. The streams are made with ISA-L's deflate
where it is installed (the extra `netcdf` installs it): at its level 1 it
is six to seven times as fast as zlib's, for streams as small, which any
zlib inflates; with zlib's own otherwise."""

from __future__ import annotations

import contextlib
import os
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import h5netcdf
import numpy as np

try:
    from isal.isal_zlib import compress as deflate
except ImportError:  # pragma: no cover - the extra installs it
    from zlib import compress as deflate

from ..damage import Damage
from .dataset import Sink, shuffles, write_dataset
from .plan import Plan
from .run import Run


def stored_chunk(rows: np.ndarray, nrows: int) -> bytes:
    """A chunk as HDF5 stores it with the filters `NetcdfSink.variable`
    sets: `nrows` rows (the last chunk padded with zeros), byte-shuffled
    for integers, then deflated at level 1 into a zlib stream."""
    if len(rows) < nrows:
        full = np.zeros((nrows,) + rows.shape[1:], rows.dtype)
        full[:len(rows)] = rows
        rows = full
    data = np.ascontiguousarray(rows).view(np.uint8)
    if shuffles(rows.dtype):
        data = data.reshape(-1, rows.dtype.itemsize).T
    return deflate(np.ascontiguousarray(data), 1)


class KeptFailure:
    """The file HDF5 writes, whose failures (a full disk, a file too
    large, an interruption arriving while HDF5 calls in here) are kept
    rather than reported to HDF5: HDF5 left with a failed write crashes
    the process when the file is closed after it. Later writes are
    dropped, and the failure is raised by `check` once HDF5 has returned;
    the file is discarded then. Bytes go by offset, so that no failure
    leaves a position behind."""

    def __init__(self, path: str) -> None:
        self.fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC
                          | getattr(os, "O_CLOEXEC", 0), 0o666)
        self.position = 0
        self.failure: Optional[BaseException] = None

    def keep(self, failure: BaseException) -> None:
        if self.failure is None:
            self.failure = failure

    def write(self, data: Any) -> int:
        view = memoryview(data).cast("B")
        try:
            done = 0
            while self.failure is None and done < len(view):
                done += os.pwrite(self.fd, view[done:], self.position + done)
        except BaseException as failure:
            self.keep(failure)
        self.position += len(view)
        return len(view)

    def truncate(self, size: Optional[int] = None) -> int:
        size = self.position if size is None else size
        try:
            if self.failure is None:
                os.ftruncate(self.fd, size)
        except BaseException as failure:
            self.keep(failure)
        return size

    def flush(self) -> None:
        pass    # nothing is buffered here

    def readinto(self, buffer: Any) -> int:
        view = memoryview(buffer).cast("B")
        try:
            data = os.pread(self.fd, len(view), self.position)
        except BaseException as failure:
            self.keep(failure)
            data = b""
        # Past what a failure kept from the file: zeros, as never written.
        view[:len(data)] = data
        view[len(data):] = bytes(len(view) - len(data))
        self.position += len(view)
        return len(view)

    def read(self, size: int = -1) -> bytes:
        buffer = bytearray(max(size, 0))
        self.readinto(buffer)
        return bytes(buffer)

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        if whence == os.SEEK_END:
            offset += os.fstat(self.fd).st_size
        elif whence == os.SEEK_CUR:
            offset += self.position
        self.position = offset
        return offset

    def tell(self) -> int:
        return self.position

    def check(self) -> None:
        if self.failure is not None:
            raise self.failure

    def close(self) -> None:
        # The number is let go before the descriptor is closed: closing
        # twice (a failure's cleanup after a close that raised) must not
        # close a descriptor opened since under the same number.
        fd, self.fd = self.fd, -1
        if fd >= 0:
            os.close(fd)


class NetcdfSink(Sink):
    def __init__(self, path: str, compress: bool, sizes: Dict[str, int]):
        self.compress = compress
        self.output = KeptFailure(path)
        try:
            self.file = h5netcdf.File(self.output, "w")
        except BaseException:
            self.output.close()
            raise
        self.file.dimensions = sizes
        # HDF5's datasets, each opened once and kept open until the file
        # closes: h5netcdf opens one anew at every use, and closing it
        # writes its cached chunks. A write failing there (a full disk)
        # is lost inside the closing, which leaves HDF5 to crash when
        # the file is closed after it.
        self.datasets: Dict[str, Any] = {}
        self.pool = ThreadPoolExecutor(os.cpu_count() or 1)

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
                               shuffle=shuffles(dtype))
        # No fill value: none of the samples is missing.
        variable = self.file.create_variable(name, tuple(dims), dtype,
                                             **options)
        variable.attrs.update(attrs)
        dataset = self.datasets[name] = variable._h5ds
        if data is not None and data.size:
            dataset[...] = data

    def write(self, at: int,
              blocks: Dict[str, np.ndarray]) -> Callable[[], None]:
        if not self.compress:
            for name, block in blocks.items():
                self.datasets[name][at:at + len(block)] = block
            self.output.check()
            return lambda: None
        # HDF5 compresses one chunk at a time under h5py's lock: chunks are
        # compressed here side by side instead (deflate releases the
        # interpreter lock), and handed over as they are stored.
        jobs = []
        for name, block in blocks.items():
            dataset = self.datasets[name]
            rows = dataset.chunks[0]
            for i in range(0, len(block), rows):
                jobs.append((dataset, (at + i,) + (0,) * (block.ndim - 1),
                             self.pool.submit(stored_chunk, block[i:i + rows],
                                              rows)))

        def finish() -> None:
            for dataset, offset, chunk in jobs:
                dataset.id.write_direct_chunk(offset, chunk.result())
            self.output.check()
        return finish

    def close(self) -> None:
        self.pool.shutdown(cancel_futures=True)
        try:
            self.file.close()
        except BaseException:
            # HDF5 crashes on a file whose closing failed, which h5netcdf
            # would flush again when collected: it is closed as far as
            # h5netcdf knows.
            self.file._closed = True
            raise
        finally:
            self.output.close()
        self.output.check()


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
