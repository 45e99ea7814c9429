"""kelvane.Run against its files read one by one: the same events, pulses
and quantities across file boundaries, damaged and empty files, globs,
and a run followed while a writer process is still writing it."""

import os
import pickle
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

from kelvane import Histogram, LmaFile, MismatchError, Run
from kelvane.writer import write_lma, write_random_run


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Five files of one run: different sizes, an empty one, one cut
    inside a record in the middle of the run."""
    d = tmp_path_factory.mktemp("run")
    names = []
    for k, n in enumerate([40, 0, 25, 60, 7]):
        path = d / f"run_{k}.lma"
        write_random_run(path, n, nchannels=3, nsamples=256, pulses=3,
                         length=16, seed=k)
        names.append(str(path))
    cut = d / "run_2.lma"
    cut.write_bytes(cut.read_bytes()[:-40])
    return names


def concatenated(parts):
    return [np.concatenate(p) for p in zip(*parts)]


@pytest.mark.parametrize("start, stop", [(0, None), (10, 95), (39, 41),
                                         (64, 64), (63, 130)])
def test_same_as_the_files_one_by_one(files, start, stop, monkeypatch):
    # Pieces of a few records, so that files are cut at many places.
    monkeypatch.setattr("kelvane.run.PIECE_BYTES", 2000)
    run = Run(files)
    opened = [LmaFile(f) for f in files]
    assert len(run) == sum(len(f) for f in opened) == 131
    assert run.starts.tolist() == [0, 40, 40, 64, 124]
    assert [(i, type(d.error)) for i, d in run.damage] == \
        [(2, type(opened[2].damage.error))]
    stop = len(run) if stop is None else stop
    events = run.read(start, stop, channels=[2, 0], dtype="raw")
    pulses = run.pulses(start, stop, channels=[1])
    done = []
    feat = run.features(start, stop, threshold=30.0, jobs=2,
                        progress=done.append)
    assert sum(done) == len(feat.tags) and len(done) >= (stop - start) // 9
    want_events, want_pulses, want_feat, want_file = [], [], [], []
    for i, f in enumerate(opened):
        a = max(start - run.starts[i], 0)
        b = min(stop - run.starts[i], len(f))
        if a >= b:
            continue
        e = f.read(a, b, channels=[2, 0], dtype="raw")
        want_events.append([e.tags, e.horpos] + list(e.traces.values()))
        p = f.pulses(a, b, channels=[1])
        want_pulses.append((p.event + run.starts[i], p.channel, p.first,
                            p.length, p.samples))
        x = f.features(a, b, threshold=30.0)
        want_feat.append([x.tags] + list(x.values.values()))
        want_file.append(np.full(b - a, i))
    got = [events.tags, events.horpos] + list(events.traces.values())
    for g, w in zip(got, concatenated(want_events) if want_events else []):
        np.testing.assert_array_equal(g, w)
    assert events.file.tolist() == (np.concatenate(want_file).tolist()
                                    if want_file else [])
    for g, w in zip((pulses.event, pulses.channel, pulses.first,
                     pulses.length, pulses.samples),
                    concatenated(want_pulses)):
        np.testing.assert_array_equal(g, w)
    # Offsets point into the joined samples.
    for k in range(0, len(pulses.event), 7):
        o, n = pulses.offset[k], pulses.length[k]
        assert len(pulses.samples[o:o + n]) == n
    for g, w in zip([feat.tags] + list(feat.values.values()),
                    concatenated(want_feat) if want_feat else []):
        np.testing.assert_array_equal(g, w)
    frame = feat.to_pandas()
    assert list(frame.columns[:2]) == ["file", "tag"]
    assert list(frame["file"].cat.categories) == run.paths
    assert frame.attrs["options"]["threshold"] == 30.0


def test_index_lookups(files):
    run = Run(files)
    tags = np.concatenate([LmaFile(f).read(channels=[]).tags for f in files])
    for tag in (0, 5, 24, 39, 1000):
        assert run.find(tag).tolist() == np.flatnonzero(tags == tag).tolist()
    for i in (0, 39, 40, 63, 64, 130, -1):
        file, event = run.locate(i)
        assert run.files[file][event].tag == run[i].tag == tags[i]
    for bad in (131, -132):
        with pytest.raises(IndexError):
            run[bad]


def test_sources_in_order(tmp_path, files):
    for k in (10, 2, 1):
        write_random_run(tmp_path / f"r_{k}.lma", k, nchannels=3,
                         nsamples=256)
    assert [os.path.basename(p) for p in Run(tmp_path / "r_*.lma").paths] \
        == ["r_1.lma", "r_2.lma", "r_10.lma"]
    globbed = Run(tmp_path / "r_*.lma")
    write_random_run(tmp_path / "r_3.lma", 1, nchannels=3, nsamples=256)
    with pytest.raises(ValueError, match="r_3.lma sorts before"):
        globbed.refresh()
    given = [str(tmp_path / "r_10.lma"), str(tmp_path / "r_1.lma")]
    assert Run(given).paths == given
    with pytest.raises(FileNotFoundError, match="nothing_"):
        Run(str(tmp_path / "nothing_*.lma"))
    write_random_run(tmp_path / "other.lma", 3, nchannels=2, nsamples=256)
    with pytest.raises(MismatchError, match="other.lma: channels.*r_1.lma"):
        Run([str(tmp_path / "r_1.lma"), str(tmp_path / "other.lma")])


def test_pickle_carries_the_index(files):
    run = Run(files)
    back = pickle.loads(pickle.dumps(run))
    assert len(back) == len(run) and back.paths == run.paths
    assert [f._native.scan_count for f in back.files] == [0] * len(files)


def test_files_are_indexed_on_first_use(files):
    run = Run(files)
    engines = [f._engine for f in run.files]
    # The headers alone: the channels are known, no record is read.
    assert run.channels == [0, 1, 2]
    assert [e.scan_count for e in engines] == [0] * len(files)
    assert len(run) == 131
    assert [e.scan_count for e in engines] == [1] * len(files)


def test_per_channel_settings_equal_separate_calls(files):
    with LmaFile(files[0]) as f:
        mixed = f.features(threshold={0: 20.0, "channel2": 40.0},
                           polarity={1: -1}, window={2: (10, 200)},
                           quantities=["maximum", "covered", "cfd"])
        for c, kw in [(0, dict(threshold=20.0)), (1, dict(polarity=-1)),
                      (2, dict(threshold=40.0, window=(10, 200)))]:
            alone = f.features(channels=[c], **kw,
                               quantities=["maximum", "covered", "cfd"])
            for q, v in alone.values.items():
                np.testing.assert_array_equal(mixed.values[q][:, c], v[:, 0])
        assert mixed.options["threshold"] == {"0": 20.0, "channel2": 40.0}
        for bad in [dict(threshold={7: 1.0}),
                    dict(threshold={0: 1.0, "channel0": 2.0}),
                    dict(threshold={0: 1.0}, quantities=["crossing"]),
                    dict(polarity={1: 2})]:
            with pytest.raises(ValueError):
                f.features(**bad)


WRITER = """
import os, sys, time
from kelvane.writer import write_random_run
d = sys.argv[1]
def burst(name, n, seed):
    # A whole file written elsewhere, then moved over in growing parts,
    # each ending inside a record.
    write_random_run(os.path.join(d, "src.tmp"), n, nchannels=2,
                     nsamples=128, pulses=2, length=8, seed=seed)
    with open(os.path.join(d, "src.tmp"), "rb") as f:
        data = f.read()
    cuts = [len(data) * k // 4 + 5 for k in range(1, 4)] + [len(data)]
    done = 0
    with open(os.path.join(d, name), "ab") as out:
        for cut in cuts:
            out.write(data[done:cut]); out.flush(); done = cut
            time.sleep(0.15)
burst("live_1.lma", 30, 1)
burst("live_2.lma", 20, 2)
"""


def test_follow_while_written(tmp_path):
    write_random_run(tmp_path / "live_0.lma", 10, nchannels=2, nsamples=128,
                     pulses=2, length=8, seed=0)
    run = Run(str(tmp_path / "live_*.lma"))
    writer = subprocess.Popen([sys.executable, "-c", textwrap.dedent(WRITER),
                               str(tmp_path)])
    seen = list(range(len(run)))
    h = Histogram.regular(20, (-4000.0, 4000.0))
    h.fill(run.features(quantities=["maximum"]).values["maximum"][:, 0])
    try:
        for new in run.follow(interval=0.05, idle_timeout=1.5):
            assert new.start == len(seen)
            # The record being written is neither counted nor damage.
            assert run.damage == []
            seen.extend(new)
            h.fill(run.features(new.start, new.stop,
                                quantities=["maximum"]).values["maximum"]
                   [:, 0])
    finally:
        assert writer.wait(timeout=60) == 0
    assert len(run) == len(seen) == 60 and run.damage == []
    finished = Run(str(tmp_path / "live_*.lma"))
    assert finished.histogram("maximum", 0, bins=20,
                              range=(-4000.0, 4000.0)) == h
    assert [e.tag for e in map(run.__getitem__, (0, 10, 40, 59))] == \
        [0, 0, 0, 19]


def test_dask_dataframe_and_histogram_on_a_cluster(files):
    pd = pytest.importorskip("pandas")
    distributed = pytest.importorskip("distributed")
    run = Run(files)
    options = dict(threshold=30.0, channels=[0, 2])
    frame = run.to_dask_dataframe(partition_events=16, **options)
    assert frame.divisions == (0, 16, 32, 40, 56, 64, 80, 96, 112, 124, 130)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                  processes=True, dashboard_address=None,
                                  host="127.0.0.1") as cluster, \
            distributed.Client(cluster) as client:
        got = frame.compute()
        h = run.histogram("maximum", 2, bins=12, range=(0.0, 3000.0),
                          client=client, threshold=30.0)
    want = run.features(**options).to_pandas()
    pd.testing.assert_frame_equal(got, want)
    assert list(got["file"].cat.categories) == run.paths
    assert h == run.histogram("maximum", 2, bins=12, range=(0.0, 3000.0))


def test_commands_follow_a_run(tmp_path):
    import json
    import signal
    write_random_run(tmp_path / "live_0.lma", 10, nchannels=2, nsamples=128,
                     pulses=2, length=8, seed=0)
    pattern = str(tmp_path / "live_*.lma")
    lma = [sys.executable, "-m", "kelvane"]
    info = subprocess.Popen(lma + ["info", pattern, "--follow", "--interval",
                                   "0.1"], stdout=subprocess.PIPE, text=True)
    spectrum = subprocess.Popen(
        lma + ["spectrum", pattern, "--channel", "0", "--quantity",
               "maximum", "--range", "-4000:4000", "--bins", "20",
               "--follow", "--interval", "0.1", "-o",
               str(tmp_path / "live.json")], stdout=subprocess.PIPE,
        text=True)
    # Both have read the run as it was before the writer starts.
    first = info.stdout.readline()
    assert " 10 events in 1 files" in first
    assert "entries 10" in spectrum.stdout.readline()
    writer = subprocess.run([sys.executable, "-c", textwrap.dedent(WRITER),
                             str(tmp_path)], timeout=60)
    assert writer.returncode == 0
    time.sleep(1.0)
    for p in (info, spectrum):
        p.send_signal(signal.SIGINT)
    out = info.communicate(timeout=30)[0].splitlines()
    spectrum.communicate(timeout=30)
    assert info.returncode == 130 and spectrum.returncode == 130
    assert " 60 events in 3 files" in out[-1] and out[-1].endswith(
        "no damage")
    finished = Run(pattern).histogram("maximum", 0, bins=20,
                                      range=(-4000.0, 4000.0))
    with open(tmp_path / "live.json") as f:
        assert Histogram.from_dict(json.load(f)["channel0_maximum"]) == \
            finished
