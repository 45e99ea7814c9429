import os
import tempfile
import warnings

import numpy as np
import pytest

import kelvane
from kelvane import cli, export
from kelvane.writer import (Channel, Event, Pulse, event_bytes,
                            write_random_run)

from conftest import run_python

CHANNELS = {0: Channel(fullscale=2000, gain=0.25, baseline=100),
            2: Channel(offset=-20, gain=-1.5, baseline=-7),
            5: Channel(gain=3.0)}
NSAMPLES = 16
DTYPES = ["raw", "float32", "float64"]
SUFFIXES = [".npz", ".zarr", ".nc"]


def make_events(n, seed, first_tag=0):
    rng = np.random.default_rng(seed)
    return [Event(first_tag + i, [
        [Pulse(int(rng.integers(0, NSAMPLES - 4)),
               rng.integers(-32768, 32768, 4).tolist())]
        for _ in CHANNELS], horpos=float(rng.normal())) for i in range(n)]


def write(path, n, seed=0, first_tag=0, damaged=False, channels=CHANNELS,
          **header):
    events = make_events(n, seed, first_tag)
    header = dict(dict(nsamples=NSAMPLES, sample_interval=2e-9), **header)
    # A record whose first pulse has length 0: bad bytes, not a record
    # still being written.
    bad = Event(first_tag + n, [[Pulse(0, [])] for _ in channels])
    kelvane.writer.write_lma(path, channels, events,
                             tail=event_bytes(bad) if damaged else b"",
                             **header)
    return str(path)


def convert(capsys, *argv):
    status = cli.main(["convert", *map(str, argv)])
    out, err = capsys.readouterr()
    return status, out, err


def requires(suffix):
    if suffix == ".zarr":
        pytest.importorskip("zarr")
    if suffix != ".npz":
        pytest.importorskip("xarray")
    if suffix == ".nc":
        pytest.importorskip("h5netcdf")


def load(out, decode=True):
    """What an output holds, as {name: (values, attributes)} and the
    dataset's attributes."""
    if out.suffix == ".npz":
        with np.load(out) as data:
            return {k: (data[k], {}) for k in data.files}, {}
    import xarray as xr
    engine = "zarr" if out.suffix == ".zarr" else "h5netcdf"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        with xr.open_dataset(out, engine=engine, decode_cf=decode) as ds:
            ds.load()
            variables = {k: (v.values, dict(v.attrs))
                         for k, v in ds.variables.items()}
            return variables, dict(ds.attrs)


@pytest.mark.parametrize("suffix", SUFFIXES)
@pytest.mark.parametrize("dtype", DTYPES)
def test_round_trip(capsys, tmp_path, monkeypatch, suffix, dtype):
    requires(suffix)
    name = write(tmp_path / "in.lma", 30, damaged=True)
    out = tmp_path / f"out{suffix}"
    # Chunks of two events, batches of two chunks: the events written
    # cross chunks and batches, and end within a chunk.
    trace = NSAMPLES * np.dtype(export.DTYPES[dtype]).itemsize
    event = len(CHANNELS) * trace
    monkeypatch.setattr(export.plan, "CHUNK_BYTES", 2 * trace)
    monkeypatch.setitem(export.plan.COPIES, suffix, 2**23 // (4 * event))
    status, _, err = convert(capsys, name, out, "--dtype", dtype,
                             "--start", 2, "--memory-limit", "8M")
    assert status == 1 and "damaged record" in err
    with kelvane.LmaFile(name) as f:
        want = f.read(2, dtype=dtype)
        floats = f.read(2)
        damage = f.damage
        calibration = f.calibration
    stored, attrs = load(out, decode=False)
    assert np.array_equal(stored["tag"if suffix != ".npz" else "tags"][0],
                          want.tags)
    assert np.array_equal(stored["horpos"][0], want.horpos)
    assert np.array_equal(stored["time"][0], np.arange(NSAMPLES) * 2e-9)
    for key, trace in want.traces.items():
        values, var = stored[key]
        # Bit for bit, -0.0 included.
        assert values.dtype == trace.dtype
        assert values.tobytes() == trace.tobytes()
        assert "_FillValue" not in var and "missing_value" not in var
        if suffix == ".npz":
            continue
        cal = calibration[key]
        assert (var["gain"], var["baseline"]) == (cal.gain, cal.baseline)
        assert ("scale_factor" in var) == (dtype == "raw")
    if suffix == ".npz":
        assert str(stored["source"][0]) == name
        assert stored["start"][0] == 2
        assert str(stored["damage"][0]) == str(damage)
        assert stored["calibration"][0]["gain"].tolist() == [
            c.gain for c in CHANNELS.values()]
        return
    assert attrs["source"] == name and attrs["start"] == 2
    assert (attrs["damage"], attrs["damage_offset"], attrs["damage_event"]) \
        == (str(damage), damage.offset, damage.event)
    assert attrs["Conventions"].startswith("CF-")
    assert stored["time"][1]["units"] == "s"
    if dtype != "raw":
        return
    decoded, _ = load(out)
    for key, trace in floats.traces.items():
        values = decoded[key][0]
        assert values.dtype == np.float64
        bound = 2.0**-34 * abs(calibration[key].gain)
        assert np.all(np.abs(values - trace) <= bound)


def test_raw_carries_the_calibration_as_cf_attributes(capsys, tmp_path):
    pytest.importorskip("zarr")
    pytest.importorskip("xarray")
    name = write(tmp_path / "in.lma", 3)
    out = tmp_path / "out.zarr"
    assert convert(capsys, name, out, "--dtype", "raw")[0] == 0
    stored, _ = load(out, decode=False)
    for key, cal in CHANNELS.items():
        attrs = stored[f"channel{key}"][1]
        assert type(attrs["scale_factor"]) is float
        assert attrs["scale_factor"] == cal.gain
        # +0.0 where the baseline is 0, never -0.0.
        assert str(attrs["add_offset"]) == str(-cal.gain * cal.baseline
                                               + 0.0)


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_raw_with_an_offset_beyond_any_double(capsys, tmp_path, suffix):
    # gain * baseline overflows: the offset would decode every sample to
    # NaN. An archive keeps the calibration as stored and is written.
    requires(suffix)
    channels = {**CHANNELS, 0: Channel(gain=1e308, baseline=10)}
    name = write(tmp_path / "in.lma", 2, channels=channels)
    out = tmp_path / f"out{suffix}"
    status, _, err = convert(capsys, name, out, "--dtype", "raw")
    if suffix == ".npz":
        assert status == 0
        return
    assert status == 2 and err.count("\n") == 1
    assert "add_offset of -inf" in err and "float64" in err
    assert os.listdir(tmp_path) == ["in.lma"]
    with kelvane.LmaFile(name) as f, \
            pytest.raises(ValueError, match="add_offset"):
        export.export(export.Run._from_files([f]), str(out), dtype="raw")
    assert os.listdir(tmp_path) == ["in.lma"]


def test_netcdf_reads_with_the_netcdf_library(capsys, tmp_path):
    netCDF4 = pytest.importorskip("netCDF4")
    pytest.importorskip("h5netcdf")
    name = write(tmp_path / "in.lma", 5)
    out = tmp_path / "out.nc"
    assert convert(capsys, name, out, "--dtype", "raw")[0] == 0
    with kelvane.LmaFile(name) as f:
        want = f.read(dtype="raw")
    with netCDF4.Dataset(out) as ds:
        ds.set_auto_maskandscale(False)
        assert ds.Conventions.startswith("CF-") and ds.source == name
        assert ds["time"].units == "s" and ds["time"].long_name
        assert ds["tag"].long_name and ds["horpos"].long_name
        assert np.array_equal(ds["tag"][:], want.tags)
        assert np.array_equal(ds["horpos"][:], want.horpos)
        for key, trace in want.traces.items():
            var = ds[key]
            assert var.long_name and var.dtype == np.int16
            assert np.array_equal(var[:], trace)
            assert var.scale_factor == CHANNELS[int(key[7:])].gain
            assert "_FillValue" not in var.ncattrs()
            assert var.filters()["zlib"]


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_several_inputs_make_one_output(capsys, tmp_path, suffix):
    requires(suffix)
    names = [write(tmp_path / "a.lma", 4, seed=1),
             write(tmp_path / "b.lma", 5, seed=2, first_tag=100,
                   damaged=True),
             write(tmp_path / "c.lma", 3, seed=3, first_tag=200)]
    out = tmp_path / f"out{suffix}"
    status, stdout, err = convert(capsys, *names, "--start", 2, "--stop", 11,
                                  "-o", out)
    assert stdout == f"wrote 9 events (2 to 10) of 3 files to {out}\n"
    # The damage of b ends its events, and the run goes on with c.
    assert status == 1 and err.startswith(f"lma: error: {names[1]}: damaged")
    stored, attrs = load(out)
    tags = stored["tag" if suffix != ".npz" else "tags"][0]
    assert tags.tolist() == [2, 3, 100, 101, 102, 103, 104, 200, 201]
    assert stored["file"][0].tolist() == [0, 0, 1, 1, 1, 1, 1, 2, 2]
    sources = stored["sources"][0] if suffix == ".npz" else attrs["sources"]
    assert list(sources) == names
    damage_file = stored["damage_file"][0] if suffix == ".npz" else \
        attrs["damage_file"]
    assert np.atleast_1d(damage_file).tolist() == [1]


@pytest.mark.parametrize("change, field", [
    (dict(channels={0: Channel(), 2: Channel(), 6: Channel()}), "channels"),
    (dict(nsamples=NSAMPLES + 1), "nsamples"),
    (dict(sample_interval=1e-9), "sample_interval"),
    (dict(channels={**CHANNELS, 5: Channel(gain=2.0)}),
     "calibration")])
def test_inputs_that_differ_are_refused(capsys, tmp_path, change, field):
    a = write(tmp_path / "a.lma", 2)
    b = write(tmp_path / "b.lma", 2, **change)
    out = tmp_path / "out.npz"
    status, _, err = convert(capsys, a, a, b, out, "--dtype", "raw")
    assert status == 2 and err.startswith(f"lma: error: {b}: {field} ")
    assert sorted(os.listdir(tmp_path)) == ["a.lma", "b.lma"]
    if field == "calibration":
        # Calibrated traces need no calibration in common.
        assert convert(capsys, a, b, out)[0] == 0


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_a_huge_header_is_refused_before_the_output_is_made(
        capsys, tmp_path, monkeypatch, suffix):
    requires(suffix)
    name = write(tmp_path / "in.lma", 1, nsamples=2**31 - 1)

    def no_output(*args, **kwargs):
        raise AssertionError("the output was made before the refusal")

    monkeypatch.setattr(tempfile, "mkstemp", no_output)
    monkeypatch.setattr(tempfile, "mkdtemp", no_output)
    status, _, err = convert(capsys, name, tmp_path / f"out{suffix}")
    assert status == 1 and err == (
        "lma: error: out of memory: the header's 2147483647 samples per "
        "trace x 3 channels is more than an event can hold; the header is "
        "likely damaged\n")
    assert os.listdir(tmp_path) == ["in.lma"]


# The bound on memory: the limit, one chunk and 20 bytes per event, over
# what the interpreter had taken before converting. A sanitizer's
# allocator keeps freed memory in quarantine, so it says nothing there.
LIMIT = 32 * 2**20


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """About 100 MB, as few distinct records repeated (quick to write):
    whole traces, so that the output is as large as the input."""
    name = tmp_path_factory.mktemp("big") / "big.lma"
    size = write_random_run(name, 12_000, nsamples=1024, pulses=1,
                            length=1024, distinct=50)
    return name, size


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="resident size means nothing under a sanitizer")
@pytest.mark.parametrize("suffix, dtype", [
    (".npz", "raw"), (".zarr", "raw"), (".nc", "float32")])
def test_memory_stays_within_the_limit(big, tmp_path, suffix, dtype):
    requires(suffix)
    name, size = big
    proc = run_python(f"""
        import os, resource, sys
        from kelvane import cli, export
        from kelvane.writer import write_random_run
        # Imports and thread pools of the writers, before measuring.
        write_random_run("small.lma", 3)
        cli.main(["convert", "small.lma", "small{suffix}"])
        def status(field):
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith(field + ":"):
                        return int(line.split()[1]) * 1024

        # The peak of this process's own memory: getrusage's would start
        # from the parent's, which Linux carries over a fork and exec.
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        before = status("VmRSS")
        code = cli.main(["convert", {str(name)!r}, "out{suffix}",
                         "--dtype", "{dtype}", "--memory-limit", "32M"])
        print(code, status("VmHWM") - before)
    """, cwd=tmp_path)
    status, grown = map(int, proc.stdout.split()[-2:])
    assert status == 0 and size > 90e6
    assert grown <= LIMIT + 4 * 2**20 + 20 * 12_000, proc.stdout


def test_npz_members_past_the_zip_limit_use_zip64(capsys, tmp_path,
                                                  monkeypatch):
    import zipfile
    from kelvane.export import npz
    # The limit lowered, so that a small member stands for one over 2 GB:
    # zipfile refuses a member past it unless ZIP64 was asked for.
    monkeypatch.setattr(zipfile, "ZIP64_LIMIT", 2000)
    monkeypatch.setattr(npz, "ZIP64_LIMIT", 2000)
    name = write(tmp_path / "in.lma", 40)
    out = tmp_path / "out.npz"
    assert convert(capsys, name, out, "--no-compress")[0] == 0
    monkeypatch.undo()
    with kelvane.LmaFile(name) as f, np.load(out) as data:
        assert np.array_equal(data["channel0"], f.read().traces["channel0"])


@pytest.mark.parametrize("suffix", [".zarr", ".nc"])
@pytest.mark.parametrize("dtype", DTYPES)
def test_compressed_and_plain_chunks_read_back(capsys, tmp_path, suffix,
                                               dtype):
    requires(suffix)
    name = tmp_path / "in.lma"
    write_random_run(name, 50, nsamples=256, pulses=2, length=8)
    with kelvane.LmaFile(name) as f:
        want = f.read(dtype=dtype)
    sizes = []
    for flags in [(), ("--no-compress",)]:
        out = tmp_path / f"out{len(flags)}{suffix}"
        assert convert(capsys, name, out, "--dtype", dtype, *flags)[0] == 0
        stored, _ = load(out, decode=False)
        for key, trace in want.traces.items():
            assert stored[key][0].tobytes() == trace.tobytes()
        sizes.append(sum(p.stat().st_size for p in out.rglob("*"))
                     if out.is_dir() else out.stat().st_size)
    assert sizes[0] < sizes[1]


def test_netcdf_chunks_deflated_by_zlib_read_back(capsys, tmp_path,
                                                  monkeypatch):
    import zlib
    requires(".nc")
    from kelvane.export import netcdf
    monkeypatch.setattr(netcdf, "deflate", zlib.compress)
    name = write(tmp_path / "in.lma", 7)
    out = tmp_path / "out.nc"
    assert convert(capsys, name, out, "--dtype", "raw")[0] == 0
    with kelvane.LmaFile(name) as f:
        want = f.read(dtype="raw")
    stored, _ = load(out, decode=False)
    for key, trace in want.traces.items():
        assert np.array_equal(stored[key][0], trace)


def test_zarr_arrays_with_other_codecs_are_left_to_zarr(tmp_path):
    zarr = pytest.importorskip("zarr")
    from kelvane.export import zarrstore
    group = zarr.open_group(str(tmp_path / "out.zarr"), mode="w")
    shape, chunks = (5, 4), (2, 4)
    if zarrstore.ZARR3:
        from zarr.codecs import TransposeCodec
        plain = group.create_array("plain", shape=shape, dtype="i2",
                                   chunks=chunks, fill_value=0,
                                   compressors=zarrstore.compressor(
                                       True, np.dtype("i2")))
        other = group.create_array("other", shape=shape, dtype="i2",
                                   chunks=chunks, fill_value=0,
                                   filters=[TransposeCodec(order=(1, 0))])
    else:
        from numcodecs import Delta
        plain = group.create_dataset("plain", shape=shape, dtype="i2",
                                     chunks=chunks, compressor=zarrstore.
                                     compressor(True, np.dtype("i2")))
        other = group.create_dataset("other", shape=shape, dtype="i2",
                                     chunks=chunks,
                                     filters=[Delta(dtype="i2")])
    # Encoded without the filter, the bytes would read back as others;
    # chunks split across samples would each take a part of a row.
    split = group.create_dataset("split", shape=shape, dtype="i2",
                                 chunks=(2, 2)) if not zarrstore.ZARR3 \
        else group.create_array("split", shape=shape, dtype="i2",
                                chunks=(2, 2), fill_value=0)
    assert zarrstore.Chunks.of(other) is None
    assert zarrstore.Chunks.of(split) is None
    values = np.arange(20, dtype="i2").reshape(shape) * 7 - 50
    writer = zarrstore.Chunks.of(plain)
    for row in (0, 2, 4):
        writer.put(row, values[row:row + 2])
    assert np.array_equal(plain[...], values)
