import csv
import errno
import io
import os
import re
import resource
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import kelvane
from kelvane import batch, cli, export
from kelvane.lmafmt import LmaReader
from kelvane.writer import (Channel, Event, Pulse, event_bytes, header_bytes,
                            write_random_run)

CHANNELS = {0: Channel(fullscale=2000, gain=0.5, baseline=10),
            3: Channel(offset=-7, gain=2.0)}
EVENTS = [Event(41, [[Pulse(3, [10, 12, -6])], []]),
          # Raw values equal to the baseline decode to 0.0 yet are covered.
          Event(42, [[Pulse(0, [10, 10]), Pulse(-3, [14, 8])],
                     [Pulse(5, [3])]]),
          Event(43, [[], [Pulse(0, list(range(8)))]])]
HEADER = dict(nsamples=8, sample_interval=2.5e-9)


def run(capsys, *argv):
    """Runs the command in this process: (exit status, stdout, stderr)."""
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    if status:
        # An error is one line, never a traceback.
        assert len(err.splitlines()) == 1 and err.startswith("lma: ")
    return status, out, err


@pytest.fixture
def sample(make_lma):
    return make_lma(CHANNELS, EVENTS, **HEADER)


@pytest.fixture
def damaged(make_lma):
    """Two good events, then a record with a pulse past the end of the
    trace; returns the name and the byte offset of the broken record."""
    bad = Event(43, [[], [Pulse(6, list(range(8)))]])
    name = make_lma(CHANNELS, EVENTS[:2] + [bad], **HEADER)
    offset = len(header_bytes(CHANNELS, **HEADER))
    return name, offset + sum(len(event_bytes(e)) for e in EVENTS[:2])


def test_info(capsys, sample):
    status, out, _ = run(capsys, "info", sample)
    assert status == 0
    lines = out.splitlines()
    assert lines[:6] == [
        f"file             {sample}",
        f"file size        {os.path.getsize(sample)} bytes",
        "first event at   byte 98",
        "channels in use  0, 3",
        "samples/trace    8",
        "sample interval  2.5e-09"]
    assert lines[6:] == [
        "calibration",
        "  channel  fullscale  offset  baseline  gain",
        "        0       2000       0        10   0.5",
        "        3          0      -7         0   2.0",
        "events           3",
        "ends             cleanly"]


def test_info_on_a_damaged_record(capsys, damaged):
    name, offset = damaged
    status, out, err = run(capsys, "info", name)
    assert status == 1
    assert "events           2\n" in out
    assert f"ends             with a damaged record at byte {offset}" in out
    assert f"{name}: damaged record at byte {offset} (event 2)" in err


def test_show(capsys, sample):
    status, out, _ = run(capsys, "show", sample, "--event", 1)
    assert status == 0
    assert out.splitlines() == [
        f"event 1 of {sample}: tag 42",
        "channel  covered  minimum  maximum",
        "      0        4     -1.0      2.0",
        "      3        1      6.0      6.0"]
    status, out, _ = run(capsys, "show", sample)
    assert out.splitlines()[2:] == ["      0        3     -8.0      1.0",
                                    "      3        0        -        -"]


@pytest.mark.parametrize("first", [-1, 8, 50])
def test_show_counts_no_cover_for_a_pulse_on_an_empty_slice(capsys, make_lma,
                                                            first):
    # One sample broadcasts into an empty slice, so the record decodes.
    event = Event(5, [[Pulse(first, [30]), Pulse(2, [11, 12])], []])
    status, out, _ = run(capsys, "show", make_lma(CHANNELS, [event],
                                                  **HEADER))
    assert status == 0
    assert out.splitlines()[2:] == ["      0        2      0.5      1.0",
                                    "      3        0        -        -"]


@pytest.mark.parametrize("gain, raw, shown", [
    (0.1, -19, "-1.9"), (1.0, 175, "175.0"), (1 / 3, 1, "0.333333"),
    (1e300, 3, "3e+300"), (1e308, 5, "inf")])
def test_show_rounds_to_six_digits_and_csv_keeps_every_one(
        capsys, make_lma, gain, raw, shown):
    name = make_lma({0: Channel(gain=gain)}, [Event(0, [[Pulse(0, [raw])]])],
                    nsamples=1)
    _, out, _ = run(capsys, "show", name)
    assert out.splitlines()[2].split()[2:] == [shown, shown]
    _, out, _ = run(capsys, "show", name, "--csv")
    assert out.splitlines()[1].split(",")[1] == repr(gain * raw)


def test_show_csv_has_the_reader_values(capsys, sample):
    status, out, _ = run(capsys, "show", sample, "--event", 2, "--csv")
    assert status == 0
    rows = list(csv.reader(io.StringIO(out)))
    assert rows[0] == ["time", "channel0", "channel3"]
    table = np.array(rows[1:], dtype=float)
    with LmaReader(sample) as r:
        event = list(r)[2]
    np.testing.assert_allclose(table[:, 0], np.arange(8) * 2.5e-9, rtol=1e-12)
    np.testing.assert_array_equal(table[:, 1], event["channel0"])
    np.testing.assert_array_equal(table[:, 2], event["channel3"])


@pytest.mark.parametrize("command", [["show", "--event"],
                                     ["plot", "-o", "x.png", "--event"],
                                     ["convert", "x.npz", "--start"]])
def test_event_past_the_end_or_the_damage(capsys, sample, damaged, command,
                                          tmp_path):
    if "plot" in command:
        pytest.importorskip("matplotlib")
    rest = [tmp_path / a if a.startswith("x.") else a for a in command[1:]]
    status, _, err = run(capsys, command[0], sample, *rest, 3)
    assert status == 1 and f"{sample} has 3 events; no event 3" in err
    name, offset = damaged
    status, _, err = run(capsys, command[0], name, *rest, 2)
    assert status == 1 and f"damaged record at byte {offset}" in err
    assert not any(p.name.startswith((".x", "x")) for p in tmp_path.iterdir())


@pytest.mark.parametrize("command", ["show", "plot"])
def test_an_event_by_index_from_either_end_or_by_tag(capsys, make_lma,
                                                    tmp_path, command):
    if command == "plot":
        pytest.importorskip("matplotlib")
    name = make_lma(CHANNELS, EVENTS[:2] + EVENTS[1:], **HEADER)
    images = iter(range(100))

    def output(*choice):
        if command == "show":
            status, out, _ = run(capsys, "show", name, *choice)
        else:
            image = tmp_path / f"{next(images)}.png"
            status, _, _ = run(capsys, "plot", name, *choice, "-o", image)
            out = image.read_bytes()    # its title names the event
        assert status == 0
        return out

    assert output("--event", -1) == output("--event", 3)
    assert output("--event", -4) == output() == output("--event", 0)
    # Events 1 and 2 both have tag 42.
    assert output("--tag", 42) == output("--event", 1) != output("--event", 2)


def load(path):
    with np.load(path) as data:
        return {k: data[k] for k in data.files}


@pytest.mark.parametrize("dtype, start, stop", [
    ("float64", 0, None), ("float32", 0, None), ("float64", 1, 2),
    ("float64", 2, 10), ("float32", 2, None)])
def test_convert_loads_back_to_the_reader_values(capsys, sample, tmp_path,
                                                 dtype, start, stop):
    out = tmp_path / "out.npz"
    argv = ["convert", sample, out, "--dtype", dtype, "--start", start]
    argv += ["--stop", stop] if stop else []
    status, stdout, err = run(capsys, *argv)
    assert status == 0 and err == ""
    with LmaReader(sample) as r:
        expected = list(r)[start:stop]
    # A --stop past the end is cut to it, in the summary as in the data.
    last = start + len(expected) - 1
    assert stdout == (f"wrote {len(expected)} events ({start} to {last}) "
                      f"of {sample} to {out}\n")
    data = load(out)
    assert data["tags"].tolist() == [e["tag"] for e in expected]
    for key in ("channel0", "channel3"):
        assert data[key].dtype == dtype and data[key].shape == (
            len(expected), 8)
        want = np.array([e[key] for e in expected]).reshape(-1, 8)
        np.testing.assert_array_equal(data[key], want.astype(dtype))
    assert data["channels"].tolist() == [0, 3]
    assert (data["nsamples"], data["sample_interval"]) == (8, 2.5e-9)
    assert data["calibration"]["baseline"].tolist() == [10, 0]
    assert data["calibration"]["offset"].tolist() == [0, -7]
    assert (str(data["source"]), data["start"]) == (sample, start)
    assert sorted(os.listdir(tmp_path)) == sorted(
        [os.path.basename(sample), "out.npz"])


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_convert_shows_progress_on_a_terminal(capsys, sample, tmp_path,
                                              monkeypatch):
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    status, _, _ = run(capsys, "convert", sample, tmp_path / "out.npz")
    assert status == 0 and "converting" in terminal.getvalue()
    assert load(tmp_path / "out.npz")["tags"].tolist() == [41, 42, 43]


# A file whose writer has not finished its last record, one with bad bytes,
# and one being created: how each command tells them apart.
ENDINGS = {
    "incomplete": (event_bytes(EVENTS[2])[:-5],
                   "ends inside event 2, which is incomplete (the file may "
                   "still be being written)"),
    "damaged": (Event(43, [[], [Pulse(6, list(range(8)))]]),
                "damaged record"),
    "no header": (None, "no complete header yet (0 bytes)")}


@pytest.mark.parametrize("command", [
    ["info"], ["index"], ["show", "--event", "2"], ["convert", "OUT.npz"],
    ["features", "-o", "OUT.csv"]])
@pytest.mark.parametrize("ending", sorted(ENDINGS))
def test_incomplete_or_damaged(capsys, make_lma, make_raw, tmp_path,
                               command, ending):
    last, said = ENDINGS[ending]
    name = make_raw(b"") if last is None else \
        make_lma(CHANNELS, EVENTS[:2] + [last], **HEADER)
    rest = [tmp_path / a if a.startswith("OUT") else a for a in command[1:]]
    status, out, err = run(capsys, command[0], name, *rest)
    # The index of a file that ends early is written all the same.
    index_written = command == ["index"] and last is not None
    assert status == (0 if index_written else 1)
    assert said in (out if index_written else err)
    if command == ["info"] and last is not None:
        # The file's block says it too, in its last row.
        assert said.split("ends ")[-1] in out.splitlines()[-1]


def test_convert_keeps_the_events_before_the_damage(capsys, damaged,
                                                    tmp_path):
    name, offset = damaged
    status, _, err = run(capsys, "convert", name, tmp_path / "out.npz")
    assert status == 1 and f"damaged record at byte {offset}" in err
    assert load(tmp_path / "out.npz")["tags"].tolist() == [41, 42]


@pytest.mark.parametrize("suffix", [".npz", ".zarr", ".nc"])
@pytest.mark.parametrize("failure, status", [
    (KeyboardInterrupt, 130), (signal.SIGTERM, 128 + signal.SIGTERM)])
def test_convert_leaves_nothing_behind(capsys, sample, tmp_path, monkeypatch,
                                       suffix, failure, status):
    if suffix != ".npz":
        pytest.importorskip("xarray")
    out = tmp_path / f"out{suffix}"
    assert run(capsys, "convert", sample, out, "--stop", 1)[0] == 0
    before = sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*"))
    real = export.Run.read

    def read_then_fail(self, *args, **kwargs):
        real(self, *args, **kwargs)
        if isinstance(failure, signal.Signals):
            os.kill(os.getpid(), failure)
            time.sleep(5)  # the handler's exception ends this at once
        raise failure

    monkeypatch.setattr(export.Run, "read", read_then_fail)
    assert run(capsys, "convert", sample, out)[0] == status
    assert sorted(p.relative_to(tmp_path)
                  for p in tmp_path.rglob("*")) == before


@pytest.mark.parametrize("out, status, message", [
    ("same.npz", 2, "OUT is an input file"),
    ("other.lma", 2, "OUT must end in .npz"),
    ("missing/out.npz", 1, "cannot write"),
])
def test_convert_refuses_an_output_before_decoding(capsys, sample, tmp_path,
                                                   monkeypatch, out, status,
                                                   message):
    os.link(sample, tmp_path / "same.npz")
    (tmp_path / "other.lma").write_bytes(b"another run")
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}

    def no_decoding(*args):
        raise AssertionError("decoded before checking OUT")

    monkeypatch.setattr(export.Run, "read", no_decoding)
    code, _, err = run(capsys, "convert", sample, tmp_path / out)
    assert code == status and message in err
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before


@pytest.mark.parametrize("command", [["show"], ["convert", "x.npz"],
                                     ["plot", "--event", "0", "-o", "x.png"]])
@pytest.mark.parametrize("nsamples, message", [
    (8, "the events do not fit in memory"),
    (10**9, "the header's 1000000000 samples per trace x 2 channels")])
def test_output_larger_than_memory_is_refused_before_decoding(
        capsys, make_lma, tmp_path, monkeypatch, command, nsamples, message):
    if "plot" in command:
        pytest.importorskip("matplotlib")
    # Decoding writes every sample: memory granted on credit would get the
    # process killed instead.
    monkeypatch.setattr(cli.memory, "available_memory", lambda: 100)
    name = make_lma(CHANNELS, [Event(1, [[], []])], nsamples=nsamples)
    argv = [tmp_path / a if a.startswith("x.") else a for a in command[1:]]
    status, _, err = run(capsys, command[0], name, *argv)
    assert status == 1 and "out of memory" in err and message in err
    assert os.listdir(tmp_path) == [os.path.basename(name)]


def test_a_memory_limit_is_a_cap_not_a_reservation(capsys, make_lma,
                                                   tmp_path, monkeypatch):
    # Far above what is free, on a file whose batches need a few kB.
    monkeypatch.setattr(cli.memory, "available_memory", lambda: 2**20)
    name = make_lma(CHANNELS, EVENTS * 100, nsamples=8)
    status, _, err = run(capsys, "convert", name, tmp_path / "x.npz",
                         "--memory-limit", "22G")
    assert status == 0, err


@pytest.mark.parametrize("command", [["show", "--csv"],
                                     ["plot", "--event", 0, "-o", "x.png"]])
def test_an_infinite_interval_is_a_damaged_header(capsys, make_lma,
                                                  tmp_path, command):
    name = make_lma(CHANNELS, EVENTS, nsamples=8, sample_interval=np.inf)
    argv = [tmp_path / a if a == "x.png" else a for a in command[1:]]
    status, _, err = run(capsys, command[0], name, *argv)
    assert status == 1 and "damaged header: sample interval" in err


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


@pytest.mark.parametrize("size, pixels", [(None, (800, 450)),
                                          ("640x480", (640, 480))])
def test_plot(capsys, sample, tmp_path, size, pixels):
    pytest.importorskip("matplotlib")
    out = tmp_path / "event.png"
    argv = ["plot", sample, "--event", 1, "-o", out]
    status, stdout, _ = run(capsys, *argv, *(["--size", size] if size else []))
    assert status == 0 and stdout == f"wrote {out}\n"
    assert png_size(out) == pixels


@pytest.mark.parametrize("argv, message", [
    ([], "required: COMMAND"),
    (["info"], "required: FILE"),
    (["convert", "{f}", "o.npz", "--start", "-1"], "must not be negative"),
    (["show", "{f}", "--event", "-1", "--tag", "41"],
     "argument --tag: not allowed with argument --event"),
    (["show", "{f}", "--event", "one"], "not a whole number"),
    (["convert", "{f}", "o.npz", "--dtype", "float16"], "invalid choice"),
    (["convert", "{f}"], "required: OUT.{npz,zarr,nc}"),
    (["convert", "{f}", "o.npz", "--memory-limit", "4M"],
     "must be at least 8M: 4M"),
    (["convert", "{f}", "o.npz", "--memory-limit", "1.5G"], "not a size"),
    (["convert", "{f}", "o.npz", "--start", "4", "--stop", "2"],
     "--stop 2 is before --start 4"),
    (["plot", "{f}", "--event", "0"], "required: -o/--output"),
    (["plot", "{f}", "--event", "0", "-o", "o.png", "--size", "0x9"],
     "size out of range"),
])
def test_bad_arguments(capsys, sample, argv, message):
    with pytest.raises(SystemExit) as exit:
        cli.main([a.format(f=sample) for a in argv])
    _, err = capsys.readouterr()
    assert exit.value.code == 2
    assert len(err.splitlines()) == 1 and message in err


@pytest.mark.parametrize("command", [["info"], ["show"], ["convert", "o.npz"]])
def test_unreadable_files(capsys, make_raw, tmp_path, command):
    cases = {tmp_path / "none.lma": "no such file",
             tmp_path / "\udcff.lma": "no such file",
             tmp_path: "it is a directory",
             make_raw(header_bytes(CHANNELS)[:60]):
                 "no complete header yet (60 bytes)",
             # Random bytes used to pass as a file without events.
             make_raw(np.random.default_rng(5).bytes(4096)): "damaged header"}
    for name, message in cases.items():
        argv = command[:1] + [name] + command[1:]
        status, _, err = run(capsys, *argv)
        assert status == 1 and message in err


def test_module_and_console_script(sample):
    commands = [[sys.executable, "-m", "kelvane"]]
    script = os.path.join(os.path.dirname(sys.executable), "lma")
    if os.path.exists(script):
        commands.append([script])
    for command in commands:
        done = subprocess.run(command + ["info", sample], capture_output=True,
                              text=True)
        assert done.returncode == 0 and "events           3" in done.stdout


@pytest.mark.parametrize("name, magic", [("e.svg", b"<svg"),
                                         ("e.PDF", b"%PDF-"),
                                         ("e.Png", b"\x89PNG")])
def test_plot_writes_the_format_its_suffix_names(capsys, sample, tmp_path,
                                                 name, magic):
    pytest.importorskip("matplotlib")
    out = tmp_path / name
    assert run(capsys, "plot", sample, "--event", 0, "-o", out)[0] == 0
    assert magic in out.read_bytes()[:400]


@pytest.mark.parametrize("argv", [["plot", "--event", 0, "-o", "e.jpg"],
                                  ["plot", "--event", 0, "-o", "e.eps"],
                                  ["plot", "--event", 0, "-o", "png"],
                                  ["convert", "e.npz.lma"]])
def test_an_output_suffix_not_written_is_refused(capsys, sample, tmp_path,
                                                 argv):
    argv = [tmp_path / a if str(a).startswith(("e.", "png")) else a
            for a in argv]
    status, _, err = run(capsys, argv[0], sample, *argv[1:])
    assert status == 2 and "OUT must end in ." in err
    assert os.listdir(tmp_path) == [os.path.basename(sample)]


def test_convert_takes_the_suffix_in_any_case(capsys, sample, tmp_path):
    assert run(capsys, "convert", sample, tmp_path / "OUT.NPZ")[0] == 0
    assert load(tmp_path / "OUT.NPZ")["tags"].tolist() == [41, 42, 43]


@pytest.mark.parametrize("argv", [["info", "{f}"], ["show", "{f}", "--csv"],
                                  ["--help"]])
@pytest.mark.parametrize("output", ["full disk", "closed pipe"])
def test_output_errors_end_in_one_line_or_quietly(sample, argv, output):
    # The real thing, in a child: the failure surfaces in the interpreter's
    # own buffered stdout, and what is left must not fail again at exit.
    if output == "full disk":
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full")
        stdout = os.open("/dev/full", os.O_WRONLY)
    else:
        reader, stdout = os.pipe()
        os.close(reader)  # nobody reads: every write fails
    try:
        done = subprocess.run(
            [sys.executable, "-m", "kelvane"]
            + [a.format(f=sample) for a in argv],
            stdout=stdout, stderr=subprocess.PIPE, text=True)
    finally:
        os.close(stdout)
    if output == "full disk":
        assert done.returncode == 1
        assert done.stderr == ("lma: error: cannot write to standard output: "
                               "No space left on device\n")
    else:
        assert (done.returncode, done.stderr) == (128 + signal.SIGPIPE, "")


def test_one_version_from_the_package_metadata(capsys):
    pyproject = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir,
                             "pyproject.toml")
    with open(pyproject) as f:
        (declared,) = re.findall(r'^version = "(.+)"$', f.read(), re.M)
    assert kelvane.__version__ == declared
    with pytest.raises(SystemExit) as exit:
        cli.main(["--version"])
    assert exit.value.code == 0
    assert capsys.readouterr().out == f"lma (kelvane) {declared}\n"


class Input(str):
    """An input's name; `damage` is what indexing the file finds now."""

    @property
    def damage(self):
        with kelvane.LmaFile(self) as f:
            return f.damage


@pytest.fixture
def inputs(make_lma, damaged):
    cut = event_bytes(EVENTS[0])[:-5]
    return {"sample": Input(make_lma(CHANNELS, EVENTS, **HEADER)),
            "damaged": Input(damaged[0]),
            "empty": Input(make_lma(CHANNELS, [], **HEADER)),
            "broken": Input(make_lma(CHANNELS, [cut], **HEADER))}


# What happens to the input once it has been opened and indexed whole.
EVENT_1 = len(header_bytes(CHANNELS, **HEADER)) + len(event_bytes(EVENTS[0]))


def cut(size):
    return lambda name: os.truncate(name, size)


def overwrite_event_1(name):
    with open(name, "r+b") as data:
        data.seek(EVENT_1 + 4)
        data.write(b"\xff" * (len(event_bytes(EVENTS[1])) - 4))


AFTER_OPENING = {
    "cut in event 1": cut(EVENT_1 + 3),
    "cut after event 1": cut(EVENT_1 + len(event_bytes(EVENTS[1]))),
    "changed in event 1": overwrite_event_1}


def fsync_fails(fd):
    raise OSError(errno.EIO, os.strerror(errno.EIO))


# Bytes a file may grow to in the child below, less than any archive
# written here, so writing the output fails there.
SIZE_LIMIT = 1000


def run_with_size_limit(argv, size=SIZE_LIMIT):
    def limit():
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))

    done = subprocess.run([sys.executable, "-m", "kelvane", *map(str, argv)],
                          preexec_fn=limit, capture_output=True, text=True,
                          env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
    return done.returncode, done.stderr


def prepare(monkeypatch, setup):
    """Sets up the fault that `setup` names for the command to meet."""
    if setup == "fsync fails":
        monkeypatch.setattr(os, "fsync", fsync_fails)
    elif setup in AFTER_OPENING:
        real = cli.source.open_or_explain

        def open_then_spoil(name, *saved):
            f = real(name, *saved)
            AFTER_OPENING[setup](name)
            return f

        monkeypatch.setattr(cli.source, "open_or_explain", open_then_spoil)


# Each failure: one line naming the input and why, the status, and no
# output: an older OUT is left as it was, and no temporary file behind it.
FAILURES = [
    # No readable event: a header alone, or a first record that is damaged.
    (["show", "{empty}"], None, 1, "{empty} has 0 events; no event 0"),
    (["plot", "{empty}", "--event", "0", "-o", "OUT.png"], None, 1,
     "{empty} has 0 events; no event 0"),
    (["show", "{broken}"], None, 1,
     "{broken} has 0 events, then {broken.damage}; no event 0"),
    (["plot", "{broken}", "--event", "0", "-o", "OUT.png"], None, 1,
     "{broken} has 0 events, then {broken.damage}; no event 0"),
    (["show", "{damaged}", "--event", "4"], None, 1,
     "{damaged} has 2 events, ended by a {damaged.damage}; no event 4"),
    (["convert", "{damaged}", "OUT.npz", "--start", "3"], None, 1,
     "{damaged} has 2 events, ended by a {damaged.damage}; no event 3"),
    (["show", "{sample}", "--event", "-4"], None, 1,
     "{sample} has 3 events; no event -4"),
    (["show", "{sample}", "--tag", "7"], None, 1,
     "{sample} has 3 events; none has tag 7"),
    (["plot", "{damaged}", "--tag", "43", "-o", "OUT.png"], None, 1,
     "{damaged} has 2 events, ended by a {damaged.damage}; none has tag 43"),
    # The input cut while the command runs: the input is to blame, not OUT.
    (["show", "{sample}", "--event", "1"], "cut in event 1", 1,
     "{sample}: {sample.damage}"),
    (["show", "{sample}", "--event", "2"], "cut after event 1", 1,
     "{sample} has 2 events; no event 2"),
    (["plot", "{sample}", "--event", "1", "-o", "OUT.png"], "cut in event 1",
     1, "{sample}: {sample.damage}"),
    (["convert", "{sample}", "OUT.npz"], "cut in event 1", 1,
     "{sample}: {sample.damage}"),
    (["convert", "{sample}", "OUT.nc"], "cut in event 1", 1,
     "{sample}: {sample.damage}"),
    (["convert", "{sample}", "OUT.npz"], "changed in event 1", 1,
     f"{{sample}}: event 1 at byte {EVENT_1}: the file changed since its "
     f"records were indexed"),
    # Writing OUT fails before it is complete.
    (["convert", "{sample}", "OUT.npz"], "fsync fails", 1,
     "cannot write {out}: Input/output error"),
    (["convert", "{sample}", "OUT.nc"], "fsync fails", 1,
     "cannot write {out}: Input/output error"),
    (["plot", "{sample}", "-o", "OUT.png"], "fsync fails", 1,
     "cannot write {out}: Input/output error"),
    (["convert", "{sample}", "OUT.npz"], "size limit", 1,
     "cannot write {out}: File too large"),
]


@pytest.mark.parametrize("dtype, limit, options", [
    # Past the file's own metadata, so that the chunks fail: closing the
    # file then retries them, and HDF5 crashed the process doing so.
    ("float32", 1 << 16, []), ("raw", 1 << 16, []),
    # Within it, so that the first variable's data fails as its dataset
    # is closed, which HDF5 took for a crash later, compressed or not.
    ("float64", 8 << 10, []), ("float64", 8 << 10, ["--no-compress"])])
def test_netcdf_failing_to_write(tmp_path, dtype, limit, options):
    write_random_run(tmp_path / "in.lma", 300)
    (tmp_path / "out").mkdir()
    out = tmp_path / "out" / "run.nc"
    code, err = run_with_size_limit(
        ["convert", tmp_path / "in.lma", out, "--dtype", dtype, *options],
        limit)
    assert (code, err) == (1, f"lma: error: cannot write {out}: "
                              f"File too large\n")
    assert list((tmp_path / "out").iterdir()) == []


@pytest.mark.parametrize("argv, setup, status, message", FAILURES)
def test_failures(capsys, inputs, tmp_path, monkeypatch, argv, setup, status,
                  message):
    if "plot" in argv:
        pytest.importorskip("matplotlib")
    if any(a.endswith(".nc") for a in argv):
        pytest.importorskip("xarray")
        pytest.importorskip("h5netcdf")
    prepare(monkeypatch, setup)
    (tmp_path / "out").mkdir()
    outputs = [tmp_path / "out" / a for a in argv if a.startswith("OUT")]
    for out in outputs:
        out.write_bytes(b"older result")
    argv = [tmp_path / "out" / a if a.startswith("OUT") else a.format(**inputs)
            for a in argv]
    if setup == "size limit":
        code, err = run_with_size_limit(argv)
    else:
        code, _, err = run(capsys, *argv)
    message = message.format(**inputs, out=outputs[0] if outputs else None)
    assert (code, err) == (status, f"lma: error: {message}\n")
    assert sorted((tmp_path / "out").iterdir()) == outputs
    assert all(out.read_bytes() == b"older result" for out in outputs)


@pytest.mark.parametrize("command", [
    ["plot", "{input}", "-o", "{link}.svg"],
    ["convert", "{input}", "{link}.npz"],
    ["convert", "--pulses", "{input}", "{link}.npz"],
    ["features", "{input}", "-o", "{link}.csv"],
    ["spectrum", "{input}", "--channel", "0", "--quantity", "sum",
     "-o", "{link}.png"],
    ["index", "{input}", "-o", "{link}.lmaidx"],
    ["report", "{input}", "-o", "{link}.html"]])
def test_no_command_writes_over_its_input(capsys, sample, tmp_path,
                                          command):
    # Reached through a symbolic link named as an output would be.
    suffix = os.path.splitext(command[-1])[1]
    os.symlink(sample, tmp_path / f"link{suffix}")
    names = dict(input=sample, link=tmp_path / "link")
    before = Path(sample).read_bytes()
    code, _, err = run(capsys, *[a.format(**names) for a in command])
    assert code == 2 and ("input file" in err or "file indexed" in err)
    assert Path(sample).read_bytes() == before
    assert os.path.islink(tmp_path / f"link{suffix}")


@pytest.mark.parametrize("call", [0, 8, 30, 48])
def test_netcdf_interrupted_inside_its_writes(capsys, sample, tmp_path,
                                              monkeypatch, call):
    # Ctrl-C arriving while HDF5 is inside a write of the file's bytes,
    # from its first write to its closing ones.
    pytest.importorskip("h5netcdf")
    calls = iter(range(10**6))
    real = os.pwrite

    def interrupted(fd, data, at):
        if next(calls) == call:
            raise KeyboardInterrupt
        return real(fd, data, at)

    monkeypatch.setattr(os, "pwrite", interrupted)
    assert run(capsys, "convert", sample, tmp_path / "out.nc")[0] == 130
    assert next(calls) > call
    assert os.listdir(tmp_path) == [os.path.basename(sample)]


def test_the_netcdf_file_closes_once(tmp_path):
    # A failure's cleanup closes the output again: a descriptor opened
    # since under the same number must stay open.
    pytest.importorskip("h5netcdf")
    from kelvane.export.netcdf import KeptFailure
    out = KeptFailure(str(tmp_path / "a.nc"))
    number = out.fd
    out.close()
    with open(tmp_path / "b", "wb") as other:
        assert other.fileno() == number
        out.close()
        os.fstat(other.fileno())
