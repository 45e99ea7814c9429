// The LmaReader object and the functions its parts share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "glue.hpp"
#include "globals.hpp"
#include "lma/event.hpp"
#include "lma/header.hpp"

namespace lmafmt {

constexpr std::size_t kStreamBuffer = std::size_t{1} << 16;

struct ReaderState {
    const ReaderMethods* methods = nullptr;
    std::FILE* file = nullptr;     // open stream, or null when closed
    std::uint64_t stream_serial = 0;  // counts opens: tells streams apart
    std::unique_ptr<char[]> stream_buffer;  // the stream's, once opened
    std::string filename;          // UTF-8 bytes of the name given
    lma::Header header;
    lma::SampleBuffer samples;     // reused by every pulse read natively
};

struct ReaderObject {
    PyObject_HEAD
    ReaderState s;  // built by placement new in reader_new
};

extern PyTypeObject ReaderType;

inline ReaderState& state(PyObject* self) noexcept {
    return reinterpret_cast<ReaderObject*>(self)->s;
}

// Closes the reader's stream, if open. The handle is cleared before fclose,
// so a stream is never used again, whatever fclose returns. Returns its
// result (0 when there was nothing to close).
int close_file(ReaderState& s) noexcept;

// The private operations of the reader method table.
void reader_read_header(ReaderObject* self);
PyObject* reader_next(ReaderObject* self);

// The reader's iteration slot (defined with the generator).
PyObject* reader_iter(PyObject* self);

// Parts of the type object defined beside their code.
extern PyGetSetDef reader_getset[];
extern PyMethodDef reader_methods[];
PyObject* reader_repr(PyObject* self);

}  // namespace lmafmt
