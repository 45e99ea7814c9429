"""Every pulse above a threshold in each channel's trace, found natively
on the stored pulses:

    with kelvane.LmaFile("run.lma") as f:
        hits = f.hits(threshold=50.0, merge=2, post=20, tail=8)
        hits.charge                 # one float64 per hit
        hits.to_pandas()            # one row per hit
        hits.to_awkward()           # per event: a list of hit records

Each quantity is defined on the float64 trace `read()` gives; see
`LmaFile.hits` and the documentation for the definitions.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
import math
import numbers
import operator
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from .features import _mapped, _real, _window, count

__all__ = ["Hits", "QUANTITIES"]

# One value per hit, in the engine's column order after `event` and the
# row; `end`, `width` and `peak` are int32 sample positions.
QUANTITIES = ("start", "end", "width", "peak", "amplitude", "charge", "cfd",
              "rise", "tail")
_INTEGER = frozenset({"end", "width", "peak"})

# The settings that may differ between channels, with their defaults.
PER_CHANNEL = {"threshold": None, "polarity": 1, "window": None, "merge": 0,
               "pre": 0, "post": 0, "fraction": 0.5, "rise": (0.1, 0.9),
               "tail": None}


def dtype_of(quantity: str) -> "np.dtype[Any]":
    return np.dtype(np.int32 if quantity in _INTEGER else np.float64)


@dataclass(frozen=True)
class Hits:
    """The hits of a range of events, one element per hit in each of the
    flat arrays: `event` (int64, the global index), `channel` (int16, the
    hardware channel number), `start`, `end`, `peak`, `amplitude`,
    `charge`, `cfd`, `rise`, `width`, `tail`; ordered by event, then
    channel in the order of `channels`, then position. `len(hits)` is the
    number of hits.

    Per event of the range [first_event, first_event + len(tags)): `tags`
    and `horpos`. `channels` lists the event keys of the channels asked
    for, as `Features.channels` does; `options` the settings. From a
    `Run`, `file` is each hit's file number and `files` the run's
    paths."""
    event: np.ndarray
    channel: np.ndarray
    start: np.ndarray
    end: np.ndarray
    peak: np.ndarray
    amplitude: np.ndarray
    charge: np.ndarray
    cfd: np.ndarray
    rise: np.ndarray
    width: np.ndarray
    tail: np.ndarray
    tags: np.ndarray
    horpos: np.ndarray
    channels: List[str]
    options: Dict[str, Any]
    first_event: int = 0
    file: Optional[np.ndarray] = None
    files: Optional[List[str]] = None

    def __len__(self) -> int:
        return len(self.event)

    def columns(self) -> Dict[str, np.ndarray]:
        """The per-hit arrays by name: `event`, `channel`, the quantities
        and, from a `Run`, `file`."""
        out = {"event": self.event, "channel": self.channel}
        if self.file is not None:
            out["file"] = self.file
        out.update((q, getattr(self, q)) for q in QUANTITIES)
        return out

    def _event_rows(self) -> np.ndarray:
        return self.event - self.first_event

    def to_pandas(self) -> Any:
        """A DataFrame, one row per hit: `event`, `tag`, `horpos`,
        `channel` (with the tag, the key of a hit's event and channel),
        then the quantities; the options in the frame's `attrs`."""
        import pandas as pd
        rows = self._event_rows()
        columns: Dict[str, Any] = {"event": self.event}
        if self.file is not None and self.files is not None:
            columns["file"] = pd.Categorical.from_codes(
                self.file, categories=list(self.files))
        columns.update(tag=self.tags[rows], horpos=self.horpos[rows],
                       channel=self.channel)
        columns.update((q, getattr(self, q)) for q in QUANTITIES)
        frame = pd.DataFrame(columns)
        frame.attrs.update(options=self.options)
        return frame

    def to_awkward(self) -> Any:
        """An awkward Array with one entry per event of the range (`tag`,
        `horpos` and `hits`, a list of hit records with `channel` and the
        quantities, empty for an event without hits)."""
        import awkward as ak
        counts = np.bincount(self._event_rows(), minlength=len(self.tags))
        offsets = np.zeros(len(self.tags) + 1, np.int64)
        np.cumsum(counts, out=offsets[1:])
        fields = {"channel": self.channel}
        fields.update((q, getattr(self, q)) for q in QUANTITIES)
        records = ak.zip({k: ak.Array(v) for k, v in fields.items()},
                         depth_limit=1)
        listed = ak.Array(ak.contents.ListOffsetArray(
            ak.index.Index64(offsets), records.layout))
        return ak.zip({"tag": ak.Array(self.tags),
                       "horpos": ak.Array(self.horpos), "hits": listed},
                      depth_limit=1)

    def histogram(self, quantity: str, *, channel: Any, bins: int = 100,
                  range: Optional[Tuple[float, float]] = None) -> Any:
        """A `kelvane.Histogram` of `quantity` over the hits of one channel
        (a hardware number or an event key): `bins` equal bins over
        `range`, by default the finite values' own."""
        from .histogram import Histogram
        if quantity not in QUANTITIES:
            raise ValueError(f"no quantity {quantity!r} among "
                             f"{', '.join(QUANTITIES)}")
        number = _channel_number(channel)
        if f"channel{number}" not in self.channels:
            raise ValueError(f"no channel {channel!r} among "
                             f"{self.channels}")
        values = getattr(self, quantity)[self.channel == number]
        return Histogram.of(values, bins=bins, range=range,
                            integer=dtype_of(quantity).kind == "i",
                            name=f"channel{number}_{quantity}",
                            label=f"channel{number} hit {quantity}")


def _channel_number(channel: Any) -> int:
    if isinstance(channel, str) and channel.startswith("channel"):
        try:
            return int(channel[len("channel"):])
        except ValueError:
            pass
    elif isinstance(channel, numbers.Integral) and \
            not isinstance(channel, bool):
        return int(channel)
    raise ValueError(f"a channel is a hardware number or an event key, not "
                     f"{channel!r}")


def _settings_tuple(nsamples: int, threshold: Any, polarity: Any,
                    window: Any, merge: Any, pre: Any, post: Any,
                    fraction: Any, rise: Any, tail: Any) -> Tuple[Any, ...]:
    """One channel's settings, checked, as the engine takes them."""
    first, stop = _window(window, nsamples)
    if threshold is None:
        raise ValueError("threshold is required")
    threshold = _real("threshold", threshold)
    if not (math.isfinite(threshold) and threshold > 0):
        raise ValueError(f"threshold must be finite and above 0, not "
                         f"{threshold!r}")
    if isinstance(polarity, bool) or \
            not isinstance(polarity, numbers.Integral) or \
            polarity not in (1, -1):
        raise ValueError(f"polarity must be 1 or -1, not {polarity!r}")
    fraction = _real("fraction", fraction)
    if not 0 < fraction <= 1:
        raise ValueError(f"fraction must be in (0, 1], not {fraction!r}")
    try:
        low, high = (_real("rise", r) for r in rise)
    except (TypeError, ValueError):
        raise ValueError(f"rise must be two levels (low, high), not "
                         f"{rise!r}") from None
    if not 0 < low < high <= 1:
        raise ValueError(f"rise levels must be 0 < low < high <= 1, not "
                         f"{rise!r}")
    return (first, stop, threshold, int(polarity), count("merge", merge),
            count("pre", pre), count("post", post), fraction, low, high,
            -1 if tail is None else count("tail", tail))


def hit_settings(nsamples: int, keys: List[str],
                 **settings: Any) -> Tuple[Tuple[Any, ...], ...]:
    """The engine's settings tuple for each channel of `keys` (the event
    keys selected), each setting possibly a mapping from channel (index or
    key) to its value; ValueError names the first that is wrong."""
    mapped = any(isinstance(v, Mapping) for v in settings.values())
    if not mapped and keys:
        # Every channel alike: check once, not once per channel.
        return (_settings_tuple(nsamples,
                                **{**PER_CHANNEL, **settings}),) * len(keys)
    per_key: Dict[str, Dict[str, Any]] = {k: dict(PER_CHANNEL)
                                          for k in keys}
    for name, value in settings.items():
        if isinstance(value, Mapping):
            for k, v in _mapped(name, value, keys).items():
                per_key[k][name] = v
        else:
            for k in keys:
                per_key[k][name] = value
    out = []
    for k in keys:
        try:
            out.append(_settings_tuple(nsamples, **per_key[k]))
        except ValueError as error:
            if not mapped:
                raise
            raise ValueError(f"{error} (for {k})") from None
    return tuple(out)


def from_columns(parts: List[Tuple[Any, ...]]) -> Dict[str, np.ndarray]:
    """The per-hit arrays from the engine's column buffers of one or
    more calls."""
    names = ("event", "channel") + QUANTITIES
    types = (np.int64, np.int16, np.float64, np.int32, np.int32, np.int32,
             np.float64, np.float64, np.float64, np.float64, np.float64)
    out: Dict[str, np.ndarray] = {}
    for k, (name, dtype) in enumerate(zip(names, types)):
        arrays = [np.frombuffer(p[k], dtype) for p in parts]
        out[name] = arrays[0] if len(arrays) == 1 else \
            np.concatenate(arrays) if arrays else np.empty(0, dtype)
    return out


def plain(value: Any) -> Any:
    """A setting as JSON takes it."""
    if isinstance(value, Mapping):
        return {str(k): plain(x) for k, x in value.items()}
    if isinstance(value, tuple):
        return [plain(x) for x in value]
    if isinstance(value, np.generic):
        return value.item()
    return value


def make(columns: Dict[str, np.ndarray], tags: np.ndarray,
         horpos: np.ndarray, channels: List[str], settings: Dict[str, Any],
         first_event: int) -> Hits:
    """A `Hits` of the per-hit `columns` over the event keys `channels`."""
    options = {"channels": list(channels),
               **{k: plain(v) for k, v in settings.items()}}
    return Hits(columns["event"], columns["channel"],
                *(columns[q] for q in ("start", "end", "peak", "amplitude",
                                       "charge", "cfd", "rise", "width",
                                       "tail")),
                tags, horpos, list(channels), options,
                operator.index(first_event))
