"""The `.npz` table of `lma features`: one `.npy` member per column, each
the rows of every file in turn, written from the pieces as they come
rather than joined first.

Members are stored, not deflated (as `np.savez` writes them), with ZIP64
fields throughout, so that any size fits.
"""

from __future__ import annotations

import collections
import io
import os
import struct
import time
import zlib
from concurrent.futures import Future, ThreadPoolExecutor
from functools import lru_cache
from typing import (BinaryIO, Deque, Iterable, Iterator, List, NamedTuple,
                    Optional, Sequence, Tuple, Union)

import numpy as np

__all__ = ["Column", "Repeated", "Filler", "write_columns", "crc_joined"]


class Summed(NamedTuple):
    """Values made contiguous, with their CRC-32: checksummed ahead, in
    another thread, while the columns before are written."""
    data: np.ndarray
    crc: int


class Repeated(NamedTuple):
    """`rows` values: those of `block` over and over (a column holding one
    value for many rows costs a block's checksum, not one per byte)."""
    block: np.ndarray
    rows: int


Piece = Union[np.ndarray, Repeated, Summed]


class Column(NamedTuple):
    """A member: `rows` values of `dtype`, from `pieces` in turn, an array
    of one dimension unless `shape` says otherwise (() for one value)."""
    name: str
    dtype: np.dtype
    rows: int
    pieces: Iterable[Piece]
    shape: Optional[Tuple[int, ...]] = None


# ------------------------------------------------------------ checksums
# The CRC-32 of bytes joined, from the CRCs of the parts: that of the first
# part carried over the length of the second (a product of polynomials
# modulo the CRC's own), added to the second's. Bits are in the reflected
# order of the CRC itself.

_POLY = 0xEDB88320


def _times(a: int, b: int) -> int:
    """a * b modulo the CRC polynomial."""
    m = 1 << 31
    p = 0
    while a:
        if a & m:
            p ^= b
            a ^= m
        m >>= 1
        b = (b >> 1) ^ _POLY if b & 1 else b >> 1
    return p


@lru_cache(maxsize=None)
def _x_to_two_to(k: int) -> int:
    """x ** (2 ** k) modulo the CRC polynomial."""
    if k == 0:
        return 1 << 30      # x
    half = _x_to_two_to(k - 1)
    return _times(half, half)


@lru_cache(maxsize=1024)
def _shift_by(nbytes: int) -> int:
    """x ** (8 * nbytes) modulo the CRC polynomial: what carries a CRC
    over `nbytes` more bytes."""
    p = 1 << 31             # 1
    k = 3
    while nbytes:
        if nbytes & 1:
            p = _times(_x_to_two_to(k), p)
        nbytes >>= 1
        k += 1
    return p


def crc_joined(first: int, second: int, second_bytes: int) -> int:
    """The CRC-32 of two byte strings joined, from their own CRCs."""
    return _times(_shift_by(second_bytes), first) ^ second


# -------------------------------------------------------------- the zip

_LOCAL = struct.Struct("<IHHHHHIIIHH")
_CENTRAL = struct.Struct("<IHHHHHHIIIHHHHHII")
_EXTRA_LOCAL = struct.Struct("<HHQQ")
_EXTRA_CENTRAL = struct.Struct("<HHQQQ")
_END64 = struct.Struct("<IQHHIIQQQQ")
_LOCATOR = struct.Struct("<IIQI")
_END = struct.Struct("<IHHHHIIH")
_VERSION = 45               # what ZIP64 fields need
_MADE_ON_UNIX = 3 << 8
_ALL_ONES = 0xFFFFFFFF


def _dos_time() -> Tuple[int, int]:
    t = time.localtime()
    return ((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec // 2),
            ((max(t.tm_year, 1980) - 1980) << 9) | (t.tm_mon << 5)
            | t.tm_mday)


class _Writer:
    """Bytes to an open file from `at` on, through its descriptor."""

    def __init__(self, fd: int, at: int) -> None:
        self.fd = fd
        self.at = at

    def write(self, data: Union[bytes, memoryview]) -> None:
        view = memoryview(data).cast("B")
        while view:
            done = os.pwrite(self.fd, view, self.at)
            self.at += done
            view = view[done:]


class Filler:
    """A column's values written at their place in an open file, a piece
    at a time, with their CRC-32 and length kept."""

    def __init__(self, fd: int, at: int, dtype: np.dtype) -> None:
        self._writer = _Writer(fd, at)
        self.dtype = dtype
        self.crc = 0
        self.nbytes = 0

    def put(self, piece: Piece) -> None:
        if isinstance(piece, Summed):
            self._writer.write(piece.data.view(np.uint8).reshape(-1))
            self._joined(piece.crc, piece.data.nbytes)
            return
        if isinstance(piece, Repeated):
            block = np.ascontiguousarray(piece.block, self.dtype)
            whole, rest = divmod(piece.rows, len(block)) \
                if len(block) else (0, 0)
            block_crc = zlib.crc32(block)
            for _ in range(whole):
                self._writer.write(block.view(np.uint8).reshape(-1))
                self._joined(block_crc, block.nbytes)
            piece = block[:rest]
        data = np.ascontiguousarray(piece, self.dtype)
        self._writer.write(data.view(np.uint8).reshape(-1))
        self.crc = zlib.crc32(data, self.crc)
        self.nbytes += data.nbytes

    def _joined(self, crc: int, nbytes: int) -> None:
        self.crc = crc_joined(self.crc, crc, nbytes)
        self.nbytes += nbytes

    @property
    def end(self) -> int:
        """Where the next piece would go."""
        return self._writer.at


def _member_head(column: Column) -> Tuple[bytes, bytes]:
    """A column's member name, and the `.npy` header its values follow."""
    header = io.BytesIO()
    np.lib.format.write_array_header_1_0(header, {
        "descr": np.lib.format.dtype_to_descr(column.dtype),
        "fortran_order": False,
        "shape": (column.rows,) if column.shape is None else column.shape})
    return f"{column.name}.npy".encode(), header.getvalue()


def summed(piece: Piece, dtype: np.dtype) -> Piece:
    """An array piece made contiguous and checksummed; others as they
    are."""
    if not isinstance(piece, np.ndarray):
        return piece
    data = np.ascontiguousarray(piece, dtype)
    return Summed(data, zlib.crc32(data))


def checksummed(columns: Iterable[Column], jobs: int,
                ) -> Iterator[Tuple[Column, Iterable[Piece]]]:
    """Each column and its pieces, those of the `jobs` columns after the
    one being written made contiguous and checksummed meanwhile in `jobs`
    threads (copies and checksums of large arrays run without the
    interpreter lock): a few columns' copies at a time, not the table's."""
    if jobs == 1:
        yield from ((c, c.pieces) for c in columns)
        return
    ahead: Deque[Tuple[Column, List[Future]]] = collections.deque()
    with ThreadPoolExecutor(jobs) as pool:
        for column in columns:
            ahead.append((column, [pool.submit(summed, p, column.dtype)
                                   for p in column.pieces]))
            if len(ahead) > jobs:
                first, pieces = ahead.popleft()
                yield first, [p.result() for p in pieces]
        while ahead:
            first, pieces = ahead.popleft()
            yield first, [p.result() for p in pieces]


def write_columns(out: BinaryIO, columns: Sequence[Column],
                  jobs: int = 1) -> None:
    """The archive of `columns` to the binary file `out`, from its
    position on, the values checksummed in `jobs` threads; `out` is left
    at its end."""
    out.flush()
    writer = _Writer(out.fileno(), out.tell())
    clock, date = _dos_time()
    entries: List[Tuple[bytes, int, int, int]] = []  # name, crc, size, at
    for column, pieces in checksummed(columns, jobs):
        name, head = _member_head(column)
        size = len(head) + column.rows * column.dtype.itemsize
        at = writer.at
        # The CRC is put in once the data is written.
        writer.write(_LOCAL.pack(0x04034B50, _VERSION, 0, 0, clock, date, 0,
                                 _ALL_ONES, _ALL_ONES, len(name),
                                 _EXTRA_LOCAL.size)
                     + name + _EXTRA_LOCAL.pack(1, 16, size, size))
        writer.write(head)
        values = Filler(writer.fd, writer.at, column.dtype)
        for piece in pieces:
            values.put(piece)
        if len(head) + values.nbytes != size:
            raise ValueError(f"column {column.name}: {values.nbytes} bytes "
                             f"of values for {size - len(head)}")
        writer.at = values.end
        crc = crc_joined(zlib.crc32(head), values.crc, values.nbytes)
        os.pwrite(writer.fd, struct.pack("<I", crc), at + 14)
        entries.append((name, crc, size, at))
    start = writer.at
    for name, crc, size, at in entries:
        writer.write(_CENTRAL.pack(0x02014B50, _MADE_ON_UNIX | _VERSION,
                                   _VERSION, 0, 0, clock, date, crc,
                                   _ALL_ONES, _ALL_ONES, len(name),
                                   _EXTRA_CENTRAL.size, 0, 0, 0,
                                   0o100644 << 16, _ALL_ONES)
                     + name + _EXTRA_CENTRAL.pack(1, 24, size, size, at))
    end64 = writer.at
    count = len(entries)
    writer.write(_END64.pack(0x06064B50, _END64.size - 12,
                             _MADE_ON_UNIX | _VERSION, _VERSION, 0, 0,
                             count, count, end64 - start, start))
    writer.write(_LOCATOR.pack(0x07064B50, 0, end64, 1))
    writer.write(_END.pack(0x06054B50, 0, 0, min(count, 0xFFFF),
                           min(count, 0xFFFF), _ALL_ONES, _ALL_ONES, 0))
    out.seek(writer.at)
