"""Where the bytes of an LMA file come from when it is not a local file:
a URL that fsspec knows (s3://, https://, memory://, ...) or an open
binary file object.

A source gives its size, its identity where the store has one (an ETag,
else a modification time), and byte ranges, always whole: a response cut
short is an `OSError`, never fewer bytes. What a read fetches past its
end is kept: little after a jump (`SMALL_BYTES`), so that one record
costs about its own bytes, and twice as much at each read that goes on
from the last, up to `BLOCK_BYTES`, so that batches of a few records read
one after the other cost one request per block, not one per batch. A
read that goes on from kept bytes fetches only what they lack.
"""

from __future__ import annotations

import errno
import io
import os
import threading
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, Dict, Iterator, List, Optional, Tuple

from ._outputs import shown

__all__ = ["BLOCK_BYTES", "Source", "UrlSource", "FileObjectSource",
           "StoreError", "open_source"]

# Bytes asked for at once: large enough that a request's own cost is
# small beside its transfer, small enough to hold a few in memory.
BLOCK_BYTES = 8 << 20

# Bytes fetched for a read that does not go on from the one before:
# about what one record needs, not a block.
SMALL_BYTES = 64 << 10

# Every byte a header can have (a general block and 32 channel blocks),
# rounded up: read before the header says where the records start.
HEADER_BYTES = 1024

RANGE_IGNORED = ("the server sent the whole file instead of the range "
                 "asked for: serve it with a server that honours Range "
                 "requests")

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
    # Whether reads going on through kept bytes fetch the next bytes in
    # the background: worth it where a fetch waits on a network, not
    # where it is a copy in memory.
    reads_ahead = False

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._kept: Tuple[int, Any] = (0, b"")
        # The bytes after the kept ones, being fetched while the kept ones
        # are decoded: (start, stop, future), or None.
        self._next: Optional[Tuple[int, int, "Future[Any]"]] = None
        # Bytes fetched past what a read needs: little after a jump,
        # doubling while reads go on from the last, up to a block.
        self._window = SMALL_BYTES

    def label(self) -> str:
        return shown(self.name)

    def stat(self) -> None:
        """Finds the size and identity again, and forgets kept bytes."""
        self._kept, self._next = (0, b""), None
        self._window = SMALL_BYTES
        self.size, self.identity = self._stat()

    def read(self, start: int, stop: int, *, ahead: bool = False) -> Any:
        """Bytes [start, stop) as a bytes-like object, exactly that many;
        `ahead`: fetch some bytes beyond, kept for the next read (more
        while reads go on one after the other), and once reads go on
        through kept bytes, the next ones in the background. Raises what
        the store raises, or OSError for a short response."""
        stop = min(stop, self.size)
        if start >= stop:
            return b""
        base, kept = self._kept
        end = base + len(kept)
        if base <= start and stop <= end:
            if ahead and self._next is None and end - stop < len(kept) // 2:
                self._read_ahead(end)
            return kept if (base, end) == (start, stop) else \
                memoryview(kept)[start - base:stop - base]
        if not ahead:
            return self._whole(start, stop)
        # A read going on from the kept bytes takes what they hold and
        # fetches only the rest: no byte is fetched twice.
        going_on = bool(kept) and base <= start <= end
        parts: List[Any] = []
        if going_on:
            if start < end:
                parts.append(memoryview(kept)[start - base:])
            self._window = min(BLOCK_BYTES, self._window * 2)
            at = end
        else:
            self._window = min(SMALL_BYTES, BLOCK_BYTES)
            at = start
        pending, self._next = self._next, None
        if pending is not None and pending[0] <= at < pending[1]:
            ahead_base, _, future = pending
            data = future.result()
            self._kept = (ahead_base, data)
            parts.append(memoryview(data)[at - ahead_base:stop - ahead_base])
            at = ahead_base + len(data)
            if stop <= at:
                self._read_ahead(at)
                return _joined(parts)
        fetch_stop = min(self.size, max(stop, at + self._window))
        data = self._whole(at, fetch_stop)
        self._kept = (at, data)
        parts.append(data if fetch_stop == stop else
                     memoryview(data)[:stop - at])
        return _joined(parts)

    def _read_ahead(self, start: int) -> None:
        if self.reads_ahead and start < self.size:
            stop = min(self.size, start + self._window)
            self._next = (start, stop,
                          _readers().submit(self._whole, start, stop))

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


def _joined(parts: List[Any]) -> Any:
    # Only a read that spans kept and fetched bytes is copied.
    return parts[0] if len(parts) == 1 else b"".join(parts)


def _same_store(a: Optional[str], b: str) -> bool:
    return a is not None and a.split("://", 1)[0] == b.split("://", 1)[0]


class StoreError(OSError):
    """What is wrong with a store or its server for every read, not one
    range of it: said as it is, naming the URL once (`filename`), with the
    reason alone as `strerror`."""

    def __init__(self, url: str, why: str, code: int = errno.EIO) -> None:
        super().__init__(code, why, url)

    def __str__(self) -> str:
        return f"{self.filename}: {self.strerror}"


class StoreConnectionError(StoreError, ConnectionError):
    pass


def _causes(error: BaseException) -> Iterator[BaseException]:
    """`error` and what it was raised from, in turn."""
    seen = 0
    cause: Optional[BaseException] = error
    while cause is not None and seen < 16:
        yield cause
        cause = cause.__cause__ or cause.__context__
        seen += 1


def _status(error: BaseException) -> Optional[int]:
    """The HTTP status a store's error carries, if any."""
    for cause in _causes(error):
        status = getattr(cause, "status", None)
        if isinstance(status, int):
            return status
        response = getattr(cause, "response", None)
        if isinstance(response, dict):
            code = response.get("ResponseMetadata", {}).get("HTTPStatusCode")
            if isinstance(code, int):
                return code
    return None


def _connection_failure(error: BaseException) -> Optional[str]:
    """Why the connection to the store failed, in the system's words, or
    None when `error` is not about the connection."""
    for cause in _causes(error):
        if isinstance(cause, FileNotFoundError) or _status(cause) is not None:
            continue
        if isinstance(cause, OSError) and cause.errno:
            return os.strerror(cause.errno)
        if isinstance(cause, TimeoutError):
            return "timed out"
    return None


class UrlSource(Source):
    """A URL read through fsspec, with `storage_options` for its
    filesystem. Between two `stat`s, reads are pinned to the version of
    the object seen by the first: by its strong ETag (HTTP's If-Match) or
    its S3 version; another version in its place raises
    FileReplacedError rather than mixing the two."""

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
        protocols = self._fs.protocol
        protocols = (protocols,) if isinstance(protocols, str) else protocols
        self._kind = "http" if "http" in protocols else \
            "s3" if "s3" in protocols else ""
        self._version: Optional[str] = None
        self.stat()

    def _stat(self) -> Tuple[int, Optional[str]]:
        # What the filesystem remembers of listings would hide a change.
        self._fs.invalidate_cache(self._path)
        try:
            info = self._fs.info(self._path)
        except FileNotFoundError as error:
            why = _connection_failure(error)
            if why is None or _status(error) in (403, 404, 410):
                raise
            raise StoreConnectionError(self.name or "",
                                       f"the connection failed: {why}") \
                from error
        if info.get("type") == "directory":
            raise IsADirectoryError(21, "Is a directory", self.name)
        size = info.get("size")
        if size is None:
            raise OSError(f"{self.name}: the store gives no size")
        key = next((k for k in _IDENTITY_KEYS if info.get(k) is not None),
                   None)
        identity = None if key is None else str(info[key])
        self.etag = identity if key in _ETAG_KEYS else None
        version = info.get("VersionId")
        self._version = version if isinstance(version, str) and \
            version not in ("", "null") else None
        modified = next((info[k] for k in _MODIFIED_KEYS
                         if info.get(k) is not None), None)
        self.modified = None if modified is None else str(modified)
        return int(size), identity

    def _strong_etag(self) -> Optional[str]:
        # A weak ETag says the content is alike, not the bytes.
        etag = self.etag
        return etag if etag and not etag.startswith("W/") else None

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
        try:
            data = self._pinned_fetch(start, stop)
        except Exception as error:
            if _status(error) == 412:
                raise self.replaced() from error
            raise
        if len(data) > stop - start and len(data) == self.size:
            raise StoreError(self.name or "", RANGE_IGNORED)
        return data

    def replaced(self) -> Exception:
        from .damage import FileReplacedError
        return FileReplacedError(self.name or "", "another version of the "
                                 "object is in the store; refresh() "
                                 "follows one that only grew")

    def _pinned_fetch(self, start: int, stop: int) -> Any:
        fs, path = self._fs, self._path
        if self._kind == "s3" and self._version is not None:
            return fs.cat_file(path, version_id=self._version, start=start,
                               end=stop)
        etag = self._strong_etag()
        if etag is None or not self._kind:
            return fs.cat_file(path, start=start, end=stop)
        if self._kind == "http":
            return fs.cat_file(path, start=start, end=stop,
                               headers={"If-Match": etag})
        return self._s3_if_match(etag, start, stop)

    def _s3_if_match(self, etag: str, start: int, stop: int) -> Any:
        # s3fs takes no condition in cat_file: its own call, with one.
        from fsspec.asyn import sync
        fs = self._fs
        bucket, key, _ = fs.split_path(self._path)

        async def get() -> bytes:
            response = await fs._call_s3(
                "get_object", Bucket=bucket, Key=key, IfMatch=etag,
                Range=f"bytes={start}-{stop - 1}")
            try:
                return bytes(await response["Body"].read())
            finally:
                response["Body"].close()

        return sync(fs.loop, get)


class FileObjectSource(Source):
    """An open binary file object with `seek` and `read` or `readinto`;
    reads from several threads take turns, as they share its position."""

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
        if not callable(getattr(self.fileobj, "read", None)):
            return self._fetch_into(start, stop)
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

    def _fetch_into(self, start: int, stop: int) -> Any:
        data = bytearray(stop - start)
        view = memoryview(data)
        got = 0
        with self._lock:
            self.fileobj.seek(start)
            while got < len(data):
                n = self.fileobj.readinto(view[got:])
                if not n:
                    break
                got += n
        return data if got == len(data) else view[:got]


_pool: List[ThreadPoolExecutor] = []
_pool_lock = threading.Lock()


def _readers() -> ThreadPoolExecutor:
    """The threads that fetch blocks ahead, made at first use."""
    with _pool_lock:
        if not _pool:
            _pool.append(ThreadPoolExecutor(
                2, thread_name_prefix="kelvane-read-ahead"))
        return _pool[0]


def read_url(url: str, near: Optional[Source],
             limit: Optional[int] = None) -> Optional[bytes]:
    """The object at `url` (a neighbour, such as a sidecar), its first
    `limit` bytes or all of it, in one request, through the filesystem of
    `near` (with its storage options) when that is a URL in the same
    store; None when there is none."""
    if isinstance(near, UrlSource):
        fs, path = near.filesystem(url)
    else:
        import fsspec
        fs, path = fsspec.core.url_to_fs(url)
    try:
        # A range from 0 on: asked for whole, some stores first ask for
        # the size, then fetch in parts.
        return bytes(fs.cat_file(path, start=0, end=limit))
    except FileNotFoundError:
        return None


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
    try:
        fs.pipe_file(path, data)
    except OSError:
        raise
    except Exception as error:
        # A client's own error (a refused upload) as the OSError a
        # failed write is everywhere else.
        raise OSError(f"{url}: cannot write: {error}") from error


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
    if callable(getattr(source, "seek", None)) and (
            callable(getattr(source, "read", None)) or
            callable(getattr(source, "readinto", None))):
        if storage_options:
            raise ValueError("storage_options are for URLs, not file "
                             "objects")
        return FileObjectSource(source)
    raise TypeError(f"an LmaFile opens a path, a URL or a binary file "
                    f"object, not {type(source).__name__}")


def local_path(source: Any) -> Any:
    """A local source as a path: a `file://` URL as the path it names,
    percent escapes decoded (as `Path.as_uri()` makes them), "localhost"
    as none; "file://run.lma" is relative, as fsspec takes it."""
    if isinstance(source, str) and source.startswith("file://"):
        from urllib.parse import unquote
        rest = source[len("file://"):]
        if rest.startswith("localhost/"):
            rest = rest[len("localhost"):]
        return unquote(rest)
    return source
