// Switches between the Python versions the extensions build against (3.9
// on).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pyglue {

// Py_NewRef arrived in 3.10.
inline PyObject* new_ref(PyObject* o) noexcept {
    Py_INCREF(o);
    return o;
}

}  // namespace pyglue
