"""The files a name stands for, and in what order: a glob pattern's
matches in natural order (run_2 before run_10), a list as given; the same
for every command and for open_dataset. Patterns over URLs are tested with
the servers in test_remote."""

import os

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kelvane import cli
from kelvane.names import expand, natural_key
from kelvane.writer import Event, Pulse, write_lma

from test_cli import run


@given(st.sets(st.tuples(st.sampled_from(["run_", "run_b", "a-"]),
                         st.integers(0, 10**12)), max_size=12))
def test_natural_order_compares_numbers_by_value(parts):
    names = [f"{prefix}{n}.lma" for prefix, n in parts]
    assert sorted(names, key=natural_key) == \
        [f"{prefix}{n}.lma" for prefix, n in sorted(parts)]
    # Equal in value, then as text: one order whatever the input's.
    assert sorted(["run_2.lma", "run_10.lma", "run_02.lma"],
                  key=natural_key) == ["run_02.lma", "run_2.lma",
                                       "run_10.lma"]


@pytest.fixture
def runs(tmp_path):
    """run_1, run_2 and run_10, a different number of events each."""
    for k in (10, 2, 1):
        write_lma(tmp_path / f"run_{k}.lma", (0,),
                  [Event(i, [[Pulse(0, [i])]]) for i in range(k)],
                  nsamples=4)
    return tmp_path


def files_shown(out):
    return [os.path.basename(line.split()[-1])
            for line in out.splitlines() if line.startswith("file" + " " * 13)]


def test_commands_expand_patterns_in_natural_order(capsys, runs):
    status, out, _ = run(capsys, "info", runs / "run_*.lma")
    assert status == 0
    assert files_shown(out) == ["run_1.lma", "run_2.lma", "run_10.lma"]
    assert out.splitlines()[-1].startswith("total            3 files, 13 ")
    # A list, as a shell expands one, keeps its order; a pattern in it
    # adds its matches where it stands.
    status, out, _ = run(capsys, "info", runs / "run_10.lma",
                         runs / "run_[12].lma")
    assert files_shown(out) == ["run_10.lma", "run_1.lma", "run_2.lma"]


def test_a_pattern_that_matches_nothing_is_named(capsys, runs):
    for argv in (["info"], ["show"], ["convert", runs / "o.npz"],
                 ["features", "-o", runs / "o.csv"]):
        status, _, err = run(capsys, argv[0], runs / "nope_*.lma", *argv[1:])
        assert (status, err) == (
            1, f"lma: error: no file matches {runs / 'nope_*.lma'}\n")
    assert sorted(os.listdir(runs)) == ["run_1.lma", "run_10.lma",
                                        "run_2.lma"]


def test_one_output_for_many_matches_is_refused(capsys, runs):
    status, _, err = run(capsys, "index", runs / "run_*.lma", "-o",
                         runs / "x.lmaidx")
    assert status == 2 and "3" in err
    assert not (runs / "x.lmaidx").exists()
    # A command of one event reads the matches as one run, in their order.
    status, out, _ = run(capsys, "show", runs / "run_*.lma", "--event", "-1")
    assert status == 0 and "run_10.lma" in out.splitlines()[0]


def test_a_file_named_like_a_pattern_is_itself(capsys, runs):
    os.rename(runs / "run_2.lma", runs / "run_[1].lma")
    assert expand(str(runs / "run_[1].lma")) == [str(runs / "run_[1].lma")]
    status, out, _ = run(capsys, "info", runs / "run_[1].lma")
    assert status == 0 and "events           2\n" in out


def test_open_dataset_orders_as_the_commands(runs):
    import kelvane
    with kelvane.open_dataset(str(runs / "run_*.lma")) as ds:
        assert [os.path.basename(s) for s in ds.attrs["sources"]] == \
            ["run_1.lma", "run_2.lma", "run_10.lma"]
    given = [str(runs / "run_2.lma"), str(runs / "run_1.lma")]
    with kelvane.open_dataset(given) as ds:
        assert list(ds.attrs["sources"]) == given
    with pytest.raises(FileNotFoundError, match="no file matches"):
        kelvane.open_dataset(str(runs / "nope_*.lma"))


def test_one_event_of_a_run(capsys, runs, tmp_path):
    names = [runs / f"run_{k}.lma" for k in (1, 2, 10)]
    status, out, _ = run(capsys, "show", *names, "--tag", "1", "--all")
    heads = [line for line in out.splitlines() if line.startswith("event")]
    assert status == 0 and [h.split(" (")[0] for h in heads] == \
        ["event 2", "event 4"]
    assert "run_2.lma" in heads[0] and "run_10.lma" in heads[1]
    status, out, _ = run(capsys, "show", *names, "--event", "3", "--csv")
    assert status == 0 and out.splitlines()[1].split(",")[1] == "0.0"
    status, _, err = run(capsys, "show", *names, "--tag", "42")
    assert status == 1 and "3 files have 13 events; none has tag 42" in err
    status, _, err = run(capsys, "show", *names, "--event", "13")
    assert status == 1 and "no event 13" in err
    out = tmp_path / "ones.png"
    assert run(capsys, "plot", *names, "--tag", "1", "--all", "-o", out)[0] \
        == 0 and out.stat().st_size > 0
