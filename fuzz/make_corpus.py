"""Writes the fuzzers' seed corpora: small LMA files, sound and broken, made
with the project's writer.  Usage: make_corpus.py DIRECTORY

    make_corpus.py --sidecars LMA_SEEDS DIRECTORY

writes fuzz_sidecar's seeds instead: each LMA seed with the sidecar the
installed kelvane writes for it, as that target cuts its input (a mode
byte, the sidecar's length, the sidecar, the file)."""

import os
import struct
import sys
import tempfile

if sys.argv[1:2] != ["--sidecars"]:
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "src"))

from kelvane.writer import (Channel, Event, Pulse, Section,  # noqa: E402
                            write_lma)


def seeds():
    cal = {0: Channel(gain=0.5, baseline=10), 2: Channel(gain=2.0),
           3: Channel(gain=-1.0, baseline=-3)}
    three = [Event(1, [[Pulse(3, [10, 12, -6])],
                       [Pulse(0, [1, 1, 1, 1]), Pulse(-6, [5, 5])],
                       Section(count=-2)]),
             Event(2, [[], [Pulse(7, [9])], [Pulse(0, list(range(8)))]])]
    yield "three_channels", dict(channels=cal, events=three, nsamples=8)
    yield "no_channels", dict(channels=[], events=[Event(5), Event(6)],
                              nsamples=4)
    yield "header_only", dict(channels=[0, 1], nsamples=16)
    yield "edges", dict(channels=[1], nsamples=10, events=[
        Event(1, [[Pulse(8, [1, 2])]]),       # one past the row
        Event(2, [[Pulse(10, [4])]]),         # wholly past, broadcast
        Event(3, [[Pulse(-5, [1, 2, 3])]]),   # from the end
        Event(4, [[Pulse(0, [])]])])          # empty pulse
    yield "lying_lengths", dict(channels=[0], nsamples=64, events=[
        Event(1, [[Pulse(0, [1, 2, 3], length=2**31 - 1)]]),
        Event(2, [[Pulse(0, [1], length=-4)]])])
    # Channels 32 to 39 have no mask bit of their own.
    yield "wide_mask", dict(channels=list(range(32)), num_channels=40,
                            nsamples=4,
                            events=[Event(1, [[Pulse(0, [1])]] * 32)])
    yield "odd_header", dict(channels=[0], header_size=2**31 - 1,
                             nsamples=-1, events=[Event(1, [[]])])
    fifty = [Event(1, [[Pulse(0, list(range(50)))]])]
    yield "cut_samples", dict(channels=[0], nsamples=100, events=fifty)


def sidecar_seeds(seeds, out):
    import warnings

    from kelvane import LmaFile
    os.makedirs(out, exist_ok=True)
    for name in sorted(os.listdir(seeds)):
        with open(os.path.join(seeds, name), "rb") as f:
            data = f.read()
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, name)
            with open(path, "wb") as f:
                f.write(data)
            try:
                with warnings.catch_warnings(), LmaFile(path) as f:
                    warnings.simplefilter("ignore")
                    f.save_index()
            except OSError:
                continue  # a header no file can have: no sidecar
            with open(path + ".lmaidx", "rb") as f:
                index = f.read()
        for mode in (0, 1):
            with open(os.path.join(out, f"{name}.{mode}"), "wb") as f:
                f.write(bytes([mode]) + struct.pack("<I", len(index)) +
                        index + data)
    return 0


def main(out):
    os.makedirs(out, exist_ok=True)
    for name, kw in seeds():
        path = os.path.join(out, name + ".lma")
        channels = kw.pop("channels")
        events = kw.pop("events", ())
        size = write_lma(path, channels, events, **kw)
        if name == "cut_samples":
            os.truncate(path, size - 26)  # 37 of the 50 samples remain
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--sidecars"]:
        sys.exit(sidecar_seeds(*sys.argv[2:]))
    sys.exit(main(*sys.argv[1:]))
