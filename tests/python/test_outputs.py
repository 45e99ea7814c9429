"""The caller's arrays given to LmaFile.read(out=...): those it cannot
write as laid out are refused, naming the array, before anything is
written; those larger than the range give results of the range's length."""
import numpy as np
import pytest

from kelvane import LmaFile
from kelvane.lmafile import Events
from kelvane.writer import Channel, Event, Pulse, write_lma

NS = 8
KEYS = ("channel0", "channel3")
START, STOP = 2, 5
N = STOP - START


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    path = tmp_path_factory.mktemp("outputs") / "outputs.lma"
    events = [Event(500 + i, [[Pulse(i % 3, [i, 2 * i, -i])],
                              [Pulse(NS - 2, [7, -7])]], horpos=0.5 * i)
              for i in range(12)]
    write_lma(path, {0: Channel(gain=0.5, baseline=3), 3: Channel()},
              events, nsamples=NS, sample_interval=1e-9)
    return str(path)


def full(shape, dtype=np.float64):
    return np.full(shape, 9, dtype)


def fitting(**changes):
    """Outputs of exactly the range's rows, with `changes` made."""
    out = Events(full(N, np.int32), full(N),
                 {k: full((N, NS)) for k in KEYS})
    traces = {**out.traces, **changes.pop("traces", {})}
    return out._replace(traces=traces, **changes)


def unaligned_rows():
    # float64 rows 4 bytes past an 8-byte boundary: aligned for float32.
    raw = np.zeros(8 * N * NS + 8, np.uint8)
    skip = (4 - raw.ctypes.data) % 8
    rows = raw[skip:skip + 8 * N * NS].view(np.float64).reshape(N, NS)
    assert rows.ctypes.data % 8 == 4
    return rows


def overlapping_rows():
    # Each row starts one sample before the last one ends.
    base = full(N * NS)
    return np.lib.stride_tricks.as_strided(base, (N, NS), (8 * (NS - 1), 8))


def stepped_views():
    # Every fourth row of one array, and the same from the fifth row on:
    # apart at their first rows, the same memory at the next ones.
    big = full((16, NS))
    return {"channel0": big[0::4], "channel3": big[4::4][:3]}


BAD_OUTPUTS = {
    "rows not contiguous":
        (lambda: fitting(traces={"channel0": full((N, 2 * NS))[:, ::2]}),
         r"out\['channel0'\]: rows must be contiguous"),
    "rows overlap":
        (lambda: fitting(traces={"channel3": overlapping_rows()}),
         r"out\['channel3'\]: rows must be contiguous and apart"),
    "float64 aligned for float32 only":
        (lambda: fitting(traces={"channel0": unaligned_rows()}),
         r"out\['channel0'\] is not aligned for float64"),
    "stepped views sharing later rows":
        (lambda: fitting(traces=stepped_views()),
         r"out\['channel0'\] and out\['channel3'\] share memory"),
    "tags shorter than the range":
        (lambda: fitting(tags=full(2 * N, np.int32)[:N - 1]),
         r"tags has shape \(2,\), needs \(at least 3\)"),
    "horpos shorter than the range":
        (lambda: fitting(horpos=full(2 * N)[:N - 1]),
         r"horpos has shape \(2,\), needs \(at least 3\)"),
    "tags strided":
        (lambda: fitting(tags=full(2 * N, np.int32)[::2]),
         r"tags: rows must be contiguous"),
}


def owner(a):
    while isinstance(a.base, np.ndarray):
        a = a.base
    return a


@pytest.mark.parametrize("make, message", BAD_OUTPUTS.values(),
                         ids=BAD_OUTPUTS)
def test_bad_outputs_are_refused_unwritten(sample, make, message):
    out = make()
    arrays = [out.tags, out.horpos, *out.traces.values()]
    before = [(owner(a), owner(a).tobytes()) for a in arrays]
    with LmaFile(sample) as f:
        with pytest.raises(ValueError, match=message):
            f.read(START, STOP, out=out)
    for base, data in before:
        assert base.tobytes() == data


def test_outputs_longer_than_the_range_give_its_length(sample):
    with LmaFile(sample) as f:
        want = f.read(START, STOP)
        out = f.read(0, 10)
        spare = out.tags[N:].copy(), out.horpos[N:].copy()
        got = f.read(START, STOP, out=out)
    assert got.tags.shape == got.horpos.shape == (N,)
    assert got.tags.tolist() == want.tags.tolist()
    assert got.horpos.tolist() == want.horpos.tolist()
    for key in KEYS:
        assert got.traces[key].shape == (N, NS)
        assert np.shares_memory(got.traces[key], out.traces[key])
        np.testing.assert_array_equal(got.traces[key], want.traces[key])
    # Rows past the range are left as they were.
    assert out.tags[N:].tolist() == spare[0].tolist()
    assert out.horpos[N:].tolist() == spare[1].tolist()
