"""The page of `lma view`: one Bokeh document per browser tab over the run
the server shares (`data.Watched`).

Its models carry names, so that a script or a test reads what the page
shows through its own data sources, e.g. in the browser
``Bokeh.documents[0].get_model_by_name("waveform").data``:

    totals        Div: "N files, M events"
    files_table, rate_plot, waveform_plot, event_table, spectrum_plot
                  the tables and figures
    status        Div: the last refused input or a stopped refresh
    files         source: file, events, damage (one row per file)
    rate          source: time (ms since the epoch), rate (events/s),
                  events (the run's count then)
    waveform      source: time (s) and one column per event key
    pulses        source: the stored pulses of the event shown
    event         source: field, value (file, event in file, index, tag,
                  horpos and each feature of each channel)
    prev, next    Buttons; the arrow keys do the same
    jump_index, jump_tag   TextInputs; follow_latest  Toggle
    keys          source the keydown listener writes (step, count)
    quantity, channel, bins, hist_range, threshold, window, fraction,
    polarity, log          the spectrum's settings
    spectrum_plot, spectrum_plot_log   its figures, linear and log counts,
                  the one of `log` shown
    spectrum      source: left, right, count (the bins)
    spectrum_flow source: left, right, count, kind (under- and overflow)
    download      source: csv, json, csv_name, json_name (as `lma spectrum`
                  writes them); download_csv, download_json  Buttons
    select_low, select_high  TextInputs: the range that stepping keeps to;
    select_clear  Button; selection  Div

In the page, ``window.kelvaneTimings`` collects the milliseconds from each
arrow key to the next animation frame after the waveform changed.

Every value a widget sends is parsed as a number or looked up among the
run's own channels and quantities; nothing sent names a file.
"""

from __future__ import annotations

import math
from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np
from bokeh.events import SelectionGeometry
from bokeh.layouts import column, row
from bokeh.models import (Button, ColumnDataSource, CustomJS, DataTable, Div,
                          Select, TableColumn, TextInput, Toggle)

from ..features import QUANTITIES
from ..histogram import Histogram
from ..cli.spectrum import counts_names, counts_text
from .data import RATE_POINTS, Spectrum, Watched
from . import plots

__all__ = ["Page"]

# How often a page looks for events the server's refresh took in (ms).
POLL_MS = 500

# Keeps the arrow keys to the page, not to a field being typed in; tells
# the server through the `keys` source, the one way a page's script can
# reach it.
KEYDOWN = """
if (window.kelvaneKeys === undefined) {
    window.kelvaneKeys = true;
    window.kelvaneTimings = [];
    document.addEventListener("keydown", (e) => {
        const target = e.composedPath()[0];
        if (target && ["INPUT", "TEXTAREA", "SELECT"].includes(target.tagName))
            return;
        const step = e.key === "ArrowRight" ? 1
            : e.key === "ArrowLeft" ? -1 : 0;
        if (step === 0)
            return;
        e.preventDefault();
        window.kelvanePressed = performance.now();
        keys.data = {step: [step], count: [keys.data.count[0] + 1]};
    });
}
"""

# The latency hook: from the key press to the frame after the new trace.
DRAWN = """
if (window.kelvanePressed != null) {
    const pressed = window.kelvanePressed;
    window.kelvanePressed = null;
    requestAnimationFrame(() => window.kelvaneTimings.push(
        performance.now() - pressed));
}
"""

DOWNLOAD = """
const text = source.data[kind][0];
const type = kind === "csv" ? "text/csv" : "application/json";
const blob = new Blob([text], {type: type});
const link = document.createElement("a");
link.href = URL.createObjectURL(blob);
link.download = source.data[kind + "_name"][0];
document.body.appendChild(link);
link.click();
link.remove();
"""


class Page:
    """The widgets, plots and callbacks of one browser tab over `watched`,
    added to `doc`."""

    def __init__(self, watched: Watched, doc: Any, title: str) -> None:
        self.watched = watched
        self.run = watched.run
        self.doc = doc
        self.current: Optional[int] = None
        self.spectrum: Optional[Spectrum] = None
        self.selected: Optional[Tuple[float, float]] = None
        self.seen_events = len(self.run)
        self.seen_files = len(self.run.files)
        self.seen_rates = 0
        self._build(title)
        doc.add_root(self.layout)
        # Drawn by nothing, so a root of its own to be part of the page.
        doc.add_root(self.keys)
        doc.title = f"{title} — lma view"
        doc.js_on_event("document_ready",
                        CustomJS(args=dict(keys=self.keys), code=KEYDOWN))
        if len(self.run):
            self.show(0)
        # After the page is first sent: the summary and the first event
        # need not wait for a pass over the whole run.
        doc.add_next_tick_callback(self.draw_spectrum)
        doc.add_periodic_callback(self.poll, POLL_MS)

    # --- building ------------------------------------------------------------

    def _build(self, title: str) -> None:
        run = self.run
        self.totals = Div(name="totals", text=self._totals())
        self.status = Div(name="status", text="",
                          styles={"color": "#b00"})
        self.files = ColumnDataSource(plots.summary_data(run), name="files")
        self.rate = ColumnDataSource({"time": [], "rate": [], "events": []},
                                     name="rate")
        summary = column(
            Div(text=f"<h2>{_escape(title)}</h2>"), self.totals, self.status,
            plots.summary_table(self.files),
            plots.rate_figure(self.rate, title="arrival rate"),
            sizing_mode="stretch_width")

        flat = np.zeros(run.nsamples)
        self.waveform = ColumnDataSource({"time": run.time,
                                          **{k: flat for k in run.keys}},
                                         name="waveform")
        self.pulses = ColumnDataSource(
            {k: [] for k in ("channel", "left", "right", "bottom", "top",
                             "colour")}, name="pulses")
        self.event = ColumnDataSource({"field": [], "value": []},
                                      name="event")
        self.waveform.js_on_change("data", CustomJS(code=DRAWN))
        self.keys = ColumnDataSource({"step": [0], "count": [0]},
                                     name="keys")
        self.keys.on_change("data", self._key)
        prev = Button(label="◀ previous", name="prev", width=110)
        after = Button(label="next ▶", name="next", width=110)
        prev.on_click(lambda: self.step(-1))
        after.on_click(lambda: self.step(1))
        self.jump_index = TextInput(name="jump_index", title="go to index",
                                    width=120)
        self.jump_tag = TextInput(name="jump_tag", title="go to tag",
                                  width=120)
        self.jump_index.on_change("value", self._jump_index)
        self.jump_tag.on_change("value", self._jump_tag)
        self.follow_latest = Toggle(name="follow_latest",
                                    label="follow latest", width=120)
        self.follow_latest.on_change("active", self._follow)
        table = DataTable(source=self.event, name="event_table", width=300,
                          height=380, index_position=None, reorderable=False,
                          columns=[TableColumn(field="field", title="",
                                               width=150),
                                   TableColumn(field="value", title="",
                                               width=150)])
        browser = column(
            Div(text="<h3>Events</h3>"),
            row(prev, after, self.jump_index, self.jump_tag,
                self.follow_latest, align="end"),
            row(plots.waveform_figure(run.keys, self.waveform, self.pulses),
                table, sizing_mode="stretch_width"),
            sizing_mode="stretch_width")

        self.spectrum_bins = ColumnDataSource(
            {"left": [], "right": [], "count": []}, name="spectrum")
        self.spectrum_flow = ColumnDataSource(
            {"left": [], "right": [], "count": [], "kind": []},
            name="spectrum_flow")
        self.download = ColumnDataSource(
            {k: [""] for k in ("csv", "json", "csv_name", "json_name")},
            name="download")
        self.settings: Dict[str, Any] = {
            "quantity": Select(name="quantity", title="quantity",
                               value="maximum", options=list(QUANTITIES),
                               width=110),
            "channel": Select(name="channel", title="channel",
                              value=run.keys[0], options=list(run.keys),
                              width=110),
            "bins": TextInput(name="bins", title="bins", value="100",
                              width=70),
            "hist_range": TextInput(name="hist_range", title="range LO:HI",
                                    value="", placeholder="of the values",
                                    width=120),
            "threshold": TextInput(name="threshold", title="threshold",
                                   value="", width=80),
            "window": TextInput(name="window", title="window A:B", value="",
                                width=90),
            "fraction": TextInput(name="fraction", title="cfd fraction",
                                  value="0.5", width=80),
            "polarity": Select(name="polarity", title="polarity", value="1",
                               options=["1", "-1"], width=70),
        }
        for widget in self.settings.values():
            widget.on_change("value",
                             lambda attr, old, new: self.draw_spectrum())
        self.log = Toggle(name="log", label="log counts", width=100)
        self.log.on_change("active",
                           lambda attr, old, new: self._show_scale())
        csv = Button(label="counts as CSV", name="download_csv", width=120)
        json = Button(label="counts as JSON", name="download_json",
                      width=120)
        for button, kind in ((csv, "csv"), (json, "json")):
            button.js_on_click(CustomJS(args=dict(source=self.download,
                                                  kind=kind),
                                        code=DOWNLOAD))
        self.select_low = TextInput(name="select_low", title="events from",
                                    width=110)
        self.select_high = TextInput(name="select_high", title="to",
                                     width=110)
        for widget in (self.select_low, self.select_high):
            widget.on_change("value", lambda attr, old, new: self._select())
        clear = Button(label="all events", name="select_clear", width=100)
        clear.on_click(self._clear_selection)
        self.selection = Div(name="selection", text="stepping through "
                                                    "every event")
        # Both scales drawn once, one shown: a figure's scale cannot change.
        self.spectrum_figures = [
            plots.spectrum_figure(self.spectrum_bins, self.spectrum_flow,
                                  label="", log=log, name=name, visible=shown)
            for log, name, shown in ((False, "spectrum_plot", True),
                                     (True, "spectrum_plot_log", False))]
        for fig in self.spectrum_figures:
            fig.on_event(SelectionGeometry, self._box_selected)
        spectra = column(
            Div(text="<h3>Spectrum</h3>"),
            row(*self.settings.values(), self.log, csv, json, align="end"),
            *self.spectrum_figures,
            row(self.select_low, self.select_high, clear, self.selection,
                align="end"),
            sizing_mode="stretch_width")
        self.layout = column(summary, browser, spectra,
                             sizing_mode="stretch_width")

    def _totals(self) -> str:
        n = len(self.run.files)
        return (f"{n} file{'s' if n != 1 else ''}, {len(self.run)} events")

    def refuse(self, message: str) -> None:
        self.status.text = _escape(message)

    # --- one event -----------------------------------------------------------

    def show(self, index: int) -> None:
        """Draws event `index` with its pulses and lists what it is."""
        run = self.run
        lines, pulses = plots.waveform_data(run, index)
        file, within = run.locate(index)
        tag, horpos = run.files[file].tags[within], \
            run.files[file].horpos[within]
        fields = [("file", plots.file_label(run.sources[file])),
                  ("event in file", str(within)), ("index", str(index)),
                  ("tag", str(int(tag))), ("horpos", f"{float(horpos):g}")]
        feat = run.features(index, index + 1)
        for q, values in feat.values.items():
            for key, value in zip(feat.channels, values[0].tolist()):
                fields.append((f"{key} {q}", f"{value:g}"))
        self.current = index
        self.waveform.data = lines
        self.pulses.data = pulses
        self.event.data = {"field": [f for f, _ in fields],
                           "value": [v for _, v in fields]}

    def step(self, direction: int) -> None:
        """Shows the next or the previous event, of the selected range's
        only while one is selected."""
        n = len(self.run)
        if n == 0:
            return
        current = -1 if self.current is None else self.current
        if self.selected is not None and self.spectrum is not None:
            found = self.spectrum.step(current, direction, *self.selected)
        else:
            found = current + direction
            found = found if 0 <= found < n else None
        if found is not None:
            self.show(found)

    def _key(self, attr: str, old: Any, new: Dict[str, List[Any]]) -> None:
        steps = new.get("step") or [0]
        if steps[0] in (1, -1):
            self.step(int(steps[0]))

    def _jump_index(self, attr: str, old: str, new: str) -> None:
        try:
            index = int(new.strip())
            if index < 0:
                index += len(self.run)
            self.run._index(index)
        except (ValueError, IndexError):
            self.refuse(f"no event at index {new!r} of {len(self.run)}")
            return
        self.status.text = ""
        self.show(index)

    def _jump_tag(self, attr: str, old: str, new: str) -> None:
        try:
            found = self.run.find(int(new.strip()))
        except (ValueError, OverflowError):
            found = np.empty(0, np.int64)
        if not found.size:
            self.refuse(f"no event with tag {new!r}")
            return
        self.status.text = ""
        self.show(int(found[0]))

    def _follow(self, attr: str, old: bool, new: bool) -> None:
        if new and len(self.run):
            self.show(len(self.run) - 1)

    # --- the spectrum --------------------------------------------------------

    def _spectrum_settings(self) -> Optional[Dict[str, Any]]:
        """The settings as the widgets hold them, checked; None (and the
        reason shown) when one is refused."""
        get = {k: str(w.value).strip() for k, w in self.settings.items()}
        quantity, channel = get["quantity"], get["channel"]
        if quantity not in QUANTITIES:
            return self._refused(f"no quantity {quantity!r}")
        if channel not in self.run.keys:
            return self._refused(f"no channel {channel!r}")
        try:
            bins = int(get["bins"])
            if not 1 <= bins <= 10_000:
                raise ValueError
        except ValueError:
            return self._refused(f"bins must be 1 to 10000: {get['bins']!r}")
        settings: Dict[str, Any] = {"quantity": quantity, "channel": channel,
                                    "bins": bins}
        try:
            settings["range"] = _pair(get["hist_range"], float) \
                if get["hist_range"] else None
            if get["window"]:
                settings["window"] = _pair(get["window"], int)
            if get["threshold"]:
                settings["threshold"] = _finite(get["threshold"])
            settings["fraction"] = _finite(get["fraction"] or "0.5")
            settings["polarity"] = int(get["polarity"])
        except ValueError as error:
            return self._refused(str(error))
        return settings

    def _refused(self, message: str) -> None:
        self.refuse(message)
        return None

    def draw_spectrum(self) -> None:
        """Makes the spectrum of the settings over the run so far; its bins
        stay as drawn while the run grows."""
        settings = self._spectrum_settings()
        if settings is None:
            return
        try:
            self.spectrum = Spectrum(self.run, **settings)
        except (ValueError, TypeError, IndexError) as error:
            self.refuse(str(error))
            return
        self.status.text = ""
        self._fill_spectrum()
        # The figures stay; new counts cost the page less than new figures.
        for fig in self.spectrum_figures:
            fig.xaxis.axis_label = self._axis_label()
        self._select()

    def _fill_spectrum(self) -> None:
        spectrum = self.spectrum
        assert spectrum is not None
        h = spectrum.histogram
        bins, flow = plots.spectrum_data(h)
        self.spectrum_bins.data = bins
        self.spectrum_flow.data = flow
        names = counts_names(spectrum.label, spectrum.quantity)
        written = Histogram(h.edges, h.counts(), underflow=h.underflow,
                            overflow=h.overflow, no_value=h.no_value,
                            integer=h.integer, **names)
        self.download.data = {
            "csv": [counts_text(written, "csv")],
            "json": [counts_text(written, "json")],
            "csv_name": [f"{names['name']}.csv"],
            "json_name": [f"{names['name']}.json"]}

    def _show_scale(self) -> None:
        linear, log = self.spectrum_figures
        linear.visible, log.visible = not self.log.active, self.log.active

    def _axis_label(self) -> str:
        assert self.spectrum is not None
        return counts_names(self.spectrum.label,
                            self.spectrum.quantity)["label"]

    # --- the range stepping keeps to -----------------------------------------

    def _box_selected(self, event: Any) -> None:
        geometry = event.geometry
        if geometry.get("type") != "rect" or not event.final:
            return
        low, high = sorted((geometry["x0"], geometry["x1"]))
        self.select_low.value = f"{low:g}"
        self.select_high.value = f"{high:g}"

    def _select(self) -> None:
        low, high = self.select_low.value.strip(), \
            self.select_high.value.strip()
        if not low and not high:
            self.selected = None
            self.selection.text = "stepping through every event"
            return
        try:
            bounds = (_finite(low) if low else -math.inf,
                      _finite(high) if high else math.inf)
        except ValueError as error:
            self.refuse(str(error))
            return
        self.selected = bounds
        self._count_selected()

    def _count_selected(self) -> None:
        if self.selected is None or self.spectrum is None:
            return
        n = int(np.count_nonzero(self.spectrum.in_range(*self.selected)))
        low, high = self.selected
        self.selection.text = (f"stepping through the {n} events with "
                               f"{_escape(self.spectrum.label)} from "
                               f"{low:g} to {high:g}")

    def _clear_selection(self) -> None:
        self.select_low.value = ""
        self.select_high.value = ""

    # --- while the run grows -------------------------------------------------

    def poll(self) -> None:
        """Shows what the server's refresh took in since the last poll."""
        watched, run = self.watched, self.run
        if watched.error is not None and self.status.text != watched.error:
            self.refuse(watched.error)
        fresh = watched.rates_since(self.seen_rates)
        if fresh:
            self.rate.stream({name: list(column) for name, column in
                              zip(("time", "rate", "events"), zip(*fresh))},
                             rollover=RATE_POINTS)
        self.seen_rates = watched.rates_added
        if len(run) == self.seen_events and \
                len(run.files) == self.seen_files:
            return
        self.seen_events, self.seen_files = len(run), len(run.files)
        self.totals.text = self._totals()
        self.files.data = plots.summary_data(run)
        if self.spectrum is not None and self.spectrum.done == 0 and \
                not self.settings["hist_range"].value.strip():
            # Drawn over no events, its range was no one's: take the
            # first events' own.
            self.draw_spectrum()
        elif self.spectrum is not None and self.spectrum.catch_up(run):
            self._fill_spectrum()
            self._count_selected()
        if self.follow_latest.active and len(run):
            self.show(len(run) - 1)
        elif self.current is None and len(run):
            self.show(0)


def _pair(text: str, kind: Callable[[str], Any]) -> Tuple[Any, Any]:
    try:
        low, high = (kind(part) for part in text.split(":"))
    except ValueError:
        raise ValueError(f"not LO:HI: {text!r}") from None
    if not (math.isfinite(low) and math.isfinite(high) and low < high):
        raise ValueError(f"not LO < HI, both finite: {text!r}")
    return low, high


def _finite(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise ValueError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise ValueError(f"not a finite number: {text!r}")
    return value


def _escape(text: str) -> str:
    return (text.replace("&", "&amp;").replace("<", "&lt;")
            .replace(">", "&gt;"))
