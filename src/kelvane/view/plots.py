"""The figures of a run's pages, built from plain columns so that the live
page and a static HTML file draw them alike.

Each builder takes `ColumnDataSource`s whose columns the matching
``*_data`` function makes, and names its models so that a page (and its
tests) can find them with ``get_model_by_name``:

    lines, pulses = waveform_data(run, index)
    fig = waveform_figure(run.keys, ColumnDataSource(lines, name="waveform"),
                          ColumnDataSource(pulses, name="pulses"))

Needs Bokeh (the ``view`` extra); only NumPy is used to make the columns.
"""

from __future__ import annotations

import os
from typing import Any, Dict, Sequence

import numpy as np
from bokeh.models import (BoxSelectTool, ColumnDataSource, DataTable,
                          HoverTool, TableColumn)
from bokeh.palettes import Category10_10
from bokeh.plotting import figure

from ..histogram import Histogram

__all__ = ["colour", "waveform_data", "waveform_figure", "spectrum_data",
           "spectrum_figure", "file_label", "summary_data", "summary_table",
           "damage_text", "rate_figure"]

Columns = Dict[str, Any]


def colour(i: int) -> str:
    """The colour of the `i`-th channel in use, the same in every plot."""
    return Category10_10[i % len(Category10_10)]


# --- one event ---------------------------------------------------------------

def waveform_data(run: Any, index: int) -> "tuple[Columns, Columns]":
    """The columns of event `index` of `run` (a `kelvane.Run`): its traces,
    ``time`` (seconds) and one column per event key, and its stored
    pulses, one row each: ``channel`` (event key), ``left`` and ``right``
    (seconds), ``bottom`` and ``top`` (the trace's extremes over the
    pulse) and ``colour``."""
    event = run[index]
    time = run.time
    keys = run.keys
    lines: Columns = {"time": time}
    for key, trace in zip(keys, event.traces):
        lines[key] = trace
    stored = run.pulses(index, index + 1)
    pulses: Columns = {name: [] for name in
                       ("channel", "left", "right", "bottom", "top",
                        "colour")}
    positions = {c: k for k, c in enumerate(run.channels)}
    for c, first, length in zip(stored.channel.tolist(),
                                stored.first.tolist(),
                                stored.length.tolist()):
        row = positions.get(c, c)
        last = min(first + max(length, 1), len(time)) - 1
        if row >= len(keys) or first >= len(time) or last < first:
            continue
        span = event.traces[row][first:last + 1]
        pulses["channel"].append(keys[row])
        pulses["left"].append(float(time[first]))
        pulses["right"].append(float(time[last]))
        pulses["bottom"].append(float(span.min()))
        pulses["top"].append(float(span.max()))
        pulses["colour"].append(colour(row))
    return lines, pulses


def waveform_figure(keys: Sequence[str], lines: ColumnDataSource,
                    pulses: ColumnDataSource, *, name: str = "waveform_plot",
                    **options: Any) -> Any:
    """The traces of `lines`, one line per key in its channel's colour with
    a legend entry (a click hides it), over a shaded box per stored pulse
    of `pulses`; time in seconds. `options` go to ``figure``."""
    settings = dict(height=380, sizing_mode="stretch_width",
                    tools="xpan,xwheel_zoom,box_zoom,reset,save",
                    active_scroll="xwheel_zoom",
                    x_axis_label="time (s)", y_axis_label="calibrated value")
    settings.update(options)
    fig = figure(name=name, **settings)
    fig.quad(left="left", right="right", bottom="bottom", top="top",
             source=pulses, fill_color="colour", fill_alpha=0.15,
             line_color="colour", line_alpha=0.4, name="pulse_boxes")
    for i, key in enumerate(keys):
        fig.line("time", key, source=lines, color=colour(i),
                 line_width=1.5, legend_label=key, name=f"line_{key}")
    fig.legend.click_policy = "hide"
    fig.legend.location = "top_right"
    fig.xaxis.formatter.use_scientific = True
    return fig


# --- a spectrum --------------------------------------------------------------

def spectrum_data(h: Histogram) -> "tuple[Columns, Columns]":
    """The columns of `h`: its bins (``left``, ``right``, ``count``), and
    its flow bins drawn one bin's width outside the range (``left``,
    ``right``, ``count``, ``kind``: "underflow", "overflow")."""
    edges = np.asarray(h.edges)
    counts = h.counts().astype(np.int64)
    width = float(edges[-1] - edges[0]) / max(len(counts), 1)
    bins = {"left": edges[:-1], "right": edges[1:], "count": counts}
    flow = {"left": [float(edges[0]) - width, float(edges[-1])],
            "right": [float(edges[0]), float(edges[-1]) + width],
            "count": [h.underflow, h.overflow],
            "kind": ["underflow", "overflow"]}
    return bins, flow


def spectrum_figure(bins: ColumnDataSource, flow: ColumnDataSource, *,
                    label: str, log: bool = False,
                    name: str = "spectrum_plot", **options: Any) -> Any:
    """Bars of the counts of `bins`, and the flow bins of `flow` hatched in
    grey beside them; `label` is the quantity's axis label. With `log`
    the counts' axis is logarithmic (empty bins are not drawn). A box
    select along the axis selects a range of values."""
    settings = dict(height=320, sizing_mode="stretch_width",
                    tools="xbox_select,xpan,xwheel_zoom,reset,save",
                    x_axis_label=label, y_axis_label="events",
                    y_axis_type="log" if log else "linear")
    settings.update(options)
    fig = figure(name=name, **settings)
    fig.toolbar.active_drag = fig.select_one({"type": BoxSelectTool})
    bottom = 0.5 if log else 0
    fig.quad(left="left", right="right", bottom=bottom, top="count",
             source=bins, fill_color=colour(0), line_color=colour(0),
             fill_alpha=0.6, name="spectrum_bars")
    fig.quad(left="left", right="right", bottom=bottom, top="count",
             source=flow, fill_color="lightgrey", line_color="grey",
             hatch_pattern="/", hatch_color="grey", name="flow_bars",
             legend_label="outside the range")
    fig.add_tools(HoverTool(tooltips=[("from", "@left{0.[000]}"),
                                      ("to", "@right{0.[000]}"),
                                      ("count", "@count")]))
    fig.legend.location = "top_right"
    return fig


# --- the run -----------------------------------------------------------------

def damage_text(damage: Any) -> str:
    """A file's damage in words, as `lma info` gives it: nothing, a last
    record still being written (said to be so), or what is wrong with the
    record where reading stops."""
    return "" if damage is None else str(damage)


def file_label(source: str) -> str:
    """A file as the page names it: its name without the folder."""
    return os.path.basename(source) or source


def summary_data(run: Any) -> Columns:
    """One row per file of `run`: ``file`` (its name), ``events``, and
    ``damage`` (see `damage_text`)."""
    counts = np.diff(run.bounds).tolist()
    return {"file": [file_label(s) for s in run.sources],
            "events": counts,
            "damage": [damage_text(f.damage) for f in run.files]}


def summary_table(files: ColumnDataSource, *, name: str = "files_table",
                  **options: Any) -> Any:
    """The table of `summary_data`'s columns."""
    columns = [TableColumn(field="file", title="file", width=260),
               TableColumn(field="events", title="events", width=90),
               TableColumn(field="damage", title="damage", width=420)]
    settings = dict(height=160, sizing_mode="stretch_width",
                    index_position=None, reorderable=False)
    settings.update(options)
    return DataTable(source=files, columns=columns, name=name, **settings)


def rate_figure(rate: ColumnDataSource, *, name: str = "rate_plot",
                **options: Any) -> Any:
    """Events per second over time; `rate` has ``time`` (milliseconds since
    the epoch, as datetime axes take it) and ``rate``, and may have more
    (``events``, the count at the time)."""
    settings = dict(height=200, sizing_mode="stretch_width",
                    x_axis_type="datetime", y_axis_label="events/s",
                    tools="xpan,xwheel_zoom,reset,save")
    settings.update(options)
    fig = figure(name=name, **settings)
    fig.line("time", "rate", source=rate, color=colour(0), line_width=2)
    fig.scatter("time", "rate", source=rate, color=colour(0), size=4)
    return fig

