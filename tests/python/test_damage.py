"""What a damaged record is said to be: `Damage.reason` for each kind of
damage, the same words in the warning and in `str(Damage)`, kept through
pickling, beside the reader's own error."""

import pickle
import warnings

import pytest

import kelvane
from kelvane import lmafmt
from kelvane.damage import Damage
from kelvane.writer import Channel, Event, Pulse, event_bytes, header_bytes

# Channel 3 is the third in use: reasons name channels, not rows.
CHANNELS = {0: Channel(), 1: Channel(), 3: Channel()}
NSAMPLES = 64
GOOD = Event(1, [[Pulse(0, [1, 2])], [], [Pulse(5, [3])]])
TWENTY = [Pulse(0, [1]), Pulse(5, list(range(20)))]


def cut(event, keep):
    return event_bytes(event)[:keep]


def bad(sections):
    return Event(2, sections)


# What follows one good record, and what is said about it.
BROKEN = {
    "tag": (cut(GOOD, 2), "the record is cut short 2 bytes into its tag"),
    "horpos": (cut(GOOD, 9),
               "the record is cut short 5 bytes into its horpos"),
    "pulse count": (cut(GOOD, 13), "the record is cut short 1 byte into "
                                   "channel 0's pulse count"),
    "before a pulse count": (cut(GOOD, 12 + 2 + 12),
                             "the record is cut short before channel 1's "
                             "pulse count"),
    "pulse info": (cut(bad([[], [Pulse(4, [1, 2])], []]), 12 + 2 + 2 + 3),
                   "the record is cut short 3 bytes into channel 1's "
                   "pulse 0"),
    "before a pulse": (cut(bad([[], [], [Pulse(4, [1, 2])]]), 12 + 6),
                       "the record is cut short before channel 3's pulse 0"),
    "samples": (cut(bad([[], [], TWENTY]), 12 + 6 + 10 + 25),
                "the record is cut short 25 bytes into channel 3's pulse 1, "
                "after 8 of its 20 samples"),
    "before the samples": (cut(bad([[], [], TWENTY]), 12 + 6 + 10 + 8),
                           "the record is cut short 8 bytes into channel 3's "
                           "pulse 1, before its 20 samples"),
    "negative length": (bad([[Pulse(1, [1]), Pulse(7, [], length=-5)], [],
                             []]),
                        "channel 0's pulse 1 at sample 7 has a negative "
                        "length (-5)"),
    "length 0": (bad([[], [], [Pulse(7, [])]]),
                 "channel 3's pulse 0 at sample 7 has length 0"),
    "past the end": (bad([[Pulse(62, [1, 2, 3])], [], []]),
                     "channel 0's pulse 0 of 3 samples at sample 62 runs "
                     "past the end of the 64-sample trace"),
    "wholly past the end": (bad([[], [Pulse(70, [1, 2])], []]),
                            "channel 1's pulse 0 of 2 samples at sample 70 "
                            "starts past the end of the 64-sample trace"),
    "from the end, past it": (bad([[Pulse(-2, [1, 2, 3])], [], []]),
                              "channel 0's pulse 0 of 3 samples at sample "
                              "-2, counted from the end, runs past the end "
                              "of the 64-sample trace"),
    "before the start": (bad([[Pulse(-70, [1, 2, 3])], [], []]),
                         "channel 0's pulse 0 of 3 samples at sample -70 "
                         "starts before the 64-sample trace, even counted "
                         "from its end"),
}


@pytest.fixture(params=sorted(BROKEN))
def broken(request, make_lma):
    """A file of one good record and a broken one: its name, the broken
    record's offset and the reason expected."""
    record, reason = BROKEN[request.param]
    name = make_lma(CHANNELS, [GOOD, record], nsamples=NSAMPLES)
    offset = len(header_bytes(CHANNELS, nsamples=NSAMPLES) + GOOD.pack())
    return name, offset, reason


def reader_error(name):
    with lmafmt.LmaReader(name) as r:
        try:
            list(r)
        except (OSError, IndexError, ValueError) as e:
            return e
    raise AssertionError("the reader decoded every record")


def test_reason_of_each_kind_of_damage(broken):
    name, offset, reason = broken
    with kelvane.LmaFile(name) as f:
        damage = f.damage
    assert damage.reason == reason
    assert str(damage) == (f"damaged record at byte {offset} (event 1): "
                           f"{reason}")
    # Still the three fields, the error as the reader raises it.
    found_offset, event, error = damage
    assert (found_offset, event) == (offset, 1)
    expected = reader_error(name)
    assert type(error) is type(expected) and error.args == expected.args


def test_warnings_carry_the_reason_through_pickling(broken):
    name, offset, reason = broken
    with pytest.warns(kelvane.DamagedRecordWarning) as record:
        kelvane.read_events(name)
    (w,) = record
    assert str(w.message) == (f"{name}: damaged record at byte {offset} "
                              f"(event 1): {reason}")
    # A Dask worker sends the warning back to its client pickled.
    back = pickle.loads(pickle.dumps(w.message))
    assert str(back) == str(w.message) and back.damage.reason == reason
    assert back.damage[:2] == w.message.damage[:2]
    assert back.damage.error.args == w.message.damage.error.args
    # An LmaFile reopened from its pickle takes its index along and finds
    # the reason again, without a scan.
    with kelvane.LmaFile(name) as f:
        copy = pickle.loads(pickle.dumps(f))
    with copy:
        assert copy._native.scan_count == 0
        assert copy.damage.reason == reason


def test_a_damage_made_by_hand_gives_its_error_as_reason():
    error = OSError("Fail to read a block: 0!")
    damage = Damage(12, 0, error)
    assert damage.reason == "OSError: Fail to read a block: 0!"
    assert str(damage) == ("damaged record at byte 12 (event 0): OSError: "
                           "Fail to read a block: 0!")
    given = Damage(12, 0, error, "the record is cut short")
    assert pickle.loads(pickle.dumps(given)).reason == given.reason
    assert len(given) == 3 and given == damage


def test_no_event_behind_the_damage_is_one_sentence(make_lma):
    name = make_lma(CHANNELS, [GOOD, cut(GOOD, 2)], nsamples=NSAMPLES)
    offset = len(header_bytes(CHANNELS, nsamples=NSAMPLES) + GOOD.pack())
    with warnings.catch_warnings(), pytest.raises(IndexError) as info:
        warnings.simplefilter("error")
        kelvane.read_events(name, 3)
    assert str(info.value) == (
        f"{name} has 1 event, ended by a damaged record at byte {offset} "
        f"(event 1): the record is cut short 2 bytes into its tag; "
        f"no event 3")
