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
import secrets
from typing import Any, Iterator, Optional, Tuple, Union

__all__ = ["StaleIndexWarning", "SUFFIX", "default_path", "opened", "write",
           "parts", "from_parts", "checksum"]

SUFFIX = ".lmaidx"

PathLike = Union[str, "os.PathLike[str]"]


class StaleIndexWarning(UserWarning):
    """A persistent index was found but not used, because it does not fit
    the file (or cannot be read); the file was scanned instead, with the
    same result as without an index. `index` is the sidecar's path,
    `filename` the file's, and `reason` says why."""

    def __init__(self, index: str, filename: str, reason: str) -> None:
        super().__init__(index, filename, reason)
        self.index = index
        self.filename = filename
        self.reason = reason

    def __str__(self) -> str:
        return (f"{self.index}: index not used for {self.filename} "
                f"({self.reason}); the file was scanned")


def default_path(path: str) -> str:
    """Where the sidecar of the file at `path` is looked for."""
    return path + SUFFIX


@contextlib.contextmanager
def opened(path: str, explicit: bool) -> Iterator[Tuple[Optional[int], str]]:
    """The sidecar's open descriptor, for the engine to read straight into
    the index's memory (bytes from elsewhere are passed as bytes), or None
    and why not. A missing sidecar at the default place is no news: None
    with an empty reason."""
    try:
        f = open(path, "rb", buffering=0)
    except FileNotFoundError:
        yield None, "there is no such file" if explicit else ""
        return
    except OSError as error:
        yield None, f"it cannot be read: {error.strerror or error}"
        return
    with f:
        yield f.fileno(), ""


def write(path: PathLike, data: bytes) -> None:
    """Writes `data` to `path` so that `path` holds either its old content
    or all of `data`, even after a crash: under a temporary name in the
    same directory, flushed and synced, then renamed over `path`. On any
    failure the temporary file is removed and `path` is as it was."""
    path = os.fsdecode(os.fspath(path))
    folder = os.path.dirname(os.path.abspath(path))
    temp, fd = _new_temporary(folder, os.path.basename(path))
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            # On disk before the rename, or a crash could leave a
            # sidecar of unwritten blocks under the real name.
            os.fsync(f.fileno())
        os.replace(temp, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temp)
        raise
    _sync_directory(folder)


def _new_temporary(folder: str, base: str) -> Tuple[str, int]:
    # Made with the usual permissions (the umask applies), which mkstemp's
    # private files would not have.
    while True:
        temp = os.path.join(folder, f".{base}.{secrets.token_hex(6)}.tmp")
        try:
            return temp, os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL
                                 | getattr(os, "O_CLOEXEC", 0), 0o666)
        except FileExistsError:
            continue


def _sync_directory(folder: str) -> None:
    """The rename itself on disk; not every system can sync a directory,
    and the sidecar is complete either way."""
    with contextlib.suppress(OSError):
        fd = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


# The sidecar's fields as values, for sources that store or check them
# elsewhere and for tests: (file_size, mtime_ns, header bytes, etag,
# offsets as native int64 bytes, end, stop code, value, extra, stop
# offset, stop event).
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
