"""The partial pulses of one or more LMA files, as stored, written to a
Parquet file, a NumPy `.npz` archive or a Zarr store in one pass of
bounded memory.

    with kelvane.LmaFile("a.lma") as a, kelvane.LmaFile("b.lma") as b:
        write_pulses([a, b], "run.parquet")

The events of the inputs are concatenated in the order given; `event`
counts over the concatenation and `file` indexes `sources`. Nothing is
calibrated or filled in, so the output holds exactly what the records do
and is about their size.

`.npz` and Zarr hold the flat arrays of `LmaFile.pulses` (`event`,
`channel`, `first`, `length`, `offset`, `samples`) and, one per event,
`tags`, `horpos` and `file`. Parquet has a row per pulse: `event`, `file`,
`tag`, `horpos`, `channel`, `first`, `length` and `samples` (a list of
int16); events without pulses show only in the event count. The header
goes with every output: `channels`, `nsamples`, `sample_interval`, the
calibration of each source, `sources`, `start` (the first event written),
`events` (how many) and, when the events written run into damaged
records, `damage`, `damage_file`, `damage_offset` and `damage_event`, one
entry per damaged input. In Zarr these are the group's attributes, in
Parquet a JSON object under the key "kelvane" of the file's metadata, in
`.npz` arrays (0-d for single values; `calibration` is structured, a row
per source).
"""

from __future__ import annotations

import json
import os
import shutil
import tempfile
import zipfile
from typing import (Any, Callable, Dict, Iterator, List, NamedTuple,
                    Optional, Sequence, Tuple)

import numpy as np

from ._outputs import shown
from .export.run import MismatchError, Run
from .lmafile import LmaFile, Pulses

__all__ = ["write_pulses", "check_compatible", "damaged_inputs",
           "MismatchError", "PULSE_FORMATS"]

# The formats by suffix: the modules each needs beyond NumPy, and the
# extra that installs them.
PULSE_FORMATS: Dict[str, Tuple[Tuple[str, ...], str]] = {
    ".parquet": (("pyarrow",), "table"),
    ".npz": ((), ""),
    ".zarr": (("zarr",), "zarr"),
}

# Bytes of records decoded per chunk. In memory a pulse takes 28 bytes
# beside its samples against 8 in the file, so a chunk stays within a few
# times this; the progress bar moves once per chunk.
CHUNK_BYTES = 2**22

Progress = Optional[Callable[[int], None]]


def check_compatible(files: Sequence[LmaFile]) -> None:
    """MismatchError naming the first file and field that differ from the
    first file's, unless all share channels, samples per trace and sample
    interval (calibration is kept per source)."""
    Run._from_files(files).check_compatible(raw=False)


def bounds(files: Sequence[LmaFile]) -> List[int]:
    """Where each file's events begin over the concatenation, and one past
    the last."""
    return [int(b) for b in Run._from_files(files).bounds]


def damaged_inputs(files: Sequence[LmaFile], start: int,
                   stop: Optional[int]) -> List[int]:
    """The inputs whose damaged record a read of events [start, stop) over
    the concatenation runs into: it goes on past their last event."""
    return [i for i, _ in Run._from_files(files).damages(start, stop)]


class Chunk(NamedTuple):
    """Consecutive events: one entry per event in `tags`, `horpos` and
    `file`, and their pulses, `event` counted over the concatenation and
    `offset` into this chunk's `samples`."""
    first_event: int
    tags: np.ndarray
    horpos: np.ndarray
    file: np.ndarray
    pulses: Pulses


def chunks(files: Sequence[LmaFile], start: int, stop: int,
           chunk_bytes: int) -> Iterator[Chunk]:
    """Events [start, stop) of the concatenation, a few records' bytes at a
    time."""
    edges = bounds(files)
    for i, f in enumerate(files):
        base = edges[i]
        lo, hi = max(start - base, 0), min(stop - base, len(f))
        for a, b in spans(f, lo, hi, chunk_bytes):
            heads = f.read(a, b, channels=[])
            pulses = f.pulses(a, b)
            yield Chunk(base + a, heads.tags, heads.horpos,
                        np.full(b - a, i, np.int32),
                        pulses._replace(event=pulses.event + base))


def spans(f: LmaFile, lo: int, hi: int,
          chunk_bytes: int) -> Iterator[Tuple[int, int]]:
    """Event ranges covering [lo, hi), each starting a record within
    `chunk_bytes` of its first; the record sizes bound the pulses'."""
    offsets = f.offsets
    a = lo
    while a < hi:
        b = int(np.searchsorted(offsets, offsets[a] + chunk_bytes, "left"))
        b = min(max(b, a + 1), hi)
        yield a, b
        a = b


def header(files: Sequence[LmaFile], start: int, stop: int,
           damaged: Sequence[int]) -> Dict[str, Any]:
    """What every output says of itself, as JSON values."""
    first = files[0]
    attrs: Dict[str, Any] = {
        "channels": first.channels, "nsamples": first.nsamples,
        "sample_interval": first.sample_interval,
        "calibration": [{key: cal._asdict()
                         for key, cal in f.calibration.items()}
                        for f in files],
        "sources": [shown(f.path) for f in files],
        "start": start, "events": stop - start}
    if damaged:
        found = [files[i].damage for i in damaged]
        attrs.update(damage=[str(d) for d in found],
                     damage_file=list(damaged),
                     damage_offset=[d.offset for d in found],
                     damage_event=[d.event for d in found])
    return attrs


def write_pulses(files: Sequence[LmaFile], path: str, *, start: int = 0,
                 stop: Optional[int] = None, suffix: Optional[str] = None,
                 progress: Progress = None) -> None:
    """Writes the pulses of events [start, stop) of the concatenation of
    `files` (stop None: to the end) to `path`, in the format its suffix (or
    `suffix`) names; `progress`, if given, is called with the number of
    events just written. MismatchError for inputs that cannot share an
    output."""
    suffix = (suffix or os.path.splitext(path)[1]).lower()
    if suffix not in PULSE_FORMATS:
        raise ValueError(f"cannot write {suffix!r}: the formats are "
                         f"{', '.join(PULSE_FORMATS)}")
    check_compatible(files)
    total = bounds(files)[-1]
    end = total if stop is None else min(stop, total)
    if not 0 <= start <= end:
        raise ValueError(f"bad event range: start={start}, stop={stop}")
    attrs = header(files, start, end, damaged_inputs(files, start, stop))
    with OUTPUTS[suffix](path, attrs) as output:
        for chunk in chunks(files, start, end, CHUNK_BYTES):
            output.write(chunk)
            if progress is not None:
                progress(len(chunk.tags))


# --- the outputs -------------------------------------------------------------
#
# Each takes the output's name and header, then chunks in order through
# `write`; leaving the `with` block completes the output, or, on an
# exception, only releases what it holds (the caller removes the
# partial output).

# The arrays of `.npz` and Zarr outputs, with their types.
ARRAYS = {"event": np.int64, "channel": np.int32, "first": np.int32,
          "length": np.int32, "offset": np.int64, "samples": np.int16,
          "tags": np.int32, "horpos": np.float64, "file": np.int32}


class ArrayOutput:
    """Shared by the `.npz` and Zarr writers: the chunk's arrays, with
    `offset` made to count from the first sample written."""

    def __init__(self) -> None:
        self.nsamples = 0

    def arrays(self, chunk: Chunk) -> Dict[str, np.ndarray]:
        p = chunk.pulses
        found = dict(p._asdict(), offset=p.offset + self.nsamples,
                     tags=chunk.tags, horpos=chunk.horpos, file=chunk.file)
        self.nsamples += len(p.samples)
        return {name: np.asarray(found[name], dtype)
                for name, dtype in ARRAYS.items()}


class NpzOutput(ArrayOutput):
    """Each array is spooled to an unnamed temporary file beside the
    output, since a zip archive takes one member at a time, and copied into
    its member at the end behind the header `np.load` reads."""

    def __init__(self, path: str, attrs: Dict[str, Any]) -> None:
        super().__init__()
        self.path, self.attrs = path, attrs
        folder = os.path.dirname(os.path.abspath(path))
        self.spools = {name: tempfile.TemporaryFile(dir=folder)
                       for name in ARRAYS}
        self.counts = dict.fromkeys(ARRAYS, 0)

    def write(self, chunk: Chunk) -> None:
        for name, array in self.arrays(chunk).items():
            self.spools[name].write(array.tobytes())
            self.counts[name] += len(array)

    def __enter__(self) -> "NpzOutput":
        return self

    def __exit__(self, kind: Any, *rest: Any) -> None:
        try:
            if kind is None:
                self.finish()
        finally:
            for spool in self.spools.values():
                spool.close()

    def finish(self) -> None:
        with zipfile.ZipFile(self.path, "w", zipfile.ZIP_STORED,
                             allowZip64=True) as archive:
            for name, dtype in ARRAYS.items():
                spool = self.spools[name]
                spool.seek(0)
                with archive.open(f"{name}.npy", "w",
                                  force_zip64=True) as member:
                    np.lib.format.write_array_header_1_0(member, {
                        "descr": np.lib.format.dtype_to_descr(
                            np.dtype(dtype)),
                        "fortran_order": False,
                        "shape": (self.counts[name],)})
                    shutil.copyfileobj(spool, member, 2**20)
            for name, array in header_arrays(self.attrs).items():
                with archive.open(f"{name}.npy", "w") as member:
                    np.lib.format.write_array(member, array,
                                              allow_pickle=False)


def header_arrays(attrs: Dict[str, Any]) -> Dict[str, np.ndarray]:
    """The header as `.npz` members: single values 0-d, `calibration` a
    structured array with a row per source and a column per channel."""
    arrays = {name: np.array(value) for name, value in attrs.items()
              if name != "calibration"}
    arrays["channels"] = np.array(attrs["channels"], np.int32)
    arrays["sources"] = np.array(attrs["sources"], str)
    arrays["calibration"] = np.array(
        [[tuple(cal.values()) for cal in per_source.values()]
         for per_source in attrs["calibration"]],
        dtype=[("fullscale", "i4"), ("offset", "i4"), ("baseline", "i4"),
               ("gain", "f8")]).reshape(len(attrs["sources"]),
                                        len(attrs["channels"]))
    return arrays


class ZarrOutput(ArrayOutput):
    """A group of one-dimensional arrays grown by each chunk."""

    # Elements per stored chunk: a few MB of samples, fewer of the rest.
    ZARR_CHUNK = 2**20

    def __init__(self, path: str, attrs: Dict[str, Any]) -> None:
        import zarr
        super().__init__()
        self.group = zarr.open_group(path, mode="w")
        self.group.attrs.update(attrs)
        self.stored = {name: self.group.zeros(
            name=name, shape=(0,), dtype=dtype, chunks=(self.ZARR_CHUNK,))
            for name, dtype in ARRAYS.items()}

    def write(self, chunk: Chunk) -> None:
        for name, array in self.arrays(chunk).items():
            if len(array):
                self.stored[name].append(array)

    def __enter__(self) -> "ZarrOutput":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        pass


class ParquetOutput:
    """A row group per chunk, a row per pulse."""

    def __init__(self, path: str, attrs: Dict[str, Any]) -> None:
        import pyarrow as pa
        import pyarrow.parquet as pq
        self.pa = pa
        self.schema = pa.schema(
            [("event", pa.int64()), ("file", pa.int32()),
             ("tag", pa.int32()), ("horpos", pa.float64()),
             ("channel", pa.int32()), ("first", pa.int32()),
             ("length", pa.int32()), ("samples", pa.list_(pa.int16()))],
            metadata={"kelvane": json.dumps(attrs)})
        self.writer = pq.ParquetWriter(path, self.schema)

    def write(self, chunk: Chunk) -> None:
        pa, p = self.pa, chunk.pulses
        if not len(p.event):
            return
        row = p.event - chunk.first_event
        # The samples of a chunk's pulses lie in order, one after another.
        starts = np.append(p.offset, len(p.samples)).astype(np.int32)
        samples = pa.ListArray.from_arrays(pa.array(starts),
                                           pa.array(p.samples))
        columns = [p.event, chunk.file[row], chunk.tags[row],
                   chunk.horpos[row], p.channel, p.first, p.length]
        self.writer.write_table(pa.Table.from_arrays(
            [pa.array(c) for c in columns] + [samples], schema=self.schema))

    def __enter__(self) -> "ParquetOutput":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.writer.close()


OUTPUTS = {".parquet": ParquetOutput, ".npz": NpzOutput,
           ".zarr": ZarrOutput}
