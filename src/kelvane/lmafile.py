"""Random access to the events of an LMA file, and whole ranges as arrays.

    with kelvane.LmaFile("run.lma") as f:
        len(f)                       # events, counted without decoding
        f[-1].traces                 # the last event, (channels, samples)
        batch = f.read(0, 1000, dtype="float32")
        batch.traces["channel0"]     # (1000, samples)

Opening checks the header strictly and indexes the records; reads go by
position, decode natively with the interpreter lock released, and may come
from several threads at once. The results equal iterating `LmaReader`,
bit for bit.
"""

from __future__ import annotations

import inspect
import operator
import os
import sys
import threading
import types
import warnings
from typing import (Any, Dict, Iterable, Iterator, List, Mapping,
                    NamedTuple, Optional, Tuple, Union)

import numpy as np
from numpy.lib.array_utils import byte_bounds

from . import _outputs, sidecar, sources
from ._lmafile import NativeFile
from .damage import Damage, FileReplacedError
from .features import (ALL_QUANTITIES, Features, empty_values,
                       plain_options, requests)
from .hits import Hits, from_columns, hit_settings
from .hits import make as make_hits

__all__ = ["LmaFile", "Calibration", "Event", "Events", "Pulses"]

PathLike = Union[str, "os.PathLike[str]"]
ChannelSelection = Union[None, int, str, Iterable[Union[int, str]]]

# dtype name -> (native output kind, element type)
_OUTPUTS: Dict[str, Tuple[int, "np.dtype[Any]"]] = {
    "float64": (0, np.dtype(np.float64)),
    "float32": (1, np.dtype(np.float32)),
    "raw": (2, np.dtype(np.int16)),
}


# Records whose heads are compared with a sidecar's (as the engine picks
# them), and the bytes of a head: tag and horpos.
_SAMPLED = 16
_HEAD_BYTES = 12


class Calibration(NamedTuple):
    """One channel's calibration: trace = gain * (raw - baseline), the
    difference taken in float64 (`raw - np.float64(baseline)`): in int16
    it wraps for samples near the ends of the range.

    Attributes
    ----------
    fullscale : int
        The digitiser's full-scale range, as stored; not used in the
        calibration.
    offset : int
        The channel's offset setting, as stored; not used either.
    baseline : int
        The raw value that calibrates to 0.
    gain : float
        Calibrated units per raw count.
    """
    fullscale: int
    offset: int
    baseline: int
    gain: float


class Event(NamedTuple):
    """One event, as ``f[i]`` gives it.

    Attributes
    ----------
    tag : int
        The event's tag.
    horpos : float
        The digitiser's horizontal position of the trigger, in the unit
        the recording used (`LmaFile.time` does not include it).
    traces : numpy.ndarray
        float64, one row per channel in use (channels × samples).
    """
    tag: int
    horpos: float
    traces: np.ndarray


class Events(NamedTuple):
    """A range of events, as `LmaFile.read` gives it.

    Attributes
    ----------
    tags : numpy.ndarray
        int32, one per event.
    horpos : numpy.ndarray
        float64, one per event (as in `Event`).
    traces : dict of str to numpy.ndarray
        Each event key ("channel0", ...) to an (events × samples) array.
    """
    tags: np.ndarray
    horpos: np.ndarray
    traces: Dict[str, np.ndarray]


class Pulses(NamedTuple):
    """Partial pulses as stored, as `LmaFile.pulses` gives them: one entry
    per pulse in each array but `samples`.

    Attributes
    ----------
    event : numpy.ndarray
        The pulse's event index.
    channel : numpy.ndarray
        Its channel index.
    first : numpy.ndarray
        Its first sample in the trace.
    length : numpy.ndarray
        Its number of samples.
    offset : numpy.ndarray
        Where its samples start in `samples`.
    samples : numpy.ndarray
        The int16 samples of all pulses, one after another, as stored.
    """
    event: np.ndarray
    channel: np.ndarray
    first: np.ndarray
    length: np.ndarray
    offset: np.ndarray
    samples: np.ndarray


class LmaFile:
    """An LMA file opened for random access.

    Opening checks the header and indexes the records (or takes the index
    from a sidecar that fits); events are then decoded straight into NumPy
    arrays, with results equal to iterating `LmaReader`, bit for bit.

    Parameters
    ----------
    source : str, os.PathLike, URL or binary file object
        A path; a URL that fsspec knows (``"s3://bucket/run.lma"``,
        ``"https://..."``); or an open binary file object with ``seek``
        and ``read``.
    storage_options : dict, optional
        Options for the filesystem of a URL (credentials, an endpoint).
    index : str or os.PathLike, optional
        A persistent index to use instead of FILE.lmaidx beside the file.

    Raises
    ------
    DamagedHeaderError
        For a header no recording can have.
    FileNotFoundError
        When there is no file to read.

    Notes
    -----
    Raises `DamagedHeaderError` (with `field` and `value`) for a header no
    recording can have, `FileNotFoundError` or `IsADirectoryError` when
    there is no file to read, and `OSError` (EINVAL, "not a regular
    file") for a FIFO or a device, without waiting on it. Pickles by
    path, carrying its index: a file whose size, modification time,
    inode, header and last record are unchanged is not scanned again.
    A closed `LmaFile` pickles too and unpickles open.

    `index` names a persistent index (see `save_index`) to use instead of
    the one looked for beside the file, FILE.lmaidx. One that does not fit
    the file, or is missing or unreadable when named, is ignored with a
    `StaleIndexWarning` and the file is scanned; a missing FILE.lmaidx is
    ignored silently.
    `source` may also be a URL that fsspec knows ("s3://bucket/run.lma",
    "https://..."), with `storage_options` for its filesystem, or an open
    binary file object with `seek` and `read` or `readinto` (`path` is
    then its `name`, or None). Bytes then come in ranges, decoded as for
    a local file: a read that jumps fetches about what it needs, reads
    that go on one after the other up to 8 MB at a time, and no byte
    twice; a response cut short raises `OSError` naming the record.
    Between refreshes, reads are pinned to the object as opened where the
    store tells its versions apart (a strong ETag, an S3 version):
    another object in its place raises `FileReplacedError`, and `refresh`
    follows an object that only grew.
    An `LmaFile` over a URL pickles with the URL, the storage options
    (credentials included) and its index, which is taken back while the
    size, the header and the store's ETag or modification time are
    unchanged; one over a file object does not pickle. A URL's sidecar is
    looked for at URL.lmaidx in the same store (`index` may be a local
    path or a URL) and checked as a local one, and against the store's
    ETag and Last-Modified when the object has the size it was indexed
    at; a URL with a query (a presigned one) has none unless named. A file
    object takes no `index` (ValueError).

    Once `refresh` finds the file replaced (another file at the path, or
    this one rewritten from its start), `refresh` and every read raise
    `FileReplacedError`; `len`, `offsets`, `damage` and `close` still
    work. Open the path again.
    """

    path: Optional[str]
    nsamples: int
    sample_interval: float

    def __init__(self, source: Any, *,
                 storage_options: Optional[Dict[str, Any]] = None,
                 index: Optional[PathLike] = None) -> None:
        self._open(source, storage_options, None, index)

    @classmethod
    def _indexed_later(cls, source: Any,
                       storage_options: Optional[Dict[str, Any]] = None,
                       ) -> "LmaFile":
        """The file with its header read and checked, and its index made
        (or taken from a sidecar) when first needed: for a run, which
        knows its files' channels at once and may index them in
        parallel."""
        f = cls.__new__(cls)
        f._open(source, storage_options, None, later=True)
        return f

    def _open(self, source: Any, storage_options: Optional[Dict[str, Any]],
              state: Optional[Tuple[Any, ...]],
              index: Optional[PathLike] = None, *,
              later: bool = False) -> None:
        self._source = sources.open_source(source, storage_options)
        if self._source is None:
            native = self._open_local(sources.local_path(source))
            if sources.is_url(source):
                # A file:// URL is named as given, as every URL is.
                self.path = os.fsdecode(source)
        else:
            if index is not None and \
                    not isinstance(self._source, sources.UrlSource):
                raise ValueError("index= is taken for files opened by "
                                 "path or URL only")
            native = self._open_remote(self._source)
        self._engine = native
        # Held while the index is made, so that threads that need it at
        # once make it once.
        self._indexing = threading.Lock()
        self._unindexed: Optional[Tuple[Any, ...]] = (state, index)
        if not later:
            self._make_index()
        self._channels = tuple(native.channels)
        self.nsamples = native.nsamples
        self.sample_interval = native.sample_interval
        self._keys = [f"channel{c}" for c in self._channels]
        self._all_rows = tuple(range(len(self._keys)))
        self._calibration = types.MappingProxyType(
            {key: Calibration(*values) for key, values
             in zip(self._keys, native.calibration)})
        self._offsets = np.empty(0, np.int64)
        self._offsets_token: Tuple[int, int] = (-1, -1)
        self._heads: Tuple[np.ndarray, np.ndarray] = (
            np.empty(0, np.int32), np.empty(0, np.float64))
        self._heads_token: Tuple[int, int] = (-1, -1)

    def _use_sidecar(self, native: NativeFile,
                     index: Optional[PathLike]) -> bool:
        """Takes the index from the sidecar if it fits the file; warns
        once when there is one (or one was named) that does not."""
        named = index is not None
        where = os.fsdecode(os.fspath(index)) if index is not None else \
            sidecar.default_path(self.path)
        if sources.is_url(where) and not where.startswith("file://"):
            limit = int(native.longest_sidecar(os.path.getsize(self.path)))
            data, reason = _fetch_sidecar(where, None, named, limit)
            if data is not None:
                reason = native.use_sidecar(data) or ""
                if not reason:
                    return True
        else:
            with sidecar.opened(sources.local_path(where), named) as \
                    (fd, reason):
                if fd is not None:
                    reason = native.use_sidecar(fd) or ""
                    if not reason:
                        return True
        if reason:
            # Pointing at the caller's LmaFile(...) or pickle.loads.
            warnings.warn(sidecar.StaleIndexWarning(where, self.path, reason),
                          stacklevel=6)
        return False

    def save_index(self, path: Optional[PathLike] = None) -> str:
        """Writes the index as a persistent index (a sidecar), by default
        FILE.lmaidx beside the file, where opening the file looks for it.

        Parameters
        ----------
        path : str or os.PathLike, optional
            Where to write it instead (a local path or a URL).

        Returns
        -------
        str
            The path written.

        Notes
        -----
        The sidecar appears whole or not at all:
        written under a temporary name beside it, synced, then renamed over
        it. It holds the index as it is now: records added since the last
        `refresh`, are found by the scan that goes on from its end.

        For a URL, by default URL.lmaidx in the same store, written in one
        request (a store replaces an object whole), with the store's ETag;
        `path` may be a local path or a URL. A file object has none
        (ValueError)."""
        self._check_open()
        source = self._source
        if source is not None and not isinstance(source, sources.UrlSource):
            raise ValueError("save_index() writes the index of files "
                             "opened by path or URL only")
        where = sidecar.default_path(self.path) if path is None else \
            os.fsdecode(os.fspath(path))
        self._refuse_index_target(where)
        if source is None:
            data = self._native.sidecar(b"")
        else:
            data = self._native.sidecar((source.etag or "").encode(),
                                        source.size,
                                        (source.modified or "").encode())
        if sources.is_url(where) and not where.startswith("file://"):
            sources.write_url(where, data, source)
        else:
            sidecar.write(sources.local_path(where), data)
        return where

    def _refuse_index_target(self, where: str) -> None:
        """ValueError, before anything is written, unless `where` is not
        the file itself and holds nothing or an index already."""
        if _outputs.is_input([self.path], where):
            raise _outputs.index_refused(where, "it is the file indexed")
        target = _outputs.local(where)
        if target is not None:
            _outputs.refuse_over_non_index(target)
            return
        source = self._source
        if isinstance(source, sources.UrlSource):
            fs, key = source.filesystem(where)
        else:
            import fsspec
            fs, key = fsspec.core.url_to_fs(where)
        try:
            head = bytes(fs.cat_file(key, start=0,
                                     end=len(_outputs.INDEX_MAGIC)))
        except FileNotFoundError:
            return
        if head != _outputs.INDEX_MAGIC:
            raise _outputs.index_refused(where, _outputs.NOT_AN_INDEX)

    @property
    def _native(self) -> NativeFile:
        """The engine, its index made first if it is not yet."""
        if self._unindexed is not None:
            self._make_index()
        return self._engine

    def _make_index(self) -> None:
        with self._indexing:
            pending = self._unindexed
            # A closed file is left as it is: the read that wanted the
            # index then says it is closed.
            if pending is None or self._engine.closed:
                return
            state, index = pending
            if self._source is None:
                self._index_local(self._engine, state, index)
            else:
                self._index_remote(self._source, self._engine, state, index)
            self._unindexed = None

    def _open_local(self, path: PathLike) -> NativeFile:
        self.path = os.fsdecode(os.fspath(path))
        native = NativeFile(self.path)
        # Pickles name the file as found now: a relative path would name
        # another file after a change of directory or in another process.
        self._absolute = os.path.abspath(self.path)
        return native

    def _index_local(self, native: NativeFile,
                     state: Optional[Tuple[Any, ...]],
                     index: Optional[PathLike]) -> None:
        # The index comes along only while the file is still the one it
        # was made for, which the engine checks.
        if (state is None or not native.restore_index(state)) and \
                not self._use_sidecar(native, index):
            native.scan()

    def _open_remote(self, source: sources.Source) -> NativeFile:
        self.path = source.name
        self._absolute = source.name
        head = self._fetch(0, sources.HEADER_BYTES, None)
        return NativeFile(source.label(), head, source.size)

    def _index_remote(self, source: sources.Source, native: NativeFile,
                      state: Optional[Tuple[Any, ...]],
                      index: Optional[PathLike]) -> None:
        # The engine compares the header bytes; the size and the store's
        # identity are compared here.
        if (state is None or (source.size, source.identity) != state[0] or
                not self._restore(native, state[1])) and \
                not (isinstance(source, sources.UrlSource) and
                     self._use_remote_sidecar(source, native, index)):
            self._scan_blocks(native)

    def _use_remote_sidecar(self, source: sources.UrlSource,
                            native: NativeFile,
                            index: Optional[PathLike]) -> bool:
        """As `_use_sidecar`, for a URL: the sidecar is fetched whole, by
        default beside the object in the same store."""
        named = index is not None
        if not named and "?" in (source.name or ""):
            # A presigned URL: its query is no name a sidecar could have.
            return False
        where = os.fsdecode(os.fspath(index)) if index is not None else \
            sidecar.default_path(source.name or "")
        # No more than any index of this object can be: a larger one is
        # refused by its size, not read whole.
        limit = int(native.longest_sidecar(source.size))
        data, reason = _fetch_sidecar(where, source, named, limit)
        if data is not None:
            reason = self._adopt_remote(source, native, data)
            if not reason:
                return True
        if reason:
            warnings.warn(sidecar.StaleIndexWarning(where, self.path or "",
                                                    reason), stacklevel=6)
        return False

    def _adopt_remote(self, source: sources.UrlSource, native: NativeFile,
                      data: bytes) -> str:
        """Why sidecar bytes `data` do not fit the object, or "" once the
        index is taken from them. The engine checks everything but the
        ETag and Last-Modified, over the bytes of the last indexed record
        on, fetched here in one range, and the sampled records' heads,
        fetched together."""
        if len(data) > native.longest_sidecar(source.size):
            # The engine says so, reading no more of it.
            return native.use_sidecar(data, b"", 0) or ""
        try:
            fields = sidecar.parts(data)
        except ValueError as error:
            return str(error)
        # An object grown since is another object to the store, with
        # another ETag (and Last-Modified): the last record's walk tells
        # whether it was written on, as for a local file.
        etag, size, modified = fields[3], fields[0], fields[11]
        if size == source.size and (
                (etag and source.etag is not None and
                 etag != source.etag.encode()) or
                (modified and source.modified is not None and
                 modified != source.modified.encode())):
            return "it was made for another version of the object"
        offsets, end = fields[4], int(fields[5])
        last = int.from_bytes(offsets[-8:], sys.byteorder, signed=True) \
            if offsets else end
        heads = self._sampled_heads(source, np.frombuffer(offsets, np.int64))
        # Unchecked as yet: a range outside the object is left empty, and
        # the engine finds the offsets do not fit.
        start = min(max(last, 0), source.size)
        stop = min(source.size, max(start, end) + sources.BLOCK_BYTES)
        block = self._fetch(start, stop, None)
        reason = native.use_sidecar(data, block, start, heads) or ""
        if not reason and stop < source.size and native.damage is None:
            # Grown past the bytes fetched: indexed on to its real end.
            self._scan_blocks(native)
        return reason

    def _sampled_heads(self, source: sources.UrlSource,
                       offsets: np.ndarray) -> List[Any]:
        """The first bytes (a head's worth) of each record the engine
        compares with a sidecar's, fetched together: 16 evenly spaced, or
        all when fewer. Offsets outside the object are given nothing, and
        the engine finds that they do not fit."""
        n = len(offsets)
        if n == 0:
            return []
        picked = np.arange(n) if n <= _SAMPLED else \
            np.arange(_SAMPLED, dtype=np.uint64) * np.uint64(n - 1) // \
            np.uint64(_SAMPLED - 1)
        starts = [int(offsets[int(r)]) for r in picked]
        inside = [s for s in starts if 0 <= s < source.size]
        if len(inside) < len(starts):
            return []
        try:
            got = source.read_ranges(
                starts, [min(s + _HEAD_BYTES, source.size) for s in starts])
        except FileNotFoundError:
            raise
        except Exception as error:
            raise OSError(f"{source.label()}: cannot read: {error}") \
                from error
        return [bytes(b) for b in got]

    def _restore(self, native: NativeFile, state: Tuple[Any, ...]) -> bool:
        code, offset = state[3], state[6]
        if code == 0:
            return bool(native.restore_index(state))
        # The damaged record's bytes, to tell again what is wrong there.
        block = self._fetch(offset, offset + sources.BLOCK_BYTES, None)
        return bool(native.restore_index(state, block, offset))

    def _scan_blocks(self, native: NativeFile) -> None:
        """Indexes the records from where the index ends, a block at a
        time; a record longer than a block is fetched in a larger one."""
        source = self._source
        assert source is not None
        want = sources.BLOCK_BYTES
        while True:
            end = native.end
            base = native.pos_begin if end < 0 else end
            # A negative first offset is damage the engine reports at once.
            base = max(base, 0)
            block = self._fetch(base, base + want, int(native.count))
            final = base + len(block) >= source.size
            _, new_end, done = native.scan_block(block, base, final)
            if done:
                return
            want = want * 2 if new_end <= base else sources.BLOCK_BYTES

    def _fetch(self, start: int, stop: int, event: Optional[int], *,
               ahead: bool = False) -> Any:
        """Bytes [start, stop) of the source, fewer only past its end.
        Whatever goes wrong on the way is an OSError naming the file and
        the record being read (`event`), if any."""
        source = self._source
        assert source is not None
        where = f"byte {start}" if event is None else \
            f"event {event} at byte {start}"
        try:
            return source.read(start, stop, ahead=ahead)
        except (FileNotFoundError, FileReplacedError, sources.StoreError):
            # Said of the whole file, naming it once.
            raise
        except Exception as error:
            raise OSError(f"{source.label()}: {where}: cannot read: "
                          f"{error}") from error

    # Both are views of the header: a caller's change to what they hand
    # out must not reach the file's own description of itself.
    @property
    def channels(self) -> List[int]:
        """The channels in use, ascending; a new list at each access."""
        return list(self._channels)

    @property
    def calibration(self) -> Mapping[str, Calibration]:
        """Per event key ("channel0", ...), a read-only mapping."""
        return self._calibration

    # --- the index ---------------------------------------------------------

    def __len__(self) -> int:
        """The number of complete records indexed: the file's events, up
        to a damaged record if there is one."""
        return int(self._native.count)

    @property
    def offsets(self) -> np.ndarray:
        """The byte offset of each record (read-only int64)."""
        native = self._native
        # A scan may have rebuilt the index, not only extended it.
        token = (native.scan_count, native.count)
        if self._offsets_token != token:
            # Over a bytes object, so the array is read-only.
            self._offsets = np.frombuffer(native.offsets, np.int64)
            self._offsets_token = token
        return self._offsets

    def _index_heads(self) -> Tuple[np.ndarray, np.ndarray]:
        native = self._native
        token = (native.scan_count, native.count)
        if self._heads_token != token:
            # Over bytes objects, so the arrays are read-only.
            self._heads = (np.frombuffer(native.tags, np.int32),
                           np.frombuffer(native.horpos, np.float64))
            self._heads_token = token
        return self._heads

    @property
    def tags(self) -> np.ndarray:
        """Each record's tag (read-only int32), as `read` gives them: kept
        by the index, so no record is read for them."""
        return self._index_heads()[0]

    @property
    def horpos(self) -> np.ndarray:
        """Each record's horpos (read-only float64), as `read` gives
        them: kept by the index, so no record is read for them."""
        return self._index_heads()[1]

    @property
    def damage(self) -> Optional[Damage]:
        """None, or where indexing stopped at a record that could not be
        decoded: its offset, event index and the error iterating
        `LmaReader` raises there, and in `reason` what is wrong with it.
        `incomplete` when the file merely ends inside that record, as one
        still being written does (`refresh` then reads on)."""
        found = self._native.damage
        return None if found is None else Damage(*found)

    def refresh(self) -> int:
        """Extends the index over records written since it was made, and
        tries a cut-short last record again.

        Returns
        -------
        int
            The events added; a file cut shorter than its index is indexed
            anew, and the result is then negative.

        Raises
        ------
        FileReplacedError
            When another file is at the path, or this one was rewritten
            from its start.

        Notes
        -----

        First checks that the file is still the one opened: the path
        names it, its header bytes are unchanged and its last indexed
        record still walks to where it ended. If not, raises
        `FileReplacedError`, and so does every read from then on.

        For a file held elsewhere the store is asked for its size again;
        the header and the last indexed record are fetched and compared
        the same way."""
        self._check_open()
        if self._source is None:
            return int(self._native.scan())
        return self._refresh_remote()

    def _refresh_remote(self) -> int:
        source, native = self._source, self._native
        assert source is not None
        try:
            source.stat()
        except Exception as error:
            if isinstance(error, FileNotFoundError):
                raise
            raise OSError(f"{source.label()}: cannot read: {error}") \
                from error
        before = len(self)
        header = native.index_state()[-1]
        if bytes(self._fetch(0, len(header), None)) != header:
            native.replace(2)  # the header differs
            native.check()
        end = int(native.end)
        offsets = self.offsets

        def record_end(k: int) -> int:
            return int(offsets[k + 1]) if k + 1 < len(offsets) else end

        # The last record the file still holds whole is walked again.
        whole = len(offsets)
        while whole and record_end(whole - 1) > source.size:
            whole -= 1
        if whole:
            start = int(offsets[whole - 1])
            block = self._fetch(start, record_end(whole - 1), whole - 1)
            if not native.rewalk(whole - 1, block, start):
                native.check()
        if end > source.size:
            # Cut back: indexed anew from its first record.
            native.clear_index()
        self._scan_blocks(native)
        return len(self) - before

    @property
    def pos_begin(self) -> int:
        """The byte offset of the first record, as the header gives it (as
        for `LmaReader`)."""
        return int(self._native.pos_begin)

    @property
    def time(self) -> np.ndarray:
        """Seconds from the start of the trace, one per sample."""
        return np.arange(self.nsamples, dtype=np.float64) * \
            self.sample_interval

    # --- reading -------------------------------------------------------------

    def __getitem__(self, index: int) -> Event:
        """One event, decoding only its record.

        Parameters
        ----------
        index : int
            The event's index, counted from 0; negative counts from the
            end.

        Returns
        -------
        Event
            Its tag, horpos and float64 traces (channels × samples).

        Raises
        ------
        IndexError
            For an index past either end; slices raise `TypeError` (use
            `read` for ranges).
        """
        if isinstance(index, slice):
            raise TypeError("LmaFile indices must be integers; "
                            "use read(start, stop) for ranges")
        i = operator.index(index)
        n = len(self)
        if i < 0:
            i += n
        if not 0 <= i < n:
            raise IndexError(f"event {index} out of range for {n} events")
        self._check_open()
        traces = np.empty((len(self._keys), self.nsamples), np.float64)
        tags = np.empty(1, np.int32)
        horpos = np.empty(1, np.float64)
        # Rows of one new array and two more arrays: apart by making.
        self._decode(i, i + 1, 0, tuple(range(len(self._keys))), tags,
                     horpos, tuple(traces[k:k + 1]
                                   for k in range(len(self._keys))), True)
        return Event(int(tags[0]), float(horpos[0]), traces)

    def read(self, start: int = 0, stop: Optional[int] = None, *,
             channels: ChannelSelection = None, dtype: Any = "float64",
             out: Union[Events, Mapping[str, np.ndarray], None] = None,
             ) -> Events:
        """Events [start, stop) as arrays.

        Parameters
        ----------
        start, stop : int
            The range of events; `stop` None for the end.
        channels : sequence of int or str, optional
            Channels by index (``0``) or event key (``"channel0"``);
            default all in use.
        dtype : {"float64", "float32", "raw"}
            Calibrated traces, or the int16 samples as stored ("raw",
            where uncovered samples hold the baseline).
        out : Events or mapping of str to numpy.ndarray, optional
            Arrays from an earlier call (or any with enough rows, no two
            sharing memory) to write into instead of new ones; the result
            holds them, or views of their first rows where they are
            longer.

        Returns
        -------
        Events
            ``tags``, ``horpos`` and ``traces`` by event key, an
            (events × samples) array each.

        Raises
        ------
        IndexError, ValueError, TypeError
            For a bad range or argument, before anything is written.

        Notes
        -----

        Reads the records the index lists, with the header read at
        opening: a file replaced since is only noticed by `refresh`.
        """
        self._check_open()
        first, last = self._bounds(start, stop)
        if channels is None:
            # All channels, the usual case: nothing to look up.
            rows: Tuple[int, ...] = self._all_rows
            keys = self._keys
        else:
            rows = tuple(self._rows(channels))
            keys = [self._keys[r] for r in rows]
        kind, element = _output(dtype)
        n = last - first
        tags, horpos, traces = self._outputs(out, keys, element, n)
        # Lists, not generators: a loop of small reads pays for every
        # step here.
        arrays = tuple([traces[k] for k in keys])
        exact = False
        if self._source is not None and out is not None and \
                not self._one_block(first, last):
            # Decoded a block at a time: every check comes before the
            # first block is written. In one block the engine checks
            # first, as for a local file.
            _check_outputs(tags, horpos, traces, element, n, self.nsamples)
            exact = True
        try:
            done = self._decode(first, last, kind, rows, tags, horpos,
                                arrays, exact, out is None)
        except (TypeError, ValueError):
            # If the engine refused an array, the same checks here say
            # which, and why, in this call's terms; they pass on arrays it
            # took, leaving other errors (a record damaged since the file
            # was indexed) as they are.
            if out is not None:
                _check_outputs(tags, horpos, traces, element, n,
                               self.nsamples)
            raise
        if not done:
            # The engine took each array, but their byte ranges meet, as
            # alternate rows of one array do: only an exact comparison
            # tells whether they share memory.
            _refuse_overlap(_written(tags, horpos, traces, n))
            self._decode(first, last, kind, rows, tags, horpos, arrays, True)
        # Outputs of the batch's size come back as they are; longer ones
        # as views of their first rows.
        if out is None or all([len(a) == n for a in arrays]):
            traces = dict(zip(keys, arrays))
        else:
            traces = dict(zip(keys, [a if len(a) == n else a[:n]
                                     for a in arrays]))
        return Events(tags if len(tags) == n else tags[:n],
                      horpos if len(horpos) == n else horpos[:n], traces)

    def pulses(self, start: int = 0, stop: Optional[int] = None, *,
               channels: ChannelSelection = None) -> Pulses:
        """The partial pulses of events [start, stop) as stored.

        Parameters
        ----------
        start, stop : int
            The range of events, as for `read`.
        channels : sequence of int or str, optional
            As for `read`.

        Returns
        -------
        Pulses
            One entry per pulse and its raw int16 samples, flat.
        """
        self._check_open()
        first, last = self._bounds(start, stop)
        rows = tuple(self._rows(channels))
        if self._source is None:
            return self._list_pulses(first, last, rows, ())
        parts = [self._list_pulses(a, b, rows, (block, base))
                 for a, b, block, base in self._blocks(first, last)]
        if len(parts) == 1:
            return parts[0]
        # Offsets count from the start of each part's samples.
        before = np.cumsum([0] + [len(p.samples) for p in parts[:-1]])
        return Pulses(*(np.concatenate([p[k] for p in parts])
                        for k in range(4)),
                      np.concatenate([p.offset + b
                                      for p, b in zip(parts, before)]),
                      np.concatenate([p.samples for p in parts]))

    def _list_pulses(self, first: int, last: int, rows: Tuple[int, ...],
                     block: Tuple[Any, ...]) -> Pulses:
        npulses, nsamples = self._native.count_pulses(first, last, rows,
                                                      *block)
        arrays = (np.empty(npulses, np.int64), np.empty(npulses, np.int32),
                  np.empty(npulses, np.int32), np.empty(npulses, np.int32),
                  np.empty(npulses, np.int64), np.empty(nsamples, np.int16))
        npulses, nsamples = self._native.list_pulses(first, last, rows,
                                                     *arrays, *block)
        event, channel, first_sample, length, offset, samples = arrays
        return Pulses(event[:npulses], channel[:npulses],
                      first_sample[:npulses], length[:npulses],
                      offset[:npulses], samples[:nsamples])

    def features(self, start: int = 0, stop: Optional[int] = None, *,
                 channels: ChannelSelection = None,
                 quantities: Optional[Iterable[str]] = None,
                 window: Any = None, threshold: Any = None,
                 fraction: Any = 0.5, polarity: Any = 1,
                 merge: Any = 0) -> Features:
        """Per-event quantities of each selected channel, reduced natively
        from the stored pulses without writing the dense traces.

        Each of `window`, `threshold`, `fraction` and `polarity` may also
        be a mapping from channel (index or event key) to its own value;
        channels it leaves out take the default (the whole trace, no
        threshold, 0.5, 1).

        Parameters
        ----------
        start, stop : int
            The range of events, as for `read`.
        channels : sequence of int or str, optional
            As for `read`.
        quantities : iterable of str, optional
            Any of "maximum", "minimum", "argmax", "argmin", "sum",
            "pulses", "covered", "crossing" and "cfd"; default all, without
            "crossing" unless every channel has a `threshold`. Also
            "hits", the number of hits (see `hits`), only when asked for.
        window : (int, int), optional
            The samples [a, b) to reduce; default the whole trace.
        threshold : float, optional
            The level of "crossing", finite and above 0.
        fraction : float
            The fraction of the maximum that "cfd" times, in (0, 1].
        polarity : {1, -1}
            -1 for negative pulses ("crossing" and "cfd" only).
        merge : int
            For "hits": runs over the threshold at most this many samples
            apart count as one hit.

        Returns
        -------
        Features
            `values` maps each quantity to an (events × channels) array;
            `options` holds the settings.

        Raises
        ------
        ValueError
            For an unknown quantity, a bad option, or a mapping that names
            a channel not selected or one channel twice, before any record
            is read.
        """
        settings = dict(window=window, threshold=threshold,
                        fraction=fraction, polarity=polarity, merge=merge)
        return self._features_to(start, stop, None, channels, quantities,
                                 settings)

    def _features_to(self, start: int, stop: Optional[int],
                     out: Optional[Features], channels: ChannelSelection,
                     quantities: Optional[Iterable[str]],
                     settings: Dict[str, Any]) -> Features:
        """`features`, written into the arrays of `out` if given (as long
        as the range, for the quantities and channels asked for): for a
        run, which fills one table from many calls rather than joining
        their results."""
        rows, keys, groups = self._features_request(channels, quantities,
                                                    settings)
        self._check_open()
        first, last = self._bounds(start, stop)
        n = last - first
        if out is None:
            out = Features(np.empty(n, np.int32), np.empty(n, np.float64),
                           keys, empty_values(groups[0][0], n, len(rows)))
        values = out.values
        for req, columns in groups:
            if len(groups) == 1:
                part = values
            else:
                part = empty_values(req, n, len(columns))
            self._features(first, last, tuple(rows[c] for c in columns),
                           out.tags, out.horpos, req, part)
            if part is not values:
                for q, array in part.items():
                    values[q][:, columns] = array
        options = plain_options(groups[0][0].quantities, keys, **settings)
        return out._replace(channels=keys,
                            sample_interval=self.sample_interval,
                            options=options)

    def _features_request(self, channels: ChannelSelection,
                          quantities: Optional[Iterable[str]],
                          settings: Dict[str, Any]) -> Tuple[Any, ...]:
        """The rows, keys and request groups of a `features` call, its
        arguments checked against the header alone (ValueError, TypeError
        or IndexError), before the index is needed."""
        rows = self._rows(channels)
        keys = [self._keys[r] for r in rows]
        return rows, keys, requests(self.nsamples, quantities, keys,
                                    **settings)

    def hits(self, start: int = 0, stop: Optional[int] = None, *,
             channels: ChannelSelection = None, threshold: Any,
             polarity: Any = 1, window: Any = None, merge: Any = 0,
             pre: Any = 0, post: Any = 0, fraction: Any = 0.5,
             rise: Any = (0.1, 0.9), tail: Any = None) -> Hits:
        """Every hit of each selected channel in events [start, stop): the
        runs of y = polarity * trace at or above `threshold` within
        `window`, runs at most `merge` samples apart joined; see `Hits`
        and the documentation for each quantity's definition. `pre` and
        `post` widen a hit's charge, `fraction` sets the cfd level, `rise`
        the two levels of the rise time, `tail` (samples after the peak)
        where the tail charge starts. Every setting may be a mapping from
        channel (index or event key) to its own value. Arguments are all
        checked before any record is read."""
        self._check_open()
        first, last = self._bounds(start, stop)
        rows = tuple(self._rows(channels))
        keys = [self._keys[r] for r in rows]
        settings = dict(threshold=threshold, polarity=polarity,
                        window=window, merge=merge, pre=pre, post=post,
                        fraction=fraction, rise=rise, tail=tail)
        per_row = hit_settings(self.nsamples, keys, **settings)
        n = last - first
        tags = np.empty(n, np.int32)
        horpos = np.empty(n, np.float64)
        if self._source is None:
            parts = [self._native.hits(first, last, rows, tags, horpos,
                                       per_row)]
        else:
            parts = [self._native.hits(a, b, rows, tags[a - first:b - first],
                                       horpos[a - first:b - first], per_row,
                                       block, base)
                     for a, b, block, base in self._blocks(first, last)]
        return make_hits(from_columns(parts), tags, horpos, keys,
                         settings, first)

    def _features(self, first: int, last: int, rows: Tuple[int, ...],
                  tags: np.ndarray, horpos: np.ndarray, req: Any,
                  values: Dict[str, np.ndarray]) -> None:
        settings = (req.first, req.stop,
                    1.0 if req.threshold is None else req.threshold,
                    req.fraction, req.polarity, req.merge)
        outputs = tuple(values.get(q) for q in ALL_QUANTITIES)
        if self._source is None:
            self._native.features(first, last, rows, tags, horpos,
                                  outputs, *settings)
        for a, b, block, base in self._remote_blocks(first, last):
            i, j = a - first, b - first
            self._native.features(
                a, b, rows, tags[i:j], horpos[i:j],
                tuple(None if v is None else v[i:j] for v in outputs),
                *settings, block, base)

    # --- bytes held elsewhere -----------------------------------------------

    def _decode(self, first: int, last: int, kind: int,
                rows: Tuple[int, ...], tags: np.ndarray, horpos: np.ndarray,
                arrays: Tuple[np.ndarray, ...], exact: bool,
                fresh: bool = False) -> bool:
        """The engine's decode of [first, last), a block at a time for a
        file held elsewhere, which `exact` must then be (checked)."""
        if self._source is None:
            return bool(self._native.decode(first, last, kind, rows, tags,
                                            horpos, arrays, exact, fresh))
        for a, b, block, base in self._blocks(first, last):
            if (a, b) == (first, last):
                # One block: the engine's own answer, as for a local file.
                return bool(self._native.decode(
                    first, last, kind, rows, tags, horpos, arrays, exact,
                    fresh, block, base))
            i, j = a - first, b - first
            self._native.decode(a, b, kind, rows, tags[i:j], horpos[i:j],
                                tuple([x[i:j] for x in arrays]), exact,
                                fresh, block, base)
        return True

    def _one_block(self, first: int, last: int) -> bool:
        """Whether `_blocks` gives [first, last) in one fetch."""
        if last - first <= 1:
            return True
        offsets = self.offsets
        return int(offsets[last - 1]) < int(offsets[first]) + \
            sources.BLOCK_BYTES

    def _remote_blocks(self, first: int, last: int,
                       ) -> Iterator[Tuple[int, int, Any, int]]:
        return iter(()) if self._source is None else \
            self._blocks(first, last)

    def _blocks(self, first: int, last: int,
                ) -> Iterator[Tuple[int, int, Any, int]]:
        """(a, b, bytes, offset): records [a, b) of [first, last) and
        their bytes from `offset`, one fetch each. A block ends with the
        first record that reaches a block's size past its start, so a
        range takes at most 1 + bytes / BLOCK_BYTES fetches."""
        if first >= last:
            # The engine still checks the arguments.
            yield first, last, b"", 0
            return
        offsets = self.offsets
        end = int(self._native.end)
        n = len(offsets)
        a = first
        while a < last:
            base = int(offsets[a])
            b = a + 1 + int(np.searchsorted(
                offsets[a + 1:last], base + sources.BLOCK_BYTES, "left"))
            b = min(b, last)
            stop = int(offsets[b]) if b < n else end
            yield a, b, self._fetch(base, stop, a, ahead=True), base
            a = b

    # --- arguments -----------------------------------------------------------

    def _bounds(self, start: int, stop: Optional[int]) -> Tuple[int, int]:
        return event_bounds(len(self), start, stop)

    def _rows(self, channels: ChannelSelection) -> List[int]:
        """Positions among the channels in use, in the order asked for."""
        if channels is None:
            return list(range(len(self._keys)))
        if isinstance(channels, (int, str, np.integer)):
            channels = [channels]
        rows: List[int] = []
        for c in channels:
            if isinstance(c, str):
                key = c
            elif isinstance(c, (int, np.integer)) and not isinstance(c, bool):
                key = f"channel{int(c)}"
            else:
                raise TypeError(f"a channel is an index or an event key, "
                                f"not {type(c).__name__}")
            if key not in self._keys:
                raise ValueError(f"channel {c!r} is not in use; in use: "
                                 f"{self.channels}")
            row = self._keys.index(key)
            if row in rows:
                raise ValueError(f"channel {c!r} is selected twice")
            rows.append(row)
        return rows

    def _outputs(self, out: Union[Events, Mapping[str, np.ndarray], None],
                 keys: List[str], element: "np.dtype[Any]", n: int,
                 ) -> Tuple[np.ndarray, np.ndarray, Dict[str, np.ndarray]]:
        """The arrays to write into, each checked."""
        ns = self.nsamples
        if out is None:
            return (np.empty(n, np.int32), np.empty(n, np.float64),
                    {k: np.empty((n, ns), element) for k in keys})
        if isinstance(out, Events):
            tags, horpos = out.tags, out.horpos
            mapping: Mapping[str, np.ndarray] = out.traces
        elif isinstance(out, Mapping):
            tags, horpos = np.empty(n, np.int32), np.empty(n, np.float64)
            mapping = out
        else:
            raise TypeError(f"out must be Events or a mapping of event key "
                            f"to array, not {type(out).__name__}")
        # The engine checks each array's type, shape, layout and
        # writability, and whether outputs overlap, before it writes; it
        # takes any buffer, while the results are to be NumPy arrays.
        try:
            traces = {k: mapping[k] for k in keys}
        except KeyError:
            missing = next(k for k in keys if k not in mapping)
            raise ValueError(f"out has no array for {missing!r}") from None
        ndarray = np.ndarray
        if not (isinstance(tags, ndarray) and isinstance(horpos, ndarray) and
                all([isinstance(a, ndarray) for a in traces.values()])):
            _check_outputs(tags, horpos, traces, element, n, ns)
        return tags, horpos, traces

    # --- life ----------------------------------------------------------------

    def _check_open(self) -> None:
        """ValueError on a closed file, FileReplacedError on a replaced
        one: the check every read makes first."""
        self._native.check()

    @property
    def closed(self) -> bool:
        """Whether `close` has been called."""
        return bool(self._engine.closed)

    def close(self) -> None:
        """Closes the file, once reads in other threads have finished.
        Closing twice is harmless."""
        self._engine.close()

    def __enter__(self) -> "LmaFile":
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        path = self.path if self.path is None else \
            _outputs.without_credentials(self.path)
        return (f"<kelvane.LmaFile {path!r}: {len(self)} events, "
                f"channels {self.channels}, {self.nsamples} samples, "
                f"{state}>")

    def __reduce__(self) -> Tuple[Any, Tuple[Any, ...]]:
        source = self._source
        # A subclass comes back as itself.
        kind = () if type(self) is LmaFile else (type(self),)
        if source is None:
            return _reopen, (self._absolute, self._native.index_state(),
                             *kind)
        if not isinstance(source, sources.UrlSource):
            raise TypeError("an LmaFile over a file object cannot be "
                            "pickled: open it by path or URL")
        return _reopen_url, (source.name, source.storage_options,
                             ((source.size, source.identity),
                              self._native.index_state()), *kind)


def feature_arguments(options: Dict[str, Any]) -> Tuple[Any, Any,
                                                       Dict[str, Any]]:
    """(channels, quantities, settings) of `LmaFile.features`' keyword
    arguments `options`, with its defaults for those left out; TypeError
    for a keyword it does not take."""
    bound = inspect.signature(LmaFile.features).bind(None, **options)
    bound.apply_defaults()
    given = bound.arguments
    return (given["channels"], given["quantities"],
            {k: given[k] for k in ("window", "threshold", "fraction",
                                   "polarity", "merge")})


def _fetch_sidecar(where: str, source: Optional[sources.UrlSource],
                   named: bool, limit: int) -> Tuple[Optional[bytes], str]:
    """The bytes of the sidecar at `where`, a URL (through `source`'s
    filesystem when in the same store) or a local path, at most `limit` +
    1 of them (one more than any index of the file has, to tell one too
    large); else None and why not, "" when it is not there and was not
    named."""
    try:
        if sources.is_url(where) and not where.startswith("file://"):
            data = sources.read_url(where, source, limit + 1)
        else:
            return sidecar.read(sources.local_path(where), named, limit)
    except FileNotFoundError:
        data = None
    except Exception as error:
        return None, f"it cannot be read: {error}"
    if data is None:
        return None, "there is no such file" if named else ""
    return data, ""


def _reopen(path: str, state: Tuple[Any, ...],
            kind: type = LmaFile) -> LmaFile:
    f = kind.__new__(kind)
    f._open(path, None, state)
    return f


def _reopen_url(url: str, storage_options: Dict[str, Any],
                state: Tuple[Any, ...], kind: type = LmaFile) -> LmaFile:
    f = kind.__new__(kind)
    f._open(url, storage_options, state)
    return f


def event_bounds(n: int, start: int,
                 stop: Optional[int]) -> Tuple[int, int]:
    """[start, stop) of `n` events checked, stop None meaning the end:
    IndexError for a bound outside them, ValueError for start > stop."""
    first = operator.index(start)
    last = n if stop is None else operator.index(stop)
    if first < 0 or last < 0:
        raise IndexError(f"negative bounds are not allowed: start={start},"
                         f" stop={stop}")
    # Past the end first: with stop left out, start > stop would blame a
    # stop the caller never gave.
    if first > n or last > n:
        name, bound = ("start", first) if first > n else ("stop", last)
        raise IndexError(f"{name} {bound} is past the last of {n} events")
    if first > last:
        raise ValueError(f"start {first} is after stop {last}")
    return first, last


def _output(dtype: Any) -> Tuple[int, "np.dtype[Any]"]:
    if isinstance(dtype, str) and dtype in _OUTPUTS:
        return _OUTPUTS[dtype]
    try:
        as_dtype = np.dtype(dtype)
    except TypeError:
        pass
    else:
        # Compared only once parsed: a dtype equals None when it is
        # float64, so an unparsed name would pass as "float64".
        for kind, element in _OUTPUTS.values():
            if as_dtype == element:
                return kind, element
    raise ValueError(f"dtype must be one of {sorted(_OUTPUTS)}, not "
                     f"{dtype!r}")


def _check_outputs(tags: Any, horpos: Any, traces: Dict[str, Any],
                   element: "np.dtype[Any]", n: int, ns: int) -> None:
    """TypeError or ValueError, naming the array, unless every output can
    take `n` rows in place and none shares memory with another."""
    _checked(tags, "tags", np.dtype(np.int32), (n,))
    _checked(horpos, "horpos", np.dtype(np.float64), (n,))
    for k, a in traces.items():
        _checked(a, f"out[{k!r}]", element, (n, ns))
    _refuse_overlap(_written(tags, horpos, traces, n))


def _written(tags: np.ndarray, horpos: np.ndarray,
             traces: Dict[str, np.ndarray], n: int) -> Dict[str, np.ndarray]:
    """The part of each output a read of `n` events writes, by name."""
    written = {"tags": tags[:n], "horpos": horpos[:n]}
    written.update((f"out[{k!r}]", a[:n]) for k, a in traces.items())
    return written


def _refuse_overlap(arrays: Dict[str, np.ndarray]) -> None:
    """ValueError if two of `arrays` share memory: the decoder would write
    one output over another. Only arrays whose byte ranges meet are
    compared exactly, so the usual separate arrays cost a sort."""
    spans = sorted(((*byte_bounds(a), name, a) for name, a in arrays.items()
                    if a.size), key=lambda span: span[0])
    for i, (_, end, name, a) in enumerate(spans):
        for start, _, other, b in spans[i + 1:]:
            if start >= end:
                break
            if np.shares_memory(a, b):
                raise ValueError(f"{name} and {other} share memory")


def _checked(array: Any, what: str, element: "np.dtype[Any]",
             shape: Tuple[int, ...]) -> np.ndarray:
    """`array` if it can take `shape[0]` rows of `shape[1:]` elements of
    type `element` in place; TypeError or ValueError otherwise. The rules
    are the engine's, which looks only at what a read writes."""
    if not isinstance(array, np.ndarray):
        raise TypeError(f"{what} must be a NumPy array, not "
                        f"{type(array).__name__}")
    if array.dtype != element:
        raise ValueError(f"{what} has dtype {array.dtype}, not {element}")
    if array.ndim != len(shape) or array.shape[0] < shape[0] or \
            array.shape[1:] != shape[1:]:
        want = ", ".join(["at least %d" % shape[0]] + [str(s) for s in
                                                      shape[1:]])
        raise ValueError(f"{what} has shape {array.shape}, needs ({want})")
    if not array.flags.writeable:
        raise ValueError(f"{what} is read-only")
    rows = array[:shape[0]]
    if not rows.flags.aligned:
        raise ValueError(f"{what} is not aligned for {element}")
    size = array.itemsize
    if array.ndim == 1:
        # Written as one block from its start.
        contiguous = array.shape[0] <= 1 or array.strides[0] == size
    else:
        ncols = shape[1]
        contiguous = (ncols <= 1 or rows.strides[1] == size) and \
            (shape[0] <= 1 or ncols == 0 or rows.strides[0] >= ncols * size)
    if not contiguous:
        raise ValueError(f"{what}: rows must be contiguous and apart")
    return array
