"""Iterating over a reader: the generator it returns and how it walks the
file."""

import gc
import random
import sys
import weakref

import numpy as np
import pytest

import kelvane.lmafmt as lmafmt
from kelvane.lmafmt import LmaReader
from kelvane.writer import Channel, Event, Pulse, header_bytes

import reference
from conftest import open_fds

CLOSED = "File is closed!"


@pytest.fixture
def three(make_lma):
    """A file of three events tagged 10, 11, 12, and the offsets just after
    each record."""
    evs = [Event(10 + n, [[Pulse(n, [n + 1])]]) for n in range(3)]
    name = make_lma([0], evs, nsamples=4)
    ends, pos = [], len(header_bytes([0], nsamples=4))
    for e in evs:
        pos += len(e.pack())
        ends.append(pos)
    return name, ends


@pytest.fixture
def opened(three):
    """An open reader on `three`; closed again afterwards."""
    r = LmaReader(three[0])
    r.__enter__()
    yield r
    r.__exit__(None, None, None)


def tags(events):
    return [e["tag"] for e in events]


def finished(gen):
    with pytest.raises(StopIteration):
        next(gen)
    return gen.__name__ is None and gen.__qualname__ is None


def tb_entries(exc):
    out, tb = [], exc.__traceback__
    while tb is not None:
        out.append((tb.tb_frame.f_code.co_name,
                    tb.tb_frame.f_code.co_filename))
        tb = tb.tb_next
    return out


# Walking the file.

def test_iteration_in_with_block(three):
    name, ends = three
    with LmaReader(name) as r:
        first = [(d["tag"], r.pos_cur) for d in r]
        assert first == list(zip([10, 11, 12], ends))
        assert r.pos_cur == r.pos_end == ends[-1]
        # A second loop starts again at the first event.
        assert tags(r) == [10, 11, 12]
        gen = iter(r)
        assert tags(gen) == [10, 11, 12] and finished(gen)


@pytest.mark.parametrize("header_size", [None, 10**6])
def test_no_events(make_lma, header_size):
    # A first record beyond the end of the file is the end of the file.
    name = make_lma([0], [], nsamples=3, header_size=header_size)
    with LmaReader(name) as r:
        assert list(r) == []


def test_negative_first_record_offset(make_lma):
    name = make_lma([0], [Event(1, [[]])], nsamples=3, header_size=-10)
    with LmaReader(name) as r, pytest.raises(OSError) as info:
        next(iter(r))
    assert info.value.args == ("Fail to seek a position: -1!",)


def test_outside_with_block(three):
    r = LmaReader(three[0])
    gen = iter(r)
    with pytest.raises(OSError) as info:
        next(gen)
    assert type(info.value) is OSError and info.value.args == (CLOSED,)
    assert ("__iter__", "kelvane/lmafmt") in tb_entries(info.value)
    assert not any("__next" in n for n, _ in tb_entries(info.value))
    assert finished(gen)


@pytest.mark.parametrize("how", ["with", "exit"])
def test_reader_closed_while_suspended(three, how):
    r = LmaReader(three[0])
    if how == "with":
        with r:
            gen = iter(r)
            assert next(gen)["tag"] == 10
    else:
        r.__enter__()
        gen = iter(r)
        assert next(gen)["tag"] == 10
        r.__exit__(None, None, None)
    with pytest.raises(OSError) as info:
        next(gen)
    assert info.value.args == (CLOSED,)
    assert finished(gen)
    # Reopening gives a fresh start; the dead generator stays finished.
    with r:
        assert tags(r) == [10, 11, 12]
        assert finished(gen)


@pytest.mark.parametrize("reopen", ["exit and enter", "enter again"])
def test_generators_of_a_replaced_stream(three, reopen):
    """A reopened reader has a new stream: generators suspended on the old
    one must not walk it from offset 0, reading the header as events."""
    r = LmaReader(three[0])
    r.__enter__()
    old = [iter(r), iter(r)]
    assert [next(g)["tag"] for g in old] == [10, 10]
    if reopen == "exit and enter":
        r.__exit__(None, None, None)
    r.__enter__()
    fresh = iter(r)
    for gen in old:
        with pytest.raises(OSError) as info:
            next(gen)
        assert info.value.args == (CLOSED,) and r.pos_cur == 0
        assert finished(gen)
    assert tags(fresh) == [10, 11, 12]
    r.__exit__(None, None, None)
    with r:
        assert all(finished(g) for g in old)


def test_directory_read_error_is_not_end_of_file(tmp_path, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    r = LmaReader(str(tmp_path))
    assert reports
    with r:
        with pytest.raises(OSError) as info:
            next(iter(r))
    assert type(info.value) is OSError
    assert info.value.args == ("Fail to read a block: 0!",)


def test_failure_finishes_and_leaves_file_open(make_lma):
    ev = Event(1, [[Pulse(0, [2])]])
    name = make_lma([0], [ev, ev], nsamples=2, tail=b"\x07\x00")
    with LmaReader(name) as r:
        gen = iter(r)
        assert tags([next(gen), next(gen)]) == [1, 1]
        with pytest.raises(OSError) as info:
            next(gen)
        assert info.value.args == ("Fail to read a block: 0!",)
        names = [n for n, f in tb_entries(info.value) if f == "kelvane/lmafmt"]
        assert names == ["__iter__", "kelvane.lmafmt.LmaReader.__next"]
        assert finished(gen)
        assert r.pos_cur == r.pos_end
        # A new iteration starts over.
        assert next(iter(r))["tag"] == 1


def test_two_generators_share_the_stream(three):
    with LmaReader(three[0]) as r:
        g1, g2 = iter(r), iter(r)
        assert g1 is not g2
        assert next(g1)["tag"] == 10 and next(g1)["tag"] == 11
        # Starting g2 rewinds the one stream of the reader.
        assert next(g2)["tag"] == 10
        assert next(g1)["tag"] == 11
        assert next(g2)["tag"] == 12
        assert finished(g1)
        assert finished(g2)


# The generator protocol.

@pytest.fixture
def states(opened):
    """Returns a maker of generators of `opened` in a given state."""
    def make(state):
        gen = iter(opened)
        if state == "suspended":
            assert next(gen)["tag"] == 10
        elif state == "finished":
            assert len(list(gen)) == 3
        return gen
    return make


def test_send(states):
    gen = states("new")
    with pytest.raises(TypeError) as info:
        gen.send(1)
    assert str(info.value) == (
        "can't send non-None value to a just-started generator")
    # The refused send left it not started.
    assert gen.send(None)["tag"] == 10
    assert gen.send(1)["tag"] == 11
    assert gen.send("x")["tag"] == 12
    with pytest.raises(StopIteration):
        gen.send(1)
    with pytest.raises(StopIteration):
        gen.send(None)


@pytest.mark.parametrize("state", ["new", "suspended", "finished"])
def test_throw(states, state):
    gen = states(state)
    err = KeyError("k")
    with pytest.raises(KeyError) as info:
        gen.throw(err)
    assert info.value is err
    if state != "finished":
        assert ("__iter__", "kelvane/lmafmt") in tb_entries(err)
    assert finished(gen)


def test_throw_on_new_generator_of_closed_reader(three):
    # The thrown exception wins over the closed file, which is not looked at.
    gen = iter(LmaReader(three[0]))
    with pytest.raises(ValueError):
        gen.throw(ValueError)
    assert finished(gen)
    gen = iter(LmaReader(three[0]))
    assert gen.close() is None
    assert finished(gen)


@pytest.mark.parametrize("args, want", [
    ((ValueError,), ValueError()),
    ((ValueError, "v"), ValueError("v")),
    ((ValueError, ("a", 1)), ValueError("a", 1)),
    ((ValueError, None, None), ValueError()),
    ((ValueError("i"), None), ValueError("i")),
    ((GeneratorExit,), GeneratorExit()),
    ((LookupError, KeyError("k")), KeyError("k")),
    ((LookupError, ValueError("v")), LookupError(ValueError("v"))),
])
def test_throw_forms(states, args, want):
    gen = states("suspended")
    with pytest.raises(type(want)) as info:
        gen.throw(*args)
    assert type(info.value) is type(want)
    assert repr(info.value.args) == repr(want.args)
    assert finished(gen)


class NotAnException(Exception):
    def __new__(cls, *args):
        return 5


@pytest.mark.parametrize("state", ["new", "suspended", "finished"])
@pytest.mark.parametrize("args, message", [
    ((5,), "raise: exception class must be a subclass of BaseException"),
    ((int,), "raise: exception class must be a subclass of BaseException"),
    ((ValueError("a"), ValueError("b")),
     "instance exception may not have a separate value"),
    ((ValueError("a"), 1), "instance exception may not have a separate value"),
    ((ValueError, None, 5), "raise: arg 3 must be a traceback or None"),
    ((ValueError, "v", "tb"), "raise: arg 3 must be a traceback or None"),
    ((NotAnException,), "calling "),
])
def test_throw_argument_errors(states, state, args, message):
    gen = states(state)
    with pytest.raises(TypeError) as info:
        gen.throw(*args)
    assert str(info.value).startswith(message)
    if message == "calling ":
        assert "should have returned an instance of BaseException" in str(
            info.value)
    assert finished(gen)


@pytest.mark.parametrize("state", ["new", "suspended", "finished"])
def test_close(states, opened, three, state):
    gen = states(state)
    before = opened.pos_cur
    assert gen.close() is None
    assert finished(gen)
    assert gen.close() is None
    # The reader's file stays open where the last yield left it.
    assert opened.pos_cur == before
    if state == "suspended":
        assert before == three[1][0]


def test_destroying_suspended_generator_leaves_file(opened, three):
    gen = iter(opened)
    next(gen)
    del gen
    gc.collect()
    assert opened.pos_cur == three[1][0]


@pytest.mark.parametrize("end", ["exhaust", "fail", "throw", "close"])
def test_names(states, opened, end):
    gen = states("new")
    assert gen.__name__ == "__iter__"
    assert gen.__qualname__ == "LmaReader.__iter__"
    next(gen)
    assert gen.__name__ == "__iter__"
    assert gen.__qualname__ == "LmaReader.__iter__"
    if end == "exhaust":
        assert len(list(gen)) == 2
    elif end == "fail":
        opened.__exit__(None, None, None)
        with pytest.raises(OSError):
            next(gen)
    elif end == "throw":
        with pytest.raises(ZeroDivisionError):
            gen.throw(ZeroDivisionError)
    else:
        gen.close()
    assert gen.__name__ is None and gen.__qualname__ is None
    gen.__name__, gen.__qualname__ = "a", "b.c"
    assert (gen.__name__, gen.__qualname__) == ("a", "b.c")


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
def test_name_setters(states, attr):
    gen = states("new")
    setattr(gen, attr, "other")
    assert getattr(gen, attr) == "other"
    for bad in (None, b"x", 3):
        with pytest.raises(TypeError) as info:
            setattr(gen, attr, bad)
        assert str(info.value) == f"{attr} must be set to a string object"
    with pytest.raises(TypeError) as info:
        delattr(gen, attr)
    assert str(info.value) == f"{attr} must be set to a string object"
    assert getattr(gen, attr) == "other"
    # Renaming changes nothing about what it yields.
    assert next(gen)["tag"] == 10


def test_generator_members(states):
    gen = states("new")
    assert type(gen).__name__ == "generator"
    assert iter(gen) is gen
    assert not hasattr(gen, "gi_frame")
    for state in ("new", "suspended", "finished"):
        g = states(state)
        assert g.gi_running is False
        assert g.gi_code is None and g.gi_yieldfrom is None
    for attr in ("gi_running", "gi_code", "gi_yieldfrom"):
        with pytest.raises(AttributeError):
            setattr(gen, attr, None)
    with pytest.raises(TypeError):
        class Sub(type(gen)):
            pass
    assert repr(gen).startswith("<generator object at 0x")


def test_weak_reference_to_generator(states):
    gen = states("suspended")
    ref = weakref.ref(gen)
    assert ref() is gen
    del gen
    gc.collect()
    assert ref() is None


class Reader(LmaReader):
    """Instances of a subclass can be weakly referenced."""


def test_generator_keeps_reader_alive(three):
    fds = open_fds()
    r = Reader(three[0])
    r.__enter__()
    ref = weakref.ref(r)
    gen = iter(r)
    del r
    gc.collect()
    assert ref() is not None
    assert tags(gen) == [10, 11, 12]
    # Finishing releases the reader at once, which closes its file.
    gc.collect()
    assert ref() is None
    assert open_fds() == fds
    del gen


@pytest.mark.parametrize("suspend", [False, True])
def test_reference_cycle_is_collected(three, suspend):
    fds = open_fds()
    r = Reader(three[0])
    r.__enter__()
    r.gen = iter(r)
    if suspend:
        next(r.gen)
    ref = weakref.ref(r)
    del r
    gc.collect()
    assert ref() is None
    assert open_fds() == fds


@pytest.mark.parametrize("how", ["next", "send", "throw", "close"])
def test_already_executing(three, monkeypatch, how):
    seen = []

    def zeros(*args, **kw):
        seen.append(gen.gi_running)
        with pytest.raises(ValueError) as info:
            if how == "next":
                next(gen)
            elif how == "send":
                gen.send(None)
            elif how == "throw":
                gen.throw(KeyError)
            else:
                gen.close()
        seen.append(str(info.value))
        return np.zeros(*args, **kw)

    monkeypatch.setattr(lmafmt, "zeros", zeros)
    with LmaReader(three[0]) as r:
        gen = iter(r)
        assert tags(gen) == [10, 11, 12]
    assert seen == [True, "generator already executing"] * 3
    assert gen.gi_running is False



def test_many_generators_each_follow_their_reader(make_lma):
    # Iteration records are recycled; a recycled one must carry nothing over.
    readers = []
    for n in range(12):
        evs = [Event(100 * n + k, [[]]) for k in range(3)]
        r = LmaReader(make_lma([0], evs, nsamples=1))
        r.__enter__()
        readers.append(r)
    try:
        for rnd in range(3):
            gens = [iter(r) for r in readers]
            order = list(range(12))[::-1 if rnd % 2 else 1]
            for n in order:
                assert next(gens[n])["tag"] == 100 * n
            for n in order[::2]:
                assert tags(gens[n]) == [100 * n + 1, 100 * n + 2]
            del gens
    finally:
        for r in readers:
            r.__exit__(None, None, None)


class Model:
    """The reader's one stream and its generators, as iteration is
    specified, over the reference decoder."""

    def __init__(self, data):
        self.data = data
        self.header = reference.read_header(data)
        self.cur = None
        self.opens = 0  # a generator walks the stream it started on only
        self.gens = []
        self.started_on = {}

    def step(self, n, value=None):
        gen = self.gens[n]
        if gen == "finished":
            raise StopIteration
        if gen == "new" and value is not None:
            raise TypeError(
                "can't send non-None value to a just-started generator")
        self.gens[n] = "finished"
        if self.cur is None or self.started_on.get(n,
                                                   self.opens) != self.opens:
            raise OSError(CLOSED)
        if gen == "new":
            self.started_on[n] = self.opens
            self.cur.pos = self.header.pos_begin
        if self.cur.pos >= len(self.data):
            raise StopIteration
        event = reference.decode_event(self.cur, self.header)
        self.gens[n] = "suspended"
        return event


def outcome(call):
    try:
        value = call()
    except StopIteration:
        return "stop"
    except (OSError, IndexError, TypeError, KeyError) as exc:
        return type(exc), exc.args
    except ValueError:
        return ValueError
    if isinstance(value, dict):
        return [(k, v if k == "tag" else v.tobytes())
                for k, v in value.items()]
    return value


@pytest.mark.parametrize("seed", range(10))
def test_protocol_against_model(make_lma, seed):
    """Random interleavings of generator calls and closing and reopening
    the reader behave as the one shared stream dictates."""
    rnd = random.Random(seed)
    evs = [Event(n, [[Pulse(rnd.randint(-6, 5), [n, -n])], []])
           for n in range(8)]
    name = make_lma({0: Channel(gain=0.5), 2: Channel(baseline=3)}, evs,
                    nsamples=6, tail=rnd.choice([b"", b"\x01\x02"]))
    with open(name, "rb") as f:
        model = Model(f.read())
    r, gens = LmaReader(name), []
    for _ in range(100):
        op = rnd.choice(["iter", "next", "next", "next", "send", "throw",
                         "close", "exit", "enter", "enter"])
        n = rnd.randrange(len(gens)) if gens else None
        if op == "iter" and len(gens) < 3:
            gens.append(iter(r))
            model.gens.append("new")
        elif op in ("next", "send") and gens:
            value = rnd.choice([None, 1]) if op == "send" else None
            got = outcome(lambda: gens[n].send(value))
            assert got == outcome(lambda: model.step(n, value)), op
        elif op == "throw" and gens:
            assert outcome(lambda: gens[n].throw(KeyError("k"))) == (
                KeyError, ("k",))
            model.gens[n] = "finished"
        elif op == "close" and gens:
            assert gens[n].close() is None
            model.gens[n] = "finished"
        elif op == "exit":
            r.__exit__(None, None, None)
            model.cur = None
        elif op == "enter" and model.cur is None:
            r.__enter__()
            model.cur = reference.Cursor(model.data, 0)
            model.opens += 1
        if model.cur is not None:
            assert r.pos_cur == model.cur.pos
    r.__exit__(None, None, None)
