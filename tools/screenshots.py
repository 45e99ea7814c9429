#!/usr/bin/env python3
"""Makes the screenshots of the page "Looking at a run": a run written with
the project's writer in a temporary folder, shown by `lma view` and by the
file `lma report` writes, in the headless Chromium the tests drive.

    python tools/screenshots.py [--out docs/_static]

Writes view-summary.png, view-events.png, view-spectra.png and
view-report.png. Needs the view and test extras and Debian's chromium and
chromium-driver.
"""

import argparse
import base64
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
# The browser and its settings, shared with the tests.
sys.path.insert(0, str(ROOT / "tests" / "python"))
from browser import CHROMIUM, DRIVER, chromium  # noqa: E402

from kelvane.writer import Channel, Event, Pulse, write_lma  # noqa: E402

WIDTH, HEIGHT = 1200, 900
NSAMPLES = 256
CHANNELS = {0: Channel(fullscale=2000, gain=0.5, baseline=10),
            1: Channel(fullscale=2000, gain=0.5, baseline=-4)}

# Every part of the page drawn, the first event shown.
READY = """
const ready = window.Bokeh && Bokeh.index && Bokeh.index.roots.length > 0;
if (!ready) return false;
const doc = Bokeh.documents[0];
const bars = doc.get_model_by_name("spectrum");
const bins = bars == null ? [] : Array.from(bars.data instanceof Map
    ? (bars.data.get("count") || []) : (bars.data.count || []));
return bars == null || bins.length > 0;
"""

# The page's rectangle of each part of the top layout, in page pixels.
PARTS = """
const root = Bokeh.index.roots[0];
return (root.child_views || [root]).map((v) => {
    const r = v.el.getBoundingClientRect();
    return [r.left + window.scrollX, r.top + window.scrollY,
            r.width, r.height];
});
"""


def pulse(rng, amplitude):
    """A detector pulse's int16 samples: fast rise, slower fall, noise."""
    t = np.arange(60.0)
    shape = np.exp(-t / 14.0) - np.exp(-t / 2.5)
    shape /= shape.max()
    return np.round(amplitude * shape + rng.normal(0, 6, t.size)).astype(
        int).tolist()


def amplitude(rng):
    """Two lines over a falling background, as a source and its
    escape peak would give."""
    kind = rng.random()
    if kind < 0.55:
        return rng.normal(1500, 45)
    if kind < 0.8:
        return rng.normal(700, 35)
    return rng.exponential(500) + 80


def write_run(folder, files=2, events=3000, seed=1, first_tag=1000):
    rng = np.random.default_rng(seed)
    tag = first_tag
    for k in range(files):
        made = []
        for _ in range(events):
            sections = []
            for c in CHANNELS:
                a = amplitude(rng) * (1.0 if c == 0 else 0.6)
                first = int(rng.integers(50, 70))
                stored = [Pulse(first, pulse(rng, a))]
                if rng.random() < 0.1:     # a second, piled-up pulse
                    stored.append(Pulse(first + 110,
                                        pulse(rng, amplitude(rng) / 2)))
                sections.append(stored)
            made.append(Event(tag, sections, horpos=float(rng.normal())))
            tag += 1
        write_lma(folder / f"run0042_{k:03d}.lma", CHANNELS, made,
                  nsamples=NSAMPLES, sample_interval=4e-9)
    return str(folder / "run0042_*.lma")


def grow(source, target, seconds, stop):
    """Copies `source` to `target` a piece at a time over `seconds`, as a
    digitiser writes a file, so the page has a run that grows (and a last
    record that is sometimes half-written) to show."""
    data = source.read_bytes()
    pieces = 16
    with open(target, "wb") as out:
        for k in range(1, pieces + 1):
            if stop.is_set():
                return
            out.write(data[len(data) * (k - 1) // pieces:
                           len(data) * k // pieces])
            out.flush()
            time.sleep(seconds / pieces)


def wait(driver, script, timeout=30.0):
    end = time.monotonic() + timeout
    while not driver.execute_script(script):
        if time.monotonic() > end:
            sys.exit(f"the page was not ready within {timeout:.0f} s")
        time.sleep(0.2)
    time.sleep(1.0)     # the last frame drawn


def shoot(driver, rect, path):
    """The page's `rect` (left, top, width, height) as a PNG at `path`."""
    left, top, width, tall = rect
    clip = {"x": left, "y": top, "width": width, "height": tall, "scale": 1}
    shot = driver.execute_cdp_cmd("Page.captureScreenshot", {
        "format": "png", "clip": clip, "captureBeyondViewport": True})
    path.write_bytes(base64.b64decode(shot["data"]))
    print(f"wrote {path} ({path.stat().st_size // 1024} kB)")


def view_shots(pattern, growing, out):
    """The page of the run `pattern` while `growing` (a finished file)
    is written into it as its next file."""
    stop = threading.Event()
    target = Path(pattern).parent / "run0042_002.lma"
    writer = threading.Thread(target=grow, args=(growing, target, 10.0, stop))
    proc = subprocess.Popen(
        [sys.executable, "-m", "kelvane", "view", pattern, "--port", "0",
         "--no-browser"], stdout=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        found = re.search(r" at (http://127\.0\.0\.1:\d+/) ", line)
        if found is None:
            sys.exit(f"lma view printed no address: {line!r}")
        with chromium(width=WIDTH, height=HEIGHT) as driver:
            driver.get(found.group(1))
            wait(driver, READY)
            writer.start()
            # Most of the file written: the rate plot has its points.
            time.sleep(8.5)
            parts = driver.execute_script(PARTS)
            names = ["summary", "events", "spectra"]
            for name, (_, top, _, tall) in zip(names, parts):
                # The whole width: plots' toolbars stand beyond their part.
                shoot(driver, [0, top, WIDTH, tall], out / f"view-{name}.png")
    finally:
        stop.set()
        if writer.is_alive():
            writer.join()
        proc.send_signal(signal.SIGINT)
        proc.wait(timeout=15)


def report_shot(pattern, folder, out):
    report = folder / "run0042.html"
    subprocess.run([sys.executable, "-m", "kelvane", "report", pattern,
                    "-o", str(report)], check=True, stdout=subprocess.DEVNULL)
    with chromium(width=WIDTH, height=HEIGHT, offline=True) as driver:
        driver.get(report.as_uri())
        wait(driver, READY)
        shoot(driver, [0, 0, WIDTH, HEIGHT], out / "view-report.png")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=ROOT / "docs" / "_static")
    args = parser.parse_args()
    missing = [p for p in (CHROMIUM, DRIVER) if not Path(p).exists()]
    if missing:
        sys.exit(f"needs {', '.join(missing)}: apt-get install chromium "
                 f"chromium-driver")
    args.out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="kelvane-shots-") as folder:
        pattern = write_run(Path(folder))
        spare = Path(folder, "later")
        spare.mkdir()
        write_run(spare, files=1, seed=2, first_tag=7000)
        view_shots(pattern, spare / "run0042_000.lma", args.out)
        report_shot(pattern, Path(folder), args.out)


if __name__ == "__main__":
    main()
