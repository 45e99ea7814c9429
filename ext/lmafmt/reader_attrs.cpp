// The read-only attributes and the representation of LmaReader. Every read
// builds a new object from the reader's fields.
#include "errors.hpp"
#include "reader.hpp"

namespace lmafmt {

namespace {

#define LMAFMT_GETTER_NAME(attr) "kelvane.lmafmt.LmaReader." attr ".__get__"

// Adds the attribute's traceback entry when the getter failed.
PyObject* checked(PyObject* result, const char* name) {
    if (result == nullptr) {
        add_traceback(name);
    }
    return result;
}

PyObject* get_filename(PyObject* self, void*) {
    const std::string& name = state(self).filename;
    return checked(PyUnicode_DecodeUTF8(name.data(),
                                        static_cast<Py_ssize_t>(name.size()),
                                        "strict"),
                   LMAFMT_GETTER_NAME("filename"));
}

PyObject* get_pos_begin(PyObject* self, void*) {
    return checked(PyLong_FromLongLong(state(self).header.pos_begin),
                   LMAFMT_GETTER_NAME("pos_begin"));
}

PyObject* get_pos_end(PyObject* self, void*) {
    return checked(PyLong_FromLongLong(state(self).header.pos_end),
                   LMAFMT_GETTER_NAME("pos_end"));
}

PyObject* get_pos_cur(PyObject* self, void*) {
    // A closed reader has no stream to ask.
    std::FILE* file = state(self).file;
    return checked(file == nullptr ? raise_closed()
                                   : PyLong_FromLong(std::ftell(file)),
                   LMAFMT_GETTER_NAME("pos_cur"));
}

PyObject* get_nchannels(PyObject* self, void*) {
    return checked(PyLong_FromLong(state(self).header.nchannels),
                   LMAFMT_GETTER_NAME("nchannels"));
}

PyObject* get_nsamples(PyObject* self, void*) {
    return checked(PyLong_FromLong(state(self).header.nsamples),
                   LMAFMT_GETTER_NAME("nsamples"));
}

PyObject* get_sample_interval(PyObject* self, void*) {
    return checked(PyFloat_FromDouble(state(self).header.sample_interval),
                   LMAFMT_GETTER_NAME("sample_interval"));
}

PyObject* make_channels(const lma::Header& h) {
    Ref list = Ref::steal(
        PyList_New(static_cast<Py_ssize_t>(h.channels.size())));
    for (std::size_t i = 0; list && i < h.channels.size(); ++i) {
        PyObject* item = PyLong_FromLong(h.channels[i]);
        if (item == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* get_channels(PyObject* self, void*) {
    return checked(make_channels(state(self).header),
                   LMAFMT_GETTER_NAME("channels"));
}

bool set_item(PyObject* dict, PyObject* key, Ref value) {
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

PyObject* make_channel_info(const lma::Header& h) {
    Ref list = Ref::steal(
        PyList_New(static_cast<Py_ssize_t>(h.channel_info.size())));
    for (std::size_t i = 0; list && i < h.channel_info.size(); ++i) {
        const lma::Channel& ch = h.channel_info[i];
        Ref d = Ref::steal(PyDict_New());
        if (!d ||
            !set_item(d.get(), globals->s_fullscale,
                      Ref::steal(PyLong_FromLong(ch.fullscale))) ||
            !set_item(d.get(), globals->s_offset,
                      Ref::steal(PyLong_FromLong(ch.offset))) ||
            !set_item(d.get(), globals->s_baseline,
                      Ref::steal(PyLong_FromLong(ch.baseline))) ||
            !set_item(d.get(), globals->s_gain,
                      Ref::steal(PyFloat_FromDouble(ch.gain)))) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), d.release());
    }
    return list.release();
}

PyObject* get_channel_info(PyObject* self, void*) {
    return checked(make_channel_info(state(self).header),
                   LMAFMT_GETTER_NAME("channel_info"));
}

#undef LMAFMT_GETTER_NAME

}  // namespace

PyObject* reader_repr(PyObject* self) {
    // Through the ordinary lookup, so a subclass's `filename` shows.
    Ref name = Ref::steal(PyObject_GetAttr(self, globals->s_filename));
    Ref text = name ? Ref::steal(PyObject_CallMethodObjArgs(
                          globals->tmpl_repr, globals->s_format, name.get(),
                          nullptr))
                    : Ref();
    return checked(text.release(), "kelvane.lmafmt.LmaReader.__repr__");
}

PyGetSetDef reader_getset[] = {
    {"filename", get_filename, nullptr, nullptr, nullptr},
    {"pos_begin", get_pos_begin, nullptr, nullptr, nullptr},
    {"pos_end", get_pos_end, nullptr, nullptr, nullptr},
    {"pos_cur", get_pos_cur, nullptr, nullptr, nullptr},
    {"nchannels", get_nchannels, nullptr, nullptr, nullptr},
    {"nsamples", get_nsamples, nullptr, nullptr, nullptr},
    {"sample_interval", get_sample_interval, nullptr, nullptr, nullptr},
    {"channels", get_channels, nullptr, nullptr, nullptr},
    {"channel_info", get_channel_info, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace lmafmt
