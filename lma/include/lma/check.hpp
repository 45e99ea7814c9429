// A strict look at a parsed header: the reader itself takes any header it
// can read, but a header with a value no recording can have means the file
// is not what it claims to be, and its records would decode as nonsense.
#pragma once

#include <cstdint>
#include <string>

#include "lma/header.hpp"
#include "lma/status.hpp"

namespace lma {

// The first fault found, in the header's own vocabulary. `field` is empty
// when the header is sound. Otherwise it names the field ("header size",
// "num of channels", "sample interval", "num of samples", "gain of channel
// 3", ...), `problem` says what is wrong with it, and the offending value is
// `int_value`, or `float_value` when `is_float`.
//
// For a header cut short, `field` is the field whose read failed,
// `problem` is "is cut short" and `int_value` the file size.
//
// `incomplete` when the file ends before the header it declares and every
// field it holds whole is sound, as while the file is being created;
// `file_size` is then the bytes it has.
struct HeaderFault {
    std::string field;
    std::string problem;
    bool is_float = false;
    std::int64_t int_value = 0;
    double float_value = 0.0;
    bool incomplete = false;
    std::int64_t file_size = 0;

    bool ok() const noexcept { return field.empty(); }
    // "FIELD PROBLEM (VALUE)", e.g. "header size points inside the header
    // (46)"; empty when sound.
    std::string message() const;
};

// Checks `h`, parsed by read_header with result `read_status`, against the
// file's size. Reported, the first that applies, of the fields the file
// holds whole:
//   - header size: the first record inside the header (before 50 + 24 per
//     channel in use);
//   - num of channels negative;
//   - sample interval not finite or not above 0;
//   - num of samples negative;
//   - a gain that is not finite, by channel in order;
// then, incomplete: the header cut short (the field whose read failed),
// or its header size putting the first record past the end of the file.
// Only what no recording can have is refused: unused mask bits, num of
// channels above 32, a zero gain or no channel in use pass.
// A read_status other than a short read (memory, an I/O error) is reported
// with `field` "header" and the problem text of that status.
HeaderFault check_header(const Header& h, Status read_status,
                         std::int64_t file_size);

}  // namespace lma
