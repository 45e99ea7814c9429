"""What an output may replace, and how inputs are named in what is written
or shown. Shared by the command line and `LmaFile.save_index`, so that
both refuse the same things with the same words. Importing this module
loads no extension and no storage library."""

from __future__ import annotations

import os
import posixpath
import re
import stat
from typing import Any, Iterable, Optional
from urllib.parse import urlsplit, urlunsplit

__all__ = ["shown", "refuse_inputs", "refuse_over_non_index",
           "index_refused", "is_input", "local", "INDEX_MAGIC"]

# The first bytes of every sidecar index.
INDEX_MAGIC = b"LMA-IDX\n"

# Ports a URL names without saying so.
_DEFAULT_PORTS = {"http": 80, "https": 443}


def is_url(name: Any) -> bool:
    return isinstance(name, str) and "://" in name


# The user-info part of a URL (user:secret@), after its scheme.
_USER_INFO = re.compile(r"(?<![A-Za-z0-9+.-])([A-Za-z][A-Za-z0-9+.-]*://)"
                        r"[^/?#@\s]*@")


def without_credentials(text: str) -> str:
    """`text`, a name or a message, with the user-info part of every URL
    in it left out."""
    return _USER_INFO.sub(r"\1", text)


def shown(name: Any) -> str:
    """An input's name (or a message naming it) as written into files and
    shown: URLs without their credentials, and bytes that are not UTF-8
    as backslash escapes (which every writer can encode, unlike the
    surrogates they are decoded to)."""
    if name is None:
        return "<file object>"
    text = without_credentials(os.fsdecode(name))
    return os.fsencode(text).decode("utf-8", "backslashreplace")


def normalised_url(url: str) -> str:
    """`url` as a key: scheme and host in lower case, without credentials
    or a default port, its path with `.`, `..` and doubled slashes
    resolved."""
    parts = urlsplit(url)
    scheme = parts.scheme.lower()
    host = (parts.hostname or "").lower()
    try:
        port = parts.port
    except ValueError:
        port = None
    if port is not None and port != _DEFAULT_PORTS.get(scheme):
        host = f"{host}:{port}"
    path = posixpath.normpath(parts.path) if parts.path else ""
    if path.startswith("//"):
        path = "/" + path.lstrip("/")
    return urlunsplit((scheme, host, path, parts.query, ""))


def local(name: Any) -> Optional[str]:
    """The local path `name` names (a `file://` URL included), or None for
    another URL."""
    name = os.fsdecode(os.fspath(name))
    if name.startswith("file://"):
        return name[len("file://"):]
    return None if is_url(name) else name


def is_input(inputs: Iterable[Any], output: Any) -> bool:
    """Whether writing `output` would replace one of `inputs`: the same
    file by device and inode (a hard link or a symbolic one included), or
    for URLs the same normalised URL."""
    out = local(output)
    for name in inputs:
        if name is None:
            continue
        path = local(name)
        if out is None and path is None:
            if normalised_url(os.fsdecode(name)) == \
                    normalised_url(os.fsdecode(output)):
                return True
        elif out is not None and path is not None:
            try:
                if os.path.samefile(path, out):
                    return True
            except OSError:
                continue
    return False


def refuse_inputs(inputs: Iterable[Any], output: Any,
                  what: str = "OUT") -> None:
    """ValueError, before anything is written, if `output` is one of
    `inputs`."""
    if is_input(inputs, output):
        raise ValueError(f"{what} is an input file: {shown(output)}")


def refuse_over_non_index(path: str) -> None:
    """ValueError unless the local `path` is absent or a regular file that
    starts as an index does: an index replaces nothing else. Never opens
    what is not a regular file (a FIFO would block)."""
    try:
        found = os.stat(path)
    except OSError:
        # Nothing there (or nothing this process can see): the writing
        # fails on its own if it cannot make the file.
        return
    if not stat.S_ISREG(found.st_mode):
        raise index_refused(path, "it is not a regular file, and an index "
                                  "replaces only an index")
    try:
        with open(path, "rb") as f:
            head = f.read(len(INDEX_MAGIC))
    except OSError as error:
        raise index_refused(path, error.strerror or str(error)) from None
    if head != INDEX_MAGIC:
        raise index_refused(path, NOT_AN_INDEX)


# Why an index is not written over a file that holds something else.
NOT_AN_INDEX = "it is not an index, and an index replaces only an index"


def index_refused(name: str, why: str) -> ValueError:
    return ValueError(f"cannot write the index over {shown(name)}: {why}")
