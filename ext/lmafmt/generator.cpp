// A hand-written generator over a reader's events. Its body, run one step
// per resumption:
//   1. first step: refuse a closed reader; seek to pos_begin
//   2. loop: look one byte ahead; at end of file, finish
//   3. step back over the byte, decode the next event, yield it
// The generator never holds the stream: each step reads it from the reader,
// so every generator of a reader, pos_cur and __exit__ share one stream.
#include "glue.hpp"

#include <cstdio>
#include <new>
#include <structmember.h>

#include "errors.hpp"
#include "generator.hpp"
#include "lma/walk.hpp"
#include "reader.hpp"

namespace lmafmt {

namespace {

constexpr char kBodyName[] = "__iter__";
constexpr char kIterName[] = "kelvane.lmafmt.LmaReader.__iter__";

// ---- IterScope ---------------------------------------------------------

struct ScopeObject {
    PyObject_HEAD
    std::int32_t ret;  // result of the iteration's last seek
    PyObject* self;    // strong reference to the reader
};

// Released scopes kept for reuse: taken from and put back at the end.
constexpr int kScopeReuse = 8;
ScopeObject* scope_reuse[kScopeReuse];
int scope_reuse_count = 0;

ScopeObject* new_scope(PyObject* reader) {
    ScopeObject* scope;
    if (scope_reuse_count > 0) {
        scope = scope_reuse[--scope_reuse_count];
        PyObject_Init(reinterpret_cast<PyObject*>(scope), &ScopeType);
    } else {
        scope = PyObject_GC_New(ScopeObject, &ScopeType);
        if (scope == nullptr) {
            return nullptr;
        }
    }
    scope->ret = 0;
    scope->self = new_ref(reader);
    PyObject_GC_Track(scope);
    return scope;
}

void scope_dealloc(PyObject* obj) {
    auto* scope = reinterpret_cast<ScopeObject*>(obj);
    PyObject_GC_UnTrack(obj);
    Py_CLEAR(scope->self);
    if (scope_reuse_count < kScopeReuse) {
        scope_reuse[scope_reuse_count++] = scope;
    } else {
        PyObject_GC_Del(obj);
    }
}

int scope_traverse(PyObject* obj, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<ScopeObject*>(obj)->self);
    return 0;
}

int scope_clear(PyObject* obj) {
    Py_CLEAR(reinterpret_cast<ScopeObject*>(obj)->self);
    return 0;
}

// ---- Generator ---------------------------------------------------------

enum class Resume : char { not_started, suspended, finished };

struct GeneratorState {
    Ref scope;        // the IterScope, until the generator finishes
    Ref name;         // "__iter__"
    Ref qualname;     // "LmaReader.__iter__"
    Ref module_name;  // "kelvane.lmafmt"
    Resume at = Resume::not_started;
};

struct GeneratorObject {
    PyObject_HEAD
    GeneratorState g;
    PyObject* weakrefs;
    char running;  // set while the body runs
};

GeneratorState& gen_state(PyObject* self) {
    return reinterpret_cast<GeneratorObject*>(self)->g;
}

// Drops everything the generator holds. The members are emptied before any
// reference goes, as dropping the reader may run arbitrary code.
void finish(GeneratorState& g) {
    g.at = Resume::finished;
    Ref scope = std::move(g.scope);
    Ref name = std::move(g.name);
    Ref qualname = std::move(g.qualname);
    Ref module_name = std::move(g.module_name);
}

PyObject* fail_body(GeneratorState& g) {
    add_traceback(kBodyName);
    finish(g);
    return nullptr;
}

// One step of the body. Returns the next event (new reference); or nullptr
// with an exception set on failure, or without one at the end of the file.
PyObject* run_body(GeneratorState& g, bool throwing) {
    if (throwing) {
        return fail_body(g);
    }
    auto* scope = reinterpret_cast<ScopeObject*>(g.scope.get());
    PyObject* reader = scope->self;
    ReaderState& rs = state(reader);
    if (g.at == Resume::not_started) {
        if (rs.file == nullptr) {
            raise_closed();
            return fail_body(g);
        }
        lma::Status s = lma::seek_first_record(rs.file, rs.header);
        scope->ret = static_cast<std::int32_t>(s.value);
        if (!s.ok()) {
            raise_status(s);
            return fail_body(g);
        }
    }
    // The reader may have been closed while the generator was suspended.
    std::FILE* file = rs.file;
    if (file == nullptr) {
        raise_closed();
        return fail_body(g);
    }
    bool more = false;
    lma::Status s = lma::next_record(file, more);
    if (s.code == lma::Errc::seek) {
        scope->ret = static_cast<std::int32_t>(s.value);
    }
    if (!s.ok()) {
        raise_status(s);
        return fail_body(g);
    }
    if (!more) {
        finish(g);
        return nullptr;
    }
    PyObject* event =
        rs.methods->next(reinterpret_cast<ReaderObject*>(reader));
    if (event == nullptr) {
        return fail_body(g);
    }
    g.at = Resume::suspended;
    return event;
}

PyObject* raise_running() {
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return nullptr;
}

// Resumes with `value` (sent) or, when `throwing`, with the pending
// exception. `iternext`: the end of the body is reported without
// StopIteration, as tp_iternext may.
PyObject* resume(PyObject* self, PyObject* value, bool throwing,
                 bool iternext) {
    auto* gen = reinterpret_cast<GeneratorObject*>(self);
    GeneratorState& g = gen->g;
    if (g.at == Resume::finished) {
        if (!throwing && !iternext) {
            PyErr_SetNone(PyExc_StopIteration);
        }
        return nullptr;
    }
    if (g.at == Resume::not_started && !throwing && value != Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "can't send non-None value to a just-started "
                        "generator");
        return nullptr;
    }
    // Holds the generator while its body runs, since the body may drop
    // the last other reference to it.
    Ref hold = Ref::new_ref(self);
    gen->running = 1;
    PyObject* result = at_border<PyObject*>(
        [&]() -> PyObject* { return run_body(g, throwing); });
    gen->running = 0;
    if (result == nullptr && !iternext && !PyErr_Occurred()) {
        PyErr_SetNone(PyExc_StopIteration);
    }
    return result;
}

PyObject* generator_iternext(PyObject* self) {
    if (reinterpret_cast<GeneratorObject*>(self)->running) {
        return raise_running();
    }
    return resume(self, Py_None, false, true);
}

PyObject* generator_send(PyObject* self, PyObject* value) {
    if (reinterpret_cast<GeneratorObject*>(self)->running) {
        return raise_running();
    }
    return resume(self, value, false, false);
}

PyObject* generator_throw(PyObject* self, PyObject* args) {
    PyObject *typ, *val = nullptr, *tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb)) {
        return nullptr;
    }
    if (reinterpret_cast<GeneratorObject*>(self)->running) {
        return raise_running();
    }
    // Arguments that cannot be raised leave a TypeError pending, which is
    // thrown in their place.
    raise_object(typ, val, tb);
    return resume(self, nullptr, true, false);
}

PyObject* generator_close(PyObject* self, PyObject*) {
    auto* gen = reinterpret_cast<GeneratorObject*>(self);
    if (gen->running) {
        return raise_running();
    }
    if (gen->g.at == Resume::finished) {
        Py_RETURN_NONE;
    }
    PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* result = resume(self, nullptr, true, false);
    if (result != nullptr) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
        return nullptr;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
        PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

void generator_finalize(PyObject* self) {
    if (gen_state(self).at != Resume::suspended) {
        return;
    }
    ErrorStash stash;
    Ref result = Ref::steal(generator_close(self, nullptr));
    if (!result) {
        PyErr_WriteUnraisable(self);
    }
}

int generator_traverse(PyObject* self, visitproc visit, void* arg) {
    GeneratorState& g = gen_state(self);
    Py_VISIT(g.scope.get());
    Py_VISIT(g.name.get());
    Py_VISIT(g.qualname.get());
    Py_VISIT(g.module_name.get());
    return 0;
}

// The collector finalises (closes) a generator before clearing it, so a
// cleared generator counts as finished: nothing can resume it scope-less.
int generator_clear(PyObject* self) {
    finish(gen_state(self));
    return 0;
}

void generator_dealloc(PyObject* self) {
    auto* gen = reinterpret_cast<GeneratorObject*>(self);
    PyObject_GC_UnTrack(self);
    if (gen->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    if (gen->g.at == Resume::suspended) {
        // The finaliser closes it; it may also resurrect it.
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) != 0) {
            return;
        }
        PyObject_GC_UnTrack(self);
    }
    gen->g.~GeneratorState();
    PyObject_GC_Del(self);
}

PyObject* get_name(PyObject* self, void*) {
    PyObject* name = gen_state(self).name.get();
    return new_ref(name == nullptr ? Py_None : name);
}

PyObject* get_qualname(PyObject* self, void*) {
    PyObject* name = gen_state(self).qualname.get();
    return new_ref(name == nullptr ? Py_None : name);
}

int set_text(Ref& slot, PyObject* value, const char* message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Ref old = std::exchange(slot, Ref::new_ref(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(gen_state(self).name, value,
                    "__name__ must be set to a string object");
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(gen_state(self).qualname, value,
                    "__qualname__ must be set to a string object");
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMethodDef generator_methods[] = {
    {"send", generator_send, METH_O,
     "send(arg) -> send 'arg' into generator,\nreturn next yielded value or "
     "raise StopIteration."},
    {"throw", generator_throw, METH_VARARGS,
     "throw(typ[,val[,tb]]) -> raise exception in generator,\nreturn next "
     "yielded value or raise StopIteration."},
    {"close", generator_close, METH_NOARGS,
     "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef generator_members[] = {
    {"gi_running", T_BOOL, offsetof(GeneratorObject, running), READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef generator_getset[] = {
    {"__name__", get_name, set_name, "name of the generator", nullptr},
    {"__qualname__", get_qualname, set_qualname,
     "qualified name of the generator", nullptr},
    {"gi_yieldfrom", get_none, nullptr,
     "object being iterated by 'yield from', or None", nullptr},
    {"gi_code", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* reader_iter(PyObject* self) {
    Ref scope = Ref::steal(reinterpret_cast<PyObject*>(new_scope(self)));
    GeneratorObject* gen =
        scope ? PyObject_GC_New(GeneratorObject, &GeneratorType) : nullptr;
    if (gen == nullptr) {
        add_traceback(kIterName);
        return nullptr;
    }
    new (&gen->g) GeneratorState();
    gen->weakrefs = nullptr;
    gen->running = 0;
    gen->g.scope = std::move(scope);
    gen->g.name = Ref::new_ref(globals->s_iter);
    gen->g.qualname = Ref::new_ref(globals->s_iter_qualname);
    gen->g.module_name = Ref::new_ref(globals->s_module_name);
    PyObject_GC_Track(gen);
    return reinterpret_cast<PyObject*>(gen);
}

PyTypeObject ScopeType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvane.lmafmt.IterScope",
    .tp_basicsize = sizeof(ScopeObject),
    .tp_itemsize = 0,
    .tp_dealloc = scope_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = scope_traverse,
    .tp_clear = scope_clear,
};

PyTypeObject GeneratorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "generator",
    .tp_basicsize = sizeof(GeneratorObject),
    .tp_itemsize = 0,
    .tp_dealloc = generator_dealloc,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = generator_traverse,
    .tp_clear = generator_clear,
    .tp_weaklistoffset = offsetof(GeneratorObject, weakrefs),
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = generator_iternext,
    .tp_methods = generator_methods,
    .tp_members = generator_members,
    .tp_getset = generator_getset,
    .tp_finalize = generator_finalize,
};

}  // namespace lmafmt
