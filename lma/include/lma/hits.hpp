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
#include <memory>
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
    std::int32_t row;       // position in the rows asked for
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

// The hits found, in the order records, then rows as given, then
// position: a column per value, kept in blocks of a fixed number of hits
// so that appending never moves the hits already found, and memory
// follows the hits with no count pass first.
class HitColumns {
public:
    static constexpr std::size_t kBlock = 1024;

    struct Block {
        std::int64_t event[kBlock];
        std::int32_t row[kBlock];
        double start[kBlock];
        std::int32_t end[kBlock];
        std::int32_t width[kBlock];
        std::int32_t peak[kBlock];
        double amplitude[kBlock];
        double charge[kBlock];
        double cfd[kBlock];
        double rise[kBlock];
        double tail[kBlock];
    };

    // May throw std::bad_alloc. Inline: it runs once per hit.
    void append(const Hit& h) {
        const std::size_t k = size_ % kBlock;
        if (k == 0 && size_ / kBlock == blocks_.size()) {
            add_block();
        }
        Block& b = *blocks_[size_ / kBlock];
        b.event[k] = h.event;
        b.row[k] = h.row;
        b.start[k] = h.start;
        b.end[k] = h.end;
        b.width[k] = h.width;
        b.peak[k] = h.peak;
        b.amplitude[k] = h.amplitude;
        b.charge[k] = h.charge;
        b.cfd[k] = h.cfd;
        b.rise[k] = h.rise;
        b.tail[k] = h.tail;
        ++size_;
    }
    Hit operator[](std::size_t k) const noexcept;
    std::size_t size() const noexcept { return size_; }
    void clear() noexcept;

    // Copies one column of every hit, in order, to `out` (size() values).
    template <class T>
    void copy(T (Block::*column)[kBlock], T* out) const noexcept {
        std::size_t left = size_;
        for (const auto& b : blocks_) {
            const std::size_t n = left < kBlock ? left : kBlock;
            for (std::size_t k = 0; k < n; ++k) {
                out[k] = ((*b).*column)[k];
            }
            out += n;
            left -= n;
        }
    }

private:
    void add_block();

    std::vector<std::unique_ptr<Block>> blocks_;
    std::size_t size_ = 0;
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
