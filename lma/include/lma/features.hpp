// Per-event quantities of each selected channel's trace, computed from the
// stored pulses without writing the trace. Each is defined on the float64
// trace range decoding gives (later pulses overwriting earlier ones,
// uncovered samples 0.0) over a window [first, stop) of it; the values are
// those definitions give, ties and infinities included.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lma/file.hpp"
#include "lma/header.hpp"
#include "lma/range.hpp"
#include "lma/scan.hpp"
#include "lma/status.hpp"

namespace lma {

// In the order the Python side numbers them. With s the window of the
// trace and y = polarity * s:
enum class Quantity : std::size_t {
    maximum,   // s.max(); NaN for an empty window
    minimum,   // s.min(); NaN
    argmax,    // position of the first maximum; -1
    argmin,    // position of the first minimum; -1
    sum,       // sum of s; 0.0
    pulses,    // pulses stored for the channel, window ignored
    covered,   // samples of the window some pulse wrote; 0
    crossing,  // where y first reaches the threshold, interpolated; NaN
    cfd,       // where y last rises through fraction * max(y) before its
               // maximum, interpolated; NaN when max(y) <= 0
    hits,      // hits of y over the threshold, runs at most `merge`
               // samples apart joined (see lma/hits.hpp)
};
constexpr std::size_t kQuantities = 10;

// Positions and counts are int32; the rest float64.
constexpr bool is_int32(Quantity q) noexcept {
    return q == Quantity::argmax || q == Quantity::argmin ||
           q == Quantity::pulses || q == Quantity::covered ||
           q == Quantity::hits;
}

struct FeatureSettings {
    std::int64_t first = 0;  // the window [first, stop) of sample positions,
    std::int64_t stop = 0;   // 0 <= first <= stop <= nsamples
    double threshold = 1.0;  // finite and > 0 (read only for crossing
                             // and hits)
    double fraction = 0.5;   // in (0, 1]
    int polarity = 1;        // 1 or -1
    std::int64_t merge = 0;  // >= 0 (read only for hits)
};

// Output for records [i, j) on rows[0 .. nrows) of Header::channels (each
// at most once): per quantity asked for, a block of (j - i) x nrows values
// of its element type, record i + e's starting at data + e * stride
// (stride >= nrows, aligned for the type); null for a quantity not asked
// for. `tags` and `horpos` as for RangeOut.
struct FeatureOut {
    std::int32_t* tags = nullptr;
    double* horpos = nullptr;
    const std::size_t* rows = nullptr;
    std::size_t nrows = 0;
    void* data[kQuantities] = {};
    std::int64_t stride[kQuantities] = {};
};

// Computes the quantities of records [first, last) of `index` into `out`,
// walking the records as decode_range does and failing as it does (the
// records before the failing one are done). Settings outside their ranges,
// a row out of range or repeated, a selected channel whose gain is not
// finite (which no checked header has), or a block not aligned or with a
// short stride give Errc::inconsistent and write nothing. Any number of
// threads may call it on one File, each with its own Scratch.
Stop compute_features(const File& f, const Header& h,
                      const RecordIndex& index, std::size_t first,
                      std::size_t last, const FeatureSettings& settings,
                      const FeatureOut& out, Scratch& scratch) noexcept;

}  // namespace lma
