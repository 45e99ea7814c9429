"""Header parsing, seen through the reader's attributes."""

import math
import os
import struct
import sys

import pytest

from conftest import open_fds, run_python
from kelvane.lmafmt import LmaReader
from kelvane.writer import Channel, header_bytes

READ_HEADER = "kelvane.lmafmt.LmaReader.__read_header"
INITIAL = dict(pos_begin=0, pos_end=0, nchannels=0, nsamples=0,
               sample_interval=0.0, channels=[], channel_info=[])
ZERO = dict(fullscale=0, offset=0, baseline=0, gain=0.0)


def fields(r):
    return {k: getattr(r, k) for k in INITIAL}


def record(c):
    return dict(fullscale=c.fullscale, offset=c.offset, baseline=c.baseline,
                gain=c.gain)


def bits(x):
    return struct.pack("<d", x)


def blocks_for(n):
    # Distinct values per block show which block went to which record.
    return [Channel(fullscale=j + 1, offset=-j, gain=j + 0.5, baseline=10 * j)
            for j in range(n)]


@pytest.mark.parametrize("num_channels, mask, used", [
    (4, 13, [0, 2, 3]),
    (2, 255, [0, 1]),
    (0, 0xFFFFFFFF, []),
    (-1, 0xFFFFFFFF, []),
    (-32768, 0xFFFFFFFF, []),
    (8, 0, []),
    (32, 0x80000001, [0, 31]),
    (32767, 0x80000000, [31]),
    # The mask has 32 bits: channels 32 and up are never in use.
    (33, 1, [0]),
    (40, 0xFFFFFFFF, list(range(32))),
])
def test_used_channels_and_blocks(make_lma, unraisable, num_channels, mask,
                                  used):
    blocks = blocks_for(len(used))
    name = make_lma(num_channels=num_channels, mask=mask, blocks=blocks)
    size = os.path.getsize(name)
    r = LmaReader(name)
    assert fields(r) == dict(
        pos_begin=size, pos_end=size, nchannels=len(used), nsamples=0,
        sample_interval=1.0, channels=used,
        channel_info=[record(b) for b in blocks])
    assert unraisable == []


def test_channel_values_sign_extended_and_exact(make_lma):
    chans = {0: Channel(fullscale=-1, offset=-32768, gain=-0.0,
                        baseline=32767, field5=-1, field6=-1, field7=-1),
             1: Channel(fullscale=32767, offset=1, gain=5e-324,
                        baseline=-32768, field5=7, field6=2**31 - 1),
             2: Channel(gain=math.inf, baseline=-1)}
    info = LmaReader(make_lma(chans)).channel_info
    assert info == [record(c) for c in chans.values()]
    assert [bits(c["gain"]) for c in info] == [bits(c.gain)
                                              for c in chans.values()]


NAN_PAYLOAD = struct.unpack("<d", bytes.fromhex("0100000000f8ff7f"))[0]


@pytest.mark.parametrize("sample_interval, nsamples", [
    (-0.0, -1),
    (5e-324, 2**31 - 1),
    (1.7976931348623157e308, -2**31),
    (NAN_PAYLOAD, 0),
    (1e-9, 1000),
])
def test_general_values_exact(make_lma, sample_interval, nsamples):
    # The skipped general fields hold values that must not leak anywhere.
    name = make_lma(sample_interval=sample_interval, nsamples=nsamples,
                    num_bytes=-1, general=(math.pi, -1, -2.5, 7,
                                           0xFFFFFFFF, -1))
    r = LmaReader(name)
    assert bits(r.sample_interval) == bits(sample_interval)
    assert r.nsamples == nsamples
    assert r.channels == [0] and r.channel_info == [record(Channel())]


@pytest.mark.parametrize("header_size, pos_begin", [
    (200, 204),
    (10, 14),
    (-4, 0),
    (2147483643, 2147483647),
    (2147483644, -2147483648),
    (2147483647, -2147483645),
    (-2147483648, -2147483644),
])
def test_pos_begin_from_header_size(make_lma, unraisable, header_size,
                                    pos_begin):
    # The field is taken as it is; a padded header is parsed all the same.
    name = make_lma(header_size=header_size, tail=bytes(300))
    r = LmaReader(name)
    assert r.pos_begin == pos_begin
    assert r.pos_end == os.path.getsize(name)
    assert r.channel_info == [record(Channel())]
    assert unraisable == []


CHANS = {0: Channel(fullscale=100, offset=-3, gain=0.5, baseline=7),
         2: Channel(fullscale=-2, offset=4, gain=1.5, baseline=-9),
         3: Channel(fullscale=8, offset=-8, gain=2.5, baseline=11)}
FULL = header_bytes(CHANS, num_channels=4, nsamples=77, sample_interval=0.25)
R0, R1, R2 = (record(c) for c in CHANS.values())
UP_TO_NSAMPLES = dict(pos_begin=122, sample_interval=0.25, nsamples=77)
UP_TO_MASK = dict(UP_TO_NSAMPLES, channels=[0, 2, 3], nchannels=3)


@pytest.mark.parametrize("size, reached", [
    (0, {}),
    (3, {}),
    (4, dict(pos_begin=122)),
    (7, dict(pos_begin=122)),
    (12, dict(pos_begin=122)),
    (16, dict(pos_begin=122, sample_interval=0.25)),
    (20, UP_TO_NSAMPLES),
    (25, UP_TO_NSAMPLES),
    (43, UP_TO_NSAMPLES),
    (44, dict(UP_TO_MASK, channel_info=[ZERO] * 3)),
    (50, dict(UP_TO_MASK, channel_info=[ZERO] * 3)),
    (52, dict(UP_TO_MASK, channel_info=[dict(ZERO, fullscale=100), ZERO,
                                        ZERO])),
    (58, dict(UP_TO_MASK, channel_info=[dict(ZERO, fullscale=100, offset=-3),
                                        ZERO, ZERO])),
    (62, dict(UP_TO_MASK, channel_info=[dict(R0, baseline=0), ZERO, ZERO])),
    (64, dict(UP_TO_MASK, channel_info=[R0, ZERO, ZERO])),
    (78, dict(UP_TO_MASK, channel_info=[R0, dict(ZERO, fullscale=-2,
                                                 offset=4), ZERO])),
    (112, dict(UP_TO_MASK, channel_info=[R0, R1, R2], pos_end=112)),
])
def test_short_header(make_raw, unraisable, capsys, size, reached):
    name = make_raw(FULL[:size])
    before = open_fds()
    r = LmaReader(name)
    assert open_fds() == before
    assert fields(r) == dict(INITIAL, **reached)
    err = capsys.readouterr().err
    if "pos_end" in reached:
        # The last block's skipped tail lies past the end, which a seek
        # allows: the parse succeeds.
        assert unraisable == [] and err == ""
        return
    [report] = unraisable
    assert report.object == READ_HEADER
    assert type(report.exc_value) is OSError
    assert report.exc_value.args == ("Fail to read a block: 0!",)
    assert sys.last_value is report.exc_value
    assert err.count("OSError: Fail to read a block: 0!") == 1


def test_failed_seek_is_reported(unraisable, capsys):
    # A pipe cannot seek, so the very first step fails.
    rfd, wfd = os.pipe()
    try:
        os.write(wfd, FULL)
        r = LmaReader(f"/proc/self/fd/{rfd}")
    finally:
        os.close(rfd)
        os.close(wfd)
    assert fields(r) == INITIAL
    [report] = unraisable
    assert report.object == READ_HEADER
    assert report.exc_value.args == ("Fail to seek a position: -1!",)
    assert "OSError: Fail to seek a position: -1!" in capsys.readouterr().err


def test_default_report_writes_twice(make_raw):
    name = make_raw(b"\x01\x02\x03")
    proc = run_python(f"""
        from kelvane.lmafmt import LmaReader
        r = LmaReader({name!r})
        print(r.pos_begin, r.nchannels)
    """)
    assert proc.stdout == "0 0\n"
    assert proc.stderr.count("Fail to read a block: 0!") == 2
    assert READ_HEADER in proc.stderr
