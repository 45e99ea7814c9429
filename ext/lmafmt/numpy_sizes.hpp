// Instance sizes of the types the module checks at import, as NumPy's
// headers lay them out for the API level that the including file has set
// in NPY_TARGET_VERSION. Only sizes leave the two files that include this
// (sizes_oldest.cpp, sizes_newest.cpp), which see different layouts of the
// same structs; NumPy's C function table is never imported.
#pragma once

#ifndef NPY_TARGET_VERSION
#error "set NPY_TARGET_VERSION before including numpy_sizes.hpp"
#endif

#include <cstddef>

#include "checks.hpp"

#define NPY_NO_DEPRECATED_API NPY_API_VERSION
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#define PY_ARRAY_UNIQUE_SYMBOL kelvane_lmafmt_unused_array_api
#define PY_UFUNC_UNIQUE_SYMBOL kelvane_lmafmt_unused_ufunc_api
#include <numpy/ndarrayobject.h>
#include <numpy/ufuncobject.h>

namespace lmafmt {

namespace {

ExpectedSizes sizes_at_target() noexcept {
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

}  // namespace

}  // namespace lmafmt
