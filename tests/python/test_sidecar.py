"""The persistent index (FILE.lmaidx): used when it fits the file, ignored
with one StaleIndexWarning and a scan when it does not, written
atomically, and made by `lma index`."""
import os
import pickle
import shutil
import signal
import struct
import tempfile
import warnings
from contextlib import contextmanager

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from kelvane import LmaFile, StaleIndexWarning, cli, sidecar
from kelvane.writer import Channel, Event, Pulse, event_bytes, write_lma

EVENTS = [Event(i, [[Pulse(i % 5, list(range(1 + i % 3)))], []])
          for i in range(40)]
CUT = event_bytes(EVENTS[0])[:-3]   # a last record cut short


def record(path, events=EVENTS, tail=b"", gain=0.5):
    write_lma(path, {0: Channel(gain=gain, baseline=2), 3: Channel()},
              events, tail=tail, nsamples=8)
    return str(path)


def state(f):
    """Everything the index gives, and every event, as plain values."""
    d = f.damage
    events = f.read()
    # The index's heads are the records' own.
    assert f.tags.tobytes() == events.tags.tobytes()
    assert f.horpos.tobytes() == events.horpos.tobytes()
    return (f.offsets.tolist(),
            None if d is None else (d.offset, d.event, type(d.error),
                                    str(d.error), d.reason),
            events.tags.tolist(), events.horpos.tolist(),
            {k: v.tobytes() for k, v in events.traces.items()})


def scanned(path):
    """What a scan of the file gives: a copy with no index beside it."""
    copy = os.path.join(tempfile.mkdtemp(), "copy.lma")
    shutil.copyfile(path, copy)
    with LmaFile(copy) as f:
        assert f._native.scan_count == 1
        return state(f)


def saved(path):
    with LmaFile(path) as f:
        f.save_index()
    with open(path + ".lmaidx", "rb") as s:
        return s.read()


def opened_with_index(path, index=None):
    """The file opened with no warning; asserts its index was used."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        f = LmaFile(path, index=index)
    assert f._native.scan_count == 0
    return f


def opened_stale(path, index=None):
    """The file opened with one StaleIndexWarning, scanned."""
    with pytest.warns(StaleIndexWarning) as seen:
        f = LmaFile(path, index=index)
    assert len(seen) == 1 and f._native.scan_count == 1
    return f, seen[0].message


@pytest.mark.parametrize("tail", [b"", CUT], ids=["clean", "damaged"])
def test_round_trip(tmp_path, tail):
    path = record(tmp_path / "a.lma", tail=tail)
    saved(path)
    with opened_with_index(path) as f:
        assert state(f) == scanned(path)
        # Pickles carry the index on, reopened without a scan.
        g = pickle.loads(pickle.dumps(f))
        assert g._native.scan_count == 0 and state(g) == state(f)


@pytest.mark.parametrize("tail", [b"", CUT], ids=["clean", "damaged"])
def test_grown_file_is_indexed_on_from_its_end(tmp_path, tail):
    path = record(tmp_path / "a.lma", events=EVENTS[:10], tail=tail)
    saved(path)
    whole = record(tmp_path / "whole.lma", tail=tail)
    with open(whole, "rb") as w, open(path, "r+b") as f:
        f.write(w.read())
    with opened_with_index(path) as f:
        assert len(f) == len(EVENTS)
        assert state(f) == scanned(path)


def edited(data, offset, fmt, value):
    """`data` with one fixed field (at its place in the layout described
    in lma/src/sidecar.cpp) changed, the checksum made to match."""
    body = bytearray(data[:-8])
    struct.pack_into(fmt, body, offset, value)
    return bytes(body) + struct.pack("<Q", sidecar.checksum(bytes(body)))


def with_parts(data, **changes):
    """Sidecar bytes with some fields changed, the checksum made to
    match: a sidecar that lies consistently."""
    names = ["size", "mtime", "header", "etag", "offsets", "end", "code",
             "value", "extra", "stop_offset", "stop_event", "modified",
             "tags", "horpos"]
    arrays = {"offsets": np.int64, "tags": np.int32, "horpos": np.float64}
    fields = dict(zip(names, sidecar.parts(data)))
    for name, dtype in arrays.items():
        fields[name] = np.frombuffer(fields[name], dtype).copy()
    for name, change in changes.items():
        fields[name] = change(fields[name])
    for name in arrays:
        fields[name] = fields[name].tobytes()
    return sidecar.from_parts([fields[n] for n in names])


def bumped(a, at=-1):
    a[at] += 1
    return a


def swapped(o):
    o[[3, 4]] = o[[4, 3]]
    return o


def too_close(o):
    o[2] = o[1] + 1
    return o


def into_last_record(o):
    o[-1] += 2
    return o


def drop_last(data):
    """A clean file's index without its last record, that says the file
    ended cleanly there."""
    last = np.frombuffer(sidecar.parts(data)[4], np.int64)[-1]
    return with_parts(data, offsets=lambda o: o[:-1], end=lambda e: last,
                      stop_offset=lambda e: last,
                      stop_event=lambda n: n - 1, tags=lambda t: t[:-1],
                      horpos=lambda h: h[:-1])


# Each lie is seen by one check alone (with the checksum made to match).
LIES = {
    "future version": lambda d: edited(d, 8, "<I", 3),
    "a middle tag": lambda d: with_parts(d, tags=lambda t: bumped(t, 20)),
    "a horpos": lambda d: with_parts(d, horpos=lambda h: bumped(h, 0)),
    "count beyond the offsets": lambda d: edited(d, 24, "<Q", 41),
    "unknown damage kind": lambda d: edited(d, 20, "<I", 7),
    "stop not at the end": lambda d: with_parts(d, stop_event=lambda n: 3),
    "out of order": lambda d: with_parts(d, offsets=swapped),
    "closer than a record": lambda d: with_parts(d, offsets=too_close),
    "not from the first record": lambda d: with_parts(
        d, offsets=lambda o: o[1:], stop_event=lambda n: n - 1,
        tags=lambda t: t[1:], horpos=lambda h: h[1:]),
    "past the size indexed": lambda d: with_parts(d, size=lambda s: s - 1),
    "into the last record": lambda d: with_parts(d, offsets=into_last_record),
    "ends early": drop_last,
    "another damage": lambda d: with_parts(d, code=lambda c: 1,
                                           value=lambda v: 1),
}


@pytest.mark.parametrize("lie", LIES)
def test_lying_index_is_ignored(tmp_path, lie):
    path = record(tmp_path / "a.lma")
    data = LIES[lie](saved(path))
    with open(path + ".lmaidx", "wb") as s:
        s.write(data)
    f, warning = opened_stale(path)
    assert state(f) == scanned(path)
    assert warning.index == path + ".lmaidx" and warning.filename == path


def test_lie_about_the_damage_is_ignored(tmp_path):
    path = record(tmp_path / "a.lma", tail=CUT)
    data = with_parts(saved(path), value=lambda v: v + 1)
    with open(path + ".lmaidx", "wb") as s:
        s.write(data)
    f, _ = opened_stale(path)
    assert state(f) == scanned(path)


@pytest.mark.parametrize("change", ["shrunk", "new header", "truncated"])
def test_changed_file_or_index_is_ignored(tmp_path, change):
    path = record(tmp_path / "a.lma", tail=CUT)
    data = saved(path)
    if change == "shrunk":
        # Still holds every indexed record: only its size tells.
        os.truncate(path, os.path.getsize(path) - 2)
    elif change == "new header":
        record(path, tail=CUT, gain=4.0)
    else:
        with open(path + ".lmaidx", "wb") as s:
            s.write(data[:-1])
    f, _ = opened_stale(path)
    assert state(f) == scanned(path)


@pytest.fixture(scope="module")
def one_file(tmp_path_factory):
    path = record(tmp_path_factory.mktemp("flip") / "a.lma", tail=CUT)
    return path, saved(path), scanned(path)


@settings(max_examples=80, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.data())
def test_any_flipped_byte_is_caught(one_file, data):
    path, good, want = one_file
    at = data.draw(st.integers(0, len(good) - 1))
    bit = data.draw(st.integers(0, 7))
    bad = bytearray(good)
    bad[at] ^= 1 << bit
    index = path + ".bad"
    with open(index, "wb") as s:
        s.write(bad)
    f, _ = opened_stale(path, index)
    assert state(f) == want


def test_named_index(tmp_path):
    path = record(tmp_path / "a.lma")
    other = str(tmp_path / "elsewhere.idx")
    with LmaFile(path) as f:
        assert f.save_index(other) == other
    with opened_with_index(path, other) as f:
        assert state(f) == scanned(path)
    f, warning = opened_stale(path, str(tmp_path / "missing.idx"))
    assert "no such file" in str(warning)
    # A default sidecar that cannot be read is not silent.
    os.mkdir(path + ".lmaidx")
    f, warning = opened_stale(path)
    assert "cannot be read" in str(warning)


def test_save_index_replaces_atomically(tmp_path, monkeypatch):
    path = record(tmp_path / "a.lma")
    done = []
    real_fsync, real_replace = os.fsync, os.replace

    def fsync(fd):
        done.append(("fsync", os.fstat(fd).st_size))
        real_fsync(fd)

    def replace(src, dst):
        done.append(("replace", os.path.getsize(src)))
        real_replace(src, dst)

    monkeypatch.setattr(os, "fsync", fsync)
    monkeypatch.setattr(os, "replace", replace)
    with LmaFile(path) as f:
        f.save_index()
    kept = os.stat(path + ".lmaidx")
    # The whole sidecar synced under its temporary name, then renamed.
    assert done[:2] == [("fsync", kept.st_size), ("replace", kept.st_size)]

    def failing(fd):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "fsync", failing)
    with LmaFile(path) as f, pytest.raises(OSError, match="No space"):
        f.save_index()
    now = os.stat(path + ".lmaidx")
    assert (now.st_ino, now.st_size) == (kept.st_ino, kept.st_size)
    assert sorted(os.listdir(tmp_path)) == ["a.lma", "a.lma.lmaidx"]


def test_lma_index(tmp_path, capsys):
    a = record(tmp_path / "a.lma")
    b = record(tmp_path / "b.lma", tail=CUT)
    assert cli.main(["index", a, b, str(tmp_path / "missing.lma")]) == 1
    out, err = capsys.readouterr()
    assert out.splitlines() == [
        f"{a}.lmaidx: 40 events, ends cleanly",
        f"{b}.lmaidx: 40 events, ends inside event 40, which is incomplete "
        f"(the file may still be being written)"]
    assert err.count("\n") == 1 and "missing.lma" in err
    for name in (a, b):
        opened_with_index(name).close()
    assert cli.main(["index", a, "-o", str(tmp_path / "x.idx")]) == 0
    opened_with_index(a, str(tmp_path / "x.idx")).close()
    assert cli.main(["index", a, "-o", str(tmp_path / "no" / "x")]) == 1
    assert capsys.readouterr().err.count("\n") == 1
    with pytest.raises(SystemExit) as exit:
        cli.main(["index", a, b, "-o", str(tmp_path / "y.idx")])
    assert exit.value.code == 2
    assert not os.path.exists(tmp_path / "y.idx")


def test_commands_tell_an_ignored_index_in_one_line(tmp_path, capsys):
    path = record(tmp_path / "a.lma")
    with open(path + ".lmaidx", "wb") as s:
        s.write(b"not an index")
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        assert cli.main(["info", path]) == 0
    assert capsys.readouterr().err == (
        f"lma: warning: {path}.lmaidx: index not used for {path} (it is "
        f"too short to be an index); the file was scanned\n")


# What an index may be written over: nothing, or an index. Each other
# target is refused, in Python and on the command line, leaving every
# file as it was.
@pytest.mark.parametrize("target, message", [
    ("a.lma", "it is the file indexed"),
    ("hard link", "it is the file indexed"),
    ("b.lma", "it is not an index"),
    ("empty", "it is not an index"),
    ("fifo", "it is not a regular file"),
    ("a.lma.lmaidx", None),
    ("absent", None)])
def test_an_index_replaces_only_an_index(tmp_path, capsys, target, message):
    a = record(tmp_path / "a.lma")
    record(tmp_path / "b.lma", tail=CUT)
    os.link(a, tmp_path / "hard link")
    (tmp_path / "empty").write_bytes(b"")
    os.mkfifo(tmp_path / "fifo")
    # Held open with bytes in it, so that reading it would not block.
    fifo = open(tmp_path / "fifo", "r+b", buffering=0)
    fifo.write(b"x" * 64)
    saved(a)
    out = str(tmp_path / target)
    before = {p: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    with LmaFile(a) as f, fifo:
        if message is None:
            assert f.save_index(out) == out
            assert cli.main(["index", a, "-o", out]) == 0
            opened_with_index(a, out).close()
            return
        with pytest.raises(ValueError, match=message):
            f.save_index(out)
        assert cli.main(["index", a, "-o", out]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err
    assert {p: p.read_bytes() for p in tmp_path.iterdir()
            if p.is_file()} == before


@pytest.mark.parametrize("target, message", [
    ("memory://runs/a.lma", "it is the file indexed"),
    ("memory://runs//./a.lma", "it is the file indexed"),
    ("memory://runs/b.lma", "it is not an index"),
    ("memory://runs/a.idx", None)])
def test_an_index_over_a_url_replaces_only_an_index(tmp_path, target,
                                                    message):
    fsspec = pytest.importorskip("fsspec")
    fs = fsspec.filesystem("memory")
    folder = tmp_path.name     # the memory store outlives the test
    target = target.replace("runs", folder)
    for name, tail in (("a", b""), ("b", CUT)):
        with open(record(tmp_path / f"{name}.lma", tail=tail), "rb") as raw:
            fs.pipe(f"/{folder}/{name}.lma", raw.read())
    before = {p: fs.cat(p) for p in fs.find(f"/{folder}")}
    with LmaFile(f"memory://{folder}/a.lma") as f:
        if message is None:
            assert f.save_index(target) == target
            assert f.save_index(target) == target   # over its own index
            return
        with pytest.raises(ValueError, match=message):
            f.save_index(target)
    assert {p: fs.cat(p) for p in fs.find(f"/{folder}")} == before


def long_header(data):
    """Sidecar bytes whose lengths add up and whose checksum matches, but
    whose header is longer than any header can be."""
    nh = struct.unpack_from("<I", data, 12)[0]
    body = bytearray(data[:96]) + b"Z" * 900 + data[96 + nh:-8]
    struct.pack_into("<I", body, 12, 900)
    return bytes(body) + struct.pack("<Q", sidecar.checksum(bytes(body)))


def end_too_close(data):
    """The index's end closer to its last offset than any record."""
    last = np.frombuffer(sidecar.parts(data)[4], np.int64)[-1]
    return with_parts(data, end=lambda e: last + 1,
                      stop_offset=lambda e: last + 1)


# Lies whose reason tells which check saw them.
REASONS = {
    "header longer than any": (long_header, "its lengths do not add up"),
    "end before a record": (end_too_close,
                            "its record offsets cannot be this file's"),
    "older version": (lambda d: edited(d, 8, "<I", 1), "older kelvane"),
    "a tag": (lambda d: with_parts(d, tags=lambda t: bumped(t, 5)),
              "tags or horpos are not the file's"),
}


@pytest.mark.parametrize("lie", REASONS)
def test_reason_of_an_ignored_index(tmp_path, lie):
    make, reason = REASONS[lie]
    path = record(tmp_path / "a.lma")
    data = make(saved(path))
    with open(path + ".lmaidx", "wb") as s:
        s.write(data)
    f, warning = opened_stale(path)
    assert reason in warning.reason
    assert state(f) == scanned(path)


def rewritten_middle(path):
    """Rewrites the file's middle records in place, with other tags and
    other sizes, keeping its size, header and last record."""
    events = list(EVENTS)
    # Two records of other sizes swapped: the same bytes in all, other
    # offsets and tags between them.
    events[10], events[11] = EVENTS[11], EVENTS[10]
    with open(path, "r+b") as f:
        whole = f.read()
        start = whole.index(event_bytes(EVENTS[10]), 0)
        middle = event_bytes(events[10]) + event_bytes(events[11])
        f.seek(start)
        f.write(middle)
    with open(path, "rb") as f:
        assert len(f.read()) == len(whole)


def test_index_of_another_run_is_ignored(tmp_path):
    path = record(tmp_path / "a.lma")
    saved(path)
    rewritten_middle(path)
    f, warning = opened_stale(path)
    assert "tags or horpos" in warning.reason
    assert state(f) == scanned(path)


def test_pickle_sees_a_change_within_the_second(tmp_path):
    path = record(tmp_path / "a.lma")
    second = 1_700_000_000 * 10**9
    os.utime(path, ns=(second, second + 100))
    with LmaFile(path) as f:
        data = pickle.dumps(f)
    rewritten_middle(path)
    os.utime(path, ns=(second, second + 200))
    with pickle.loads(data) as g:
        assert g._native.scan_count == 1
        assert state(g) == scanned(path)


def test_oversized_sidecar_costs_no_more(tmp_path):
    path = record(tmp_path / "a.lma")
    good = saved(path)
    # Sparse: claims GiBs of records, holds a few bytes.
    with open(path + ".lmaidx", "wb") as s:
        s.write(edited(good, 24, "<Q", 2**28))
        s.truncate(2**32)
    f, warning = opened_stale(path)
    assert warning.reason == "it is larger than any index of this file"
    assert state(f) == scanned(path)


@contextmanager
def deadline(seconds):
    """Fails what takes longer, blocked in a system call or not."""
    def expired(*_):
        raise TimeoutError("took too long")
    old = signal.signal(signal.SIGALRM, expired)
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, old)


def test_fifo_at_the_index_path_is_ignored(tmp_path, capsys):
    path = record(tmp_path / "a.lma")
    os.mkfifo(path + ".lmaidx")
    with deadline(20):
        f, warning = opened_stale(path)
        assert "not a regular file" in warning.reason
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            assert cli.main(["info", path]) == 0
            capsys.readouterr()
            with pytest.raises(ValueError, match="not a regular file"):
                f.save_index()
            assert cli.main(["index", path]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "not a regular file" in err
    assert os.path.exists(path + ".lmaidx") and \
        not os.path.isfile(path + ".lmaidx")
