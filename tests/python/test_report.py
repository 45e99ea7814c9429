"""`lma report` without a browser: its size bound, and its file written
whole or not at all."""
import os
import sys

import pytest

from kelvane import cli
from kelvane.writer import write_random_run

pytest.importorskip("bokeh")

from kelvane.view.report import MAX_FILE_ROWS, bounded_rows  # noqa: E402


def test_the_report_stays_small_for_long_crowded_traces(tmp_path):
    # Long traces, with more pulses than any plot can show or mark.
    source = tmp_path / "long.lma"
    write_random_run(source, 30, nchannels=4, nsamples=100_000,
                     pulses=2000, length=4, distinct=12)
    out = tmp_path / "run.html"
    assert cli.main(["report", str(source), "-o", str(out)]) == 0
    assert os.path.getsize(out) <= 5 * 2**20


def test_a_run_of_many_files_lists_the_first_and_last():
    n = MAX_FILE_ROWS + 50
    rows = bounded_rows({"file": [f"f{i}" for i in range(n)],
                         "events": list(range(n)),
                         "damage": ["bad" if i == n // 2 else ""
                                    for i in range(n)]})
    half = MAX_FILE_ROWS // 2
    assert rows["file"][:2] == ["f0", "f1"] and rows["file"][-1] == f"f{n - 1}"
    assert rows["file"][half] == f"… {n - 2 * half} more files"
    assert rows["events"][half] == sum(range(half, n - half))
    assert rows["damage"][half] == "1 of them damaged"
    assert len(rows["events"]) == MAX_FILE_ROWS + 1


def test_an_interrupted_report_leaves_the_old_one(tmp_path, monkeypatch,
                                                  capsys):
    source = tmp_path / "run.lma"
    write_random_run(source, 20, nchannels=2, nsamples=256)
    out = tmp_path / "run.html"
    out.write_bytes(b"older report")

    def interrupted(fd):
        raise KeyboardInterrupt

    monkeypatch.setattr(os, "fsync", interrupted)
    assert cli.main(["report", str(source), "-o", str(out)]) == 130
    assert out.read_bytes() == b"older report"
    assert sorted(os.listdir(tmp_path)) == ["run.html", "run.lma"]


def test_without_bokeh_it_says_what_to_install(tmp_path, monkeypatch, capsys):
    source = tmp_path / "run.lma"
    write_random_run(source, 2, nchannels=1, nsamples=16, length=4)
    monkeypatch.setitem(sys.modules, "bokeh", None)
    status = cli.main(["report", str(source), "-o", str(tmp_path / "a.html")])
    assert (status, capsys.readouterr().err) == (
        2, "lma: error: report needs bokeh: pip install 'kelvane[view]'\n")
    assert os.listdir(tmp_path) == ["run.lma"]
