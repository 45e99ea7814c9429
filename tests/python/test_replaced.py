"""Files replaced, rewritten or cut back under an open kelvane.LmaFile, and
what its open descriptor lets a child process have."""
import os
import pickle

import numpy as np
import pytest

import kelvane
from kelvane import FileReplacedError, LmaFile, lmafmt
from kelvane.writer import Channel, Event, Pulse, write_lma


def run(path, gain=0.5, events=10, width=3, nsamples=8):
    """A recording: `events` records of one pulse of `width` samples."""
    write_lma(path, {0: Channel(gain=gain, baseline=1)},
              [Event(i, [[Pulse(i % 4, [i + k for k in range(width)])]])
               for i in range(events)], nsamples=nsamples)


def reader_traces(path):
    """Channel 0 of the events LmaReader delivers, up to any damage."""
    traces = []
    with lmafmt.LmaReader(str(path)) as r:
        try:
            for ev in r:
                traces.append(ev["channel0"])
        except OSError:
            pass
    return np.array(traces)


def same_stamp(path, st):
    """Gives `path` the times of the stat result `st`: a rewrite within
    one timestamp tick, made deterministic."""
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


def rename_over(path, make):
    new = path.with_name("new-" + path.name)
    make(new)
    os.replace(new, path)


# Each case is seen by one check alone: the header bytes, the walk of the
# last indexed record, or the path's inode.
REPLACEMENTS = {
    # A new gain over the same records, shorter and longer.
    "new gain, fewer events": (lambda p: run(p, gain=2.0, events=5),
                               "its header was rewritten"),
    "new gain, more events": (lambda p: run(p, gain=2.0, events=20),
                              "its header was rewritten"),
    # The very same settings: only the records tell.
    "same settings": (lambda p: run(p, events=20, width=2),
                      "its indexed records were rewritten"),
    # The very same bytes, renamed over the open file.
    "renamed over": (lambda p: rename_over(p, run),
                     "another file is at its path now"),
}


@pytest.mark.parametrize("case", REPLACEMENTS)
def test_a_replaced_file_refuses_reads_until_opened_again(tmp_path, case):
    path = tmp_path / "run.lma"
    run(path)
    replace, reason = REPLACEMENTS[case]
    with LmaFile(path) as f:
        offsets = f.offsets.tolist()
        replace(path)
        with pytest.raises(FileReplacedError) as raised:
            f.refresh()
        err = raised.value
        assert isinstance(err, OSError) and err.reason == reason
        assert str(err) == (f"{path}: replaced since it was opened "
                            f"({reason}); open it again")
        assert str(pickle.loads(pickle.dumps(err))) == str(err)
        for attempt in (f.refresh, f.read, f.pulses, lambda: f[0]):
            with pytest.raises(FileReplacedError, match="open it again"):
                attempt()
        # What describes the index as it was still answers.
        assert len(f) == 10 and f.offsets.tolist() == offsets
        assert f.damage is None and not f.closed
    assert f.closed
    with LmaFile(path) as again:
        np.testing.assert_array_equal(again.read().traces["channel0"],
                                      reader_traces(path))


def test_a_file_cut_back_after_growing_is_indexed_anew(tmp_path):
    path = tmp_path / "run.lma"
    run(path, events=12)
    data = path.read_bytes()
    with LmaFile(path) as f:
        ends = f.offsets.tolist() + [len(data)]
    path.write_bytes(data[:ends[5]])
    with LmaFile(path) as f, open(path, "r+b") as w:
        assert len(f) == 5
        w.seek(ends[5])
        w.write(data[ends[5]:])
        w.flush()
        assert f.refresh() == 7 and len(f) == 12
        # Cut back inside the added records: a recorder's crash, not a
        # new run.
        w.truncate(ends[8] + 5)
        assert f.refresh() == -4 and len(f) == 8
        assert (f.damage.offset, f.damage.event) == (ends[8], 8)
        assert str(f.damage.error) == "Fail to read a block: 0!"
        np.testing.assert_array_equal(f.read().traces["channel0"],
                                      reader_traces(path))
        assert len(f.pulses().event) == 8
        # A path that names no file any more is no replacement.
        os.unlink(path)
        assert f.refresh() == 0 and f[7].tag == 7


def test_a_change_of_directory_is_no_replacement(tmp_path, monkeypatch):
    run(tmp_path / "run.lma")
    (tmp_path / "elsewhere").mkdir()
    run(tmp_path / "elsewhere" / "run.lma")
    monkeypatch.chdir(tmp_path)
    with LmaFile("run.lma") as f:
        monkeypatch.chdir(tmp_path / "elsewhere")
        assert f.refresh() == 0 and len(f.read().tags) == 10


def swapped_widths(path, gain=0.5):
    """Records 0 and 1 with their widths swapped: the same size and the
    same last record, the records between at other offsets."""
    write_lma(path, {0: Channel(gain=gain, baseline=1)},
              [Event(0, [[Pulse(0, [1] * 5)]]), Event(1, [[Pulse(0, [2])]]),
               Event(2, [[Pulse(0, [3, 4])]])], nsamples=8)


@pytest.mark.parametrize("rewrite", ["in place, new gain", "renamed over"])
def test_unpickling_sees_a_rewrite_within_one_timestamp_tick(tmp_path,
                                                            rewrite):
    path = tmp_path / "run.lma"
    write_lma(path, {0: Channel(gain=0.5, baseline=1)},
              [Event(0, [[Pulse(0, [1])]]), Event(1, [[Pulse(0, [2] * 5)]]),
               Event(2, [[Pulse(0, [3, 4])]])], nsamples=8)
    f = LmaFile(path)
    saved = pickle.dumps(f)
    st = os.stat(path)
    if rewrite == "renamed over":
        rename_over(path, swapped_widths)
    else:
        swapped_widths(path, gain=2.0)
    same_stamp(path, st)
    assert os.path.getsize(path) == st.st_size
    copy = pickle.loads(saved)
    assert copy._native.scan_count == 1
    np.testing.assert_array_equal(copy.read().traces["channel0"],
                                  reader_traces(path))
    f.close()
    copy.close()


def test_the_descriptor_is_not_inherited(tmp_path):
    path = tmp_path / "run.lma"
    run(path)
    with LmaFile(path):
        held = [fd for fd in os.listdir("/proc/self/fd")
                if os.path.realpath(f"/proc/self/fd/{fd}") == str(
                    path.resolve())]
        assert len(held) == 1
        assert os.get_inheritable(int(held[0])) is False


def test_the_error_is_exported():
    assert kelvane.FileReplacedError is FileReplacedError
    assert "FileReplacedError" in kelvane.__all__
    assert issubclass(FileReplacedError, OSError)
