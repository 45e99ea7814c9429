// Hits into arrays of their own: the engine writes each column in place
// with the interpreter lock released, and hands the columns over as
// they are, which NumPy views without copying, so memory follows the
// hits found, with no count pass first.
#include <cstdint>
#include <cstring>
#include <vector>

#include "lma/hits.hpp"
#include "native_file.hpp"

namespace lmafile {

namespace {

// One row's settings: (first, stop, threshold, polarity, merge, pre, post,
// fraction, low, high, tail), tail -1 for none. False with an exception
// set.
bool parse_settings(PyObject* item, lma::HitSettings& set) {
    long long first = 0, stop = 0, merge = 0, pre = 0, post = 0, tail = 0;
    if (!PyArg_ParseTuple(item, "LLdiLLLdddL:hit settings", &first, &stop,
                          &set.threshold, &set.polarity, &merge, &pre, &post,
                          &set.fraction, &set.low, &set.high, &tail)) {
        return false;
    }
    set.first = first;
    set.stop = stop;
    set.merge = merge;
    set.pre = pre;
    set.post = post;
    set.tail = tail;
    return true;
}

// The columns in HitArrays' order, taken over; a new reference, or
// nullptr with an exception set.
PyObject* columns_tuple(lma::HitColumns& c) {
    const std::size_t n = c.size();
    lma::HitArrays arrays = c.release();
    Ref parts[lma::kHitColumns];
    std::size_t k = 0;
    lma::each_column(arrays, [&](auto* column) {
        parts[k++] = memory_of(column, n * sizeof *column);
    });
    constexpr auto count = static_cast<Py_ssize_t>(sizeof parts /
                                                   sizeof parts[0]);
    Ref out = Ref::steal(PyTuple_New(count));
    if (!out) {
        return nullptr;
    }
    for (Py_ssize_t m = 0; m < count; ++m) {
        if (!parts[m]) {
            return nullptr;
        }
        PyTuple_SET_ITEM(out.get(), m, parts[m].release());
    }
    return out.release();
}

}  // namespace

// hits(start, stop, rows, tags, horpos, settings, block=None, base=0):
// the hits of records [start, stop) on channel positions `rows`, each
// row with its settings tuple; tags (int32) and horpos (float64) filled
// per record. Returns the buffers of the columns (event int64, channel
// int16, start, end int32, width int32, peak int32, amplitude, charge,
// cfd, rise, tail). The engine refuses settings out of range; the caller
// has checked them and says why.
PyObject* nativefile_hits(PyObject* self, PyObject* args) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        Py_ssize_t start = 0, stop = 0;
        PyObject *rows_obj, *tags_obj, *horpos_obj, *settings_obj;
        PyObject* block = Py_None;
        long long base = 0;
        CallBytes bytes;
        if (!PyArg_ParseTuple(args, "nnOOOO!|OL:hits", &start, &stop,
                              &rows_obj, &tags_obj, &horpos_obj,
                              &PyTuple_Type, &settings_obj, &block, &base) ||
            !bytes.take(s, block, base)) {
            return nullptr;
        }
        if (start < 0 || stop < start) {
            PyErr_Format(PyExc_IndexError, "bad event range [%zd, %zd)",
                         start, stop);
            return nullptr;
        }
        std::vector<std::size_t> rows;
        if (!parse_rows(rows_obj, s.header.nchannels, rows)) {
            return nullptr;
        }
        if (PyTuple_GET_SIZE(settings_obj) !=
            static_cast<Py_ssize_t>(rows.size())) {
            PyErr_SetString(PyExc_ValueError,
                            "one settings tuple per row is needed");
            return nullptr;
        }
        std::vector<lma::HitSettings> settings(rows.size());
        for (std::size_t k = 0; k < rows.size(); ++k) {
            if (!parse_settings(PyTuple_GET_ITEM(settings_obj,
                                                 static_cast<Py_ssize_t>(k)),
                                settings[k])) {
                return nullptr;
            }
        }
        const Py_ssize_t n = stop - start;
        BufferView tags_view, horpos_view;
        if (take_array(tags_obj, {"tags", 'i', 4, n, -1}, tags_view) < 0 ||
            take_array(horpos_obj, {"horpos", 'f', 8, n, -1}, horpos_view) <
                0) {
            return nullptr;
        }
        lma::HitColumns found;
        lma::HitOut out;
        out.tags = static_cast<std::int32_t*>(tags_view.view().buf);
        out.horpos = static_cast<double*>(horpos_view.view().buf);
        out.rows = rows.data();
        out.settings = settings.data();
        out.nrows = rows.size();
        out.hits = &found;
        const auto first = static_cast<std::size_t>(start);
        const auto last = static_cast<std::size_t>(stop);
        if (!run_range(s, last, [&](lma::Scratch& scratch) {
                return lma::find_hits(bytes.file(s), s.header, s.index,
                                      first, last, out, scratch);
            })) {
            return nullptr;
        }
        return columns_tuple(found);
    });
}

}  // namespace lmafile
