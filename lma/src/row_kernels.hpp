// The two loops over a run of samples that the per-event quantities spend
// their time in: its raw extremes and sum, and the first sample in a raw
// interval. Like the run loops, only the width of the registers changes
// with the processor; the results are the same integers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lma::detail {

struct SampleStats {
    std::int32_t min;
    std::int32_t max;
    std::int64_t sum;
};

struct RowKernels {
    // The extremes and sum of n > 0 little-endian samples at `raw`.
    SampleStats (*stats)(const unsigned char* raw, std::size_t n) noexcept;
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
