"""Writes a small LMA file with the project's writer into a temporary
directory, then reads it back: the header values first, then the first
events. Given a file name, reads that file instead."""

import os
import sys
import tempfile

import numpy as np

from kelvane.lmafmt import LmaReader
from kelvane.writer import Channel, Event, Pulse, write_lma


def make_sample(path):
    rng = np.random.default_rng(7)
    channels = {0: Channel(fullscale=1000, gain=0.5, baseline=10),
                2: Channel(fullscale=1000, offset=-3, gain=0.25, baseline=0)}
    events = []
    for tag in range(5):
        sections = []
        for _ in channels:
            first = int(rng.integers(0, 12))
            samples = rng.integers(-50, 50, size=4).tolist()
            sections.append([Pulse(first, samples)])
        events.append(Event(tag, sections))
    write_lma(path, channels, events, nsamples=16, sample_interval=4e-9)


def main(path=None):
    if path is not None:
        show(path)
        return
    with tempfile.TemporaryDirectory() as tmp:   # gone again at the end
        path = os.path.join(tmp, "sample.lma")
        make_sample(path)
        show(path)


def show(path):
    reader = LmaReader(path)
    print(reader)
    print("channels in use:", reader.channels)
    print("samples per trace:", reader.nsamples,
          "every", reader.sample_interval, "s")
    for ch, info in zip(reader.channels, reader.channel_info):
        print(f"  channel {ch}: {info}")
    np.set_printoptions(precision=2, linewidth=100)
    with reader as r:
        for n, event in enumerate(r):
            print("event", event["tag"])
            for key, trace in event.items():
                if key != "tag":
                    print(f"  {key}: {trace}")
            if n == 2:
                break


if __name__ == "__main__":
    main(*sys.argv[1:2])
