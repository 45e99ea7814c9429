// The walk from record to record on a C stream, as iterating a reader does
// it: records begin at the header's first-event offset, and another record
// follows as long as one more byte can be read. There is no other end
// marker, so the look-ahead is what ends the data.
#pragma once

#include <cstdio>

#include "lma/header.hpp"
#include "lma/status.hpp"

namespace lma {

// Positions `in` at the first record (`h.pos_begin`). A refused seek gives
// Errc::seek with fseek's result; a seek past the end of a regular file
// succeeds, and the next look-ahead then finds no record.
Status seek_first_record(std::FILE* in, const Header& h) noexcept;

// Looks one byte ahead. At the end of the file `more` is false and the
// status ok. Otherwise the byte is stepped back over, `more` is true and
// the stream stands at the next record. A read error is no end of the data:
// it gives Errc::read with 0 items. A refused step back gives Errc::seek
// with fseek's result.
Status next_record(std::FILE* in, bool& more) noexcept;

}  // namespace lma
