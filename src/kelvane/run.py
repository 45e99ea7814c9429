"""A run: the files a digitiser writes one after another, read as one
sequence of events, local or remote, while the last one may still grow.

    run = kelvane.Run("data/run0042_*.lma")
    feat = run.features(threshold=50.0, jobs=2)
    for new in run.follow(interval=1.0, idle_timeout=60):
        ...                                   # a range of global indices

An event's global index counts over the files in their order; it never
changes while the run grows, since only the last file grows and a new file
comes after it.
"""

from __future__ import annotations

import dataclasses
import operator
import os
import time
from concurrent.futures import ThreadPoolExecutor
from typing import (Any, Callable, Dict, Iterable, Iterator, List, NamedTuple,
                    Optional, Sequence, Tuple, Union)

import numpy as np

from ._outputs import shown
from . import names
from .damage import Damage, IncompleteHeaderError
from .features import Features
from .hits import QUANTITIES as HIT_QUANTITIES
from .hits import Hits
from .lmafile import (ChannelSelection, Event, Events, LmaFile, Pulses,
                      event_bounds, feature_arguments)

__all__ = ["Run", "MismatchError", "RunEvents", "RunPulses"]

# Bytes of records that one call reduces at most.
PIECE_BYTES = 2**24

Sources = Union[str, "os.PathLike[str]", Sequence[Union[str,
                                                        "os.PathLike[str]"]]]


class MismatchError(ValueError):
    """Two files that cannot be read as one run: they differ in a header
    field the run has once (channels, samples per trace, sample interval,
    or for raw samples the calibration)."""


class RunEvents(NamedTuple):
    """Events of a run as arrays: as `Events`, and `file`, each event's file
    number (int32)."""
    tags: np.ndarray
    horpos: np.ndarray
    traces: Dict[str, np.ndarray]
    file: np.ndarray


class RunPulses(NamedTuple):
    """Partial pulses of a run as stored, one entry per pulse, as `Pulses`
    with `event` a global index, and `file`, each pulse's file number."""
    event: np.ndarray
    channel: np.ndarray
    first: np.ndarray
    length: np.ndarray
    offset: np.ndarray
    samples: np.ndarray
    file: np.ndarray


class Run:
    """The LMA files of `sources` read as one sequence of events.

    Parameters
    ----------
    sources : str, path or list of them
        A path, a URL that fsspec knows, a glob of either ("run_*.lma",
        "s3://bucket/run0042_*.lma"), or a list of them. A glob's matches
        are taken in natural name order (``run_2`` before ``run_10``); a
        list keeps the order given.
    storage_options : dict, optional
        For the filesystem of URLs, as fsspec takes them.

    Raises
    ------
    FileNotFoundError
        A name or a glob that matches no file.
    MismatchError
        Two files that differ in their channels, samples per trace or
        sample interval; the message names both files and the field.

    Notes
    -----
    Making the run reads each file's header alone; a file is indexed (from
    its persistent index where there is one) when its events are first
    needed, and `features` and `hits` index the files not yet indexed over
    their `jobs` threads. While a file is the last of the run, a record it
    ends inside is taken as still being written: not counted, and not
    listed in `damage`. A pickled run carries its sources, options and indices.
    """

    def __init__(self, sources: Sources, *,
                 storage_options: Optional[Dict[str, Any]] = None) -> None:
        given = [sources] if isinstance(sources, (str, os.PathLike)) \
            else list(sources)
        if not given:
            raise ValueError("a run needs at least one file")
        self._given = [os.fsdecode(s) if isinstance(s, os.PathLike) else s
                       for s in given]
        self._storage_options = storage_options
        self.files: List[LmaFile] = []
        self._names: List[str] = []
        self._counts: List[Optional[int]] = []
        for name in _expand(self._given, storage_options):
            self._add(name, LmaFile._indexed_later(name, storage_options))

    @classmethod
    def _from_files(cls, files: Sequence[LmaFile],
                    names: Optional[Sequence[str]] = None) -> "Run":
        """The run of `LmaFile`s already open, in the order given; `names`
        (by default each file's path) is what messages call each file.
        For the exporters, which check the files with `check_compatible`
        where their errors are reported."""
        if not files:
            raise ValueError("a run needs at least one file")
        names = [os.fspath(f.path) if f.path is not None else "<file>"
                 for f in files] if names is None else list(names)
        return cls._restored(list(names), None, names, list(files),
                             check=False)

    @classmethod
    def _restored(cls, given: List[str],
                  storage_options: Optional[Dict[str, Any]],
                  names: List[str], files: List[LmaFile],
                  check: bool = True) -> "Run":
        run = cls.__new__(cls)
        run._given = given
        run._storage_options = storage_options
        run.files, run._names, run._counts = [], [], []
        for name, f in zip(names, files):
            run._add(name, f, check)
        return run

    def __reduce__(self) -> Tuple[Any, Tuple[Any, ...]]:
        return Run._restored, (self._given, self._storage_options,
                               self._names, self.files)

    def _add(self, name: str, f: LmaFile, check: bool = True) -> None:
        if self.files and check:
            _check_same(shown(self._names[0]), self.files[0], shown(name), f,
                        raw=False)
        self.files.append(f)
        self._names.append(name)
        # Counted once indexed, when first needed.
        self._counts.append(None)
        self._known: Optional[np.ndarray] = None

    @property
    def _starts(self) -> np.ndarray:
        """Each file's first global index, and one past the last event;
        the files not yet indexed are indexed first."""
        if self._known is None:
            self._index_files(1)
            self._known = np.concatenate(([0], np.cumsum(self._counts))
                                         ).astype(np.int64)
        return self._known

    def _index_files(self, jobs: int) -> None:
        """Indexes the files not yet indexed, over `jobs` threads, and
        counts their events: the count stays the same until a refresh."""
        todo = [i for i, n in enumerate(self._counts) if n is None]
        for i, n in zip(todo, _each(lambda i: len(self.files[i]), todo,
                                    jobs)):
            self._counts[i] = n

    # --- what the run holds ------------------------------------------------

    def __len__(self) -> int:
        return int(self._starts[-1])

    @property
    def paths(self) -> List[str]:
        """Each file's path or URL, as the file reports it."""
        return [f.path for f in self.files]

    @property
    def starts(self) -> np.ndarray:
        """The global index of each file's first event (int64)."""
        return self._starts[:-1].copy()

    @property
    def channels(self) -> List[int]:
        return self.files[0].channels

    @property
    def nsamples(self) -> int:
        return self.files[0].nsamples

    @property
    def sample_interval(self) -> float:
        return self.files[0].sample_interval

    @property
    def time(self) -> np.ndarray:
        """Seconds from the start of the trace, one per sample."""
        return self.files[0].time

    @property
    def sources(self) -> List[str]:
        """Each file's name as messages and written files give it (as
        found by the glob or given, a URL without its credentials)."""
        return [shown(name) for name in self._names]

    @property
    def bounds(self) -> np.ndarray:
        """Each file's first global index, and one past the last event."""
        return self._starts

    @property
    def keys(self) -> List[str]:
        """The event keys ("channel0", ...) of the channels in use."""
        return [f"channel{c}" for c in self.channels]

    @property
    def file_dtype(self) -> "np.dtype[Any]":
        """The smallest integer type that numbers the files."""
        return np.dtype(np.int16 if len(self.files) < 2**15 else np.int32)

    def calibrations(self) -> List[Dict[str, Any]]:
        return [dict(f.calibration) for f in self.files]

    def check_compatible(self, raw: bool) -> None:
        """MismatchError unless every file shares the first's channels,
        samples per trace and sample interval, and for raw samples (which
        keep no calibration of their own) its calibration."""
        names = self.sources
        for name, f in zip(names[1:], self.files[1:]):
            _check_same(names[0], self.files[0], name, f, raw)

    def damages(self, start: int,
                stop: Optional[int]) -> List[Tuple[int, Damage]]:
        """The damaged records that a read from `start` up to `stop` (None:
        to the end) runs into: a file's damage counts when the read goes on
        past its last event, as for one file."""
        found = []
        # Every file's, the last one's incomplete record included: what an
        # export reports, as for one file.
        for i, d in enumerate(f.damage for f in self.files):
            if d is None:
                continue
            end = int(self._starts[i + 1])
            if start <= end and (stop is None or stop > end):
                found.append((i, d))
        return found

    def empty(self, n: int, dtype: Any,
              keys: Optional[Sequence[str]] = None) -> RunEvents:
        """Arrays for `n` events of the channels `keys` (all by default),
        to read into with `read(..., out=)`."""
        keys = self.keys if keys is None else keys
        return RunEvents(np.empty(n, np.int32), np.empty(n, np.float64),
                         {k: np.empty((n, self.nsamples), dtype)
                          for k in keys},
                         np.empty(n, self.file_dtype))

    @property
    def tags(self) -> np.ndarray:
        """Each event's tag (int32), from the files' indices; no record is
        read. Read-only."""
        return self.heads()[0]

    @property
    def horpos(self) -> np.ndarray:
        """Each event's horpos (float64), from the files' indices."""
        return self.heads()[1]

    def heads(self) -> Tuple[np.ndarray, np.ndarray]:
        """Every event's tag and horpos, from the files' indices: no record
        is read. Read-only."""
        counts = np.diff(self._starts).tolist()
        tags = [f.tags[:k] for f, k in zip(self.files, counts)]
        horpos = [f.horpos[:k] for f, k in zip(self.files, counts)]
        if len(self.files) == 1:
            return tags[0], horpos[0]
        both = np.concatenate(tags), np.concatenate(horpos)
        for a in both:
            a.flags.writeable = False
        return both

    @property
    def damage(self) -> List[Tuple[int, Damage]]:
        """The damaged records, as (file number, Damage) pairs. The last
        file's incomplete last record is not damage while the run may
        grow."""
        found = []
        last = len(self.files) - 1
        for i, f in enumerate(self.files):
            d = f.damage
            if d is None or (i == last and d.incomplete):
                continue
            found.append((i, d))
        return found

    def locate(self, index: int) -> Tuple[int, int]:
        """(file number, event within the file) of global index `index`."""
        i = self._index(index)
        file = int(np.searchsorted(self._starts, i, "right")) - 1
        return file, i - int(self._starts[file])

    def find(self, tag: int) -> np.ndarray:
        """The global indices of the events whose tag is `tag`, ascending
        (tags may repeat, within a file and across files)."""
        return np.flatnonzero(self.tags == tag).astype(np.int64)

    def __getitem__(self, index: int) -> Event:
        if isinstance(index, slice):
            raise TypeError("Run indices must be integers; "
                            "use read(start, stop) for ranges")
        file, event = self.locate(index)
        return self.files[file][event]

    def _index(self, index: int) -> int:
        i = operator.index(index)
        n = len(self)
        if i < 0:
            i += n
        if not 0 <= i < n:
            raise IndexError(f"event {index} out of range for {n} events")
        return i

    def _bounds(self, start: int, stop: Optional[int]) -> Tuple[int, int]:
        return event_bounds(len(self), start, stop)

    def _pieces(self, first: int, last: int,
                ) -> Iterator[Tuple[int, int, int, int]]:
        """(file number, a, b, global start): each file's share [a, b) of
        the global range [first, last)."""
        for i in range(len(self.files)):
            lo, hi = int(self._starts[i]), int(self._starts[i + 1])
            a, b = max(first, lo), min(last, hi)
            if a < b:
                yield i, a - lo, b - lo, a

    # --- reading -------------------------------------------------------------

    def read(self, start: int = 0, stop: Optional[int] = None, *,
             channels: ChannelSelection = None, dtype: Any = "float64",
             out: Union[Events, RunEvents, Dict[str, np.ndarray], None] = None,
             ) -> RunEvents:
        """Events [start, stop) of the run as arrays, across files; as
        `LmaFile.read`, with `file`, each event's file number."""
        first, last = self._bounds(start, stop)
        n = last - first
        if out is None:
            # No events read: the arguments checked, the arrays' types known.
            shape = self.files[0].read(0, 0, channels=channels, dtype=dtype)
            tags = np.empty(n, np.int32)
            horpos = np.empty(n, np.float64)
            traces = {k: np.empty((n,) + a.shape[1:], a.dtype)
                      for k, a in shape.traces.items()}
        elif isinstance(out, (Events, RunEvents)):
            tags, horpos, traces = out.tags, out.horpos, dict(out.traces)
        else:
            tags = np.empty(n, np.int32)
            horpos = np.empty(n, np.float64)
            traces = dict(out)
        file = out.file[:n] if isinstance(out, RunEvents) and \
            len(out.file) >= n else np.empty(n, np.int32)
        if out is not None and channels is None:
            # The channels the caller's arrays are for.
            channels = list(traces)
        for i, a, b, g in self._pieces(first, last):
            at, m = g - first, b - a
            self.files[i].read(a, b, channels=channels, dtype=dtype,
                               out=Events(tags[at:at + m], horpos[at:at + m],
                                          {key: v[at:at + m] for key, v
                                           in traces.items()}))
            file[at:at + m] = i
        return RunEvents(tags[:n], horpos[:n],
                         {k: v[:n] for k, v in traces.items()}, file)

    def pulses(self, start: int = 0, stop: Optional[int] = None, *,
               channels: ChannelSelection = None) -> RunPulses:
        """The partial pulses of events [start, stop) as stored, across
        files; as `LmaFile.pulses`, with global event indices and each
        pulse's file number."""
        first, last = self._bounds(start, stop)
        parts: List[Pulses] = []
        files: List[np.ndarray] = []
        base = 0
        for i, a, b, g in self._pieces(first, last):
            p = self.files[i].pulses(a, b, channels=channels)
            parts.append(p._replace(event=p.event + (g - a),
                                    offset=p.offset + base))
            files.append(np.full(len(p.event), i, np.int32))
            base += len(p.samples)
        if not parts:
            p = self.files[0].pulses(0, 0, channels=channels)
            return RunPulses(*p, np.empty(0, np.int32))
        return RunPulses(*(np.concatenate([p[k] for p in parts])
                           for k in range(len(Pulses._fields))),
                         np.concatenate(files))

    def features(self, start: int = 0, stop: Optional[int] = None, *,
                 jobs: int = 1, progress: Optional[Callable[[int], Any]] = None,
                 **options: Any) -> Features:
        """Per-event quantities over events [start, stop) of the run; takes
        `LmaFile.features`' arguments (`channels`, `quantities`, `window`,
        `threshold`, `fraction`, `polarity`, each setting per channel if a
        mapping). `jobs` threads share the files and ranges (and the
        indexing of files not yet indexed); `progress`, if given, is
        called with the number of events each finished piece adds. The
        result carries `file`, `files` and the options."""
        jobs = _jobs(jobs)
        self._index_files(jobs)
        first, last = self._bounds(start, stop)
        pieces = list(self._split(first, last, jobs))
        # Every argument is checked before any record is read: on no events.
        empty = self.files[0].features(0, 0, **options)
        channels, quantities, settings = feature_arguments(options)
        n = last - first
        # One table, each piece filling its rows: nothing joined after.
        table = empty._replace(
            tags=np.empty(n, np.int32), horpos=np.empty(n, np.float64),
            values={q: np.empty((n,) + v.shape[1:], v.dtype)
                    for q, v in empty.values.items()},
            file=np.empty(n, np.int32), files=self.paths,
            sample_interval=self.sample_interval)

        def one(piece: Tuple[int, int, int, int]) -> None:
            i, a, b, g = piece
            rows = slice(g - first, g - first + (b - a))
            self.files[i]._features_to(
                a, b, table._replace(
                    tags=table.tags[rows], horpos=table.horpos[rows],
                    values={q: v[rows] for q, v in table.values.items()}),
                channels, quantities, settings)
            table.file[rows] = i
            if progress is not None:
                progress(b - a)

        _each(one, pieces, jobs)
        return table

    def hits(self, start: int = 0, stop: Optional[int] = None, *,
             jobs: int = 1, **options: Any) -> Hits:
        """The hits of events [start, stop) of the run, across files; takes
        `LmaFile.hits`' arguments. `jobs` threads share the files and
        ranges. Events are global indices; `file` is each hit's file
        number."""
        jobs = _jobs(jobs)
        self._index_files(jobs)
        first, last = self._bounds(start, stop)
        pieces = list(self._split(first, last, jobs))
        # Every argument is checked before any record is read: on no events.
        empty = self.files[0].hits(0, 0, **options)

        def one(piece: Tuple[int, int, int, int]) -> Hits:
            i, a, b, g = piece
            got = self.files[i].hits(a, b, **options)
            return dataclasses.replace(got, event=got.event + (g - a))

        parts = _each(one, pieces, jobs)
        file = np.concatenate(
            [np.full(len(p.event), i, np.int32)
             for p, (i, _, _, _) in zip(parts, pieces)] or
            [np.empty(0, np.int32)])
        parts = parts or [empty]
        per_hit = {name: np.concatenate([getattr(p, name) for p in parts])
                   for name in ("event", "channel") + HIT_QUANTITIES}
        per_event = {name: np.concatenate([getattr(p, name) for p in parts])
                     for name in ("tags", "horpos")}
        return dataclasses.replace(empty, **per_hit, **per_event,
                                   first_event=first, file=file,
                                   files=self.paths)

    def _split(self, first: int, last: int, jobs: int,
               ) -> Iterator[Tuple[int, int, int, int]]:
        """The files' shares of [first, last), cut so that `jobs` workers
        get about equal work (a few pieces per worker), and none holds
        more than PIECE_BYTES of records: progress is reported, and an
        interruption answered, after each piece."""
        size = last - first if jobs == 1 else \
            max(-(-(last - first) // (4 * jobs)), 1024)
        for i, a, b, g in self._pieces(first, last):
            offsets = self.files[i].offsets
            x = a
            while x < b:
                y = min(x + size, b, int(np.searchsorted(
                    offsets, offsets[x] + PIECE_BYTES, "left")))
                yield i, x, y, g + (x - a)
                x = y

    def histogram(self, quantity: str, channel: Any = 0, *,
                  bins: int = 100, range: Optional[Tuple[float, float]] = None,
                  jobs: int = 1, client: Any = None,
                  **feature_options: Any) -> Any:
        """A `kelvane.Histogram` of one quantity of one channel over the
        run; takes `features`' settings (a threshold, a window, ...).

        With `client`, a Dask distributed client, each partition of
        `to_dask_dataframe` is histogrammed on a worker and the histograms
        are added there: no value travels to the client. `range` is then
        required, since no worker sees all the values."""
        if client is None:
            feat = self.features(jobs=jobs, channels=[channel],
                                 quantities=[quantity], **feature_options)
            return feat.histogram(quantity, 0, bins=bins, range=range)
        if range is None:
            raise ValueError("a histogram made on a cluster needs its range")
        options = dict(feature_options, channels=[channel],
                       quantities=[quantity])
        # Refused here, not on the workers.
        self.files[0].features(0, 0, **options)
        parts = client.map(_partition_histogram,
                           [(self.files[i], a, b)
                            for i, a, b, _ in self._partitions(100_000)],
                           quantity=quantity, bins=bins, range=range,
                           options=options, pure=False)
        if not parts:
            return self.features(0, 0, **options).histogram(
                quantity, 0, bins=bins, range=range)
        return client.submit(_added, parts).result()

    def _partitions(self, size: int) -> List[Tuple[int, int, int, int]]:
        """(file number, a, b, global start) of at most `size` events
        each, none empty."""
        size = operator.index(size)
        if size < 1:
            raise ValueError(f"a partition holds 1 event or more, not {size}")
        return [(i, x, min(x + size, b), g + x - a)
                for i, a, b, g in self._pieces(0, len(self))
                for x in range(a, b, size)]

    def to_dask_dataframe(self, *, partition_events: int = 100_000,
                          **feature_options: Any) -> Any:
        """The features table of `features(...).to_pandas()` as a lazy
        ``dask.dataframe.DataFrame``: one partition per at most
        `partition_events` events of one file, its index the global event
        index (divisions known), the `file` column categorical with every
        path of the run as a known category. Each task is sent only the
        file it reads, with its index."""
        import dask.dataframe as dd
        empty = self.features(0, 0, **feature_options)
        meta = empty.to_pandas()
        meta.index = meta.index.astype(np.int64)
        parts = self._partitions(partition_events)
        if not parts:
            return dd.from_pandas(meta, npartitions=1)
        divisions = [g for _, _, _, g in parts] + [len(self) - 1]
        return dd.from_map(
            _partition_frame,
            [(self.files[i], i, a, b, g) for i, a, b, g in parts],
            paths=self.paths, options=feature_options, meta=meta,
            divisions=divisions, enforce_metadata=False)

    # --- a run still being written -------------------------------------------

    def refresh(self) -> int:
        """Takes in records appended to the last file and new files that
        match the run's globs after it; returns the number of new events.
        A new match that sorts before the last file raises ValueError; a
        new file whose header is not complete yet waits for the next
        refresh."""
        before = len(self)
        self._grow(len(self.files) - 1)
        known = set(self._names)
        fresh = [name for name in _expand(self._given, self._storage_options,
                                          patterns_only=True)
                 if name not in known]
        for name in fresh:
            last = self._names[-1]
            if names.natural_key(name) < names.natural_key(last):
                raise ValueError(f"{name} sorts before {last}, the last "
                                 f"file of the run: it cannot join it")
            try:
                f = LmaFile._indexed_later(name, self._storage_options)
            except IncompleteHeaderError:
                # Not yet part of the run: its header is still being
                # written.
                break
            # The file before is final now: what it ends inside stays
            # damage from here on.
            self._grow(len(self.files) - 1)
            self._add(name, f)
        return len(self) - before

    def _grow(self, i: int) -> None:
        self.files[i].refresh()
        self._counts[i] = len(self.files[i])
        self._known = None

    def follow(self, interval: float = 1.0, *,
               idle_timeout: Optional[float] = None) -> Iterator[range]:
        """Refreshes every `interval` seconds and yields the range of new
        global indices each time some arrived; ends after `idle_timeout`
        seconds without new events (never, if None). A replaced file
        raises `FileReplacedError`."""
        idle_since = time.monotonic()
        while True:
            before = len(self)
            if self.refresh() > 0:
                idle_since = time.monotonic()
                yield range(before, len(self))
            elif idle_timeout is not None and \
                    time.monotonic() - idle_since >= idle_timeout:
                return
            time.sleep(interval)

    def close(self) -> None:
        for f in self.files:
            f.close()

    def __enter__(self) -> "Run":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return (f"<kelvane.Run of {len(self.files)} files, {len(self)} "
                f"events>")


def _jobs(jobs: int) -> int:
    jobs = operator.index(jobs)
    if jobs < 1:
        raise ValueError(f"jobs must be 1 or more, not {jobs}")
    return jobs


def _each(one: Callable[[Any], Any], pieces: Sequence[Any],
          jobs: int) -> List[Any]:
    """`one` of each piece, in order, over `jobs` threads. A failure or an
    interruption leaves the pieces not yet begun undone (`map` cancels
    them), rather than waiting for all of them."""
    if jobs == 1 or len(pieces) < 2:
        return [one(p) for p in pieces]
    with ThreadPoolExecutor(min(jobs, len(pieces))) as pool:
        return list(pool.map(one, pieces))


def _partition_frame(part: Tuple[LmaFile, int, int, int, int], *,
                     paths: List[str], options: Dict[str, Any]) -> Any:
    f, i, a, b, g = part
    feat = f.features(a, b, **options)
    frame = feat._replace(file=np.full(b - a, i, np.int32),
                          files=paths).to_pandas()
    frame.index = np.arange(g, g + (b - a), dtype=np.int64)
    return frame


def _partition_histogram(part: Tuple[LmaFile, int, int], *, quantity: str,
                         bins: int, range: Tuple[float, float],
                         options: Dict[str, Any]) -> Any:
    f, a, b = part
    return f.features(a, b, **options).histogram(quantity, 0, bins=bins,
                                                 range=range)


def _added(parts: List[Any]) -> Any:
    total = parts[0]
    for h in parts[1:]:
        total = total + h
    return total


def _check_same(first_name: str, first: LmaFile, name: str, f: LmaFile,
                raw: bool) -> None:
    fields: List[Tuple[str, Callable[[LmaFile], Any]]] = [
        ("channels", lambda x: x.channels),
        ("nsamples", lambda x: x.nsamples),
        ("sample_interval", lambda x: x.sample_interval)]
    if raw:
        fields.append(("calibration", lambda x: dict(x.calibration)))
    for field, get in fields:
        if get(f) != get(first):
            raise MismatchError(f"{name}: {field} {get(f)} differs "
                                f"from {get(first)} in {first_name}")


def _expand(given: Iterable[str], storage_options: Optional[Dict[str, Any]],
            *, patterns_only: bool = False) -> List[str]:
    """The names of `given` in the run's order; with `patterns_only`, the
    patterns' matches alone, none of them an error (for a refresh)."""
    if not patterns_only:
        return names.expand_each(given, storage_options)
    found: List[str] = []
    for name in given:
        if isinstance(name, str) and names.is_pattern(name):
            try:
                found.extend(names.expand(name, storage_options))
            except FileNotFoundError:
                pass
    return found


