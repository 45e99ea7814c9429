// The one road from failures to Python exceptions: decoder statuses,
// formatted messages, traceback entries and unraisable reports.
#pragma once

#include "glue.hpp"
#include "lma/status.hpp"

namespace lmafmt {

// Qualified names used in traceback entries and unraisable reports.
inline constexpr char kCinitName[] = "kelvane.lmafmt.LmaReader.__cinit__";
inline constexpr char kDeallocName[] = "kelvane.lmafmt.LmaReader.__dealloc__";
inline constexpr char kReadHeaderName[] =
    "kelvane.lmafmt.LmaReader.__read_header";
inline constexpr char kNextName[] = "kelvane.lmafmt.LmaReader.__next";
inline constexpr char kInitName[] = "init kelvane.lmafmt";

// Adds a traceback entry for `funcname` in the file "kelvane/lmafmt" to the
// pending exception.
void add_traceback(const char* funcname) noexcept;

// For code that cannot raise to its caller: prints the pending exception
// with its traceback, then hands it to the unraisable hook under `name`.
// Afterwards no exception is set.
void report_unraisable(const char* name) noexcept;

// Raises exc_class(template.format(arg)). Always returns nullptr.
PyObject* raise_formatted(PyObject* exc_class, PyObject* templ,
                          PyObject* arg) noexcept;
PyObject* raise_formatted(PyObject* exc_class, PyObject* templ,
                          long arg) noexcept;

// Sets the exception that `raise typ` (with value and traceback, either may
// be null or None) would raise; false when the arguments cannot be raised,
// with the TypeError a raise statement gives set instead.
bool raise_object(PyObject* typ, PyObject* val, PyObject* tb) noexcept;

// Raises what exc_class(*args) returns. Always returns nullptr.
PyObject* raise_with_args(PyObject* exc_class, PyObject* args) noexcept;

// IOError "File is closed!". Always returns nullptr.
PyObject* raise_closed() noexcept;

// IOError "Fail to close a file: {}!". Always returns nullptr.
PyObject* raise_close_failed(int rc) noexcept;

// Turns a failed decoder status into the matching exception (for
// Errc::sink, the sink's own exception is already set). Returns nullptr.
PyObject* raise_status(const lma::Status& s) noexcept;

}  // namespace lmafmt
