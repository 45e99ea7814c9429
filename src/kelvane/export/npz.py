"""NumPy `.npz` archives, written member by member as a stream: one pass
over the events per channel, so that no channel is ever whole in memory.
Members are deflated (level 1: most of what deflating saves on traces, at
a fraction of the time of higher levels)."""

from __future__ import annotations

import zipfile
from typing import IO, Any, Callable, Dict, List, Tuple

import numpy as np

from ..damage import Damage
from .metadata import dataset_attributes
from .plan import Plan
from .run import DTYPES, Run

# zipfile's limit past which a member needs ZIP64 records, which must be
# asked for before the member's size is known. Deflate can grow
# incompressible data by a little.
ZIP64_LIMIT = 2**31 - 1


def needs_zip64(nbytes: int) -> bool:
    return nbytes + nbytes // 100 + 2**16 > ZIP64_LIMIT


def npy_header(member: IO[bytes], dtype: np.dtype,
               shape: Tuple[int, ...]) -> None:
    header = {"descr": np.lib.format.dtype_to_descr(dtype),
              "fortran_order": False, "shape": shape}
    np.lib.format.write_array_header_1_0(member, header)


def put_array(archive: zipfile.ZipFile, name: str, array: Any) -> None:
    array = np.asanyarray(array)
    with archive.open(f"{name}.npy", "w",
                      force_zip64=needs_zip64(array.nbytes)) as member:
        np.lib.format.write_array(member, array, allow_pickle=False)


# Bytes handed to the compressor at a time: its output for each piece is
# held in full before it is written.
PIECE_BYTES = 2**20


def put_bytes(member: IO[bytes], array: np.ndarray) -> None:
    data = memoryview(array).cast("B") if array.size else memoryview(b"")
    for i in range(0, len(data), PIECE_BYTES):
        member.write(data[i:i + PIECE_BYTES])


def header_arrays(run: Run, start: int,
                  damages: List[Tuple[int, Damage]]) -> Dict[str, Any]:
    """The header as arrays, and the dataset's attributes that have no
    array of their own (sources, damage)."""
    fields = [("fullscale", "i4"), ("offset", "i4"), ("baseline", "i4"),
              ("gain", "f8")]
    cals = [[tuple(getattr(c[key], name) for name, _ in fields)
             for key in run.keys] for c in run.calibrations()]
    table = np.array(cals, dtype=fields)
    # One row per channel, or one per input and channel where the inputs
    # differ.
    if all(row == cals[0] for row in cals):
        table = table[0]
    arrays: Dict[str, Any] = {
        "channels": np.array(run.channels, dtype=np.int32),
        "nsamples": np.array(run.nsamples, dtype=np.int32),
        "sample_interval": np.array(run.sample_interval),
        "calibration": table,
        "time": run.time,
        "start": np.array(start, dtype=np.int64)}
    attrs = dataset_attributes(run, start, damages)
    for name in ("source", "sources", "damage", "damage_file",
                 "damage_offset", "damage_event"):
        if name in attrs:
            arrays[name] = np.array(attrs[name])
    return arrays


def write_npz(run: Run, path: str, events: range, dtype: str, layout: Plan,
              compress: bool, damages: List[Tuple[int, Damage]],
              progress: Callable[[int], None]) -> None:
    n, element = len(events), DTYPES[dtype]
    method = zipfile.ZIP_DEFLATED if compress else zipfile.ZIP_STORED
    tags, horpos = np.empty(n, np.int32), np.empty(n, np.float64)
    nchannels = max(len(run.keys), 1)
    # One channel at a time: a batch holds as many events as all channels
    # would in the same memory, and is a whole number of output chunks.
    batch = layout.batch * nchannels
    with zipfile.ZipFile(path, "w", method, compresslevel=1) as archive:
        # With no channel, one pass for the tags and positions alone.
        for key in run.keys or [None]:
            keys = [] if key is None else [key]
            buffer = run.empty(min(batch, n), element, keys)
            member = None
            if key is not None:
                shape = (n, run.nsamples)
                nbytes = n * run.nsamples * element.itemsize
                member = archive.open(f"{key}.npy", "w",
                                      force_zip64=needs_zip64(nbytes))
                npy_header(member, element, shape)
            try:
                for i in range(events.start, events.stop, batch):
                    j = min(i + batch, events.stop)
                    rows = run.read(i, j, dtype=dtype, out=buffer)
                    at = i - events.start
                    tags[at:at + j - i] = rows.tags
                    horpos[at:at + j - i] = rows.horpos
                    if member is not None:
                        put_bytes(member, rows.traces[key])
                        progress((j - i) * layout.event_bytes // nchannels)
            finally:
                if member is not None:
                    member.close()
        put_array(archive, "tags", tags)
        put_array(archive, "horpos", horpos)
        if len(run.files) > 1:
            put_file_index(archive, run, events)
        for name, array in header_arrays(run, events.start, damages).items():
            put_array(archive, name, array)


def put_file_index(archive: zipfile.ZipFile, run: Run,
                   events: range) -> None:
    """Each event's input, by index into `sources`, from the runs of the
    inputs: never a whole per-event array in memory."""
    n = len(events)
    with archive.open("file.npy", "w",
                      force_zip64=needs_zip64(n * 2)) as member:
        npy_header(member, run.file_dtype, (n,))
        for i in range(len(run.files)):
            lo = max(int(run.bounds[i]), events.start)
            hi = min(int(run.bounds[i + 1]), events.stop)
            for a in range(lo, hi, 2**20):
                b = min(a + 2**20, hi)
                member.write(np.full(b - a, i, run.file_dtype).tobytes())
