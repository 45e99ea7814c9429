// The hits of one channel's row: the stretches where y = polarity * trace
// reaches the threshold, joined across short gaps. Shared by the hit
// finder and the features' count of hits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "row_kernels.hpp"

namespace lma::detail {

// The hits a range of `total` records holds at the rate of its first
// `done` (> 0), which held `found`, with an eighth to spare for the rest;
// SIZE_MAX where that is beyond any memory.
std::size_t expected_hits(std::size_t found, std::size_t done,
                          std::size_t total) noexcept;

// The hits in [a, b) of a row of segments in order, not overlapping:
// runs of samples whose raw value is in `reach` (uncovered samples never
// are: their 0.0 is below any threshold above 0), runs at most `merge`
// samples apart joined. They are left in runs[0 .. the count returned),
// over the runs the row kernel found there, each as RawRun describes a
// run but over the whole hit (its sum takes in the covered samples
// between its runs), `sum` and `head` less the baseline's share; a head
// only for a hit of one run. `after` as for RowKernels::runs.
std::size_t find_hit_spans(const std::vector<Segment>& segs, std::int64_t a,
                           std::int64_t b, const RawRange& reach,
                           std::int64_t merge, bool high,
                           std::int32_t baseline, std::int64_t after,
                           const RowKernels& kern, std::vector<RawRun>& runs);

}  // namespace lma::detail
