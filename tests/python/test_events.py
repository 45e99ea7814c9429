"""Decoding of event records into dictionaries of calibrated traces."""

import builtins
import random

import numpy as np
import pytest

import kelvane.lmafmt as lmafmt
from kelvane.lmafmt import LmaReader
from kelvane.writer import Channel, Event, Pulse, Section, header_bytes

from conftest import decoding_path, run_python
from reference import decode_file, same_bits


@pytest.fixture(params=["native", "literal"])
def decode_path(request):
    """Runs a test on both decoders."""
    with decoding_path(request.param):
        yield request.param


def read_events(name):
    """Returns (events, exception ending the iteration or None)."""
    events = []
    with LmaReader(name) as r:
        try:
            for ev in r:
                events.append(ev)
        except Exception as exc:  # noqa: BLE001 - compared by the caller
            return events, exc
    return events, None


def only_event(name):
    events, exc = read_events(name)
    if exc is not None:
        raise exc
    assert len(events) == 1
    return events[0]


def trace(make_lma, channels, pulses, nsamples):
    """Decodes a file whose single event has `pulses` on channel 0 (the
    first channel in use) and returns that row."""
    name = make_lma(channels, [Event(1, [pulses])], nsamples=nsamples)
    return only_event(name)["channel0"]


def test_calibration_example(make_lma, decode_path):
    row = trace(make_lma, {0: Channel(gain=0.5, baseline=10)},
                [Pulse(3, [10, 12, -6])], 8)
    assert row.dtype == np.float64 and row.shape == (8,)
    assert row.tolist() == [0.0, 0.0, 0.0, 0.0, 1.0, -8.0, 0.0, 0.0]


@pytest.mark.parametrize("gain, baseline, samples", [
    (0.1, 1, [3, 0, -1, 32767, -32768]),    # rounding differs if distributed
    (-2.5, 7, [7, 8, 6]),                   # raw == baseline gives -0.0
    (1e-310, -32768, [32767, 0]),           # subnormal gain
    (3.0000000000000004, -3, [1, 2, 3]),
    (1e308, 32767, [-32768]),               # overflows to -inf
])
def test_calibration_bits(make_lma, decode_path, gain, baseline, samples):
    # NumPy's arithmetic may warn about the overflow; that is not at issue.
    with np.errstate(all="ignore"):
        row = trace(make_lma, {0: Channel(gain=gain, baseline=baseline)},
                    [Pulse(2, samples)], 10)
    want = np.zeros(10)
    for n, s in enumerate(samples):
        want[2 + n] = gain * (float(s) - float(baseline))
    assert same_bits(row, want)
    # Samples outside the pulse are +0.0, never gain * (0 - baseline).
    assert not np.signbit(row[[0, 1, 9]]).any()


def test_untouched_samples_zero_with_inf_gain(make_lma, decode_path):
    with np.errstate(all="ignore"):
        row = trace(make_lma, {0: Channel(gain=float("inf"), baseline=5)},
                    [Pulse(1, [5, 6])], 4)
    assert np.isnan(row[1]) and row[2] == np.inf
    assert row[0] == 0.0 and row[3] == 0.0


@pytest.mark.parametrize("pulses, nsamples, want", [
    # first index 0 and length nsamples fill the row
    ([Pulse(0, [1, 2, 3, 4])], 4, {0: 1, 1: 2, 2: 3, 3: 4}),
    ([Pulse(2, [5, 6])], 4, {2: 5, 3: 6}),
    # a negative first index counts from the end of the row
    ([Pulse(-5, [1, 2, 3])], 100, {95: 1, 96: 2, 97: 3}),
    ([Pulse(-8, [9, 9])], 8, {0: 9, 1: 9}),
    # later pulses win where they overlap, also across first-index forms
    ([Pulse(0, [1, 1, 1, 1]), Pulse(1, [2, 2])], 4, {0: 1, 1: 2, 2: 2, 3: 1}),
    ([Pulse(1, [2, 2]), Pulse(0, [1, 1, 1])], 4, {0: 1, 1: 1, 2: 1}),
    ([Pulse(2, [3, 3]), Pulse(-1, [4])], 4, {2: 3, 3: 3}),
    ([Pulse(1, [7]), Pulse(-3, [8])], 4, {1: 8}),
    # a one-sample pulse wholly past the end falls on an empty slice
    ([Pulse(4, [7]), Pulse(1000, [7]), Pulse(2147483647, [7])], 4, {}),
    # ... and so does one whose stop is 0 or which lies before the row
    ([Pulse(-1, [7]), Pulse(-9, [7]), Pulse(-2147483648, [7])], 4, {}),
    ([Pulse(0, [5])], 0, {}),
])
def test_pulse_placement(make_lma, decode_path, pulses, nsamples, want):
    row = trace(make_lma, [0], pulses, nsamples)
    expected = np.zeros(nsamples)
    expected[list(want)] = list(want.values())
    assert same_bits(row, expected)


@pytest.mark.parametrize("pulse, nsamples", [
    (Pulse(3, [1, 2]), 4),                  # one sample past the end
    (Pulse(0, [1] * 5), 4),
    (Pulse(4, [1, 2]), 4),
    (Pulse(-1, [1, 2]), 8),                 # slice(-1, 1) is empty
    (Pulse(-5, [1] * 5), 8),                # slice(-5, 0) is empty
    (Pulse(-20, [1] * 30), 8),              # clipped to 10 samples
    (Pulse(0, [1, 2]), 0),
    (Pulse(2147483647, [1, 2]), 8),         # stop not wrapped to negative
    (Pulse(2147483646, [1, 2, 3]), 8),
])
def test_pulse_not_fitting_slice(make_lma, decode_path, pulse, nsamples):
    name = make_lma([0], [Event(1, [[pulse]])], nsamples=nsamples)
    events, exc = read_events(name)
    assert events == [] and type(exc) is ValueError


@pytest.mark.parametrize("length, exc_type, message", [
    (0, IndexError, "Out of bounds on buffer access (axis 0)"),
    (-1, ValueError, None),
    (-2147483648, ValueError, None),
])
def test_bad_pulse_length(make_lma, decode_path, length, exc_type, message):
    ev = Event(1, [[Pulse(0, [], length=length)]])
    # The pulse info is consumed before the length is refused.
    name = make_lma([0], [ev, ev], nsamples=4)
    with LmaReader(name) as r:
        with pytest.raises(exc_type) as info:
            next(iter(r))
        assert r.pos_cur == r.pos_begin + 12 + 2 + 8
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message


def test_negative_nsamples(make_lma, decode_path):
    name = make_lma([0], [Event(1, [[]])], nsamples=-1)
    with pytest.raises(ValueError):
        only_event(name)


@pytest.mark.parametrize("present", [3, 300001])
def test_huge_pulse_length_in_small_file(make_lma, present):
    """A corrupt length costs memory for the samples present only: under an
    address-space limit far below 4 GiB the short read is still reported."""
    name = make_lma([0], [Event(1, [[Pulse(0, [1] * present,
                                          length=2**31 - 1)]])],
                    nsamples=8, tail=b"\x04")
    proc = run_python(f"""
        import resource, time
        from kelvane.lmafmt import LmaReader
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS,
                           (vm * 1024 + (1 << 29), resource.RLIM_INFINITY))
        start = time.monotonic()
        with LmaReader({name!r}) as r:
            try:
                next(iter(r))
            except Exception as exc:
                print(type(exc).__name__, exc)
        print(time.monotonic() - start < 5)
        """)
    assert proc.stdout.split("\n")[:2] == [
        f"OSError Fail to read a block: {present}!", "True"]


def test_channel_keys_and_views(make_lma, decode_path):
    chans = {0: Channel(), 2: Channel(gain=2.0), 3: Channel(baseline=1)}
    ev = Event(9, [[Pulse(0, [1])], [Pulse(1, [2])], [Pulse(2, [3])]])
    d = only_event(make_lma(chans, [ev], nsamples=5))
    assert list(d) == ["tag", "channel0", "channel2", "channel3"]
    assert type(d["tag"]) is int and d["tag"] == 9
    rows = [d[k] for k in ("channel0", "channel2", "channel3")]
    base = rows[0].base
    assert all(r.base is base for r in rows)
    assert isinstance(base, np.ndarray) and base.shape == (3, 5)
    assert base.dtype == np.float64 and base.flags.c_contiguous
    # "channel2" is row 1: the row order follows the channel order.
    assert np.shares_memory(d["channel2"], base[1])
    assert base.tolist() == [[1, 0, 0, 0, 0], [0, 4, 0, 0, 0],
                             [0, 0, 2, 0, 0]]
    assert not any(r.flags.owndata for r in rows)


def test_events_share_no_memory(make_lma, decode_path):
    ev = Event(1, [[Pulse(0, [1, 2])], [Pulse(1, [3])]])
    events, exc = read_events(make_lma([1, 5], [ev] * 3, nsamples=3))
    assert exc is None and len(events) == 3
    bases = [e["channel1"].base for e in events]
    for a in range(3):
        for b in range(a + 1, 3):
            assert bases[a] is not bases[b]
            assert not np.shares_memory(bases[a], bases[b])
    events[0]["channel1"][:] = 99
    assert events[1]["channel1"].tolist() == [1.0, 2.0, 0.0]


@pytest.mark.parametrize("count", [0, -1, -32768])
def test_empty_channel_sections(make_lma, decode_path, count):
    ev = Event(4, [Section(count=count), [Pulse(0, [6, 7])]])
    events, exc = read_events(make_lma([0, 1], [ev, ev], nsamples=3))
    assert exc is None and len(events) == 2
    for d in events:
        assert list(d) == ["tag", "channel0", "channel1"]
        assert d["channel0"].tolist() == [0.0, 0.0, 0.0]
        assert d["channel1"].tolist() == [6.0, 7.0, 0.0]


def test_no_channels(make_lma, decode_path):
    nan = float("nan")  # horpos is passed over, whatever it holds
    events, exc = read_events(make_lma(
        [], [Event(-5, horpos=nan), Event(2**31 - 1)], nsamples=10))
    assert exc is None and events == [{"tag": -5}, {"tag": 2**31 - 1}]


def test_positions_after_each_event(make_lma, decode_path):
    evs = [Event(0, [[]]), Event(1, [[Pulse(0, [1, 2, 3])]]),
           Event(2, [[Pulse(0, [1]), Pulse(1, [2])]]),
           Event(3, [Section(count=-2)])]
    name = make_lma([7], evs, nsamples=4)
    ends = [len(header_bytes([7], nsamples=4))]
    for e in evs:
        ends.append(ends[-1] + len(e.pack()))
    with LmaReader(name) as r:
        seen = [(d["tag"], r.pos_cur) for d in r]
    assert seen == list(zip(range(4), ends[1:]))


def truncated(make_raw, channels, event, cut, nsamples=50):
    """A file whose last event record is cut after `cut` bytes, after one
    complete event."""
    body = event.pack()
    assert cut < len(body)
    return make_raw(header_bytes(channels, nsamples=nsamples) + body
                    + body[:cut])


@pytest.mark.parametrize("channels, event, cut, got", [
    ([0], Event(1, [[]]), 2, 0),                       # inside the tag
    ([0], Event(1, [[]]), 3, 0),
    ([0], Event(1, [[]]), 8, 0),                       # inside horpos
    ([0], Event(1, [[]]), 13, 0),                      # inside the count
    ([0], Event(1, [[Pulse(0, [1])]]), 14, 0),         # no pulse info
    ([0], Event(1, [[Pulse(0, [1])]]), 17, 0),
    ([0], Event(1, [[Pulse(0, [1])]]), 18, 1),         # first index only
    ([0], Event(1, [[Pulse(0, [1])]]), 21, 1),
    ([0], Event(1, [[Pulse(0, list(range(50)))]]), 22 + 74, 37),
    ([0], Event(1, [[Pulse(0, list(range(50)))]]), 22 + 75, 37),
    ([0, 1], Event(1, [[Pulse(0, [1])], []]), 25, 0),  # second channel
])
def test_truncated_record(make_raw, decode_path, channels, event, cut, got):
    events, exc = read_events(truncated(make_raw, channels, event, cut))
    assert [e["tag"] for e in events] == [1]
    assert type(exc) is OSError
    assert exc.args == (f"Fail to read a block: {got}!",)


@pytest.mark.parametrize("cut", [4, 5, 11])
def test_cut_in_horpos_without_channels(make_raw, decode_path, cut):
    # The seek over horpos may pass the end; nothing reads after it.
    events, exc = read_events(truncated(make_raw, [], Event(6), cut))
    assert exc is None and events == [{"tag": 6}, {"tag": 6}]


ONE_PULSE_HEAD = bytes(12) + b"\x01\x00"


@pytest.mark.parametrize("tail, got", [
    (b"\x00", 0), (b"\x01\x02\x03", 0), (bytes(13), 0),
    (ONE_PULSE_HEAD + bytes(2), 0), (ONE_PULSE_HEAD + bytes(6), 1),
])
def test_trailing_bytes(make_lma, decode_path, tail, got):
    ev = Event(2, [[Pulse(1, [5])]])
    events, exc = read_events(make_lma([0], [ev, ev], nsamples=3, tail=tail))
    assert [e["channel0"].tolist() for e in events] == [[0.0, 5.0, 0.0]] * 2
    assert type(exc) is OSError and str(exc) == f"Fail to read a block: {got}!"


# The literal decoder: what it calls and what it accepts back.

class Recorder:
    def __init__(self, monkeypatch):
        self.calls, self.made = [], []
        for fname in ("zeros", "empty"):
            monkeypatch.setattr(lmafmt, fname, self.wrap(fname))

    def wrap(self, fname):
        def call(*args, **kw):
            self.calls.append((fname, args, kw))
            out = getattr(np, fname)(*args, **kw)
            self.made.append(out)
            return out
        return call


def test_literal_calls(make_lma, monkeypatch):
    rec = Recorder(monkeypatch)
    evs = [Event(1, [[Pulse(0, [4, 5]), Pulse(2, [6])], Section(count=-1)]),
           Event(2, [[], []])]
    events, exc = read_events(make_lma([0, 3], evs, nsamples=3))
    assert exc is None
    z = ("zeros", ((2, 3),), {"dtype": "float64"})
    assert rec.calls == [z, ("empty", (2,), {"dtype": "int16"}),
                         ("empty", (1,), {"dtype": "int16"}), z]
    for _, args, _ in rec.calls:
        shape = args[0]
        assert all(type(v) is int for v in (shape if type(shape) is tuple
                                            else (shape,)))
    # Samples are read straight into the arrays that empty gave,
    # and the rows are views of the array that zeros gave.
    assert rec.made[1].tolist() == [4, 5] and rec.made[2].tolist() == [6]
    assert events[0]["channel0"].base is rec.made[0]
    assert events[1]["channel3"].base is rec.made[3]


class Probe(np.ndarray):
    """Logs the array operations made on a pulse's samples."""
    log = []

    def astype(self, *args, **kw):
        self.log.append(("astype", args, kw))
        return super().astype(*args, **kw)

    def __sub__(self, other):
        self.log.append(("sub", type(other), other))
        return super().__sub__(other)

    def __rmul__(self, other):
        self.log.append(("rmul", type(other), other))
        return super().__rmul__(other)


def test_literal_calibration_operations(make_lma, monkeypatch):
    Probe.log = []
    monkeypatch.setattr(lmafmt, "empty", lambda n, dtype: np.empty(
        n, dtype=dtype).view(Probe))
    chans = {0: Channel(gain=1.0, baseline=0), 1: Channel(gain=2.0,
                                                          baseline=-4)}
    d = only_event(make_lma(chans, [Event(1, [[Pulse(0, [3])],
                                               [Pulse(1, [5])]])],
                            nsamples=2))
    assert d["channel1"].tolist() == [0.0, 18.0]
    # Conversion first, then the baseline as an int, then the gain as a
    # float on the left.
    assert Probe.log == [
        ("astype", ("float64",), {}), ("sub", int, 0), ("rmul", float, 1.0),
        ("astype", ("float64",), {}), ("sub", int, -4), ("rmul", float, 2.0)]


def test_literal_calls_on_failures(make_raw, monkeypatch):
    rec = Recorder(monkeypatch)
    # zeros comes before the tag read, empty before the bounds test.
    name = make_raw(header_bytes([0], nsamples=2) + b"\x01")
    events, exc = read_events(name)
    assert type(exc) is OSError and len(rec.calls) == 1
    name = make_raw(header_bytes([0], nsamples=2)
                    + Event(1, [[Pulse(0, [], length=0)]]).pack())
    rec.calls.clear()
    events, exc = read_events(name)
    assert type(exc) is IndexError
    assert [c[0] for c in rec.calls] == ["zeros", "empty"]


def boom(*args, **kw):
    raise RuntimeError("boom")


def read_only(a):
    a.flags.writeable = False
    return a


def bad_arrays():
    return {
        "zeros": [
            (lambda s, dtype: [[0.0] * s[1]] * s[0], TypeError,
             "Cannot convert list to numpy.ndarray"),
            (lambda s, dtype: None, TypeError,
             "Cannot convert NoneType to numpy.ndarray"),
            (lambda s, dtype: np.zeros(s, dtype="float32"), ValueError, None),
            (lambda s, dtype: np.zeros(s, dtype="int64"), ValueError, None),
            (lambda s, dtype: np.zeros(s[0] * s[1]), ValueError, None),
            (lambda s, dtype: np.zeros(s + (1,)), ValueError, None),
            (lambda s, dtype: np.zeros(s, dtype=">f8"), ValueError, None),
            (lambda s, dtype: np.zeros(s, order="F"), ValueError, None),
            (lambda s, dtype: read_only(np.zeros(s)), ValueError, None),
            (lambda s, dtype: np.zeros((1, s[1])), IndexError, None),
            (boom, RuntimeError, "boom"),
            (lambda s, dtype: np.zeros((s[0], 2 * s[1]))[:, ::2],
             ValueError, None),
        ],
        "empty": [
            (boom, RuntimeError, "boom"),
            (lambda n, dtype: [0] * n, TypeError,
             "Cannot convert list to numpy.ndarray"),
            (lambda n, dtype: np.empty(n, dtype="uint16"), ValueError, None),
            (lambda n, dtype: np.empty(n, dtype="int32"), ValueError, None),
            (lambda n, dtype: np.empty(n, dtype=">i2"), ValueError, None),
            (lambda n, dtype: read_only(np.empty(n, dtype="int16")),
             ValueError, None),
            (lambda n, dtype: np.empty((n, 1), dtype="int16"),
             ValueError, None),
            (lambda n, dtype: np.empty(2 * n, dtype="int16")[::2],
             ValueError, None),
        ],
    }


@pytest.mark.parametrize("fname, idx", [
    (f, i) for f, cases in bad_arrays().items() for i in range(len(cases))])
def test_literal_array_checks(make_lma, monkeypatch, fname, idx):
    maker, exc_type, message = bad_arrays()[fname][idx]
    monkeypatch.setattr(lmafmt, fname, maker)
    name = make_lma([0, 1], [Event(1, [[Pulse(0, [1, 2])], []])], nsamples=3)
    events, exc = read_events(name)
    assert events == [] and type(exc) is exc_type
    if message is not None:
        assert str(exc) == message


class Traces(np.ndarray):
    pass


def test_literal_takes_what_zeros_gives(make_lma, monkeypatch):
    """The trace array is used as given: an ndarray subclass is accepted,
    and a wider row is filled by the same slice rules."""
    monkeypatch.setattr(lmafmt, "zeros", lambda shape, dtype: np.zeros(
        (shape[0], shape[1] + 2), dtype=dtype).view(Traces))
    ev = Event(1, [[Pulse(2, [1, 2]), Pulse(4, [5])]])
    d = only_event(make_lma([0], [ev], nsamples=3))
    assert type(d["channel0"]) is Traces
    assert d["channel0"].tolist() == [0.0, 0.0, 1.0, 2.0, 5.0]


@pytest.mark.parametrize("fname", ["zeros", "empty"])
def test_names_fall_back_to_builtins(make_lma, monkeypatch, fname):
    name = make_lma([0], [Event(1, [[Pulse(1, [3])]])], nsamples=2)
    monkeypatch.delattr(lmafmt, fname)
    with pytest.raises(NameError):
        only_event(name)
    calls = []

    def fallback(*a, **k):
        calls.append(a)
        return getattr(np, fname)(*a, **k)
    monkeypatch.setattr(builtins, fname, fallback, raising=False)
    assert only_event(name)["channel0"].tolist() == [0.0, 3.0]
    assert len(calls) == 1


def test_empty_looked_up_only_for_pulses(make_lma, monkeypatch):
    monkeypatch.delattr(lmafmt, "empty")
    d = only_event(make_lma([0], [Event(1, [Section(count=-3)])], nsamples=2))
    assert d["channel0"].tolist() == [0.0, 0.0]


# Whole files against the reference decoder.

def random_file(rnd):
    nsamples = rnd.choice([0, 1, 2, 5, 16, 40])
    chans = sorted(rnd.sample(range(32), rnd.choice([0, 1, 1, 2, 3, 5])))
    calib = {c: Channel(gain=rnd.choice([1.0, 0.5, -1.25, 1e-3,
                                         rnd.uniform(-1e4, 1e4)]),
                        baseline=rnd.randint(-32768, 32767),
                        fullscale=rnd.randint(-32768, 32767),
                        offset=rnd.randint(-32768, 32767))
             for c in chans}

    def pulse():
        if nsamples and rnd.random() < 0.9:
            n = rnd.randint(1, nsamples)
            first = rnd.randint(0, nsamples - n)
            if rnd.random() < 0.2:
                first -= nsamples
        else:
            n = rnd.choice([1, 1, 2, 3])
            first = rnd.randint(-2 * nsamples - 3, 2 * nsamples + 3)
        return Pulse(first, [rnd.randint(-32768, 32767) for _ in range(n)])

    def section():
        pulses = [pulse() for _ in range(rnd.choice([0, 1, 1, 2, 4]))]
        count = rnd.randint(-32768, -1) if rnd.random() < 0.05 else None
        return Section([] if count else pulses, count=count)

    events = [Event(rnd.randint(-2**31, 2**31 - 1), [section() for _ in chans],
                    horpos=rnd.uniform(-1, 1))
              for _ in range(rnd.randint(0, 5))]
    tail = b""
    if rnd.random() < 0.2:
        tail = bytes(rnd.randrange(256) for _ in range(rnd.randint(1, 30)))
    return calib, events, nsamples, tail


@pytest.mark.parametrize("seed", range(8))
def test_matches_reference(make_lma, decode_path, seed):
    rnd = random.Random(seed)
    for _ in range(25):
        calib, evs, nsamples, tail = random_file(rnd)
        name = make_lma(calib, evs, nsamples=nsamples, tail=tail)
        with open(name, "rb") as f:
            want, want_exc = decode_file(f.read())
        got, exc = read_events(name)
        assert type(exc) is type(want_exc)
        if isinstance(exc, (OSError, IndexError)):
            assert exc.args == want_exc.args
        assert len(got) == len(want)
        for g, w in zip(got, want):
            assert list(g) == list(w) and g["tag"] == w["tag"]
            for key in list(w)[1:]:
                assert same_bits(g[key], w[key]), (name, key)



def test_large_file_matches_reference(make_lma, decode_path):
    """Records that straddle the stream's buffer boundaries decode alike."""
    rnd = random.Random(99)
    calib = {1: Channel(gain=0.25, baseline=-3), 4: Channel(gain=-7.5)}

    def pulse():
        n = rnd.randint(1, 300)
        return Pulse(rnd.randint(0, 700),
                     [rnd.randint(-32768, 32767) for _ in range(n)])

    def section():
        return [pulse() for _ in range(rnd.randint(0, 3))]
    evs = [Event(n, [section(), section()]) for n in range(400)]
    name = make_lma(calib, evs, nsamples=1000)
    with open(name, "rb") as f:
        want, want_exc = decode_file(f.read())
    got, exc = read_events(name)
    assert exc is None and want_exc is None and len(got) == len(want) == 400
    for g, w in zip(got, want):
        assert same_bits(g["channel1"], w["channel1"])
        assert same_bits(g["channel4"], w["channel4"])


@pytest.mark.parametrize("reopen", [False, True])
@pytest.mark.parametrize("fname", ["zeros", "empty"])
def test_reader_closed_during_decoding(make_lma, fname, reopen):
    """A rebound zeros/empty may close (and reopen) the reader mid-record.
    Decoding must then fail in order or go on with the reader's stream,
    never touch the closed one: here another stream takes its memory."""
    name = make_lma([0], [Event(n, [[Pulse(0, [n + 1])]]) for n in range(3)],
                    nsamples=2)
    decoy = name + ".decoy"
    with open(decoy, "wb") as f:
        f.write(b"\xef\xbe\xad\xde" * 64)
    proc = run_python(f"""
        import ctypes
        import numpy as np
        import kelvane.lmafmt as m
        libc = ctypes.CDLL(None)
        libc.fopen.restype = ctypes.c_void_p
        r, kept = m.LmaReader({name!r}), []

        def once(*args, **kw):
            setattr(m, {fname!r}, getattr(np, {fname!r}))
            r.__exit__(None, None, None)
            if {reopen!r}:
                kept.append(libc.fopen({decoy!r}.encode(), b"rb"))
                r.__enter__()
            return getattr(np, {fname!r})(*args, **kw)

        setattr(m, {fname!r}, once)
        with r:
            try:
                for ev in r:
                    print("event", ev["tag"], ev["channel0"].tolist())
            except Exception as exc:
                print("error", type(exc).__name__)
        """, check=False)
    assert proc.returncode == 0, proc.stderr
    assert "error" in proc.stdout or reopen
    # 0xdeadbeef and its halves come only from the decoy.
    for bad in ("-559038737", "-16657.0", "-8531.0"):
        assert bad not in proc.stdout


@pytest.mark.parametrize("how", ["close", "reopen", "finaliser"])
def test_stream_change_mid_record_is_refused(make_lma, how):
    """Python code run inside a decode (a rebound name, or the finaliser of
    a temporary array) that closes or reopens the reader stops the decode
    with "File is closed!" instead of reading a freed or new stream."""
    name = make_lma([0], [Event(5, [[Pulse(0, [1, 2]), Pulse(2, [3, 4])]])],
                    nsamples=8)
    proc = run_python(f"""
        import numpy as np
        import kelvane.lmafmt as m
        r = m.LmaReader({name!r})
        done = []

        def meddle():
            if not done:
                done.append(1)
                r.__exit__(None, None, None)
                if {how!r} == "reopen":
                    r.__enter__()

        class Meddling(np.ndarray):
            def __del__(self):
                meddle()

        def empty(n, dtype):
            if {how!r} == "finaliser":
                return np.empty(n, dtype=dtype).view(Meddling)
            meddle()
            return np.empty(n, dtype=dtype)

        m.empty = empty
        with r:
            try:
                print(next(iter(r)))
            except OSError as e:
                print("OSError", e)
        """)
    assert proc.stdout.splitlines() == ["OSError File is closed!"]
