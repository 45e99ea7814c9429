// The two loops over a row's samples that the per-event quantities spend
// their time in: the raw extremes and sum of a window of the row, and the
// first sample in a raw interval. Like the run loops, only the width of
// the registers changes with the processor; the results are the same
// integers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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
};

// Plain C++, for any processor.
RowKernels portable_row_kernels() noexcept;
// AVX2's; null members on a processor without it.
RowKernels wide_row_kernels() noexcept;
// The widest this processor has.
RowKernels row_kernels() noexcept;

}  // namespace lma::detail
