#include "globals.hpp"

#include "lma/messages.hpp"

namespace lmafmt {

Globals* globals = nullptr;

namespace {

bool make_text(PyObject*& slot, const char* text, bool intern) {
    if (slot != nullptr) {
        return true;
    }
    PyObject* s = intern ? PyUnicode_InternFromString(text)
                         : PyUnicode_FromString(text);
    if (s == nullptr || PyObject_Hash(s) == -1) {
        Py_XDECREF(s);
        return false;
    }
    slot = s;
    return true;
}

}  // namespace

bool make_constants(Globals& g) {
    const struct {
        PyObject*& slot;
        const char* text;
        bool intern;
    } texts[] = {
        {g.msg_close, lma::kCloseTemplate, false},
        {g.msg_read, lma::kReadTemplate, false},
        {g.msg_seek, lma::kSeekTemplate, false},
        {g.msg_no_file, "No such a file: {}!", false},
        {g.msg_closed, lma::kClosedMessage, false},
        {g.tmpl_repr, "LmaReader({})", false},
        {g.tmpl_channel, "channel{}", false},
        {g.msg_reduce, "no default __reduce__ due to non-trivial __cinit__",
         false},
        {g.s_format, "format", true},
        {g.s_filename, "filename", true},
        {g.s_exc_type, "exc_type", true},
        {g.s_exc_val, "exc_val", true},
        {g.s_exc_tb, "exc_tb", true},
        {g.s_file_not_found, "FileNotFoundError", true},
        {g.s_zeros, "zeros", true},
        {g.s_empty, "empty", true},
        {g.s_dtype, "dtype", true},
        {g.s_float64, "float64", true},
        {g.s_int16, "int16", true},
        {g.s_astype, "astype", true},
        {g.s_tag, "tag", true},
        {g.s_fullscale, "fullscale", true},
        {g.s_offset, "offset", true},
        {g.s_baseline, "baseline", true},
        {g.s_gain, "gain", true},
        {g.s_iter, "__iter__", true},
        {g.s_iter_qualname, "LmaReader.__iter__", true},
        {g.s_module_name, "kelvane.lmafmt", true},
    };
    for (const auto& t : texts) {
        if (!make_text(t.slot, t.text, t.intern)) {
            return false;
        }
    }
    if (g.kwnames_dtype == nullptr &&
        (g.kwnames_dtype = PyTuple_Pack(1, g.s_dtype)) == nullptr) {
        return false;
    }
    if (g.str_encode == nullptr &&
        (g.str_encode = PyObject_GetAttrString(
             reinterpret_cast<PyObject*>(&PyUnicode_Type), "encode")) ==
            nullptr) {
        return false;
    }
    for (int i = 0; i < kMaxChannels; ++i) {
        if (g.channel_keys[i] != nullptr) {
            continue;
        }
        Ref num = Ref::steal(PyLong_FromLong(i));
        Ref key = num ? Ref::steal(PyObject_CallMethodObjArgs(
                            g.tmpl_channel, g.s_format, num.get(), nullptr))
                      : Ref();
        if (!key) {
            return false;
        }
        PyObject* k = key.release();
        PyUnicode_InternInPlace(&k);
        if (PyObject_Hash(k) == -1) {
            Py_DECREF(k);
            return false;
        }
        g.channel_keys[i] = k;
    }
    return true;
}

PyObject* lookup_global(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(globals->module_dict, name);
    if (v == nullptr && !PyErr_Occurred()) {
        v = PyDict_GetItemWithError(PyModule_GetDict(globals->builtins), name);
        if (v == nullptr && !PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
    }
    return v == nullptr ? nullptr : new_ref(v);
}

}  // namespace lmafmt
