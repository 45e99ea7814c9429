"""How much is decoded and written at a time, so that the memory an
export takes stays within its limit whatever the size of the run."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

# The default memory limit, and the size of an output chunk: events go
# into chunks of about this many bytes of each channel's traces (at least
# one event per chunk; fewer under a memory limit too small for a batch
# of such chunks). Each chunk is a file of a Zarr store, or a call into
# HDF5: smaller chunks cost more in creating files and starting the
# compressor than in compressing.
DEFAULT_MEMORY_LIMIT = 256 * 2**20
CHUNK_BYTES = 4 * 2**20
# Per event, what stays in memory for the whole export: the file's record
# index (8 bytes), and the tags and trigger positions that an .npz
# collects (12 bytes).
BYTES_PER_EVENT = 20
# Copies of a decoded batch that writing takes at most, by format: the
# batch itself, for Zarr and netCDF the next one decoded meanwhile,
# compressed chunks and the writers' own buffers. The limit is shared
# between them.
COPIES = {".npz": 3, ".zarr": 5, ".nc": 5}


class Plan(NamedTuple):
    """Events per output chunk, and per decoded batch (a whole number of
    chunks)."""
    event_bytes: int     # one event's samples, all channels
    chunk: int
    batch: int
    copies: int

    def working_bytes(self, nevents: int) -> int:
        """What decoding and writing `nevents` events take at most beside
        the per-event arrays: the limit is a cap, and batches are no
        larger than the events to write."""
        return self.copies * min(self.batch, max(nevents, 0)) * \
            self.event_bytes


def make_plan(nchannels: int, nsamples: int, dtype: np.dtype,
         memory_limit: int, suffix: str) -> Plan:
    trace_bytes = max(max(nsamples, 0) * dtype.itemsize, 1)
    event_bytes = max(nchannels * max(nsamples, 0) * dtype.itemsize, 1)
    copies = COPIES[suffix]
    chunk = max(1, min(CHUNK_BYTES // trace_bytes,
                       memory_limit // copies // event_bytes))
    chunks = memory_limit // copies // (chunk * event_bytes)
    return Plan(event_bytes, chunk, max(1, chunks) * chunk, copies)
