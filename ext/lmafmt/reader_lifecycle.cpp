// Construction, the context-manager methods and destruction of LmaReader.
#include <cstring>
#include <new>
#include <utility>

#include "errors.hpp"
#include "reader.hpp"

namespace lmafmt {

namespace {

constexpr char kEnterName[] = "kelvane.lmafmt.LmaReader.__enter__";
constexpr char kExitName[] = "kelvane.lmafmt.LmaReader.__exit__";

bool raise_arg_count(const char* func, Py_ssize_t expected,
                     Py_ssize_t given) {
    PyErr_Format(globals->type_error,
                 "%.200s() takes %.8s %zd positional argument%.1s "
                 "(%zd given)",
                 func, "exactly", expected, expected == 1 ? "" : "s", given);
    return false;
}

// Binds the required positional-or-keyword parameters `names` from
// args/kwds into `values` (borrowed). False with TypeError set.
bool bind_args(const char* func, PyObject* args, PyObject* kwds,
               PyObject* const* names, Py_ssize_t n, PyObject** values) {
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    if (kwds == nullptr) {
        if (npos != n) {
            return raise_arg_count(func, n, npos);
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            values[i] = PyTuple_GET_ITEM(args, i);
        }
        return true;
    }
    if (npos > n) {
        return raise_arg_count(func, n, npos);
    }
    for (Py_ssize_t i = 0; i < npos; ++i) {
        values[i] = PyTuple_GET_ITEM(args, i);
    }
    Py_ssize_t unused = PyDict_Size(kwds);
    for (Py_ssize_t i = npos; i < n; ++i) {
        values[i] = PyDict_GetItemWithError(kwds, names[i]);
        if (values[i] == nullptr) {
            return PyErr_Occurred() ? false : raise_arg_count(func, n, i);
        }
        --unused;
    }
    if (unused <= 0) {
        return true;
    }
    // Something was left over: name the first offending keyword.
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(globals->type_error,
                         "%.200s() keywords must be strings", func);
            return false;
        }
        Py_ssize_t match = -1;
        for (Py_ssize_t i = 0; i < n && match < 0; ++i) {
            int eq = PyObject_RichCompareBool(key, names[i], Py_EQ);
            if (eq < 0) {
                return false;
            }
            match = eq ? i : -1;
        }
        if (match < 0) {
            PyErr_Format(globals->type_error,
                         "%s() got an unexpected keyword argument '%U'", func,
                         key);
            return false;
        }
        if (match < npos) {
            PyErr_Format(globals->type_error,
                         "%s() got multiple values for keyword argument '%U'",
                         func, key);
            return false;
        }
    }
    return true;
}

PyObject* raise_no_such_file(PyObject* shown_name) {
    Ref cls = Ref::steal(lookup_global(globals->s_file_not_found));
    return cls ? raise_formatted(cls.get(), globals->msg_no_file, shown_name)
               : nullptr;
}

// Opens the stored name; false with FileNotFoundError set, formatted with
// `shown_name`.
bool open_file(ReaderState& s, PyObject* shown_name) {
    s.file = std::fopen(s.filename.c_str(), "rb");
    ++s.stream_serial;
    if (s.file == nullptr) {
        raise_no_such_file(shown_name);
        return false;
    }
    // Records are read field by field; a larger stream buffer turns that
    // into few system calls. It outlives the stream: close_file comes first.
    if (!s.stream_buffer) {
        s.stream_buffer.reset(new (std::nothrow) char[kStreamBuffer]);
    }
    if (s.stream_buffer) {
        std::setvbuf(s.file, s.stream_buffer.get(), _IOFBF, kStreamBuffer);
    }
    return true;
}

// Steps 2 to 8 of construction on an allocated reader. The type test of the
// argument is the one failure without a traceback entry.
bool construct(PyObject* self, PyObject* args, PyObject* kwds) {
    ReaderState& s = state(self);
    PyObject* filename = nullptr;
    if (!bind_args("__cinit__", args, kwds, &globals->s_filename, 1,
                   &filename)) {
        add_traceback(kCinitName);
        return false;
    }
    if (!PyUnicode_CheckExact(filename) && filename != Py_None) {
        PyErr_Format(globals->type_error,
                     "Argument '%.200s' has incorrect type (expected %.200s, "
                     "got %.200s)",
                     "filename", "str", Py_TYPE(filename)->tp_name);
        return false;
    }
    // str.encode called unbound, so None fails inside it with TypeError.
    Ref encoded =
        Ref::steal(PyObject_CallOneArg(globals->str_encode, filename));
    if (!encoded) {
        add_traceback(kCinitName);
        return false;
    }
    char* bytes;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &size) != 0) {
        add_traceback(kCinitName);
        return false;
    }
    s.filename.assign(bytes, static_cast<std::size_t>(size));
    // The C open would stop at a NUL and open some other file.
    if (std::memchr(bytes, '\0', static_cast<std::size_t>(size)) != nullptr) {
        PyErr_SetString(globals->value_error,
                        "embedded null character in filename");
        add_traceback(kCinitName);
        return false;
    }
    if (!open_file(s, filename)) {
        add_traceback(kCinitName);
        return false;
    }
    s.methods->read_header(reinterpret_cast<ReaderObject*>(self));
    if (int rc = close_file(s); rc != 0) {
        raise_close_failed(rc);
        add_traceback(kCinitName);
        return false;
    }
    return true;
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    // The type outlives a failed import (a traceback may hold it); readers
    // need the state that only a successful one leaves.
    if (globals == nullptr || globals->module == nullptr) {
        PyErr_SetString(PyExc_RuntimeError,
                        "kelvane.lmafmt is not initialised: its import "
                        "failed");
        return nullptr;
    }
    return at_border<PyObject*>([&]() -> PyObject* {
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        if (!self) {
            return nullptr;
        }
        ReaderState* s = new (&state(self.get())) ReaderState();
        s->methods = &globals->reader_methods;
        // On failure the half-built reader goes through reader_dealloc.
        return construct(self.get(), args, kwds) ? self.release() : nullptr;
    });
}

void reader_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    // A subclass's __del__ runs here only when no subclass deallocator has
    // run it already.
    if (type->tp_finalize != nullptr && type->tp_dealloc == reader_dealloc &&
        PyObject_CallFinalizerFromDealloc(self) < 0) {
        return;
    }
    ReaderState& s = state(self);
    {
        ErrorStash stash;
        if (int rc = close_file(s); rc != 0) {
            raise_close_failed(rc);
            report_unraisable(kDeallocName);
        }
    }
    s.~ReaderState();
    type->tp_free(self);
}

PyObject* reader_enter(PyObject* self, PyObject*) {
    ReaderState& s = state(self);
    // A second __enter__ replaces the stream; the old one must not leak.
    if (int rc = close_file(s); rc != 0) {
        raise_close_failed(rc);
        add_traceback(kEnterName);
        return nullptr;
    }
    Ref name = Ref::steal(PyBytes_FromStringAndSize(
        s.filename.data(), static_cast<Py_ssize_t>(s.filename.size())));
    if (!name || !open_file(s, name.get())) {
        add_traceback(kEnterName);
        return nullptr;
    }
    return new_ref(self);
}

PyObject* reader_exit(PyObject* self, PyObject* args, PyObject* kwds) {
    PyObject* const names[] = {globals->s_exc_type, globals->s_exc_val,
                               globals->s_exc_tb};
    PyObject* values[3];
    if (!bind_args("__exit__", args, kwds, names, 3, values)) {
        add_traceback(kExitName);
        return nullptr;
    }
    if (int rc = close_file(state(self)); rc != 0) {
        raise_close_failed(rc);
        add_traceback(kExitName);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* reader_reduce(PyObject*, PyObject*) {
    raise_with_args(globals->type_error, globals->args_reduce);
    add_traceback("kelvane.lmafmt.LmaReader.__reduce__");
    return nullptr;
}

PyObject* reader_setstate(PyObject*, PyObject*) {
    raise_with_args(globals->type_error, globals->args_setstate);
    add_traceback("kelvane.lmafmt.LmaReader.__setstate__");
    return nullptr;
}

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr char kDoc[] = R"(Deserializer of LMA format

LmaReader(filename) reads the header of the file once and closes it again;
the header values are read-only attributes. Inside a with block the file is
open and iterating over the reader yields one dictionary per event record:
{"tag": int, "channel<i>": float64 array of nsamples values, ...}, one key
per channel in use.

Data format:
All numbers are little-endian and packed without alignment.

1. Header part
    General block (50 bytes):
        int32    header size (bytes after this field)
        int16    num of channels
        int16    num of bytes
        float64  sample interval
        int32    num of samples
        float64  general field 6
        int16    general field 7
        float64  general field 8
        int16    general field 9
        uint32   used-channel mask (bit i: channel i in use)
        uint32   general field 11
        int16    general field 12
    Channel block (24 bytes), one per channel in use, ascending:
        int16    full scale
        int16    offset
        float64  gain
        int16    baseline
        int16    channel field 5
        int32    channel field 6
        int32    channel field 7

2. Event part
    Event head:
        int32    tag
        float64  horizontal position
    Then, per channel in use:
        int16    number of partial pulses
        per partial pulse:
            int32    index of its first sample (pulse info)
            int32    number of samples L (pulse info)
            L x int16 samples
    Each channel's trace is rebuilt as gain*(full pulse - baseline), with
    0.0 where no partial pulse lies.

Example:
    with LmaReader(filename) as r:
        for d in r:
            print(d)
            break
)";

}  // namespace

int close_file(ReaderState& s) noexcept {
    std::FILE* file = std::exchange(s.file, nullptr);
    return file == nullptr ? 0 : std::fclose(file);
}

PyMethodDef reader_methods[] = {
    {"__enter__", reader_enter, METH_NOARGS, nullptr},
    {"__exit__", as_cfunction(reader_exit), METH_VARARGS | METH_KEYWORDS,
     nullptr},
    {"__reduce__", reader_reduce, METH_NOARGS, nullptr},
    {"__setstate__", reader_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject ReaderType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvane.lmafmt.LmaReader",
    .tp_basicsize = sizeof(ReaderObject),
    .tp_itemsize = 0,
    .tp_dealloc = reader_dealloc,
    .tp_repr = reader_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = kDoc,
    .tp_iter = reader_iter,
    .tp_methods = reader_methods,
    .tp_getset = reader_getset,
    .tp_new = reader_new,
};

}  // namespace lmafmt
