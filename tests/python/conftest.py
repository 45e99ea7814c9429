import os
import subprocess
import sys
import textwrap

import pytest

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
    return set(os.listdir("/proc/self/fd"))


def run_python(code, *, cwd=None, env=None, check=True):
    """Runs `code` in a fresh interpreter, for state fixed once per process.
    Returns the CompletedProcess; with `check`, a non-zero exit fails."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, cwd=cwd, env=env)
    if check and proc.returncode != 0:
        pytest.fail(f"subprocess failed ({proc.returncode}):\n"
                    f"{proc.stdout}\n{proc.stderr}")
    return proc
