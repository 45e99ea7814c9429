"""The files a name stands for: itself, or the matches of a glob pattern in
natural name order (run_2 before run_10). Every place that expands a
pattern (the commands, `open_dataset`, a run of files) goes through here,
so that one pattern names the same files in the same order everywhere;
a list of names keeps the order it was given in.
"""

from __future__ import annotations

import errno
import glob
import os
import re
from typing import Any, Dict, Iterable, List, Optional, Tuple, Union
from urllib.parse import urlsplit

__all__ = ["natural_key", "is_pattern", "expand", "expand_each"]

_DIGITS = re.compile(r"(\d+)")
_MAGIC = re.compile(r"[*?[]")


def natural_key(name: str) -> Tuple[List[Union[str, int]], str]:
    """Sorts runs of digits by their value: run_2 before run_10. Names
    equal in value (run_2, run_02) are then ordered as text."""
    parts: List[Union[str, int]] = _DIGITS.split(name)
    # split() puts text at even places and digits at odd ones, so equal
    # places always hold the same type.
    parts[1::2] = [int(p) for p in parts[1::2]]
    return parts, name


def _is_url(name: str) -> bool:
    return "://" in name


def is_pattern(name: str) -> bool:
    """Whether `name` is a pattern. In an http(s) URL only the path
    counts: `?` there starts the query string (a presigned URL's)."""
    if _is_url(name) and urlsplit(name).scheme in ("http", "https"):
        name = urlsplit(name).path
    return _MAGIC.search(name) is not None


def _no_match(pattern: str) -> FileNotFoundError:
    return FileNotFoundError(errno.ENOENT, "no file matches the pattern",
                             pattern)


def expand(name: Union[str, "os.PathLike[str]"],
           storage_options: Optional[Dict[str, Any]] = None) -> List[str]:
    """The names `name` stands for: itself when it is no pattern (or a
    local file of that very name exists), else its matches in natural
    order: local ones by `glob` (`**` included), a URL's in its store by
    fsspec, with `storage_options` for the store. FileNotFoundError
    naming the pattern when nothing matches."""
    name = os.fsdecode(os.fspath(name))
    if not is_pattern(name):
        return [name]
    if _is_url(name):
        found = _url_matches(name, storage_options)
    elif os.path.lexists(name):
        return [name]
    else:
        found = glob.glob(name, recursive=True)
    if not found:
        raise _no_match(name)
    return sorted(found, key=natural_key)


def _url_matches(pattern: str,
                 storage_options: Optional[Dict[str, Any]]) -> List[str]:
    import fsspec
    fs, path = fsspec.core.url_to_fs(pattern, **(storage_options or {}))
    return [fs.unstrip_protocol(p) for p in fs.glob(path)]


def expand_each(names: Iterable[Union[str, "os.PathLike[str]"]],
                storage_options: Optional[Dict[str, Any]] = None
                ) -> List[str]:
    """Each of `names` expanded in turn, in the order given: a list the
    shell expanded keeps the shell's order, and a pattern left to us
    adds its matches in natural order where it stands."""
    return [found for name in names
            for found in expand(name, storage_options)]
