"""Property-based tests: random valid files decode to exactly what was
written, and random damage to them is met with one of the documented
exceptions, never a crash, and leaves a reader that still closes and can
iterate again with the same outcome.

Examples per test default to a CI-friendly count; set
KELVANE_HYPOTHESIS_EXAMPLES for a longer run.
"""
import contextlib
import io
import os
import struct
import sys
import tempfile
from dataclasses import dataclass

import numpy
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import (RuleBasedStateMachine, initialize,
                                 precondition, rule)

import reference
from conftest import decoding_path, open_fds
from kelvane import lmafmt
from kelvane.writer import (Channel, Event, Pulse, Section, header_bytes,
                            write_lma)

EXAMPLES = settings(
    max_examples=int(os.environ.get("KELVANE_HYPOTHESIS_EXAMPLES", "200")),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

ALLOWED = (OSError, IndexError, ValueError, MemoryError)

# Largest nchannels * nsamples a damaged header may ask for, so one event's
# trace array (and the reference decoder's copy) stays at a few tens of MB.
TRACE_CAP = 1 << 22

INT16 = st.integers(-2**15, 2**15 - 1)
INT32 = st.integers(-2**31, 2**31 - 1)


# --- running the reader ----------------------------------------------------


@contextlib.contextmanager
def collected_unraisable():
    """Collects what goes to sys.unraisablehook, silencing stderr."""
    reports = []
    saved = sys.unraisablehook
    sys.unraisablehook = lambda u: reports.append(
        (type(u.exc_value).__name__, str(u.exc_value), u.object))
    try:
        with contextlib.redirect_stderr(io.StringIO()):
            yield reports
    finally:
        sys.unraisablehook = saved


def outcome(exc):
    return None if exc is None else (type(exc).__name__, str(exc))


def iterate(reader):
    """Events of one pass and the failure that ended it, or None."""
    events = []
    try:
        for ev in reader:
            events.append(ev)
    except ALLOWED as e:
        return events, (type(e).__name__, str(e))
    return events, None


def bits(a):
    return numpy.ascontiguousarray(a).view(numpy.uint64)


def assert_same_events(got, expected):
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        assert list(g) == list(e)
        assert g["tag"] == e["tag"]
        for key in list(e)[1:]:
            assert g[key].dtype == numpy.float64
            assert g[key].shape == e[key].shape
            numpy.testing.assert_array_equal(bits(g[key]), bits(e[key]))


def assert_same_header(r, h):
    assert (r.pos_begin, r.nsamples, r.channels, r.nchannels, r.pos_end) == (
        h.pos_begin, h.nsamples, h.channels, h.nchannels, h.pos_end)
    assert struct.pack("<d", r.sample_interval) == struct.pack(
        "<d", h.sample_interval)
    got = [dict(c, gain=struct.pack("<d", c["gain"])) for c in r.channel_info]
    want = [dict(c, gain=struct.pack("<d", c["gain"]))
            for c in h.channel_info]
    assert got == want


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    return str(tmp_path_factory.mktemp("robust") / "case.lma")


# --- valid files -----------------------------------------------------------


@dataclass
class Model:
    channels: dict
    nsamples: int
    events: list
    header: dict

    def write(self, path):
        return write_lma(path, self.channels, self.events,
                         nsamples=self.nsamples, **self.header)

    def expected(self):
        with numpy.errstate(all="ignore"):
            return self.expected_quiet()

    def expected_quiet(self):
        used = sorted(self.channels)
        out = []
        for ev in self.events:
            arr = numpy.zeros((len(used), self.nsamples))
            for i, sec in enumerate(ev.sections):
                ch = self.channels[used[i]]
                for p in sec.pulses:
                    raw = numpy.array(p.samples, dtype=numpy.int16)
                    arr[i, p.first:p.first + len(p.samples)] = ch.gain * (
                        raw.astype(numpy.float64) - ch.baseline)
            d = {"tag": ev.tag}
            d.update((f"channel{c}", arr[i]) for i, c in enumerate(used))
            out.append(d)
        return out

    def record_ends(self, pos_begin):
        ends = []
        for ev in self.events:
            pos_begin += len(ev.pack())
            ends.append(pos_begin)
        return ends


@st.composite
def pulses(draw, nsamples):
    """A partial pulse that fits its row, or one sample broadcast anywhere."""
    if nsamples > 0 and draw(st.booleans()):
        start = draw(st.integers(0, nsamples - 1))
        length = draw(st.integers(1, nsamples - start))
        first = start
        # Counted from the end only when the stop stays negative too: a
        # stop of 0 would make the slice empty.
        if start + length < nsamples and draw(st.booleans()):
            first = start - nsamples
    else:
        length = 1
        first = draw(st.integers(-nsamples - 3, nsamples + 3) | INT32)
    samples = draw(st.lists(INT16, min_size=length, max_size=length))
    return Pulse(first, samples)


@st.composite
def sections(draw, nsamples):
    ps = draw(st.lists(pulses(nsamples), max_size=3))
    count = None
    if not ps and draw(st.booleans()):
        count = draw(st.integers(-2**15, 0))
    return Section(ps, count)


@st.composite
def models(draw):
    used = sorted(draw(st.sets(st.integers(0, 31), max_size=4)))
    channels = {c: Channel(fullscale=draw(INT16), offset=draw(INT16),
                           gain=draw(st.floats(width=64)),
                           baseline=draw(INT16), field5=draw(INT16),
                           field6=draw(INT32), field7=draw(INT32))
                for c in used}
    nsamples = draw(st.integers(0, 40) | st.sampled_from([1, 1000]))
    events = draw(st.lists(
        st.builds(Event, INT32,
                  st.lists(sections(nsamples), min_size=len(used),
                           max_size=len(used)),
                  st.floats(width=64)),
        max_size=5))
    header = {"sample_interval": draw(st.floats(width=64))}
    top = used[-1] + 1 if used else 0
    if draw(st.booleans()):
        # Extra channels and mask bits beyond the count change nothing.
        num = draw(st.integers(top, 40))
        header["num_channels"] = num
        mask = sum(1 << c for c in used)
        if num < 32:
            mask |= draw(st.integers(0, 2**32 - 1)) >> num << num
        header["mask"] = mask
    return Model(channels, nsamples, events, header)


@pytest.mark.parametrize("path", ["native", "literal"])
@EXAMPLES
@given(model=models())
def test_valid_files_decode_to_what_was_written(scratch, path, model):
    size = model.write(scratch)
    expected = model.expected()
    r = lmafmt.LmaReader(scratch)
    with open(scratch, "rb") as f:
        h = reference.read_header(f.read())
    assert h.failure is None
    assert_same_header(r, h)
    assert r.pos_end == size
    ends = model.record_ends(r.pos_begin)
    with decoding_path(path), r:
        got, cursor = [], []
        for ev in r:
            got.append(ev)
            cursor.append(r.pos_cur)
        assert_same_events(got, expected)
        assert cursor == ends


@EXAMPLES
@given(model=models())
def test_reference_decoder_agrees_with_model(model):
    # The damage tests trust the reference decoder; check it where the
    # answer is known.
    data = header_bytes(model.channels, nsamples=model.nsamples,
                        **model.header)
    data += b"".join(e.pack() for e in model.events)
    events, failure = reference.decode_file(data)
    assert failure is None
    assert_same_events(events, model.expected())


# --- damaged files ---------------------------------------------------------

EXTREMES = {
    "<i": [0, 1, -1, 4, 50, 2**30, 2**31 - 5, 2**31 - 1, -2**31],
    "<h": [0, 1, -1, 31, 32, 33, 2**15 - 1, -2**15],
    "<I": [0, 1, 2**31, 2**32 - 1],
    "<d": [0.0, -0.0, 5e-324, 1e308, float("inf"), float("nan")],
}
RANDOM = {"<i": INT32, "<h": INT16, "<I": st.integers(0, 2**32 - 1),
          "<d": st.floats(width=64)}


def field_map(data):
    """(offset, format) of every field of a valid file, in file order."""
    fields = []
    reference.decode_file(data, fields)
    return fields


def flip_bits(draw, data, fields):
    for _ in range(draw(st.integers(1, 8))):
        i = draw(st.integers(0, len(data) - 1))
        data[i] ^= 1 << draw(st.integers(0, 7))
    return data


def truncate(draw, data, fields):
    # Anywhere, or aimed at the inside or the edge of a field, so every
    # kind of field gets cut.
    if draw(st.booleans()):
        return data[:draw(st.integers(0, len(data)))]
    offset, fmt = draw(st.sampled_from(fields))
    return data[:offset + draw(st.integers(0, struct.calcsize(fmt)))]


def garbage_header(draw, data, fields):
    size = draw(st.integers(1, 50 + 24 * 4))
    return bytearray(draw(st.binary(min_size=size, max_size=size))
                     ) + data[size:]


def overwrite_field(draw, data, fields):
    offset, fmt = draw(st.sampled_from(fields))
    if fmt not in EXTREMES:
        return flip_bits(draw, data, fields)
    value = draw(st.sampled_from(EXTREMES[fmt]) | RANDOM[fmt])
    data[offset:offset + struct.calcsize(fmt)] = struct.pack(fmt, value)
    return data


def splice(draw, data, fields):
    # Inserted or lost bytes shift every later field.
    offset = draw(st.sampled_from(fields))[0] + draw(st.integers(0, 3))
    if draw(st.booleans()):
        return data[:offset] + draw(st.binary(min_size=1, max_size=16)) + (
            data[offset:])
    return data[:offset] + data[offset + draw(st.integers(1, 16)):]


def append_tail(draw, data, fields):
    return data + draw(st.binary(min_size=1, max_size=40))


MUTATIONS = [flip_bits, truncate, garbage_header, overwrite_field, splice,
             append_tail]


def bounded(data):
    """Lowers num of samples where the header would ask for a trace array
    bigger than TRACE_CAP; the huge case has a test of its own."""
    h = reference.read_header(bytes(data))
    if h.nchannels * h.nsamples > TRACE_CAP:
        data[16:20] = struct.pack("<i", TRACE_CAP // h.nchannels)
    return data


@st.composite
def damaged_files(draw):
    model = draw(models())
    data = bytearray(header_bytes(model.channels, nsamples=model.nsamples,
                                  **model.header))
    data += b"".join(e.pack() for e in model.events)
    fields = field_map(bytes(data))
    for _ in range(draw(st.integers(1, 3))):
        if not data:
            break
        data = draw(st.sampled_from(MUTATIONS))(draw, data, fields)
    return bytes(bounded(data))


def outcome_of(reader):
    """One pass over an open reader: its events and how it ended."""
    fds = open_fds()
    events, failure = iterate(reader)
    assert open_fds() == fds
    return events, failure


@pytest.mark.parametrize("path", ["native", "literal"])
@EXAMPLES
@given(data=damaged_files())
def test_damaged_files_fail_cleanly(scratch, path, data):
    with open(scratch, "wb") as f:
        f.write(data)
    h = reference.read_header(data)
    expected, expected_failure = reference.decode_file(data)
    expected_failure = outcome(expected_failure)
    fds = open_fds()
    with collected_unraisable() as reports:
        r = lmafmt.LmaReader(scratch)
    assert open_fds() == fds
    if h.failure is None:
        assert reports == []
    else:
        assert reports == [outcome(h.failure) +
                           ("kelvane.lmafmt.LmaReader.__read_header",)]
    assert_same_header(r, h)
    with decoding_path(path):
        for _ in range(2):
            # A failed pass leaves the reader closable and able to start
            # over with the same outcome.
            assert r.__enter__() is r
            events, failure = outcome_of(r)
            assert r.__exit__(None, None, None) is None
            assert open_fds() == fds
            if failure is not None and failure[0] == "MemoryError":
                continue
            assert failure == expected_failure
            assert_same_events(events, expected)


@pytest.mark.parametrize("path", ["native", "literal"])
@pytest.mark.parametrize("nchannels, nsamples", [
    (32, 2**31 - 1),    # 512 GiB: more than any allocator grants
    (1, 2**31 - 1),     # 16 GiB: may be granted lazily
    (0, 2**31 - 1),
    (3, -1),
    (1, -2**31),
])
def test_huge_or_negative_nsamples(tmp_path, path, nchannels, nsamples):
    name = str(tmp_path / "huge.lma")
    pulse = Pulse(5, [7, 8, 9])
    write_lma(name, range(nchannels), [Event(1, [[pulse]] * nchannels)] * 2,
              nsamples=nsamples)
    with decoding_path(path), lmafmt.LmaReader(name) as r:
        for _ in range(2):
            try:
                events = []
                for ev in r:
                    # Only a few pages of a lazily granted array are
                    # touched; comparing it whole would fill it.
                    events.append(ev["tag"])
                    for key in list(ev)[1:]:
                        assert ev[key].shape == (nsamples,)
                        assert ev[key][4:9].tolist() == [0, 7, 8, 9, 0]
                        assert ev[key][-1] == 0
                    del ev
                assert events == [1, 1]
            except MemoryError:
                assert nchannels * nsamples * 8 > 2**33
            except ValueError as e:
                assert nsamples < 0
                assert str(e) == "negative dimensions are not allowed"


# --- random use of one reader ----------------------------------------------
#
# Readers and generators driven in random order: entering and leaving,
# starting, advancing, throwing into, closing and dropping generators. A
# model of the one shared stream predicts every result with the reference
# decoder, including a generator resumed after the file was reopened,
# which must refuse the new stream rather than read its header as events.

UNKNOWN = object()  # stream position after a failed decode


class ReaderMachine(RuleBasedStateMachine):
    @initialize(model=models(), path=st.sampled_from(["native",
                                                      "literal"]))
    def start(self, model, path):
        self.exits = contextlib.ExitStack()
        self.exits.enter_context(decoding_path(path))
        self.name = self.exits.enter_context(
            _scratch_file())
        model.write(self.name)
        with open(self.name, "rb") as f:
            self.data = f.read()
        self.header = reference.read_header(self.data)
        self.fds = open_fds()
        self.reader = lmafmt.LmaReader(self.name)
        self.pos = None          # None: closed
        self.opens = 0           # streams opened so far
        # [generator, "new" | "suspended" | "done", stream it started on]
        self.gens = []

    def teardown(self):
        if not hasattr(self, "reader"):
            return
        self.gens.clear()
        assert self.reader.__exit__(None, None, None) is None
        reader = self.reader
        del self.reader
        # Held by `reader` and the argument only: no generator kept it.
        refs = sys.getrefcount(reader)
        assert refs == 2
        del reader
        assert open_fds() == self.fds
        self.exits.close()

    @rule()
    def enter(self):
        assert self.reader.__enter__() is self.reader
        self.pos = 0
        self.opens += 1

    @rule()
    def exit(self):
        assert self.reader.__exit__(None, None, None) is None
        self.pos = None

    @precondition(lambda self: len(self.gens) < 4)
    @rule()
    def new_generator(self):
        self.gens.append([iter(self.reader), "new", None])

    def expect_next(self, g):
        """What the next step of generator entry `g` yields or raises, per
        the model."""
        state = g[1]
        if state == "done":
            return "stop", None
        if self.pos is None or state == "suspended" and g[2] != self.opens:
            return "raise", ("OSError", "File is closed!")
        if state == "new":
            g[2] = self.opens
            if self.header.pos_begin < 0:
                return "raise", ("OSError", "Fail to seek a position: -1!")
            self.pos = self.header.pos_begin
        if self.pos is UNKNOWN:
            return "unknown", None
        if self.pos >= len(self.data):
            return "stop", None
        c = reference.Cursor(self.data, self.pos)
        try:
            with numpy.errstate(all="ignore"):
                event = reference.decode_event(c, self.header)
        except ALLOWED as e:
            self.pos = UNKNOWN
            return "raise", outcome(e)
        self.pos = c.pos
        return "yield", event

    @precondition(lambda self: self.gens)
    @rule(data=st.data())
    def advance(self, data):
        g = self.gens[data.draw(st.integers(0, len(self.gens) - 1))]
        kind, value = self.expect_next(g)
        try:
            event = next(g[0])
        except StopIteration:
            assert kind in ("stop", "unknown")
            g[1] = "done"
        except ALLOWED as e:
            assert kind in ("raise", "unknown")
            if kind == "raise":
                assert (type(e).__name__, str(e)) == value
            g[1] = "done"
            # Refusing a stream reads nothing from it.
            if value != ("OSError", "File is closed!"):
                self.pos = UNKNOWN if self.pos is not None else None
        else:
            assert kind in ("yield", "unknown")
            if kind == "yield":
                assert_same_events([event], [value])
                assert self.reader.pos_cur == self.pos
            g[1] = "suspended"

    @precondition(lambda self: self.gens)
    @rule(data=st.data())
    def throw(self, data):
        g = self.gens[data.draw(st.integers(0, len(self.gens) - 1))]
        with pytest.raises(KeyError):
            g[0].throw(KeyError("thrown"))
        g[1] = "done"

    @precondition(lambda self: self.gens)
    @rule(data=st.data())
    def close(self, data):
        g = self.gens[data.draw(st.integers(0, len(self.gens) - 1))]
        assert g[0].close() is None
        g[1] = "done"

    @precondition(lambda self: self.gens)
    @rule(data=st.data())
    def drop(self, data):
        # Finalising a suspended generator must not touch the stream.
        del self.gens[data.draw(st.integers(0, len(self.gens) - 1))]
        if self.pos is not None and self.pos is not UNKNOWN:
            assert self.reader.pos_cur == self.pos


@contextlib.contextmanager
def _scratch_file():
    fd, name = tempfile.mkstemp(suffix=".lma")
    os.close(fd)
    try:
        yield name
    finally:
        os.unlink(name)


ReaderMachine.TestCase.settings = settings(
    EXAMPLES, max_examples=EXAMPLES.max_examples // 2,
    stateful_step_count=30)
test_random_use_of_one_reader = ReaderMachine.TestCase
