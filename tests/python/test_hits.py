"""LmaFile.hits against the definitions on the dense traces of read():
random and hand-made files, arguments, damage, threads, a run, and
noise-free pulses of known shape for the physics."""
import dataclasses
import math
import os
import threading

import numpy as np
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

from kelvane import DamagedHeaderError, Hits, LmaFile, Run
from kelvane.writer import Channel, Event, Pulse, write_lma

from test_features import GAINS
from test_leaks import rss
from test_robustness import EXAMPLES, models

FIELDS = ("start", "end", "width", "peak", "amplitude", "charge", "cfd",
          "rise", "tail")


def reference_hits(x, window=None, threshold=1.0, polarity=1, merge=0, pre=0,
                   post=0, fraction=0.5, rise=(0.1, 0.9), tail=None):
    """The hits of one trace, straight from their definitions."""
    a, b = window or (0, len(x))
    y = polarity * x[a:b]
    runs, k = [], 0
    while k < len(y):
        if y[k] >= threshold:
            j = k
            while j < len(y) and y[j] >= threshold:
                j += 1
            runs.append([k, j])
            k = j
        else:
            k += 1
    hits = []
    for i, j in runs:
        if hits and i - hits[-1][1] <= merge:
            hits[-1][1] = j
        else:
            hits.append([i, j])

    out, lo = [], 0
    for h, (i, j) in enumerate(hits):
        nxt = hits[h + 1][0] if h + 1 < len(hits) else b - a
        hi = min(j + post, nxt, b - a)
        p = i + int(np.argmax(y[i:j]))
        amp = y[p]

        def level(f):
            below = np.nonzero(y[lo:p] < f * amp)[0]
            if len(below) == 0:
                return a + lo
            m = lo + int(below[-1])
            return (a + m) + (f * amp - y[m]) / (y[m + 1] - y[m])

        charge = np.sum(y[max(i - pre, lo):hi])
        ratio = math.nan
        if tail is not None and charge != 0 and np.isfinite(charge):
            ratio = np.sum(y[min(p + tail, hi):hi]) / charge
        out.append(dict(
            start=a if i == 0 else
            (a + i - 1) + (threshold - y[i - 1]) / (y[i] - y[i - 1]),
            end=a + j, width=j - i, peak=a + p, amplitude=amp,
            charge=charge, cfd=level(fraction),
            rise=level(rise[1]) - level(rise[0]), tail=ratio,
            region=y[max(i - pre, lo):hi],
            tail_region=y[min(p + tail, hi):hi] if tail is not None else
            y[:0]))
        lo = hi
    return out


def close(got, want, region):
    """Equal, NaN for NaN; a sum within rounding of NumPy's, exactly it
    where a value is infinite, anything where only partial sums
    overflow."""
    if got == want or (np.isnan(got) and np.isnan(want)):
        return True
    scale = np.sum(np.abs(region))
    return np.isfinite(region).all() and (
        not np.isfinite(scale) or abs(got - want) <= 1e-12 * scale)


def assert_follows(f, hits, start, stop, keys, **settings):
    """Every hit of events [start, stop) of `keys` as the reference has it,
    in order: event, channel as asked, position."""
    dense = f.read(start, stop, channels=keys).traces
    rows = []
    with np.errstate(all="ignore"):
        for e in range(stop - start):
            for key in keys:
                s = {k: (v.get(key, v.get(int(key[7:]))) if isinstance(
                    v, dict) else v) for k, v in settings.items()}
                s = {k: v for k, v in s.items() if v is not None or
                     k == "tail"}
                for h in reference_hits(dense[key][e], **s):
                    rows.append((start + e, int(key[7:]), h))
    assert len(hits.event) == len(rows)
    assert hits.event.dtype == np.int64 and hits.channel.dtype == np.int16
    for k, (event, channel, h) in enumerate(rows):
        assert (hits.event[k], hits.channel[k]) == (event, channel)
        for name in ("end", "width", "peak"):
            assert getattr(hits, name)[k] == h[name], (k, name)
        for name in ("start", "amplitude", "cfd", "rise"):
            got = getattr(hits, name)[k]
            assert got == h[name] or np.isnan(got) and np.isnan(h[name]), \
                (k, name, got, h[name])
        assert close(hits.charge[k], h["charge"], h["region"]), k
        got, want = hits.tail[k], h["tail"]
        if not (got == want or np.isnan(got) and np.isnan(want)):
            # Both sums within rounding: their ratio within the sum of
            # their relative errors.
            q = abs(h["charge"])
            bound = 1e-12 * (np.sum(np.abs(h["tail_region"])) +
                             abs(want) * np.sum(np.abs(h["region"]))) / q
            assert abs(got - want) <= 2 * bound, (k, got, want)


@st.composite
def hit_models(draw):
    model = draw(models())
    assume(model.events and model.channels and model.nsamples)
    for c, ch in model.channels.items():
        model.channels[c] = dataclasses.replace(ch, gain=draw(GAINS))
    return model


@EXAMPLES
@given(model=hit_models(), data=st.data())
def test_hits_follow_their_definitions(tmp_path_factory, model, data):
    path = str(tmp_path_factory.mktemp("hits") / "f.lma")
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
        low = data.draw(st.floats(1e-6, 0.9))
        small = st.integers(0, 4) | st.sampled_from([40, 2**40])
        settings = dict(
            window=window,
            threshold=data.draw(st.floats(1e-300, 1e300) |
                                st.sampled_from(seen or [1.0])),
            polarity=data.draw(st.sampled_from([1, -1])),
            merge=data.draw(small), pre=data.draw(small),
            post=data.draw(small),
            fraction=data.draw(st.sampled_from([1.0, 0.5]) |
                               st.floats(1e-9, 1.0)),
            rise=(low, data.draw(st.floats(low, 1.0).filter(
                lambda h: h > low))),
            tail=data.draw(st.none() | small))
        hits = f.hits(start, stop, channels=keys, **settings)
        # As `Features.channels`: the event keys asked for.
        assert hits.channels == keys
        assert len(hits) == len(hits.event)
        assert hits.tags.tolist() == f.read(start, stop).tags.tolist()
        assert_follows(f, hits, start, stop, keys, **settings)
        # The features' count of hits is the same finder's.
        count = f.features(start, stop, channels=keys, quantities=["hits"],
                           window=window, threshold=settings["threshold"],
                           polarity=settings["polarity"],
                           merge=settings["merge"]).values["hits"]
        want = np.zeros((stop - start, len(keys)), np.int32)
        column = {int(k[7:]): c for c, k in enumerate(keys)}
        np.add.at(want, (hits.event - start,
                         [column[c] for c in hits.channel.tolist()]), 1)
        np.testing.assert_array_equal(count, want)


# --- hand-made corners -------------------------------------------------------


@pytest.fixture
def quirky(make_lma):
    """Channel 1: a hit across two adjacent pulses, one-sample pulses, a
    later pulse overwriting an earlier one, gaps inside a hit's pre and
    post. Channel 2 negative, gain -1 (so positive read with polarity -1
    flips twice). Channel 3 calibrates to +-inf at the extremes."""
    ch1 = [Pulse(1, [5, 9]), Pulse(3, [12, 4, 1]), Pulse(8, [7]),
           Pulse(10, [6]), Pulse(12, [8, 9, 2, 8]), Pulse(13, [1]),
           Pulse(19, [9])]
    ch2 = [Pulse(0, [-7, -1, -8]), Pulse(4, [-3, -9, -9, -2])]
    ch3 = [Pulse(2, [32767, 3, -32768, 32767, 0, 32767])]
    events = [Event(t, [ch1, ch2, ch3]) for t in range(3)]
    return make_lma({1: Channel(gain=1.0), 2: Channel(gain=1.0),
                     3: Channel(gain=1e304)}, events, nsamples=20)


@pytest.mark.parametrize("settings", [
    dict(threshold=5.0),
    dict(threshold=5.0, merge=1, pre=2, post=3, tail=1),
    dict(threshold=5.0, merge=4, pre=1, post=10, tail=0, fraction=1.0),
    dict(threshold=0.5, pre=40, post=40, tail=2, rise=(0.5, 1.0)),
    dict(threshold=5.0, window=(2, 13), post=5, pre=5),
    dict(threshold=2.0, polarity=-1, window=(4, 20), tail=1),
    dict(threshold={1: 5.0, 2: 3.0, 3: 1e300}, polarity={2: -1},
         merge={1: 2}, tail={3: 1}, post=1),
])
def test_corners_follow_their_definitions(quirky, settings):
    with LmaFile(quirky) as f:
        subsets = [["channel1", "channel2", "channel3"]]
        if not any(isinstance(v, dict) for v in settings.values()):
            subsets.append(["channel3", "channel1"])
        for keys in subsets:
            hits = f.hits(1, 3, channels=keys, **settings)
            assert_follows(f, hits, 1, 3, keys, **settings)


def test_tails_of_short_runs_in_long_pulses(make_lma):
    """Runs shorter than a pulse that goes on for 16 samples and more after
    them, with tails ending before, at and after a run's end."""
    pulse = [0, 9, 12, 7, 1, 0, 2, 6, 3, 0, 1, 8, 9, 9, 2, 1, 0, 3, 1, 0, 1,
             2, 0, 1, 6, 0]
    path = make_lma({1: Channel(gain=1.0)},
                    [Event(0, [[Pulse(2, pulse)]])], nsamples=40)
    with LmaFile(path) as f:
        for tail in range(8):
            for settings in (dict(post=5), dict(post=1, pre=2, merge=2)):
                hits = f.hits(0, 1, threshold=5.0, tail=tail, **settings)
                assert len(hits) > 1
                assert_follows(f, hits, 0, 1, ["channel1"], threshold=5.0,
                               tail=tail, **settings)


def test_infinite_values_give_nan(quirky):
    with LmaFile(quirky) as f:
        hits = f.hits(channels=[3], threshold=1e300, tail=0, merge=5)
        # One hit over inf, 3e304, -inf, inf: NaN charge, start from -inf
        # nowhere (the window starts in a gap), NaN cfd from inf - inf.
        assert hits.amplitude[0] == np.inf
        assert np.isnan(hits.charge[0]) and np.isnan(hits.tail[0])
        assert np.isnan(hits.cfd[0])


@pytest.mark.parametrize("kwargs, match", [
    (dict(threshold=0.0), "threshold"), (dict(threshold=-1.0), "threshold"),
    (dict(threshold=math.inf), "threshold"),
    (dict(threshold=math.nan), "threshold"),
    (dict(threshold="1"), "threshold"),
    (dict(threshold=None), "threshold is required"),
    (dict(polarity=0), "polarity"), (dict(polarity=True), "polarity"),
    (dict(fraction=0.0), "fraction"), (dict(fraction=1.5), "fraction"),
    (dict(rise=(0.5, 0.5)), "rise"), (dict(rise=(0.0, 0.5)), "rise"),
    (dict(rise=(0.2, 1.1)), "rise"), (dict(rise=0.5), "rise"),
    (dict(merge=-1), "merge"), (dict(pre=-1), "pre"),
    (dict(post=1.5), "post"), (dict(tail=-1), "tail"),
    (dict(window=(3, 2)), "window"), (dict(window=(0, 21)), "window"),
    (dict(threshold={9: 1.0}), "channel 9"),
    (dict(post={1: -2}), "post .*channel1"),
])
def test_bad_arguments_are_refused_before_any_read(quirky, kwargs, match):
    with LmaFile(quirky) as f:
        with pytest.raises(ValueError, match=match):
            f.hits(**{"threshold": 1.0, **kwargs})
        if "merge" in kwargs:
            with pytest.raises(ValueError, match="merge"):
                f.features(threshold=1.0, merge=kwargs["merge"])
        with pytest.raises(ValueError, match="hits needs a threshold"):
            f.features(quantities=["hits"])


def test_engine_refuses_what_the_caller_should_not_give(quirky):
    with LmaFile(quirky) as f:
        tags, horpos = np.empty(1, np.int32), np.empty(1, np.float64)
        one = (0, 20, 1.0, 1, 0, 0, 0, 0.5, 0.1, 0.9, -1)
        with pytest.raises(ValueError, match="one settings tuple per row"):
            f._native.hits(0, 1, (0, 1), tags, horpos, (one,))
        with pytest.raises(IndexError):
            f._native.hits(1, 0, (0,), tags, horpos, (one,))
        # Settings the caller checks: refused by the engine all the same.
        with pytest.raises(RuntimeError):
            f._native.hits(0, 1, (0,), tags, horpos, (one[:3] + (0,) +
                                                      one[4:],))


def test_huge_settings_mean_the_whole_trace(quirky):
    with LmaFile(quirky) as f:
        huge = f.hits(threshold=5.0, merge=10**30, pre=10**30, post=2**63,
                      tail=10**30)
        whole = f.hits(threshold=5.0, merge=20, pre=20, post=20, tail=20)
        for name in FIELDS:
            np.testing.assert_array_equal(getattr(huge, name),
                                          getattr(whole, name))


def test_damage_ends_the_events(make_lma):
    good = Event(1, [[Pulse(0, [3, 4])]]).pack()
    path = make_lma([0], [good, good, good[:-1]], nsamples=4)
    with LmaFile(path) as f:
        assert f.damage is not None
        hits = f.hits(threshold=1.0)
        assert hits.event.tolist() == [0, 1]
        assert hits.charge.tolist() == [7.0, 7.0]


def test_threads_share_one_file(quirky):
    with LmaFile(quirky) as f:
        whole = f.hits(threshold=2.0, post=2)
        errors = []

        def work(seed):
            rng = np.random.default_rng(seed)
            try:
                for _ in range(50):
                    a = int(rng.integers(0, 3))
                    b = int(rng.integers(a, 4))
                    got = f.hits(a, b, threshold=2.0, post=2)
                    mine = (whole.event >= a) & (whole.event < b)
                    for q in FIELDS:
                        np.testing.assert_array_equal(
                            getattr(got, q), getattr(whole, q)[mine])
            except Exception as e:  # reported in the main thread
                errors.append(e)

        threads = [threading.Thread(target=work, args=(s,)) for s in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []


@pytest.mark.parametrize("few_first", [True, False])
def test_thousands_of_hits_and_their_memory(make_lma, few_first):
    """Past the columns' first room and the room reserved from a range's
    first events, whether those have fewer hits than the rest or more, the
    hits equal those found a few events at a time; a column outlives its
    Hits, writable, and dropped columns give their memory back."""
    def event(tag, n):
        return Event(tag, [[Pulse(10 * k, [5, 9, 5]) for k in range(n)]])
    counts = [1] * 300 + [7] * 3700
    if not few_first:
        counts.reverse()
    path = make_lma([0], [event(t, n).pack() for t, n in enumerate(counts)],
                    nsamples=80)
    with LmaFile(path) as f:
        whole = f.hits(threshold=6.0)
        parts = [f.hits(a, a + 100, threshold=6.0)
                 for a in range(0, len(f), 100)]
        for q in ("event",) + FIELDS:
            np.testing.assert_array_equal(
                getattr(whole, q),
                np.concatenate([getattr(p, q) for p in parts]))
        assert len(whole) == sum(counts)
        peak = whole.peak
        del whole, parts
        peak += 0
        assert peak.tolist() == [10 * k + 1 for n in counts
                                 for k in range(n)]
        if "libasan" not in os.environ.get("LD_PRELOAD", ""):
            before = rss()
            for _ in range(30):
                f.hits(threshold=6.0)
            assert rss() - before < 8 << 20  # each call's columns: 1.8 MB


def test_run_tables_and_histogram(quirky, tmp_path):
    import awkward as ak
    second = tmp_path / "second.lma"
    with open(quirky, "rb") as src:
        second.write_bytes(src.read())
    with Run([quirky, str(second)]) as run:
        hits = run.hits(1, 5, jobs=2, threshold=5.0, post=1)
    with LmaFile(quirky) as f:
        one = f.hits(threshold=5.0, post=1)
    # Events 1, 2 of the first file, 0, 1 of the second.
    mine = [one.event == e for e in (1, 2, 0, 1)]
    assert isinstance(hits, Hits)
    assert hits.event.tolist() == sum(
        ([g] * int(m.sum()) for g, m in zip(range(1, 5), mine)), [])
    assert hits.file.tolist() == sum(
        ([i] * int(m.sum()) for i, m in zip((0, 0, 1, 1), mine)), [])
    np.testing.assert_array_equal(
        hits.charge, np.concatenate([one.charge[m] for m in mine]))
    frame = hits.to_pandas()
    assert len(frame) == len(hits) == len(hits.event)
    assert hits.channels == one.channels
    assert frame["tag"].tolist() == hits.tags[hits.event - 1].tolist()
    assert frame.attrs["options"]["threshold"] == 5.0
    events = hits.to_awkward()
    assert len(events) == 4
    assert ak.num(events.hits).tolist() == [int(m.sum()) for m in mine]
    np.testing.assert_array_equal(ak.flatten(events.hits.charge),
                                  hits.charge)
    h = hits.histogram("charge", channel=1, bins=4, range=(0, 40))
    assert h.values().sum() + h.no_value + h.counts(flow=True)[[0, -1]].sum() \
        == int((hits.channel == 1).sum())


# --- physics: noise-free pulses of known shape -------------------------------


def shaped(amplitude, tau, rise=3, length=None):
    """A pulse rising linearly over `rise` samples to `amplitude`, then
    decaying with time constant `tau`, rounded to int16."""
    length = length or rise + int(8 * tau)
    t = np.arange(length, dtype=np.float64)
    up = amplitude * t / rise
    down = amplitude * np.exp(-(t - rise) / tau)
    return np.round(np.where(t < rise, up, down)).astype(int)


def test_pile_up_is_counted_and_timed(tmp_path):
    rng = np.random.default_rng(7)
    threshold, tau, rise = 20.0, 8.0, 3
    # A pulse of amplitude <= 1000 is below the threshold after
    # rise + tau * ln(1000 / 20) < 35 samples.
    events, truth = [], []
    for t in range(300):
        onsets, amps, at = [], [], int(rng.integers(0, 50))
        for _ in range(int(rng.integers(0, 4))):
            onsets.append(at)
            amps.append(int(rng.integers(100, 1000)))
            at += int(rng.integers(40, 120))
        trace = np.zeros(600, int)
        for o, amp in zip(onsets, amps):
            p = shaped(amp, tau, rise)[:600 - o]
            trace[o:o + len(p)] += p
        stored = [Pulse(o, trace[o:o + 40].tolist()) for o in onsets]
        events.append(Event(t, [stored]))
        # The peak sample holds what is left of the pulse before, too.
        truth.append((onsets, [trace[o + rise] for o in onsets]))
    path = tmp_path / "pileup.lma"
    write_lma(path, [0], events, nsamples=600)
    with LmaFile(path) as f:
        hits = f.hits(threshold=threshold, fraction=0.5)
        pile = f.features(threshold=threshold,
                          quantities=["hits"]).values["hits"][:, 0]
    assert pile.tolist() == [len(o) for o, _ in truth]
    assert np.bincount(hits.event, minlength=300).tolist() == pile.tolist()
    onsets = np.concatenate([o for o, _ in truth])
    amps = np.concatenate([a for _, a in truth])
    assert hits.amplitude.tolist() == amps.tolist()
    assert (hits.peak == onsets + rise).all()
    # Half the amplitude on the linear rise: rise * 0.5 after the onset.
    assert np.abs(hits.cfd - (onsets + 0.5 * rise)).max() < 0.5


def test_pulse_shapes_are_told_apart_by_the_tail(tmp_path):
    rng = np.random.default_rng(11)
    kinds = rng.integers(0, 2, 2000)  # 0: fast (tau 4), 1: slow (tau 20)
    amps = rng.integers(50, 3000, 2000)
    events = [Event(t, [[Pulse(10, shaped(int(a), (4.0, 20.0)[k]).tolist())]])
              for t, (k, a) in enumerate(zip(kinds, amps))]
    path = tmp_path / "psd.lma"
    write_lma(path, [0], events, nsamples=200)
    with LmaFile(path) as f:
        hits = f.hits(threshold=10.0, pre=3, post=200, tail=8)
    assert hits.event.tolist() == list(range(2000))
    # The tail fractions: about exp(-8/4) of a fast pulse's charge, about
    # exp(-8/20) of a slow one's; cut halfway.
    above = hits.charge > 1000.0
    slow = hits.tail > 0.35
    wrong = (slow != kinds.astype(bool)) & above
    assert above.sum() > 1000
    assert wrong.sum() < 0.01 * above.sum()


@pytest.mark.parametrize("suffix", [".npz", ".csv", ".parquet"])
def test_command_writes_every_hit(quirky, tmp_path, suffix, capsys):
    import json

    import pandas as pd
    from kelvane.cli import main
    second = str(tmp_path / "second.lma")
    with open(quirky, "rb") as src, open(second, "wb") as dst:
        dst.write(src.read())
    out = str(tmp_path / f"hits{suffix}")
    args = ["hits", quirky, second, "-o", out, "--threshold", "5",
            "--post", "1", "--tail", "1", "--rise", "0.2:0.8"]
    assert main(args + ["--jobs", "2"]) == 0
    with LmaFile(quirky) as f:
        want = f.hits(threshold=5.0, post=1, tail=1, rise=(0.2, 0.8))
    if suffix == ".npz":
        with np.load(out) as z:
            table = {k: z[k] for k in z.files}
        meta = json.loads(str(table.pop("options")[0]))
    elif suffix == ".csv":
        import csv
        with open(out, newline="") as f:
            rows = list(csv.DictReader(f))
        # Python's float() reads back exactly the text written, which not
        # every pandas parser does.
        table = {k: [r[k] for r in rows] for k in rows[0]}
        table = {k: v if k == "file" else
                 np.array([float(x) if x else np.nan for x in v])
                 for k, v in table.items()}
        meta = None
    else:
        import pyarrow.parquet as pq
        table = pd.read_parquet(out)
        meta = json.loads(pq.read_schema(out).metadata[b"kelvane"])
    assert list(table["file"]) == [quirky] * len(want.event) + \
        [second] * len(want.event)
    for name in ("event", "channel") + FIELDS:
        np.testing.assert_array_equal(
            np.asarray(table[name]), np.tile(getattr(want, name), 2))
    if meta is not None:
        assert meta["options"]["threshold"] == 5.0
        assert meta["options"]["rise"] == [0.2, 0.8]
    # Settings the engine would refuse: a usage error, and no table.
    bad = str(tmp_path / f"bad{suffix}")
    assert main(["hits", quirky, "-o", bad, "--threshold", "0"]) == 2
    assert "threshold" in capsys.readouterr().err
    import os
    assert not os.path.exists(bad)


def test_spectrum_of_every_hit(quirky, tmp_path, capsys):
    from kelvane.cli import main
    out = str(tmp_path / "charge.png")
    args = ["spectrum", quirky, "--channel", "1", "--hits", "charge",
            "--post", "1", "--bins", "5", "-o", out]
    assert main(args + ["--threshold", "5"]) == 0
    with LmaFile(quirky) as f:
        n = int((f.hits(threshold=5.0, channels=[1]).channel == 1).sum())
    assert f"entries {n}," in capsys.readouterr().out
    with pytest.raises(SystemExit) as refused:
        main(args)
    assert refused.value.code == 2
    assert "--hits needs --threshold" in capsys.readouterr().err
