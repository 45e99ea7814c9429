"""Speed of `lma view` in a real headless browser, against the library
calls that do the same work in this process.

    python bench/bench_view.py [--repeat 5] [--scale 1.0] [--follow 10]

Three files written by the project's writer (about 12 MB each at scale 1),
each with its persistent index, in a temporary directory removed at the
end; `lma view --port 0` serves them from a subprocess and Debian's
Chromium (tests/python/browser.py) shows the page. Ratios come from one
run with the contenders interleaved (median over rounds, range in
brackets).

Figures:
  page ready     from the printed address to the summary and the first
                 event drawn, against Run.histogram of the first spectrum
  next event     from the arrow key to the animation frame after the
                 waveform's source changed (measured in the page), against
                 reading that event, its pulses and its features in-process
  new spectrum   from choosing a quantity to its counts in the page,
                 against Run.histogram of that quantity; and the server's
                 own part of it (kelvane.view.data.Spectrum) against the
                 same
  following      the server's processor time per second of wall clock
                 while a writer appends 2,000 events/s (1.0 = one core)
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

from kelvane import LmaFile, Run  # noqa: E402
from kelvane.writer import (Event, Pulse, event_bytes, write_lma,  # noqa: E402
                            write_random_run)
from bench_lmafile import machine, rounds  # noqa: E402
from browser import chromium  # noqa: E402
from kelvane.view.data import Spectrum  # noqa: E402

FILES = 3
EVENTS = 5000   # per file at scale 1: 4 channels of 1024 samples
QUANTITIES = ["sum", "maximum", "cfd", "argmax", "covered"]
MODEL = "const model = (name) => Bokeh.documents[0].get_model_by_name(name);"


def spread(values, fmt="{:.2f}"):
    v = sorted(values)
    return (fmt.format(statistics.median(v)) + " (" + fmt.format(v[0])
            + "-" + fmt.format(v[-1]) + ")")


def js(driver, code, *args):
    return driver.execute_script(MODEL + code, *args)


def wait(condition, timeout=60.0):
    end = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > end:
            raise TimeoutError(str(condition))
        time.sleep(0.005)


def start(pattern):
    proc = subprocess.Popen(
        [sys.executable, "-m", "kelvane", "view", pattern, "--port", "0",
         "--no-browser"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
        text=True)
    line = proc.stdout.readline()
    printed = time.perf_counter()
    return proc, re.search(r"(http://\S+/)", line).group(1), printed


def stop(proc):
    proc.send_signal(2)
    proc.communicate(timeout=30)


def ready(driver):
    return js(driver, "return window.Bokeh !== undefined && "
                      "Bokeh.documents.length > 0 && "
                      "model('files').data.events.length > 0 && "
                      "model('event').data.field.length > 0")


def spectrum_drawn(driver):
    return js(driver, "return model('spectrum').data.count.length > 0")


def page_ready(pattern, run, repeat, driver):
    def served():
        proc, url, printed = start(pattern)
        try:
            driver.get(url)
            wait(lambda: ready(driver))
            served.seconds.append(time.perf_counter() - printed)
        finally:
            stop(proc)
    served.seconds = []
    times = rounds(repeat, {
        "page": served,
        "histogram": lambda: run.histogram("maximum", 0)})
    ratio = [p / h for p, h in zip(served.seconds, times["histogram"])]
    return served.seconds, ratio


def next_event(driver, run, presses):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    body = driver.find_element(By.TAG_NAME, "body")
    js(driver, "window.kelvaneTimings.length = 0;")
    for _ in range(presses):
        before = js(driver, "return window.kelvaneTimings.length")
        body.send_keys(Keys.ARROW_RIGHT)
        wait(lambda: js(driver, "return window.kelvaneTimings.length")
             > before)
    page = js(driver, "return Array.from(window.kelvaneTimings)")
    local = []
    for i in range(1, presses + 1):
        t0 = time.perf_counter()
        run[i]
        run.pulses(i, i + 1)
        run.features(i, i + 1)
        local.append((time.perf_counter() - t0) * 1000)
    return page, local


def new_spectrum(driver, run, repeat):
    page, local, layer = [], [], []
    for k in range(repeat):
        for q in QUANTITIES:             # the page opens on "maximum"
            name = f"channel0_{q}.csv"
            t0 = time.perf_counter()
            js(driver, "model('quantity').value = arguments[0];", q)
            wait(lambda: js(driver, "return model('download').data"
                                    ".csv_name[0]") == name)
            page.append(time.perf_counter() - t0)
            t0 = time.perf_counter()
            run.histogram(q, 0)
            local.append(time.perf_counter() - t0)
            t0 = time.perf_counter()
            Spectrum(run, q, "channel0")
            layer.append(time.perf_counter() - t0)
    return ([p / h for p, h in zip(page, local)], page,
            [s / h for s, h in zip(layer, local)])


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def following(folder, seconds, driver):
    """The server's processor share while a writer appends 2,000 events
    a second to a file of the run, a page open with follow latest on."""
    first = os.path.join(folder, "live_000.lma")
    sections = [[Pulse(16 * c + 8 * p, list(range(-16, 16)))
                 for p in range(8)] for c in range(4)]
    record = event_bytes(Event(7, sections))
    write_lma(first, range(4), [record] * 200, nsamples=1024,
              sample_interval=1e-9)
    proc, url, _ = start(os.path.join(folder, "live_*.lma"))
    try:
        driver.get(url)
        wait(lambda: ready(driver))
        js(driver, "model('follow_latest').active = true;")
        done = threading.Event()

        def write():
            with open(first, "ab") as f:
                t0 = time.monotonic()
                k = 0
                while not done.is_set():
                    k += 1
                    f.write(record * 200)      # 200 events every 0.1 s
                    f.flush()
                    time.sleep(max(0.0, t0 + k * 0.1 - time.monotonic()))

        writer = threading.Thread(target=write)
        writer.start()
        time.sleep(1.0)
        c0, t0 = cpu_seconds(proc.pid), time.monotonic()
        time.sleep(seconds)
        share = (cpu_seconds(proc.pid) - c0) / (time.monotonic() - t0)
        done.set()
        writer.join()
        shown = js(driver, "return model('totals').text")
    finally:
        stop(proc)
    return share, shown


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--follow", type=float, default=10.0,
                        help="seconds of following measured")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        n = max(int(EVENTS * args.scale), 10)
        for i in range(FILES):
            path = os.path.join(folder, f"run_{i:03d}.lma")
            write_random_run(path, n, distinct=500, seed=i)
            LmaFile(path).save_index()
        pattern = os.path.join(folder, "run_*.lma")
        run = Run(pattern)
        size = sum(os.path.getsize(p) for p in run.paths) / 1e6
        print(f"# {machine()}; {len(run)} events, {size:.0f} MB in "
              f"{FILES} files with indices; medians (range) of "
              f"{args.repeat} rounds")
        with chromium() as driver:
            seconds, ratio = page_ready(pattern, run, args.repeat, driver)
            print(f"page ready      {spread(seconds)} s after the address; "
                  f"{spread(ratio)}x Run.histogram")
            proc, url, _ = start(pattern)
            try:
                driver.get(url)
                wait(lambda: ready(driver) and spectrum_drawn(driver))
                page, local = next_event(driver, run, 10 * args.repeat)
                print(f"next event      {spread(page, '{:.1f}')} ms key to "
                      f"frame; in-process read {spread(local, '{:.1f}')} ms")
                ratio, page, layer = new_spectrum(driver, run, args.repeat)
                print(f"new spectrum    {spread(ratio)}x Run.histogram "
                      f"({spread(page)} s in the page; the server's own "
                      f"part {spread(layer)}x)")
            finally:
                stop(proc)
            share, shown = following(folder, args.follow, driver)
            print(f"following       {share:.2f} of one core at 2000 "
                  f"events/s (page showed {shown})")


if __name__ == "__main__":
    main()
