// The loops over a row's samples that the per-event quantities spend
// their time in: the raw extremes and sum of a window of the row, the
// first sample in a raw interval, and a run of samples in one with what
// measuring it needs. Like the run loops, only the width of
// the registers changes with the processor; the results are the same
// integers.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <limits>

#include "record.hpp"

namespace lma::detail {

// Raw values [lo, hi]; empty when lo > hi.
struct RawRange {
    std::int32_t lo = 1;
    std::int32_t hi = 0;
    bool contains(std::int32_t r) const noexcept { return lo <= r && r <= hi; }
};

// A run of covered samples [start, start + length) of a row, and its
// little-endian raw values.
struct Segment {
    std::int64_t start;
    std::int64_t length;
    const unsigned char* raw;

    std::int64_t end() const noexcept { return start + length; }
    std::int32_t at(std::int64_t pos) const noexcept {
        return LeSamples{raw}[static_cast<std::size_t>(pos - start)];
    }
};

// Covered samples of a window of a row and their raw extremes and sum.
struct RowStats {
    std::int64_t covered = 0;
    std::int64_t sum = 0;
    std::int32_t min = 1;  // empty as for RawRange: none covered
    std::int32_t max = 0;
};

// A run of samples in a raw interval, [i, j) in trace positions and
// within one segment: the sum of their raw values, and the largest (or
// smallest) of them and where it first is; where `has_head`, the sum of
// the raw values of [i, min(at + after, j)) for the `after` asked for;
// the raw values at i and, where `has_before` (i - 1 is of the segment's
// part searched), at i - 1, which the leading edge needs.
struct RawRun {
    std::int64_t i;
    std::int64_t j;
    std::int64_t sum;
    std::int32_t best;
    std::int64_t at;
    std::int64_t head;
    bool has_head;
    bool has_before;
    std::int32_t before;
    std::int32_t first;
};

struct RowKernels {
    // The part in [a, b) of segments in order, not overlapping; spans[i]
    // gets segment i's raw extremes there (empty for none), up to the
    // first segment starting at or after b.
    RowStats (*row)(const Segment* segs, std::size_t nsegs, std::int64_t a,
                    std::int64_t b, RawRange* spans) noexcept;
    // The index of the first of n samples in [lo, hi], or n; any int32
    // bounds, an empty interval when lo > hi.
    std::size_t (*find)(const unsigned char* raw, std::size_t n,
                        std::int32_t lo, std::int32_t hi) noexcept;
    // The runs of samples in [lo, hi] in the part in [a, b) of segments
    // in order, not overlapping, in order, the samples read once: `best`
    // is a run's maximum if `high`, else its minimum; a head is given
    // where it comes without reading again (`after` < 0: never). `out` has
    // room for run_room(segs, nsegs); returns how many it holds. Bounds as
    // for find.
    std::size_t (*runs)(const Segment* segs, std::size_t nsegs,
                        std::int64_t a, std::int64_t b, std::int32_t lo,
                        std::int32_t hi, bool high, std::int64_t after,
                        RawRun* out) noexcept;
};

// The most runs segments can hold: one per two samples, rounded up.
inline std::size_t run_room(const Segment* segs, std::size_t nsegs) noexcept {
    std::size_t room = 0;
    for (std::size_t i = 0; i < nsegs; ++i) {
        room += (static_cast<std::size_t>(segs[i].length) + 1) / 2;
    }
    return room;
}

constexpr std::int32_t kRawMin = std::numeric_limits<std::int16_t>::min();
constexpr std::int32_t kRawMax = std::numeric_limits<std::int16_t>::max();

// Samples summed in one int32: any part of 65536 of them sums to within
// [-2**31, 2**31 - 65536], in whatever order it is added.
constexpr std::size_t kSumPart = std::size_t{1} << 16;

struct SampleStats {
    std::int32_t min;
    std::int32_t max;
    std::int64_t sum;
};

inline SampleStats sample_stats(const unsigned char* bytes,
                                std::size_t n) noexcept {
    const LeSamples raw{bytes};
    std::int32_t mx = kRawMin, mn = kRawMax;
    std::int64_t sum = 0;
    // In parts whose sums fit in 32 bits, each a loop apart from the rest
    // so that it vectorises.
    for (std::size_t k0 = 0; k0 < n; k0 += kSumPart) {
        const std::size_t k1 = std::min(n, k0 + kSumPart);
        std::int16_t hi = std::numeric_limits<std::int16_t>::min();
        std::int16_t lo = std::numeric_limits<std::int16_t>::max();
        std::int32_t part = 0;
        for (std::size_t k = k0; k < k1; ++k) {
            const std::int16_t v = raw[k];
            hi = std::max(hi, v);
            lo = std::min(lo, v);
            part += v;
        }
        mx = std::max<std::int32_t>(mx, hi);
        mn = std::min<std::int32_t>(mn, lo);
        sum += part;
    }
    return {mn, mx, sum};
}

// The sum alone of n samples: for the few around a hit's run, where the
// vector loop's setup would cost more than it saves.
inline std::int64_t short_sum(const unsigned char* bytes,
                              std::size_t n) noexcept {
    const LeSamples raw{bytes};
    std::int64_t sum = 0;
    for (std::size_t k = 0; k < n; ++k) {
        sum += raw[k];
    }
    return sum;
}

// RowKernels::row in plain C++.
inline RowStats portable_row(const Segment* segs, std::size_t nsegs,
                             std::int64_t a, std::int64_t b,
                             RawRange* spans) noexcept {
    RowStats x{0, 0, kRawMax, kRawMin};
    for (std::size_t i = 0; i < nsegs; ++i) {
        const Segment& s = segs[i];
        const std::int64_t s0 = std::max(s.start, a);
        const std::int64_t s1 = std::min(s.end(), b);
        if (s0 >= b) {
            break;
        }
        if (s1 <= s0) {
            spans[i] = RawRange{};
            continue;
        }
        const auto off = static_cast<std::size_t>(s0 - s.start);
        const SampleStats st =
            sample_stats(s.raw + off * 2, static_cast<std::size_t>(s1 - s0));
        spans[i] = {st.min, st.max};
        x.max = std::max(x.max, st.max);
        x.min = std::min(x.min, st.min);
        x.sum += st.sum;
        x.covered += s1 - s0;
    }
    return x;
}

// Plain C++, for any processor.
RowKernels portable_row_kernels() noexcept;
// AVX2's; null members on a processor without it.
RowKernels wide_row_kernels() noexcept;
// The widest this processor has.
RowKernels row_kernels() noexcept;

}  // namespace lma::detail
