// The caller's arrays, taken through the buffer protocol: the engine
// writes into them with the interpreter lock released, so every property
// it relies on is checked first.
#include <cstdint>
#include <cstring>

#include "native_file.hpp"

namespace lmafile {

namespace {

// The element kind of a struct-module format of one item in native or
// little-endian order ("d", "<f", "=h", ...), or 0 when it is anything
// else. 'l' and 'q' are both signed ints; the size is checked apart.
char kind_of(const char* format) noexcept {
    if (format == nullptr) {
        return 'u';  // plain bytes
    }
    if (*format == '@' || *format == '=' || *format == '<') {
        ++format;
    }
    if (format[0] == '\0' || format[1] != '\0') {
        return 0;
    }
    switch (format[0]) {
    case 'h':
    case 'i':
    case 'l':
    case 'q':
        return 'i';
    case 'f':
    case 'd':
        return 'f';
    default:
        return 0;
    }
}

std::int64_t refuse(PyObject* cls, const ArraySpec& spec, const char* why)
    noexcept {
    PyErr_Format(cls, "%s: %s", spec.what, why);
    return -1;
}

}  // namespace

std::int64_t take_array(PyObject* obj, const ArraySpec& spec,
                        BufferView& view) noexcept {
    if (!PyObject_CheckBuffer(obj)) {
        PyErr_Format(PyExc_TypeError, "%s: expected an array, not %.200s",
                     spec.what, Py_TYPE(obj)->tp_name);
        return -1;
    }
    if (!view.acquire(obj, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_STRIDES)) {
        if (PyErr_ExceptionMatches(PyExc_BufferError)) {
            PyErr_Clear();
            return refuse(PyExc_ValueError, spec,
                          "array is not writable or not strided");
        }
        return -1;
    }
    const Py_buffer& b = view.view();
    if (kind_of(b.format) != spec.kind || b.itemsize != spec.itemsize) {
        return refuse(PyExc_TypeError, spec, "wrong element type");
    }
    const int ndim = spec.ncols < 0 ? 1 : 2;
    if (b.ndim != ndim) {
        return refuse(PyExc_ValueError, spec, "wrong number of dimensions");
    }
    if (b.shape[0] < spec.min_rows) {
        return refuse(PyExc_ValueError, spec, "too few rows");
    }
    if (reinterpret_cast<std::uintptr_t>(b.buf) %
            static_cast<std::uintptr_t>(spec.itemsize) !=
        0) {
        return refuse(PyExc_ValueError, spec, "array is not aligned");
    }
    const Py_ssize_t inner = ndim == 1 ? b.shape[0] : b.shape[1];
    const Py_ssize_t inner_stride = b.strides[ndim - 1];
    if (inner > 1 && inner_stride != b.itemsize) {
        return refuse(PyExc_ValueError, spec, "rows are not contiguous");
    }
    if (ndim == 1) {
        return 1;
    }
    if (b.shape[1] != spec.ncols) {
        return refuse(PyExc_ValueError, spec, "wrong number of samples");
    }
    // Only rows that will be written matter: one row, or rows of no
    // samples, need no spacing.
    const Py_ssize_t row_stride = b.strides[0];
    if (spec.min_rows <= 1 || spec.ncols == 0) {
        return spec.ncols;
    }
    if (row_stride % b.itemsize != 0 ||
        row_stride < spec.ncols * b.itemsize || row_stride <= 0) {
        return refuse(PyExc_ValueError, spec, "rows overlap or run backwards");
    }
    return row_stride / b.itemsize;
}

bool parse_rows(PyObject* seq, std::int32_t nchannels,
                std::vector<std::size_t>& rows) {
    if (!PyTuple_Check(seq)) {
        PyErr_SetString(PyExc_TypeError, "rows: expected a tuple");
        return false;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(seq);
    rows.clear();
    rows.reserve(static_cast<std::size_t>(n));
    std::vector<bool> seen(static_cast<std::size_t>(nchannels > 0 ? nchannels
                                                                  : 0));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const long row = PyLong_AsLong(PyTuple_GET_ITEM(seq, i));
        if (row == -1 && PyErr_Occurred()) {
            return false;
        }
        if (row < 0 || row >= nchannels ||
            seen[static_cast<std::size_t>(row)]) {
            PyErr_Format(PyExc_ValueError,
                         "rows: %ld is not a channel position or repeated",
                         row);
            return false;
        }
        seen[static_cast<std::size_t>(row)] = true;
        rows.push_back(static_cast<std::size_t>(row));
    }
    return true;
}

bool CallBytes::take(const FileState& s, PyObject* block,
                     long long base) noexcept {
    if (block == nullptr || block == Py_None) {
        if (s.remote) {
            PyErr_SetString(PyExc_ValueError,
                            "a file held elsewhere needs its bytes");
            return false;
        }
        return true;
    }
    if (!s.remote) {
        PyErr_SetString(PyExc_ValueError, "a local file reads its own bytes");
        return false;
    }
    if (base < 0) {
        PyErr_SetString(PyExc_ValueError, "negative file offset");
        return false;
    }
    if (!view_.acquire(block, PyBUF_SIMPLE)) {
        return false;
    }
    bytes_ = lma::File::over(static_cast<const unsigned char*>(
                                 view_.view().buf),
                             base, static_cast<std::size_t>(
                                       view_.view().len));
    given_ = true;
    return true;
}

}  // namespace lmafile
