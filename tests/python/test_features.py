"""LmaFile.features against the quantities' definitions on the dense
traces of read(): random files, windows and edge settings, the corners,
arguments, ranges, damage, threads and the two exports."""
import dataclasses
import json
import os
import threading

import numpy as np
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

import reference
from conftest import run_python
from kelvane import DamagedHeaderError, Features, LmaFile
from kelvane.writer import Channel, Event, Pulse, write_lma

from test_robustness import EXAMPLES, models

INTEGERS = ("argmax", "argmin", "pulses", "covered")

# Gains that tie every sample, flip signs and zeros, or overflow to +-inf.
GAINS = st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, -3e-3, 5e-324, 1e300,
                         -1e305, 1.7e308]) | st.floats(-1e6, 1e6)


def reference_values(f, start, stop, keys, window, threshold, fraction,
                     polarity):
    """name -> (events, channels) array, by the definitions on read()."""
    dense = f.read(start, stop, channels=keys).traces
    stored = f.pulses(start, stop, channels=keys)
    rows = {}
    with np.errstate(all="ignore"):
        for c, key in enumerate(keys):
            channel = int(key[len("channel"):])
            for e in range(stop - start):
                mine = (stored.event == start + e) & (stored.channel ==
                                                      channel)
                pulses = list(zip(stored.first[mine].tolist(),
                                  stored.length[mine].tolist()))
                written = reference.written_samples(f.nsamples, pulses)
                got = reference.trace_features(
                    dense[key][e], written, len(pulses), window, threshold,
                    fraction, polarity)
                for name, value in got.items():
                    rows.setdefault(name, {})[(e, c)] = value
    return rows


def assert_matches(feat, want, dense, window):
    """Equal values (either zero, NaN for NaN); a sum within rounding of
    the dense one, exactly it where a sample is infinite, and anything
    where only partial sums overflow."""
    a, b = window or (0, None)
    for name, values in feat.values.items():
        assert values.dtype == (np.int32 if name in INTEGERS else np.float64)
        for (e, c), expected in want.get(name, {}).items():
            got = values[e, c]
            if got == expected or (np.isnan(got) and np.isnan(expected)):
                continue
            s = dense[feat.channels[c]][e][a:b]
            scale = np.sum(np.abs(s))
            assert name == "sum" and np.isfinite(s).all(), (name, e, c)
            assert not np.isfinite(scale) or \
                abs(got - expected) <= 1e-12 * scale, (e, c)


@st.composite
def feature_models(draw):
    model = draw(models())
    assume(model.events and model.channels and model.nsamples)
    for i, (c, ch) in enumerate(sorted(model.channels.items())):
        model.channels[c] = dataclasses.replace(ch, gain=draw(GAINS))
        if draw(st.booleans()):
            # Samples within 2 of the baseline at a gain of 1e308: finite
            # values whose running total overflows, among infinite ones.
            model.channels[c] = dataclasses.replace(
                ch, gain=draw(st.sampled_from([1e308, -1e308])))
            for ev in model.events:
                for p in ev.sections[i].pulses:
                    p.samples = [min(max(ch.baseline + v % 5 - 2, -2**15),
                                     2**15 - 1) for v in p.samples]
    return model


@EXAMPLES
@given(model=feature_models(), data=st.data())
def test_features_follow_their_definitions(tmp_path_factory, model, data):
    path = str(tmp_path_factory.mktemp("feat") / "f.lma")
    model.write(path)
    try:
        f = LmaFile(path)
    except DamagedHeaderError as e:
        assert e.field == "sample interval"
        return
    with f:
        n, ns = len(f), f.nsamples
        start = data.draw(st.integers(0, n))
        stop = data.draw(st.integers(start, n))
        keys = data.draw(st.permutations(list(f.calibration)))
        keys = keys[:data.draw(st.integers(1, len(keys)))]
        a = data.draw(st.integers(0, ns))
        window = data.draw(st.none() | st.tuples(
            st.just(a), st.integers(a, ns)))
        with np.errstate(all="ignore"):
            seen = np.abs(f.read().traces[keys[0]]).ravel()
        seen = seen[np.isfinite(seen) & (seen > 0)].tolist()
        threshold = data.draw(st.none() | st.floats(1e-300, 1e300) |
                              st.sampled_from(seen or [1.0]))
        fraction = data.draw(st.sampled_from([1.0, 0.5]) |
                             st.floats(1e-9, 1.0))
        polarity = data.draw(st.sampled_from([1, -1]))
        feat = f.features(start, stop, channels=keys, window=window,
                          threshold=threshold, fraction=fraction,
                          polarity=polarity)
        want = reference_values(f, start, stop, keys, window, threshold,
                                fraction, polarity)
        assert feat.channels == keys
        assert feat.tags.tolist() == f.read(start, stop).tags.tolist()
        assert list(feat.values) == [q for q in
                                     ("maximum", "minimum", "argmax",
                                      "argmin", "sum", "pulses", "covered",
                                      "crossing", "cfd")
                                     if q != "crossing" or threshold]
        with np.errstate(all="ignore"):
            assert_matches(feat, want,
                           f.read(start, stop, channels=keys).traces, window)


# --- corners and arguments -------------------------------------------------


@pytest.fixture
def small(make_lma):
    """Ten events on channels 1 and 4: a rising pulse on 1, a negative
    one on 4 whose second pulse overwrites the first in part."""
    events = [Event(t, [[Pulse(2, [0, 4, 8, 10, 6])],
                        [Pulse(5, [-2, -6, -9]), Pulse(6, [-12, 5])]],
                    horpos=t * 0.5) for t in range(10)]
    return make_lma({1: Channel(gain=0.5, baseline=0), 4: Channel(gain=2.0)},
                    events, nsamples=12)


def test_corners_by_hand(small):
    with LmaFile(small) as f:
        whole = f.features(threshold=3.0)
        first = {q: v[0].tolist() for q, v in whole.values.items()}
        # channel1: 0 0 0 2 4 5 3 0 ...; channel4: 0 ... -4 -24 10 0 ...
        assert first == {
            "maximum": [5.0, 10.0], "minimum": [0.0, -24.0],
            "argmax": [5, 7], "argmin": [0, 6], "sum": [14.0, -18.0],
            "pulses": [1, 2], "covered": [5, 3],
            "crossing": [3.5, 6.0 + 27 / 34], "cfd": [3.25, 6.0 + 29 / 34]}
        neg = f.features(channels=[4], threshold=3.0, polarity=-1)
        assert neg.values["crossing"][0, 0] == 4.0 + 3 / 4
        assert neg.values["cfd"][0, 0] == 5.0 + 8 / 20
        empty = f.features(window=(3, 3), threshold=1.0)
        row = {q: v[0] for q, v in empty.values.items()}
        assert np.isnan(row["maximum"]).all() and np.isnan(row["cfd"]).all()
        assert np.isnan(row["crossing"]).all()
        assert row["argmax"].tolist() == row["argmin"].tolist() == [-1, -1]
        assert row["sum"].tolist() == [0.0, 0.0]
        assert row["covered"].tolist() == [0, 0]
        assert row["pulses"].tolist() == [1, 2]
        none = f.features(threshold=100.0, window=(8, 12))
        assert np.isnan(none.values["crossing"]).all()
        assert np.isnan(none.values["cfd"][:, 0]).all()   # all zeros
        assert none.values["argmax"][0].tolist() == [8, 8]
        assert list(f.features().values)[-1] == "cfd"
        assert "crossing" not in f.features().values
        picked = f.features(2, 5, quantities=["cfd", "argmin"],
                            channels=["channel4", 1])
        assert list(picked.values) == ["cfd", "argmin"]
        assert picked.channels == ["channel4", "channel1"]
        assert picked.values["argmin"].tolist() == [[6, 0]] * 3
        assert picked.tags.tolist() == [2, 3, 4]


@pytest.mark.parametrize("kwargs", [
    dict(window=(0, 13)), dict(window=(5, 4)), dict(window=(-1, 3)),
    dict(window=(1, 2, 3)), dict(window=(0.5, 2)), dict(window=5),
    dict(threshold=0.0), dict(threshold=-1.0), dict(threshold=np.inf),
    dict(threshold=np.nan), dict(threshold="1"),
    dict(fraction=0.0), dict(fraction=1.5), dict(fraction=np.nan),
    dict(threshold=10**400), dict(fraction=-10**400),
    dict(polarity=0), dict(polarity=2), dict(polarity=True),
    dict(polarity=-1.0), dict(quantities=["maximum", "mean"]),
    dict(quantities=["crossing"]), dict(quantities=["sum", "sum"]),
])
def test_bad_arguments_are_refused_before_any_read(small, kwargs):
    with LmaFile(small) as f:
        # A cut file would fail the read: the argument fails first.
        os.truncate(small, int(f.offsets[1]) + 3)
        with pytest.raises(ValueError):
            f.features(**kwargs)


def test_closed_file_ranges_and_truncation(small):
    f = LmaFile(small)
    with pytest.raises(IndexError):
        f.features(0, 11)
    with pytest.raises(ValueError, match="start 3 is after stop 2"):
        f.features(3, 2)
    assert len(f.features(4, 4).tags) == 0
    cut = int(f.offsets[6]) + 5
    os.truncate(small, cut)
    with pytest.raises(OSError) as by_read:
        f.read(4, 8)
    with pytest.raises(OSError) as by_features:
        f.features(4, 8)
    assert type(by_features.value) is type(by_read.value)
    assert str(by_features.value) == str(by_read.value)
    f.close()
    with pytest.raises(ValueError, match="I/O operation on closed file."):
        f.features()


def test_damage_ends_the_events(make_lma):
    good = Event(1, [[Pulse(0, [3, 4])]]).pack()
    path = make_lma([0], [good, good, good[:-1]], nsamples=4)
    with LmaFile(path) as f:
        assert f.damage is not None
        feat = f.features()
        assert feat.values["sum"].tolist() == [[7.0], [7.0]]


def test_threads_share_one_file(small):
    with LmaFile(small) as f:
        whole = f.features(threshold=2.0)
        errors = []

        def work(seed):
            rng = np.random.default_rng(seed)
            try:
                for _ in range(50):
                    a = int(rng.integers(0, 10))
                    b = int(rng.integers(a, 11))
                    got = f.features(a, b, threshold=2.0)
                    for q, v in got.values.items():
                        np.testing.assert_array_equal(v, whole.values[q][a:b])
            except Exception as e:  # reported in the main thread
                errors.append(e)

        threads = [threading.Thread(target=work, args=(s,)) for s in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []


def test_exports(small, tmp_path):
    pd = pytest.importorskip("pandas")
    with LmaFile(small) as f:
        feat = f.features(1, 4, channels=[4, 1], threshold=3.0,
                          quantities=["maximum", "argmin", "crossing"])
    assert isinstance(feat, Features)
    df = feat.to_pandas()
    assert list(df.columns) == [
        "tag", "horpos", "channel4_maximum", "channel4_argmin",
        "channel4_crossing", "channel1_maximum", "channel1_argmin",
        "channel1_crossing"]
    assert df["tag"].tolist() == [1, 2, 3]
    assert df["channel1_crossing"].tolist() == [3.5] * 3
    assert df["channel4_argmin"].dtype == np.int32
    df.to_csv(tmp_path / "f.csv", index=False)
    back = pd.read_csv(tmp_path / "f.csv")
    assert list(back.columns) == list(df.columns)
    np.testing.assert_array_equal(back.to_numpy(), df.to_numpy())
    ds = feat.to_xarray()
    assert dict(ds.sizes) == {"event": 3, "channel": 2}
    assert ds["channel"].values.tolist() == ["channel4", "channel1"]
    assert ds["tag"].values.tolist() == [1, 2, 3]
    assert ds["horpos"].dims == ("event",)
    assert ds["argmin"].dims == ("event", "channel")
    assert ds["maximum"].sel(channel="channel1").values.tolist() == [5.0] * 3
    assert "source" not in ds.attrs and not ds.attrs


def test_pulses_far_apart_cost_what_they_store(make_lma):
    # One sample at each end of a row of 2**31 - 1, in order, reversed,
    # and overlapping: the row between them may take no memory, checked
    # under an address-space limit far below the row's size.
    ns = 2**31 - 1
    ends = [Pulse(0, [3]), Pulse(ns - 1, [7])]
    path = make_lma([0], [
        Event(0, [ends]), Event(1, [ends[::-1]]),
        Event(2, [[Pulse(ns - 4, [1, 9, 2, 5]), Pulse(0, [3]),
                   Pulse(ns - 3, [-6])]])], nsamples=ns)
    proc = run_python(f"""
        import json, resource
        from kelvane import LmaFile
        with open("/proc/self/status") as s:
            vm = next(int(line.split()[1]) for line in s
                      if line.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + 2**28, vm + 2**28))
        with LmaFile({path!r}) as f:
            v = f.features(threshold=4.0).values
        print(json.dumps({{q: a[:, 0].tolist() for q, a in v.items()}}))
    """)
    got = json.loads(proc.stdout)
    far = ns - 2.0
    assert got == {
        "maximum": [7.0, 7.0, 5.0], "minimum": [0.0, 0.0, -6.0],
        "argmax": [ns - 1] * 3, "argmin": [1, 1, ns - 3],
        "sum": [10.0, 10.0, 5.0], "pulses": [2, 2, 3], "covered": [2, 2, 5],
        "crossing": [far + 4 / 7, far + 4 / 7, far + 2 / 3],
        "cfd": [far + 0.5, far + 0.5, far + 0.5 / 3]}


def test_overflowing_calibration(make_lma):
    # 1e308 * (1, 5, 7, -3, -9): 1e308, inf, inf, -inf, -inf. The dense
    # trace's first infinity is the maximum, and its sum is NaN, where the
    # raw values alone would say otherwise.
    path = make_lma({0: Channel(gain=1e308)},
                    [Event(0, [[Pulse(1, [1, 5, 7, -3, -9])]])], nsamples=8)
    with LmaFile(path) as f:
        feat = f.features(threshold=1e308, fraction=0.5)
        want = reference_values(f, 0, 1, ["channel0"], None, 1e308, 0.5, 1)
        with np.errstate(all="ignore"):
            assert_matches(feat, want, f.read().traces, None)
    row = {q: v[0, 0] for q, v in feat.values.items()}
    assert row["argmax"] == 2 and row["argmin"] == 4
    assert np.isnan(row["sum"]) and row["crossing"] == 1.0
