"""kelvane.LmaFile against iterating LmaReader, its arguments, threads,
pickling and files that change while open."""
import errno
import gc
import os
import pickle
import struct
import sys
import threading

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import kelvane
from kelvane import DamagedHeaderError, LmaFile, lmafmt
from kelvane.lmafile import Events
from kelvane.writer import Channel, Event, Pulse, header_bytes, write_lma

from conftest import open_fds
from test_robustness import (EXAMPLES, bits, collected_unraisable,
                             damaged_files, models)


def iterate_reader(path):
    """Events, record offsets and the failure of one pass over LmaReader."""
    events, offsets, failure = [], [], None
    with collected_unraisable(), lmafmt.LmaReader(path) as r:
        offsets.append(r.pos_begin)
        try:
            for ev in r:
                events.append(ev)
                offsets.append(r.pos_cur)
        except (OSError, IndexError, ValueError, MemoryError) as e:
            failure = e
    return events, offsets, failure


def check_against_reader(path, data):
    events, offsets, failure = iterate_reader(path)
    if isinstance(failure, MemoryError):
        return
    with LmaFile(path) as f:
        assert len(f) == len(events)
        assert f.offsets.tolist() == offsets[:len(events)]
        if failure is None:
            assert f.damage is None
        else:
            assert f.damage.offset == offsets[len(events)]
            assert f.damage.event == len(events)
            assert type(f.damage.error) is type(failure)
            assert str(f.damage.error) == str(failure)
        got = f.read()
        assert got.tags.tolist() == [ev["tag"] for ev in events]
        # The index's heads, from every path of the walk, are the records'.
        assert f.tags.tobytes() == got.tags.tobytes()
        assert f.horpos.tobytes() == got.horpos.tobytes()
        for k, off in enumerate(f.offsets):
            want = (struct.unpack_from("<d", data, off + 4)[0]
                    if off + 12 <= len(data) else float("nan"))
            assert bits(got.horpos[k:k + 1]) == bits(np.array([want]))
        for key, block in got.traces.items():
            want = np.array([ev[key] for ev in events]).reshape(block.shape)
            np.testing.assert_array_equal(bits(block), bits(want))
        check_other_dtypes(f, got)


def check_other_dtypes(f, got):
    with np.errstate(all="ignore"):
        single = f.read(dtype="float32")
        raw = f.read(dtype="raw")
        for key, block in got.traces.items():
            np.testing.assert_array_equal(
                bits(single.traces[key].astype(np.float64)),
                bits(block.astype(np.float32).astype(np.float64)))
            cal = f.calibration[key]
            # Equal as numbers: an uncovered sample gives gain * 0.0,
            # which is -0.0 for a negative gain.
            np.testing.assert_array_equal(
                cal.gain * (raw.traces[key] - np.float64(cal.baseline)),
                block)


@EXAMPLES
@given(model=models())
def test_sound_files_read_as_the_reader_iterates(tmp_path_factory, model):
    path = str(tmp_path_factory.mktemp("sound") / "f.lma")
    model.write(path)
    with open(path, "rb") as fh:
        data = fh.read()
    try:
        check_against_reader(path, data)
    except DamagedHeaderError as e:
        # The generator draws any sample interval and gain; nothing else
        # is refused.
        assert e.field == "sample interval" or e.field.startswith("gain")


@EXAMPLES
@given(data=damaged_files())
def test_damaged_files_read_as_the_reader_iterates(tmp_path_factory, data):
    path = str(tmp_path_factory.mktemp("damaged") / "f.lma")
    with open(path, "wb") as fh:
        fh.write(data)
    fds = open_fds()
    try:
        check_against_reader(path, data)
    except DamagedHeaderError as e:
        assert isinstance(e.field, str) and e.field
        assert pickle.loads(pickle.dumps(e)).args == e.args
    assert open_fds() == fds


# --- ranges, channels, dtypes, out ---------------------------------------

CHANNELS = {0: Channel(gain=0.5, baseline=10), 3: Channel(gain=-2.0),
            5: Channel(gain=1e-3, baseline=-7)}


def write_sample(path):
    """40 events on channels 0, 3 and 5, each with one pulse per channel."""
    rng = np.random.default_rng(1)
    events = [Event(int(t), [[Pulse(int(rng.integers(0, 20)),
                                    rng.integers(-99, 99, 5).tolist())]
                             for _ in CHANNELS], horpos=t / 8)
              for t in range(40)]
    write_lma(path, CHANNELS, events, nsamples=24, sample_interval=0.25)
    return str(path)


@pytest.fixture
def sample(tmp_path):
    return write_sample(tmp_path / "sample.lma")


@pytest.fixture(scope="module")
def shared_sample(tmp_path_factory):
    return write_sample(tmp_path_factory.mktemp("shared") / "sample.lma")


@given(data=st.data())
@EXAMPLES
def test_ranges_and_channel_subsets_agree_with_the_whole(shared_sample,
                                                         data):
    with LmaFile(shared_sample) as f:
        whole = {d: f.read(dtype=d) for d in ("float64", "float32", "raw")}
        start = data.draw(st.integers(0, len(f)))
        stop = data.draw(st.integers(start, len(f)))
        keys = data.draw(st.permutations(list(f.calibration)))
        keys = keys[:data.draw(st.integers(0, len(keys)))]
        picks = [k if data.draw(st.booleans()) else int(k[7:]) for k in keys]
        dtype = data.draw(st.sampled_from(list(whole)))
        got = f.read(start, stop, channels=picks, dtype=dtype)
        assert list(got.traces) == list(keys)
        assert got.tags.tolist() == whole[dtype].tags[start:stop].tolist()
        for k in keys:
            np.testing.assert_array_equal(got.traces[k],
                                          whole[dtype].traces[k][start:stop])
        for i in range(start, min(stop, start + 3)):
            ev = f[i - len(f)]
            assert ev.tag == whole["float64"].tags[i]
            assert ev.horpos == i / 8
            for row, k in enumerate(f.calibration):
                np.testing.assert_array_equal(ev.traces[row],
                                              whole["float64"].traces[k][i])


def test_attributes(sample):
    with LmaFile(sample) as f:
        assert f.channels == [0, 3, 5]
        assert f.calibration["channel5"] == (0, 0, -7, 1e-3)
        # What a caller holds cannot change the file's own description.
        f.channels.append(9)
        with pytest.raises(TypeError):
            f.calibration["channel0"] = f.calibration["channel5"]
        with pytest.raises(AttributeError):
            f.channels = [5]
        assert f.channels == [0, 3, 5] and len(f.calibration) == 3
        with pytest.raises(ValueError, match=r"in use: \[0, 3, 5\]"):
            f.read(channels=[9])
        assert f.time.tolist() == [i * 0.25 for i in range(24)]
        assert f.offsets.flags.writeable is False
        assert "40 events" in repr(f)
    assert "closed" in repr(f)


@pytest.mark.parametrize("mapping", [False, True])
def test_out_arrays_are_reused(sample, mapping):
    with LmaFile(sample) as f:
        out = f.read(0, 16, dtype="float32")
        if mapping:
            # Interleaved rows of one array: disjoint, so accepted.
            shared = np.empty((3 * 16, 24), np.float32)
            out = {k: shared[i::3] for i, k in enumerate(out.traces)}
        got = f.read(20, 30, dtype="float32", out=out)
        traces = out if mapping else out.traces
        for key, block in got.traces.items():
            assert np.shares_memory(block, traces[key])
            assert block.shape == (10, 24)
            np.testing.assert_array_equal(
                block, f.read(20, 30, dtype="float32").traces[key])
        if not mapping:
            assert np.shares_memory(got.tags, out.tags)


def _events_like(f, rows=8, dtype=np.float64, **changes):
    out = Events(np.full(rows, 9, np.int32), np.full(rows, 9.0),
                 {k: np.full((rows, f.nsamples), 9, dtype)
                  for k in f.calibration})
    return out._replace(**changes)


BAD_READS = [
    (dict(start=5, stop=4), ValueError),
    (dict(start=-1), IndexError),
    (dict(stop=41), IndexError),
    (dict(start=41, stop=None), IndexError),
    (dict(start=45, stop=44), IndexError),
    (dict(start=2.0), TypeError),
    (dict(channels=[1]), ValueError),
    (dict(channels=["channel0", 0]), ValueError),
    (dict(channels=[None]), TypeError),
    (dict(dtype="int32"), ValueError),
    (dict(dtype="float16"), ValueError),
    (dict(dtype="RAW"), ValueError),                 # not a dtype at all
    (dict(dtype=3), ValueError),
    (dict(stop=9), ValueError),                      # out has 8 rows
    (dict(out=[]), TypeError),
    (dict(dtype="raw"), ValueError),                 # out is float64
    (dict(out_change=dict(tags=np.zeros(8, np.int64))), ValueError),
    (dict(out_change=dict(traces={})), ValueError),
    (dict(out_traces=lambda a: a[:, :-1]), ValueError),
    (dict(out_traces=lambda a: a[::-1]), ValueError),
    (dict(out_traces=lambda a: np.asfortranarray(a)), ValueError),
    (dict(out_traces=lambda a: a.setflags(write=False) or a), ValueError),
    (dict(out_traces=lambda a: np.ndarray(a.shape, a.dtype, offset=1,
                                          buffer=bytearray(a.nbytes + 1))),
     ValueError),
    # Outputs written over one another.
    (dict(out_fix=lambda o: o._replace(
        traces=dict.fromkeys(o.traces, o.traces["channel0"]))), ValueError),
    (dict(out_fix=lambda o: o._replace(
        traces={**o.traces, "channel0": o.traces["channel5"].reshape(-1)
                [24:].reshape(7, 24)}), stop=7), ValueError),
    (dict(out_fix=lambda o: o._replace(
        tags=o.traces["channel3"].view(np.int32)[0])), ValueError),
]


@pytest.mark.parametrize("case, error", BAD_READS)
def test_bad_arguments_change_nothing(sample, case, error):
    with LmaFile(sample) as f:
        out = _events_like(f, **case.pop("out_change", {}))
        out = case.pop("out_fix", lambda o: o)(out)
        if "out_traces" in case:
            fix = case.pop("out_traces")
            out = out._replace(traces={k: fix(a) for k, a in
                                       out.traces.items()})
        case.setdefault("out", out)
        before = pickle.dumps(out)
        refs = [sys.getrefcount(a) for a in out.traces.values()]
        with pytest.raises(error):
            f.read(**{"stop": 8, **case})
        assert pickle.dumps(out) == before
        # No buffer stays exported after the failure.
        assert [sys.getrefcount(a) for a in out.traces.values()] == refs


@pytest.mark.parametrize("damaged", [False, True])
def test_only_the_rows_written_are_checked(make_lma, damaged):
    # One row of an array whose rows lie 68 bytes apart: taken, by the
    # engine and by the checks that name a refusal alike, so a record
    # damaged since indexing still reports itself, not the array.
    path = make_lma({0: Channel()}, [Event(i, [[Pulse(0, [1, 2, 3])]])
                                     for i in range(3)], nsamples=8)
    out = {"channel0": np.ndarray((2, 8), np.float64, strides=(68, 8),
                                  buffer=np.zeros(256, np.uint8))}
    with LmaFile(path) as f:
        if damaged:
            with open(path, "r+b") as w:
                w.seek(int(f.offsets[0]) + 14)    # record 0's first sample
                w.write(struct.pack("<i", 7))     # 3 samples into 1
            with pytest.raises(ValueError, match="broadcast"):
                f.read(0, 1, out=out)
        else:
            got = f.read(0, 1, out=out).traces["channel0"]
            assert got.tolist() == [[1, 2, 3, 0, 0, 0, 0, 0]]


@pytest.mark.parametrize("index, error", [
    (40, IndexError), (-41, IndexError), (slice(0, 2), TypeError),
    ("0", TypeError)])
def test_bad_indices(sample, index, error):
    with LmaFile(sample) as f, pytest.raises(error):
        f[index]


def test_a_range_past_the_index_names_its_last_event(sample):
    # As when a refresh that shrank the index races a read.
    with LmaFile(sample) as f:
        native = f._native
        for call in (lambda: native.count_pulses(38, 42, ()),
                     lambda: native.decode(38, 42, 0, (), None, None, ())):
            with pytest.raises(IndexError, match=r"^event 41 is past the "
                                                 r"index of 40 events$"):
                call()


def test_pulses_as_stored(make_lma):
    events = [Event(1, [[Pulse(2, [5, 6]), Pulse(-3, [7])], []]),
              Event(2, [[], [Pulse(0, [8, 9, 10])]])]
    path = make_lma({1: Channel(), 4: Channel()}, events, nsamples=6)
    with LmaFile(path) as f:
        p = f.pulses()
        assert p.event.tolist() == [0, 0, 1]
        assert p.channel.tolist() == [1, 1, 4]
        assert p.first.tolist() == [2, -3, 0]
        assert p.length.tolist() == [2, 1, 3]
        assert p.offset.tolist() == [0, 2, 3]
        assert p.samples.tolist() == [5, 6, 7, 8, 9, 10]
        assert f.pulses(1, 2, channels=["channel1"]).event.tolist() == []


def test_a_pulse_longer_than_a_read_chunk_reads_alike_every_way(make_lma):
    # 140,000 samples: more than the first two chunks the reader reads a
    # pulse in (65,536, then twice that).
    raw = (np.arange(140_000) * 7919 % 60_001 - 30_000).astype(np.int16)
    events = [Event(1, [[Pulse(0, [1])], [Pulse(5_000, raw.tolist())]]),
              Event(2, [[Pulse(-len(raw) - 1, raw.tolist())], []])]
    path = make_lma({0: Channel(), 2: Channel(gain=0.5, baseline=3)}, events,
                    nsamples=150_000)
    with lmafmt.LmaReader(path) as r:
        iterated = [[ev["channel0"], ev["channel2"]] for ev in r]
    want = np.zeros((2, 2, 150_000))
    want[0, 0, 0] = 1.0
    want[0, 1, 5_000:145_000] = 0.5 * (raw - np.float64(3))
    want[1, 0, 9_999:-1] = raw
    with LmaFile(path) as f:
        fresh = f.read()
        out = f.read(dtype="float64")
        for block in out.traces.values():
            block.fill(np.nan)
        into = f.read(out=out)
        for e in range(2):
            np.testing.assert_array_equal(iterated[e], want[e])
            np.testing.assert_array_equal(f[e].traces, want[e])
            for got in (fresh, into):
                np.testing.assert_array_equal(got.traces["channel0"][e],
                                              want[e, 0])
                np.testing.assert_array_equal(got.traces["channel2"][e],
                                              want[e, 1])


# --- threads, pickling, changing files, descriptors ------------------------


def test_threads_read_one_file_as_one_thread_does(sample):
    with LmaFile(sample) as f:
        serial = f.read()
        errors = []

        def work(seed):
            rng = np.random.default_rng(seed)
            try:
                for _ in range(200):
                    a = int(rng.integers(0, 40))
                    b = int(rng.integers(a, 41))
                    got = f.read(a, b)
                    for k, block in got.traces.items():
                        assert np.array_equal(block, serial.traces[k][a:b])
            except Exception as e:  # reported in the main thread
                errors.append(e)

        threads = [threading.Thread(target=work, args=(s,)) for s in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []


def test_close_while_threads_read(sample):
    f = LmaFile(sample)
    outcomes = []

    def work():
        try:
            while True:
                f.read()
                f.refresh()
        except ValueError as e:
            outcomes.append(str(e))

    threads = [threading.Thread(target=work) for _ in range(3)]
    for t in threads:
        t.start()
    f.close()
    for t in threads:
        t.join()
    assert outcomes == ["I/O operation on closed file."] * 3


def test_pickle_reuses_the_index_while_the_file_is_unchanged(sample):
    f = LmaFile(sample)
    copy = pickle.loads(pickle.dumps(f))
    assert copy._native.scan_count == 0
    assert copy.offsets.tolist() == f.offsets.tolist()
    f.close()
    reopened = pickle.loads(pickle.dumps(f))   # a closed file reopens
    assert not reopened.closed and reopened._native.scan_count == 0
    st = os.stat(sample)
    os.utime(sample, ns=(st.st_atime_ns, st.st_mtime_ns + 10**9))
    rescanned = pickle.loads(pickle.dumps(f))
    assert rescanned._native.scan_count == 1 and len(rescanned) == 40
    for g in (copy, reopened, rescanned):
        g.close()


def test_pickle_after_a_change_of_directory(sample, tmp_path, monkeypatch):
    monkeypatch.chdir(os.path.dirname(sample))
    f = LmaFile(os.path.basename(sample))
    (tmp_path / "elsewhere").mkdir()
    monkeypatch.chdir(tmp_path / "elsewhere")
    copy = pickle.loads(pickle.dumps(f))
    assert len(copy) == 40 and copy._native.scan_count == 0
    f.close()
    copy.close()


def test_refresh_follows_a_growing_file(tmp_path):
    path = tmp_path / "grow.lma"
    records = [Event(t, [[Pulse(0, [t, t])]]).pack() for t in range(4)]
    path.write_bytes(header_bytes({0: Channel()}, nsamples=4) + records[0])
    with LmaFile(path) as f, open(path, "ab") as w:
        assert len(f) == 1 and f.damage is None
        w.write(records[1] + records[2][:9])
        w.flush()
        assert f.refresh() == 1
        assert str(f.damage.error) == "Fail to read a block: 0!"
        w.write(records[2][9:] + records[3])
        w.flush()
        assert f.refresh() == 2 and f.damage is None
        assert f.read().tags.tolist() == [0, 1, 2, 3]
        # The index's own heads grow with it.
        assert f.tags.tolist() == [0, 1, 2, 3]
        assert f.horpos.tobytes() == f.read().horpos.tobytes()


def test_truncation_while_open_is_reported(sample):
    with LmaFile(sample) as f:
        cut = int(f.offsets[30]) + 5
        os.truncate(sample, cut)
        assert f[29].tag == 29
        with pytest.raises(OSError, match="event 30 at byte"):
            f.read(25, 35)
        with pytest.raises(OSError):
            f.pulses()
        assert f.refresh() == -10 and f.damage.event == 30
        assert str(f.damage.error) == "Fail to read a block: 0!"


def test_no_descriptor_is_left_behind(sample, tmp_path, make_raw):
    fds = open_fds()
    LmaFile(sample)                          # dropped unclosed
    gc.collect()
    with pytest.raises(IsADirectoryError):
        LmaFile(tmp_path)
    with pytest.raises(FileNotFoundError) as missing:
        LmaFile(tmp_path / "missing.lma")
    assert missing.value.filename == str(tmp_path / "missing.lma")
    with pytest.raises(DamagedHeaderError) as damaged:
        LmaFile(make_raw(os.urandom(64) + struct.pack("<i", -1) * 8))
    assert damaged.value.field and damaged.value.value is not None
    with pytest.raises(KeyError), LmaFile(sample):
        raise KeyError
    assert open_fds() == fds


@pytest.mark.parametrize("kind", ["fifo", "device"])
def test_only_regular_files_open(tmp_path, kind):
    path = tmp_path / "fifo" if kind == "fifo" else "/dev/null"
    if kind == "fifo":
        os.mkfifo(path)
    fds = open_fds()
    errors = []

    def open_it():
        try:
            LmaFile(path)
        except OSError as e:
            errors.append(e)

    opener = threading.Thread(target=open_it)
    opener.start()
    opener.join(30)
    blocked = opener.is_alive()
    if blocked:
        # Waiting for a writer: one comes, so the thread ends.
        os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))
        opener.join()
    assert not blocked
    [e] = errors
    assert (type(e), e.errno, e.strerror, e.filename) == (
        OSError, errno.EINVAL, "not a regular file", str(path))
    assert open_fds() == fds


def test_import_loads_no_extension():
    from conftest import run_python
    run_python("""
        import sys, kelvane
        assert kelvane.DamagedHeaderError.__module__ == "kelvane.damage"
        assert not any(m in sys.modules for m in
                       ("kelvane._lmafile", "kelvane.lmafmt"))
        assert kelvane.LmaFile.__module__ == "kelvane.lmafile"
        """)


def test_write_lma_header_error_names_field(make_lma):
    path = make_lma({0: Channel()}, nsamples=-5)
    with pytest.raises(DamagedHeaderError) as e:
        LmaFile(path)
    assert (e.value.field, e.value.value) == ("num of samples", -5)
    assert kelvane.DamagedHeaderError is DamagedHeaderError


@pytest.mark.parametrize("part", ["tags", "horpos"])
def test_pickled_index_with_heads_of_another_length_is_refused(sample, part):
    with LmaFile(sample) as f:
        state = list(f._native.index_state())
        # Fields 12 and 13: the tags and the horpos, as bytes.
        at = {"tags": 12, "horpos": 13}[part]
        state[at] = state[at][:-1]
        with pytest.raises(ValueError, match="not a record index"):
            f._native.restore_index(tuple(state))
