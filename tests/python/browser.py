"""A real headless Chromium for the tests of web pages, driven through
Debian's chromium and chromium-driver packages: nothing is downloaded at
test time. Where they are missing the tests skip, except in CI, where
.ci/run installs them and a missing browser is a failure."""

import contextlib
import os
import pathlib

import pytest

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"


def require_chromium():
    missing = [p for p in (CHROMIUM, DRIVER) if not os.access(p, os.X_OK)]
    if missing:
        reason = "no headless browser here: " + ", ".join(missing) + \
                 " missing (apt-get install chromium chromium-driver)"
        if os.environ.get("CI"):
            pytest.fail(reason)
        pytest.skip(reason)
    pytest.importorskip("selenium")


@contextlib.contextmanager
def chromium(*, width=1400, height=1000, offline=False):
    """A headless Chromium under WebDriver. The browser's console and its
    network log are kept, so a test can tell what the page asked for.
    `offline` cuts the browser off from every network, loopback
    included."""
    require_chromium()
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu",
                "--disable-dev-shm-usage", "--no-first-run",
                "--disable-background-networking",
                "--disable-component-update", "--disable-extensions",
                "--disable-sync", "--disable-default-apps",
                f"--window-size={width},{height}"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs",
                           {"browser": "ALL", "performance": "ALL"})
    service = Service(DRIVER)
    driver = webdriver.Chrome(service=service, options=options)
    try:
        if offline:
            driver.execute_cdp_cmd("Network.enable", {})
            driver.execute_cdp_cmd("Network.emulateNetworkConditions", {
                "offline": True, "latency": 0,
                "downloadThroughput": -1, "uploadThroughput": -1})
        yield driver
    finally:
        driver.quit()


def requests_made(driver):
    """The URLs of every request the page has sent since the last call."""
    import json
    urls = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message.get("method") == "Network.requestWillBeSent":
            urls.append(message["params"]["request"]["url"])
    return urls


def keep_screenshot(driver, request):
    """Saves what the page showed when the test `request` failed, under
    pytest's own temporary folder, and says where."""
    report = getattr(request.node, "rep_call", None)
    if report is None or not report.failed:
        return
    folder = pathlib.Path(request.config._tmp_path_factory.getbasetemp(),
                          "screenshots")
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / (request.node.name.replace("/", "_")[:100] + ".png")
    with contextlib.suppress(Exception):
        driver.save_screenshot(str(path))
        print(f"screenshot of the failing page: {path}")


def free_of_writes(folder):
    """A snapshot of a folder: names, sizes and modification times, to
    check that nothing was created or changed in it."""
    return sorted((p.name, p.stat().st_size, p.stat().st_mtime_ns)
                  for p in pathlib.Path(folder).iterdir())


__all__ = ["chromium", "requests_made", "keep_screenshot", "free_of_writes",
           "require_chromium"]
