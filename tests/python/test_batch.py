import pathlib
import warnings

import numpy as np
import pytest

import kelvane
from kelvane.lmafmt import LmaReader
from kelvane.writer import Channel, Event, Pulse, event_bytes, header_bytes

CHANNELS = {0: Channel(gain=0.5, baseline=10), 2: Channel(gain=-2.0),
            3: Channel(gain=1.5, baseline=-3)}
NSAMPLES = 16


def varied_events(n, first_big=False):
    """Records of different sizes: empty sections, long pulses, negative
    first indices, overlaps. `first_big` makes the first record the
    largest, so a size guess from it falls short."""
    events = []
    for i in range(n):
        width = 1 + (i * 7) % 9
        sections = [[Pulse(i % 5, list(range(i, i + width)))],
                    [] if i % 3 else [Pulse(-4, [i, -i, 2 * i])],
                    [Pulse(0, [1, 2, 3]), Pulse(1, [-7] * (i % 4 + 1))]]
        events.append(Event(1000 + i, sections))
    if first_big:
        events[0] = Event(999, [[Pulse(0, list(range(NSAMPLES)))]] * 3)
    return events


def by_iteration(name):
    with LmaReader(name) as r:
        return [(d["tag"], {k: v.copy() for k, v in d.items() if k != "tag"})
                for d in r]


def assert_same(events, expected, dtype=np.float64):
    tags, traces = events
    assert tags.tolist() == [tag for tag, _ in expected]
    assert sorted(traces) == ["channel0", "channel2", "channel3"]
    for key, block in traces.items():
        assert block.dtype == dtype
        assert block.shape == (len(expected), NSAMPLES)
        want = np.array([t[key] for _, t in expected]).reshape(block.shape)
        np.testing.assert_array_equal(block, want.astype(dtype))


@pytest.fixture
def sample(make_lma):
    return make_lma(CHANNELS, varied_events(12), nsamples=NSAMPLES)


@pytest.mark.parametrize("start, stop", [
    (0, None), (2, 5), (3, 3), (0, 100), (11, None), (12, 12), (20, 20)])
def test_read_events_matches_iteration(sample, start, stop):
    expected = by_iteration(sample)[start:stop]
    assert_same(kelvane.read_events(sample, start, stop), expected)


@pytest.mark.parametrize("start, stop, error, message", [
    (12, None, IndexError, "has 12 events; no event 12"),
    (13, 20, IndexError, "has 12 events; no event 13"),
    (-1, None, ValueError, "bad event range"),
    (5, 4, ValueError, "bad event range")])
def test_bad_ranges_raise_at_the_call(sample, start, stop, error, message):
    with pytest.raises(error, match=message):
        kelvane.read_events(sample, start, stop)
    with pytest.raises(error, match=message):
        kelvane.iterate(sample, start=start, stop=stop)


@pytest.mark.parametrize("first_big", [False, True])
@pytest.mark.parametrize("n", [1, 2, 300])
def test_growing_and_trimming_keep_every_event(make_lma, n, first_big):
    name = make_lma(CHANNELS, varied_events(n, first_big), nsamples=NSAMPLES)
    assert_same(kelvane.read_events(name), by_iteration(name))


def test_path_objects_and_float32(sample):
    events = kelvane.read_events(pathlib.Path(sample), dtype=np.float32)
    assert_same(events, by_iteration(sample), np.float32)


def test_float32_overflow_gives_inf_without_a_warning(make_lma):
    name = make_lma({0: Channel(gain=1e300)}, [Event(1, [[Pulse(0, [5])]])],
                    nsamples=2)
    traces = kelvane.read_events(name, dtype=np.float32).traces
    assert traces["channel0"].tolist() == [[np.inf, 0.0]]


@pytest.mark.parametrize("dtype", [np.int8, "i4", bool, complex])
def test_only_floating_dtypes(sample, dtype):
    # iterate too raises at the call, before any next().
    for call in (kelvane.read_events, kelvane.iterate):
        with pytest.raises(ValueError, match="floating"):
            call(sample, dtype=dtype)


def test_names_that_are_not_utf8(tmp_path):
    name = tmp_path / "\udcff.lma"
    with pytest.raises(FileNotFoundError):
        kelvane.read_events(name)
    name.write_bytes(header_bytes(CHANNELS))
    assert kelvane.read_events(name).tags.shape == (0,)
    # The streaming reader still takes UTF-8 names only.
    with pytest.raises(ValueError, match="UTF-8"):
        kelvane.batch.open_reader(name)


def test_file_without_events_or_channels(make_lma):
    tags, traces = kelvane.read_events(make_lma(CHANNELS, nsamples=5))
    assert tags.shape == (0,) and traces["channel2"].shape == (0, 5)
    tags, traces = kelvane.read_events(make_lma({}, [Event(4), Event(5)]))
    assert tags.tolist() == [4, 5] and traces == {}


@pytest.mark.parametrize("start, stop", [(0, None), (3, 11), (1, 100)])
@pytest.mark.parametrize("step_size", [1, 5, 12, 100])
def test_iterate_batches_join_up(sample, step_size, start, stop):
    batches = list(kelvane.iterate(pathlib.Path(sample), step_size,
                                   start=start, stop=stop))
    assert all(0 < len(b.tags) <= step_size for b in batches)
    assert sum(len(b.tags) for b in batches[:-1]) % step_size == 0
    joined = (np.concatenate([b.tags for b in batches]),
              {k: np.concatenate([b.traces[k] for b in batches])
               for k in batches[0].traces})
    assert_same(joined, by_iteration(sample)[start:stop])


@pytest.mark.parametrize("dtype", [np.float16, ">f8", np.longdouble])
def test_other_floating_dtypes_are_converted(sample, dtype, monkeypatch):
    # Small conversion buffers, so that several of them fill one result.
    monkeypatch.setattr(kelvane.batch, "_CONVERT_BYTES", 400)
    tags, traces = kelvane.read_events(sample, 1, 11, dtype=dtype)
    assert_same((tags, traces), by_iteration(sample)[1:11], np.dtype(dtype))


BROKEN_RECORDS = {
    "cut short": (event_bytes(Event(7, [[Pulse(0, [1] * 6)], [], []]))[:-3],
                  OSError),
    "pulse of length 0": (Event(7, [[Pulse(0, [])], [], []]), IndexError),
    "pulse past the row": (
        Event(7, [[Pulse(NSAMPLES - 2, [1, 2, 3])], [], []]), ValueError),
}


@pytest.fixture(params=sorted(BROKEN_RECORDS))
def damaged(request, make_lma):
    """A file of 4 good events and a broken fifth; returns its name, the
    broken record's offset and the error class it gives."""
    broken, error = BROKEN_RECORDS[request.param]
    good = varied_events(4)
    name = make_lma(CHANNELS, good + [broken], nsamples=NSAMPLES)
    offset = len(header_bytes(CHANNELS, nsamples=NSAMPLES))
    offset += sum(len(event_bytes(e)) for e in good)
    return name, offset, error


def check_warning(record, name, offset, error):
    (w,) = record
    assert isinstance(w.message, kelvane.DamagedRecordWarning)
    damage = w.message.damage
    assert (damage.offset, damage.event) == (offset, 4)
    assert isinstance(damage.error, error)
    # Only the record cut short may yet be completed by its writer.
    assert damage.incomplete == (error is OSError)
    said = "ends inside event 4, which is incomplete" if damage.incomplete \
        else f"damaged record at byte {offset} (event 4)"
    assert said in str(w.message)
    assert name in str(w.message)


def test_damaged_record_keeps_the_events_before_it(damaged):
    name, offset, error = damaged
    expected = by_iteration_until_damage(name)
    with pytest.warns(kelvane.DamagedRecordWarning) as record:
        events = kelvane.read_events(name)
    check_warning(record, name, offset, error)
    assert_same(events, expected)


def test_damaged_record_ends_iterate_after_the_last_batch(damaged):
    name, offset, error = damaged
    batches = []
    with pytest.warns(kelvane.DamagedRecordWarning) as record:
        for batch in kelvane.iterate(name, step_size=3):
            batches.append(batch.tags.tolist())
            # The warning comes only once every event has been handed out.
            assert not record.list
    check_warning(record, name, offset, error)
    assert batches == [[1000, 1001, 1002], [1003]]


def test_range_before_the_damage_is_clean(damaged):
    name, offset, _ = damaged
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert kelvane.read_events(name, 1, 4).tags.tolist() == [1001, 1002,
                                                                 1003]
    # No event behind the damage: the error says why.
    with pytest.raises(IndexError, match=(
            f"has 4 events, (ended by a damaged record at byte {offset} "
            f"\\(event 4\\): .*|then ends inside event 4, which is "
            f"incomplete .*, from byte {offset}); no event 4$")):
        kelvane.read_events(name, 4)


def by_iteration_until_damage(name):
    out = []
    with LmaReader(name) as r:
        events = iter(r)
        while True:
            try:
                d = next(events)
            except (StopIteration, OSError, IndexError, ValueError):
                return out
            out.append((d["tag"], {k: v.copy() for k, v in d.items()
                                   if k != "tag"}))


@pytest.mark.parametrize("data", [
    b"", b"\x01\x02\x03", header_bytes(CHANNELS)[:-20],
    # The first event would start inside the header.
    header_bytes(CHANNELS, header_size=-10),
    header_bytes(CHANNELS, header_size=50 + 24 * 3 - 5),
    # Random bytes used to pass as a file without events.
    *[np.random.default_rng(seed).bytes(4096) for seed in range(4)]])
def test_damaged_header_raises_without_output(make_raw, capfd, data):
    name = make_raw(data)
    for call in (kelvane.read_events, kelvane.iterate):
        with pytest.raises(kelvane.DamagedHeaderError,
                           match="damaged header|no complete header yet"):
            call(name)
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("scheduler", ["sync", "processes"])
def test_dask_recipe(make_lma, scheduler):
    bag = pytest.importorskip("dask.bag")
    files = [make_lma(CHANNELS, varied_events(n), nsamples=NSAMPLES)
             for n in (3, 0, 7)]
    records = (bag.from_sequence(files, npartitions=len(files))
               .map(kelvane.summarise_file).flatten()
               .compute(scheduler=scheduler))
    expected = [(f, tag, traces) for f in files
                for tag, traces in by_iteration(f)]
    assert [(r["file"], r["tag"]) for r in records] == [
        (f, tag) for f, tag, _ in expected]
    for record, (_, _, traces) in zip(records, expected):
        for key, trace in traces.items():
            assert record[f"{key}_min"] == trace.min()
            assert record[f"{key}_max"] == trace.max()
