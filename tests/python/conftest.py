import contextlib
import os
import subprocess
import sys
import textwrap

import numpy
import pytest

from kelvane import lmafmt
from kelvane.writer import write_lma


@pytest.fixture
def make_lma(tmp_path):
    """Writes an LMA file with kelvane.writer.write_lma and returns its name
    as a str. Takes write_lma's arguments; `name` picks the file name."""
    counter = iter(range(10**6))

    def make(channels=(0,), events=(), *, name=None, **kw):
        path = tmp_path / (name or f"f{next(counter)}.lma")
        write_lma(path, channels, events, **kw)
        return str(path)

    return make


@pytest.fixture
def make_raw(tmp_path):
    """Writes the given bytes to a file and returns its name as a str."""
    counter = iter(range(10**6))

    def make(data, name=None):
        path = tmp_path / (name or f"raw{next(counter)}.lma")
        path.write_bytes(data)
        return str(path)

    return make


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


@pytest.fixture
def unraisable(monkeypatch):
    """Collects the reports that reach sys.unraisablehook."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


@contextlib.contextmanager
def decoding_path(path):
    """Decodes on the native path, or on the literal one, which any
    function other than NumPy's own under `zeros` or `empty` selects.
    Overflow in the calibration is part of the data: NumPy's warnings about
    it on the literal path are silenced, as the native path gives none."""
    with pytest.MonkeyPatch.context() as mp, numpy.errstate(all="ignore"):
        if path == "literal":
            mp.setattr(lmafmt, "zeros", lambda *a, **k: numpy.zeros(*a, **k))
            mp.setattr(lmafmt, "empty", lambda *a, **k: numpy.empty(*a, **k))
        yield


def run_python(code, *, cwd=None, env=None, check=True):
    """Runs `code` in a fresh interpreter, for state fixed once per process.
    Returns the CompletedProcess; with `check`, a non-zero exit fails."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, cwd=cwd, env=env)
    if check and proc.returncode != 0:
        pytest.fail(f"subprocess failed ({proc.returncode}):\n"
                    f"{proc.stdout}\n{proc.stderr}")
    return proc


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """Keeps each phase's report on the test item, so that a fixture can
    tell in its teardown whether the test failed (screenshots of pages)."""
    outcome = yield
    report = outcome.get_result()
    setattr(item, "rep_" + report.when, report)
