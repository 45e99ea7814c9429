// From lma statuses and header faults to Python exceptions. The kinds and
// texts come from lma/messages.hpp, so damage reads exactly as the reader
// raises it.
#include <cerrno>
#include <new>
#include <string>

#include "lma/check.hpp"
#include "lma/messages.hpp"
#include "native_file.hpp"

namespace lmafile {

namespace {

PyObject* exception_class(lma::ErrorKind kind) noexcept {
    switch (kind) {
    case lma::ErrorKind::os_error:
        return PyExc_OSError;
    case lma::ErrorKind::index_error:
        return PyExc_IndexError;
    case lma::ErrorKind::value_error:
        return PyExc_ValueError;
    case lma::ErrorKind::memory_error:
        return PyExc_MemoryError;
    case lma::ErrorKind::runtime_error:
        return PyExc_RuntimeError;
    case lma::ErrorKind::system_error:
        break;
    }
    return PyExc_SystemError;
}

// The message for `s`; false with MemoryError set.
bool message_of(const lma::Status& s, lma::Message& out) noexcept {
    try {
        out = lma::message_for(s);
        return true;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

// A class of kelvane.damage, imported when needed: those classes are pure
// Python and shared with the other reader. A new reference, or nullptr
// with an exception set.
Ref damage_class(const char* name) noexcept {
    Ref module = Ref::steal(PyImport_ImportModule("kelvane.damage"));
    return module ? Ref::steal(PyObject_GetAttrString(module.get(), name))
                  : Ref();
}

// Raises `exc`, an exception instance, if there is one.
void raise_instance(const Ref& exc) noexcept {
    if (exc) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())),
                        exc.get());
    }
}

PyObject* raise_replaced(const lma::Status& s, PyObject* filename) noexcept {
    lma::Message m;
    if (!message_of(s, m)) {
        return nullptr;
    }
    Ref cls = damage_class("FileReplacedError");
    if (!cls) {
        return nullptr;
    }
    raise_instance(Ref::steal(PyObject_CallFunction(
        cls.get(), "Os", filename != nullptr ? filename : Py_None,
        m.text.c_str())));
    return nullptr;
}

}  // namespace

PyObject* raise_closed() noexcept {
    PyErr_SetString(PyExc_ValueError, "I/O operation on closed file.");
    return nullptr;
}

PyObject* raise_status(const lma::Status& s, PyObject* filename) noexcept {
    if (s.code == lma::Errc::os) {
        errno = static_cast<int>(s.value);
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    }
    if (s.code == lma::Errc::no_memory) {
        return PyErr_NoMemory();
    }
    if (s.code == lma::Errc::closed) {
        return raise_closed();
    }
    if (s.code == lma::Errc::replaced) {
        return raise_replaced(s, filename);
    }
    if (s.code == lma::Errc::not_regular) {
        // An OSError with an errno and the file name, as a failed open
        // gives, but the reason in words: no errno says it.
        Ref exc = Ref::steal(PyObject_CallFunction(
            PyExc_OSError, "isO", EINVAL, lma::kNotRegularMessage,
            filename != nullptr ? filename : Py_None));
        if (exc) {
            PyErr_SetObject(PyExc_OSError, exc.get());
        }
        return nullptr;
    }
    lma::Message m;
    if (message_of(s, m)) {
        PyErr_SetString(exception_class(m.kind), m.text.c_str());
    }
    return nullptr;
}

PyObject* damage_error(const lma::Status& s) noexcept {
    lma::Message m;
    if (!message_of(s, m)) {
        return nullptr;
    }
    if (m.kind == lma::ErrorKind::memory_error) {
        return PyObject_CallNoArgs(PyExc_MemoryError);
    }
    // One argument, the message, as the reader raises it.
    return PyObject_CallFunction(exception_class(m.kind), "s",
                                 m.text.c_str());
}

PyObject* raise_for_file(const FileState& s, const lma::Status& st)
    noexcept {
    Ref name = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
        s.name.data(), static_cast<Py_ssize_t>(s.name.size())));
    return name ? raise_status(st, name.get()) : nullptr;
}

PyObject* raise_read_failure(const FileState& s, const lma::Stop& stop)
    noexcept {
    if (!is_record_damage(stop.status.code) &&
        stop.status.code != lma::Errc::changed) {
        return raise_for_file(s, stop.status);
    }
    // The file no longer holds what was indexed: say which record.
    lma::Message m;
    if (message_of(stop.status, m)) {
        PyErr_Format(exception_class(m.kind),
                     "%s: event %lld at byte %lld: %s", s.name.c_str(),
                     static_cast<long long>(stop.event),
                     static_cast<long long>(stop.offset), m.text.c_str());
    }
    return nullptr;
}

PyObject* raise_header_fault(PyObject* filename,
                             const lma::HeaderFault& fault) noexcept {
    Ref cls = damage_class(fault.incomplete ? "IncompleteHeaderError"
                                            : "DamagedHeaderError");
    if (!cls) {
        return nullptr;
    }
    Ref value = Ref::steal(fault.is_float
                               ? PyFloat_FromDouble(fault.float_value)
                               : PyLong_FromLongLong(fault.int_value));
    if (!value) {
        return nullptr;
    }
    const char* field = fault.field.data();
    const auto field_size = static_cast<Py_ssize_t>(fault.field.size());
    const char* problem = fault.problem.data();
    const auto problem_size = static_cast<Py_ssize_t>(fault.problem.size());
    // The incomplete kind takes the file's size in place of a cause.
    raise_instance(Ref::steal(
        fault.incomplete
            ? PyObject_CallFunction(cls.get(), "OLs#Os#", filename,
                                    static_cast<long long>(fault.file_size),
                                    field, field_size, value.get(), problem,
                                    problem_size)
            : PyObject_CallFunction(cls.get(), "OOs#Os#", filename, Py_None,
                                    field, field_size, value.get(), problem,
                                    problem_size)));
    return nullptr;
}

}  // namespace lmafile
