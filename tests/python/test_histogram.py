"""kelvane.Histogram against NumPy's histogram and the libraries that take
it: the plottable protocol, boost-histogram conversion, the JSON schema."""

import json
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kelvane import Histogram

boost_histogram = pytest.importorskip("boost_histogram")


def expected(values, edges, integer):
    """The flow counts and the count without a value, by NumPy."""
    gone = values == -1 if integer else np.isnan(values)
    v = values[~gone]
    inside = v[(v >= edges[0]) & (v <= edges[-1])]
    counts = np.histogram(inside, edges)[0]
    if integer:  # the last bin's high edge belongs to the overflow
        top = np.count_nonzero(inside == edges[-1])
        counts[-1] -= top
    else:
        top = 0
    flow = np.concatenate([[np.count_nonzero(v < edges[0])], counts,
                           [np.count_nonzero(v > edges[-1]) + top]])
    return flow, np.count_nonzero(gone)


reals = st.floats(-1e3, 1e3) | st.sampled_from(
    [np.nan, np.inf, -np.inf, 0.0, 10.0, -10.0])


@settings(max_examples=60, deadline=None)
@given(st.lists(reals, max_size=60), st.lists(reals, max_size=20),
       st.integers(1, 12), st.floats(-20, 20), st.floats(0.1, 50))
def test_real_values_counted_as_numpy(first, second, bins, low, width):
    a, b = np.array(first, dtype=float), np.array(second, dtype=float)
    h = Histogram.regular(bins, (low, low + width))
    parts = (Histogram.regular(bins, (low, low + width)).fill(a)
             + Histogram.regular(bins, (low, low + width)).fill(b))
    h.fill(a).fill(b)
    flow, none = expected(np.concatenate([a, b]), h.edges, False)
    assert h.counts(flow=True).tolist() == flow.tolist()
    assert h.no_value == none
    assert parts == h
    converted = boost_histogram.Histogram(h)
    assert converted.view(flow=True).tolist() == flow.tolist()


@given(st.lists(st.integers(-3, 40), max_size=80), st.integers(1, 9),
       st.integers(-2, 10), st.integers(0, 30))
def test_whole_numbers_on_whole_edges(values, bins, low, span):
    v = np.array(values, dtype=np.int32)
    h = Histogram.regular(bins, (low, low + span), integer=True).fill(v)
    assert (h.edges == np.round(h.edges)).all() and len(h.axes[0]) <= bins
    flow, none = expected(v, h.edges, True)
    assert h.counts(flow=True).tolist() == flow.tolist()
    assert h.no_value == none


def test_protocol_plot_and_json(tmp_path):
    plottable = pytest.importorskip("uhi.typing.plottable")
    schema = pytest.importorskip("uhi.schema")
    hist = pytest.importorskip("hist")
    mplhep = pytest.importorskip("mplhep")
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    values = np.array([0.5, 1.0, 2.0, 2.0, 9.0, -1.0, np.nan, 3.0])
    h = Histogram.of(values, bins=4, range=(0.0, 3.0), name="ch0_maximum",
                     label="ch0 maximum")
    assert isinstance(h, plottable.PlottableHistogram)
    assert isinstance(h.axes[0], plottable.PlottableAxisGeneric)
    assert h.axes[0][0] == (0.0, 0.75) and len(list(h.axes[0])) == 4
    assert h.counts(flow=True).tolist() == [1, 1, 1, 2, 1, 1]
    assert h.metadata["no_value"] == 1
    assert hist.Hist(h).view(flow=True).tolist() == [1, 1, 1, 2, 1, 1]

    fig, ax = plt.subplots()
    with warnings.catch_warnings():
        # Without SciPy it warns that it falls back to sqrt(N) errors.
        warnings.simplefilter("ignore", UserWarning)
        mplhep.histplot(h, ax=ax)
    h.plot(ax=ax)
    plt.close(fig)

    path = tmp_path / "h.json"
    h.to_json(path)
    schema.validate(json.loads(path.read_text()))
    again = Histogram.from_json(path)
    assert again == h and again.name == h.name
    assert again.axes[0].label == "ch0 maximum"


@pytest.mark.parametrize("make", [
    lambda: Histogram([0.0]),
    lambda: Histogram([0.0, 1.0, 1.0]),
    lambda: Histogram([0.0, np.inf]),
    lambda: Histogram([0.0, 1.0], [1, 2]),
    lambda: Histogram.regular(0, (0, 1)),
    lambda: Histogram.regular(3, (0, np.inf)),
    lambda: Histogram.regular(3, (1, 0)),
    lambda: Histogram.regular(3, (0, 1)) + Histogram.regular(4, (0, 1)),
    lambda: (Histogram.regular(3, (0, 1))
             + Histogram.regular(3, (0, 1), integer=True)),
])
def test_refused(make):
    with pytest.raises(ValueError):
        make()


def test_features_histogram_by_index_or_key(make_lma):
    from kelvane import LmaFile
    from kelvane.writer import Event, Pulse

    events = [Event(tag=i, sections=[[Pulse(i % 7, [i, -i])],
                                     [Pulse(0, [5])]])
              for i in range(40)]
    with LmaFile(make_lma((0, 1), events, nsamples=16)) as f:
        feat = f.features()
    key = feat.channels[0]
    h = feat.histogram("maximum", key, bins=5, range=(0.0, 30.0))
    assert h == feat.histogram("maximum", 0, bins=5, range=(0.0, 30.0))
    assert h.counts(flow=True).sum() == 40 and h.overflow == 9
    positions = feat.histogram("argmax", 1, bins=3)
    assert positions.integer and positions.entries == 40
    for bad in [("nothing", 0), ("maximum", 2), ("maximum", "nope")]:
        with pytest.raises(ValueError):
            feat.histogram(*bad)


def test_spectrum_writes_the_counts(make_lma, tmp_path, capsys):
    schema = pytest.importorskip("uhi.schema")
    from kelvane import Run, cli
    from kelvane.writer import Event, Pulse

    events = [Event(i, [[Pulse(i % 7, [i * 3 - 20])]]) for i in range(60)]
    name = make_lma((0,), events, nsamples=16)
    argv = ["spectrum", name, "--channel", "0", "--quantity", "maximum",
            "--bins", "6", "--range", "10:100"]
    assert cli.main(argv + ["-o", str(tmp_path / "m.json")]) == 0
    assert cli.main(argv + ["-o", str(tmp_path / "m.csv")]) == 0
    data = json.loads((tmp_path / "m.json").read_text())
    schema.validate(data)
    h = Histogram.from_json(tmp_path / "m.json")
    assert h == Run(name).histogram("maximum", 0, bins=6, range=(10, 100))
    rows = (tmp_path / "m.csv").read_text().splitlines()
    assert rows[0] == "low,high,count" and len(rows) == 1 + 6 + 2
    assert rows[1].startswith("-inf,10.0,") and rows[-1].startswith("100.0,inf,")
    assert [int(r.rsplit(",", 1)[1]) for r in rows[1:]] == \
        h.counts(flow=True).tolist()
    assert "entries" in capsys.readouterr().out
