"""The events to export: one or more LMA files read as one run, their
events concatenated in the order given."""

from __future__ import annotations

import os
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from ..damage import Damage
from ..lmafile import Calibration, Events, LmaFile

__all__ = ["Run", "MismatchError", "Batch"]

# The output type of each `dtype` the export takes, as `LmaFile.read`
# names them.
DTYPES = {"float64": np.dtype(np.float64), "float32": np.dtype(np.float32),
          "raw": np.dtype(np.int16)}


class MismatchError(ValueError):
    """Two inputs that cannot share one output: they differ in a header
    field the output has once."""


class Batch(NamedTuple):
    """Events of a run as arrays: `tags` (int32), `horpos` (float64),
    `file` (the index of each event's input) and `traces` by event key."""
    tags: np.ndarray
    horpos: np.ndarray
    file: np.ndarray
    traces: Dict[str, np.ndarray]


class Run:
    """Open `LmaFile`s read as one sequence of events. Each file adds the
    events before its end or its damaged record; an event's index counts
    over all of them. `names`: what to call each file (by default its
    path), for files that travelled from another process, which reopened
    them by their absolute paths."""

    def __init__(self, files: Sequence[LmaFile],
                 names: Optional[Sequence[str]] = None) -> None:
        if not files:
            raise ValueError("a run needs at least one file")
        self.files = list(files)
        self.names = [os.fspath(f.path) for f in self.files] \
            if names is None else list(names)
        counts = [len(f) for f in self.files]
        # Where each file's events begin, and one past the last.
        self.bounds = np.concatenate(([0], np.cumsum(counts))).astype(
            np.int64)
        first = self.files[0]
        self.channels: List[int] = first.channels
        self.keys = [f"channel{c}" for c in self.channels]
        self.nsamples = max(first.nsamples, 0)
        self.sample_interval = first.sample_interval

    def __len__(self) -> int:
        return int(self.bounds[-1])

    @property
    def sources(self) -> List[str]:
        return list(self.names)

    @property
    def time(self) -> np.ndarray:
        return self.files[0].time

    def calibrations(self) -> List[Dict[str, Calibration]]:
        return [dict(f.calibration) for f in self.files]

    def check_compatible(self, raw: bool) -> None:
        """MismatchError, naming the first file and field that differ from
        the first file's, unless every input has the same channels, samples
        per trace and sample interval, and, for raw samples (which keep no
        calibration of their own), the same calibration."""
        first = self.files[0]
        fields: List[Tuple[str, Any]] = [
            ("channels", lambda f: f.channels),
            ("nsamples", lambda f: f.nsamples),
            ("sample_interval", lambda f: f.sample_interval)]
        if raw:
            fields.append(("calibration", lambda f: dict(f.calibration)))
        for called, f in zip(self.names[1:], self.files[1:]):
            for name, get in fields:
                if get(f) != get(first):
                    raise MismatchError(
                        f"{called}: {name} {get(f)} differs from "
                        f"{get(first)} in {self.names[0]}")

    def damages(self, start: int,
                stop: Optional[int]) -> List[Tuple[int, Damage]]:
        """The damaged records that a read from `start` up to `stop` (None:
        to the end) runs into, by file index: a file's damage counts when
        the read goes on past its last event, as for one file."""
        found = []
        for i, f in enumerate(self.files):
            end = int(self.bounds[i + 1])
            if f.damage is not None and start <= end and \
                    (stop is None or stop > end):
                found.append((i, f.damage))
        return found

    def empty(self, n: int, dtype: np.dtype,
              keys: Optional[Sequence[str]] = None) -> Batch:
        """Uninitialised arrays for `n` events of the channels `keys` (all
        by default)."""
        keys = self.keys if keys is None else keys
        return Batch(np.empty(n, np.int32), np.empty(n, np.float64),
                     np.empty(n, self.file_dtype),
                     {k: np.empty((n, self.nsamples), dtype) for k in keys})

    def heads(self) -> Tuple[np.ndarray, np.ndarray]:
        """Every event's tag and horpos, from the files' indexes: no record
        is read. Read-only."""
        counts = np.diff(self.bounds)
        tags = [f.tags[:int(k)] for f, k in zip(self.files, counts)]
        horpos = [f.horpos[:int(k)] for f, k in zip(self.files, counts)]
        if len(self.files) == 1:
            return tags[0], horpos[0]
        both = np.concatenate(tags), np.concatenate(horpos)
        for a in both:
            a.flags.writeable = False
        return both

    @property
    def file_dtype(self) -> np.dtype:
        return np.dtype(np.int16 if len(self.files) < 2**15 else np.int32)

    def read(self, start: int, stop: int, dtype: str, out: Batch) -> Batch:
        """Events [start, stop) of the run into the first rows of `out`
        (as from `empty`), for the channels `out` has arrays for; returns
        views of those rows."""
        n = stop - start
        rows = Batch(out.tags[:n], out.horpos[:n], out.file[:n],
                     {k: a[:n] for k, a in out.traces.items()})
        first = int(np.searchsorted(self.bounds, start, "right")) - 1
        at = 0
        for i in range(max(first, 0), len(self.files)):
            lo, hi = int(self.bounds[i]), int(self.bounds[i + 1])
            a, b = max(start, lo), min(stop, hi)
            if a >= stop:
                break
            if a >= b:
                continue
            m = b - a
            part = Events(rows.tags[at:at + m], rows.horpos[at:at + m],
                          {k: v[at:at + m] for k, v in rows.traces.items()})
            self.files[i].read(a - lo, b - lo, dtype=dtype,
                               channels=list(rows.traces), out=part)
            rows.file[at:at + m] = i
            at += m
        return rows
