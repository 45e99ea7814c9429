"""The reader's read-only attributes, its representation and the refusal of
pickling and copying."""

import copy
import inspect
import os
import pickle
import sys
import types
import weakref

import pytest

from kelvane.lmafmt import LmaReader
from kelvane.writer import Channel, header_bytes

NAMES = ["filename", "pos_begin", "pos_end", "pos_cur", "nchannels",
         "nsamples", "sample_interval", "channels", "channel_info"]
NO_REDUCE = ("no default __reduce__ due to non-trivial __cinit__",)


@pytest.fixture
def reader(make_lma):
    chans = {1: Channel(fullscale=-5, offset=6, gain=2.0, baseline=-7),
             4: Channel(fullscale=3, offset=-2, gain=-0.25, baseline=9),
             6: Channel()}
    return LmaReader(make_lma(chans, nsamples=12, sample_interval=0.5,
                              tail=b"\0" * 5))


def test_values_and_exact_types(reader):
    r = reader
    values = {k: getattr(r, k) for k in NAMES if k != "pos_cur"}
    assert values == dict(
        filename=values["filename"], pos_begin=122, pos_end=127, nchannels=3,
        nsamples=12, sample_interval=0.5, channels=[1, 4, 6],
        channel_info=[
            dict(fullscale=-5, offset=6, baseline=-7, gain=2.0),
            dict(fullscale=3, offset=-2, baseline=9, gain=-0.25),
            dict(fullscale=0, offset=0, baseline=0, gain=1.0)])
    assert [type(values[k]) for k in values] == [
        str, int, int, int, int, float, list, list]
    assert {type(c) for c in r.channels} == {int}
    for info in r.channel_info:
        assert type(info) is dict
        assert list(info) == ["fullscale", "offset", "baseline", "gain"]
        assert [type(v) for v in info.values()] == [int, int, int, float]


@pytest.mark.parametrize("name", [
    "plain.lma", "d\u00e9j\u00e0 vu.lma", "\u6ce2\u5f62\U0001F600.lma",
    "quote'and{braces}.lma"])
def test_filename_and_repr_show_the_name(make_lma, name):
    path = make_lma(name=name)
    r = LmaReader(path)
    assert r.filename == path
    assert repr(r) == str(r) == f"LmaReader({path})"


@pytest.mark.parametrize("attr, change", [
    ("channels", lambda v: v.append(99)),
    ("channels", lambda v: v.clear()),
    ("channel_info", lambda v: v[0].update(gain=99.0, extra=1)),
    ("channel_info", lambda v: v.pop()),
])
def test_each_read_gives_new_objects(reader, attr, change):
    first, second = getattr(reader, attr), getattr(reader, attr)
    assert first == second and first is not second
    if attr == "channel_info":
        assert first[0] is not second[0]
    change(first)
    assert getattr(reader, attr) == second


@pytest.mark.parametrize("attr", NAMES + ["other"])
def test_attributes_are_read_only(reader, attr):
    with pytest.raises(AttributeError):
        setattr(reader, attr, 1)
    with pytest.raises(AttributeError):
        delattr(reader, attr)


def test_no_instance_dict_and_no_weakref(reader):
    assert not hasattr(reader, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(reader)


def test_attributes_published_in_order():
    published = [k for k, v in vars(LmaReader).items()
                 if inspect.isgetsetdescriptor(v)]
    assert published == NAMES


def test_pos_cur_only_while_open(reader):
    for _ in range(2):
        with pytest.raises(OSError) as ei:
            reader.pos_cur
        assert type(ei.value) is OSError
        assert ei.value.args == ("File is closed!",)
        with reader:
            # Entering does not seek: the stream stands at the start.
            assert reader.pos_cur == 0 != reader.pos_begin


def test_pos_cur_when_position_is_unknown(monkeypatch):
    # A pipe has no position: the library's -1 comes through unchanged.
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)
    rfd, wfd = os.pipe()
    try:
        os.write(wfd, header_bytes())
        with LmaReader(f"/proc/self/fd/{rfd}") as r:
            assert r.pos_cur == -1
    finally:
        os.close(rfd)
        os.close(wfd)


@pytest.mark.parametrize("shown, expected", [
    ("other", "LmaReader(other)"),
    (42, "LmaReader(42)"),
    (None, "LmaReader(None)"),
])
def test_repr_uses_filename_attribute(make_lma, shown, expected):
    class Sub(LmaReader):
        filename = property(lambda self: shown)

    r = Sub(make_lma())
    assert repr(r) == str(r) == expected


def test_repr_of_subclass_keeps_class_text(make_lma):
    class Sub(LmaReader):
        pass

    path = make_lma()
    assert repr(Sub(path)) == f"LmaReader({path})"


def test_repr_propagates_lookup_failure(make_lma):
    class Broken(LmaReader):
        @property
        def filename(self):
            raise KeyError("no name")

    with pytest.raises(KeyError, match="no name"):
        repr(Broken(make_lma()))


class Derived(LmaReader):
    pass


@pytest.mark.parametrize("refuse", [
    *(lambda r, p=p: pickle.dumps(r, protocol=p)
      for p in range(pickle.HIGHEST_PROTOCOL + 1)),
    copy.copy,
    copy.deepcopy,
    lambda r: r.__reduce__(),
    lambda r: r.__reduce_ex__(2),
    lambda r: r.__setstate__(None),
    lambda r: r.__setstate__({"filename": "x"}),
])
@pytest.mark.parametrize("cls", [LmaReader, Derived])
def test_pickling_and_copying_refused(make_lma, cls, refuse):
    r = cls(make_lma())
    with pytest.raises(TypeError) as ei:
        refuse(r)
    assert ei.value.args == NO_REDUCE


def test_pickling_methods_stand_under_their_names():
    methods = {k for k, v in vars(LmaReader).items()
               if isinstance(v, types.MethodDescriptorType)}
    assert methods == {"__enter__", "__exit__", "__reduce__", "__setstate__"}
