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
from typing import Any, Dict, Iterable, List, NamedTuple, Optional, Tuple

import numpy as np

__all__ = ["Features", "QUANTITIES"]

# In the order a result lists them when none are asked for.
QUANTITIES = ("maximum", "minimum", "argmax", "argmin", "sum", "pulses",
              "covered", "crossing", "cfd")

# Sample positions and counts; the rest are float64.
_INTEGER = frozenset({"argmax", "argmin", "pulses", "covered"})


def dtype_of(quantity: str) -> "np.dtype[Any]":
    return np.dtype(np.int32 if quantity in _INTEGER else np.float64)


class Features(NamedTuple):
    """Quantities per event and channel, as `LmaFile.features` gives them.

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
    """
    tags: np.ndarray
    horpos: np.ndarray
    channels: List[str]
    values: Dict[str, np.ndarray]

    def to_pandas(self) -> Any:
        """The values as a table, one row per event.

        Returns
        -------
        pandas.DataFrame
            Columns `tag`, `horpos`, then `<key>_<quantity>` per channel
            and quantity (``channel0_maximum``, ...). Needs pandas.
        """
        import pandas as pd
        return pd.DataFrame(flat_columns(self))

    def to_xarray(self) -> Any:
        """The values as labelled arrays.

        Returns
        -------
        xarray.Dataset
            Dimensions `event` and `channel` (the keys as its coordinate),
            one variable per quantity, coordinates `tag` and `horpos`
            along `event`. Needs xarray.
        """
        import xarray as xr
        coords = {"channel": ("channel", list(self.channels)),
                  "tag": ("event", self.tags),
                  "horpos": ("event", self.horpos)}
        data = {name: (("event", "channel"), array)
                for name, array in self.values.items()}
        return xr.Dataset(data, coords)


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


def request(nsamples: int, quantities: Optional[Iterable[str]],
            window: Any, threshold: Any, fraction: Any,
            polarity: Any) -> Request:
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
                   threshold, fraction, int(polarity))


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
        if q not in QUANTITIES:
            raise ValueError(f"unknown quantity {q!r}; known: "
                             f"{', '.join(QUANTITIES)}")
        if q in chosen:
            raise ValueError(f"quantity {q!r} is asked for twice")
        chosen.append(q)
    if "crossing" in chosen and threshold is None:
        raise ValueError("crossing needs a threshold")
    return tuple(chosen)


def empty_values(req: Request, nevents: int,
                 nchannels: int) -> Dict[str, np.ndarray]:
    return {q: np.empty((nevents, nchannels), dtype_of(q))
            for q in req.quantities}
