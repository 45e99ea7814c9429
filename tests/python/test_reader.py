"""Construction, the open and closed states, and destruction of a reader."""

import ctypes
import os
import pathlib
import sys
import traceback

import pytest

import kelvane.lmafmt as lmafmt
from conftest import open_fds
from kelvane.lmafmt import LmaReader
from kelvane.writer import Channel, Event, Pulse

DEALLOC = "kelvane.lmafmt.LmaReader.__dealloc__"
CLOSED = ("File is closed!",)
CLOSE_FAILED = ("Fail to close a file: -1!",)


@pytest.fixture
def unraisable(monkeypatch):
    """Collects the reports that reach sys.unraisablehook."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


@pytest.fixture
def name(make_lma):
    ev = Event(1, [[Pulse(0, [1, 2, 3])]])
    return make_lma({0: Channel()}, [ev, ev], nsamples=4)


def fds_on(path):
    """The descriptors of this process that are open on `path`."""
    real = os.path.realpath(path)
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == real:
                found.append(int(fd))
        except OSError:
            pass
    return found


def assert_closed(r):
    with pytest.raises(OSError) as ei:
        r.pos_cur
    assert ei.value.args == CLOSED


def call_with_kwargs(func, args, kwargs):
    # Goes through PyObject_Call, so keywords that are not strings reach
    # the callee instead of being refused by the interpreter's call syntax.
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object] * 3
    return call(func, tuple(args), dict(kwargs))


NEED_ONE = "__cinit__() takes exactly 1 positional argument ({} given)"


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, NEED_ONE.format(0)),
    ((0, 0), {}, NEED_ONE.format(2)),
    ((0, 0), {"filename": 0}, NEED_ONE.format(2)),
    ((), {"other": 0}, NEED_ONE.format(0)),
    ((), {"filename": 0, "other": 0},
     "__cinit__() got an unexpected keyword argument 'other'"),
    ((0,), {"other": 0},
     "__cinit__() got an unexpected keyword argument 'other'"),
    ((0,), {"filename": 0},
     "__cinit__() got multiple values for keyword argument 'filename'"),
    ((0,), {1: 0}, "__cinit__() keywords must be strings"),
    ((), {"filename": 0, 1: 0}, "__cinit__() keywords must be strings"),
])
def test_construction_argument_binding(args, kwargs, message):
    with pytest.raises(TypeError) as ei:
        call_with_kwargs(LmaReader, args, kwargs)
    assert str(ei.value) == message


NEED_THREE = "__exit__() takes exactly 3 positional arguments ({} given)"


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, NEED_THREE.format(0)),
    ((1, 2), {}, NEED_THREE.format(2)),
    ((1, 2, 3, 4), {}, NEED_THREE.format(4)),
    ((1, 2, 3, 4), {"exc_tb": 3}, NEED_THREE.format(4)),
    ((), {"exc_val": 2, "exc_tb": 3}, NEED_THREE.format(0)),
    ((1,), {"exc_tb": 3}, NEED_THREE.format(1)),
    ((), {"exc_type": 1, "exc_tb": 3}, NEED_THREE.format(1)),
    ((1, 2), {"exc_type": 1}, NEED_THREE.format(2)),
    ((1, 2), {"exc_tb": 3, "other": 4},
     "__exit__() got an unexpected keyword argument 'other'"),
    ((1, 2, 3), {"exc_tb": 3},
     "__exit__() got multiple values for keyword argument 'exc_tb'"),
    ((1, 2, 3), {"other": 4},
     "__exit__() got an unexpected keyword argument 'other'"),
    ((1, 2, 3), {5: 4}, "__exit__() keywords must be strings"),
])
def test_exit_argument_binding(name, args, kwargs, message):
    r = LmaReader(name)
    with pytest.raises(TypeError) as ei:
        call_with_kwargs(r.__exit__, args, kwargs)
    assert str(ei.value) == message


@pytest.mark.parametrize("args, kwargs", [
    ((None, None, None), {}),
    ((1, 2), {"exc_tb": 3}),
    ((), {"exc_tb": 3, "exc_type": 1, "exc_val": 2}),
])
def test_exit_binds_by_position_or_keyword(name, args, kwargs):
    r = LmaReader(name)
    assert r.__enter__() is r
    assert r.__exit__(*args, **kwargs) is None
    assert_closed(r)


def test_enter_takes_no_arguments(name):
    with pytest.raises(TypeError, match="takes no arguments"):
        LmaReader(name).__enter__(1)


class Text(str):
    pass


@pytest.mark.parametrize("value, type_name", [
    (b"x.lma", "bytes"),
    (pathlib.PurePosixPath("x.lma"), "PurePosixPath"),
    (Text("x.lma"), "Text"),
    (3, "int"),
])
def test_filename_must_be_exactly_str(value, type_name):
    with pytest.raises(TypeError) as ei:
        LmaReader(value)
    assert str(ei.value) == ("Argument 'filename' has incorrect type "
                             f"(expected str, got {type_name})")


def test_keyword_and_positional_construction_agree(name):
    a, b = LmaReader(name), LmaReader(filename=name)
    assert type(a) is type(b) is LmaReader
    assert [(r.filename, r.pos_end, r.channel_info) for r in (a, b)] == \
        [(name, os.path.getsize(name), [dict(fullscale=0, offset=0,
                                             baseline=0, gain=1.0)])] * 2


def encode_error(value):
    try:
        str.encode(value)
    except Exception as e:
        return type(e), e.args
    raise AssertionError("expected the encoding to fail")


@pytest.mark.parametrize("value", [None, "bad\udc80.lma"])
def test_unencodable_name_fails_as_str_encode(value):
    kind, args = encode_error(value)
    with pytest.raises(kind) as ei:
        LmaReader(value)
    assert type(ei.value) is kind and ei.value.args == args


def test_name_with_nul_is_refused(name):
    # The C open would see only the part before the NUL: a different file.
    with pytest.raises(ValueError):
        LmaReader(name + "\0ignored")


def missing(tmp_path):
    return str(tmp_path / "missing.lma")


def under_a_file(tmp_path):
    (tmp_path / "plain").write_bytes(b"")
    return str(tmp_path / "plain" / "x.lma")


def non_ascii(tmp_path):
    return str(tmp_path / "d\u00e9j\u00e0 \u6ce2\U0001F600.lma")


def unreadable(tmp_path):
    if os.geteuid() == 0:
        pytest.skip("root reads files without read permission")
    path = tmp_path / "locked.lma"
    path.write_bytes(bytes(74))
    path.chmod(0)
    return str(path)


@pytest.mark.parametrize("where", [missing, under_a_file, non_ascii,
                                   unreadable])
def test_unopenable_file(tmp_path, where):
    path = where(tmp_path)
    before = open_fds()
    with pytest.raises(FileNotFoundError) as ei:
        LmaReader(path)
    e = ei.value
    assert type(e) is FileNotFoundError
    assert e.args == (f"No such a file: {path}!",)
    assert (e.errno, e.filename) == (None, None)
    assert open_fds() == before


def test_file_not_found_class_is_looked_up_in_module(tmp_path, name,
                                                     monkeypatch):
    class Custom(Exception):
        pass

    r = LmaReader(name)
    os.remove(name)
    monkeypatch.setattr(lmafmt, "FileNotFoundError", Custom, raising=False)
    with pytest.raises(Custom):
        LmaReader(missing(tmp_path))
    with pytest.raises(Custom):
        r.__enter__()


def test_descriptors_follow_enter_and_exit(name):
    before = open_fds()
    r = LmaReader(name)
    assert open_fds() == before and fds_on(name) == []
    with r as bound:
        assert bound is r
        assert len(fds_on(name)) == 1
        assert len(open_fds()) == len(before) + 1
    assert open_fds() == before
    with r:
        assert len(fds_on(name)) == 1
    assert open_fds() == before


def test_enter_while_open_reopens_at_start(name):
    before = open_fds()
    r = LmaReader(name)
    with r:
        next(iter(r))
        assert r.pos_cur > r.pos_begin
        assert r.__enter__() is r
        assert r.pos_cur == 0
        assert len(fds_on(name)) == 1
        assert len(open_fds()) == len(before) + 1
    assert open_fds() == before


def test_exception_in_block_propagates_with_file_closed(name):
    before = open_fds()
    error = KeyError("inside")
    with pytest.raises(KeyError) as ei:
        with LmaReader(name):
            raise error
    assert ei.value is error
    assert open_fds() == before


def test_exit_on_closed_reader_does_nothing(name):
    r = LmaReader(name)
    for _ in range(2):
        assert r.__exit__(None, None, None) is None
        assert_closed(r)


def test_enter_after_file_removed(name):
    r = LmaReader(name)
    os.remove(name)
    with pytest.raises(FileNotFoundError) as ei:
        r.__enter__()
    assert ei.value.args == (f"No such a file: {name.encode()!r}!",)
    assert_closed(r)


def test_enter_after_non_ascii_file_removed(make_lma):
    name = make_lma(name="\u00e9t\u00e9.lma")
    r = LmaReader(name)
    os.remove(name)
    with pytest.raises(FileNotFoundError) as ei:
        r.__enter__()
    assert ei.value.args == (f"No such a file: {name.encode()!r}!",)


def test_header_is_not_read_again(name, make_lma):
    r = LmaReader(name)
    before = (r.channels, r.nsamples, r.pos_begin, r.pos_end)
    make_lma({0: Channel(), 5: Channel()}, nsamples=9,
             name=os.path.basename(name))
    with r:
        assert (r.channels, r.nsamples, r.pos_begin, r.pos_end) == before
        assert r.pos_cur == 0


def close_underneath(r, name):
    # Closing the descriptor behind the stream's back makes fclose fail.
    [fd] = fds_on(name)
    os.close(fd)


def test_failed_exit_leaves_reader_closed(name, unraisable):
    r = LmaReader(name)
    r.__enter__()
    close_underneath(r, name)
    with pytest.raises(OSError) as ei:
        r.__exit__(None, None, None)
    assert type(ei.value) is OSError and ei.value.args == CLOSE_FAILED
    assert [(f.filename, f.name) for f in traceback.extract_tb(
        ei.value.__traceback__)][-1] == ("kelvane/lmafmt",
                                         "kelvane.lmafmt.LmaReader.__exit__")
    # The stream was handed to fclose: it must never be touched again.
    assert r.__exit__(None, None, None) is None
    assert_closed(r)
    with pytest.raises(OSError) as ei:
        next(iter(r))
    assert ei.value.args == CLOSED
    with r:
        assert r.pos_cur == 0
    del r
    assert unraisable == []


def test_dealloc_closes_open_file_silently(name, unraisable, capfd):
    before = open_fds()
    r = LmaReader(name)
    r.__enter__()
    del r
    assert open_fds() == before
    assert unraisable == [] and capfd.readouterr() == ("", "")


def test_dealloc_reports_failed_close(name, unraisable, capsys):
    r = LmaReader(name)
    r.__enter__()
    close_underneath(r, name)
    del r
    [report] = unraisable
    assert report.object == DEALLOC
    assert type(report.exc_value) is OSError
    assert report.exc_value.args == CLOSE_FAILED
    assert sys.last_value is report.exc_value
    err = capsys.readouterr().err
    assert err.count("OSError: Fail to close a file: -1!") == 1


@pytest.mark.parametrize("close_fails", [False, True])
def test_dealloc_keeps_exception_in_flight(name, unraisable, close_fails):
    def opened():
        r = LmaReader(name)
        r.__enter__()
        if close_fails:
            close_underneath(r, name)
        return r

    def readers():
        yield opened()

    before = open_fds()
    # int() fails on the reader inside map, which then drops the last
    # reference with the TypeError already set.
    with pytest.raises(TypeError) as ei:
        list(map(int, readers()))
    assert str(ei.value).endswith("LmaReader'")
    assert open_fds() == before
    assert [u.object for u in unraisable] == [DEALLOC] * close_fails


def test_subclass_construction(name):
    class Plain(LmaReader):
        pass

    class Extra(LmaReader):
        def __init__(self, filename, extra=None):
            pass

    assert type(Plain(filename=name)) is Plain
    assert Extra(name).filename == name
    # Construction sees the subclass's arguments unchanged.
    with pytest.raises(TypeError, match=r"unexpected keyword .*'extra'"):
        Extra(name, extra=1)


def test_subclass_finaliser_runs_before_close(name):
    seen = []

    class Finalised(LmaReader):
        def __del__(self):
            seen.append(self.pos_cur)

    before = open_fds()
    r = Finalised(name)
    r.__enter__()
    del r
    assert seen == [0]
    assert open_fds() == before
