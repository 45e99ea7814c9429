// The record index: where each event record starts, found by walking the
// records without decoding their samples. A record carries no length, so
// its end is known only by walking its pulse counts and pulse infos.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lma/file.hpp"
#include "lma/header.hpp"
#include "lma/status.hpp"

namespace lma {

// Offsets of the complete records found so far. Record i spans
// [offsets[i], record_end(i)). With no channel in use a record cut short
// inside horpos still counts (the reader decodes it), so `end` may lie past
// the end of the file.
struct RecordIndex {
    std::vector<std::int64_t> offsets;
    // Each record's head, read by the walk anyway: kept so that the
    // per-event coordinates need no record read again. As long as
    // `offsets`; horpos NaN where its bytes lie past the end.
    std::vector<std::int32_t> tags;
    std::vector<double> horpos;
    // After the last complete record; where the next scan goes on. Before
    // the first scan (and while no record is found): the first-record
    // offset, set by the scan.
    std::int64_t end = -1;
    bool scanned = false;

    std::size_t size() const noexcept { return offsets.size(); }
    std::int64_t record_end(std::size_t i) const noexcept {
        return i + 1 < offsets.size() ? offsets[i + 1] : end;
    }
    // Adds one record; false, the index unchanged, when memory runs out.
    bool push(std::int64_t offset, std::int32_t tag, double pos) noexcept;
    // Keeps the first `n` records.
    void keep(std::size_t n) noexcept;
};

// Where a walk over records stopped and why. `status` ok: the data ended
// cleanly (no byte left where a record would start) and `offset` is that
// place. Otherwise `offset` is the start of the record that failed, `event`
// its index, and `status` exactly the failure that iterating a reader over
// the file reports at that record:
//   Errc::read      cut short; value: the items the failing fread got
//                   (tag, pulse count: 0; pulse info: whole int32s, 0 or 1;
//                   samples: whole samples present)
//   Errc::seek      a negative first-record offset; value: -1
//   Errc::negative_length, Errc::empty_pulse, Errc::broadcast: as for
//                   read_event; a negative num of samples gives
//                   negative_length with that number, as the reader's
//                   trace allocation refuses it for every record
//   Errc::inconsistent   channel lists shorter than nchannels
// The reader's MemoryError for traces too large to allocate depends on the
// machine, not on the record, and is not reported here.
// Other codes are not damage of the record but of the reading:
//   Errc::os (errno of a failed pread), Errc::no_memory, Errc::closed,
//   Errc::changed (range decoding only: the bytes differ from the scan).
struct Stop {
    Status status;
    std::int64_t offset = 0;
    std::int64_t event = 0;

    bool ok() const noexcept { return status.ok(); }
};

// True for the statuses above that are damage of a record, not of the
// reading.
bool is_record_damage(Errc code) noexcept;

// Extends `index` over the records in [index.end, file_size): from the
// first record on the first call (h.pos_begin), else from the end of the
// last complete record, so a later call picks up records appended since
// and tries a cut-short last record again. Reads only heads, pulse counts
// and pulse infos, through its own buffer of bounded size (1 MiB), never
// past `file_size`. Returns where and why it stopped; records before the
// stop are in the index. On Errc::no_memory the index stays consistent.
// Not thread-safe for one index; the File may be shared.
Stop scan_records(const File& f, const Header& h, std::int64_t file_size,
                  RecordIndex& index) noexcept;

// Walks record `r` of `index` again over the file as it is now, its end
// at `file_size`, reading heads and pulse infos as scan_records does. ok
// when the record still ends where the index says; Errc::changed (value:
// its offset) when it walks elsewhere or fails; the error of the reading
// (Errc::os, Errc::no_memory) otherwise. A file found shorter than
// `file_size` during the walk is no verdict: ok, and the scan that
// follows finds its new end.
Status rewalk_record(const File& f, const Header& h, const RecordIndex& index,
                     std::size_t r, std::int64_t file_size) noexcept;

}  // namespace lma
