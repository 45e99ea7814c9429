"""The memory bound: output is checked against the memory available before
decoding, since decoding writes every sample and memory the system only
promised would get the command killed instead of ending it with an
error."""

from __future__ import annotations

from typing import Optional

from ..lmafile import LmaFile

# Samples per event past which the header, not the data, is the likely
# cause of running out of memory: 800 MB of float64 for one event.
IMPLAUSIBLE_SAMPLES = 10**8


def out_of_memory(f: LmaFile) -> str:
    # Traces are sized from the header, so a damaged samples-per-trace
    # field can ask for more than any machine has.
    nchannels = len(f.channels)
    if max(f.nsamples, 0) * nchannels > IMPLAUSIBLE_SAMPLES:
        return (f"out of memory: the header's {f.nsamples} samples per "
                f"trace x {nchannels} channels is more than an event "
                f"can hold; the header is likely damaged")
    return "out of memory: the events do not fit in memory"


def available_memory() -> Optional[int]:
    """Bytes the system says it can still give without swapping; None
    where it does not say."""
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def reserve(nbytes: int) -> None:
    """MemoryError unless `nbytes` of output fit in the memory available.

    Decoding writes every sample, so an allocation that the system grants
    only on credit would end with this process killed, not with an error.
    """
    available = available_memory()
    if available is not None and nbytes > available:
        raise MemoryError(nbytes)
