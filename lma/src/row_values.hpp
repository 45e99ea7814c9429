// What the per-event reductions share about one channel's row: the
// calibrated value of a raw sample, the raw values whose calibrated value
// reaches a level, and the row the stored pulses leave, in order.
// Calibration, gain * (raw - baseline), is monotone in the raw value (the
// difference is exact, and rounding the product preserves order), so a
// test of a calibrated value holds for an interval of raw values, found
// once per call rather than per sample.
#pragma once

#include <cstdint>
#include <vector>

#include "lma/header.hpp"
#include "row_kernels.hpp"

namespace lma::detail {

inline double value_of(std::int32_t raw, const Channel& ch) noexcept {
    return ch.gain *
           (static_cast<double>(raw) - static_cast<double>(ch.baseline));
}

// The least raw value for which `pred` holds, pred false then true over
// the raw range; kRawMax + 1 when it never holds.
template <class Pred>
std::int32_t first_true(Pred pred) {
    std::int32_t lo = kRawMin, hi = kRawMax + 1;
    while (lo < hi) {
        const std::int32_t mid = lo + (hi - lo) / 2;
        if (pred(mid)) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return lo;
}

// The raw values that calibrate to at least `t` after multiplying by
// `sign`: an interval at one end of the raw range, by monotonicity (or
// empty, or all of it).
RawRange reaching(double t, int sign, const Channel& ch);

// The raw values outside `r`, an interval touching an end of the raw
// range as `reaching` gives: an interval again.
RawRange outside(const RawRange& r) noexcept;

// Whether segments come in order without overlapping.
bool in_order(const std::vector<Segment>& segs) noexcept;

// Pulses that overlap or come out of order: the row they leave, later
// pulses over earlier ones, as runs of covered samples in order, their
// samples kept in `bytes`.
void resolve(const std::vector<Segment>& segs,
             std::vector<unsigned char>& bytes, std::vector<Segment>& runs);

}  // namespace lma::detail
