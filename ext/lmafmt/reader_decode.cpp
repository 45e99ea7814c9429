// The reader's private operations: the header parser and the event decoder.
//
// Events are decoded on one of two paths with the same results. While the
// module's `zeros` and `empty` are still NumPy's functions bound at import,
// samples are read into a native buffer and calibrated straight into the
// event's trace array. Once either name is rebound, every step goes through
// the names as bound now: `empty` per pulse, `astype`, the arithmetic and
// the item assignment, so a rebinding sees exactly those calls.

#include "errors.hpp"
#include "lma/stream.hpp"
#include "reader.hpp"

namespace lmafmt {

namespace {

constexpr lma::Status kSinkFailed{lma::Errc::sink, 0};

// Python code run during decoding (a rebound `zeros`, a finaliser) may
// close or reopen the reader; the decoder must not go on with a stream that
// is gone, nor with a new one. Checked after such code and before the
// stream is used again. False with IOError "File is closed!" set.
bool still_open(const ReaderState& s, std::uint64_t stream) {
    if (s.file == nullptr || s.stream_serial != stream) {
        raise_closed();
        return false;
    }
    return true;
}

bool has_format(const Py_buffer& v, char code) {
    const char* f = v.format == nullptr ? "B" : v.format;
    if (*f == '@' || *f == '=' || *f == '<') {
        ++f;
    }
    return f[0] == code && f[1] == '\0';
}

// Acquires the buffer of `obj`, which must be an ndarray of `ndim`
// dimensions, C-contiguous, with items of struct code `code`. False with
// TypeError or ValueError set.
bool acquire_array(PyObject* obj, int ndim, char code, const char* dtype,
                   BufferView& view) {
    auto* ndarray = reinterpret_cast<PyTypeObject*>(globals->np_ndarray);
    if (!PyObject_TypeCheck(obj, ndarray)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s",
                     Py_TYPE(obj)->tp_name, ndarray->tp_name);
        return false;
    }
    if (!view.acquire(obj, PyBUF_RECORDS)) {
        return false;
    }
    const Py_buffer& v = view.view();
    if (v.ndim != ndim) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, "
                     "got %d)",
                     ndim, v.ndim);
    } else if (!has_format(v, code)) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer dtype mismatch, expected '%s' but got '%s'",
                     dtype, v.format == nullptr ? "B" : v.format);
    } else if (!PyBuffer_IsContiguous(&v, 'C')) {
        PyErr_SetString(PyExc_ValueError, "ndarray is not C-contiguous");
    } else {
        return true;
    }
    view.release();
    return false;
}

// zeros((nchannels, nsamples), dtype="float64")
Ref make_traces(PyObject* zeros, const lma::Header& h) {
    Ref shape = Ref::steal(Py_BuildValue("(ii)", h.nchannels, h.nsamples));
    if (!shape) {
        return Ref();
    }
    PyObject* args[] = {shape.get(), globals->s_float64};
    return Ref::steal(
        PyObject_Vectorcall(zeros, args, 1, globals->kwnames_dtype));
}

// Native path: one call of `zeros` per event, nothing per pulse.
class NativeSink final : public lma::TraceSink {
public:
    explicit NativeSink(ReaderState& s) noexcept
        : TraceSink(s.header, s.samples), reader_(s), header_(s.header),
          stream_(s.stream_serial) {}

    // The only Python code on this path runs here, before the record is
    // read; afterwards everything is native.
    lma::Status begin_event() override {
        traces_ = make_traces(globals->bound_zeros, header_);
        if (!traces_ ||
            !acquire_array(traces_.get(), 2, 'd', "float64", view_)) {
            return kSinkFailed;
        }
        const Py_buffer& v = view_.view();
        if (v.shape[0] != header_.nchannels ||
            v.shape[1] != header_.nsamples) {
            PyErr_SetString(PyExc_SystemError, "zeros gave a wrong shape");
            return kSinkFailed;
        }
        set_traces(static_cast<double*>(v.buf));
        return still_open(reader_, stream_) ? lma::ok() : kSinkFailed;
    }

    Ref take_traces() noexcept {
        view_.release();
        return std::move(traces_);
    }

private:
    const ReaderState& reader_;
    const lma::Header& header_;
    std::uint64_t stream_;
    Ref traces_;
    BufferView view_;
};

// Literal path: the NumPy calls one by one, through the current names.
class LiteralSink final : public lma::EventSink {
public:
    explicit LiteralSink(const ReaderState& s) noexcept
        : reader_(s), header_(s.header), stream_(s.stream_serial) {}

    lma::Status begin_event() override {
        if (!make_checked_traces()) {
            return kSinkFailed;
        }
        return still_open(reader_, stream_) ? lma::ok() : kSinkFailed;
    }

    // Every temporary of the pulse is gone before the final check: their
    // finalisers are Python code too.
    lma::Status take_pulse(std::FILE* in, std::size_t row,
                           lma::Pulse p) override {
        lma::Status s = place_pulse(in, row, p);
        if (s.ok() && !still_open(reader_, stream_)) {
            return kSinkFailed;
        }
        return s;
    }

    Ref take_traces() noexcept { return std::move(traces_); }

private:
    bool make_checked_traces() {
        Ref zeros = Ref::steal(lookup_global(globals->s_zeros));
        if (!zeros) {
            return false;
        }
        traces_ = make_traces(zeros.get(), header_);
        BufferView check;
        return traces_ &&
               acquire_array(traces_.get(), 2, 'd', "float64", check);
    }

    lma::Status place_pulse(std::FILE* in, std::size_t row, lma::Pulse p) {
        Ref samples;
        lma::Status s = read_samples(in, p.length, samples);
        if (!s.ok()) {
            return s;
        }
        Ref value = calibrate(samples.get(), header_.channel_info[row]);
        if (!value || !assign(row, p, value.get())) {
            return kSinkFailed;
        }
        return lma::ok();
    }

    // samples = empty(length, dtype="int16"), filled by one read of
    // `length` samples.
    lma::Status read_samples(std::FILE* in, std::int32_t length,
                             Ref& samples) {
        Ref empty = Ref::steal(lookup_global(globals->s_empty));
        Ref count = empty ? Ref::steal(PyLong_FromLong(length)) : Ref();
        if (!count) {
            return kSinkFailed;
        }
        PyObject* args[] = {count.get(), globals->s_int16};
        samples = Ref::steal(PyObject_Vectorcall(empty.get(), args, 1,
                                                 globals->kwnames_dtype));
        BufferView view;
        if (!samples ||
            !acquire_array(samples.get(), 1, 'h', "int16", view)) {
            return kSinkFailed;
        }
        const Py_ssize_t size = view.view().shape[0];
        if (size == 0) {
            return {lma::Errc::empty_pulse, 0};
        }
        // A rebound `empty` may hand back fewer elements than asked for;
        // reading `length` samples into it would overrun it.
        if (size != length) {
            PyErr_Format(PyExc_ValueError,
                         "empty gave %zd elements for a pulse of %d", size,
                         static_cast<int>(length));
            return kSinkFailed;
        }
        if (!still_open(reader_, stream_)) {
            return kSinkFailed;
        }
        return lma::read_items(in, view.view().buf, sizeof(std::int16_t),
                               static_cast<std::size_t>(length));
    }

    // gain * (samples.astype("float64") - baseline)
    static Ref calibrate(PyObject* samples, const lma::Channel& ch) {
        Ref as_float = Ref::steal(PyObject_CallMethodObjArgs(
            samples, globals->s_astype, globals->s_float64, nullptr));
        Ref baseline =
            as_float ? Ref::steal(PyLong_FromLong(ch.baseline)) : Ref();
        Ref diff = baseline ? Ref::steal(PyNumber_Subtract(as_float.get(),
                                                           baseline.get()))
                            : Ref();
        Ref gain = diff ? Ref::steal(PyFloat_FromDouble(ch.gain)) : Ref();
        return gain ? Ref::steal(PyNumber_Multiply(gain.get(), diff.get()))
                    : Ref();
    }

    // traces[row, first:first + length] = value; the stop is formed in 64
    // bits so it cannot wrap.
    bool assign(std::size_t row, lma::Pulse p, PyObject* value) {
        Ref start = Ref::steal(PyLong_FromLong(p.first));
        Ref stop = start ? Ref::steal(PyLong_FromLongLong(
                               static_cast<long long>(p.first) + p.length))
                         : Ref();
        Ref slice = stop ? Ref::steal(PySlice_New(start.get(), stop.get(),
                                                  nullptr))
                         : Ref();
        Ref index = slice ? Ref::steal(PyLong_FromSize_t(row)) : Ref();
        Ref key = index ? Ref::steal(PyTuple_Pack(2, index.get(),
                                                  slice.get()))
                        : Ref();
        return key &&
               PyObject_SetItem(traces_.get(), key.get(), value) == 0;
    }

    const ReaderState& reader_;
    const lma::Header& header_;
    std::uint64_t stream_;
    Ref traces_;
};

// {"tag": tag, "channel<c>": traces[i], ...} in channel order.
PyObject* build_event(const lma::Header& h, std::int32_t tag,
                      PyObject* traces) {
    Ref event = Ref::steal(PyDict_New());
    Ref tag_value = Ref::steal(PyLong_FromLong(tag));
    if (!event || !tag_value ||
        PyDict_SetItem(event.get(), globals->s_tag, tag_value.get()) != 0) {
        return nullptr;
    }
    for (std::int32_t i = 0; i < h.nchannels; ++i) {
        Ref row = Ref::steal(PySequence_GetItem(traces, i));
        if (!row || PyDict_SetItem(event.get(),
                                   globals->channel_keys[h.channels[i]],
                                   row.get()) != 0) {
            return nullptr;
        }
    }
    return event.release();
}

// Whether the module's `zeros` and `empty` are still those bound at import.
int native_path_allowed() {
    PyObject* zeros =
        PyDict_GetItemWithError(globals->module_dict, globals->s_zeros);
    if (zeros == nullptr) {
        return PyErr_Occurred() ? -1 : 0;
    }
    PyObject* empty =
        PyDict_GetItemWithError(globals->module_dict, globals->s_empty);
    if (empty == nullptr) {
        return PyErr_Occurred() ? -1 : 0;
    }
    return zeros == globals->bound_zeros && empty == globals->bound_empty;
}

template <class Sink>
PyObject* decode_with(ReaderState& s, Sink& sink) {
    std::int32_t tag = 0;
    lma::Status st = lma::read_event(s.file, s.header, sink, tag);
    Ref traces = sink.take_traces();
    if (!st.ok()) {
        return raise_status(st);
    }
    return build_event(s.header, tag, traces.get());
}

PyObject* decode(ReaderState& s) {
    int native = native_path_allowed();
    if (native < 0) {
        return nullptr;
    }
    if (native) {
        NativeSink sink(s);
        return decode_with(s, sink);
    }
    LiteralSink sink(s);
    return decode_with(s, sink);
}

}  // namespace

void reader_read_header(ReaderObject* self) {
    lma::Status st = lma::read_header(self->s.file, self->s.header);
    if (!st.ok()) {
        raise_status(st);
        add_traceback(kReadHeaderName);
        report_unraisable(kReadHeaderName);
    }
}

PyObject* reader_next(ReaderObject* self) {
    return at_border<PyObject*>([self]() -> PyObject* {
        PyObject* event = decode(self->s);
        if (event == nullptr) {
            add_traceback(kNextName);
        }
        return event;
    });
}

}  // namespace lmafmt
