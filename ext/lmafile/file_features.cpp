// Per-event quantities into the caller's arrays: the arrays are taken with
// the interpreter lock held, then the engine walks the records with it
// released under the shared lock, as range reads do.
#include <cstdint>
#include <memory>
#include <vector>

#include "lma/features.hpp"
#include "native_file.hpp"

namespace lmafile {

// features(start, stop, rows, tags, horpos, values, first, stop_at,
//          threshold, fraction, polarity, merge, block=None, base=0):
// computes records [start, stop) on channel positions `rows` into `tags`
// (int32), `horpos` (float64) and values[q], one entry per lma::Quantity
// in its order: None, or an (events x len(rows)) array of the quantity's
// element type. [first, stop_at) is the window. The engine refuses
// settings out of range; the caller has checked them and says why.
PyObject* nativefile_features(PyObject* self, PyObject* args) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        Py_ssize_t start = 0, stop = 0;
        PyObject *rows_obj, *tags_obj, *horpos_obj, *values_obj;
        lma::FeatureSettings set;
        long long window_first = 0, window_stop = 0, merge = 0;
        PyObject* block = Py_None;
        long long base = 0;
        CallBytes bytes;
        if (!PyArg_ParseTuple(args, "nnOOOO!LLddiL|OL:features", &start,
                              &stop, &rows_obj, &tags_obj, &horpos_obj,
                              &PyTuple_Type, &values_obj, &window_first,
                              &window_stop, &set.threshold, &set.fraction,
                              &set.polarity, &merge, &block, &base) ||
            !bytes.take(s, block, base)) {
            return nullptr;
        }
        if (start < 0 || stop < start) {
            PyErr_Format(PyExc_IndexError, "bad event range [%zd, %zd)",
                         start, stop);
            return nullptr;
        }
        if (PyTuple_GET_SIZE(values_obj) !=
            static_cast<Py_ssize_t>(lma::kQuantities)) {
            PyErr_SetString(PyExc_ValueError,
                            "one entry per quantity is needed");
            return nullptr;
        }
        set.first = window_first;
        set.stop = window_stop;
        set.merge = merge;
        std::vector<std::size_t> rows;
        if (!parse_rows(rows_obj, s.header.nchannels, rows)) {
            return nullptr;
        }
        const Py_ssize_t n = stop - start;
        const auto ncols = static_cast<Py_ssize_t>(rows.size());
        lma::FeatureOut out;
        out.rows = rows.data();
        out.nrows = rows.size();
        BufferView tags_view, horpos_view;
        if (take_array(tags_obj, {"tags", 'i', 4, n, -1}, tags_view) < 0 ||
            take_array(horpos_obj, {"horpos", 'f', 8, n, -1}, horpos_view) <
                0) {
            return nullptr;
        }
        out.tags = static_cast<std::int32_t*>(tags_view.view().buf);
        out.horpos = static_cast<double*>(horpos_view.view().buf);
        auto views = std::make_unique<BufferView[]>(lma::kQuantities);
        for (std::size_t q = 0; q < lma::kQuantities; ++q) {
            PyObject* a =
                PyTuple_GET_ITEM(values_obj, static_cast<Py_ssize_t>(q));
            if (a == Py_None) {
                continue;
            }
            const bool wide = !lma::is_int32(static_cast<lma::Quantity>(q));
            const std::int64_t stride =
                take_array(a, {"values", wide ? 'f' : 'i', wide ? 8 : 4, n,
                               ncols},
                           views[q]);
            if (stride < 0) {
                return nullptr;
            }
            out.data[q] = views[q].view().buf;
            out.stride[q] = stride;
        }
        // The outputs are the caller's own new arrays, never shared: the
        // Python side makes them for this call.
        const auto first = static_cast<std::size_t>(start);
        const auto last = static_cast<std::size_t>(stop);
        if (!run_range(s, last, [&](lma::Scratch& scratch) {
                return lma::compute_features(bytes.file(s), s.header, s.index,
                                             first, last, set, out, scratch);
            })) {
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

}  // namespace lmafile
