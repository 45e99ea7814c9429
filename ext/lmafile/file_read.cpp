// Range reads into the caller's arrays: every argument is checked with
// the interpreter lock held, then the engine decodes with it released
// under the shared lock.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "native_file.hpp"

namespace lmafile {

namespace {

// The output kinds, in the order the Python side numbers them.
struct OutputKind {
    lma::SampleType type;
    char kind;
    Py_ssize_t itemsize;
};
constexpr OutputKind kOutputKinds[] = {
    {lma::SampleType::float64, 'f', 8},
    {lma::SampleType::float32, 'f', 4},
    {lma::SampleType::raw_int16, 'i', 2},
};

bool check_range(Py_ssize_t start, Py_ssize_t stop) noexcept {
    if (start < 0 || stop < start) {
        PyErr_Format(PyExc_IndexError, "bad event range [%zd, %zd)", start,
                     stop);
        return false;
    }
    return true;
}

enum class Outcome { done, refused, out_of_range, no_memory };

// Runs `body(scratch)` under the shared lock with the interpreter lock
// released, once the file is known readable and [0, stop) indexed;
// `indexed` gets the number of records indexed then, `refusal` why the
// file is not readable.
template <class F>
Outcome run_locked(FileState& s, std::size_t stop, std::size_t& indexed,
                   lma::Status& refusal, F&& body) noexcept {
    GilRelease released;
    std::shared_lock<lma::RwLock> lock(s.lock);
    if (!(refusal = readable(s)).ok()) {
        return Outcome::refused;
    }
    indexed = s.index.size();
    if (stop > indexed) {
        return Outcome::out_of_range;
    }
    PooledScratch scratch(s);
    if (scratch.get() == nullptr) {
        return Outcome::no_memory;
    }
    body(*scratch.get());
    return Outcome::done;
}

// Raises for an outcome other than done; false then. A range [start,
// stop) past the index names its last event, stop - 1.
bool check_outcome(const FileState& s, Outcome o, std::size_t stop,
                   std::size_t indexed, const lma::Status& refusal) noexcept {
    switch (o) {
    case Outcome::done:
        return true;
    case Outcome::refused:
        raise_for_file(s, refusal);
        return false;
    case Outcome::out_of_range:
        PyErr_Format(PyExc_IndexError,
                     "event %zu is past the index of %zu events", stop - 1,
                     indexed);
        return false;
    case Outcome::no_memory:
        PyErr_NoMemory();
        return false;
    }
    return false;
}

// Runs `range_op(scratch)`, an lma operation on records up to `last`
// that returns its Stop, as run_locked does. False with an exception set
// when the range could not be read or the operation stopped early.
template <class Op>
bool read_range(FileState& s, std::size_t last, Op&& range_op) {
    lma::Stop result;
    std::size_t indexed = 0;
    lma::Status refusal;
    const Outcome o = run_locked(s, last, indexed, refusal,
                                 [&](lma::Scratch& scratch) {
                                     result = range_op(scratch);
                                 });
    if (!check_outcome(s, o, last, indexed, refusal)) {
        return false;
    }
    if (!result.ok()) {
        raise_read_failure(s, result);
        return false;
    }
    return true;
}

// True when no two outputs' written bytes (n rows each) can meet: their
// byte ranges, first to last byte written, are disjoint.
bool apart(const lma::RangeOut& out, Py_ssize_t n, Py_ssize_t itemsize,
           std::int64_t nsamples) {
    if (n == 0) {
        return true;
    }
    using Range = std::pair<std::uintptr_t, std::uintptr_t>;
    std::vector<Range> ranges;
    auto add = [&](const void* p, std::size_t bytes) {
        if (p != nullptr && bytes > 0) {
            const auto lo = reinterpret_cast<std::uintptr_t>(p);
            ranges.emplace_back(lo, lo + bytes);
        }
    };
    const auto rows = static_cast<std::size_t>(n);
    add(out.tags, rows * sizeof(std::int32_t));
    add(out.horpos, rows * sizeof(double));
    if (nsamples > 0) {
        for (std::size_t k = 0; k < out.nchannels; ++k) {
            const lma::ChannelOut& c = out.channels[k];
            add(c.data, ((rows - 1) * static_cast<std::size_t>(c.stride) +
                         static_cast<std::size_t>(nsamples)) *
                            static_cast<std::size_t>(itemsize));
        }
    }
    std::sort(ranges.begin(), ranges.end());
    for (std::size_t i = 1; i < ranges.size(); ++i) {
        if (ranges[i].first < ranges[i - 1].second) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool run_range(FileState& s, std::size_t last, const RangeOp& op) {
    return read_range(s, last, op);
}

// decode(start, stop, kind, rows, tags, horpos, traces, exact=False,
//        fresh=False, block=None, base=0):
// decodes records [start, stop) into `tags` (int32, or None), `horpos`
// (float64, or None) and traces[k], the block of channel position rows[k],
// in the element type of `kind` (0 float64, 1 float32, 2 raw int16).
// Returns True; or False, writing nothing, when the byte ranges of two
// outputs meet and the caller has not compared them `exact`ly. `fresh`:
// the traces were allocated for this call (see lma::RangeOut). `block`
// and `base`: the bytes of a file held elsewhere (see CallBytes), which
// must hold the records of the range; every range call takes them.
PyObject* nativefile_decode(PyObject* self, PyObject* args) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        Py_ssize_t start = 0, stop = 0;
        int kind = 0;
        PyObject *rows_obj, *tags_obj, *horpos_obj, *traces_obj;
        int exact = 0, fresh = 0;
        PyObject* block = Py_None;
        long long base = 0;
        CallBytes bytes;
        if (!PyArg_ParseTuple(args, "nniOOOO!|ppOL:decode", &start, &stop,
                              &kind, &rows_obj, &tags_obj, &horpos_obj,
                              &PyTuple_Type, &traces_obj, &exact, &fresh,
                              &block, &base) ||
            !check_range(start, stop) || !bytes.take(s, block, base)) {
            return nullptr;
        }
        if (kind < 0 || kind > 2) {
            PyErr_SetString(PyExc_ValueError, "unknown output kind");
            return nullptr;
        }
        const OutputKind& output = kOutputKinds[kind];
        std::vector<std::size_t> rows;
        if (!parse_rows(rows_obj, s.header.nchannels, rows)) {
            return nullptr;
        }
        if (PyTuple_GET_SIZE(traces_obj) !=
            static_cast<Py_ssize_t>(rows.size())) {
            PyErr_SetString(PyExc_ValueError,
                            "one traces array per row is needed");
            return nullptr;
        }
        const Py_ssize_t n = stop - start;
        lma::RangeOut out;
        out.type = output.type;
        out.fresh = fresh != 0;
        BufferView tags_view, horpos_view;
        if (tags_obj != Py_None) {
            if (take_array(tags_obj, {"tags", 'i', 4, n, -1}, tags_view) < 0) {
                return nullptr;
            }
            out.tags = static_cast<std::int32_t*>(tags_view.view().buf);
        }
        if (horpos_obj != Py_None) {
            if (take_array(horpos_obj, {"horpos", 'f', 8, n, -1},
                           horpos_view) < 0) {
                return nullptr;
            }
            out.horpos = static_cast<double*>(horpos_view.view().buf);
        }
        auto views = std::make_unique<BufferView[]>(rows.size());
        std::vector<lma::ChannelOut> channels(rows.size());
        for (std::size_t k = 0; k < rows.size(); ++k) {
            const std::int64_t stride = take_array(
                PyTuple_GET_ITEM(traces_obj, static_cast<Py_ssize_t>(k)),
                {"traces", output.kind, output.itemsize, n,
                 s.header.nsamples},
                views[k]);
            if (stride < 0) {
                return nullptr;
            }
            channels[k] = {rows[k], views[k].view().buf, stride};
        }
        out.channels = channels.data();
        out.nchannels = channels.size();
        if (!exact && !apart(out, n, output.itemsize,
                             s.header.nsamples)) {
            Py_RETURN_FALSE;
        }
        const auto first = static_cast<std::size_t>(start);
        const auto last = static_cast<std::size_t>(stop);
        if (!read_range(s, last, [&](lma::Scratch& scratch) {
                const lma::File& f = bytes.file(s);
                return lma::decode_range(f, s.header, s.index, first,
                                         last, out, scratch);
            })) {
            return nullptr;
        }
        Py_RETURN_TRUE;
    });
}

// count_pulses(start, stop, rows) -> (pulses, samples)
PyObject* nativefile_count_pulses(PyObject* self, PyObject* args) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        Py_ssize_t start = 0, stop = 0;
        PyObject* rows_obj;
        std::vector<std::size_t> rows;
        PyObject* block = Py_None;
        long long base = 0;
        CallBytes bytes;
        if (!PyArg_ParseTuple(args, "nnO|OL:count_pulses", &start, &stop,
                              &rows_obj, &block, &base) ||
            !check_range(start, stop) || !bytes.take(s, block, base) ||
            !parse_rows(rows_obj, s.header.nchannels, rows)) {
            return nullptr;
        }
        lma::PulseCounts counts;
        const auto first = static_cast<std::size_t>(start);
        const auto last = static_cast<std::size_t>(stop);
        if (!read_range(s, last, [&](lma::Scratch& scratch) {
                const lma::File& f = bytes.file(s);
                return lma::count_pulses(f, s.header, s.index, first,
                                         last, rows.data(), rows.size(),
                                         counts, scratch);
            })) {
            return nullptr;
        }
        return Py_BuildValue("(LL)", static_cast<long long>(counts.pulses),
                             static_cast<long long>(counts.samples));
    });
}

// list_pulses(start, stop, rows, event, channel, first, length, offset,
// samples) -> (pulses, samples) written. The per-pulse arrays hold as many
// pulses as the shortest of them, `samples` as many samples as it is long.
PyObject* nativefile_list_pulses(PyObject* self, PyObject* args) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        Py_ssize_t start = 0, stop = 0;
        PyObject* rows_obj;
        PyObject* arrays[6];
        std::vector<std::size_t> rows;
        PyObject* block = Py_None;
        long long base = 0;
        CallBytes bytes;
        if (!PyArg_ParseTuple(args, "nnOOOOOOO|OL:list_pulses", &start,
                              &stop, &rows_obj, &arrays[0], &arrays[1],
                              &arrays[2], &arrays[3], &arrays[4], &arrays[5],
                              &block, &base) ||
            !check_range(start, stop) || !bytes.take(s, block, base) ||
            !parse_rows(rows_obj, s.header.nchannels, rows)) {
            return nullptr;
        }
        const ArraySpec specs[6] = {
            {"event", 'i', 8, 0, -1},  {"channel", 'i', 4, 0, -1},
            {"first", 'i', 4, 0, -1},  {"length", 'i', 4, 0, -1},
            {"offset", 'i', 8, 0, -1}, {"samples", 'i', 2, 0, -1},
        };
        BufferView views[6];
        for (int k = 0; k < 6; ++k) {
            if (take_array(arrays[k], specs[k], views[k]) < 0) {
                return nullptr;
            }
        }
        lma::PulseOut out;
        out.event = static_cast<std::int64_t*>(views[0].view().buf);
        out.channel = static_cast<std::int32_t*>(views[1].view().buf);
        out.first = static_cast<std::int32_t*>(views[2].view().buf);
        out.length = static_cast<std::int32_t*>(views[3].view().buf);
        out.offset = static_cast<std::int64_t*>(views[4].view().buf);
        out.samples = static_cast<std::int16_t*>(views[5].view().buf);
        Py_ssize_t pulses = views[0].view().shape[0];
        for (int k = 1; k < 5; ++k) {
            pulses = std::min(pulses, views[k].view().shape[0]);
        }
        out.capacity = {pulses, views[5].view().shape[0]};
        lma::PulseCounts written;
        const auto first = static_cast<std::size_t>(start);
        const auto last = static_cast<std::size_t>(stop);
        if (!read_range(s, last, [&](lma::Scratch& scratch) {
                const lma::File& f = bytes.file(s);
                return lma::list_pulses(f, s.header, s.index, first,
                                        last, rows.data(), rows.size(), out,
                                        written, scratch);
            })) {
            return nullptr;
        }
        return Py_BuildValue("(LL)", static_cast<long long>(written.pulses),
                             static_cast<long long>(written.samples));
    });
}

}  // namespace lmafile
