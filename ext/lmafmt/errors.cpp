#include "errors.hpp"

#include <frameobject.h>

#include <cerrno>

#include "globals.hpp"
#include "lma/messages.hpp"

namespace lmafmt {

namespace {

constexpr char kSourceFile[] = "kelvane/lmafmt";
constexpr int kLine = 1;

}  // namespace

void add_traceback(const char* funcname) noexcept {
    Ref code, frame, frame_globals;
    {
        // Building the frame must not see or disturb the exception.
        ErrorStash stash;
        code = Ref::steal(reinterpret_cast<PyObject*>(
            PyCode_NewEmpty(kSourceFile, funcname, kLine)));
        frame_globals = Ref::steal(PyDict_New());
        if (code && frame_globals) {
            frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                PyThreadState_Get(),
                reinterpret_cast<PyCodeObject*>(code.get()),
                frame_globals.get(), nullptr)));
        }
        PyErr_Clear();
    }
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

void report_unraisable(const char* name) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref context = Ref::steal(PyUnicode_FromString(name));
    PyErr_Clear();
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(tb);
    PyErr_Restore(type, value, tb);
    PyErr_PrintEx(1);
    PyErr_Restore(type, value, tb);
    PyErr_WriteUnraisable(context ? context.get() : Py_None);
    PyErr_Clear();
}

bool raise_object(PyObject* typ, PyObject* val, PyObject* tb) noexcept {
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb != nullptr && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError,
                        "raise: arg 3 must be a traceback or None");
        return false;
    }
    if (val == Py_None) {
        val = nullptr;
    }
    Ref instance;
    if (PyExceptionInstance_Check(typ)) {
        if (val != nullptr) {
            PyErr_SetString(PyExc_TypeError,
                            "instance exception may not have a separate "
                            "value");
            return false;
        }
        instance = Ref::new_ref(typ);
    } else if (PyExceptionClass_Check(typ)) {
        int is_instance = val == nullptr ? 0 : PyObject_IsInstance(val, typ);
        if (is_instance < 0) {
            return false;
        }
        if (is_instance) {
            instance = Ref::new_ref(val);
        } else {
            Ref args = val == nullptr     ? Ref::steal(PyTuple_New(0))
                       : PyTuple_Check(val) ? Ref::new_ref(val)
                                          : Ref::steal(PyTuple_Pack(1, val));
            if (!args) {
                return false;
            }
            instance = Ref::steal(PyObject_Call(typ, args.get(), nullptr));
            if (!instance) {
                return false;
            }
            if (!PyExceptionInstance_Check(instance.get())) {
                PyErr_Format(PyExc_TypeError,
                             "calling %R should have returned an instance of "
                             "BaseException, not %R",
                             typ, Py_TYPE(instance.get()));
                return false;
            }
        }
    } else {
        PyErr_SetString(PyExc_TypeError,
                        "raise: exception class must be a subclass of "
                        "BaseException");
        return false;
    }
    if (tb != nullptr && PyException_SetTraceback(instance.get(), tb) < 0) {
        return false;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())),
                    instance.get());
    return true;
}

PyObject* raise_with_args(PyObject* exc_class, PyObject* args) noexcept {
    // The class may be any object bound to the name: raise what calling
    // it gives, as a raise statement would.
    Ref exc = Ref::steal(PyObject_Call(exc_class, args, nullptr));
    if (exc) {
        raise_object(exc.get(), nullptr, nullptr);
    }
    return nullptr;
}

PyObject* raise_formatted(PyObject* exc_class, PyObject* templ,
                          PyObject* arg) noexcept {
    Ref msg = Ref::steal(
        PyObject_CallMethodObjArgs(templ, globals->s_format, arg, nullptr));
    if (!msg) {
        return nullptr;
    }
    Ref args = Ref::steal(PyTuple_Pack(1, msg.get()));
    return args ? raise_with_args(exc_class, args.get()) : nullptr;
}

PyObject* raise_formatted(PyObject* exc_class, PyObject* templ,
                          long arg) noexcept {
    Ref num = Ref::steal(PyLong_FromLong(arg));
    return num ? raise_formatted(exc_class, templ, num.get()) : nullptr;
}

PyObject* raise_closed() noexcept {
    return raise_with_args(globals->io_error, globals->args_closed);
}

PyObject* raise_close_failed(int rc) noexcept {
    return raise_formatted(globals->io_error, globals->msg_close, rc);
}

PyObject* raise_status(const lma::Status& s) noexcept {
    switch (s.code) {
    case lma::Errc::read:
        return raise_formatted(globals->io_error, globals->msg_read, s.value);
    case lma::Errc::seek:
        return raise_formatted(globals->io_error, globals->msg_seek, s.value);
    case lma::Errc::no_memory:
        return PyErr_NoMemory();
    case lma::Errc::closed:
        return raise_closed();
    case lma::Errc::inconsistent:
        PyErr_SetString(PyExc_RuntimeError, lma::kInconsistentMessage);
        return nullptr;
    case lma::Errc::negative_length:
        // The text NumPy gives for an array of negative size.
        PyErr_SetString(PyExc_ValueError, lma::kNegativeLengthMessage);
        return nullptr;
    case lma::Errc::empty_pulse:
        PyErr_Format(PyExc_IndexError, lma::kEmptyPulseFormat, 0);
        return nullptr;
    case lma::Errc::broadcast:
        PyErr_Format(PyExc_ValueError, lma::kBroadcastFormat, s.value,
                     s.extra);
        return nullptr;
    case lma::Errc::os:
        errno = static_cast<int>(s.value);
        return PyErr_SetFromErrno(PyExc_OSError);
    case lma::Errc::changed:
        PyErr_SetString(PyExc_OSError, lma::kChangedMessage);
        return nullptr;
    case lma::Errc::sink:
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "sink failed without error");
        }
        return nullptr;
    case lma::Errc::not_regular:  // only File::open and the checks of
    case lma::Errc::replaced:     // an open File, which the reader does
    case lma::Errc::ok:           // not use
        break;
    }
    PyErr_SetString(PyExc_SystemError, "unexpected decoder status");
    return nullptr;
}

}  // namespace lmafmt
