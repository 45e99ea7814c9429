// Outcome of a decoder step. The decoder never throws and never touches
// Python: each failure is a kind plus what the C library call returned.
#pragma once

namespace lma {

enum class Errc {
    ok,
    read,            // fread delivered fewer items; value: the items it did
    seek,            // fseek failed; value: its result
    no_memory,       // an allocation failed
    closed,          // no open stream
    inconsistent,    // channel lists shorter than the channel count
    negative_length, // a partial pulse of negative length; value: the length
    empty_pulse,     // a partial pulse of length 0
    broadcast,       // pulse does not fit its slice; value: pulse length,
                     // extra: slice length
    sink,            // the caller's sink failed and has its own report
    os,              // a system call on a File failed; value: errno
    changed,         // the file no longer holds the records its index
                     // describes (bytes altered since the scan); value:
                     // the offending record's offset
    not_regular,     // File::open found no regular file (a FIFO, a device)
    replaced,        // the path names another file now, or the file was
                     // rewritten from its start; value: a Replacement
};

struct Status {
    Errc code = Errc::ok;
    long value = 0;
    long extra = 0;

    constexpr bool ok() const noexcept { return code == Errc::ok; }
};

constexpr Status ok() noexcept { return {}; }

}  // namespace lma
