"""`lma report`'s page: one HTML file that shows a run with no server and
no network, for mailing or a logbook. It holds the summary of the files,
the spectrum of the maximum and of the sum of each channel, and a dozen
sample events to choose from in one plot, drawn by the same figure
builders as the live page, with Bokeh's JavaScript inlined.

Its size is bounded whatever the run: the sample events carry only the
samples where a trace changes (its stored pulses and the ends of the flat
stretches between them), or, for long traces, the minimum and maximum of
each pixel column; the file table elides its middle for runs of very many
files.
"""

from __future__ import annotations

import html
import os
from typing import Any, Callable, Dict, List, Sequence, Tuple

import numpy as np
from bokeh.embed import file_html
from bokeh.layouts import column, gridplot
from bokeh.models import ColumnDataSource, CustomJS, Div, Select
from bokeh.resources import INLINE

from ..cli.spectrum import DEFAULT_BINS, UNITS
from .plots import (spectrum_data, spectrum_figure, summary_data,
                    summary_table, waveform_data, waveform_figure)

__all__ = ["report_html", "sample_events", "reduced_lines"]

# Sample events shown: the first, the last, the largest, the rest evenly
# spaced.
SAMPLES = 12
# Bytes of plotted points over all sample events (float32 time and values).
# With Bokeh's JavaScript (about 2 MB) and base64's added third, the file
# stays under 5 MB.
POINT_BUDGET = 1_500_000
# Pixel columns of the widest plot: no more detail can be seen.
COLUMNS = 1000
# Pulses marked per sample event; beyond them the trace still shows them.
MAX_PULSE_MARKS = 200
# Files listed one per row; a run of more lists its first and last ones.
MAX_FILE_ROWS = 200

Columns = Dict[str, Any]


def report_html(run: Any, quantities: Sequence[str],
                features: Callable[[], Any], *, title: str) -> str:
    """The report of `run` (a `kelvane.Run`) called `title`, as one HTML
    document, with a spectrum of each of `quantities` of each channel.
    `features()` gives the run's features of those quantities, waiting
    for them where they are computed elsewhere: what needs none is built
    first, meanwhile."""
    spectra = [Spectrum(key, quantity) for key in run.keys
               for quantity in quantities]
    parts = [Div(text=f"<h1>{html.escape(headline(run, title))}</h1>",
                 name="report_title"),
             Div(text="<h2>Files</h2>"),
             summary_table(ColumnDataSource(bounded_rows(summary_data(run)),
                                            name="files"),
                           height=min(60 + 25 * len(run.files), 400),
                           # Reordering needs jQuery UI, which is not
                           # inlined.
                           reorderable=False),
             Div(text="<h2>Spectra</h2>"),
             # One drag tool named for the merged toolbar: each figure's
             # own would compete (a warning on older releases).
             gridplot([s.figure for s in spectra], ncols=2,
                      sizing_mode="stretch_width",
                      toolbar_options={"active_drag": "auto"}),
             Div(text="<h2>Sample events</h2>")]
    feat = features()
    for spectrum in spectra:
        spectrum.fill(feat)
    parts += event_browser(run, feat)
    return file_html(column(parts, sizing_mode="stretch_width"), INLINE,
                     title=title)


def headline(run: Any, title: str) -> str:
    files, damaged = len(run.files), len(run.damage)
    said = (f"{title}: {files} file{'s' if files != 1 else ''}, "
            f"{len(run)} events")
    return said + (f", {damaged} damaged" if damaged else "")


def bounded_rows(rows: Columns) -> Columns:
    """The summary's file rows, at most `MAX_FILE_ROWS` and one: the first
    and last files, and between them one row that counts the others."""
    n = len(rows["file"])
    if n <= MAX_FILE_ROWS:
        return rows
    half = MAX_FILE_ROWS // 2
    middle = slice(half, n - half)
    hidden = rows["damage"][middle]
    damaged = sum(1 for d in hidden if d)
    gap = {"file": f"… {n - 2 * half} more files",
           "events": sum(rows["events"][middle]),
           "damage": f"{damaged} of them damaged" if damaged else ""}
    return {k: list(v[:half]) + [gap[k]] + list(v[n - half:])
            for k, v in rows.items()}


class Spectrum:
    """The plot of one quantity of one channel, made before its counts are
    known."""

    def __init__(self, key: str, quantity: str) -> None:
        self.key, self.quantity = key, quantity
        name = f"{key}_{quantity}"
        self.bins = ColumnDataSource(name=f"spectrum_{name}")
        self.flow = ColumnDataSource(name=f"flow_{name}")
        self.figure = spectrum_figure(
            self.bins, self.flow,
            label=f"{key} {quantity} ({UNITS[quantity]})",
            name=f"spectrum_plot_{name}", title=f"{key} {quantity}",
            height=260)

    def fill(self, feat: Any) -> None:
        """The counts of `feat`, binned as `lma spectrum` bins by default:
        over the values' own range."""
        h = feat.histogram(self.quantity, self.key, bins=DEFAULT_BINS)
        self.bins.data, self.flow.data = spectrum_data(h)
        self.figure.title.text = (f"{self.key} {self.quantity}: "
                                  f"{h.entries} entries, {h.no_value} "
                                  f"without a value")


# Shows the chosen sample event: its columns copied into the plotted
# sources, so the one plot keeps its tools, zoom and legend.
CHOOSE_EVENT = """
const k = choice.options.indexOf(choice.value);
const copy = (d) => d instanceof Map ? new Map(d) : Object.assign({}, d);
lines.data = copy(events[k].data);
marks.data = copy(pulses[k].data);
plot.title.text = titles[k];
"""


def event_browser(run: Any, feat: Any) -> List[Any]:
    """A chooser of the sample events and the plot of the one chosen;
    every event's columns are in the page, so it needs no server."""
    picks = sample_events(len(run), feat.values["maximum"])
    if not picks:
        return [Div(text="<p>The run has no events.</p>")]
    # The plotted copy of the first event counts too.
    points = points_per_trace(len(picks) + 1, len(run.keys))
    events, pulses, titles = [], [], []
    for index, why in picks:
        lines, marks = waveform_data(run, index)
        marked = len(marks["left"])
        marks = {k: v[:MAX_PULSE_MARKS] for k, v in marks.items()}
        file, within = run.locate(index)
        title = (f"event {index} ({why}): "
                 f"{os.path.basename(run.sources[file])} event {within}, "
                 f"tag {int(feat.tags[index])}, "
                 f"horpos {float(feat.horpos[index]):g}")
        if marked > MAX_PULSE_MARKS:
            title += f"; the first {MAX_PULSE_MARKS} of {marked} pulses marked"
        events.append(ColumnDataSource(reduced_lines(lines, points),
                                       name=f"event_{index}"))
        pulses.append(ColumnDataSource(marks, name=f"pulses_{index}"))
        titles.append(title)
    lines = ColumnDataSource(dict(events[0].data), name="event")
    marks = ColumnDataSource(dict(pulses[0].data), name="event_pulses")
    plot = waveform_figure(run.keys, lines, marks, name="event_plot",
                           title=titles[0])
    options = [f"event {index} ({why})" for index, why in picks]
    choice = Select(title="Sample event", value=options[0], options=options,
                    name="event_choice", width=320)
    choice.js_on_change("value", CustomJS(
        args=dict(choice=choice, lines=lines, marks=marks, events=events,
                  pulses=pulses, plot=plot, titles=titles),
        code=CHOOSE_EVENT))
    return [choice, plot]


def sample_events(n: int, maximum: np.ndarray) -> List[Tuple[int, str]]:
    """Up to `SAMPLES` global indices of a run of `n` events, ascending,
    each with why it was picked: the first, the last, the largest (of the
    events × channels `maximum`) and others evenly spaced."""
    if n == 0:
        return []
    why: Dict[int, List[str]] = {0: ["first"]}
    why.setdefault(n - 1, []).append("last")
    peaks = np.fmax.reduce(maximum, axis=1) if maximum.shape[1] else None
    if peaks is not None and not np.isnan(peaks).all():
        why.setdefault(int(np.nanargmax(peaks)), []).append("largest")
    wanted = min(SAMPLES, n)
    # Spaced more finely while some fall on events already picked.
    spaced = wanted - len(why)
    while len(why) < wanted:
        for i in np.linspace(0, n - 1, spaced + 2)[1:-1].round().astype(
                int).tolist():
            if len(why) < wanted:
                why.setdefault(i, ["evenly spaced"])
        spaced += 1
    return [(i, ", ".join(why[i])) for i in sorted(why)]


def points_per_trace(events: int, channels: int) -> int:
    """How many points each sample event may carry per channel, sharing
    `POINT_BUDGET` (a float32 time and a float32 value per channel)."""
    share = POINT_BUDGET // (max(events, 1) * (channels + 1) * 4)
    return int(max(4, min(2 * COLUMNS, share)))


def reduced_lines(lines: Columns, points: int) -> Columns:
    """`waveform_data`'s lines (``time`` and a trace per key) in at most
    `points` points that draw alike: every sample where a trace changes,
    with the first and last of each flat stretch, when that is few
    enough; else the minimum and maximum of each of ``points // 2``
    columns, which is what a plot that wide shows."""
    time = np.asarray(lines["time"], np.float64)
    keys = [k for k in lines if k != "time"]
    traces = np.array([lines[k] for k in keys], np.float64).reshape(
        len(keys), time.size)
    n = time.size
    if n > points:
        changes = np.flatnonzero((np.diff(traces, axis=1) != 0).any(axis=0))
        keep = np.unique(np.concatenate([[0, n - 1], changes, changes + 1]))
    else:
        keep = np.arange(n)
    if keep.size <= points:
        x, ys = time[keep], traces[:, keep]
    else:
        columns = points // 2
        starts = np.arange(columns) * n // columns
        x = np.repeat(time[starts], 2)
        ys = np.empty((len(keys), 2 * columns))
        ys[:, 0::2] = np.minimum.reduceat(traces, starts, axis=1)
        ys[:, 1::2] = np.maximum.reduceat(traces, starts, axis=1)
    out: Columns = {"time": x.astype(np.float32)}
    for key, y in zip(keys, ys):
        out[key] = y.astype(np.float32)
    return out
