#include "checks.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// NumPy's headers are read for struct sizes only; its C function table is
// never imported. Sizes are taken at the API level of the NumPy built
// against, which is the oldest NumPy the module then accepts.
#define NPY_NO_DEPRECATED_API NPY_API_VERSION
#define NPY_TARGET_VERSION NPY_API_VERSION
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#define PY_ARRAY_UNIQUE_SYMBOL kelvane_lmafmt_unused_array_api
#define PY_UFUNC_UNIQUE_SYMBOL kelvane_lmafmt_unused_ufunc_api
#include <numpy/ndarrayobject.h>
#include <numpy/ufuncobject.h>


namespace lmafmt {

namespace {

constexpr char kModuleName[] = "kelvane.lmafmt";
constexpr int kMaxWarning = 200;  // warning texts are cut to 199 chars

// Identity of the interpreter that first created the module; -1 for none.
std::int64_t interpreter_id = -1;
// Set once the generator type is registered; survives a failed import.
bool registered = false;

bool warn(const char* text, int stacklevel) {
    return PyErr_WarnEx(PyExc_RuntimeWarning, text, stacklevel) == 0;
}

// Runs M.Generator.register(generator_type) where M has a Generator.
bool register_on(PyObject* abc_module, PyObject* generator_type) {
    Ref generator = Ref::steal(PyObject_GetAttrString(abc_module,
                                                      "Generator"));
    if (!generator) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return true;
        }
    } else {
        Ref done = Ref::steal(PyObject_CallMethod(generator.get(), "register",
                                                  "O", generator_type));
        if (done) {
            return true;
        }
    }
    PyErr_WriteUnraisable(abc_module);
    Ref name = Ref::steal(PyObject_GetAttrString(abc_module, "__name__"));
    PyErr_Clear();
    char text[kMaxWarning];
    std::snprintf(text, sizeof text,
                  "%s failed to patch module %s with custom type",
                  kModuleName,
                  name && PyUnicode_Check(name.get())
                      ? PyUnicode_AsUTF8(name.get())
                      : "?");
    PyErr_Clear();
    return warn(text, 1);
}

}  // namespace

bool interpreter_guard() {
    PyInterpreterState* interp =
        PyThreadState_GetInterpreter(PyThreadState_Get());
    std::int64_t current = PyInterpreterState_GetID(interp);
    if (interpreter_id == -1) {
        interpreter_id = current;
        if (current == -1) {
            return false;
        }
    } else if (current != interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only "
                        "be loaded into one interpreter per process.");
        return false;
    }
    return true;
}

// Copies at most three characters of `text`, as the check compares them.
void first_three(char (&out)[4], const char* text) {
    std::size_t n = 0;
    for (; n < 3 && text[n] != '\0'; ++n) {
        out[n] = text[n];
    }
    out[n] = '\0';
}

bool version_check() {
    // Only the major digit and the first digit of the minor number take
    // part: the texts are three characters long.
    char full[32];
    std::snprintf(full, sizeof full, "%d.%d", PY_MAJOR_VERSION,
                  PY_MINOR_VERSION);
    char built[4];
    char running[4];
    first_three(built, full);
    first_three(running, Py_GetVersion());
    if (built[0] == running[0] && built[2] == running[2]) {
        return true;
    }
    char text[kMaxWarning];
    std::snprintf(text, sizeof text,
                  "compiletime version %s of module '%.100s' does not match "
                  "runtime version %s",
                  built, kModuleName, running);
    return warn(text, 1);
}

ExpectedSizes expected_sizes() noexcept {
    return {
        static_cast<Py_ssize_t>(sizeof(PyHeapTypeObject)),
        static_cast<Py_ssize_t>(sizeof(PyArray_Descr)),
        static_cast<Py_ssize_t>(sizeof(PyArrayIterObject)),
        // The headers leave the iterator array's length open (C++ sees a
        // stand-in); NumPy sizes it NPY_MAXARGS.
        static_cast<Py_ssize_t>(offsetof(PyArrayMultiIterObject, iters) +
                                NPY_MAXARGS * sizeof(PyArrayIterObject*)),
        static_cast<Py_ssize_t>(sizeof(PyArrayObject_fields)),
        static_cast<Py_ssize_t>(sizeof(PyUFuncObject)),
    };
}

PyObject* import_type(PyObject* module, const char* module_name,
                      const char* type_name, Py_ssize_t expected,
                      SizePolicy policy) {
    Ref obj = Ref::steal(PyObject_GetAttrString(module, type_name));
    if (!obj) {
        return nullptr;
    }
    if (!PyType_Check(obj.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object",
                     module_name, type_name);
        return nullptr;
    }
    const Py_ssize_t actual =
        reinterpret_cast<PyTypeObject*>(obj.get())->tp_basicsize;
    if (actual < expected ||
        (actual > expected && policy == SizePolicy::error)) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary "
                     "incompatibility. Expected %zd from C header, got %zd "
                     "from PyObject",
                     module_name, type_name, expected, actual);
        return nullptr;
    }
    if (actual > expected && policy == SizePolicy::warn) {
        char text[kMaxWarning];
        std::snprintf(text, sizeof text,
                      "%s.%s size changed, may indicate binary "
                      "incompatibility. Expected %zd from C header, got %zd "
                      "from PyObject",
                      module_name, type_name, expected, actual);
        if (!warn(text, 0)) {
            return nullptr;
        }
    }
    return obj.release();
}

bool register_with_abc(PyObject* generator_type) {
    if (registered) {
        return true;
    }
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) {
        PyErr_WriteUnraisable(nullptr);
        char text[kMaxWarning];
        std::snprintf(text, sizeof text,
                      "%s failed to register with collections.abc module",
                      kModuleName);
        if (!warn(text, 1)) {
            return false;
        }
    } else {
        if (!register_on(abc.get(), generator_type)) {
            return false;
        }
        registered = true;
    }
    // The backport is optional: a failed registration on it is reported
    // and warned about like any other, but never fails the import.
    Ref backport = Ref::steal(PyImport_ImportModule("backports_abc"));
    if (backport && !register_on(backport.get(), generator_type)) {
        PyErr_Clear();
    }
    PyErr_Clear();
    return true;
}

}  // namespace lmafmt
