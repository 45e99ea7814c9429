import os

import kelvane
from kelvane import cli
from kelvane.writer import Event, Pulse
from test_cli import CHANNELS, EVENTS, HEADER, run


def blocks(out):
    return out.split("\n\n")


def test_info_on_several_files_adds_a_total(capsys, make_lma):
    sample = make_lma(CHANNELS, EVENTS, **HEADER)
    # Ends inside a record's tag; then one with a pulse of length 0.
    growing = make_lma(CHANNELS, EVENTS[:2] + [b"\x01"], **HEADER)
    damaged = make_lma(CHANNELS, [Event(7, [[Pulse(0, [])], []])], **HEADER)
    status = cli.main(["info", sample, growing, damaged])
    out, err = capsys.readouterr()
    assert status == 1
    with kelvane.LmaFile(growing) as f, kelvane.LmaFile(damaged) as g:
        assert err == (f"lma: error: {growing}: {f.damage}\n"
                       f"lma: error: {damaged}: {g.damage}\n")
    first, second, third, total = blocks(out)
    alone = run(capsys, "info", sample)[1]
    assert first + "\n" == alone
    assert second.startswith(f"file             {growing}\n")
    assert third.startswith(f"file             {damaged}\n")
    size = sum(map(os.path.getsize, [sample, growing, damaged]))
    assert total == f"total            3 files, 5 events, {size} bytes, " \
                    f"1 damaged, 1 incomplete\n"


def test_info_goes_on_past_a_file_it_cannot_read(capsys, make_lma,
                                                 tmp_path):
    a = make_lma(CHANNELS, EVENTS, **HEADER)
    b = make_lma(CHANNELS, EVENTS[:1], **HEADER)
    missing = str(tmp_path / "missing.lma")
    status, out, err = run(capsys, "info", a, missing, b)
    assert status == 1
    assert err == f"lma: error: cannot open {missing}: no such file\n"
    first, second, total = blocks(out)
    assert first.startswith(f"file             {a}\n")
    assert second.startswith(f"file             {b}\n")
    assert second.endswith("events           1\nends             cleanly")
    size = os.path.getsize(a) + os.path.getsize(b)
    assert total == f"total            2 files, 4 events, {size} bytes, " \
                    f"0 damaged, 1 unreadable\n"
