// Process-wide state: made once by the module's exec slot and never freed,
// since the module serves one interpreter and is never unloaded. Every
// PyObject* here is a strong reference held for good.
#pragma once

#include <cstdint>

#include "glue.hpp"

namespace lmafmt {

struct ReaderObject;

// The reader's two private operations, reachable only from the module.
struct ReaderMethods {
    void (*read_header)(ReaderObject*);
    PyObject* (*next)(ReaderObject*);  // new reference, or nullptr + error
};

// Channels from 32 up are never in use, so their keys fit in a table.
constexpr int kMaxChannels = 32;

struct Globals {
    // Module and namespace; null again after a failed exec.
    PyObject* module = nullptr;
    PyObject* module_dict = nullptr;
    PyObject* builtins = nullptr;

    // Builtins looked up once at import.
    PyObject* io_error = nullptr;
    PyObject* range = nullptr;
    PyObject* type_error = nullptr;
    PyObject* value_error = nullptr;
    PyObject* runtime_error = nullptr;
    PyObject* import_error = nullptr;

    // Message templates (plain str) filled with str.format.
    PyObject* msg_close = nullptr;      // "Fail to close a file: {}!"
    PyObject* msg_read = nullptr;       // "Fail to read a block: {}!"
    PyObject* msg_seek = nullptr;       // "Fail to seek a position: {}!"
    PyObject* msg_no_file = nullptr;    // "No such a file: {}!"
    PyObject* msg_closed = nullptr;     // "File is closed!"
    PyObject* tmpl_repr = nullptr;      // "LmaReader({})"
    PyObject* tmpl_channel = nullptr;   // "channel{}"
    PyObject* msg_reduce = nullptr;

    // Interned names and keys.
    PyObject* s_format = nullptr;
    PyObject* s_filename = nullptr;
    PyObject* s_exc_type = nullptr;
    PyObject* s_exc_val = nullptr;
    PyObject* s_exc_tb = nullptr;
    PyObject* s_file_not_found = nullptr;
    PyObject* s_zeros = nullptr;
    PyObject* s_empty = nullptr;
    PyObject* s_dtype = nullptr;
    PyObject* s_float64 = nullptr;
    PyObject* s_int16 = nullptr;
    PyObject* s_astype = nullptr;
    PyObject* s_tag = nullptr;
    PyObject* s_fullscale = nullptr;
    PyObject* s_offset = nullptr;
    PyObject* s_baseline = nullptr;
    PyObject* s_gain = nullptr;
    PyObject* s_iter = nullptr;         // "__iter__"
    PyObject* s_iter_qualname = nullptr;  // "LmaReader.__iter__"
    PyObject* s_module_name = nullptr;  // "kelvane.lmafmt"
    PyObject* kwnames_dtype = nullptr;  // ("dtype",)
    PyObject* str_encode = nullptr;     // str.encode, called unbound
    PyObject* channel_keys[kMaxChannels] = {};

    // Argument tuples of the fixed exceptions.
    PyObject* args_closed = nullptr;
    PyObject* args_reduce = nullptr;
    PyObject* args_setstate = nullptr;

    // Imported types, checked at import.
    PyObject* type_type = nullptr;
    PyObject* np_dtype = nullptr;
    PyObject* np_flatiter = nullptr;
    PyObject* np_broadcast = nullptr;
    PyObject* np_ndarray = nullptr;
    PyObject* np_ufunc = nullptr;

    // What `zeros` and `empty` were bound to at import: while the module's
    // names still hold these, events are decoded natively.
    PyObject* bound_zeros = nullptr;
    PyObject* bound_empty = nullptr;

    ReaderMethods reader_methods{};
};

// Null until the first exec slot runs.
extern Globals* globals;

// Fills every constant text of `g` that is still missing; false with an
// exception set.
bool make_constants(Globals& g);

// Looks `name` up in the module namespace, then among the builtins, as a
// global name would be. New reference, or nullptr with NameError set.
PyObject* lookup_global(PyObject* name);

}  // namespace lmafmt
