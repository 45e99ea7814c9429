"""A file that appears at its path only once it is complete, even across a
crash: the sidecar index and the command line's outputs are written so."""

from __future__ import annotations

import contextlib
import os
import secrets
from typing import BinaryIO, Iterator, Tuple, Union

PathLike = Union[str, "os.PathLike[str]"]


@contextlib.contextmanager
def atomic_file(path: PathLike) -> Iterator[BinaryIO]:
    """A binary file written under a temporary name in the same directory
    (so the rename stays on one file system), flushed and synced, then
    renamed over `path`. On any failure, interruption included, the
    temporary file is removed and `path` is as it was."""
    path = os.fsdecode(os.fspath(path))
    folder = os.path.dirname(os.path.abspath(path))
    temp, fd = new_temporary(folder, os.path.basename(path))
    try:
        with os.fdopen(fd, "wb") as f:
            # Named by its path, so that other processes can write parts
            # of it in place.
            f.raw.name = temp
            yield f
            f.flush()
            # On disk before the rename, or a crash could leave a file of
            # unwritten blocks under the real name.
            os.fsync(f.fileno())
        os.replace(temp, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temp)
        raise
    sync_directory(folder)


def new_temporary(folder: str, base: str) -> Tuple[str, int]:
    """A new file `.BASE.<random>.tmp` in `folder`, open for writing. Made
    with the usual permissions (the umask applies), which mkstemp's
    private files would not have."""
    while True:
        temp = os.path.join(folder, f".{base}.{secrets.token_hex(6)}.tmp")
        try:
            return temp, os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL
                                 | getattr(os, "O_CLOEXEC", 0), 0o666)
        except FileExistsError:
            continue


def sync_directory(folder: str) -> None:
    """The rename itself on disk; not every system can sync a directory,
    and the file is complete either way."""
    with contextlib.suppress(OSError):
        fd = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
