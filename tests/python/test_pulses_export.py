import json
import os
import sys

import numpy as np
import pytest

import kelvane
from kelvane import pulses_export
from kelvane.writer import Channel, Event, Pulse, event_bytes
from test_cli import CHANNELS, EVENTS, HEADER, Terminal, fsync_fails, run

FLAT = ["event", "channel", "first", "length", "offset", "samples"]


def random_events(n, seed=7):
    """Events of 0 to 3 pulses per channel, some with none at all."""
    rng = np.random.default_rng(seed)
    events = []
    for tag in range(n):
        sections = [[pulse(rng) for _ in range(rng.integers(0, 4))]
                    for _ in CHANNELS]
        events.append(Event(tag, sections, horpos=float(rng.normal())))
    return events


def pulse(rng):
    """Up to 5 samples anywhere within a trace of 8."""
    samples = rng.integers(-2**15, 2**15, rng.integers(1, 6))
    return Pulse(int(rng.integers(0, 9 - len(samples))), samples.tolist())


@pytest.fixture
def files(make_lma):
    cut = event_bytes(EVENTS[2])[:-5]
    other = {**CHANNELS, 3: Channel(gain=4.0, baseline=-3)}
    return {"sample": make_lma(CHANNELS, EVENTS, **HEADER),
            "damaged": make_lma(CHANNELS, EVENTS[:2] + [cut], **HEADER),
            "many": make_lma(other, random_events(40), **HEADER)}


def expected(names, start, stop):
    """What `pulses()` gives of each file, concatenated and cut to the
    events [start, stop)."""
    parts, tags, horpos, file = {k: [] for k in FLAT}, [], [], []
    base = nsamples = 0
    for i, name in enumerate(names):
        with kelvane.LmaFile(name) as f:
            p = f.pulses()
            heads = f.read(channels=[])
            n = len(f)
        keep = (p.event + base >= start) & (p.event + base < stop)
        lo, hi = max(start - base, 0), max(min(stop - base, n), 0)
        lengths = p.length[keep]
        samples = np.concatenate(
            [p.samples[o:o + m] for o, m in zip(p.offset[keep], lengths)]
            + [np.empty(0, np.int16)])
        parts["event"].append(p.event[keep] + base)
        parts["channel"].append(p.channel[keep])
        parts["first"].append(p.first[keep])
        parts["length"].append(lengths)
        parts["offset"].append(nsamples + np.cumsum(lengths) - lengths)
        parts["samples"].append(samples)
        nsamples += len(samples)
        tags.append(heads.tags[lo:hi])
        horpos.append(heads.horpos[lo:hi])
        file.append(np.full(hi - lo, i))
        base += n
    found = {k: np.concatenate(v) for k, v in parts.items()}
    return dict(found, tags=np.concatenate(tags),
                horpos=np.concatenate(horpos), file=np.concatenate(file))


def read_back(path):
    """The arrays and the header of an output, whatever its format."""
    if path.endswith(".npz"):
        with np.load(path) as z:
            found = {k: z[k] for k in z.files}
        attrs = {k: found.pop(k).tolist() for k in list(found)
                 if k not in FLAT + ["tags", "horpos", "file"]}
        return found, attrs
    if path.endswith(".zarr"):
        import zarr
        group = zarr.open_group(path, mode="r")
        return ({k: group[k][:] for k in group.array_keys()},
                dict(group.attrs))
    import pyarrow.parquet as pq
    table = pq.read_table(path)
    attrs = json.loads(table.schema.metadata[b"kelvane"])
    rows = {k: table.column(k).to_numpy() for k in table.column_names
            if k != "samples"}
    lengths = rows["length"]
    found = {k: rows[k] for k in ["event", "channel", "first", "length"]}
    found["offset"] = np.cumsum(lengths) - lengths
    found["samples"] = np.asarray(
        table.column("samples").combine_chunks().flatten(), np.int16)
    # Per event only where it has a pulse: spread over its rows.
    found["row tags"], found["row horpos"] = rows["tag"], rows["horpos"]
    found["row file"] = rows["file"]
    return found, attrs


CASES = {
    "one file": (["sample"], [], 0, None, 0),
    "several, cut": (["damaged", "many", "sample"],
                     ["--start", "1", "--stop", "30"], 1, 30, 1),
    "to the end past a damage": (["sample", "damaged"], [], 0, None, 1),
    "stop before the damage": (["damaged", "sample"], ["--stop", "2"], 0, 2,
                               0),
}


@pytest.mark.parametrize("suffix", [".parquet", ".npz", ".zarr"])
@pytest.mark.parametrize("case", CASES)
def test_pulses_read_back_as_stored(capsys, files, tmp_path, monkeypatch,
                                    suffix, case):
    pytest.importorskip({".parquet": "pyarrow", ".zarr": "zarr"}.get(
        suffix, "numpy"))
    names, options, start, stop, status = CASES[case]
    inputs = [files[n] for n in names]
    # Records of a few dozen bytes: a chunk of one or two events.
    monkeypatch.setattr(pulses_export, "CHUNK_BYTES", 64)
    out = str(tmp_path / f"out{suffix}")
    done, said, err = run(capsys, "convert", "--pulses", *inputs,
                          "-o", out, *options)
    assert done == status
    total = sum(len(kelvane.LmaFile(n)) for n in inputs)
    stop = total if stop is None else stop
    want = expected(inputs, start, stop)
    found, attrs = read_back(out)
    for key in FLAT:
        np.testing.assert_array_equal(found[key], want[key], err_msg=key)
    if suffix == ".parquet":
        row = found["event"] - start
        for key in ["tags", "horpos", "file"]:
            np.testing.assert_array_equal(found[f"row {key}"],
                                          want[key][row], err_msg=key)
    else:
        for key in ["tags", "horpos", "file"]:
            np.testing.assert_array_equal(found[key], want[key])
    with kelvane.LmaFile(inputs[-1]) as last:
        assert attrs["channels"] == last.channels
        assert attrs["nsamples"] == last.nsamples
        assert attrs["sample_interval"] == last.sample_interval
    assert attrs["sources"] == inputs
    assert (attrs["start"], attrs["events"]) == (start, stop - start)
    assert len(attrs["calibration"]) == len(inputs)
    assert said.startswith(f"wrote the pulses of {stop - start} events")
    if status:
        damaged = files["damaged"]
        with kelvane.LmaFile(damaged) as f:
            damage = f.damage
        assert err == f"lma: error: {damaged}: {damage}\n"
        assert attrs["damage"] == [str(damage)]
        assert attrs["damage_file"] == [inputs.index(damaged)]
        assert attrs["damage_event"] == [damage.event]
    else:
        assert "damage" not in attrs


def test_progress_on_a_terminal(capsys, files, tmp_path, monkeypatch):
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    status, _, _ = run(capsys, "convert", "--pulses", files["sample"],
                       tmp_path / "out.npz")
    assert status == 0 and "converting" in terminal.getvalue()


def test_calibration_is_kept_per_source(files, tmp_path):
    out = str(tmp_path / "out.npz")
    names = [files["sample"], files["many"]]
    opened = [kelvane.LmaFile(n) for n in names]
    pulses_export.write_pulses(opened, out)
    with np.load(out) as z:
        table = z["calibration"]
    assert table.shape == (2, len(CHANNELS))
    for row, f in zip(table, opened):
        assert row.tolist() == [tuple(c) for c in f.calibration.values()]


def test_chunks_hold_a_few_records_each(files, monkeypatch):
    monkeypatch.setattr(pulses_export, "CHUNK_BYTES", 200)
    with kelvane.LmaFile(files["many"]) as f:
        sizes = np.diff(np.append(f.offsets, os.path.getsize(f.path)))
        seen = [(c.first_event, len(c.tags)) for c in pulses_export.chunks(
            [f], 0, len(f), pulses_export.CHUNK_BYTES)]
    assert [a for a, _ in seen] == list(np.cumsum([0] + [n for _, n in
                                                         seen])[:-1])
    assert sum(n for _, n in seen) == len(sizes)
    for first, n in seen:
        # The records of a chunk start within the bound of its first.
        assert n == 1 or sizes[first:first + n - 1].sum() <= 200


MISMATCHES = {"channels": ({0: Channel()}, HEADER),
              "nsamples": (CHANNELS, dict(HEADER, nsamples=9)),
              "sample_interval": (CHANNELS, dict(HEADER,
                                                 sample_interval=1e-9))}


def no_pyarrow(monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)


# Each failure: its status and one line; an older OUT stays as it was and
# nothing is left beside it.
FAILURES = [
    (["{sample}", "{channels}", "OUT.npz"], None, 2,
     "{channels}: channels [0] differs from [0, 3] in {sample}"),
    (["{sample}", "{nsamples}", "OUT.npz"], None, 2,
     "{nsamples}: nsamples 9 differs from 8 in {sample}"),
    (["{sample}", "{sample_interval}", "OUT.npz"], None, 2,
     "{sample_interval}: sample_interval 1e-09 differs from 2.5e-09 in "
     "{sample}"),
    (["{sample}", "OUT.parquet"], no_pyarrow, 1,
     "writing .parquet needs pyarrow: pip install 'kelvane[table]'"),
    (["OUT.npz", "OUT.npz"], None, 2, "OUT is an input file: {out}"),
    (["{sample}", "OUT.zarr"], None, 2,
     "OUT exists and is not a Zarr store: {out}"),
    (["{sample}", "OUT.nc"], None, 2,
     "OUT must end in .parquet, .npz, .zarr with --pulses: {out}"),
    (["{sample}", "{damaged}", "OUT.npz", "--start", "9"], None, 1,
     "the 2 inputs have 5 events; no event 9"),
    (["{sample}", "{nothing}", "OUT.npz"], None, 1,
     "cannot open {nothing}: no such file"),
    (["{sample}", "{damaged}", "OUT.npz"],
     lambda mp: mp.setattr(os, "fsync", fsync_fails), 1,
     "cannot write {out}: Input/output error"),
    (["{sample}", "OUT.parquet"],
     lambda mp: mp.setattr(os, "fsync", fsync_fails), 1,
     "cannot write {out}: Input/output error"),
]


@pytest.mark.parametrize("argv, setup, status, message", FAILURES)
def test_failures(capsys, files, make_lma, tmp_path, monkeypatch, argv,
                  setup, status, message):
    if "OUT.parquet" in argv and setup is None:
        pytest.importorskip("pyarrow")
    names = dict(files, nothing=str(tmp_path / "nothing.lma"))
    for field, (channels, header) in MISMATCHES.items():
        names[field] = make_lma(channels, EVENTS, **header)
    if setup is not None:
        setup(monkeypatch)
    (tmp_path / "out").mkdir()
    out = str(tmp_path / "out" / next(a for a in argv if "OUT" in a))
    with open(out, "wb") as older:
        older.write(b"older result")
    argv = [out if "OUT" in a else a.format(**names) for a in argv]
    done, said, err = run(capsys, "convert", "--pulses", *argv)
    assert (done, said) == (status, "")
    assert err == f"lma: error: {message.format(out=out, **names)}\n"
    assert os.listdir(tmp_path / "out") == [os.path.basename(out)]
    with open(out, "rb") as older:
        assert older.read() == b"older result"
