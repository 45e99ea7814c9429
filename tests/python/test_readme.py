"""The examples of the README and of every page of the documentation, each
page run in the order it stands in a fresh directory of its own: its Python
blocks and doctests, and the sessions (`$ lma ...`, `$ python peaks.py`)
checked against the output shown, where `...` stands for lines or text left
out. Fences of MyST directives (`{note}`, `{eval-rst}`, ...) are markup, and
fences marked `py` or `sh` are shown, not run."""

import doctest
import os
import re
import shlex
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
PAGES = [README] + sorted((ROOT / "docs").rglob("*.md"))
FENCE = re.compile(r"^(`{3,})(.*)$")


def fences(text):
    """(info, body) of each top-level fenced block of Markdown `text`; a
    fence closes at a line of at least as many backticks and nothing else,
    so a directive's fence may hold shorter ones."""
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if opening is None:
            i += 1
            continue
        mark, info = opening.group(1), opening.group(2).strip()
        j = i + 1
        while j < len(lines) and not (
                lines[j].startswith(mark) and not lines[j].strip("`")):
            j += 1
        yield info, "\n".join(lines[i + 1:j]) + "\n"
        i = j + 1


def matches(expected, got):
    """Whether the lines `got` fit `expected`: a line "..." stands for any
    number of lines, "..." within a line for any text."""
    if not expected:
        return not got
    if expected[0] == "...":
        return any(matches(expected[1:], got[i:])
                   for i in range(len(got) + 1))
    pattern = ".*".join(map(re.escape, expected[0].split("...")))
    return (bool(got) and re.fullmatch(pattern, got[0]) is not None
            and matches(expected[1:], got[1:]))


class WarningChecker(doctest.OutputChecker):
    """A shown "DamagedRecordWarning: ..." line is what the warning says
    on standard error, not on the output ("..." within it for any text)."""

    def __init__(self, caught):
        self.caught = caught

    def check_output(self, want, got, optionflags):
        if want.startswith("DamagedRecordWarning: ") and not got:
            said = [f"{w.category.__name__}: {w.message}"
                    for w in self.caught]
            return any(matches([want.rstrip("\n")], [line])
                       for line in said)
        return super().check_output(want, got, optionflags)


def run_session(text, cwd):
    """Runs each `$ COMMAND` of a session block and compares its output
    (standard output and error, in the order written)."""
    for session in re.split(r"^\$ ", text, flags=re.M)[1:]:
        command, *expected = session.rstrip("\n").split("\n")
        argv = shlex.split(command)
        if argv[0] == "lma":
            argv = [sys.executable, "-m", "kelvane"] + argv[1:]
        elif argv[0] == "python":
            argv[0] = sys.executable
        else:
            continue
        done = subprocess.run(argv, cwd=cwd, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True,
                              env=dict(os.environ, PYTHONUNBUFFERED="1"))
        got = done.stdout.rstrip("\n").split("\n")
        assert matches(expected, got), (command, done.stdout)


@pytest.mark.skipif(not README.exists(), reason="no README beside the tests")
@pytest.mark.parametrize("page", PAGES,
                         ids=[str(p.relative_to(ROOT)) for p in PAGES])
def test_the_examples_run_in_order(page, tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    pytest.importorskip("dask")
    monkeypatch.chdir(tmp_path)
    name = str(page.relative_to(ROOT))
    namespace = {"__name__": "readme"}
    parser = doctest.DocTestParser()
    for info, text in fences(page.read_text(encoding="utf-8")):
        lang = info.split()[0] if info else ""
        if lang == "python" and text.startswith("# "):
            # A script of its own, run by a later session.
            name = text.split("\n", 1)[0][2:]
            (tmp_path / name).write_text(text)
        elif lang == "python" and text.startswith(">>>"):
            test = parser.get_doctest(text, namespace, name, None, 0)
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                runner = doctest.DocTestRunner(WarningChecker(caught))
                runner.run(test, clear_globs=False)
            assert runner.failures == 0, (name, text)
            namespace.update(test.globs)  # the doctest ran on a copy
        elif lang == "python":
            exec(compile(text, name, "exec"), namespace)
        elif lang == "" and text.startswith("$ "):
            run_session(text, tmp_path)


EXAMPLE = README.parent / "examples" / "read_sample.py"


@pytest.mark.skipif(not EXAMPLE.exists(), reason="no examples beside tests")
def test_the_example_runs_and_cleans_up(tmp_path):
    # Its sample file goes into a temporary directory that must be gone
    # afterwards, not left behind at every run.
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    done = subprocess.run([sys.executable, str(EXAMPLE)], cwd=tmp_path,
                          stdout=subprocess.PIPE, text=True, check=True,
                          env=dict(os.environ, TMPDIR=str(tmp)))
    assert "channels in use: [0, 2]" in done.stdout
    assert "event 2" in done.stdout
    assert list(tmp.iterdir()) == []
    assert sorted(p.name for p in tmp_path.iterdir()) == ["tmp"]


@pytest.mark.skipif(not README.exists(), reason="no README beside the tests")
def test_the_part_the_docs_include_has_no_anchor_links():
    # docs/index.md includes the README between these markers, where a
    # link to a heading of the README would point nowhere.
    text = README.read_text(encoding="utf-8")
    start, end = "<!-- start-intro -->", "<!-- end-intro -->"
    assert text.count(start) == 1 and text.count(end) == 1
    included = text[text.index(start):text.index(end)]
    assert "](#" not in included
