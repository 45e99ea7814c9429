"""One-dimensional histograms of per-event quantities, in the form the
plotting and histogram libraries of the field take: the plottable
histogram protocol (`kind`, `values()`, `variances()`, `counts()`,
`axes` with `traits`), a conversion to boost-histogram objects, and the
JSON serialisation those libraries read and write.

    h = kelvane.Histogram.regular(100, (0.0, 4000.0))
    h.fill(features.values["maximum"][:, 0])
    h.to_json("maximum.json")

Importing this module needs NumPy alone; each conversion imports what it
needs when called.
"""

from __future__ import annotations

import json
import math
import os
from typing import Any, Dict, Iterator, Optional, Tuple, Union

import numpy as np

from ._atomic import atomic_file

__all__ = ["Histogram"]

PathLike = Union[str, "os.PathLike[str]"]


class Traits:
    """What a plotter asks of an axis: intervals on a line, not wrapped."""
    circular = False
    discrete = False

    def __repr__(self) -> str:
        return "Traits(circular=False, discrete=False)"


class Axis:
    """The bins of a histogram as a sequence of (low, high) edge pairs;
    the flow bins are not among them."""

    traits = Traits()

    def __init__(self, edges: np.ndarray, label: str) -> None:
        self.edges = edges
        self.label = label

    def __len__(self) -> int:
        return len(self.edges) - 1

    def __getitem__(self, index: int) -> Tuple[float, float]:
        if not -len(self) <= index < len(self):
            raise IndexError(f"bin {index} of {len(self)}")
        index %= len(self)
        return float(self.edges[index]), float(self.edges[index + 1])

    def __iter__(self) -> Iterator[Tuple[float, float]]:
        return (self[i] for i in range(len(self)))

    def __eq__(self, other: object) -> bool:
        return (isinstance(other, Axis)
                and np.array_equal(self.edges, other.edges))

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return (f"Axis({len(self)} bins from {self.edges[0]:g} "
                f"to {self.edges[-1]:g}, label={self.label!r})")


class Histogram:
    """Counts of values in bins between `edges`, with an underflow and an
    overflow bin and a count of values that have none.

    Bins are those of ``numpy.histogram``: each includes its low edge, and
    the last its high edge too; values below the first edge count as
    underflow, above the last as overflow. A NaN, or -1 for a whole-number
    quantity (``integer=True``, a sample position or a count), is no value:
    counted in `no_value`, never in a bin. For whole numbers the last bin
    is open like the others, since its high edge is the next whole number,
    beyond the range asked for.

    Follows the plottable histogram protocol, so ``mplhep.histplot(h)``
    draws it, and ``hist.Hist(h)`` or ``boost_histogram.Histogram(h)``
    convert it (flow bins included).

    Parameters
    ----------
    edges : array_like
        The bin edges, increasing, at least two, finite.
    counts : array_like of int, optional
        The counts of the ``len(edges) - 1`` bins; zeros by default.
    underflow, overflow, no_value : int
        The counts outside the bins.
    integer : bool
        Whether the values are whole numbers, where -1 is no value.
    name, label : str
        The histogram's name (the key under which `to_json` writes it) and
        the axis label (the quantity, with its unit).
    """

    kind = "COUNT"

    def __init__(self, edges: Any, counts: Any = None, *,
                 underflow: int = 0, overflow: int = 0, no_value: int = 0,
                 integer: bool = False, name: str = "histogram",
                 label: str = "") -> None:
        edges = np.array(edges, dtype=np.float64)
        if (edges.ndim != 1 or edges.size < 2
                or not np.isfinite(edges).all()
                or not (np.diff(edges) > 0).all()):
            raise ValueError("edges must be at least two finite numbers, "
                             "each above the one before")
        edges.flags.writeable = False
        self._flow = np.zeros(edges.size + 1, dtype=np.int64)
        if counts is not None:
            counts = np.asarray(counts)
            if counts.shape != (edges.size - 1,):
                raise ValueError(f"{edges.size - 1} counts expected, "
                                 f"got shape {counts.shape}")
            self._flow[1:-1] = counts
        self._flow[0] = underflow
        self._flow[-1] = overflow
        self.no_value = int(no_value)
        self.integer = bool(integer)
        self.name = name
        self.axes = (Axis(edges, label),)

    @classmethod
    def regular(cls, bins: int, range: Tuple[float, float], *,
                integer: bool = False, **kwargs: Any) -> "Histogram":
        """An empty histogram of `bins` equal bins over `range` (low, high);
        for whole numbers, whole-number edges around the whole numbers in
        the range, as many bins as that takes up to `bins`."""
        low, high = range
        if not (math.isfinite(low) and math.isfinite(high)):
            raise ValueError(f"range must be finite: {range}")
        if low > high:
            raise ValueError(f"range must not be decreasing: {range}")
        if isinstance(bins, bool) or int(bins) != bins or bins < 1:
            raise ValueError(f"bins must be a whole number from 1: {bins}")
        edges = (whole_edges(low, high, int(bins)) if integer
                 else real_edges(low, high, int(bins)))
        return cls(edges, integer=integer, **kwargs)

    @classmethod
    def of(cls, values: Any, *, bins: int = 100,
           range: Optional[Tuple[float, float]] = None,
           integer: Optional[bool] = None, **kwargs: Any) -> "Histogram":
        """The histogram of `values`; `range` by default spans the finite
        values' own. `integer` defaults to whether the values have an
        integer type."""
        values = np.asarray(values)
        if integer is None:
            integer = values.dtype.kind in "iu"
        if range is None:
            valid = values[~missing(values, integer)]
            finite = valid[np.isfinite(valid)]
            range = ((finite.min().item(), finite.max().item())
                     if finite.size else (0.0, 0.0))
        return cls.regular(bins, range, integer=integer,
                           **kwargs).fill(values)

    @property
    def edges(self) -> np.ndarray:
        """The bin edges (read-only)."""
        return self.axes[0].edges

    @property
    def underflow(self) -> int:
        return int(self._flow[0])

    @property
    def overflow(self) -> int:
        return int(self._flow[-1])

    @property
    def entries(self) -> int:
        """The values counted in the bins, not in the flow bins."""
        return int(self._flow[1:-1].sum())

    @property
    def metadata(self) -> Dict[str, Any]:
        return {"name": self.name, "no_value": self.no_value,
                "integer": self.integer}

    def fill(self, values: Any) -> "Histogram":
        """Count `values` in; returns the histogram itself."""
        values = np.asarray(values).ravel()
        if values.dtype.kind not in "iuf":
            raise TypeError(f"cannot count values of type {values.dtype}")
        gone = missing(values, self.integer)
        self.no_value += int(np.count_nonzero(gone))
        values = values[~gone]
        edges = self.edges
        # Side "right" puts a value equal to an edge into the bin it
        # opens; only the closed last bin needs mending after.
        where = np.searchsorted(edges, values, side="right")
        if not self.integer:
            where[values == edges[-1]] = len(edges) - 1
        self._flow += np.bincount(where, minlength=self._flow.size)
        return self

    def values(self, flow: bool = False) -> np.ndarray:
        """The counts as float64, with the underflow first and the
        overflow last if `flow`."""
        return self.counts(flow)

    def variances(self, flow: bool = False) -> np.ndarray:
        """Equal to the counts: each is a Poisson count."""
        return self.counts(flow)

    def counts(self, flow: bool = False) -> np.ndarray:
        counts = self._flow if flow else self._flow[1:-1]
        return counts.astype(np.float64)

    def __add__(self, other: "Histogram") -> "Histogram":
        if not isinstance(other, Histogram):
            return NotImplemented
        if (other.axes != self.axes) or other.integer != self.integer:
            raise ValueError("cannot add histograms of different bins")
        total = Histogram(self.edges, integer=self.integer, name=self.name,
                          label=self.axes[0].label)
        total._flow = self._flow + other._flow
        total.no_value = self.no_value + other.no_value
        return total

    def __eq__(self, other: object) -> bool:
        return (isinstance(other, Histogram) and other.axes == self.axes
                and other.integer == self.integer
                and other.no_value == self.no_value
                and np.array_equal(other._flow, self._flow))

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return (f"Histogram({len(self.axes[0])} bins from "
                f"{self.edges[0]:g} to {self.edges[-1]:g}: "
                f"entries {self.entries}, underflow {self.underflow}, "
                f"overflow {self.overflow}, no value {self.no_value})")

    def _to_boost_histogram_(self) -> Any:
        import boost_histogram as bh
        axis = bh.axis.Variable(self.edges, metadata=self.axes[0].label,
                                underflow=True, overflow=True)
        axis.label = self.axes[0].label
        h = bh.Histogram(axis, storage=bh.storage.Int64())
        h.view(flow=True)[...] = self._flow
        return h

    def to_dict(self) -> Dict[str, Any]:
        """This histogram in the serialisation's intermediate form."""
        from . import __version__
        axis = {"type": "variable", "edges": self.edges.tolist(),
                "underflow": True, "overflow": True, "circular": False}
        if self.axes[0].label:
            axis["metadata"] = {"label": self.axes[0].label}
        return {"uhi_schema": 1,
                "writer_info": {"kelvane": {"version": __version__}},
                "metadata": self.metadata,
                "axes": [axis],
                "storage": {"type": "int", "values": self._flow.tolist()}}

    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> "Histogram":
        """The histogram of the intermediate form `to_dict` makes; an
        integer or double storage over one axis with both flow bins."""
        (axis,) = data["axes"]
        if axis.get("type") == "regular":
            edges = np.linspace(axis["lower"], axis["upper"],
                                axis["bins"] + 1)
        elif axis.get("type") == "variable":
            edges = np.asarray(axis["edges"], dtype=np.float64)
        else:
            raise ValueError(f"not an axis of intervals: {axis.get('type')}")
        if not (axis.get("underflow") and axis.get("overflow")):
            raise ValueError("the axis has no underflow or overflow bin")
        storage = data["storage"]
        if storage.get("type") not in ("int", "double"):
            raise ValueError(f"not a storage of counts: {storage.get('type')}")
        flow = np.asarray(storage["values"])
        meta = data.get("metadata", {})
        h = cls(edges, flow[1:-1], underflow=flow[0], overflow=flow[-1],
                no_value=meta.get("no_value", 0),
                integer=meta.get("integer", False),
                name=meta.get("name", "histogram"),
                label=axis.get("metadata", {}).get("label", ""))
        return h

    def to_json(self, path: PathLike) -> None:
        """Write this histogram under its `name` to the JSON file `path`,
        replacing it whole or not at all."""
        text = json.dumps({self.name: self.to_dict()}, indent=1)
        with atomic_file(os.fspath(path)) as out:
            out.write(text.encode())

    @classmethod
    def from_json(cls, path: PathLike,
                  name: Optional[str] = None) -> "Histogram":
        """The histogram named `name` (by default the only one) of the JSON
        file `path`."""
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        if name is None:
            if len(data) != 1:
                raise ValueError(f"{os.fspath(path)} holds {len(data)} "
                                 f"histograms: name one of {sorted(data)}")
            (name,) = data
        return cls.from_dict(data[name])

    def plot(self, ax: Any = None, **kwargs: Any) -> Any:
        """Draw the bins as steps on matplotlib axes `ax` (by default the
        current ones); returns what ``Axes.stairs`` returns."""
        if ax is None:
            import matplotlib.pyplot as plt
            ax = plt.gca()
        kwargs.setdefault("label", self.name)
        artist = ax.stairs(self.counts(), self.edges, **kwargs)
        if self.axes[0].label:
            ax.set_xlabel(self.axes[0].label)
        ax.set_ylabel("events")
        return artist


def missing(values: np.ndarray, integer: bool) -> np.ndarray:
    """Which values have none: NaN, or -1 for whole numbers."""
    return values == -1 if integer else np.isnan(values)


def real_edges(low: float, high: float, bins: int) -> np.ndarray:
    if low == high:
        # Wide enough to draw, also where 0.5 is below the values' spacing.
        pad = max(0.5, abs(low) * 1e-6)
        low, high = low - pad, high + pad
    if np.isfinite(high - low):
        return np.linspace(low, high, bins + 1)
    # A range wider than the largest double: each end weighted alone, so
    # no step overflows.
    t = np.linspace(0.0, 1.0, bins + 1)
    return low * (1 - t) + high * t


# Edges beyond which the axis is drawn in a power of ten of the unit:
# the plot's ticks step past the largest double near it.
LARGEST_DRAWN = 1e300


def axis_scale(edges: np.ndarray) -> float:
    """1, or the power of ten the edges are divided by to be drawn."""
    largest = float(np.abs(edges).max()) if edges.size else 0.0
    if largest <= LARGEST_DRAWN:
        return 1.0
    return 10.0 ** math.floor(math.log10(largest))


def whole_edges(low: float, high: float, bins: int) -> np.ndarray:
    """Edges k, k + w, ... around the whole numbers in [low, high], with
    w the smallest whole width that needs no more than `bins` bins; past
    the whole numbers a double holds exactly, equal bins as for real
    values."""
    first = math.ceil(low)
    span = max(math.floor(high) - first + 1, 1)
    if span > 2**53:
        return real_edges(low, high, bins)
    width = -(-span // bins)
    return (first + width * np.arange(-(-span // width) + 1)).astype(float)
