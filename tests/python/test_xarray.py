import contextlib
import os
import pickle
import sys
import warnings

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import kelvane
from kelvane.export import MismatchError
from kelvane.writer import Channel, Event, Pulse, event_bytes, write_lma

xr = pytest.importorskip("xarray")

CHANNELS = {0: Channel(fullscale=2000, gain=0.25, baseline=100),
            2: Channel(fullscale=500, offset=-20, gain=1.5),
            5: Channel(gain=-0.125, baseline=-7)}
NSAMPLES = 16
NEVENTS = 40


def make_events(n, seed, first_tag=0):
    rng = np.random.default_rng(seed)
    events = []
    for i in range(n):
        sections = []
        for _ in CHANNELS:
            pulses = []
            for _ in range(rng.integers(0, 3)):
                first = int(rng.integers(0, NSAMPLES))
                length = int(rng.integers(1, NSAMPLES - first + 1))
                pulses.append(Pulse(first, rng.integers(
                    -3000, 3000, length).tolist()))
            sections.append(pulses)
        events.append(Event(first_tag + i, sections,
                            horpos=float(rng.normal())))
    return events


def write(path, n=NEVENTS, seed=0, first_tag=0, **kw):
    write_lma(path, CHANNELS, make_events(n, seed, first_tag),
              nsamples=NSAMPLES, sample_interval=2e-9, **kw)
    return str(path)


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    return write(tmp_path_factory.mktemp("xr") / "sample.lma")


@contextlib.contextmanager
def counted_reads():
    """Records each LmaFile.read the backend makes: (start, stop, channels).
    """
    real = kelvane.LmaFile
    reads = []

    class Counting:
        def __init__(self, path):
            self._file = real(path)

        def __getattr__(self, name):
            return getattr(self._file, name)

        def __len__(self):
            return len(self._file)

        def read(self, start=0, stop=None, *, channels=None, **kw):
            # By index, whether named so or by event key.
            reads.append((start, stop, tuple(
                int(str(c).replace("channel", "")) for c in channels)))
            return self._file.read(start, stop, channels=channels, **kw)

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(kelvane, "LmaFile", Counting, raising=False)
        yield reads


def reference(path, dtype="float64"):
    with kelvane.LmaFile(path) as f:
        return f.read(dtype=dtype)


def assert_same_bits(actual, expected):
    actual = np.asarray(actual)
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    assert actual.tobytes() == expected.tobytes()


def test_layout_coordinates_and_attributes(sample):
    expected = reference(sample)
    with counted_reads() as reads:
        ds = xr.open_dataset(sample, drop_variables=["channel2"])
        assert reads == []   # opening decodes nothing
        assert set(ds.data_vars) == {"channel0", "channel5"}
        assert dict(ds.sizes) == {"event": NEVENTS, "sample": NSAMPLES}
        assert_same_bits(ds.tag, expected.tags)
        assert_same_bits(ds.horpos, expected.horpos)
        assert all(channels == () for _, _, channels in reads)
        ds.channel5.load()
        assert {c for _, _, cs in reads for c in cs} == {5}
    assert_same_bits(ds.time, np.arange(NSAMPLES) * 2e-9)
    assert ds.attrs == {"source": sample, "sample_interval": 2e-9,
                        "nsamples": NSAMPLES}
    assert ds.channel5.attrs == {"channel": 5, "fullscale": 0, "offset": 0,
                                 "baseline": -7, "gain": -0.125}
    ds.close()
    with pytest.raises(ValueError, match="closed"):
        ds.channel0[0].values     # not loaded before its file was closed


@pytest.mark.parametrize("dtype", ["float64", "float32", "raw"])
def test_whole_file_and_dtypes(sample, dtype):
    expected = reference(sample, dtype)
    with xr.open_dataset(sample, engine="lma", dtype=dtype) as ds:
        for key, traces in expected.traces.items():
            assert_same_bits(ds[key], traces)


def event_keys(n):
    # xarray itself fails on an empty slice with a negative step, before
    # any backend is asked.
    slices = st.slices(n).filter(
        lambda s: (s.step or 1) > 0 or len(range(*s.indices(n))))
    return st.one_of(
        st.integers(-n, n - 1),
        slices,
        st.lists(st.integers(0, n - 1), min_size=0, max_size=12))


@settings(max_examples=150, deadline=None)
@given(data=st.data())
def test_any_selection_reads_just_its_events(sample, data):
    dtype = data.draw(st.sampled_from(["float64", "raw"]))
    channel = data.draw(st.sampled_from(sorted(CHANNELS)))
    events = data.draw(event_keys(NEVENTS))
    samples = data.draw(event_keys(NSAMPLES))
    tag_events = data.draw(event_keys(NEVENTS))
    whole = reference(sample, dtype)
    expected = whole.traces[f"channel{channel}"][events]
    expected = expected[samples] if np.ndim(expected) == 1 else \
        expected[:, samples]
    with counted_reads() as reads:
        with xr.open_dataset(sample, dtype=dtype) as ds:
            actual = ds[f"channel{channel}"][events, samples].values
            reads = list(reads)
            # After the channel's read, which brought some of them along.
            tags = ds.tag[tag_events].values
    assert_same_bits(actual, expected)
    assert_same_bits(tags, whole.tags[tag_events])
    chosen = np.arange(NEVENTS)[events]
    for start, stop, channels in reads:
        assert channels == (channel,)
        # Only the covering range of the events chosen is ever decoded.
        assert chosen.min(initial=NEVENTS) <= start or start == stop
        assert stop <= chosen.max(initial=-1) + 1 or start == stop
    decoded = sum(stop - start for start, stop, _ in reads)
    assert decoded <= 2 * len(np.unique(chosen))


def test_coordinates_after_part_of_a_channel(tmp_path):
    path = write(tmp_path / "tags.lma", first_tag=70_000)
    whole = reference(path)
    with xr.open_dataset(path, engine="lma") as ds:
        ds.channel2[10:20].load()    # brings those events' heads along
        for wider in (slice(5, 30), slice(15, NEVENTS), slice(0, 12)):
            assert_same_bits(ds.tag[wider], whole.tags[wider])
            assert_same_bits(ds.horpos[wider], whole.horpos[wider])


def test_dask_chunks_read_one_range_each(sample):
    with counted_reads() as reads:
        ds = xr.open_dataset(sample, chunks={"event": 7})
        assert reads == []
        values = ds.channel2.compute(scheduler="sync")
    ranges = sorted((start, stop) for start, stop, channels in reads
                    if channels)
    assert ranges == [(i, min(i + 7, NEVENTS)) for i in range(0, NEVENTS, 7)]
    assert_same_bits(values, reference(sample).traces["channel2"])
    # The dataset travels to worker processes whole.
    ds = xr.open_dataset(sample, chunks={"event": 7})
    again = pickle.loads(pickle.dumps(ds))
    xr.testing.assert_identical(again.load(), ds.load())


@pytest.mark.parametrize("bad", [{"dtype": "int8"}, {"dtype": np.int32}])
def test_bad_dtype(sample, bad):
    with pytest.raises(ValueError, match="dtype"):
        xr.open_dataset(sample, **bad)


def test_damaged_file(tmp_path):
    events = make_events(6, seed=3)
    path = tmp_path / "damaged.lma"
    write_lma(path, CHANNELS, events, nsamples=NSAMPLES,
              tail=event_bytes(events[0])[:-5])
    with pytest.warns(kelvane.DamagedRecordWarning) as caught:
        xr.open_dataset(path).close()
        ds = xr.open_dataset(path, engine="lma")
    # Pointing at the lines that opened it, not into xarray.
    assert [w.filename for w in caught] == [__file__] * 2
    with kelvane.LmaFile(path) as f:
        damage = f.damage
        expected = f.read()
    assert ds.sizes["event"] == 6 == damage.event
    assert_same_bits(ds.channel0, expected.traces["channel0"])
    assert ds.attrs["damage_offset"] == damage.offset
    assert ds.attrs["damage_event"] == 6
    assert ds.attrs["damage"] == str(damage)
    ds.close()


def test_damaged_header(make_raw):
    with pytest.raises(kelvane.DamagedHeaderError):
        xr.open_dataset(make_raw(b"\x00" * 7), engine="lma")


@pytest.fixture(scope="module")
def many(tmp_path_factory):
    where = tmp_path_factory.mktemp("many")
    return [write(where / f"run{i:02}.lma", n=5 + i, seed=i,
                  first_tag=1000 * i) for i in range(20)]


def test_open_mfdataset_equals_the_concatenation(many):
    pytest.importorskip("dask")
    expected = [reference(path) for path in many]
    with xr.open_mfdataset(many, engine="lma", combine="nested",
                           concat_dim="event", parallel=True,
                           coords="minimal", compat="override") as ds:
        assert_same_bits(ds.tag, np.concatenate([e.tags for e in expected]))
        for key in expected[0].traces:
            assert_same_bits(ds[key], np.concatenate(
                [e.traces[key] for e in expected]))


def test_reduction_on_a_cluster_of_two_processes(many, monkeypatch):
    distributed = pytest.importorskip("distributed")
    # Relative names, which the workers' files turn absolute.
    monkeypatch.chdir(os.path.dirname(many[0]))
    names = [os.path.basename(path) for path in many]

    def reduce():
        with xr.open_mfdataset(many, engine="lma", combine="nested",
                               concat_dim="event", parallel=True,
                               coords="minimal", compat="override",
                               chunks={"event": 8}) as ds:
            return xr.Dataset({"peak": ds.channel5.max("sample"),
                               "mean": ds.channel0.mean("event")}).compute()

    serial = reduce()   # no cluster yet: the local threads
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                  processes=True, dashboard_address=":0") \
            as cluster, distributed.Client(cluster):
        on_cluster = reduce()
        # Opened on the workers, in parallel.
        with kelvane.open_dataset("run*.lma", chunks={"event": 8}) as ds:
            assert ds.attrs["sources"] == names
            peak = ds.channel5.max("sample").compute()
    xr.testing.assert_identical(on_cluster, serial)
    assert_same_bits(peak, serial.peak.values)


def convert(capsys, *argv):
    from kelvane import cli
    status = cli.main(["convert", *map(str, argv)])
    out, err = capsys.readouterr()
    return status, out, err


FORMATS = [pytest.param(".zarr", "zarr", marks=pytest.mark.filterwarnings(
               "ignore:Consolidated metadata:UserWarning")),
           (".nc", "h5netcdf")]


@pytest.mark.parametrize("suffix, engine", FORMATS)
@pytest.mark.parametrize("damaged, argv", [
    (False, []), (False, ["--start", 3, "--stop", 30, "--dtype", "float32"]),
    (True, ["--start", 2]), (True, ["--stop", 4])])
def test_convert_writes_the_dataset(capsys, tmp_path, suffix, engine,
                                    damaged, argv):
    events = make_events(6, seed=4)
    path = tmp_path / "in.lma"
    write_lma(path, CHANNELS, events, nsamples=NSAMPLES,
              tail=event_bytes(events[0])[:-5] if damaged else b"")
    out = tmp_path / f"out{suffix}"
    status, stdout, err = convert(capsys, path, out, *argv)
    options = dict(zip(argv[::2], argv[1::2]))
    start, stop = options.get("--start", 0), options.get("--stop")
    dtype = options.get("--dtype", "float64")
    reaches_damage = damaged and (stop is None or stop > 6)
    assert status == int(reaches_damage)
    # Cut inside its last record: it may still be being written.
    assert ("ends inside event 6, which is incomplete" in err) == \
        reaches_damage
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", kelvane.DamagedRecordWarning)
        expected = xr.open_dataset(path, dtype=dtype).isel(
            event=slice(start, stop)).load()
    if not reaches_damage:
        for key in ("damage", "damage_offset", "damage_event"):
            expected.attrs.pop(key, None)
    expected.attrs.update(start=start, Conventions="CF-1.8")
    names = {"time": "time from the start of the trace", "tag": "event tag",
             "horpos": "horizontal position of the event",
             **{f"channel{c}": f"channel {c} trace" for c in CHANNELS}}
    for name, long_name in names.items():
        expected[name].attrs["long_name"] = long_name
    with xr.open_dataset(out, engine=engine) as back:
        xr.testing.assert_identical(back.load(), expected)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.lma", out.name]


@pytest.mark.parametrize("suffix, engine", FORMATS)
@pytest.mark.parametrize("failure, status", [(KeyboardInterrupt, 130),
                                             (OSError(28, "full"), 1)])
def test_convert_to_a_dataset_leaves_nothing_behind(
        capsys, sample, tmp_path, monkeypatch, suffix, engine, failure,
        status):
    out = tmp_path / f"out{suffix}"
    assert convert(capsys, sample, out, "--stop", 3)[0] == 0
    before = sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*"))
    if suffix == ".zarr":
        from kelvane.export.zarrstore import ZarrSink as Sink
    else:
        from kelvane.export.netcdf import NetcdfSink as Sink
    real = Sink.close

    def write_then_fail(self):
        real(self)
        raise failure

    monkeypatch.setattr(Sink, "close", write_then_fail)
    assert convert(capsys, sample, out)[0] == status
    assert sorted(p.relative_to(tmp_path)
                  for p in tmp_path.rglob("*")) == before
    with xr.open_dataset(out, engine=engine) as back:
        assert back.sizes["event"] == 3      # the older output, untouched


@pytest.mark.parametrize("setup, message, status", [
    (lambda out: out.write_bytes(b"notes"), "not a Zarr store", 2),
    (lambda out: out.mkdir(), "not a Zarr store", 2),
    (lambda out: None, "needs zarr: pip install 'kelvane[zarr]'", 1)])
def test_convert_refuses_before_decoding(capsys, sample, tmp_path,
                                         monkeypatch, setup, message, status):
    out = tmp_path / "out.zarr"
    setup(out)
    def listing():
        return {p.name: p.is_dir() or p.read_bytes()
                for p in tmp_path.rglob("*")}

    before = listing()
    monkeypatch.setitem(sys.modules, "zarr", None)
    code, _, err = convert(capsys, sample, out)
    assert code == status and message in err
    assert listing() == before


def concatenated(paths, dtype="float64"):
    parts = [reference(path, dtype) for path in paths]
    return (np.concatenate([p.tags for p in parts]),
            np.concatenate([p.horpos for p in parts]),
            {key: np.concatenate([p.traces[key] for p in parts])
             for key in parts[0].traces},
            np.repeat(np.arange(len(parts)), [len(p.tags) for p in parts]))


@pytest.mark.parametrize("chunks, dtype", [(None, "float64"),
                                           ({"event": 4}, "raw")])
def test_open_dataset_over_a_glob(tmp_path, chunks, dtype):
    paths = [write(tmp_path / f"part{i}.lma", n=5 + i, seed=i,
                   first_tag=100 * i) for i in (2, 0, 1)]
    pattern = str(tmp_path / "part*.lma")
    tags, horpos, traces, file = concatenated(sorted(paths), dtype)
    with counted_reads() as reads:
        ds = kelvane.open_dataset(pattern, chunks=chunks, dtype=dtype)
        assert reads == []   # opening decodes nothing
        for key, expected in traces.items():
            assert (chunks is None) != hasattr(ds[key].data, "dask")
            assert_same_bits(ds[key], expected)
        assert_same_bits(ds.tag, tags)
        assert_same_bits(ds.horpos, horpos)
    assert ds.attrs["sources"] == sorted(paths)
    assert np.array_equal(ds.file, file)
    ds.close()
    # What xarray's own function needs for the same events.
    with xr.open_mfdataset(pattern, engine="lma", combine="nested",
                           concat_dim="event", dtype=dtype) as mf:
        for key, expected in traces.items():
            assert_same_bits(mf[key], expected)


@pytest.mark.parametrize("header, dtype, field", [
    ({"channels": {0: CHANNELS[0], 2: CHANNELS[2], 6: CHANNELS[5]}},
     "float64", "channels"),
    ({"nsamples": NSAMPLES + 1}, "float64", "nsamples"),
    ({"sample_interval": 4e-9}, "float32", "sample_interval"),
    ({"channels": {**CHANNELS, 2: Channel(gain=3.0)}}, "raw", "calibration"),
    ({"channels": {**CHANNELS, 2: Channel(gain=3.0)}}, "float32", None)])
def test_open_dataset_needs_one_layout(tmp_path, header, dtype, field):
    paths = [write(tmp_path / "a.lma"), write(tmp_path / "b.lma")]
    odd = tmp_path / "odd.lma"
    write_lma(odd, header.get("channels", CHANNELS), make_events(3, 1),
              nsamples=header.get("nsamples", NSAMPLES),
              sample_interval=header.get("sample_interval", 2e-9))
    paths.insert(1, str(odd))
    if field is not None:
        with pytest.raises(MismatchError,
                           match=f"^{odd}: {field} "):
            kelvane.open_dataset(paths, dtype=dtype)
        return
    # Calibrated traces each by its own file's calibration.
    with kelvane.open_dataset(paths, dtype=dtype) as ds:
        assert ds.channel2.attrs["gain"] == [1.5, 3.0, 1.5]
        assert_same_bits(ds.channel2, concatenated(paths, dtype)[2][
            "channel2"])


def test_open_dataset_names_the_pattern(tmp_path):
    pattern = str(tmp_path / "part*.lma")
    with pytest.raises(FileNotFoundError, match=r"part\*\.lma"):
        kelvane.open_dataset(pattern)
    # A name that exists is that file, whatever characters it has.
    path = write(tmp_path / "part[1].lma")
    with kelvane.open_dataset(path) as ds:
        assert ds.attrs["sources"] == [path]
        assert not ds.file.any()


def test_open_dataset_with_a_damaged_file_between(tmp_path):
    events = make_events(6, seed=3)
    damaged = tmp_path / "b.lma"
    write_lma(damaged, CHANNELS, events, nsamples=NSAMPLES,
              sample_interval=2e-9, tail=event_bytes(events[0])[:-5])
    paths = [write(tmp_path / "a.lma"), str(damaged),
             write(tmp_path / "c.lma", seed=1)]
    with pytest.warns(kelvane.DamagedRecordWarning) as caught:
        ds = kelvane.open_dataset(paths, chunks={"event": 16})
    assert [w.filename for w in caught] == [__file__]
    tags, _, traces, file = concatenated(paths)
    assert ds.sizes["event"] == 2 * NEVENTS + 6
    assert_same_bits(ds.tag, tags)
    assert_same_bits(ds.channel0, traces["channel0"])
    assert np.array_equal(ds.file, file)
    assert ds.attrs["damage_file"] == [1] and ds.attrs["damage_event"] == [6]
    ds.close()
