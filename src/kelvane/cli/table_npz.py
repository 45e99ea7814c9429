"""The `.npz` table of `lma features`: one `.npy` member per column, each
the rows of every file in turn, written from the parts as they lie rather
than joined first. A part is an array in memory, or a range of a file that
a worker process left with its checksum: such a range is copied by the
kernel from file to file, so that the bytes the workers made never pass
through this process.

Members are stored, not deflated (as `np.savez` writes them), with ZIP64
fields throughout, so that any size fits.
"""

from __future__ import annotations

import errno
import io
import os
import struct
import time
import zlib
from functools import lru_cache
from typing import (BinaryIO, Iterable, List, NamedTuple, Sequence, Tuple,
                    Union)

import numpy as np

__all__ = ["Part", "Column", "write_columns", "crc_joined", "read_part"]


class Part(NamedTuple):
    """`nbytes` bytes at `offset` in the file at `path`, whose CRC-32 is
    `crc`: values of `dtype` (its `str`)."""
    path: str
    offset: int
    nbytes: int
    crc: int
    dtype: str


class Repeated(NamedTuple):
    """`rows` values: those of `block` over and over (a column holding one
    value for many rows costs a block's checksum, not one per byte)."""
    block: np.ndarray
    rows: int


Piece = Union[np.ndarray, Part, Repeated]


class Column(NamedTuple):
    """A member: `rows` values of `dtype`, from `pieces` in turn."""
    name: str
    dtype: np.dtype
    rows: int
    pieces: Iterable[Piece]


def read_part(part: Part) -> np.ndarray:
    """A part's values read into memory; OSError when its file is
    shorter."""
    dtype = np.dtype(part.dtype)
    array = np.empty(part.nbytes // dtype.itemsize, dtype)
    view = array.view(np.uint8).reshape(-1)
    with open(part.path, "rb") as data:
        data.seek(part.offset)
        if data.readinto(view) != part.nbytes:
            raise OSError(f"{part.path}: a worker's result is cut short")
    return array


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
# Bytes copied at a time where the kernel cannot copy from file to file.
_BUFFER_BYTES = 1 << 23
_NO_SENDFILE = (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP)


def _dos_time() -> Tuple[int, int]:
    t = time.localtime()
    return ((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec // 2),
            ((max(t.tm_year, 1980) - 1980) << 9) | (t.tm_mon << 5)
            | t.tm_mday)


class _Writer:
    """Bytes to the end of an open file, through its descriptor."""

    def __init__(self, out: BinaryIO) -> None:
        out.flush()
        self.fd = out.fileno()
        self.at = out.tell()

    def write(self, data: Union[bytes, memoryview]) -> None:
        view = memoryview(data).cast("B")
        while view:
            done = os.pwrite(self.fd, view, self.at)
            self.at += done
            view = view[done:]

    def copy(self, part: Part) -> None:
        """The part's bytes, copied from its file."""
        fd = os.open(part.path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        try:
            offset, left = part.offset, part.nbytes
            while left:
                done = self._send(fd, offset, left)
                if done == 0:
                    raise OSError(f"{part.path}: a worker's result is cut "
                                  f"short")
                offset += done
                left -= done
        finally:
            os.close(fd)

    def _send(self, fd: int, offset: int, count: int) -> int:
        """Up to `count` bytes from `offset` of `fd` written on, by the
        kernel where it can copy from file to file; 0 at the end of
        `fd`."""
        try:
            os.lseek(self.fd, self.at, os.SEEK_SET)
            done = os.sendfile(self.fd, fd, offset, count)
        except OSError as error:
            if error.errno not in _NO_SENDFILE:
                raise
            piece = os.pread(fd, min(count, _BUFFER_BYTES), offset)
            self.write(piece)
            return len(piece)
        self.at += done
        return done


def write_columns(out: BinaryIO, columns: Sequence[Column]) -> None:
    """The archive of `columns` to the binary file `out`, from its
    position on; `out` is left at its end."""
    writer = _Writer(out)
    clock, date = _dos_time()
    entries: List[Tuple[bytes, int, int, int]] = []  # name, crc, size, at
    for column in columns:
        header = io.BytesIO()
        np.lib.format.write_array_header_1_0(header, {
            "descr": np.lib.format.dtype_to_descr(column.dtype),
            "fortran_order": False, "shape": (column.rows,)})
        head = header.getvalue()
        name = f"{column.name}.npy".encode()
        size = len(head) + column.rows * column.dtype.itemsize
        at = writer.at
        # The CRC is put in once the data is written.
        writer.write(_LOCAL.pack(0x04034B50, _VERSION, 0, 0, clock, date, 0,
                                 _ALL_ONES, _ALL_ONES, len(name),
                                 _EXTRA_LOCAL.size)
                     + name + _EXTRA_LOCAL.pack(1, 16, size, size))
        writer.write(head)
        crc = zlib.crc32(head)
        written = len(head)
        for piece in column.pieces:
            if isinstance(piece, Part):
                writer.copy(piece)
                crc = crc_joined(crc, piece.crc, piece.nbytes)
                written += piece.nbytes
                continue
            if isinstance(piece, Repeated):
                block = np.ascontiguousarray(piece.block, column.dtype)
                whole, rest = divmod(piece.rows, len(block)) \
                    if len(block) else (0, 0)
                block_crc = zlib.crc32(block)
                for _ in range(whole):
                    writer.write(block.view(np.uint8).reshape(-1))
                    crc = crc_joined(crc, block_crc, block.nbytes)
                    written += block.nbytes
                data = block[:rest]
            else:
                data = np.ascontiguousarray(piece, column.dtype)
            writer.write(data.view(np.uint8).reshape(-1))
            crc = zlib.crc32(data, crc)
            written += data.nbytes
        if written != size:
            raise ValueError(f"column {column.name}: {written} bytes for "
                             f"{size}")
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
