#include "row_values.hpp"

#include <algorithm>
#include <cstring>

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

RawRange outside(const RawRange& r) noexcept {
    if (r.lo > r.hi) {
        return {kRawMin, kRawMax};
    }
    if (r.lo <= kRawMin) {
        return {r.hi + 1, kRawMax};
    }
    return {kRawMin, r.lo - 1};
}

bool in_order(const std::vector<Segment>& segs) noexcept {
    for (std::size_t k = 1; k < segs.size(); ++k) {
        if (segs[k].start < segs[k - 1].end()) {
            return false;
        }
    }
    return true;
}

void resolve(const std::vector<Segment>& segs,
             std::vector<unsigned char>& bytes, std::vector<Segment>& runs) {
    std::int64_t lo = segs[0].start, hi = segs[0].end();
    for (const Segment& s : segs) {
        lo = std::min(lo, s.start);
        hi = std::max(hi, s.end());
    }
    const auto n = static_cast<std::size_t>(hi - lo);
    // Bytes of the samples, then one "covered" flag per sample.
    bytes.assign(n * 3, 0);
    unsigned char* flags = bytes.data() + n * 2;
    for (const Segment& s : segs) {
        const auto at = static_cast<std::size_t>(s.start - lo);
        std::memcpy(bytes.data() + at * 2, s.raw,
                    static_cast<std::size_t>(s.length) * 2);
        std::fill_n(flags + at, s.length, 1);
    }
    runs.clear();
    for (std::size_t k = 0; k < n;) {
        if (!flags[k]) {
            ++k;
            continue;
        }
        std::size_t stop = k;
        while (stop < n && flags[stop]) {
            ++stop;
        }
        runs.push_back({lo + static_cast<std::int64_t>(k),
                        static_cast<std::int64_t>(stop - k),
                        bytes.data() + k * 2});
        k = stop;
    }
}

}  // namespace lma::detail
