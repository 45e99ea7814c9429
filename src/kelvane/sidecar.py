"""The persistent record index of an LMA file: a sidecar file, by default
FILE.lmaidx beside FILE, that spares `LmaFile` the walk over every record
at opening.

Here is only where the sidecar lives and how it is read and written. Its
layout and every check of it against the file are the native engine's
(see lma/src/sidecar.cpp), which take its bytes from wherever they were
fetched. Importing this module loads no extension.
"""

from __future__ import annotations

import contextlib
import os
import stat
from typing import Any, Iterator, Optional, Tuple, Union

from ._atomic import atomic_file

__all__ = ["StaleIndexWarning", "SUFFIX", "default_path", "opened", "read",
           "write", "parts", "from_parts", "checksum"]

SUFFIX = ".lmaidx"

PathLike = Union[str, "os.PathLike[str]"]


class StaleIndexWarning(UserWarning):
    """A persistent index was found but not used, because it does not fit
    the file (or cannot be read); the file was scanned instead, with the
    same result as without an index.

    Attributes
    ----------
    index : str
        The sidecar's path.
    filename : str
        The file's.
    reason : str
        Why the sidecar was not used ("its checksum does not match", ...).
    """

    def __init__(self, index: str, filename: str, reason: str) -> None:
        super().__init__(index, filename, reason)
        self.index = index
        self.filename = filename
        self.reason = reason

    def __str__(self) -> str:
        from ._outputs import shown
        return (f"{shown(self.index)}: index not used for "
                f"{shown(self.filename)} ({self.reason}); the file was "
                f"scanned")


def default_path(path: str) -> str:
    """Where the sidecar of the file at `path` is looked for."""
    return path + SUFFIX


@contextlib.contextmanager
def opened(path: str, explicit: bool) -> Iterator[Tuple[Optional[int], str]]:
    """The sidecar's open descriptor, for the engine to read straight into
    the index's memory (bytes from elsewhere are passed as bytes), or None
    and why not. A missing sidecar at the default place is no news: None
    with an empty reason. Anything but a regular file (a FIFO, a device)
    is not read: opened without waiting for a writer, and let go."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK |
                     getattr(os, "O_CLOEXEC", 0))
    except FileNotFoundError:
        yield None, "there is no such file" if explicit else ""
        return
    except OSError as error:
        yield None, f"it cannot be read: {error.strerror or error}"
        return
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            yield None, f"it cannot be read: {_NOT_REGULAR}"
        else:
            yield fd, ""
    finally:
        os.close(fd)


_NOT_REGULAR = "it is not a regular file"


def read(path: str, explicit: bool, limit: int) -> Tuple[Optional[bytes],
                                                         str]:
    """The bytes of the sidecar at `path`, at most `limit` + 1 of them (one
    more than any index of its file has, to tell one too large), or None
    and why not, as `opened` says."""
    with opened(path, explicit) as (fd, reason):
        if fd is None:
            return None, reason
        try:
            with os.fdopen(os.dup(fd), "rb") as f:
                return f.read(limit + 1), ""
        except OSError as error:
            return None, f"it cannot be read: {error.strerror or error}"


def write(path: PathLike, data: bytes) -> None:
    """Writes `data` to `path` so that `path` holds either its old content
    or all of `data`, even after a crash. A path that holds anything but a
    regular file is refused with ValueError, nothing written."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        mode = stat.S_IFREG
    if not stat.S_ISREG(mode):
        raise ValueError(f"{os.fsdecode(os.fspath(path))}: {_NOT_REGULAR}; "
                         f"no index written")
    with atomic_file(path) as f:
        f.write(data)


# The sidecar's fields as values, for sources that store or check them
# elsewhere and for tests: (file_size, mtime_ns, header bytes, etag,
# offsets as native int64 bytes, end, stop code, value, extra, stop
# offset, stop event, Last-Modified bytes, tags as native int32 bytes,
# horpos as native float64 bytes).
def parts(data: bytes) -> Tuple[Any, ...]:
    """The fields of sidecar bytes; ValueError saying why for bytes that
    are no sidecar."""
    from ._lmafile import sidecar_parts
    return sidecar_parts(data)


def from_parts(fields: Tuple[Any, ...]) -> bytes:
    """Sidecar bytes of those fields, checksum included."""
    from ._lmafile import sidecar_from_parts
    return sidecar_from_parts(tuple(fields))


def checksum(data: bytes) -> int:
    """The checksum that sidecar bytes `data` are followed by."""
    from ._lmafile import sidecar_checksum
    return sidecar_checksum(data)
