// The hits of one channel's row: the stretches where y = polarity * trace
// reaches the threshold, joined across short gaps. Shared by the hit
// finder and the features' count of hits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "row_kernels.hpp"

namespace lma::detail {

// A hit's first run sample and one past its last, trace positions, and
// what one read of its run samples gives: the sum of raw - baseline over
// its covered samples, and its run samples' largest raw value (smallest
// if not `high`) and where that first is; where `has_head`, the sum of
// raw - baseline over [i, min(at + after, j)); the raw values at i and,
// where `has_before`, at i - 1.
struct HitSpan {
    std::int64_t i;
    std::int64_t j;
    std::int64_t raw_sum;
    std::int32_t best;
    std::int64_t at;
    std::int64_t head;
    bool has_head;
    bool has_before;
    std::int32_t before;
    std::int32_t first;
};

// The hits a range of `total` records holds at the rate of its first
// `done` (> 0), which held `found`, with an eighth to spare for the rest;
// SIZE_MAX where that is beyond any memory.
std::size_t expected_hits(std::size_t found, std::size_t done,
                          std::size_t total) noexcept;

// Appends to `out` the hits in [a, b) of a row of segments in order, not
// overlapping: runs of samples whose raw value is in `reach` (uncovered
// samples never are: their 0.0 is below any threshold above 0), runs at
// most `merge` samples apart joined; `after` as for RowKernels::runs.
// `runs` is scratch for the row kernel.
void find_hit_spans(const std::vector<Segment>& segs, std::int64_t a,
                    std::int64_t b, const RawRange& reach, std::int64_t merge,
                    bool high, std::int32_t baseline, std::int64_t after,
                    const RowKernels& kern, std::vector<RawRun>& runs,
                    std::vector<HitSpan>& out);

}  // namespace lma::detail
