#include "row_values.hpp"

#include <algorithm>

namespace lma::detail {

RawRange reaching(double t, int sign, const Channel& ch) {
    const double slope = sign * ch.gain;
    auto reaches = [&](std::int32_t r) { return sign * value_of(r, ch) >= t; };
    if (slope > 0) {
        return {first_true(reaches), kRawMax};
    }
    if (slope < 0) {
        return {kRawMin, first_true([&](std::int32_t r) {
                             return !reaches(r);
                         }) - 1};
    }
    return reaches(0) ? RawRange{kRawMin, kRawMax} : RawRange{};
}

bool in_order(const std::vector<Segment>& segs) noexcept {
    for (std::size_t k = 1; k < segs.size(); ++k) {
        if (segs[k].start < segs[k - 1].end()) {
            return false;
        }
    }
    return true;
}

// Between two consecutive pulse ends or starts (the cuts) one pulse shows,
// the latest of those covering the piece; a sweep over the cuts keeps the
// covering pulses in a heap by their order.
void resolve(const std::vector<Segment>& segs, ResolveScratch& sc,
             std::vector<Segment>& runs) {
    const std::size_t n = segs.size();
    sc.order.resize(n);
    sc.cuts.clear();
    for (std::size_t k = 0; k < n; ++k) {
        sc.order[k] = k;
        sc.cuts.push_back(segs[k].start);
        sc.cuts.push_back(segs[k].end());
    }
    std::sort(sc.order.begin(), sc.order.end(),
              [&](std::size_t i, std::size_t j) {
                  return segs[i].start < segs[j].start;
              });
    std::sort(sc.cuts.begin(), sc.cuts.end());
    sc.cuts.erase(std::unique(sc.cuts.begin(), sc.cuts.end()),
                  sc.cuts.end());
    sc.live.clear();
    runs.clear();
    std::size_t next = 0;
    for (std::size_t c = 0; c + 1 < sc.cuts.size(); ++c) {
        const std::int64_t lo = sc.cuts[c], hi = sc.cuts[c + 1];
        for (; next < n && segs[sc.order[next]].start <= lo; ++next) {
            sc.live.push_back(sc.order[next]);
            std::push_heap(sc.live.begin(), sc.live.end());
        }
        // Pulses ended are dropped once they would show: a later one
        // still covering the piece outranks any earlier one.
        while (!sc.live.empty() && segs[sc.live.front()].end() <= lo) {
            std::pop_heap(sc.live.begin(), sc.live.end());
            sc.live.pop_back();
        }
        if (sc.live.empty()) {
            continue;  // a gap
        }
        const Segment& s = segs[sc.live.front()];
        const unsigned char* raw =
            s.raw + static_cast<std::size_t>(lo - s.start) * 2;
        if (!runs.empty() && runs.back().end() == lo &&
            runs.back().raw +
                    static_cast<std::size_t>(runs.back().length) * 2 ==
                raw) {
            runs.back().length += hi - lo;
        } else {
            runs.push_back({lo, hi - lo, raw});
        }
    }
}

}  // namespace lma::detail
