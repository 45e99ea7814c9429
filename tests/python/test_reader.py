"""Construction, the open and closed states, and destruction of a reader."""

import contextlib
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
def name(make_lma):
    ev = Event(1, [[Pulse(0, [1, 2, 3])]])
    return make_lma({0: Channel()}, [ev, ev], nsamples=4)


def fds_on(path):
    """The descriptors of this process that are open on `path`."""
    real, found = os.path.realpath(path), []
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == real:
                found.append(int(fd))
        except OSError:
            pass
    return found


def close_underneath(name):
    # Closing the descriptor behind the stream's back makes fclose fail.
    [fd] = fds_on(name)
    os.close(fd)


def assert_closed(r):
    with pytest.raises(OSError) as ei:
        r.pos_cur
    assert ei.value.args == CLOSED


def call(func, args, kwargs):
    # Through PyObject_Call, so keywords that are not strings reach the
    # callee instead of being refused by the interpreter's call syntax.
    fn = ctypes.pythonapi.PyObject_Call
    fn.restype, fn.argtypes = ctypes.py_object, [ctypes.py_object] * 3
    return fn(func, tuple(args), dict(kwargs))


NEED_ONE = "__cinit__() takes exactly 1 positional argument ({} given)"
NEED_THREE = "__exit__() takes exactly 3 positional arguments ({} given)"
CINIT_UNEXPECTED = "__cinit__() got an unexpected keyword argument 'other'"
EXIT_UNEXPECTED = "__exit__() got an unexpected keyword argument 'other'"


@pytest.mark.parametrize("method, args, kwargs, message", [
    ("__cinit__", (), {}, NEED_ONE.format(0)),
    ("__cinit__", (0, 0), {}, NEED_ONE.format(2)),
    ("__cinit__", (0, 0), {"filename": 0}, NEED_ONE.format(2)),
    ("__cinit__", (), {"other": 0}, NEED_ONE.format(0)),
    ("__cinit__", (), {"filename": 0, "other": 0}, CINIT_UNEXPECTED),
    ("__cinit__", (0,), {"other": 0}, CINIT_UNEXPECTED),
    ("__cinit__", (0,), {"filename": 0},
     "__cinit__() got multiple values for keyword argument 'filename'"),
    ("__cinit__", (0,), {1: 0}, "__cinit__() keywords must be strings"),
    ("__cinit__", (), {"filename": 0, 1: 0},
     "__cinit__() keywords must be strings"),
    ("__exit__", (), {}, NEED_THREE.format(0)),
    ("__exit__", (1, 2), {}, NEED_THREE.format(2)),
    ("__exit__", (1, 2, 3, 4), {}, NEED_THREE.format(4)),
    ("__exit__", (1, 2, 3, 4), {"exc_tb": 3}, NEED_THREE.format(4)),
    ("__exit__", (), {"exc_val": 2, "exc_tb": 3}, NEED_THREE.format(0)),
    ("__exit__", (1,), {"exc_tb": 3}, NEED_THREE.format(1)),
    ("__exit__", (), {"exc_type": 1, "exc_tb": 3}, NEED_THREE.format(1)),
    ("__exit__", (1, 2), {"exc_type": 1}, NEED_THREE.format(2)),
    ("__exit__", (1, 2), {"exc_tb": 3, "other": 4}, EXIT_UNEXPECTED),
    ("__exit__", (1, 2, 3), {"other": 4}, EXIT_UNEXPECTED),
    ("__exit__", (1, 2, 3), {"exc_tb": 3},
     "__exit__() got multiple values for keyword argument 'exc_tb'"),
    ("__exit__", (1, 2, 3), {5: 4}, "__exit__() keywords must be strings"),
    # Accepted: the values themselves are ignored.
    ("__exit__", (1, 2), {"exc_tb": 3}, None),
    ("__exit__", (), {"exc_tb": 3, "exc_type": 1, "exc_val": 2}, None),
])
def test_argument_binding(name, method, args, kwargs, message):
    func = LmaReader if method == "__cinit__" else LmaReader(name).__exit__
    if message is None:
        assert call(func, args, kwargs) is None
        return
    with pytest.raises(TypeError) as ei:
        call(func, args, kwargs)
    assert str(ei.value) == message


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
    assert (a.filename, a.pos_end, a.nsamples) == \
        (b.filename, b.pos_end, b.nsamples) == (name, 130, 4)


@pytest.mark.parametrize("value", [None, "bad\udc80.lma"])
def test_unencodable_name_fails_as_str_encode(value):
    with pytest.raises(Exception) as expected:
        str.encode(value)
    with pytest.raises(expected.type) as ei:
        LmaReader(value)
    assert type(ei.value) is expected.type
    assert ei.value.args == expected.value.args


def test_name_with_nul_is_refused(name):
    # The C open would see only the part before the NUL: a different file.
    with pytest.raises(ValueError):
        LmaReader(name + "\0ignored")


def unreadable(tmp_path):
    (tmp_path / "locked.lma").write_bytes(bytes(74))
    (tmp_path / "locked.lma").chmod(0)
    return tmp_path / "locked.lma"


@contextlib.contextmanager
def as_other_user(needed):
    # Root reads files without read permission; another user cannot.
    if not needed or os.geteuid() != 0:
        yield
        return
    os.seteuid(65534)
    try:
        yield
    finally:
        os.seteuid(0)


@pytest.mark.parametrize("where", [
    lambda tmp: tmp / "missing.lma",
    lambda tmp: tmp / "d\u00e9j\u00e0 \u6ce2\U0001F600.lma",
    # A path through a regular file: the open fails with another errno.
    lambda tmp: pathlib.Path(__file__) / "x.lma",
    unreadable,
])
def test_unopenable_file(tmp_path, where):
    path = str(where(tmp_path))
    before = open_fds()
    with pytest.raises(FileNotFoundError) as ei, as_other_user(
            where is unreadable):
        LmaReader(path)
    e = ei.value
    assert type(e) is FileNotFoundError
    assert e.args == (f"No such a file: {path}!",)
    assert (e.errno, e.filename) == (None, None)
    assert open_fds() == before


@pytest.mark.parametrize("file_name", ["plain.lma", "\u00e9t\u00e9.lma"])
def test_enter_after_file_removed(make_lma, file_name):
    name = make_lma(name=file_name)
    r = LmaReader(name)
    os.remove(name)
    with pytest.raises(FileNotFoundError) as ei:
        r.__enter__()
    assert ei.value.args == (f"No such a file: {name.encode()!r}!",)
    assert_closed(r)


def test_file_not_found_class_is_looked_up_in_module(tmp_path, name,
                                                     monkeypatch):
    class Custom(Exception):
        pass

    r = LmaReader(name)
    os.remove(name)
    monkeypatch.setattr(lmafmt, "FileNotFoundError", Custom, raising=False)
    with pytest.raises(Custom):
        LmaReader(name)
    with pytest.raises(Custom):
        r.__enter__()


def test_descriptors_follow_enter_and_exit(name):
    before = open_fds()
    r = LmaReader(name)
    assert open_fds() == before
    for _ in range(2):
        with r as bound:
            assert bound is r
            assert len(fds_on(name)) == 1
            assert len(open_fds()) == len(before) + 1
            assert r.pos_cur == 0
        assert open_fds() == before
        assert r.__exit__(None, None, None) is None
        assert_closed(r)


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


def test_header_is_not_read_again(name, make_lma):
    r = LmaReader(name)
    before = (r.channels, r.nsamples, r.pos_begin, r.pos_end)
    make_lma({0: Channel(), 5: Channel()}, nsamples=9,
             name=os.path.basename(name))
    with r:
        assert (r.channels, r.nsamples, r.pos_begin, r.pos_end) == before


def test_failed_exit_leaves_reader_closed(name, unraisable):
    r = LmaReader(name)
    r.__enter__()
    close_underneath(name)
    with pytest.raises(OSError) as ei:
        r.__exit__(None, None, None)
    assert type(ei.value) is OSError and ei.value.args == CLOSE_FAILED
    last = traceback.extract_tb(ei.value.__traceback__)[-1]
    assert (last.filename, last.name) == ("kelvane/lmafmt",
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
    close_underneath(name)
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
        r = LmaReader(name).__enter__()
        if close_fails:
            close_underneath(name)
        return r

    def readers():
        yield opened()  # the generator keeps no reference of its own

    before = open_fds()
    # int() fails on the reader inside map, which then drops the last
    # reference with the TypeError already set.
    with pytest.raises(TypeError) as ei:
        list(map(int, readers()))
    assert str(ei.value).endswith("LmaReader'")
    assert open_fds() == before
    assert [u.object for u in unraisable] == [DEALLOC] * close_fails


def test_subclass_construction_and_finaliser(name):
    seen = []

    class Sub(LmaReader):
        def __init__(self, filename, extra=None):
            pass

        def __del__(self):
            # Runs before the reader closes its file.
            try:
                seen.append(self.pos_cur)
            except OSError as e:
                seen.append(e.args)

    before = open_fds()
    r = Sub(filename=name)
    assert type(r) is Sub and r.filename == name
    r.__enter__()
    del r
    assert seen == [0] and open_fds() == before
    # Construction sees the subclass's arguments unchanged.
    with pytest.raises(TypeError, match=r"unexpected keyword .*'extra'"):
        Sub(name, extra=1)
    assert seen == [0, CLOSED]


def test_hook_closing_a_half_built_reader(make_raw):
    """The header failure report runs Python code while the reader is being
    built; closing it from there must not make construction close twice."""
    import gc

    class Sub(LmaReader):
        pass

    def hook(report):
        for obj in gc.get_objects():
            if type(obj) is Sub:
                obj.__exit__(None, None, None)

    saved = sys.unraisablehook
    sys.unraisablehook = hook
    try:
        r = Sub(make_raw(b"abc"))
    finally:
        sys.unraisablehook = saved
    assert r.pos_begin == 0 and r.channels == []


@pytest.mark.parametrize("bound, raised", [
    (lambda msg: KeyError, KeyError),          # a class: instantiated
    (lambda msg: KeyError(msg), KeyError),     # an instance: raised as is
    (lambda msg: 42, TypeError),               # nothing raisable
])
def test_rebound_file_not_found_error_raises_like_raise(monkeypatch, tmp_path,
                                                        bound, raised):
    monkeypatch.setattr(lmafmt, "FileNotFoundError", bound, raising=False)
    with pytest.raises(raised):
        LmaReader(str(tmp_path / "missing.lma"))
