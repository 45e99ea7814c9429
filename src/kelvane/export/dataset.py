"""The dataset xarray's engine "lma" presents, written a batch of events
at a time to a store that takes whole chunks (Zarr, netCDF): the writers
of both formats share this loop and differ in their `Sink`."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ..damage import Damage
from .metadata import (COORDINATE_ATTRIBUTES, channel_attributes,
                       coordinates, dataset_attributes)
from .plan import Plan
from .run import DTYPES, Run


def shuffles(dtype: np.dtype) -> bool:
    """Whether a variable's bytes are shuffled (grouped by significance)
    before compression: for integers, whose high bytes vary little. Not
    for calibrated traces: they take only as many distinct values as the
    raw samples, which a compressor finds as repeats of whole values, and
    which shuffling breaks apart (float64 traces come out half as large
    again with it)."""
    return dtype.kind in "iu"


class Sink:
    """A store being written: variables declared first, then filled a
    batch of events at a time, each batch a whole number of chunks (the
    last may end short)."""

    def attributes(self, attrs: Dict[str, Any]) -> None:
        raise NotImplementedError

    def variable(self, name: str, dims: Sequence[str],
                 shape: Tuple[int, ...], dtype: np.dtype,
                 chunks: Tuple[int, ...], attrs: Dict[str, Any],
                 data: Optional[np.ndarray] = None) -> None:
        """Declares a variable; `data`, if given, is all of it."""
        raise NotImplementedError

    def write(self, at: int,
              blocks: Dict[str, np.ndarray]) -> Callable[[], None]:
        """Starts writing rows `at` on of each variable named, along
        `event`; returns what finishes it, after which `blocks` may be
        reused."""
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError


def write_dataset(sink: Sink, run: Run, events: range, dtype: str,
                  layout: Plan, damages: List[Tuple[int, Damage]],
                  progress: Callable[[int], None]) -> None:
    n, ns = len(events), run.nsamples
    element = DTYPES[dtype]
    # Chunks never empty, as the formats require.
    chunk = max(1, min(layout.chunk, n))
    sink.attributes(dataset_attributes(run, events.start, damages))
    sink.variable("time", ("sample",), (ns,), np.dtype(np.float64),
                  (max(ns, 1),), COORDINATE_ATTRIBUTES["time"], run.time)
    heads = {"tag": np.int32, "horpos": np.float64, "file": run.file_dtype}
    names = coordinates(run)
    for name in names:
        if name in heads:
            sink.variable(name, ("event",), (n,), np.dtype(heads[name]),
                          (chunk,), COORDINATE_ATTRIBUTES[name])
    # Which variables are coordinates, as xarray marks them.
    listed = " ".join(names)
    for key in run.keys:
        attrs = dict(channel_attributes(run, key, dtype), coordinates=listed)
        sink.variable(key, ("event", "sample"), (n, ns), element,
                      (chunk, max(ns, 1)), attrs)
    # Two buffers: the next batch is decoded while the last is compressed.
    batches = range(events.start, events.stop, layout.batch)
    buffers = [run.empty(min(layout.batch, n), element)
               for _ in range(min(len(batches), 2))]
    pending: Optional[Callable[[], None]] = None
    for k, i in enumerate(batches):
        j = min(i + layout.batch, events.stop)
        rows = run.read(i, j, dtype=dtype, out=buffers[k % 2])
        blocks = {"tag": rows.tags, "horpos": rows.horpos}
        if "file" in names:
            blocks["file"] = rows.file
        blocks.update(rows.traces)
        finish = sink.write(i - events.start, blocks)
        if pending is not None:
            pending()
            progress(layout.batch * layout.event_bytes)
        pending = finish
    if pending is not None:
        pending()
        progress((events.stop - batches[-1]) * layout.event_bytes)
    sink.close()
