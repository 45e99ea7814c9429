"""Per-event quantities of each channel's trace, computed without the trace.

    with kelvane.LmaFile("run.lma") as f:
        feat = f.features(threshold=50.0)
        feat.values["maximum"]       # (events, channels) float64
        feat.to_pandas()             # one row per event, flat column names

Each quantity is defined on the float64 trace `read()` gives; the native
reduction visits only the stored samples and gets the same values.
"""

from __future__ import annotations

import math
import numbers
import operator
from typing import (Any, Dict, Iterable, List, Mapping, NamedTuple,
                    Optional, Tuple)

import numpy as np

__all__ = ["Features", "QUANTITIES"]

# In the order a result lists them when none are asked for.
QUANTITIES = ("maximum", "minimum", "argmax", "argmin", "sum", "pulses",
              "covered", "crossing", "cfd")
# Every quantity, in the engine's order: `hits` (the pile-up count) only
# when asked for.
ALL_QUANTITIES = QUANTITIES + ("hits",)

# Sample positions and counts; the rest are float64.
_INTEGER = frozenset({"argmax", "argmin", "pulses", "covered", "hits"})
# Quantities that need a threshold.
_THRESHOLDED = ("crossing", "hits")


def dtype_of(quantity: str) -> "np.dtype[Any]":
    return np.dtype(np.int32 if quantity in _INTEGER else np.float64)


class Features(NamedTuple):
    """Quantities per event and channel, as `LmaFile.features` and
    `Run.features` give them.

    Attributes
    ----------
    tags : numpy.ndarray
        int32, one per event.
    horpos : numpy.ndarray
        float64, one per event.
    channels : list of str
        The event keys ("channel0", ...) in the order asked for.
    values : dict of str to numpy.ndarray
        Quantity name to an (events × channels) array, in the order of
        `channels`.
    file : numpy.ndarray or None
        From a `Run`: each event's file number (int32).
    files : list of str or None
        From a `Run`: the run's paths, by file number.
    sample_interval : float or None
        Seconds between samples.
    options : dict or None
        The settings the values were computed with, as JSON takes them
        (per-channel settings keyed by strings).
    """
    tags: np.ndarray
    horpos: np.ndarray
    channels: List[str]
    values: Dict[str, np.ndarray]
    file: Optional[np.ndarray] = None
    files: Optional[List[str]] = None
    sample_interval: Optional[float] = None
    options: Optional[Dict[str, Any]] = None

    def to_pandas(self) -> Any:
        """The values as a table, one row per event.

        Returns
        -------
        pandas.DataFrame
            Columns `tag`, `horpos`, then `<key>_<quantity>` per channel
            and quantity (``channel0_maximum``, ...). From a `Run`, a
            categorical `file` column comes first (every path of the run a
            category) and the options are in the frame's ``attrs``. Needs
            pandas.
        """
        import pandas as pd
        columns: Dict[str, Any] = {}
        if self.file is not None and self.files is not None:
            columns["file"] = pd.Categorical.from_codes(
                self.file, categories=list(self.files))
        frame = pd.DataFrame({**columns, **flat_columns(self)})
        if self.file is not None and self.options is not None:
            frame.attrs.update(options=self.options,
                               sample_interval=self.sample_interval)
        return frame

    def to_xarray(self) -> Any:
        """The values as labelled arrays.

        Returns
        -------
        xarray.Dataset
            Dimensions `event` and `channel` (the keys as its coordinate),
            one variable per quantity, coordinates `tag` and `horpos`
            along `event`; from a `Run` also `file`, and the options and
            sample interval as attributes. Needs xarray.
        """
        import xarray as xr
        coords = {"channel": ("channel", list(self.channels)),
                  "tag": ("event", self.tags),
                  "horpos": ("event", self.horpos)}
        if self.file is not None and self.files is not None:
            coords["file"] = ("event", np.asarray(self.files,
                                                  dtype=object)[self.file])
        data = {name: (("event", "channel"), array)
                for name, array in self.values.items()}
        attrs: Dict[str, Any] = {}
        if self.file is not None and self.options is not None:
            import json
            attrs["sample_interval"] = self.sample_interval
            attrs["options"] = json.dumps(self.options)
        return xr.Dataset(data, coords, attrs)

    def histogram(self, quantity: str, channel: Any = 0, *,
                  bins: int = 100,
                  range: Optional[Tuple[float, float]] = None) -> Any:
        """A `kelvane.Histogram` of `quantity` of one channel (an index
        into `channels`, or a key) over the events: `bins` equal bins over
        `range`, by default the finite values' own; whole-number edges for
        sample positions and counts, where -1 is no value."""
        from .histogram import Histogram
        if quantity not in self.values:
            raise ValueError(f"no quantity {quantity!r} among "
                             f"{sorted(self.values)}")
        if isinstance(channel, str):
            if channel not in self.channels:
                raise ValueError(f"no channel {channel!r} among "
                                 f"{self.channels}")
            column = self.channels.index(channel)
        else:
            column = operator.index(channel)
            if not -len(self.channels) <= column < len(self.channels):
                raise ValueError(f"no channel {channel} of "
                                 f"{len(self.channels)}")
        key = self.channels[column]
        return Histogram.of(self.values[quantity][:, column], bins=bins,
                            range=range,
                            integer=dtype_of(quantity).kind == "i",
                            name=f"{key}_{quantity}",
                            label=f"{key} {quantity}")


def flat_columns(features: Features) -> Dict[str, np.ndarray]:
    """The columns of `Features.to_pandas`, by name, as NumPy arrays (for
    writers that need no pandas)."""
    columns: Dict[str, np.ndarray] = {"tag": features.tags,
                                      "horpos": features.horpos}
    for c, key in enumerate(features.channels):
        for name, array in features.values.items():
            columns[f"{key}_{name}"] = array[:, c]
    return columns


class Request(NamedTuple):
    """A call's checked arguments: the quantities in output order, the
    window [first, stop) and the edge settings."""
    quantities: Tuple[str, ...]
    first: int
    stop: int
    threshold: Optional[float]
    fraction: float
    polarity: int
    merge: int = 0


def request(nsamples: int, quantities: Optional[Iterable[str]],
            window: Any, threshold: Any, fraction: Any,
            polarity: Any, merge: Any = 0) -> Request:
    """The arguments of `LmaFile.features`, checked; ValueError names the
    first one that is wrong."""
    first, stop = _window(window, nsamples)
    if threshold is not None:
        threshold = _real("threshold", threshold)
        if not (math.isfinite(threshold) and threshold > 0):
            raise ValueError(f"threshold must be finite and above 0, not "
                             f"{threshold!r}")
    fraction = _real("fraction", fraction)
    if not 0 < fraction <= 1:
        raise ValueError(f"fraction must be in (0, 1], not {fraction!r}")
    if isinstance(polarity, bool) or \
            not isinstance(polarity, numbers.Integral) or \
            polarity not in (1, -1):
        raise ValueError(f"polarity must be 1 or -1, not {polarity!r}")
    return Request(_quantities(quantities, threshold), first, stop,
                   threshold, fraction, int(polarity),
                   count("merge", merge))


def count(name: str, value: Any) -> int:
    """An integer setting >= 0 (a number of samples)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) \
            or value < 0:
        raise ValueError(f"{name} must be an integer >= 0, not {value!r}")
    # The engine takes int64; more samples than any trace has mean the same.
    return min(int(value), 2**62)


# The settings that may differ between channels, with their defaults.
PER_CHANNEL = {"threshold": None, "polarity": 1, "window": None,
               "fraction": 0.5, "merge": 0}


def requests(nsamples: int, quantities: Optional[Iterable[str]],
             keys: List[str], **settings: Any,
             ) -> List[Tuple[Request, List[int]]]:
    """The checked arguments of a features call whose settings may each be
    a mapping from channel (an index or an event key, among `keys`, the
    selected channels' keys) to its value: one Request per distinct set of
    settings, with the positions in `keys` it applies to. ValueError names
    the first setting that is wrong."""
    per_key: Dict[str, Dict[str, Any]] = {k: dict(PER_CHANNEL)
                                          for k in keys}
    for name, value in settings.items():
        if isinstance(value, Mapping):
            values = _mapped(name, value, keys)
            for k in keys:
                per_key[k][name] = values.get(k, PER_CHANNEL[name])
        else:
            for k in keys:
                per_key[k][name] = value
    groups: Dict[Tuple[Any, ...], List[int]] = {}
    for row, k in enumerate(keys):
        s = per_key[k]
        key = tuple(_comparable(s[name]) for name in PER_CHANNEL)
        groups.setdefault(key, []).append(row)
    mapped = any(isinstance(v, Mapping) for v in settings.values())
    if quantities is None and mapped:
        # Crossing by default only where every channel has a threshold.
        everyone = all(per_key[k]["threshold"] is not None for k in keys)
        quantities = [q for q in QUANTITIES if everyone or q != "crossing"]
    out = []
    for rows in groups.values():
        s = per_key[keys[rows[0]]]
        threshold, polarity, window, fraction, merge = (
            s[name] for name in PER_CHANNEL)
        try:
            req = request(nsamples, quantities, window, threshold,
                          fraction, polarity, merge)
        except ValueError as error:
            if not mapped:
                raise
            names = ", ".join(keys[r] for r in rows)
            raise ValueError(f"{error} (for {names})") from None
        out.append((req, rows))
    return out


def _comparable(value: Any) -> Any:
    """A value as a dict key: sequences (a window) by their items, and
    anything else that cannot be a key, by its text, so that a setting
    unchecked yet still sorts the channels into groups."""
    if isinstance(value, (list, tuple, np.ndarray)):
        return ("seq", repr(list(value)))
    try:
        hash(value)
    except TypeError:
        return ("other", repr(value))
    return value


def _mapped(name: str, value: Mapping, keys: List[str]) -> Dict[str, Any]:
    """A per-channel setting by event key; every channel named once."""
    found: Dict[str, Any] = {}
    for channel, v in value.items():
        if isinstance(channel, str):
            key = channel
        elif isinstance(channel, numbers.Integral) and \
                not isinstance(channel, bool):
            key = f"channel{int(channel)}"
        else:
            raise ValueError(f"{name}: a channel is an index or an event "
                             f"key, not {channel!r}")
        if key not in keys:
            raise ValueError(f"{name}: channel {channel!r} is not among "
                             f"the channels selected: {keys}")
        if key in found:
            raise ValueError(f"{name}: channel {channel!r} is named twice")
        found[key] = v
    return found


def plain_options(quantities: Tuple[str, ...], channels: List[str],
                  **settings: Any) -> Dict[str, Any]:
    """The settings of a call as JSON takes them: mappings keyed by
    strings, windows as lists."""
    def plain(v: Any) -> Any:
        if isinstance(v, Mapping):
            return {str(k): plain(x) for k, x in v.items()}
        if isinstance(v, tuple):
            return list(v)
        if isinstance(v, np.generic):
            return v.item()
        return v
    return {"quantities": list(quantities), "channels": list(channels),
            **{name: plain(v) for name, v in settings.items()}}


def _window(window: Any, nsamples: int) -> Tuple[int, int]:
    if window is None:
        return 0, nsamples
    try:
        a, b = (operator.index(w) for w in window)
    except (TypeError, ValueError):
        raise ValueError(f"window must be two sample indices (first, stop),"
                         f" not {window!r}") from None
    if not 0 <= a <= b <= nsamples:
        raise ValueError(f"window {(a, b)} is not within 0 <= first <= stop"
                         f" <= {nsamples}")
    return a, b


def _real(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{name} must be a number, not {value!r}")
    try:
        return float(value)
    except OverflowError:
        # An integer beyond any double: infinite, which the bounds refuse.
        return math.inf if value > 0 else -math.inf


def _quantities(quantities: Optional[Iterable[str]],
                threshold: Optional[float]) -> Tuple[str, ...]:
    if quantities is None:
        return tuple(q for q in QUANTITIES
                     if threshold is not None or q != "crossing")
    if isinstance(quantities, str):
        quantities = [quantities]
    chosen: List[str] = []
    for q in quantities:
        if q not in ALL_QUANTITIES:
            raise ValueError(f"unknown quantity {q!r}; known: "
                             f"{', '.join(ALL_QUANTITIES)}")
        if q in chosen:
            raise ValueError(f"quantity {q!r} is asked for twice")
        chosen.append(q)
    for q in _THRESHOLDED:
        if q in chosen and threshold is None:
            raise ValueError(f"{q} needs a threshold")
    return tuple(chosen)


def empty_values(req: Request, nevents: int,
                 nchannels: int) -> Dict[str, np.ndarray]:
    return {q: np.empty((nevents, nchannels), dtype_of(q))
            for q in req.quantities}
