// Every pulse above a threshold in each selected channel's trace, with its
// own amplitude, charge and times, found on the stored pulses without
// writing the trace. Defined on the float64 trace range decoding gives
// (later pulses overwriting earlier ones, uncovered samples 0.0) over a
// window [first, stop) of it, with y = polarity * trace:
//   a run is a maximal stretch of y >= threshold; runs at most `merge`
//   samples apart join into one hit; a hit owns the samples from the end
//   of the previous hit's region to its own end plus `post`, short of the
//   next hit and the window's end, so no sample belongs to two hits.
// Values are those the definitions give in double arithmetic, ties and
// infinities included; see HitColumns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lma/file.hpp"
#include "lma/header.hpp"
#include "lma/range.hpp"
#include "lma/scan.hpp"
#include "lma/status.hpp"

namespace lma {

struct HitSettings {
    std::int64_t first = 0;  // the window [first, stop) of sample positions,
    std::int64_t stop = 0;   // 0 <= first <= stop <= nsamples
    double threshold = 1.0;  // finite and > 0
    int polarity = 1;        // 1 or -1
    std::int64_t merge = 0;  // >= 0, like pre, post and tail
    std::int64_t pre = 0;    // samples before a hit added to its charge
    std::int64_t post = 0;   // and after it
    double fraction = 0.5;   // constant-fraction level, in (0, 1]
    double low = 0.1;        // rise-time levels, 0 < low < high <= 1
    double high = 0.9;
    std::int64_t tail = -1;  // tail start after the peak; -1: no tail
};

// One hit's values. Positions count from the start of the trace.
struct Hit {
    std::int64_t event;     // record index
    std::int16_t channel;   // its number, as Header::channels gives it
    double start;           // leading edge, interpolated
    std::int32_t end;       // one past the last run sample
    std::int32_t width;     // end minus the first run sample
    std::int32_t peak;      // first maximum of y in the hit
    double amplitude;       // y there
    double charge;          // sum of y over the hit's region
    double cfd;             // constant-fraction time
    double rise;            // high-level minus low-level time
    double tail;            // tail sum over charge; NaN if none
};

// One array per value of the hits, each from std::malloc, so that its
// owner frees it with std::free; all null for none.
struct HitArrays {
    std::int64_t* event = nullptr;
    std::int16_t* channel = nullptr;
    double* start = nullptr;
    std::int32_t* end = nullptr;
    std::int32_t* width = nullptr;
    std::int32_t* peak = nullptr;
    double* amplitude = nullptr;
    double* charge = nullptr;
    double* cfd = nullptr;
    double* rise = nullptr;
    double* tail = nullptr;
};

// The columns of HitArrays, all pointers.
constexpr std::size_t kHitColumns = sizeof(HitArrays) / sizeof(double*);

// Calls f on each column of `a`, in the order HitArrays lists them.
template <class F>
void each_column(HitArrays& a, F f) {
    f(a.event);
    f(a.channel);
    f(a.start);
    f(a.end);
    f(a.width);
    f(a.peak);
    f(a.amplitude);
    f(a.charge);
    f(a.cfd);
    f(a.rise);
    f(a.tail);
}

// The hits found, in the order records, then rows as given, then
// position: each value's column written in place as hits are found and
// grown as they come, with no count pass first, so that the caller takes
// the columns over without copying them (release). A page first touched
// costs several times its writing, so each hit is written once, where it
// stays.
class HitColumns {
public:
    HitColumns() noexcept = default;
    HitColumns(const HitColumns&) = delete;
    HitColumns& operator=(const HitColumns&) = delete;
    ~HitColumns();

    // May throw std::bad_alloc. Inline: it runs once per hit.
    void append(const Hit& h) {
        if (size_ == capacity_) {
            grow();
        }
        const std::size_t k = size_;
        cols_.event[k] = h.event;
        cols_.channel[k] = h.channel;
        cols_.start[k] = h.start;
        cols_.end[k] = h.end;
        cols_.width[k] = h.width;
        cols_.peak[k] = h.peak;
        cols_.amplitude[k] = h.amplitude;
        cols_.charge[k] = h.charge;
        cols_.cfd[k] = h.cfd;
        cols_.rise[k] = h.rise;
        cols_.tail[k] = h.tail;
        ++size_;
    }
    Hit operator[](std::size_t k) const noexcept;
    std::size_t size() const noexcept { return size_; }
    // Room for `n` hits in all, so that appending up to them moves none;
    // false without the memory, the hits kept.
    bool reserve(std::size_t n) noexcept;

    // The columns of size() values each, now the caller's to free, cut to
    // that size; this is left empty. All null when there are no hits.
    HitArrays release() noexcept;

private:
    void grow();

    HitArrays cols_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Where hits of records [i, j) go: rows[0 .. nrows) of Header::channels
// (each at most once), each with its own settings; `tags` and `horpos`
// (j - i entries, either may be null) as for RangeOut.
struct HitOut {
    std::int32_t* tags = nullptr;
    double* horpos = nullptr;
    const std::size_t* rows = nullptr;
    const HitSettings* settings = nullptr;  // one per row
    std::size_t nrows = 0;
    HitColumns* hits = nullptr;  // appended to
};

// Whether settings are within their ranges for a trace of `nsamples`.
bool hit_settings_ok(const HitSettings& set, std::int64_t nsamples) noexcept;

// Finds the hits of records [first, last) of `index`, appending them to
// out.hits, walking the records as decode_range does and failing as it
// does (the hits of the records before the failing one are kept).
// Settings outside their ranges, a row out of range or repeated, a
// selected channel whose gain is not finite, or a misaligned tags or
// horpos give Errc::inconsistent and add nothing. Any number of threads
// may call it on one File, each with its own Scratch and HitColumns.
Stop find_hits(const File& f, const Header& h, const RecordIndex& index,
               std::size_t first, std::size_t last, const HitOut& out,
               Scratch& scratch) noexcept;

}  // namespace lma
