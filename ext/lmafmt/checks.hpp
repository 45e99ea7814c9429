// Guards and compatibility checks run while the module is imported.
#pragma once

#include "glue.hpp"

namespace lmafmt {

// Refuses a second interpreter: the module keeps process-wide state.
bool interpreter_guard();

// Warns when the interpreter's version differs from the one built for.
bool version_check();

enum class SizePolicy { error, warn, ignore };

struct ExpectedSizes {
    Py_ssize_t heap_type, dtype, flatiter, broadcast, ndarray, ufunc;
};
// Instance sizes from the headers the module was built against.
ExpectedSizes expected_sizes() noexcept;

// Reads `type_name` from `module` and checks it is a type whose instances
// are as large as the headers say. New reference, or nullptr with an
// exception set.
PyObject* import_type(PyObject* module, const char* module_name,
                      const char* type_name, Py_ssize_t expected,
                      SizePolicy policy);

// Makes the generator type a virtual subclass of collections.abc.Generator,
// once per process. False only when a warning was turned into an error.
bool register_with_abc(PyObject* generator_type);

}  // namespace lmafmt
