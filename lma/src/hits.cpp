#include "lma/hits.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <vector>

#include "hit_spans.hpp"
#include "range_walk.hpp"
#include "record.hpp"
#include "row_kernels.hpp"
#include "row_values.hpp"

// Runs are found on the raw int16 samples, as the features' crossing is:
// "y reaches the threshold" holds for an interval of raw values, found
// once per channel. Only the samples of a hit and of the region its
// charge covers are calibrated; the cfd search may step back further, to
// the first sample below its level, which an uncovered sample always is
// for a level above 0.

namespace lma {

void HitColumns::clear() noexcept {
    event.clear();
    row.clear();
    start.clear();
    end.clear();
    width.clear();
    peak.clear();
    amplitude.clear();
    charge.clear();
    cfd.clear();
    rise.clear();
    tail.clear();
}

bool hit_settings_ok(const HitSettings& set, std::int64_t nsamples) noexcept {
    return 0 <= set.first && set.first <= set.stop &&
           set.stop <= nsamples && std::isfinite(set.threshold) &&
           set.threshold > 0 && (set.polarity == 1 || set.polarity == -1) &&
           set.merge >= 0 && set.pre >= 0 && set.post >= 0 &&
           set.tail >= -1 && set.fraction > 0 && set.fraction <= 1 &&
           set.low > 0 && set.low < set.high && set.high <= 1;
}

namespace detail {

void find_hit_spans(const std::vector<Segment>& segs, std::int64_t a,
                    std::int64_t b, const RawRange& reach, std::int64_t merge,
                    const RowKernels& kern, std::vector<HitSpan>& out) {
    if (reach.lo > reach.hi) {
        return;
    }
    const RawRange below = outside(reach);
    bool open = false;
    HitSpan cur{0, 0};
    for (const Segment& s : segs) {
        const std::int64_t s0 = std::max(s.start, a);
        const std::int64_t s1 = std::min(s.end(), b);
        if (s0 >= b) {
            break;
        }
        std::int64_t pos = s0;
        while (pos < s1) {
            const unsigned char* raw =
                s.raw + 2 * static_cast<std::size_t>(pos - s.start);
            const auto n = static_cast<std::size_t>(s1 - pos);
            const std::int64_t p =
                pos + static_cast<std::int64_t>(
                          kern.find(raw, n, reach.lo, reach.hi));
            if (p >= s1) {
                break;
            }
            const std::int64_t q =
                p + static_cast<std::int64_t>(kern.find(
                        s.raw + 2 * static_cast<std::size_t>(p - s.start),
                        static_cast<std::size_t>(s1 - p), below.lo,
                        below.hi));
            // A run going on into an adjacent pulse is one run: a gap of
            // 0, which any merge joins.
            if (open && p - cur.j <= merge) {
                cur.j = q;
            } else {
                if (open) {
                    out.push_back(cur);
                }
                cur = {p, q};
                open = true;
            }
            pos = q;
        }
    }
    if (open) {
        out.push_back(cur);
    }
}

}  // namespace detail

namespace {

using detail::for_records;
using detail::HitSpan;
using detail::in_order;
using detail::RawRange;
using detail::RowKernels;
using detail::Segment;
using detail::value_of;
using detail::WalkerBase;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

// y over a row of segments in order, not overlapping; uncovered samples
// are polarity * 0.0.
class Trace {
public:
    Trace(const std::vector<Segment>& segs, const Channel& ch, int polarity,
          const RowKernels& kern)
        : segs_(segs), ch_(ch), pol_(polarity), kern_(kern) {
        const double g = std::fabs(ch.gain);
        // |raw - baseline| <= 65535 for int16 raw values and baselines.
        distinct_ = g >= std::numeric_limits<double>::min() &&
                    g <= std::numeric_limits<double>::max() / 65536.0;
        raw_sum_ = g == 0.0 || g >= std::numeric_limits<double>::min();
        rising_ = pol_ * ch.gain > 0;
    }

    double y(std::int64_t pos) const {
        const Segment* s = containing(pos);
        return pol_ * (s != nullptr ? value_of(s->at(pos), ch_) : 0.0);
    }

    // Calls f(pos, bytes, n) for each covered stretch [pos, pos + n) of
    // [p, q), in order, `bytes` its raw samples.
    template <class F>
    void parts(std::int64_t p, std::int64_t q, F f) const {
        for (std::size_t k = first_ending_after(p); k < segs_.size(); ++k) {
            const Segment& s = segs_[k];
            if (s.start >= q) {
                break;
            }
            const std::int64_t from = std::max(s.start, p);
            const std::int64_t to = std::min(s.end(), q);
            f(from, s.raw + 2 * static_cast<std::size_t>(from - s.start),
              static_cast<std::size_t>(to - from));
        }
    }

    // Calls f(pos, raw) for each covered position of [p, q), in order.
    template <class F>
    void covered(std::int64_t p, std::int64_t q, F f) const {
        parts(p, q, [&](std::int64_t from, const unsigned char* bytes,
                        std::size_t n) {
            const detail::LeSamples raw{bytes};
            for (std::size_t k = 0; k < n; ++k) {
                f(from + static_cast<std::int64_t>(k), raw[k]);
            }
        });
    }

    // The first position of the maximum of y over [p, q), which holds a
    // sample at or above a threshold above 0, so uncovered samples never
    // are it.
    std::int64_t argmax(std::int64_t p, std::int64_t q) const {
        if (distinct_) {
            return raw_argmax(p, q);
        }
        double best = -std::numeric_limits<double>::infinity();
        std::int64_t at = p;
        covered(p, q, [&](std::int64_t pos, std::int32_t raw) {
            const double v = pol_ * value_of(raw, ch_);
            if (v > best) {
                best = v;
                at = pos;
            }
        });
        return at;
    }

    // The sum of y over [p, q), in order as the dense trace gives it:
    // taken on the raw values and calibrated once where every value is
    // normal or zero and finite, so that each rounding is relative.
    double sum(std::int64_t p, std::int64_t q) const {
        std::int64_t raw_sum = 0;
        std::int32_t widest = 0;
        const std::int32_t base = ch_.baseline;
        parts(p, q, [&](std::int64_t, const unsigned char* bytes,
                        std::size_t n) {
            const detail::SampleStats st = detail::sample_stats(bytes, n);
            raw_sum += st.sum - static_cast<std::int64_t>(n) * base;
            widest = std::max({widest, st.max - base, base - st.min});
        });
        if (raw_sum_ && std::isfinite(std::fabs(ch_.gain) * widest)) {
            return pol_ * (ch_.gain * static_cast<double>(raw_sum));
        }
        detail::InfinitySum s;
        covered(p, q, [&](std::int64_t, std::int32_t raw) {
            s.add(pol_ * value_of(raw, ch_));
        });
        return s.value();
    }

    // The last position in [lo, k) with y below `level`, or -1.
    std::int64_t last_below(std::int64_t lo, std::int64_t k,
                            double level) const {
        const bool gap_below = pol_ * 0.0 < level;
        std::int64_t pos = k - 1;
        while (pos >= lo) {
            const std::size_t i = first_ending_after(pos);
            if (i == segs_.size() || segs_[i].start > pos) {
                if (gap_below) {
                    return pos;
                }
                pos = i == 0 ? lo - 1 : segs_[i - 1].end() - 1;
                continue;
            }
            const Segment& s = segs_[i];
            for (; pos >= s.start && pos >= lo; --pos) {
                if (pol_ * value_of(s.at(pos), ch_) < level) {
                    return pos;
                }
            }
        }
        return -1;
    }

private:
    // argmax where distinct raw values calibrate to distinct values: the
    // first sample holding the extreme raw value that y's maximum is.
    std::int64_t raw_argmax(std::int64_t p, std::int64_t q) const {
        std::int32_t best = rising_ ? detail::kRawMin - 1
                                    : detail::kRawMax + 1;
        std::int64_t at = p;
        parts(p, q, [&](std::int64_t from, const unsigned char* bytes,
                        std::size_t n) {
            const detail::SampleStats st = detail::sample_stats(bytes, n);
            const std::int32_t v = rising_ ? st.max : st.min;
            if (rising_ ? v > best : v < best) {
                best = v;
                at = from + static_cast<std::int64_t>(
                                kern_.find(bytes, n, v, v));
            }
        });
        return at;
    }

    std::size_t first_ending_after(std::int64_t pos) const {
        return static_cast<std::size_t>(
            std::upper_bound(segs_.begin(), segs_.end(), pos,
                             [](std::int64_t p, const Segment& s) {
                                 return p < s.end();
                             }) -
            segs_.begin());
    }

    const Segment* containing(std::int64_t pos) const {
        const std::size_t k = first_ending_after(pos);
        return k < segs_.size() && segs_[k].start <= pos ? &segs_[k]
                                                         : nullptr;
    }

    const std::vector<Segment>& segs_;
    const Channel& ch_;
    double pol_;
    const RowKernels& kern_;
    bool distinct_ = false;  // as for the features' ChannelRule
    bool raw_sum_ = false;
    bool rising_ = false;    // y grows with the raw value
};

// Where y rises through `level` before `peak`, searching back to `lo`.
double level_time(const Trace& t, std::int64_t lo, std::int64_t peak,
                  double level) {
    const std::int64_t m = t.last_below(lo, peak, level);
    if (m < 0) {
        return static_cast<double>(lo);
    }
    const double ym = t.y(m);
    return static_cast<double>(m) + (level - ym) / (t.y(m + 1) - ym);
}

// Lengths are clamped so that settings up to the int64 limit add safely.
std::int64_t ahead(std::int64_t pos, std::int64_t n, std::int64_t limit) {
    return n >= limit - pos ? limit : pos + n;
}

void measure(const Trace& t, const HitSettings& set,
             const std::vector<HitSpan>& spans, std::int64_t event,
             std::int32_t row, HitColumns& out) {
    const std::int64_t a = set.first, b = set.stop;
    std::int64_t lo = a;
    for (std::size_t h = 0; h < spans.size(); ++h) {
        const auto [i, j] = spans[h];
        const std::int64_t next = h + 1 < spans.size() ? spans[h + 1].i : b;
        const std::int64_t hi = std::min(ahead(j, set.post, b), next);
        double start = static_cast<double>(a);
        if (i > a) {
            const double y0 = t.y(i - 1);
            start = static_cast<double>(i - 1) +
                    (set.threshold - y0) / (t.y(i) - y0);
        }
        const std::int64_t peak = t.argmax(i, j);
        const double amplitude = t.y(peak);
        const std::int64_t from = i - std::min(set.pre, i - lo);
        const double charge = t.sum(from, hi);
        double tail = kNan;
        if (set.tail >= 0 && charge != 0 && std::isfinite(charge)) {
            tail = t.sum(ahead(peak, set.tail, hi), hi) / charge;
        }
        out.event.push_back(event);
        out.row.push_back(row);
        out.start.push_back(start);
        out.end.push_back(static_cast<std::int32_t>(j));
        out.width.push_back(static_cast<std::int32_t>(j - i));
        out.peak.push_back(static_cast<std::int32_t>(peak));
        out.amplitude.push_back(amplitude);
        out.charge.push_back(charge);
        out.cfd.push_back(
            level_time(t, lo, peak, set.fraction * amplitude));
        out.rise.push_back(level_time(t, lo, peak, set.high * amplitude) -
                           level_time(t, lo, peak, set.low * amplitude));
        out.tail.push_back(tail);
        lo = hi;
    }
}

// One channel's pulses of a record.
struct RowPulses {
    std::vector<Segment> segs;

    void add(const Span& span, const unsigned char* raw) {
        if (span.length > 0) {
            segs.push_back({span.start, span.length, raw});
        }
    }
};

class HitWalker : public WalkerBase {
public:
    HitWalker(const Header& h, const HitOut& out, const std::vector<int>& slot,
              std::size_t first)
        : out_(out), slot_(slot), first_(first), rows_(out.nrows) {
        reach_.reserve(out.nrows);
        for (std::size_t k = 0; k < out.nrows; ++k) {
            const HitSettings& set = out.settings[k];
            channels_.push_back(&h.channel_info[out.rows[k]]);
            reach_.push_back(detail::reaching(set.threshold, set.polarity,
                                              *channels_.back()));
        }
    }

    Status pulse(std::size_t, std::size_t row, Pulse, const unsigned char* raw,
                 const Span& span) {
        const int k = slot_[row];
        if (k >= 0) {
            rows_[static_cast<std::size_t>(k)].add(span, raw);
        }
        return ok();
    }

    Status record(std::size_t r, const detail::RecordHead& head) {
        const std::size_t e = r - first_;
        for (std::size_t k = 0; k < rows_.size(); ++k) {
            find_row(r, k);
            rows_[k].segs.clear();
        }
        if (out_.tags != nullptr) {
            out_.tags[e] = head.tag;
        }
        if (out_.horpos != nullptr) {
            out_.horpos[e] = head.horpos;
        }
        return ok();
    }

private:
    void find_row(std::size_t r, std::size_t k) {
        const HitSettings& set = out_.settings[k];
        const std::vector<Segment>* segs = &rows_[k].segs;
        if (segs->empty() || set.first == set.stop) {
            return;
        }
        if (!in_order(*segs)) {
            detail::resolve(*segs, resolving_, runs_);
            segs = &runs_;
        }
        spans_.clear();
        detail::find_hit_spans(*segs, set.first, set.stop, reach_[k],
                               set.merge, kernels_, spans_);
        const Trace t(*segs, *channels_[k], set.polarity, kernels_);
        measure(t, set, spans_, static_cast<std::int64_t>(r),
                static_cast<std::int32_t>(k), *out_.hits);
    }

    const HitOut& out_;
    const std::vector<int>& slot_;
    std::size_t first_;
    std::vector<RowPulses> rows_;
    std::vector<const Channel*> channels_;
    std::vector<RawRange> reach_;
    std::vector<HitSpan> spans_;
    detail::ResolveScratch resolving_;  // see detail::resolve
    std::vector<Segment> runs_;
    const RowKernels kernels_ = detail::row_kernels();
};

bool hit_arguments_ok(const Header& h, const HitOut& out) {
    if (out.hits == nullptr || !detail::aligned(out.tags, 4) ||
        !detail::aligned(out.horpos, 8) ||
        (out.nrows > 0 && (out.rows == nullptr || out.settings == nullptr))) {
        return false;
    }
    for (std::size_t k = 0; k < out.nrows; ++k) {
        if (!hit_settings_ok(out.settings[k], h.nsamples)) {
            return false;
        }
    }
    return true;
}

// The raw values order the calibrated ones only for a finite gain.
bool hit_gains_ok(const Header& h, const HitOut& out) {
    for (std::size_t k = 0; k < out.nrows; ++k) {
        if (!std::isfinite(h.channel_info[out.rows[k]].gain)) {
            return false;
        }
    }
    return true;
}

}  // namespace

Stop find_hits(const File& f, const Header& h, const RecordIndex& index,
               std::size_t first, std::size_t last, const HitOut& out,
               Scratch& scratch) noexcept {
    try {
        std::vector<int> slot;
        auto rows = [&](std::size_t k) { return out.rows[k]; };
        if (!detail::range_ok(h, index, first, last) ||
            !hit_arguments_ok(h, out) ||
            !detail::select_rows(h, rows, out.nrows, slot) ||
            !hit_gains_ok(h, out)) {
            return detail::bad_arguments(index, first);
        }
        HitWalker walker(h, out, slot, first);
        return for_records(f, h, index, first, last, scratch, walker);
    } catch (const std::bad_alloc&) {
        return {{Errc::no_memory, 0}, 0, static_cast<std::int64_t>(first)};
    }
}

}  // namespace lma
