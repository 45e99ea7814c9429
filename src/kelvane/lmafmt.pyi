# Type information for the extension module kelvane.lmafmt.

from types import TracebackType
from typing import (Any, Dict, Generator, List, NoReturn, Optional, Type,
                    TypedDict)

# Bound at import; the decoder looks them up here at every event.
from numpy import empty as empty, zeros as zeros

__all__ = ["LmaReader"]

class _ChannelInfo(TypedDict):
    fullscale: int
    offset: int
    baseline: int
    gain: float

# One event: "tag" -> int, then "channel{i}" -> a float64 trace of nsamples
# values for each channel i in use. Dict[str, Any] rather than a Union, so
# that `event["channel0"].max()` needs no narrowing.
_Event = Dict[str, Any]

class LmaReader:
    """Reads an LMA file: header values as attributes, events by iterating
    inside a `with` block."""

    # Built in __new__ (the header is read there); __init__ is object's.
    def __new__(cls, filename: str) -> "LmaReader": ...
    @property
    def filename(self) -> str: ...
    @property
    def pos_begin(self) -> int: ...
    @property
    def pos_end(self) -> int: ...
    @property
    def pos_cur(self) -> int: ...
    @property
    def nchannels(self) -> int: ...
    @property
    def nsamples(self) -> int: ...
    @property
    def sample_interval(self) -> float: ...
    @property
    def channels(self) -> List[int]: ...
    @property
    def channel_info(self) -> List[_ChannelInfo]: ...
    def __enter__(self) -> "LmaReader": ...
    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc_val: Optional[BaseException],
                 exc_tb: Optional[TracebackType]) -> None: ...
    def __iter__(self) -> Generator[_Event, Any, None]: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object) -> None: ...
