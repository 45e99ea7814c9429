// Decoding ranges of indexed records into the caller's arrays, and listing
// their partial pulses. Only positional reads and the caller's scratch
// buffer are used: any number of threads may decode ranges of one open
// File at once, each with its own Scratch, while nobody changes the index.
//
// The calibration, slice and broadcast rules are those of place_pulse, so
// float64 output equals the iteration's traces bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lma/file.hpp"
#include "lma/header.hpp"
#include "lma/scan.hpp"
#include "lma/status.hpp"

namespace lma {

// Per-thread working memory: the bytes of the records being decoded. Reads
// come in chunks of about 1 MiB; one record longer than that is read whole,
// and that memory is given back when the call returns.
class Scratch {
public:
    std::vector<unsigned char> bytes;
};

enum class SampleType {
    float64,    // gain * (double(raw) - double(baseline)); 0.0 uncovered
    float32,    // the float64 value rounded to float
    raw_int16,  // samples as stored; uncovered samples hold the baseline
};

// One selected channel's output: a block of (events x nsamples) values of
// the range's SampleType, row e (event first + e) starting at
// data + e * stride elements. `data` must be aligned for the element type
// (double, float or int16_t) and hold (j - i - 1) * stride + nsamples
// elements; stride >= nsamples.
struct ChannelOut {
    std::size_t row = 0;       // position in Header::channels
    void* data = nullptr;
    std::int64_t stride = 0;   // in elements
};

// `tags` and `horpos` aligned for their types, like the channel blocks.
struct RangeOut {
    SampleType type = SampleType::float64;
    std::int32_t* tags = nullptr;   // j - i tags, or null for none
    double* horpos = nullptr;       // j - i values, or null; NaN where its
                                    // bytes lie past the end of the file
    const ChannelOut* channels = nullptr;
    std::size_t nchannels = 0;      // entries of `channels`, any order, a
                                    // row at most once
    // The channel blocks are newly allocated, never written: pages first
    // touched in long runs per block cost much less than a row of each in
    // turn. Only the speed differs.
    bool fresh = false;
};

// Decodes records [first, last) of `index` (first <= last <= index.size())
// into `out`. Every selected row of every event is written in full. On a
// failure `Stop` says at which record; rows of that record and later ones
// are unspecified, earlier ones are done. A file truncated since the scan
// gives the cut-short status the reader would give (Errc::read); a record
// that walks but no longer ends where the index says gives Errc::changed;
// a record damaged since gives its status. A `row` out of range or
// repeated, a buffer not aligned for its type, or an inconsistent header,
// gives Errc::inconsistent and writes nothing.
Stop decode_range(const File& f, const Header& h, const RecordIndex& index,
                  std::size_t first, std::size_t last, const RangeOut& out,
                  Scratch& scratch) noexcept;

// The partial pulses of records [first, last) on the selected rows, in file
// order, as stored (a pulse that lies outside its trace is listed too).
struct PulseCounts {
    std::int64_t pulses = 0;
    std::int64_t samples = 0;
};

// Per pulse k < pulses: event[k] (record index), channel[k] (channel index
// from Header::channels, not the row), first[k], length[k], offset[k] (of
// its first sample in `samples`); samples holds all samples one after the
// other. Each pointer aligned for its type; capacities from count_pulses.
struct PulseOut {
    std::int64_t* event = nullptr;
    std::int32_t* channel = nullptr;
    std::int32_t* first = nullptr;
    std::int32_t* length = nullptr;
    std::int64_t* offset = nullptr;
    std::int16_t* samples = nullptr;
    PulseCounts capacity;
};

// Counts the pulses and samples that list_pulses will write for the same
// arguments. `rows`: the selected positions in Header::channels.
Stop count_pulses(const File& f, const Header& h, const RecordIndex& index,
                  std::size_t first, std::size_t last,
                  const std::size_t* rows, std::size_t nrows,
                  PulseCounts& counts, Scratch& scratch) noexcept;

// Fills `out`; `written` gets what was written. More pulses or samples
// than `out.capacity` (the file changed between the two calls) gives
// Errc::changed, and nothing beyond the capacity is written.
Stop list_pulses(const File& f, const Header& h, const RecordIndex& index,
                 std::size_t first, std::size_t last,
                 const std::size_t* rows, std::size_t nrows,
                 const PulseOut& out, PulseCounts& written,
                 Scratch& scratch) noexcept;

}  // namespace lma
