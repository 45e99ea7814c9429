"""The module object, its namespace, traceback entries, and what happens at
import time. Anything that depends on import-time state runs in a fresh
interpreter: the module cannot be unloaded."""

import builtins
import collections.abc
import gc
import importlib.util
import os
import re
import shutil
import sys
import traceback
import types

import numpy
import pytest

import kelvane.lmafmt as lmafmt
from conftest import run_python
from kelvane.lmafmt import LmaReader
from kelvane.writer import Channel, Event, Pulse

OURS = "kelvane/lmafmt"


def our_entries(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__)
            if f.filename == OURS]


def test_namespace():
    ns = vars(lmafmt)
    assert set(ns) == {
        "__name__", "__doc__", "__spec__", "__loader__", "__file__",
        "__package__", "__path__", "__builtins__", "LmaReader", "zeros",
        "empty", "__all__", "__test__"}
    spec = lmafmt.__spec__
    assert ns["__loader__"] is spec.loader
    assert ns["__file__"] == spec.origin
    assert ns["__package__"] == spec.parent == "kelvane"
    assert ns["__path__"] is None and ns["__doc__"] is None
    assert ns["__builtins__"] is builtins
    assert ns["zeros"] is numpy.zeros and ns["empty"] is numpy.empty
    assert type(ns["__all__"]) is list and ns["__all__"] == ["LmaReader"]
    assert type(ns["__test__"]) is dict and ns["__test__"] == {}


def test_package_lists_only_its_own_names():
    # Imports of the package's own module (typing's names) are no API.
    import kelvane
    assert dir(kelvane) == sorted(kelvane.__all__ + ["__version__"])
    # The types users meet in results and errors are public too.
    assert {"Damage", "Calibration", "Event", "Events", "Pulses", "Features",
            "MismatchError"} <= set(kelvane.__all__)
    for name in kelvane.__all__:
        assert getattr(kelvane, name).__name__ == name


def test_star_import_binds_only_the_reader():
    ns = {}
    exec("from kelvane.lmafmt import *", ns)
    assert set(ns) == {"__builtins__", "LmaReader"}
    assert ns["LmaReader"] is LmaReader


def test_reader_type(make_lma):
    assert (LmaReader.__module__, LmaReader.__name__,
            LmaReader.__qualname__) == ("kelvane.lmafmt", "LmaReader",
                                        "LmaReader")
    # A reader holds no Python objects: no part in cycle collection.
    assert not gc.is_tracked(LmaReader(make_lma()))
    doc = LmaReader.__doc__
    assert doc.startswith("Deserializer of LMA format")
    headings = [doc.find(h) for h in ("Data format:", "1. Header part",
                                      "2. Event part", "Example:")]
    assert -1 not in headings and headings == sorted(headings)
    assert "gain*(full pulse - baseline)" in doc
    example = doc[headings[-1]:]
    assert "with LmaReader(" in example and "break" in example


def test_reimport_gives_same_module():
    proc = run_python("""
        import importlib, sys
        import kelvane.lmafmt as m
        test = m.__test__
        test["kept"] = m.kept = 1
        again = importlib.import_module("kelvane.lmafmt")
        del sys.modules["kelvane.lmafmt"]
        import kelvane.lmafmt as fresh
        print(again is m, fresh is m, importlib.reload(m) is m,
              fresh.__test__ is test, fresh.__test__, fresh.kept)
    """)
    assert proc.stdout == "True True True True {'kept': 1} 1\n"


def missing_file(tmp_path, make_lma):
    LmaReader(str(tmp_path / "missing.lma"))


def enter_removed(tmp_path, make_lma):
    r = LmaReader(make_lma())
    os.remove(r.filename)
    r.__enter__()


def exit_unbound(tmp_path, make_lma):
    LmaReader(make_lma()).__exit__()


def pos_cur_closed(tmp_path, make_lma):
    LmaReader(make_lma()).pos_cur


def repr_broken(tmp_path, make_lma):
    class Broken(LmaReader):
        filename = property(lambda self: {}["x"])

    repr(Broken(make_lma()))


@pytest.mark.parametrize("fail, entry", [
    (missing_file, "__cinit__"),
    (lambda *_: LmaReader(), "__cinit__"),
    (lambda *_: LmaReader(None), "__cinit__"),
    (lambda *_: LmaReader("bad\udc80"), "__cinit__"),
    (lambda *_: LmaReader("nul\0.lma"), "__cinit__"),
    (enter_removed, "__enter__"),
    (exit_unbound, "__exit__"),
    (pos_cur_closed, "pos_cur.__get__"),
    (repr_broken, "__repr__"),
    # A failed type test adds no entry of its own.
    (lambda *_: LmaReader(b"x"), None),
])
def test_traceback_entries(tmp_path, make_lma, fail, entry):
    with pytest.raises(Exception) as ei:
        fail(tmp_path, make_lma)
    expected = [f"kelvane.lmafmt.LmaReader.{entry}"] if entry else []
    assert our_entries(ei.value) == expected


def test_iterator_passes_as_generator(make_lma):
    it = iter(LmaReader(make_lma()))
    assert isinstance(it, collections.abc.Generator)
    assert isinstance(it, collections.abc.Iterator)
    assert type(it).__name__ == "generator"
    assert type(it) is not types.GeneratorType
    it.close()


REGISTRATION = """
    import sys, warnings, collections.abc, numpy
    reports = []
    sys.unraisablehook = reports.append
    class Refusing:
        def register(self, cls):
            raise KeyError(cls)
    {sabotage}
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        import kelvane.lmafmt
    print([w.category.__name__ for w in seen],
          [(type(u.exc_value).__name__, type(u.object).__name__)
           for u in reports])
"""


@pytest.mark.parametrize("sabotage, expected", [
    ("collections.abc.Generator = Refusing()",
     "['RuntimeWarning'] [('KeyError', 'module')]"),
    ('sys.modules["collections.abc"] = None',
     "['RuntimeWarning'] [('ModuleNotFoundError', 'NoneType')]"),
    ("del collections.abc.Generator", "[] []"),
    # The optional backport is reported and warned about the same way.
    ('sys.modules["backports_abc"] = type(sys)("backports_abc"); '
     'sys.modules["backports_abc"].Generator = Refusing()',
     "['RuntimeWarning'] [('KeyError', 'module')]"),
    # ...but even as an error, its warning never fails the import.
    ('sys.modules["backports_abc"] = type(sys)("backports_abc"); '
     'sys.modules["backports_abc"].Generator = Refusing(); '
     'warnings.simplefilter = lambda *a: warnings.filterwarnings("error")',
     "[] [('KeyError', 'module')]"),
])
def test_failed_registration_only_warns(sabotage, expected):
    proc = run_python(REGISTRATION.format(sabotage=sabotage))
    assert proc.stdout == expected + "\n"


WARNINGS_AS_ERRORS = dict(os.environ, PYTHONWARNINGS="error")


def test_import_is_silent_with_warnings_as_errors():
    run_python("import kelvane.lmafmt", env=WARNINGS_AS_ERRORS)


def test_missing_builtin_fails_import_then_import_recovers(make_lma):
    name = make_lma((0, 3))
    proc = run_python(f"""
        import builtins, sys, traceback
        import numpy, kelvane
        saved = builtins.range
        del builtins.range
        try:
            import kelvane.lmafmt
        except NameError as e:
            error = e
        builtins.range = saved
        print(repr(str(error)), "kelvane.lmafmt" in sys.modules)
        print([(f.filename, f.name)
               for f in traceback.extract_tb(error.__traceback__)
               if f.filename == "kelvane/lmafmt"])
        import kelvane.lmafmt
        print(kelvane.lmafmt.LmaReader({name!r}).channels)
    """)
    assert proc.stdout.splitlines() == [
        "\"name 'range' is not defined\" False",
        "[('kelvane/lmafmt', 'init kelvane.lmafmt')]",
        "[0, 3]"]


@pytest.fixture
def package_copy(tmp_path):
    """A copy of the installed package, extension included, that a fresh
    interpreter imports first; returns (site dir, package dir)."""
    installed = importlib.util.find_spec("kelvane").submodule_search_locations
    site = tmp_path / "site"
    shutil.copytree(installed[0], site / "kelvane",
                    ignore=shutil.ignore_patterns("__pycache__"))
    return str(site), site / "kelvane"


SHOW_BINDINGS = """
    import sys
    sys.path.insert(0, {site!r})
    try:
        import kelvane.lmafmt as m
    except Exception as e:
        print(type(e).__name__, e)
        raise SystemExit
    import numpy
    assert m.__file__.startswith({site!r})
    local = sys.modules.get("kelvane.numpy")
    for name in ("zeros", "empty"):
        value = getattr(m, name)
        print(name, "local" if value is getattr(local, name, None) else
              "numpy" if value is getattr(numpy, name) else "other")
"""


@pytest.mark.parametrize("source, expected", [
    ("from numpy import *\n"
     "def zeros(*a, **k): pass\n"
     "def empty(*a, **k): pass\n", ["zeros local", "empty local"]),
    ("raise ModuleNotFoundError('not here')\n",
     ["zeros numpy", "empty numpy"]),
    ("from numpy import zeros\n", ["ImportError cannot import name empty"]),
    ("raise ValueError('broken')\n", ["ValueError broken"]),
])
def test_package_local_numpy(package_copy, source, expected):
    site, package = package_copy
    (package / "numpy.py").write_text(source)
    proc = run_python(SHOW_BINDINGS.format(site=site))
    assert proc.stdout.splitlines() == expected


DECODE_WITH_LOCAL_NUMPY = """
    import sys
    sys.path.insert(0, {site!r})
    import kelvane.lmafmt as m
    with m.LmaReader({name!r}) as r:
        for ev in r:
            print(ev["tag"], [ev[k].tolist() for k in list(ev)[1:]])
    print(sys.modules["kelvane.numpy"].calls)
"""
LOCAL_NUMPY = """
import numpy
calls = []
def empty(n, dtype):
    calls.append("empty")
    return numpy.empty(n, dtype)
def zeros(shape, dtype):
    calls.append("zeros")
    rows, cols = shape
"""


@pytest.mark.parametrize("zeros, row", [
    ("return numpy.zeros(shape, dtype)", [2.0, 4.0, 8.0]),
    # Another shape than asked for: the rows are what it gave.
    ("return numpy.zeros((rows, cols + 1), dtype)", [2.0, 4.0, 8.0, 0.0]),
    # Storage not aligned for float64.
    ("n = rows * cols\n    return numpy.frombuffer(bytearray(8 * n + 1), "
     "dtype, n, 1).reshape(shape)", [2.0, 4.0, 8.0]),
])
def test_decoding_with_package_local_numpy(package_copy, make_lma, zeros,
                                           row):
    """Functions that are not NumPy's own are called as they stand: empty
    once per pulse, and whatever zeros gives is filled through NumPy."""
    site, package = package_copy
    (package / "numpy.py").write_text(LOCAL_NUMPY + "    " + zeros + "\n")
    name = make_lma({0: Channel(gain=2.0, baseline=1)},
                    [Event(7, [[Pulse(0, [2, 3]), Pulse(2, [5])]]),
                     Event(8, [[]])], nsamples=3)
    proc = run_python(DECODE_WITH_LOCAL_NUMPY.format(site=site, name=name))
    assert proc.stdout.splitlines() == [
        f"7 [{row}]", f"8 [{[0.0] * len(row)}]",
        "['zeros', 'empty', 'empty', 'zeros']"]


def test_reader_type_kept_from_a_failed_import_refuses(package_copy):
    """A failed import leaves the type reachable; constructing from it must
    raise rather than use state the import never finished."""
    site, package = package_copy
    (package / "numpy.py").write_text(
        "import sys\n"
        "captured = sys.modules['kelvane.lmafmt'].LmaReader\n"
        "from numpy import zeros\n")
    proc = run_python(f"""
        import sys
        sys.path.insert(0, {site!r})
        try:
            import kelvane.lmafmt
        except ImportError:
            pass
        try:
            sys.modules["kelvane.numpy"].captured("/nonexistent")
        except RuntimeError as e:
            print("RuntimeError", e)
        """)
    assert proc.stdout.startswith("RuntimeError kelvane.lmafmt is not")


# Replaces one NumPy type in a stand-in numpy, imports, then imports again
# with the real numpy back in place.
STAND_IN = """
    import sys, types, warnings, traceback
    import numpy

    def sized(size):
        slots = tuple(f"s{{i}}" for i in range((size - 16) // 8))
        return type({attr!r}, (), {{"__slots__": slots}})

    fake = types.ModuleType("numpy")
    fake.__dict__.update(vars(numpy))
    setattr(fake, {attr!r}, {value})
    sys.modules["numpy"] = fake
    with warnings.catch_warnings(record=True) as seen:
        {warnings}
        try:
            import kelvane.lmafmt
        except Exception as e:
            print(type(e).__name__, e)
            print([f.name for f in traceback.extract_tb(e.__traceback__)
                   if f.filename == "kelvane/lmafmt"])
        else:
            print("imported")
    for w in seen:
        print(w.category.__name__, w.message)
    sys.modules["numpy"] = numpy
    import kelvane.lmafmt
    print(kelvane.lmafmt.zeros is numpy.zeros)
"""
SIZE_CHANGED = (r"numpy\.{} size changed, may indicate binary incompatibility"
                r"\. Expected (\d+) from C header, got {} from PyObject")


def stand_in(attr, value, warnings='warnings.simplefilter("always")',
             env=None):
    code = STAND_IN.format(attr=attr, value=value, warnings=warnings)
    return run_python(code, env=env).stdout.splitlines()


@pytest.mark.parametrize("attr", ["dtype", "flatiter", "broadcast",
                                  "ndarray", "ufunc"])
def test_smaller_numpy_type_fails_import(attr):
    error, entries, recovered = stand_in(attr, "sized(16)")
    m = re.fullmatch("ValueError " + SIZE_CHANGED.format(attr, 16), error)
    assert m, error
    assert 16 < int(m[1]) <= getattr(numpy, attr).__basicsize__
    assert entries == "['init kelvane.lmafmt']"
    assert recovered == "True"


@pytest.mark.parametrize("attr, warns", [
    ("dtype", False), ("flatiter", True), ("broadcast", True),
    ("ndarray", False), ("ufunc", True)])
def test_larger_numpy_type(attr, warns):
    size = getattr(numpy, attr).__basicsize__ + 64
    lines = stand_in(attr, f"sized({size})")
    assert lines[0] == "imported" and lines[-1] == "True"
    assert len(lines) == 2 + warns
    if warns:
        m = re.fullmatch("RuntimeWarning " + SIZE_CHANGED.format(attr, size),
                         lines[1])
        assert m, lines[1]
        assert int(m[1]) < size


def test_larger_flatiter_fails_import_when_warnings_are_errors():
    size = numpy.flatiter.__basicsize__ + 64
    lines = stand_in("flatiter", f"sized({size})", warnings="pass",
                     env=dict(os.environ,
                              PYTHONWARNINGS="error::RuntimeWarning"))
    assert re.fullmatch("RuntimeWarning " + SIZE_CHANGED.format(
        "flatiter", size), lines[0]), lines[0]
    assert lines[1:] == ["['init kelvane.lmafmt']", "True"]


def test_import_is_silent_even_where_warnings_are_errors():
    """The module is built for the oldest NumPy supported; a newer, correct
    NumPy's larger types must not warn, even with NumPy's own filters for
    such warnings overridden."""
    proc = run_python("""
        import numpy, warnings
        warnings.simplefilter("error")
        import kelvane.lmafmt
    """)
    assert proc.stderr == ""


def test_numpy_name_that_is_not_a_type():
    lines = stand_in("ufunc", "1")
    assert lines[0] == "TypeError numpy.ufunc is not a type object"
    assert lines[-1] == "True"


def test_second_interpreter_is_refused(tmp_path, make_lma):
    out = tmp_path / "sub.txt"
    sub_code = f"""if 1:
        import sys
        sys.path[:] = {sys.path!r}
        try:
            import kelvane.lmafmt
            result = "imported"
        except ImportError as e:
            result = str(e)
        open({str(out)!r}, "w").write(result)
    """
    proc = run_python(f"""
        import kelvane.lmafmt
        try:
            from _testcapi import run_in_subinterp as run
        except ImportError:
            try:
                import _interpreters as xi
            except ImportError:
                import _xxsubinterpreters as xi
            def run(code):
                xi.run_string(xi.create(), code)
        run({sub_code!r})
        print(open({str(out)!r}).read())
        print(kelvane.lmafmt.LmaReader({make_lma()!r}).channels)
    """, check=False)
    if "No module named '_xxsubinterpreters'" in proc.stderr:
        pytest.skip("this interpreter cannot start a sub-interpreter")
    assert proc.stdout.splitlines() == [
        "Interpreter change detected - this module can only be loaded into "
        "one interpreter per process.",
        "[0]"], proc.stderr
