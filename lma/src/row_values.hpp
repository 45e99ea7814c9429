// What the per-event reductions share about one channel's row: the
// calibrated value of a raw sample, the raw values whose calibrated value
// reaches a level, and the row the stored pulses leave, in order.
// Calibration, gain * (raw - baseline), is monotone in the raw value (the
// difference is exact, and rounding the product preserves order), so a
// test of a calibrated value holds for an interval of raw values, found
// once per call rather than per sample.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "lma/header.hpp"
#include "row_kernels.hpp"

namespace lma::detail {

inline double value_of(std::int32_t raw, const Channel& ch) noexcept {
    return ch.gain *
           (static_cast<double>(raw) - static_cast<double>(ch.baseline));
}

// A sum of calibrated values in order, its infinite terms kept apart from
// the running total, which may overflow the other way first: their sign
// alone decides the sum, as it does the exact one; both signs give NaN.
class InfinitySum {
public:
    void add(double v) noexcept {
        if (std::isinf(v)) {
            (v > 0 ? above_ : below_) = true;
        } else {
            sum_ += v;
        }
    }
    double value() const noexcept {
        if (above_ && below_) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        if (std::isnan(sum_) || !(above_ || below_)) {
            return sum_;
        }
        return above_ ? std::numeric_limits<double>::infinity()
                      : -std::numeric_limits<double>::infinity();
    }

private:
    double sum_ = 0.0;
    bool above_ = false, below_ = false;
};

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

// Whether segments come in order without overlapping.
bool in_order(const std::vector<Segment>& segs) noexcept;

// Memory that resolving a row reuses from row to row.
struct ResolveScratch {
    std::vector<std::int64_t> cuts;
    std::vector<std::size_t> order, live;
};

// Pulses that overlap or come out of order: the row they leave, later
// pulses over earlier ones, as runs of covered samples in order pointing
// into the pulses' own samples. Time and memory go with the number of
// pulses, never with the distance between them.
void resolve(const std::vector<Segment>& segs, ResolveScratch& scratch,
             std::vector<Segment>& runs);

}  // namespace lma::detail
