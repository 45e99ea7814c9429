"""A slow, plain decoder of LMA files to compare the extension against.

It reads the whole file into memory and follows the format literally with
struct and NumPy, making the reads the reader makes: a read counts only
whole items and moves the position over every byte it consumed, a seek
past the end succeeds, and NumPy does the arithmetic and the slice
assignment. So its traces are what the calibration rule gives bit for bit,
its exceptions are the reader's, and the position after a failed read is
the stream's. Given a list, it records the offset and struct format of
every field it reads, so that damage can be aimed at fields.
"""

import struct
from dataclasses import dataclass, field

import numpy as np

# The used-channel mask has 32 bits; channels from 32 up are never in use.
MASK_BITS = 32
GENERAL_SIZE = 50  # bytes before the first channel block
BLOCK_SIZE = 24


def short_read(got):
    return OSError(f"Fail to read a block: {got}!")


class Cursor:
    """A read position in `data`, recording fields into `fields`."""

    def __init__(self, data, pos=0, fields=None):
        self.data, self.pos, self.fields = data, pos, fields

    def items(self, fmt, count, block=False):
        """Reads up to `count` items of struct format `fmt` as fread would;
        returns (items read, values). Recorded one field per item, or as
        one field with `block`."""
        size = struct.calcsize("<" + fmt)
        avail = max(len(self.data) - self.pos, 0)
        got = min(count, avail // size)
        values = (struct.unpack_from(f"<{got}{fmt}", self.data, self.pos)
                  if got else ())
        if self.fields is not None and got == count:
            if block:
                self.fields.append((self.pos, f"<{count}{fmt}"))
            else:
                self.fields.extend((self.pos + k * size, "<" + fmt)
                                   for k in range(count))
        self.pos += min(count * size, avail)
        return got, values

    def read(self, fmt):
        """One whole field, or the reader's short-read OSError."""
        got, values = self.items(fmt, 1)
        if got != 1:
            raise short_read(got)
        return values[0]


@dataclass
class Header:
    """What the reader holds after parsing a header. A parse cut short
    keeps what was read before, with `failure` the exception."""
    pos_begin: int = 0
    sample_interval: float = 0.0
    nsamples: int = 0
    channels: list = field(default_factory=list)
    channel_info: list = field(default_factory=list)
    pos_end: int = 0
    failure: Exception = None

    @property
    def nchannels(self):
        return len(self.channels)


def read_header(data, fields=None):
    h = Header()
    c = Cursor(data, 0, fields)
    try:
        size = c.read("i")
        # The offset is formed in 32 bits, as the reader forms it.
        h.pos_begin = (size + 4 + 2**31) % 2**32 - 2**31
        num_channels = c.read("h")
        c.pos += 2
        h.sample_interval = c.read("d")
        h.nsamples = c.read("i")
        c.pos += 20
        mask = c.read("I")
        h.channels = [i for i in range(min(num_channels, MASK_BITS))
                      if mask >> i & 1]
        h.channel_info = [dict(fullscale=0, offset=0, baseline=0, gain=0.0)
                          for _ in h.channels]
        c.pos = GENERAL_SIZE
        for info in h.channel_info:
            info["fullscale"] = c.read("h")
            info["offset"] = c.read("h")
            info["gain"] = c.read("d")
            info["baseline"] = c.read("h")
            c.pos += BLOCK_SIZE - 14
        h.pos_end = len(data)
    except OSError as exc:
        h.failure = exc
    return h


def decode_event(cur, h):
    """Decodes the record at the cursor; raises what the reader raises."""
    arr = np.zeros((h.nchannels, h.nsamples), dtype="float64")
    tag = cur.read("i")
    cur.pos += 8
    for i, info in enumerate(h.channel_info):
        for _ in range(cur.read("h")):
            got, pulse_info = cur.items("i", 2)
            if got != 2:
                raise short_read(got)
            first, length = pulse_info
            # The checks np.empty(length) and the bounds test would make,
            # without allocating for a length the file cannot hold.
            if length < 0:
                raise ValueError("negative dimensions are not allowed")
            if length == 0:
                raise IndexError("Out of bounds on buffer access (axis 0)")
            got, samples = cur.items("h", length, block=True)
            if got != length:
                raise short_read(got)
            raw = np.array(samples, dtype="int16")
            arr[i, first:first + length] = info["gain"] * (
                raw.astype("float64") - info["baseline"])
    event = {"tag": tag}
    event.update((f"channel{c}", arr[i]) for i, c in enumerate(h.channels))
    return event


def decode_file(data, fields=None):
    """Returns (events, error): the events one pass over an open reader
    yields and the exception that ends it, or None when it ends at the end
    of the file."""
    h = read_header(data, fields)
    if h.pos_begin < 0:
        return [], OSError("Fail to seek a position: -1!")
    cur = Cursor(data, h.pos_begin, fields)
    events = []
    with np.errstate(all="ignore"):
        while cur.pos < len(data):
            try:
                events.append(decode_event(cur, h))
            except (OSError, IndexError, ValueError, MemoryError) as exc:
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


# --- per-event quantities --------------------------------------------------


def trace_features(x, written, npulses, window=None, threshold=None,
                   fraction=0.5, polarity=1):
    """The quantities of one dense trace `x`, literally by their
    definitions: `written` marks the samples some pulse wrote, `npulses`
    is the count of pulses stored for it. Returns name -> Python value."""
    a, b = (0, len(x)) if window is None else window
    s = x[a:b]
    y = polarity * s
    out = {"pulses": npulses, "covered": int(np.count_nonzero(written[a:b])),
           "sum": exact_sum(s)}
    if not len(s):
        out.update(maximum=np.nan, minimum=np.nan, argmax=-1, argmin=-1,
                   crossing=np.nan, cfd=np.nan)
        return out
    out.update(maximum=float(s.max()), minimum=float(s.min()),
               argmax=a + int(np.argmax(s)), argmin=a + int(np.argmin(s)))
    if threshold is not None:
        out["crossing"] = np.nan
        for i in range(len(y)):
            if y[i] >= threshold:
                out["crossing"] = float(a) if i == 0 else (
                    float(a + i - 1)
                    + (threshold - y[i - 1]) / (y[i] - y[i - 1]))
                break
    top, k = y.max(), int(np.argmax(y))
    if top <= 0:
        out["cfd"] = np.nan
    else:
        level = fraction * top
        out["cfd"] = float(a)
        for j in range(k - 1, -1, -1):
            if y[j] < level:
                out["cfd"] = float(a + j) + (level - y[j]) / (y[j + 1] - y[j])
                break
    return out


def exact_sum(s):
    """np.sum(s), but where infinite samples have one sign the sum is that
    infinity, whatever partial sums of the finite ones overflow to."""
    infinite = s[np.isinf(s)]
    if len(infinite) and not np.isnan(s).any() and \
            (np.sign(infinite) == np.sign(infinite[0])).all():
        return float(infinite[0])
    return float(np.sum(s))


def written_samples(nsamples, pulses):
    """Which samples of a row the (first, length) pulses write, by the
    slice rules of decoding."""
    mask = np.zeros(nsamples, bool)
    for first, length in pulses:
        mask[first:first + length] = True
    return mask
