"""How much is decoded and written at a time, so that the memory an
export takes stays within its limit whatever the size of the run."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

# The default memory limit, and the size of an output chunk: events go
# into chunks of about this many bytes over all channels (at least one
# event per chunk).
DEFAULT_MEMORY_LIMIT = 256 * 2**20
CHUNK_BYTES = 4 * 2**20
# Per event, what stays in memory for the whole export: the file's record
# index (8 bytes), and the tags and trigger positions that an .npz
# collects (12 bytes).
BYTES_PER_EVENT = 20
# The decoded batch, its compressed copy and the writers' own buffers:
# the limit is shared between this many copies of a batch.
COPIES = 3


class Plan(NamedTuple):
    """Events per output chunk, and per decoded batch (a whole number of
    chunks)."""
    event_bytes: int     # one event's samples, all channels
    chunk: int
    batch: int

    @property
    def working_bytes(self) -> int:
        """What the decoding and writing take at most beside the per-event
        arrays."""
        return COPIES * self.batch * self.event_bytes


def plan(nchannels: int, nsamples: int, dtype: np.dtype,
         memory_limit: int) -> Plan:
    event_bytes = max(nchannels * max(nsamples, 0) * dtype.itemsize, 1)
    chunk = max(1, CHUNK_BYTES // event_bytes)
    chunks = memory_limit // COPIES // (chunk * event_bytes)
    return Plan(event_bytes, chunk, max(1, chunks) * chunk)
