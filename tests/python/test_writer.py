"""The writer stores every value it is given or refuses it: a value that does
not fit its field raises ValueError naming both, where the largest one that
fits is written."""

import pytest

from kelvane.writer import Channel, Event, Pulse, Section, write_lma

I16, I32 = 1 << 15, 1 << 31


# (field, the writer's arguments for a value, a value that fits at the
# edge, one just past it)
CASES = [
    ("channel", lambda v: dict(channels={v: Channel()}), 31, 32),
    ("channel", lambda v: dict(channels=[v]), 0, -1),
    ("header_size", lambda v: dict(header_size=v), I32 - 1, I32),
    ("num_channels", lambda v: dict(num_channels=v), -I16, -I16 - 1),
    ("num_bytes", lambda v: dict(num_bytes=v), I16 - 1, I16),
    ("sample_interval", lambda v: dict(sample_interval=v), 10**308, 10**309),
    ("nsamples", lambda v: dict(nsamples=v), -I32, -I32 - 1),
    ("mask", lambda v: dict(mask=v), (1 << 32) - 1, 1 << 32),
    ("mask", lambda v: dict(mask=v), 0, -1),
    ("general[1]", lambda v: dict(general=(0.0, v, 0.0, 0, 0, 0)),
     I16 - 1, I16),
    ("general[3]", lambda v: dict(general=(0.0, 0, 0.0, v, 0, 0)),
     -I16, -I16 - 1),
    ("general[4]", lambda v: dict(general=(0.0, 0, 0.0, 0, v, 0)), 0, -1),
    ("general[5]", lambda v: dict(general=(0.0, 0, 0.0, 0, 0, v)),
     I16 - 1, I16),
    ("Channel.fullscale", lambda v: dict(channels={0: Channel(fullscale=v)}),
     I16 - 1, I16),
    ("Channel.offset", lambda v: dict(channels={0: Channel(offset=v)}),
     -I16, -I16 - 1),
    ("Channel.baseline", lambda v: dict(channels={0: Channel(baseline=v)}),
     I16 - 1, 40000),
    ("Channel.field5", lambda v: dict(channels={0: Channel(field5=v)}),
     -I16, -I16 - 1),
    ("Channel.field6", lambda v: dict(channels={0: Channel(field6=v)}),
     I32 - 1, I32),
    ("Channel.field7", lambda v: dict(channels={0: Channel(field7=v)}),
     -I32, -I32 - 1),
    ("Event.tag", lambda v: dict(events=[Event(v)]), I32 - 1, I32),
    ("Event.horpos", lambda v: dict(events=[Event(1, horpos=v)]),
     -10**308, -10**309),
    ("Section.count", lambda v: dict(events=[Event(1, [Section(count=v)])]),
     -I16, -I16 - 1),
    ("Pulse.first", lambda v: dict(events=[Event(1, [[Pulse(v, [1])]])]),
     -I32, -I32 - 1),
    ("Pulse.length",
     lambda v: dict(events=[Event(1, [[Pulse(0, [1], length=v)]])]),
     I32 - 1, I32),
    ("Pulse.samples[2]",
     lambda v: dict(events=[Event(1, [[Pulse(0, [0, 1, v])]])]),
     -I16, -I16 - 1),
]


@pytest.mark.parametrize("field, args, fits, too_wide", CASES,
                         ids=[c[0] for c in CASES])
def test_values_that_do_not_fit_are_refused(tmp_path, field, args, fits,
                                            too_wide):
    path = tmp_path / "edge.lma"
    write_lma(path, **{"channels": [0], **args(fits)})
    assert path.stat().st_size > 0
    path.unlink()
    with pytest.raises(ValueError) as caught:
        write_lma(path, **{"channels": [0], **args(too_wide)})
    assert str(caught.value).startswith(f"{field} = {too_wide} ")
    if not field.startswith(("Event", "Section", "Pulse")):
        assert not path.exists()   # a header is refused before the file
