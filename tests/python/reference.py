"""A slow, plain decoder of LMA files to compare the extension against.

It reads the whole file into memory and follows the format literally with
struct and NumPy, so its traces are what the calibration rule gives bit for
bit. Only consistent headers are understood (no truncated header).
"""

import struct

import numpy as np


def parse_header(data):
    """Returns (pos_begin, nsamples, channels, calibrations) where each
    calibration is a (gain, baseline) pair."""
    size, nchan = struct.unpack_from("<ih", data, 0)
    (nsamples,) = struct.unpack_from("<i", data, 16)
    (mask,) = struct.unpack_from("<I", data, 40)
    channels = [i for i in range(max(nchan, 0)) if mask >> (i % 32) & 1]
    calib = []
    for j in range(len(channels)):
        gain, baseline = struct.unpack_from("<dh", data, 50 + 24 * j + 4)
        calib.append((gain, baseline))
    return size + 4, nsamples, channels, calib


class Cursor:
    def __init__(self, data, pos):
        self.data, self.pos = data, pos

    def items(self, fmt, count):
        """Reads up to `count` items of struct format `fmt` as fread would:
        only whole items, the position advancing over the bytes consumed."""
        size = struct.calcsize("<" + fmt)
        avail = max(len(self.data) - self.pos, 0)
        got = min(count, avail // size)
        values = (struct.unpack_from(f"<{got}{fmt}", self.data, self.pos)
                  if got else ())
        # fread consumes a trailing partial item too.
        self.pos += min(count * size, avail)
        return got, values


def _fail(got):
    return OSError(f"Fail to read a block: {got}!")


def decode_event(cur, nsamples, channels, calib):
    """Decodes the record at the cursor; raises what the reader raises."""
    arr = np.zeros((len(channels), nsamples), dtype="float64")
    got, head = cur.items("i", 1)
    if got != 1:
        raise _fail(got)
    tag = head[0]
    cur.pos += 8
    for i, (gain, baseline) in enumerate(calib):
        got, count = cur.items("h", 1)
        if got != 1:
            raise _fail(got)
        for _ in range(count[0]):
            got, info = cur.items("i", 2)
            if got != 2:
                raise _fail(got)
            first, length = info
            # The checks np.empty(length) and the bounds test would make,
            # without allocating for a length the file cannot hold.
            if length < 0:
                raise ValueError("negative dimensions are not allowed")
            if length == 0:
                raise IndexError("Out of bounds on buffer access (axis 0)")
            got, samples = cur.items("h", length)
            if got != length:
                raise _fail(got)
            dump = np.array(samples, dtype="int16")
            with np.errstate(all="ignore"):
                calibrated = gain * (dump.astype("float64") - baseline)
            arr[i, first:first + length] = calibrated
    event = {"tag": tag}
    event.update((f"channel{c}", arr[i]) for i, c in enumerate(channels))
    return event


def decode_file(data):
    """Returns (events, error): the events an iteration yields and the
    exception that ends it, or None when it ends at the end of the file."""
    pos_begin, nsamples, channels, calib = parse_header(data)
    cur = Cursor(data, pos_begin)
    events = []
    while cur.pos < len(data):
        try:
            events.append(decode_event(cur, nsamples, channels, calib))
        except (OSError, IndexError, ValueError) as exc:
            return events, exc
    return events, None


def same_bits(a, b):
    """True when two float64 arrays hold the same bits (so -0.0 != 0.0),
    where any NaN matches any NaN."""
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    nan = np.isnan(a)
    return bool(np.array_equal(nan, np.isnan(b))
                and np.array_equal(a.view(np.int64)[~nan],
                                   b.view(np.int64)[~nan]))
