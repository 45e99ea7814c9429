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
    # Bad bytes, though the file also ends inside them.
    "cut, past the end": (cut(bad([[Pulse(62, [1, 2, 3])], [], []]),
                              12 + 2 + 8 + 3),
                          "channel 0's pulse 0 of 3 samples at sample 62 "
                          "runs past the end of the 64-sample trace"),
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


def said(offset, reason):
    """What a damage at event 1 reads as: a file that ends inside a sound
    record may still be being written; bad bytes are damage."""
    if reason.startswith("the record is cut short"):
        return (f"ends inside event 1, which is incomplete (the file may "
                f"still be being written): {reason}, from byte {offset}")
    return f"damaged record at byte {offset} (event 1): {reason}"


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
    assert str(damage) == said(offset, reason)
    assert damage.incomplete == str(damage).startswith("ends inside")
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
    assert str(w.message) == f"{name}: {said(offset, reason)}"
    # A Dask worker sends the warning back to its client pickled.
    back = pickle.loads(pickle.dumps(w.message))
    assert str(back) == str(w.message) and back.damage.reason == reason
    assert back.damage.incomplete == w.message.damage.incomplete
    assert back.damage[:2] == w.message.damage[:2]
    assert back.damage.error.args == w.message.damage.error.args
    # An LmaFile reopened from its pickle takes its index along and finds
    # the reason again, without a scan.
    with kelvane.LmaFile(name) as f:
        copy = pickle.loads(pickle.dumps(f))
    with copy:
        assert copy._native.scan_count == 0
        assert str(copy.damage) == said(offset, reason)


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
        f"{name} has 1 event, then ends inside event 1, which is incomplete "
        f"(the file may still be being written): the record is cut short "
        f"2 bytes into its tag, from byte {offset}; no event 3")


# --- a file still being written ------------------------------------------

def test_a_file_being_written_is_incomplete_never_damaged(tmp_path):
    """Written a byte at a time while it is open: the header is incomplete
    until it is whole, then each record until it is, and `refresh` takes
    each one in as it completes."""
    head = header_bytes(CHANNELS, nsamples=NSAMPLES)
    records = [GOOD, bad([[], [], TWENTY])]
    data = head + b"".join(e.pack() for e in records)
    path = tmp_path / "growing.lma"
    with open(path, "wb", buffering=0) as writer:
        for size in range(len(head)):
            with pytest.raises(kelvane.IncompleteHeaderError) as e:
                kelvane.LmaFile(path)
            assert str(e.value) == (f"{path}: no complete header yet "
                                    f"({size} bytes)")
            writer.write(data[size:size + 1])
        ends = [len(head + GOOD.pack()), len(data)]
        with kelvane.LmaFile(path) as f:
            for size in range(len(head) + 1, len(data) + 1):
                writer.write(data[size - 1:size])
                f.refresh()
                assert len(f) == sum(end <= size for end in ends)
                if size in ends:
                    assert f.damage is None
                    continue
                assert f.damage.incomplete, (size, f.damage)
                assert str(f.damage).startswith(
                    f"ends inside event {len(f)}, which is incomplete (the "
                    f"file may still be being written): the record is cut "
                    f"short")


@pytest.mark.parametrize("fault, keep", [
    (dict(nsamples=-5), 21),                      # then cut in the gap
    (dict(sample_interval=float("nan")), 17),     # then cut in nsamples
    (dict(header_size=10), 30),                   # first event inside it
    (dict(num_channels=-2), 6)])
def test_bad_bytes_cut_short_are_a_damaged_header(make_raw, fault, keep):
    name = make_raw(header_bytes(CHANNELS, **fault)[:keep])
    with pytest.raises(kelvane.DamagedHeaderError) as e:
        kelvane.LmaFile(name)
    assert type(e.value) is kelvane.DamagedHeaderError
    assert "damaged header" in str(e.value)


def test_incomplete_header_error_pickles(make_raw):
    name = make_raw(header_bytes(CHANNELS)[:19])
    with pytest.raises(kelvane.IncompleteHeaderError) as e:
        kelvane.LmaFile(name)
    back = pickle.loads(pickle.dumps(e.value))
    assert type(back) is kelvane.IncompleteHeaderError
    assert (back.args, back.size, back.field, back.problem) == (
        e.value.args, 19, "num of samples", "is cut short")
    assert isinstance(back, kelvane.DamagedHeaderError)


@pytest.mark.parametrize("read", [
    kelvane.read_events, lambda name: list(kelvane.iterate(name, 1)),
    kelvane.summarise_file])
@pytest.mark.parametrize("record, incomplete", [
    (cut(GOOD, 13), True), (bad([[], [], [Pulse(7, [])]]), False)])
def test_readers_warn_which_it_is(make_lma, read, record, incomplete):
    name = make_lma(CHANNELS, [GOOD, record], nsamples=NSAMPLES)
    with pytest.warns(kelvane.DamagedRecordWarning) as caught:
        read(name)
    (w,) = caught
    assert w.message.damage.incomplete is incomplete
    assert str(w.message).startswith(
        f"{name}: ends inside event 1, which is incomplete" if incomplete
        else f"{name}: damaged record at byte")
