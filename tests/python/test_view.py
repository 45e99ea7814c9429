"""The run's web pages in a real headless Chromium."""
import pytest

pytestmark = pytest.mark.browser


# lma report

from kelvane import Run, cli  # noqa: E402
from kelvane.writer import (Channel, Event, Pulse, event_bytes,  # noqa: E402
                            write_lma)

from browser import chromium, keep_screenshot, requests_made  # noqa: E402

REPORT_CHANNELS = {0: Channel(gain=0.5, baseline=10), 2: Channel(gain=2.0)}


def report_event(i):
    return Event(100 + i, [[Pulse(i % 50, [i, 3 * i, -i])],
                           [Pulse(5, [7, -7 * (i % 9)]), Pulse(40, [i % 4])]],
                 horpos=0.25 * i)


@pytest.fixture(scope="module")
def report_page(tmp_path_factory):
    """A report of two files, the second ending inside a record still
    being written: (the run, the report's URL)."""
    folder = tmp_path_factory.mktemp("report")
    header = dict(nsamples=64, sample_interval=2e-9)
    write_lma(folder / "run_1.lma", REPORT_CHANNELS,
              [report_event(i) for i in range(40)], **header)
    write_lma(folder / "run_2.lma", REPORT_CHANNELS,
              [report_event(i) for i in range(40, 70)],
              tail=event_bytes(report_event(70))[:9], **header)
    out = folder / "run.html"
    assert cli.main(["report", str(folder / "run_*.lma"), "-o",
                     str(out)]) == 0
    return Run(str(folder / "run_*.lma")), out.as_uri()


# Every figure and table the page built, with its drawn size.
SHOWN = """
const shown = {};
const walk = (v) => {
    if (v.model.name) shown[v.model.name] = [v.bbox.width, v.bbox.height];
    for (const c of (v.child_views || [])) walk(c);
};
for (const r of Bokeh.index.roots) walk(r);
return shown;
"""

# The columns of every named data source.
SOURCES = """
const found = {};
for (const m of Bokeh.documents[0].all_models) {
    if (m.name && m.data) {
        const data = m.data instanceof Map ? Object.fromEntries(m.data)
                                           : m.data;
        found[m.name] = Object.fromEntries(Object.entries(data).map(
            ([k, v]) => [k, Array.from(v)]));
    }
}
return found;
"""


# The plotted event's columns after choosing each sample event in turn
# (Bokeh runs the chooser's callback asynchronously).
CHOOSE_EACH = """
const done = arguments[arguments.length - 1];
const doc = Bokeh.documents[0];
const choice = doc.get_model_by_name("event_choice");
const line = doc.get_model_by_name("event");
const plotted = {};
(async () => {
    for (const option of choice.options) {
        const before = line.data;
        choice.value = option;
        for (let t = 0; t < 100 && line.data === before &&
                        option !== choice.options[0]; t++) {
            await new Promise((r) => setTimeout(r, 20));
        }
        const data = line.data instanceof Map ? Object.fromEntries(line.data)
                                              : line.data;
        plotted[option] = Object.fromEntries(Object.entries(data).map(
            ([k, v]) => [k, Array.from(v)]));
    }
    done(plotted);
})();
"""


def test_the_report_shows_the_run_with_no_network(report_page, request):
    run, url = report_page
    with chromium(offline=True) as driver:
        try:
            driver.get(url)
            from selenium.webdriver.support.ui import WebDriverWait
            WebDriverWait(driver, 20).until(lambda d: d.execute_script(
                "return window.Bokeh && Bokeh.index.roots.length > 0"))
            shown = driver.execute_script(SHOWN)
            sources = driver.execute_script(SOURCES)
            chosen = driver.execute_async_script(CHOOSE_EACH)
            # Inline images are part of the page; nothing else is asked for.
            assert [u for u in requests_made(driver)
                    if not u.startswith("data:")] == [url]
            assert [e for e in driver.get_log("browser")
                    if e["level"] not in ("INFO", "DEBUG")] == []
        finally:
            keep_screenshot(driver, request)

    files = sources["files"]
    assert files["events"] == [40, 30] == [len(f) for f in run.files]
    assert files["damage"][0] == "" and "incomplete" in files["damage"][1]
    for key in run.keys:
        for quantity in ("maximum", "sum"):
            h = run.histogram(quantity, key)
            name = f"{key}_{quantity}"
            assert sources[f"spectrum_{name}"]["count"] == h.counts().tolist()
            assert sources[f"flow_{name}"]["count"] == [h.underflow,
                                                         h.overflow]
            assert f"spectrum_plot_{name}" in shown
    events = [int(o.split()[1]) for o in chosen]
    assert len(events) == 12 and events[0] == 0 and events[-1] == len(run) - 1
    for i, line in zip(events, chosen.values()):
        peaks = run[i].traces.max(axis=1)
        assert [max(line[k]) for k in run.keys] == pytest.approx(peaks)
    assert {"files_table", "event_plot", "event_choice"} <= set(shown)
    assert all(w > 0 and h > 0 for w, h in shown.values())
