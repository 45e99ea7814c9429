"""Writing LMA files, for tests, examples and benchmarks.

Every field of the format can be set, including the ones a reader ignores
and the counts and lengths that must agree with the data; leaving a value
out gives the consistent one. That makes it as easy to write a broken file
as a sound one.

    from kelvane.writer import Channel, Event, Pulse, write_lma

    write_lma("run.lma", channels={0: Channel(gain=0.5, baseline=10)},
              nsamples=100, events=[Event(7, [[Pulse(3, [10, 12, -6])]])])
"""

from __future__ import annotations

import os
import struct
from dataclasses import dataclass, field
from typing import Iterable, Mapping, Optional, Sequence, Union

__all__ = ["Channel", "Pulse", "Section", "Event", "header_bytes",
           "event_bytes", "write_lma"]

_GENERAL = struct.Struct("<ihhdidhdhIIh")   # 50 bytes
_CHANNEL = struct.Struct("<hhdhhii")        # 24 bytes
_EVENT_HEAD = struct.Struct("<id")          # 12 bytes
_PULSE_INFO = struct.Struct("<ii")          # 8 bytes

assert _GENERAL.size == 50 and _CHANNEL.size == 24


@dataclass
class Channel:
    """One channel block: calibration plus the three fields readers skip."""
    fullscale: int = 0
    offset: int = 0
    gain: float = 1.0
    baseline: int = 0
    field5: int = 0
    field6: int = 0
    field7: int = 0

    def pack(self) -> bytes:
        return _CHANNEL.pack(self.fullscale, self.offset, self.gain,
                             self.baseline, self.field5, self.field6,
                             self.field7)


@dataclass
class Pulse:
    """A partial pulse: raw int16 samples starting at index `first`.

    `length` overrides the stored sample count (the samples written stay
    those given), to make records that lie about their size.
    """
    first: int
    samples: Sequence[int]
    length: Optional[int] = None

    def pack(self) -> bytes:
        n = len(self.samples) if self.length is None else self.length
        return (_PULSE_INFO.pack(self.first, n)
                + struct.pack(f"<{len(self.samples)}h", *self.samples))


@dataclass
class Section:
    """One channel section; `count` overrides the stored pulse count."""
    pulses: Sequence[Pulse] = ()
    count: Optional[int] = None

    def pack(self) -> bytes:
        n = len(self.pulses) if self.count is None else self.count
        return struct.pack("<h", n) + b"".join(p.pack() for p in self.pulses)


SectionLike = Union[Section, Sequence[Pulse]]


@dataclass
class Event:
    """An event record: a tag and one section per channel in use."""
    tag: int
    sections: Sequence[SectionLike] = ()
    horpos: float = 0.0

    def pack(self) -> bytes:
        parts = [_EVENT_HEAD.pack(self.tag, self.horpos)]
        for s in self.sections:
            parts.append((s if isinstance(s, Section) else Section(s)).pack())
        return b"".join(parts)


def _mask_of(channels: Iterable[int]) -> int:
    mask = 0
    for c in channels:
        mask |= 1 << (c % 32)
    return mask


def header_bytes(channels: Union[Mapping[int, Channel], Sequence[int]] = (0,),
                 *, nsamples: int = 0, sample_interval: float = 1.0,
                 num_channels: Optional[int] = None,
                 mask: Optional[int] = None,
                 header_size: Optional[int] = None,
                 blocks: Optional[Sequence[Channel]] = None,
                 num_bytes: int = 2,
                 general: Sequence = (0.0, 0, 0.0, 0, 0, 0)) -> bytes:
    """The header for the given channels in use.

    `channels` maps channel index to its calibration (a plain sequence of
    indices gives default calibrations). By default num of channels is one
    above the highest index, the mask has exactly those bits, one block is
    written per channel in ascending order, and the header size field is
    the true size minus 4; each can be overridden. `general` holds general
    fields 6, 7, 8, 9, 11 and 12.
    """
    if not isinstance(channels, Mapping):
        channels = {c: Channel() for c in channels}
    used = sorted(channels)
    if num_channels is None:
        num_channels = used[-1] + 1 if used else 0
    if mask is None:
        mask = _mask_of(used)
    if blocks is None:
        blocks = [channels[c] for c in used]
    body = b"".join(b.pack() for b in blocks)
    if header_size is None:
        header_size = _GENERAL.size + len(body) - 4
    g6, g7, g8, g9, g11, g12 = general
    return _GENERAL.pack(header_size, num_channels, num_bytes,
                         sample_interval, nsamples, g6, g7, g8, g9,
                         mask & 0xFFFFFFFF, g11, g12) + body


def event_bytes(event: Union[Event, bytes]) -> bytes:
    return event if isinstance(event, bytes) else event.pack()


def write_lma(path: Union[str, os.PathLike],
              channels: Union[Mapping[int, Channel], Sequence[int]] = (0,),
              events: Iterable[Union[Event, bytes]] = (),
              *, tail: bytes = b"", **header) -> int:
    """Writes a header and events (raw bytes pass through unchanged), then
    `tail`. Returns the file size."""
    with open(path, "wb") as f:
        f.write(header_bytes(channels, **header))
        for ev in events:
            f.write(event_bytes(ev))
        f.write(tail)
        return f.tell()
