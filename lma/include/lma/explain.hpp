// What is wrong with a damaged record, as facts a person can be told: the
// scan knows only the status and where the record starts, so the record is
// walked once more, by the same walk, to find the part that fails.
#pragma once

#include <cstdint>

#include "lma/event.hpp"
#include "lma/file.hpp"
#include "lma/header.hpp"
#include "lma/scan.hpp"
#include "lma/status.hpp"

namespace lma {

// The part of a record (or of the file) where a walk failed.
enum class FaultPlace {
    unknown,     // the walk again did not fail as the scan did (the file
                 // changed or could not be read): only `status` is known
    header,      // before the record's first byte: the header's values
    tag,         // cut short in the tag
    horpos,      // cut short in horpos, with channels in use
    count,       // cut short in a channel's pulse count
    pulse,       // a pulse's info or samples: cut short, or not fitting
};

struct RecordFault {
    Status status;                 // the scan's, as Stop::status
    FaultPlace place = FaultPlace::unknown;
    std::int64_t present = 0;      // cut short: bytes of the failing part
                                   // (tag, horpos, count, pulse) in the file
    std::int32_t channel = 0;      // the channel's index (not its row)
    std::int64_t pulse = 0;        // the pulse's index within its channel
    bool info = false;             // pulse: its first and length were read
    Pulse p{0, 0};                 // ... and are these
    std::int64_t samples = -1;     // cut short after the info: the pulse's
                                   // whole samples in the file
    std::int32_t nsamples = 0;     // samples per trace, from the header
    std::int32_t nchannels = 0;    // channels in use, from the header
    std::int64_t offset = 0;       // where the record starts
    bool incomplete = false;       // the file ends inside the record and
                                   // every field read before is sound: a
                                   // record still being written, not bad
                                   // bytes
};

// Explains the damaged record where `stop` (a scan's result over the first
// `file_size` bytes of `f`) stopped. Reads only that record's heads and
// pulse infos. A stop that is no record damage, or a walk that now ends
// otherwise, gives FaultPlace::unknown. Safe on a File shared by threads.
RecordFault explain_stop(const File& f, const Header& h,
                         std::int64_t file_size, const Stop& stop) noexcept;

}  // namespace lma
