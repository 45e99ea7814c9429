"""What the page of a run reads, fills and keeps, apart from how it shows
it: the run shared by every page of the server with its arrival rate, and
one spectrum with the one value per event it needs to restrict stepping
to a range. No waveform is kept: an event is read when it is shown.

Needs NumPy alone, so its memory can be measured without a page.
"""

from __future__ import annotations

import collections
import os
import time
from typing import Any, Callable, Deque, Dict, List, Optional, Tuple

import numpy as np

from ..features import dtype_of
from ..histogram import Histogram, missing
from ..run import Run
from .._outputs import shown

__all__ = ["Watched", "Spectrum"]

# Arrival rates kept for the plot: an hour at one point a second.
RATE_POINTS = 3600

# A new spectrum is one pass over the whole run while its user waits: it
# takes the machine's cores (a few; the reduction releases the GIL). The
# new events of a growing run are too few to be worth spreading.
JOBS = max(1, min(4, os.cpu_count() or 1))


class Watched:
    """The run of a server, refreshed on one clock for every page, and its
    arrival rate since events first arrived: (time in ms since the epoch,
    events per second since the refresh before, events then). A refresh
    that fails (a file replaced, a new file that sorts first) stops
    following and keeps the message in `error`."""

    def __init__(self, run: Run,
                 clock: Callable[[], float] = time.time) -> None:
        self.run = run
        self.error: Optional[str] = None
        self.rates: Deque[Tuple[float, float, int]] = collections.deque(
            maxlen=RATE_POINTS)
        # How many rates were ever added, so a page can take the new ones.
        self.rates_added = 0
        self._clock = clock
        self._last = (clock(), len(run))

    def refresh(self) -> int:
        """Takes in what was written since the last call; returns the
        number of new events."""
        if self.error is not None:
            return 0
        try:
            new = self.run.refresh()
        except (OSError, ValueError) as error:
            self.error = f"stopped following: {shown(str(error))}"
            return 0
        now, events = self._clock(), len(self.run)
        then, before = self._last
        if (new or self.rates_added) and now > then:
            self.rates.append((now * 1000.0,
                               (events - before) / (now - then), events))
            self.rates_added += 1
        self._last = (now, events)
        return new

    def rates_since(self, seen: int) -> List[Tuple[float, float, int]]:
        """The rates added after the first `seen` (as many as are kept)."""
        fresh = min(self.rates_added - seen, len(self.rates))
        return list(self.rates)[len(self.rates) - fresh:] if fresh > 0 else []


class Spectrum:
    """The histogram of one quantity of one channel over a run, with that
    quantity's value for each event (its own type: 4 or 8 bytes), filled
    from the events added since with `catch_up`. Its bins are fixed when
    it is made: later values beyond them count as flow.

    Parameters
    ----------
    run : Run
    quantity : str
        A quantity of `Run.features`.
    channel : str
        An event key of the run ("channel0").
    bins : int
    range : (float, float), optional
        The histogram's range; by default the values' own.
    **options
        The features' settings: window, threshold, fraction, polarity.
    """

    def __init__(self, run: Run, quantity: str, channel: str, *,
                 bins: int = 100, range: Optional[Tuple[float, float]] = None,
                 **options: Any) -> None:
        self.quantity = quantity
        self.channel = channel
        self.options: Dict[str, Any] = dict(
            options, channels=[channel], quantities=[quantity])
        self.integer = dtype_of(quantity).kind == "i"
        self.label = f"{channel} {quantity}"
        self.done = len(run)
        values = run.features(0, self.done, jobs=JOBS, **self.options) \
            .values[quantity][:, 0]
        self.histogram = Histogram.of(values, bins=bins, range=range,
                                      integer=self.integer,
                                      name=f"{channel}_{quantity}",
                                      label=self.label)
        self._values = values
        self._size = len(values)

    @property
    def values(self) -> np.ndarray:
        """The quantity's value of each event so far (read-only view)."""
        view = self._values[:self._size]
        view.flags.writeable = False
        return view

    def catch_up(self, run: Run) -> int:
        """Fills in the events added to `run` since; returns how many."""
        end = len(run)
        if end <= self.done:
            return 0
        fresh = run.features(self.done, end, **self.options) \
            .values[self.quantity][:, 0]
        self.histogram.fill(fresh)
        self._append(fresh)
        self.done = end
        return len(fresh)

    def _append(self, fresh: np.ndarray) -> None:
        # Grown by halves rather than doubled: at most 1.5 values per event
        # held, 12 bytes for a float.
        need = self._size + len(fresh)
        if need > len(self._values):
            grown = np.empty(max(need, len(self._values) * 3 // 2 + 1024),
                             self._values.dtype)
            grown[:self._size] = self._values[:self._size]
            self._values = grown
        self._values[self._size:need] = fresh
        self._size = need

    def in_range(self, low: float, high: float) -> np.ndarray:
        """Whether each event's value lies in [low, high] (bool per event);
        an event with no value never does."""
        values = self.values
        return ((values >= low) & (values <= high)
                & ~missing(values, self.integer))

    def step(self, current: int, direction: int, low: float,
             high: float) -> Optional[int]:
        """The next event (`direction` 1) or the one before (-1) from
        `current` whose value is in [low, high]; None if there is none."""
        inside = self.in_range(low, high)
        if direction > 0:
            after = np.flatnonzero(inside[current + 1:])
            return int(after[0]) + current + 1 if after.size else None
        before = np.flatnonzero(inside[:max(current, 0)])
        return int(before[-1]) if before.size else None
