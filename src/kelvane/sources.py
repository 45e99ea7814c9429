"""Where the bytes of an LMA file come from when it is not a local file:
a URL that fsspec knows (s3://, https://, memory://, ...) or an open
binary file object.

A source gives its size, its identity where the store has one (an ETag,
else a modification time), and byte ranges, always whole: a response cut
short is an `OSError`, never fewer bytes. Reads come in large ranges
(`BLOCK_BYTES`), and the last one is kept, so that batches of a few
records read one after the other cost one request per block, not one per
batch.
"""

from __future__ import annotations

import io
import os
import threading
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, Dict, List, Optional, Tuple

__all__ = ["BLOCK_BYTES", "Source", "UrlSource", "FileObjectSource",
           "open_source"]

# Bytes asked for at once: large enough that a request's own cost is
# small beside its transfer, small enough to hold a few in memory.
BLOCK_BYTES = 8 << 20

# Every byte a header can have (a general block and 32 channel blocks),
# rounded up: read before the header says where the records start.
HEADER_BYTES = 1024

# Keys under which stores report what changes with the object's content,
# most telling first.
_IDENTITY_KEYS = ("ETag", "etag", "e_tag", "LastModified", "Last-Modified",
                  "last_modified", "mtime", "modified", "created")
_ETAG_KEYS = ("ETag", "etag", "e_tag")
_MODIFIED_KEYS = ("LastModified", "Last-Modified", "last_modified")
# Ranges read together this close are fetched as one.
_RANGE_GAP = 4 << 10


class Source:
    """Bytes of a file held elsewhere. `name` names it in messages (and is
    `LmaFile.path`); `size` and `identity` are as last found by `stat`."""

    name: Optional[str]
    size: int
    identity: Optional[str]
    # The identity when it is the store's ETag, which a sidecar records.
    etag: Optional[str] = None
    # The store's Last-Modified, where it gives one; a sidecar records it.
    modified: Optional[str] = None
    # Whether reads going on through kept bytes fetch the next block in
    # the background: worth it where a fetch waits on a network, not
    # where it is a copy in memory.
    reads_ahead = False

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._kept: Tuple[int, Any] = (0, b"")
        # The block after the kept one, being fetched while the kept one
        # is decoded: (start, future), or None.
        self._next: Optional[Tuple[int, "Future[Any]"]] = None

    def label(self) -> str:
        return self.name if self.name is not None else "<file object>"

    def stat(self) -> None:
        """Finds the size and identity again, and forgets kept bytes."""
        self._kept, self._next = (0, b""), None
        self.size, self.identity = self._stat()

    def read(self, start: int, stop: int, *, ahead: bool = False) -> Any:
        """Bytes [start, stop) as a bytes-like object, exactly that many;
        `ahead`: fetch up to a block beyond, kept for the next read, and
        once reads go on through kept bytes, the block after them in the
        background. Raises what the store raises, or OSError for a short
        response."""
        stop = min(stop, self.size)
        if start >= stop:
            return b""
        base, kept = self._kept
        end = base + len(kept)
        if base <= start and stop <= end:
            if ahead and self.reads_ahead and self._next is None and \
                    end - stop < len(kept) // 2:
                self._read_ahead(end)
            return kept if (base, end) == (start, stop) else \
                memoryview(kept)[start - base:stop - base]
        if not ahead:
            return self._whole(start, stop)
        pending, self._next = self._next, None
        if pending is not None:
            ahead_base, future = pending
            # Reads that go on from the kept bytes into those read ahead.
            if ahead_base <= start or base <= start < ahead_base == end:
                data = future.result()
                if stop <= ahead_base + len(data):
                    self._kept = (ahead_base, data)
                    self._read_ahead(ahead_base + len(data))
                    if ahead_base <= start:
                        return memoryview(data)[start - ahead_base:
                                                stop - ahead_base]
                    # Only the read that spans both is copied, not the
                    # block: that would copy every byte once more.
                    return b"".join([memoryview(kept)[start - base:],
                                     memoryview(data)[:stop - ahead_base]])
        end = min(self.size, max(stop, start + BLOCK_BYTES))
        data = self._whole(start, end)
        self._kept = (start, data)
        return data if end == stop else memoryview(data)[:stop - start]

    def _read_ahead(self, start: int) -> None:
        if self.reads_ahead and start < self.size:
            stop = min(self.size, start + BLOCK_BYTES)
            self._next = (start, _readers().submit(self._whole, start, stop))

    def _whole(self, start: int, stop: int) -> Any:
        data = self._fetch(start, stop)
        if len(data) != stop - start:
            raise OSError(f"got {len(data)} of {stop - start} bytes from "
                          f"byte {start}")
        return data

    def _fetch(self, start: int, stop: int) -> Any:
        raise NotImplementedError

    def _stat(self) -> Tuple[int, Optional[str]]:
        raise NotImplementedError


def _same_store(a: Optional[str], b: str) -> bool:
    return a is not None and a.split("://", 1)[0] == b.split("://", 1)[0]


class UrlSource(Source):
    """A URL read through fsspec, with `storage_options` for its
    filesystem."""

    reads_ahead = True

    def __init__(self, url: str,
                 storage_options: Optional[Dict[str, Any]]) -> None:
        super().__init__()
        try:
            import fsspec
        except ImportError:
            raise ImportError("reading URLs needs fsspec: pip install "
                              "'kelvane[remote]'") from None
        self.name = url
        self.storage_options = dict(storage_options or {})
        self._fs, self._path = fsspec.core.url_to_fs(url,
                                                     **self.storage_options)
        self.stat()

    def _stat(self) -> Tuple[int, Optional[str]]:
        # What the filesystem remembers of listings would hide a change.
        self._fs.invalidate_cache(self._path)
        info = self._fs.info(self._path)
        if info.get("type") == "directory":
            raise IsADirectoryError(21, "Is a directory", self.name)
        size = info.get("size")
        if size is None:
            raise OSError(f"{self.name}: the store gives no size")
        key = next((k for k in _IDENTITY_KEYS if info.get(k) is not None),
                   None)
        identity = None if key is None else str(info[key])
        self.etag = identity if key in _ETAG_KEYS else None
        modified = next((info[k] for k in _MODIFIED_KEYS
                         if info.get(k) is not None), None)
        self.modified = None if modified is None else str(modified)
        return int(size), identity

    def read_other(self, url: str,
                   limit: Optional[int] = None) -> Optional[bytes]:
        """The object at `url` (a neighbour, such as the sidecar), its
        first `limit` bytes or all of it, in one request, through the same
        filesystem when it is in the same store; None when there is
        none."""
        fs, path = self.filesystem(url)
        try:
            # A range from 0 on: asked for whole, some stores first ask
            # for the size, then fetch in parts.
            return bytes(fs.cat_file(path, start=0, end=limit))
        except FileNotFoundError:
            return None

    def read_ranges(self, starts: List[int], stops: List[int]) -> List[Any]:
        """Bytes [start, stop) of this object for each pair, fetched
        together (at once, where the filesystem can); ranges a small gap
        apart are fetched as one, since a request costs more than the
        bytes between them."""
        order = sorted(range(len(starts)), key=lambda k: starts[k])
        merged: List[List[int]] = []
        group = [0] * len(starts)
        for k in order:
            if merged and starts[k] - merged[-1][1] <= _RANGE_GAP:
                merged[-1][1] = max(merged[-1][1], stops[k])
            else:
                merged.append([starts[k], stops[k]])
            group[k] = len(merged) - 1
        got = self._fs.cat_ranges([self._path] * len(merged),
                                  [m[0] for m in merged],
                                  [m[1] for m in merged], on_error="raise")
        out: List[Any] = []
        for k, g in enumerate(group):
            base = merged[g][0]
            out.append(got[g][starts[k] - base:stops[k] - base])
        return out

    def filesystem(self, url: str) -> Tuple[Any, str]:
        """The filesystem and path of `url`: this one's, with its options,
        when in the same store."""
        import fsspec
        if _same_store(self.name, url):
            return self._fs, self._fs._strip_protocol(url)
        return fsspec.core.url_to_fs(url, **self.storage_options)

    def _fetch(self, start: int, stop: int) -> Any:
        return self._fs.cat_file(self._path, start=start, end=stop)


class FileObjectSource(Source):
    """An open binary file object with `seek` and `read`; reads from
    several threads take turns, as they share its position."""

    _in_place = False

    def __init__(self, fileobj: Any) -> None:
        super().__init__()
        self.fileobj = fileobj
        name = getattr(fileobj, "name", None)
        self.name = os.fsdecode(name) if isinstance(name, (str, bytes)) \
            else None
        self.stat()

    def _stat(self) -> Tuple[int, Optional[str]]:
        with self._lock:
            size = int(self.fileobj.seek(0, os.SEEK_END))
        # An io.BytesIO hands out its own bytes, unless a view of its
        # buffer is held: then each `getvalue()` would copy all of them,
        # and reads take blocks as from any file object.
        self._in_place = isinstance(self.fileobj, io.BytesIO) and \
            self.fileobj.getvalue() is self.fileobj.getvalue()
        return size, None

    def read(self, start: int, stop: int, *, ahead: bool = False) -> Any:
        if not self._in_place:
            return super().read(start, stop, ahead=ahead)
        # The bytes are in memory already: the object hands them out
        # without a copy (and copies them itself if written to while a
        # read still holds them). Shorter when the object was cut since:
        # the engine finds the record that lost bytes.
        stop = min(stop, self.size)
        if start >= stop:
            return b""
        return memoryview(self.fileobj.getvalue())[start:stop]

    def _fetch(self, start: int, stop: int) -> Any:
        parts: List[bytes] = []
        got = 0
        with self._lock:
            self.fileobj.seek(start)
            # A raw file may return fewer bytes than asked before its end.
            while got < stop - start:
                part = self.fileobj.read(stop - start - got)
                if not part:
                    break
                parts.append(part)
                got += len(part)
        return parts[0] if len(parts) == 1 else b"".join(parts)


_pool: List[ThreadPoolExecutor] = []
_pool_lock = threading.Lock()


def _readers() -> ThreadPoolExecutor:
    """The threads that fetch blocks ahead, made at first use."""
    with _pool_lock:
        if not _pool:
            _pool.append(ThreadPoolExecutor(
                2, thread_name_prefix="kelvane-read-ahead"))
        return _pool[0]


def write_url(url: str, data: bytes, near: Optional[Source]) -> None:
    """Puts `data` at `url` whole, through the filesystem of `near` (with
    its storage options) when that is a URL in the same store. Stores
    replace an object in one request, so readers see the old object or
    the new one: no temporary name is needed."""
    if isinstance(near, UrlSource):
        fs, path = near.filesystem(url)
    else:
        import fsspec
        fs, path = fsspec.core.url_to_fs(url)
    fs.pipe_file(path, data)


def is_url(source: Any) -> bool:
    return isinstance(source, str) and "://" in source


def open_source(source: Any, storage_options: Optional[Dict[str, Any]]
                ) -> Optional[Source]:
    """The source for `source`, or None for a local path (a `file://`
    URL included, which becomes its path)."""
    if isinstance(source, (str, bytes, os.PathLike)):
        if is_url(source):
            if source.startswith("file://") and not storage_options:
                return None
            return UrlSource(source, storage_options)
        if storage_options:
            raise ValueError("storage_options are for URLs, not local "
                             "paths")
        return None
    if callable(getattr(source, "seek", None)) and \
            callable(getattr(source, "read", None)):
        if storage_options:
            raise ValueError("storage_options are for URLs, not file "
                             "objects")
        return FileObjectSource(source)
    raise TypeError(f"an LmaFile opens a path, a URL or a binary file "
                    f"object, not {type(source).__name__}")


def local_path(source: Any) -> Any:
    """A local source as a path: a `file://` URL without its scheme."""
    if isinstance(source, str) and source.startswith("file://"):
        return source[len("file://"):]
    return source
