"""The pages of a run in a real browser: `lma view` served from a
subprocess over a generated run, read through the page's own data
sources."""

import contextlib
import http.client
import http.server
import os
import re
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time
import tracemalloc
from pathlib import Path

import numpy as np
import pytest

import kelvane
from kelvane.writer import Channel, Event, Pulse, event_bytes, write_lma

from browser import chromium, free_of_writes, keep_screenshot

pytestmark = pytest.mark.browser

CHANNELS = {0: Channel(fullscale=2000, gain=0.5, baseline=10),
            2: Channel(offset=-7, gain=2.0)}
NSAMPLES = 200
# An origin a tunnel's local end could have, passed with --allow-origin.
TUNNEL = "localhost:47011"
# What the environment would add to the origins, were it listened to.
HOSTILE = "evil.example:80"


def events(first_tag, n, seed):
    """`n` events with tags from `first_tag`, a few pulses per channel."""
    rng = np.random.default_rng(seed)
    made = []
    for k in range(n):
        sections = [[Pulse(int(rng.integers(0, NSAMPLES - 20)),
                           rng.integers(-900, 900, 12).tolist())
                     for _ in range(int(rng.integers(0, 3)))]
                    for _ in CHANNELS]
        made.append(Event(first_tag + k, sections,
                          horpos=float(rng.normal())))
    return made


def write_part(path, first_tag, n, seed, tail=b""):
    write_lma(path, CHANNELS, events(first_tag, n, seed), tail=tail,
              nsamples=NSAMPLES, sample_interval=2e-9)


def start_view(*argv, env=None, browser=False):
    """`lma view ... --port 0 --no-browser` (with `browser`, without it) in
    a subprocess: (process, URL), once it printed its line."""
    proc = subprocess.Popen(
        [sys.executable, "-m", "kelvane", "view", *map(str, argv),
         "--port", "0"] + ([] if browser else ["--no-browser"]),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    line = proc.stdout.readline()
    found = re.search(r" at (http://127\.0\.0\.1:\d+/) — Ctrl-C to stop$",
                      line.rstrip("\n"))
    if found is None:
        proc.kill()
        pytest.fail(f"no address printed: {line!r} {proc.communicate()[1]}")
    return proc, found.group(1)


def stop_view(proc):
    """Ctrl-C; returns the exit status, and keeps what was said on
    standard error as `proc.said`."""
    proc.send_signal(signal.SIGINT)
    try:
        proc.said = proc.communicate(timeout=15)[1]
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.said = proc.communicate()[1]
    return proc.returncode


@pytest.fixture(scope="module")
def generated_run(tmp_path_factory):
    """A run of three files, the first with its persistent index, the last
    ending inside a record: (folder, glob)."""
    folder = tmp_path_factory.mktemp("run")
    write_part(folder / "run0042_000.lma", 1000, 40, 1)
    write_part(folder / "run0042_001.lma", 2000, 50, 2)
    cut = event_bytes(Event(3030, [[Pulse(5, [1] * 12)], []]))[:30]
    write_part(folder / "run0042_002.lma", 3000, 30, 3, tail=cut)
    subprocess.run([sys.executable, "-m", "kelvane", "index",
                    str(folder / "run0042_000.lma")], check=True,
                   capture_output=True)
    return folder, str(folder / "run0042_*.lma")


@pytest.fixture(scope="module")
def served(generated_run):
    """`lma view` of the generated run, its folder as it was before:
    (process, URL, snapshot)."""
    folder, pattern = generated_run
    before = free_of_writes(folder)
    env = dict(os.environ, BOKEH_ALLOW_WS_ORIGIN=HOSTILE)
    proc, url = start_view(pattern, "--allow-origin", TUNNEL, env=env)
    yield proc, url, before
    assert stop_view(proc) == 0


@pytest.fixture(scope="module")
def browser():
    with chromium() as driver:
        yield driver


@pytest.fixture
def page(served, browser, request):
    """The browser on a fresh page of the served run; a screenshot is kept
    if the test fails."""
    browser.get(served[1])
    wait_for(lambda: js(browser, "return window.Bokeh !== undefined && "
                                 "Bokeh.documents.length > 0 && "
                                 "model('event').data.field.length > 0"))
    yield browser
    keep_screenshot(browser, request)


# --- reading and driving the page --------------------------------------------

MODEL = "const model = (name) => Bokeh.documents[0].get_model_by_name(name);\n"


def js(driver, code, *args):
    return driver.execute_script(MODEL + code, *args)


def data(driver, name):
    """A data source's columns as lists."""
    return js(driver, "const d = model(arguments[0]).data; const o = {};"
                      "for (const k in d) o[k] = Array.from(d[k]); return o;",
              name)


def shown_fields(driver):
    d = data(driver, "event")
    return dict(zip(d["field"], d["value"]))


def set_value(driver, name, value):
    js(driver, "model(arguments[0]).value = arguments[1];", name, value)


def click(driver, label):
    """Clicks the button whose text is `label`, inside the widgets' shadow
    roots as a user would."""
    assert js(driver, """
        const look = (root) => {
            for (const el of root.querySelectorAll("*")) {
                if (el.tagName === "BUTTON" &&
                        el.textContent.trim() === arguments[0]) return el;
                if (el.shadowRoot) {
                    const found = look(el.shadowRoot);
                    if (found) return found;
                }
            }
            return null;
        };
        const button = look(document);
        if (button) button.click();
        return button !== null;""", label)


def press(driver, key):
    from selenium.webdriver.common.by import By
    driver.find_element(By.TAG_NAME, "body").send_keys(key)


def wait_for(condition, timeout=10.0):
    """The first true value of `condition()`, polled; fails at
    `timeout`."""
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            pytest.fail(f"not within {timeout} s: {condition}")
        time.sleep(0.05)


def shows(driver, run, index):
    """Whether the page shows event `index` of `run`: its number and its
    traces."""
    if shown_fields(driver).get("index") != str(index):
        return False
    lines = data(driver, "waveform")
    event = run[index]
    return all(np.array_equal(lines[key], trace)
               for key, trace in zip(run.keys, event.traces))


# --- what the page shows -----------------------------------------------------

def test_summary_counts_are_the_runs(page, generated_run):
    run = kelvane.Run(generated_run[1])
    assert js(page, "return model('totals').text") == \
        f"3 files, {len(run)} events"
    files = data(page, "files")
    assert files["events"] == np.diff(run.bounds).tolist()
    assert files["file"] == [os.path.basename(p) for p in run.paths]
    # The record still being written is said to be so, not damage.
    assert files["damage"][:2] == ["", ""]
    assert "incomplete (the file may still be being written)" in \
        files["damage"][2]


@pytest.mark.parametrize("how", ["buttons", "keys"])
def test_stepping_shows_each_event_in_turn(page, generated_run, how):
    from selenium.webdriver.common.keys import Keys
    run = kelvane.Run(generated_run[1])
    start = int(run.starts[1]) - 2        # across a file's end
    set_value(page, "jump_index", str(start))
    wait_for(lambda: shows(page, run, start))
    forward = ((lambda: click(page, "next ▶")) if how == "buttons"
               else (lambda: press(page, Keys.ARROW_RIGHT)))
    back = ((lambda: click(page, "◀ previous")) if how == "buttons"
            else (lambda: press(page, Keys.ARROW_LEFT)))
    for i in range(start + 1, start + 4):
        forward()
        wait_for(lambda: shows(page, run, i))
    back()
    wait_for(lambda: shows(page, run, start + 2))
    fields = shown_fields(page)
    assert fields["file"] == "run0042_001.lma"
    assert fields["event in file"] == "0"
    assert fields["tag"] == str(run.tags[start + 2])
    # Its stored pulses are marked, one box each.
    assert len(data(page, "pulses")["left"]) == \
        len(run.pulses(start + 2, start + 3).event)
    if how == "keys":
        assert js(page, "return window.kelvaneTimings.length") >= 4


@pytest.mark.parametrize("tag", [1005, 2049, 3000])
def test_jump_by_tag_across_files(page, generated_run, tag):
    run = kelvane.Run(generated_run[1])
    set_value(page, "jump_tag", str(tag))
    index = int(run.find(tag)[0])
    wait_for(lambda: shows(page, run, index))
    assert shown_fields(page)["tag"] == str(tag)


SPECTRA = [("maximum", "channel0", {}, {}),
           ("sum", "channel2", {"window": "10:150"}, {"window": (10, 150)}),
           ("argmax", "channel0", {"hist_range": "0:120"}, {}),
           ("crossing", "channel2", {"threshold": "40", "polarity": "-1"},
            {"threshold": 40.0, "polarity": -1})]


@pytest.mark.parametrize("quantity,channel,widgets,options", SPECTRA)
def test_spectrum_counts_are_run_histograms(page, generated_run, quantity,
                                            channel, widgets, options):
    run = kelvane.Run(generated_run[1])
    limits = widgets.get("hist_range")
    expected = run.histogram(
        quantity, channel, bins=37,
        range=tuple(map(float, limits.split(":"))) if limits else None,
        **options)
    for name, value in widgets.items():
        set_value(page, name, value)
    set_value(page, "channel", channel)
    set_value(page, "bins", "37")
    set_value(page, "quantity", quantity)

    want = expected.counts().tolist()
    bins = wait_for(lambda: (lambda b: b["count"] == want and b)(
        data(page, "spectrum")))
    assert np.allclose(bins["left"], expected.edges[:-1])
    flow = data(page, "spectrum_flow")["count"]
    assert flow == [expected.underflow, expected.overflow]


def test_log_counts_keep_the_counts(page, generated_run):
    run = kelvane.Run(generated_run[1])
    want = run.histogram("maximum", "channel0").counts().tolist()
    wait_for(lambda: data(page, "spectrum")["count"] == want)
    shown = "return [model('spectrum_plot').visible, " \
            "model('spectrum_plot_log').visible]"
    click(page, "log counts")
    wait_for(lambda: js(page, shown) == [False, True])
    assert js(page, "return model('spectrum_plot_log').y_scale.type") == \
        "LogScale"
    assert data(page, "spectrum")["count"] == want

@pytest.mark.parametrize("suffix", ["csv", "json"])
def test_downloads_are_what_lma_spectrum_writes(page, generated_run,
                                                tmp_path, suffix):
    out = tmp_path / f"counts.{suffix}"
    subprocess.run([sys.executable, "-m", "kelvane", "spectrum",
                    generated_run[1], "--channel", "channel2", "--quantity",
                    "sum", "--bins", "23", "-o", str(out)],
                   capture_output=True)     # status 1: the cut-short record
    assert out.exists()
    set_value(page, "channel", "channel2")
    set_value(page, "quantity", "sum")
    set_value(page, "bins", "23")
    wait_for(lambda: data(page, "download")[suffix][0] == out.read_text())
    assert data(page, "download")[f"{suffix}_name"] == \
        [f"channel2_sum.{suffix}"]


def test_a_range_restricts_stepping_to_the_events_in_it(page,
                                                        generated_run):
    from selenium.webdriver.common.keys import Keys
    run = kelvane.Run(generated_run[1])
    values = run.features(channels=["channel0"], quantities=["maximum"]) \
        .values["maximum"][:, 0]
    low, high = np.sort(values)[[20, 27]]
    inside = np.flatnonzero((values >= low) & (values <= high))
    set_value(page, "jump_index", "0")
    wait_for(lambda: shows(page, run, 0))
    set_value(page, "select_low", repr(float(low)))
    set_value(page, "select_high", repr(float(high)))
    wait_for(lambda: js(page, "return model('selection').text")
             .startswith(f"stepping through the {len(inside)} events"))
    expected = [int(i) for i in inside if i > 0]
    for i in expected:
        press(page, Keys.ARROW_RIGHT)
        wait_for(lambda: shows(page, run, i))
    # Past the last one in range, stepping stays put.
    press(page, Keys.ARROW_RIGHT)
    time.sleep(0.5)
    assert shown_fields(page)["index"] == str(expected[-1])
    press(page, Keys.ARROW_LEFT)
    wait_for(lambda: shows(page, run, expected[-2]))


def plot_box(driver, name):
    """The figure `name` scrolled into view: (x, y, width, height) in the
    viewport."""
    return js(driver, """
        const view = Bokeh.index.find_one(model(arguments[0]));
        view.el.scrollIntoView({block: "center"});
        const r = view.el.getBoundingClientRect();
        return [r.x, r.y, r.width, r.height];""", name)


def test_a_box_on_the_spectrum_selects_its_range(page, generated_run):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.actions.action_builder import \
        ActionBuilder
    run = kelvane.Run(generated_run[1])
    x, y, width, height = plot_box(page, "spectrum_plot")
    drag = ActionBuilder(page)
    drag.pointer_action.move_to_location(int(x + 0.3 * width),
                                         int(y + height / 2))
    drag.pointer_action.pointer_down()
    drag.pointer_action.move_to_location(int(x + 0.6 * width),
                                         int(y + height / 2 + 5))
    drag.pointer_action.pointer_up()
    drag.perform()
    ActionChains(page).reset_actions()
    low, high = (float(wait_for(lambda: js(
        page, "return model(arguments[0]).value", n)))
        for n in ("select_low", "select_high"))
    assert low < high
    values = run.features(channels=["channel0"], quantities=["maximum"]) \
        .values["maximum"][:, 0]
    n = int(np.count_nonzero((values >= low) & (values <= high)))
    wait_for(lambda: js(page, "return model('selection').text")
             .startswith(f"stepping through the {n} events"))


def test_zoom_stays_while_stepping(page, generated_run):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
    from selenium.webdriver.common.keys import Keys
    run = kelvane.Run(generated_run[1])
    x, y, width, height = plot_box(page, "waveform_plot")
    ranges = "const r = model('waveform_plot').x_range; " \
             "return [r.start, r.end];"
    whole = js(page, ranges)
    ActionChains(page).scroll_from_origin(ScrollOrigin.from_viewport(
        int(x + width / 3), int(y + height / 2)), 0, -300).perform()
    zoomed = wait_for(lambda: (lambda r: r != whole and r)(js(page, ranges)))
    press(page, Keys.ARROW_RIGHT)
    wait_for(lambda: shows(page, run, 1))
    assert js(page, ranges) == zoomed

REFUSED = [("bins", "100000000", "bins"), ("bins", "-3", "bins"),
           ("jump_index", "100000", "no event"),
           ("jump_tag", "77", "no event with tag"),
           ("hist_range", "5:1", "not LO"),
           ("threshold", "nan", "finite")]


@pytest.mark.parametrize("name,value,said", REFUSED)
def test_values_out_of_bounds_are_refused(page, name, value, said):
    set_value(page, name, value)
    wait_for(lambda: said in js(page, "return model('status').text"))


# --- what a request can reach ------------------------------------------------

class Counting(http.server.BaseHTTPRequestHandler):
    hits = []

    def do_GET(self):
        Counting.hits.append(self.path)
        self.send_response(200)
        self.end_headers()
        self.wfile.write(b"\x1b" * 4096)

    def log_message(self, *args):
        pass


@contextlib.contextmanager
def counting_server():
    server = http.server.HTTPServer(("127.0.0.1", 0), Counting)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_port}"
    finally:
        server.shutdown()
        server.server_close()


# Every value the page sends to the server.
SENT = ["jump_index", "jump_tag", "quantity", "channel", "bins",
        "hist_range", "threshold", "window", "fraction", "polarity",
        "select_low", "select_high"]


def test_no_request_opens_another_file_or_url(page, served, generated_run,
                                              tmp_path):
    folder, pattern = generated_run
    other = tmp_path / "other.lma"
    write_part(other, 9000, 7, 9)
    run = kelvane.Run(pattern)
    url = served[1]
    port = int(url.rsplit(":", 1)[1].strip("/"))
    with counting_server() as elsewhere:
        crafted = [f"../{other.parent.name}/other.lma", str(other),
                   f"file://{other}", f"{elsewhere}/other.lma",
                   "../" * 12 + "etc/passwd"]
        for name in SENT:
            for value in crafted:
                set_value(page, name, value)
        for path in [f"/?file={v}&source={v}&url={v}" for v in crafted] + \
                ["/static/../../../../../etc/passwd",
                 "/static/%2e%2e/%2e%2e/%2e%2e/%2e%2e/etc/passwd",
                 f"/static/..%2f..%2f..%2f{other}"]:
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            conn.request("GET", path)
            body = conn.getresponse().read()
            conn.close()
            assert b"root:" not in body and b"\x1b\x1b" not in body
        time.sleep(1.0)
        assert Counting.hits == []
    # Still the run it was started on, and still answering.
    assert js(page, "return model('totals').text") == \
        f"3 files, {len(run)} events"
    set_value(page, "jump_index", "3")
    wait_for(lambda: shows(page, run, 3))


def ws_status(port, origin, token, host="127.0.0.1"):
    conn = http.client.HTTPConnection(host, port, timeout=10)
    conn.request("GET", "/ws", headers={
        "Upgrade": "websocket", "Connection": "Upgrade",
        "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ==",
        "Sec-WebSocket-Version": "13", "Origin": origin,
        "Sec-WebSocket-Protocol": f"bokeh, {token}"})
    status = conn.getresponse().status
    conn.close()
    return status


@pytest.mark.parametrize("origin,accepted", [
    ("http://127.0.0.1:{port}", True), ("http://localhost:{port}", True),
    (f"http://{TUNNEL}", True),
    # Named in BOKEH_ALLOW_WS_ORIGIN, which must not widen the origins.
    (f"http://{HOSTILE}", False),
    ("http://127.0.0.1:{other}", False), ("http://example.com", False),
    ("null", False)])
def test_websockets_only_from_the_pages_origins(served, origin, accepted):
    port = int(served[1].rsplit(":", 1)[1].strip("/"))
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    conn.request("GET", "/")
    page = conn.getresponse().read().decode()
    conn.close()
    token = re.search(r'token\W+([A-Za-z0-9_.-]{20,})', page).group(1)
    status = ws_status(port, origin.format(port=port, other=port + 1), token)
    assert status == (101 if accepted else 403)


def outside_address():
    """An address of this machine other than loopback, or None."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.connect(("192.0.2.1", 9))
            address = s.getsockname()[0]
        except OSError:
            return None
    return None if address.startswith("127.") else address


def test_listens_on_loopback_only(served):
    port = int(served[1].rsplit(":", 1)[1].strip("/"))
    for family, host in ((socket.AF_INET, "127.0.0.1"),
                         (socket.AF_INET6, "::1")):
        with socket.socket(family) as s:
            try:
                s.connect((host, port))
            except OSError as error:
                if family == socket.AF_INET6 and not socket.has_ipv6:
                    continue
                pytest.fail(f"not listening on {host}: {error}")
    address = outside_address()
    if address is None:
        pytest.skip("no address here but loopback")
    with socket.socket() as s, pytest.raises(ConnectionRefusedError):
        s.connect((address, port))



def test_another_host_warns_and_takes_its_own_origin(generated_run):
    address = outside_address()
    if address is None:
        pytest.skip("no address here but loopback")
    proc = subprocess.Popen(
        [sys.executable, "-m", "kelvane", "view", generated_run[1],
         "--host", address, "--port", "0", "--no-browser"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        port = int(re.search(rf"at http://{address}:(\d+)/ ", line).group(1))
        conn = http.client.HTTPConnection(address, port, timeout=10)
        conn.request("GET", "/")
        token = re.search(r'token\W+([A-Za-z0-9_.-]{20,})',
                          conn.getresponse().read().decode()).group(1)
        conn.close()
        statuses = [ws_status(port, f"http://{origin}:{port}", token,
                              host=address)
                    for origin in (address, "192.0.2.99", "example.com")]
        assert statuses == [101, 403, 403]
    finally:
        assert stop_view(proc) == 0
    assert f"lma: warning: listening on {address}: anyone who can reach " \
           f"port {port} there can read the run" in proc.said


def test_without_bokeh_view_says_what_to_install(generated_run):
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent("""
            import sys
            sys.modules["bokeh"] = None
            from kelvane.cli import main
            sys.exit(main(["view", sys.argv[1], "--no-browser"]))"""),
         generated_run[1]], capture_output=True, text=True)
    assert proc.returncode == 2
    assert proc.stderr.splitlines() == [
        "lma: error: view needs bokeh: pip install 'kelvane[view]'"]

# --- a run being written -----------------------------------------------------

WRITER = """
import sys, time
from pathlib import Path
sys.path.insert(0, {tests!r})
from test_view import CHANNELS, NSAMPLES, events
from kelvane.writer import event_bytes, header_bytes

folder = Path({folder!r})
bursts = [events(5000, 40, 11), events(5040, 60, 12)]
with open(folder / "live_000.lma", "ab") as f:
    held = b""
    for burst in bursts:
        records = [event_bytes(e) for e in burst]
        # The record cut short last time is completed first.
        f.write(held + b"".join(records[:-1]))
        held = records[-1]
        f.write(held[:len(held) // 2])
        held = held[len(held) // 2:]
        f.flush()
        time.sleep(0.7)
    f.write(held)
with open(folder / "live_001.lma", "wb") as f:
    f.write(header_bytes(CHANNELS, nsamples=NSAMPLES,
                         sample_interval=2e-9))
    records = [event_bytes(e) for e in events(6000, 25, 13)]
    f.write(b"".join(records) + records[0][:9])
"""


def test_a_growing_run_is_followed(browser, tmp_path, request):
    write_part(tmp_path / "live_000.lma", 4000, 20, 10)
    proc, url = start_view(tmp_path / "live_*.lma")
    try:
        browser.get(url)
        wait_for(lambda: js(browser, "return window.Bokeh !== undefined && "
                                     "Bokeh.documents.length > 0 && "
                                     "model('event').data.field.length"))
        edges = np.array(wait_for(lambda: data(browser, "spectrum")["left"]
                                  ) + [data(browser, "spectrum")["right"][-1]])
        click(browser, "follow latest")
        writer = subprocess.Popen([sys.executable, "-c", WRITER.format(
            tests=str(Path(__file__).parent), folder=str(tmp_path))])
        assert writer.wait(timeout=30) == 0
        written = time.monotonic()
        run = kelvane.Run(str(tmp_path / "live_*.lma"))
        assert len(run) == 20 + 100 + 25
        values = run.features(channels=["channel0"],
                              quantities=["maximum"]).values["maximum"]
        expected = kelvane.Histogram(edges).fill(values)

        def current():
            flow = data(browser, "spectrum_flow")["count"]
            rate = data(browser, "rate")
            return (js(browser, "return model('totals').text") ==
                    f"2 files, {len(run)} events"
                    and data(browser, "spectrum")["count"] ==
                    expected.counts().tolist()
                    and flow == [expected.underflow, expected.overflow]
                    and rate["events"][-1:] == [len(run)]
                    and max(rate["rate"]) > 0
                    and shows(browser, run, len(run) - 1))

        wait_for(current, timeout=5.0)
        assert time.monotonic() - written < 5.0
        assert data(browser, "files")["events"] == [120, 25]
    except BaseException:
        keep_screenshot(browser, request)
        raise
    finally:
        assert stop_view(proc) == 0


def test_ctrl_c_ends_with_status_0_and_frees_the_port(generated_run):
    proc, url = start_view(generated_run[1])
    port = int(url.rsplit(":", 1)[1].strip("/"))
    assert stop_view(proc) == 0
    with socket.socket() as s:
        s.bind(("127.0.0.1", port))



@pytest.mark.parametrize("display,flag,opened", [
    ({"DISPLAY": ":0"}, False, True), ({"WAYLAND_DISPLAY": "w"}, False, True),
    ({"DISPLAY": ":0"}, True, False), ({}, False, False)])
def test_a_browser_is_opened_only_where_one_can_be_shown(
        generated_run, tmp_path, display, flag, opened):
    seen = tmp_path / "opened"
    opener = tmp_path / "opener"
    opener.write_text(f"#!/bin/sh\necho \"$1\" > {seen}\n")
    opener.chmod(0o755)
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update(display, BROWSER=f"{opener} %s")
    proc, url = start_view(generated_run[1], env=env, browser=not flag)
    try:
        if opened:
            wait_for(lambda: seen.exists() and seen.read_text() == url + "\n")
        else:
            time.sleep(1.5)
            assert not seen.exists()
    finally:
        assert stop_view(proc) == 0

# --- what is kept ------------------------------------------------------------

def test_memory_per_event_stays_small(tmp_path):
    from kelvane.view.data import Spectrum
    path = tmp_path / "big.lma"
    write_lma(path, CHANNELS, [event_bytes(e) for e in events(0, 50, 5)]
              * 400, nsamples=NSAMPLES, sample_interval=2e-9)
    run = kelvane.Run(str(path))
    run.tags                                    # the run's own index
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        spectrum = Spectrum(run, "sum", "channel0", bins=100)
        spectrum.in_range(0.0, 10.0)
        kept = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert len(spectrum.values) == len(run) == 20_000
    assert kept / len(run) <= 32


def test_arrival_rates_kept_are_bounded(tmp_path, monkeypatch):
    from kelvane.view import data as view_data
    monkeypatch.setattr(view_data, "RATE_POINTS", 5)
    path = tmp_path / "grow.lma"
    write_part(path, 0, 3, 1)
    watched = view_data.Watched(kelvane.Run(str(path)))
    with open(path, "ab") as f:
        f.write(b"".join(event_bytes(e) for e in events(3, 4, 2)))
    for _ in range(9):
        watched.refresh()
    assert watched.rates_added == 9 and len(watched.rates) == 5
    assert watched.rates_since(7) == list(watched.rates)[-2:]


def test_nothing_is_written_beside_the_run(page, served, generated_run):
    assert free_of_writes(generated_run[0]) == served[2]


# lma report

from kelvane import Run, cli  # noqa: E402

from browser import requests_made  # noqa: E402

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
