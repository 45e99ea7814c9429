"""Output files that appear only once they are complete: written under a
temporary name beside the target, synced, and renamed over it; removed on
any failure, interruption included."""

from __future__ import annotations

import contextlib
import os
import shutil
import tempfile
from typing import Any, Iterator, Sequence

from .. import _outputs
from .._atomic import atomic_file
from .status import UsageError, UserError


def cannot_write(path: str, error: OSError) -> UserError:
    """The one-line error for a failed write. The system's words for the
    errno where there is one: a storage library's own text (HDF5's) runs
    over several lines with buffer addresses and times."""
    reason = os.strerror(error.errno) if error.errno else \
        (error.strerror or str(error))
    return UserError(f"cannot write {path}: {reason}")


def refuse_inputs(names: Sequence[str], out: str) -> None:
    """UsageError if writing `out` would replace one of the inputs."""
    try:
        _outputs.refuse_inputs(names, out)
    except ValueError as error:
        raise UsageError(str(error)) from None


@contextlib.contextmanager
def atomic_output(path: str) -> Iterator[Any]:
    """A binary file that appears at `path` only once it is complete (see
    `atomic_file`); a failure to write it is a one-line `UserError`."""
    try:
        with atomic_file(path) as f:
            yield f
    except OSError as error:
        raise cannot_write(path, error) from None


@contextlib.contextmanager
def atomic_path(path: str, directory: bool = False) -> Iterator[str]:
    """As `atomic_output`, for writers that take a name rather than a file:
    yields the name of a new temporary file, or directory, beside `path`,
    which is synced and renamed to `path` when the block ends, and removed
    when it fails."""
    folder = os.path.dirname(os.path.abspath(path))
    prefix = f".{os.path.basename(path)}."
    try:
        if directory:
            temp = tempfile.mkdtemp(dir=folder, prefix=prefix, suffix=".tmp")
        else:
            fd, temp = tempfile.mkstemp(dir=folder, prefix=prefix,
                                        suffix=".tmp")
            os.close(fd)
    except OSError as error:
        raise cannot_write(path, error) from None
    try:
        yield temp
        sync_tree(temp)
        # mkstemp and mkdtemp make it private; give it the usual
        # permissions.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temp, (0o777 if directory else 0o666) & ~umask)
        replace_tree(temp, path)
    except BaseException as error:
        remove_tree(temp)
        if isinstance(error, OSError):
            raise cannot_write(path, error) from None
        raise


def sync_tree(path: str) -> None:
    """Every file under `path` (or `path` itself) on disk, and the
    directories that list them, so a crash after the rename cannot leave
    an output with holes."""
    if not os.path.isdir(path):
        names = [path]
    else:
        names = []
        for folder, _, files in os.walk(path):
            names += [os.path.join(folder, f) for f in files] + [folder]
    for name in names:
        fd = os.open(name, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def replace_tree(temp: str, path: str) -> None:
    """Renames `temp` to `path`; an existing directory at `path` is moved
    aside first (a rename cannot replace a directory that has entries) and
    put back if the rename fails."""
    if not (os.path.isdir(temp) and os.path.isdir(path)):
        os.replace(temp, path)
        return
    aside = tempfile.mkdtemp(dir=os.path.dirname(temp),
                             prefix=f".{os.path.basename(path)}.",
                             suffix=".old")
    os.replace(path, aside)     # over the empty directory just made
    try:
        os.replace(temp, path)
    except BaseException:
        os.replace(aside, path)
        raise
    remove_tree(aside)


def remove_tree(path: str) -> None:
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)
