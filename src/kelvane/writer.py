"""Writing LMA files, for tests, examples and benchmarks.

Every field of the format can be set, including the ones a reader ignores
and the counts and lengths that must agree with the data; leaving a value
out gives the consistent one. That makes it as easy to write a broken file
as a sound one. A value that does not fit its field (a channel outside 0
to 31, an int16 field outside -32768 to 32767, ...) raises ValueError
naming the field: nothing is ever stored cut to fit.

    from kelvane.writer import Channel, Event, Pulse, write_lma

    write_lma("run.lma", channels={0: Channel(gain=0.5, baseline=10)},
              nsamples=100, events=[Event(7, [[Pulse(3, [10, 12, -6])]])])
"""

from __future__ import annotations

import operator
import os
import struct
from dataclasses import dataclass, field
from typing import Iterable, Mapping, Optional, Sequence, Union

__all__ = ["Channel", "Pulse", "Section", "Event", "header_bytes",
           "event_bytes", "write_lma"]

# Each layout, and the names its fields go by in messages.
_GENERAL = struct.Struct("<ihhdidhdhIIh")   # 50 bytes
_GENERAL_FIELDS = ("header_size", "num_channels", "num_bytes",
                   "sample_interval", "nsamples", "general[0]", "general[1]",
                   "general[2]", "general[3]", "mask", "general[4]",
                   "general[5]")
_CHANNEL = struct.Struct("<hhdhhii")        # 24 bytes
_CHANNEL_FIELDS = ("Channel.fullscale", "Channel.offset", "Channel.gain",
                   "Channel.baseline", "Channel.field5", "Channel.field6",
                   "Channel.field7")
_EVENT_HEAD = struct.Struct("<id")          # 12 bytes
_EVENT_HEAD_FIELDS = ("Event.tag", "Event.horpos")
_COUNT = struct.Struct("<h")                # 2 bytes
_COUNT_FIELDS = ("Section.count",)
_PULSE_INFO = struct.Struct("<ii")          # 8 bytes
_PULSE_INFO_FIELDS = ("Pulse.first", "Pulse.length")

assert _GENERAL.size == 50 and _CHANNEL.size == 24

# The values each integer code of the layouts holds.
_WIDTHS = {"h": ("int16", -1 << 15, (1 << 15) - 1),
           "i": ("int32", -1 << 31, (1 << 31) - 1),
           "I": ("uint32", 0, (1 << 32) - 1)}


def _fit(field: str, value, code: str) -> None:
    """Raises ValueError if the integer `value` does not fit a field of
    struct `code`; anything else is left to struct to refuse."""
    try:
        value = operator.index(value)
    except TypeError:
        return
    if code == "d":
        try:
            float(value)
        except OverflowError:
            raise ValueError(
                f"{field} = {value} does not fit float64") from None
        return
    kind, lo, hi = _WIDTHS[code]
    if not lo <= value <= hi:
        raise ValueError(
            f"{field} = {value} does not fit {kind} ({lo} to {hi})")


def _pack(layout: struct.Struct, fields: Sequence[str], *values) -> bytes:
    """layout.pack(*values), with a ValueError naming the field for a value
    that does not fit."""
    # struct refuses exactly the values that do not fit; looking for the
    # culprit only after it did keeps sound files as fast to write.
    try:
        return layout.pack(*values)
    except (struct.error, OverflowError) as e:
        error = e
    for code, name, value in zip(layout.format.lstrip("<"), fields, values):
        _fit(name, value, code)
    raise error


def _pack_samples(samples: Sequence[int]) -> bytes:
    """The int16 samples of a pulse, refused like _pack's fields."""
    try:
        return struct.pack(f"<{len(samples)}h", *samples)
    except struct.error as e:
        error = e
    for i, sample in enumerate(samples):
        _fit(f"Pulse.samples[{i}]", sample, "h")
    raise error


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
        """The channel block's 24 bytes."""
        return _pack(_CHANNEL, _CHANNEL_FIELDS, self.fullscale, self.offset,
                     self.gain, self.baseline, self.field5, self.field6,
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
        """The pulse info and the samples, as a record stores them."""
        n = len(self.samples) if self.length is None else self.length
        return (_pack(_PULSE_INFO, _PULSE_INFO_FIELDS, self.first, n)
                + _pack_samples(self.samples))


@dataclass
class Section:
    """One channel section; `count` overrides the stored pulse count."""
    pulses: Sequence[Pulse] = ()
    count: Optional[int] = None

    def pack(self) -> bytes:
        """The pulse count and the pulses."""
        n = len(self.pulses) if self.count is None else self.count
        return (_pack(_COUNT, _COUNT_FIELDS, n)
                + b"".join(p.pack() for p in self.pulses))


SectionLike = Union[Section, Sequence[Pulse]]


@dataclass
class Event:
    """An event record: a tag and one section per channel in use."""
    tag: int
    sections: Sequence[SectionLike] = ()
    horpos: float = 0.0

    def pack(self) -> bytes:
        """The whole record's bytes."""
        parts = [_pack(_EVENT_HEAD, _EVENT_HEAD_FIELDS, self.tag,
                       self.horpos)]
        for s in self.sections:
            parts.append((s if isinstance(s, Section) else Section(s)).pack())
        return b"".join(parts)


def _mask_of(channels: Iterable[int]) -> int:
    mask = 0
    for c in channels:
        if not 0 <= c < 32:
            raise ValueError(f"channel = {c} does not fit the used-channel "
                             f"mask (0 to 31)")
        mask |= 1 << c
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
    return _pack(_GENERAL, _GENERAL_FIELDS, header_size, num_channels,
                 num_bytes, sample_interval, nsamples, g6, g7, g8, g9, mask,
                 g11, g12) + body


def event_bytes(event: Union[Event, bytes]) -> bytes:
    """The bytes of one event record, as `write_lma` writes it.

    Parameters
    ----------
    event : Event or bytes
        An event, or bytes, which are returned unchanged.

    Returns
    -------
    bytes
        The record; a part of it, appended to a file, makes a record cut
        short, as a recorder that crashed leaves it.
    """
    return event if isinstance(event, bytes) else event.pack()


def write_lma(path: Union[str, os.PathLike],
              channels: Union[Mapping[int, Channel], Sequence[int]] = (0,),
              events: Iterable[Union[Event, bytes]] = (),
              *, tail: bytes = b"", **header) -> int:
    """Writes an LMA file: a header, the events, then `tail`.

    Parameters
    ----------
    path : str or os.PathLike
        The file to write (replaced if it exists).
    channels : mapping of int to Channel, or sequence of int
        The channels in use and their calibrations; plain indices get
        default calibrations.
    events : iterable of Event or bytes
        The records; bytes pass through unchanged.
    tail : bytes
        Raw bytes after the events, e.g. a record cut short.
    **header
        Header values for `header_bytes`: `nsamples`, `sample_interval`,
        and any field to override.

    Returns
    -------
    int
        The file's size.

    Raises
    ------
    ValueError
        For a value that does not fit its field, naming it, before a file
        is made.
    """
    head = header_bytes(channels, **header)   # refused before a file is made
    with open(path, "wb") as f:
        f.write(head)
        for ev in events:
            f.write(event_bytes(ev))
        f.write(tail)
        return f.tell()


def write_random_run(path: Union[str, os.PathLike], nevents: int, *,
                     nchannels: int = 4, nsamples: int = 1024,
                     pulses: int = 8, length: int = 32, seed: int = 0,
                     distinct: Optional[int] = None) -> int:
    """A run in which every event differs: per channel `pulses` pulses of
    `length` samples, uniform in -2000..2000, at random places (they may
    overlap), gains uniform in 0.1-2.0, baselines in -100..100. With
    `distinct`, only that many records are made and then repeated, which
    is quicker where the contents do not matter. Returns the file size.
    """
    import numpy as np
    rng = np.random.default_rng(seed)
    channels = {c: Channel(fullscale=2000, offset=0,
                           gain=float(rng.uniform(0.1, 2.0)),
                           baseline=int(rng.integers(-100, 101)))
                for c in range(nchannels)}

    def record(tag: int) -> bytes:
        sections = [[Pulse(int(first), rng.integers(-2000, 2001,
                                                    length).tolist())
                     for first in rng.integers(0, nsamples - length + 1,
                                               pulses)]
                    for _ in range(nchannels)]
        return Event(tag, sections, horpos=float(rng.normal())).pack()

    made = [record(i) for i in range(min(nevents, distinct or nevents))]
    events = (made[i % len(made)] if distinct else made[i]
              for i in range(nevents))
    return write_lma(path, channels, events, nsamples=nsamples,
                     sample_interval=1e-9)
