import os

import kelvane
from test_cli import CHANNELS, EVENTS, HEADER, run


def blocks(out):
    return out.split("\n\n")


def test_info_on_several_files_adds_a_total(capsys, make_lma):
    sample = make_lma(CHANNELS, EVENTS, **HEADER)
    damaged = make_lma(CHANNELS, EVENTS[:2] + [b"\x01"], **HEADER)
    status, out, err = run(capsys, "info", sample, damaged)
    assert status == 1
    with kelvane.LmaFile(damaged) as f:
        assert err == f"lma: error: {damaged}: {f.damage}\n"
    first, second, total = blocks(out)
    alone = run(capsys, "info", sample)[1]
    assert first + "\n" == alone
    assert second.startswith(f"file             {damaged}\n")
    size = os.path.getsize(sample) + os.path.getsize(damaged)
    assert total == f"total            2 files, 5 events, {size} bytes, " \
                    f"1 damaged\n"


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
