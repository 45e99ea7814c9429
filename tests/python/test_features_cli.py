import csv
import io
import os
import sys
import tempfile
import zipfile

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import kelvane
from kelvane import cli
from kelvane import Features
from kelvane.cli.spectrum import histogram
from kelvane.writer import Channel, Event, Pulse, event_bytes

from conftest import run_python

pd = pytest.importorskip("pandas")

CHANNELS = {0: Channel(gain=0.5, baseline=10), 3: Channel(offset=-7)}
EVENTS = [Event(41, [[Pulse(3, [10, 40, -6])], []]),
          Event(42, [[Pulse(0, [90]), Pulse(5, [14, 8])],
                     [Pulse(1, list(range(6)))]]),
          Event(43, [[], [Pulse(0, [20, 3])]])]
OTHER = [Event(7, [[Pulse(6, [70, 12])], [Pulse(2, [9])]]),
         Event(8, [[], []])]


@pytest.fixture
def files(make_lma):
    return [make_lma(CHANNELS, EVENTS, nsamples=8, name="a.lma"),
            make_lma(CHANNELS, OTHER, nsamples=8, name="b.lma")]


def run(capsys, *argv):
    """(exit status, stdout, stderr); a failure is one line, whether
    argparse or the command found it."""
    try:
        status = cli.main([str(a) for a in argv])
    except SystemExit as stop:
        status = stop.code
    out, err = capsys.readouterr()
    if status:
        assert len(err.splitlines()) == 1 and err.startswith("lma")
    return status, out, err


def expected(names, **options):
    frames = []
    for name in names:
        with kelvane.LmaFile(name) as f:
            frame = f.features(**options).to_pandas()
        frames.append(frame.assign(file=name)[["file", *frame.columns]])
    return pd.concat(frames, ignore_index=True)


def provenance(path):
    """The provenance a table carries, as its format keeps it."""
    import json
    if path.suffix == ".npz":
        with np.load(path, allow_pickle=False) as archive:
            return json.loads(archive["kelvane_metadata"].item())
    import pyarrow.parquet as pq
    return json.loads(pq.read_schema(path).metadata[b"kelvane"])


def read_table(path):
    if path.suffix == ".npz":
        with np.load(path) as archive:
            table = dict(archive)
        table.pop("kelvane_metadata")
        return table
    if path.suffix == ".csv":
        return pd.read_csv(path, keep_default_na=False, na_values=[""])
    return pd.read_parquet(path)


@pytest.mark.parametrize("suffix", [".parquet", ".csv", ".npz"])
def test_features_of_several_files_in_each_format(capsys, files, tmp_path,
                                                  suffix):
    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    out = tmp_path / f"table{suffix}"
    options = ["--threshold", "5", "--window", "1:", "--polarity", "-1"]
    status, stdout, _ = run(capsys, "features", *files, "-o", out, *options)
    assert status == 0
    assert stdout == f"wrote 5 events of 2 files to {out}\n"
    want = expected(files, threshold=5.0, window=(1, 8), polarity=-1)
    assert want.isna().any().any()      # crossing has no value in places
    got = read_table(out)
    assert list(got) == list(want.columns)
    assert list(got["file"]) == [files[0]] * 3 + [files[1]] * 2
    if suffix != ".csv":
        meta = provenance(out)
        options = meta.pop("options")
        assert meta == {"sources": files, "sample_interval": 1.0,
                        "channels": ["channel0", "channel3"],
                        "version": kelvane.__version__}
        assert (options["threshold"], options["window"],
                options["polarity"]) == (5.0, [1, 8], -1)
    if suffix == ".npz":
        for name in want.columns[1:]:
            np.testing.assert_array_equal(got[name], want[name])
        return
    if suffix == ".parquet":
        assert list(got["file"].cat.categories) == files
    pd.testing.assert_frame_equal(got.drop(columns="file"),
                                  want.drop(columns="file"),
                                  check_dtype=suffix == ".parquet")
    if suffix == ".csv":
        rows = list(csv.reader(io.StringIO(out.read_text())))[1:]
        empty = [[cell == "" for cell in row] for row in rows]
        assert empty == want.isna().to_numpy().tolist()


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("suffix", [".csv", ".npz"])
def test_jobs_give_the_table_one_process_gives(capsys, files, make_lma,
                                               tmp_path, monkeypatch, suffix):
    names = files + [make_lma(CHANNELS, EVENTS[::-1], nsamples=8),
                     make_lma(CHANNELS, [], nsamples=8)]
    one, two = tmp_path / f"one{suffix}", tmp_path / f"two{suffix}"
    # Threads, not processes: nothing is handed over through files.
    handed = tmp_path / "handed"
    handed.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(handed))
    assert run(capsys, "features", *names, "-o", two, "--jobs", "2")[0] == 0
    assert list(handed.iterdir()) == []
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    assert run(capsys, "features", *names, "-o", one)[0] == 0
    if suffix == ".csv":
        assert one.read_bytes() == two.read_bytes()
    else:
        # Every member whole, its checksum checked as it is read.
        with zipfile.ZipFile(two) as archive:
            assert archive.testzip() is None
        a, b = read_table(one), read_table(two)
        assert list(a) == list(b) and a["file"].dtype == b["file"].dtype
        for name in a:
            np.testing.assert_array_equal(a[name], b[name])
    assert "features" in terminal.getvalue()


@pytest.mark.parametrize("interrupt", [False, True])
def test_ctrl_c_while_threads_read(files, make_lma, tmp_path, interrupt):
    # A fresh interpreter, whose SIGINT handler is a terminal's; the first
    # piece read interrupts, as Ctrl-C does, while a thread reads it.
    names = files + [make_lma(CHANNELS, EVENTS, nsamples=8)
                     for _ in range(6)]
    proc = run_python(f"""
        import os, signal, sys, threading, time
        from kelvane import cli

        # A suite started in the background inherits SIGINT ignored, and
        # so would this interpreter: take it as a terminal's Ctrl-C.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        calls = []
        reduce = cli.source.InputFile._features_to

        def interrupted(f, start, stop, *args):
            if stop != 0:
                calls.append(f.path)
                if len(calls) == 1:
                    os.kill(os.getpid(), signal.SIGINT)
                time.sleep(0.2)
            return reduce(f, start, stop, *args)

        if {interrupt}:
            cli.source.InputFile._features_to = interrupted
        status = cli.main(["features", *{names!r}, "-o", "t.npz",
                           "--jobs", "2"])
        print(len(calls))
        sys.exit(status)
        """, cwd=tmp_path, check=False)
    if not interrupt:
        assert (proc.returncode, proc.stderr) == (0, ""), proc.stderr
        return
    assert (proc.returncode, proc.stderr) == (130, "lma: interrupted\n"), \
        proc.stderr
    # The files not yet begun are not read before the command ends.
    assert int(proc.stdout) < len(names)
    assert not (tmp_path / "t.npz").exists()


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_a_damaged_file_keeps_its_earlier_events(capsys, make_lma, files,
                                                 tmp_path, jobs):
    # A pulse of length 0: bad bytes.
    bad = Event(43, [[Pulse(1, [])], []])
    damaged = make_lma(CHANNELS, EVENTS[:2] + [bad], nsamples=8)
    out = tmp_path / "t.npz"
    status, stdout, err = run(capsys, "features", damaged, files[1],
                              "-o", out, "--jobs", jobs)
    assert status == 1 and "wrote 4 events of 2 files" in stdout
    assert f"{damaged}: damaged record at byte" in err
    assert read_table(out)["tag"].tolist() == [41, 42, 7, 8]


@pytest.mark.parametrize("change", ["grown", "cut"])
def test_a_file_changed_between_indexing_and_reading(capsys, make_lma, files,
                                                     tmp_path, monkeypatch,
                                                     change):
    # Every file is indexed before any is read; the command looks the
    # files over in between, where this changes one.
    name = make_lma(CHANNELS, EVENTS, nsamples=8)
    one, two = tmp_path / "one.npz", tmp_path / "two.npz"
    assert run(capsys, "features", name, files[1], "-o", one)[0] == 0
    looked_over = cli.features.same_channels

    def changed(results):
        with open(name, "r+b") as f:
            if change == "grown":
                f.seek(0, os.SEEK_END)
                f.write(event_bytes(EVENTS[0]))
            else:
                f.truncate(os.path.getsize(name) - 3)
        looked_over(results)

    monkeypatch.setattr(cli.features, "same_channels", changed)
    status, _, err = run(capsys, "features", name, files[1], "-o", two,
                         "--jobs", "2")
    if change == "cut":
        # Cut inside a record, as a file still being written ends.
        assert status == 1 and f"{name}: ends inside event" in err
        assert not two.exists()
        return
    # The events found when it was indexed, each column in its place.
    assert status == 0
    a, b = read_table(one), read_table(two)
    for column in a:
        np.testing.assert_array_equal(a[column], b[column])


def test_settings_per_channel_equal_separate_runs(capsys, files, tmp_path):
    out = tmp_path / "mixed.csv"
    assert run(capsys, "features", *files, "--quantities", "cfd,crossing",
               "--polarity", "-1,3=1", "--threshold", "5,0=2",
               "-o", out)[0] == 0
    got = read_table(out)
    for key, channel, options in [("channel0", 0, dict(polarity=-1,
                                                        threshold=2.0)),
                                  ("channel3", 3, dict(polarity=1,
                                                       threshold=5.0))]:
        want = expected(files, channels=[channel], **options,
                        quantities=["cfd", "crossing"])
        for q in ("cfd", "crossing"):
            np.testing.assert_array_equal(got[f"{key}_{q}"],
                                          want[f"{key}_{q}"])


@pytest.mark.parametrize("argv, status, message", [
    (["--window", "5:2"], 2, "window 5:2 ends before it starts"),
    (["--window", "x:"], 2, "not A:B"),
    (["--window", "0:9"], 2, "a.lma: window (0, 9) is not within"),
    (["--threshold", "0"], 2, "threshold must be finite and above 0"),
    (["--quantities", "maximum,peak"], 2, "unknown quantity 'peak'"),
    (["--quantities", "crossing"], 2, "crossing needs a threshold"),
    (["--channels", "0,5"], 2, "a.lma: channel 5 is not in use"),
    (["--jobs", "0"], 2, "must be at least 1"),
    (["-o", "{a}.txt"], 2, "OUT must end in .parquet, .csv, .npz"),
    (["-o", "{same}"], 2, "OUT is an input file"),
    (["{missing}"], 1, "cannot open"),
    (["{missing}", "--jobs", "2"], 1, "cannot open"),
    (["{fewer}"], 1, "has the channels channel0 and"),
    (["--spectrum", "--quantity", "peak"], 2, "invalid choice: 'peak'"),
    (["--spectrum", "--range", "3:1"], 2, "not LO < HI"),
    (["--spectrum", "--bins", "0"], 2, "must be at least 1"),
    (["--spectrum", "--quantity", "crossing"], 2, "crossing needs a thr"),
    (["--polarity", "-1,3=2"], 2, "not 1 or -1"),
    (["--polarity", "-1,3=1,3=-1"], 2, "given twice"),
    (["--polarity", "-1,1,3=1"], 2, "more than one value"),
    (["--threshold", "5,3=-1"], 2, "threshold must be finite and above 0"),
    (["--polarity", "1,7=-1"], 2, "not among the channels selected"),
])
def test_refusals_leave_no_output(capsys, files, make_lma, tmp_path, argv,
                                  status, message):
    os.link(files[0], tmp_path / "same.npz")
    names = dict(a=files[0], same=tmp_path / "same.npz",
                 missing=tmp_path / "missing.lma",
                 fewer=make_lma({0: Channel()}, [], nsamples=8))
    argv = [a.format(**names) for a in argv]
    # Options before the files, so that the case's own come last and win
    # and its files follow the others.
    if "--spectrum" in argv:
        argv.remove("--spectrum")
        command = ["spectrum", "--channel", "0", "--quantity", "sum",
                   "-o", tmp_path / "out.png", *files]
    else:
        command = ["features", "-o", tmp_path / "out.npz", *files]
    before = sorted(os.listdir(tmp_path))
    code, _, err = run(capsys, *command, *argv)
    assert code == status and message in err
    assert sorted(os.listdir(tmp_path)) == before


@pytest.mark.parametrize("suffix, module, status", [
    (".parquet", "pyarrow", 1), (".csv", "pandas", 1), (".npz", "pandas", 0)])
def test_formats_name_the_extra_they_need(capsys, files, tmp_path,
                                         monkeypatch, suffix, module, status):
    monkeypatch.setitem(sys.modules, module, None)
    code, _, err = run(capsys, "features", *files, "-o",
                       tmp_path / f"t{suffix}")
    assert code == status
    if status:
        assert f"needs {module}: pip install 'kelvane[table]'" in err


@pytest.mark.parametrize("argv, counts", [
    (["--quantity", "maximum", "--range", "1:30", "--log"],
     "entries 2, underflow 2, overflow 1, no value 0"),
    (["--quantity", "crossing", "--threshold", "4", "--window", "1:"],
     "entries 2, underflow 0, overflow 0, no value 3"),
    (["--quantity", "minimum", "--range", "-20:0"],
     "entries 5, underflow 0, overflow 0, no value 0"),
    # Whole numbers over more than a double holds exactly, and edges
    # whose ticks would step past the largest double.
    (["--quantity", "covered", "--range", "0:1e300"],
     "entries 5, underflow 0, overflow 0, no value 0"),
    (["--quantity", "sum", "--range", "1e308:1.7e308"],
     "entries 0, underflow 5, overflow 0, no value 0"),
    (["--quantity", "covered", "--range", "-1.7e308:1.7e308"],
     "entries 5, underflow 0, overflow 0, no value 0"),
])
def test_spectrum_draws_a_png_and_counts(capsys, files, tmp_path, argv,
                                         counts):
    pytest.importorskip("matplotlib")
    out = tmp_path / "s.png"
    status, stdout, _ = run(capsys, "spectrum", *files, "--channel", "0",
                            *argv, "-o", out)
    assert status == 0 and stdout == f"wrote {out}: {counts}\n"
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@given(st.lists(st.integers(-1, 60), max_size=40), st.integers(1, 25),
       st.one_of(st.none(), st.tuples(st.floats(-5, 70), st.floats(-5, 70))
                 .filter(lambda t: t[0] < t[1])))
def test_whole_quantities_are_binned_on_whole_edges(values, bins, limits):
    values = np.array(values, dtype=np.int32)
    h = histogram(values, True, bins, limits)
    widths = np.diff(h.edges)
    assert np.all(h.edges == np.round(h.edges)) and len(h.counts) <= bins
    assert np.all(widths == widths[0]) and widths[0] >= 1
    assert h.counts.sum() == h.entries
    assert h.entries + h.underflow + h.overflow + h.no_value == len(values)
    inside = values[values >= 0]
    if limits is not None:
        inside = inside[(inside >= limits[0]) & (inside <= limits[1])]
    assert inside.size == h.entries
    if inside.size:
        # Every whole value lies in a bin, not on its upper edge.
        assert h.edges[0] <= inside.min() and inside.max() < h.edges[-1]


@pytest.mark.parametrize("values, limits", [
    ([1e308, -1e308], None),
    ([1.0, 2.0], (-1e308, 1.7e308)),
    ([1e20] * 3, None),
])
def test_real_bins_of_extreme_values(values, limits):
    h = histogram(np.array(values), False, 10, limits)
    assert np.all(np.isfinite(h.edges)) and np.all(np.diff(h.edges) > 0)
    assert h.counts.sum() == h.entries == len(values)


@given(st.lists(st.tuples(st.sampled_from(["array", "repeated"]),
                          st.integers(0, 9)), max_size=6),
       st.sampled_from([1, 2]))
def test_an_archive_of_pieces_loads_as_them_joined(pieces, jobs):
    from kelvane.cli.table_npz import Column, Repeated, write_columns
    rng = np.random.default_rng(len(pieces))
    i4 = np.dtype("<i4")
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "t.npz")
        with open(out, "wb") as f:
            column = Column("v", i4, sum(rows for _, rows in pieces), [])
            made, want = [], []
            for kind, rows in pieces:
                values = rng.integers(-9, 9, rows).astype(i4)
                if kind == "repeated":
                    block = values[:max(1, rows // 3)] if rows else values
                    made.append(Repeated(block, rows))
                    values = np.resize(block, rows)
                else:
                    made.append(values)
                want.append(values)
            # Two columns, so that one is checksummed ahead with jobs.
            write_columns(f, [column._replace(pieces=made),
                              column._replace(name="w", pieces=made)], jobs)
            assert f.tell() == os.path.getsize(out)
        joined = np.concatenate([np.zeros(0, i4), *want])
        with zipfile.ZipFile(out) as archive:
            assert archive.testzip() is None
        with np.load(out) as archive:
            np.testing.assert_array_equal(archive["v"], joined)
            np.testing.assert_array_equal(archive["w"], joined)


@pytest.mark.parametrize("rows", [2, 4])
def test_an_archive_refuses_pieces_other_than_its_rows(tmp_path, rows):
    from kelvane.cli.table_npz import Column, write_columns
    with open(tmp_path / "t.npz", "wb") as f, \
            pytest.raises(ValueError, match="of values for 12"):
        write_columns(f, [Column("v", np.dtype("<i4"), 3,
                                 [np.zeros(rows, "<i4")])])


@pytest.mark.parametrize("command, out", [
    (["features", "-o"], "t.csv"), (["features", "-o"], "t.parquet"),
    (["convert", "-o"], "t.nc"), (["convert", "--pulses", "-o"], "t.parquet"),
    (["spectrum", "--channel", "0", "--quantity", "sum", "-o"], "t.svg")])
def test_names_that_are_not_utf8_are_written_escaped(capsys, files,
                                                     tmp_path, command, out):
    # What the file system allows, and no writer can encode as it is.
    pytest.importorskip("pandas" if "t.nc" != out else "h5netcdf")
    if command[0] == "spectrum":
        pytest.importorskip("matplotlib")
    name = os.fsdecode(os.path.join(os.fsencode(tmp_path), b"run\xff.lma"))
    os.link(files[0], name)
    status, said, _ = run(capsys, *command, tmp_path / out, name)
    assert status == 0 and "run\\xff.lma" in said + \
        (tmp_path / out).read_bytes().decode("utf-8", "replace")
