#include "lma/features.hpp"

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

// The quantities are found on the raw int16 samples. Calibration,
// gain * (raw - baseline), is monotone in the raw value (the difference is
// exact, and rounding the product preserves order), so an extreme of the
// trace is the calibrated extreme raw value, and every test a quantity
// makes on a sample ("is it the maximum", "does it reach the threshold")
// holds for an interval of raw values, found once. An uncovered sample is
// 0.0, which is what the baseline calibrates to, so gaps take part as
// samples holding the baseline. Only the few samples a formula reads are
// calibrated.

namespace lma {

namespace {

using detail::aligned;
using detail::bad_arguments;
using detail::for_records;
using detail::in_order;
using detail::LeSamples;
using detail::range_ok;
using detail::reaching;
using detail::resolve;
using detail::RawRange;
using detail::RowKernels;
using detail::Segment;
using detail::select_rows;
using detail::value_of;
using detail::WalkerBase;

constexpr std::int32_t kRawMin = std::numeric_limits<std::int16_t>::min();
constexpr std::int32_t kRawMax = std::numeric_limits<std::int16_t>::max();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

// Samples of a segment searched here, and of a row summed here, rather
// than by the row kernels: for so few, the call and its setup cost more
// than the loop. From eight samples on, one vector compare beats a loop
// that stops at a place the branch predictor cannot know.
constexpr std::size_t kShortRun = 7;
constexpr std::int64_t kShortRow = 64;

// What a channel's values depend on, fixed for a call.
struct ChannelRule {
    const Channel* ch = nullptr;
    // Distinct raw values calibrate to distinct finite values, so the raw
    // extreme is the only one calibrating to the extreme.
    bool distinct = false;
    // The sum may be taken on the raw values and calibrated once: every
    // value is normal or zero, so each calibration's rounding is relative.
    bool raw_sum = false;
    RawRange crossing;  // raw values whose y reaches the threshold
    // A quantity other than the count of pulses is asked for: the row's
    // samples are read.
    bool row = true;

    ChannelRule(const Channel& c, const FeatureSettings& set,
                bool crossing_wanted)
        : ch(&c) {
        const double g = std::fabs(c.gain);
        // |raw - baseline| <= 65535 for int16 raw values and baselines.
        distinct = g >= std::numeric_limits<double>::min() &&
                   g <= std::numeric_limits<double>::max() / 65536.0;
        raw_sum = g == 0.0 || g >= std::numeric_limits<double>::min();
        if (crossing_wanted) {
            crossing = reaching(set.threshold, set.polarity, c);
        }
    }

    // The raw values calibrating to `v`, the value of raw `r`: an interval
    // by monotonicity.
    RawRange preimage(std::int32_t r, double v) const {
        if (distinct) {
            return {r, r};
        }
        const double gain = ch->gain;
        if (!(gain > 0 || gain < 0)) {
            return {kRawMin, kRawMax};
        }
        const int sign = gain > 0 ? 1 : -1;
        const RawRange at_least = reaching(sign * v, sign, *ch);
        const RawRange above = reaching(-sign * v, -sign, *ch);
        return {std::max(at_least.lo, above.lo),
                std::min(at_least.hi, above.hi)};
    }
};

// A window's covered samples and their raw extremes.
struct Extremes {
    std::int64_t covered = 0;
    std::int64_t raw_sum = 0;  // of raw - baseline over covered samples
    std::int32_t max = kRawMin;
    std::int32_t min = kRawMax;
};

// The row of one channel in a window, raw values with gaps holding the
// baseline.
class Row {
public:
    // `spans` is scratch memory for what the row keeps of each segment;
    // `stored` counts the samples of the segments.
    Row(const std::vector<Segment>& segs, std::int64_t stored,
        const Channel& ch, std::int64_t a, std::int64_t b,
        std::vector<RawRange>& spans, const RowKernels& kern)
        : segs_(segs), spans_(spans), kern_(kern), baseline_(ch.baseline),
          a_(a), b_(b) {
        summarise(stored);
    }

    // The raw value at `pos`, a position of the row.
    std::int32_t at(std::int64_t pos) const {
        for (const Segment& s : segs_) {
            if (pos < s.start) {
                break;
            }
            if (pos < s.end()) {
                return s.at(pos);
            }
        }
        return baseline_;
    }

    // The first position of the window whose raw value is in `range`, or
    // -1.
    std::int64_t first_in(const RawRange& range) const {
        const bool gap_in = range.contains(baseline_);
        std::int64_t pos = a_;
        for (const Segment& s : segs_) {
            const std::int64_t s0 = std::max(s.start, a_);
            const std::int64_t s1 = std::min(s.end(), b_);
            if (s0 >= b_) {
                break;
            }
            if (s1 <= s0) {
                continue;
            }
            if (s0 > pos && gap_in) {
                return pos;
            }
            pos = s1;
            // A segment whose raw values all lie outside `range` is passed
            // over unread.
            const RawRange& span =
                spans_[static_cast<std::size_t>(&s - segs_.data())];
            if (span.hi < range.lo || range.hi < span.lo) {
                continue;
            }
            const auto off = static_cast<std::size_t>(s0 - s.start);
            const auto n = static_cast<std::size_t>(s1 - s0);
            const unsigned char* raw = s.raw + off * 2;
            std::size_t k = 0;
            if (n <= kShortRun) {
                const LeSamples v{raw};
                while (k < n && !range.contains(v[k])) {
                    ++k;
                }
            } else {
                k = kern_.find(raw, n, range.lo, range.hi);
            }
            if (k < n) {
                return s0 + static_cast<std::int64_t>(k);
            }
        }
        return pos < b_ && gap_in ? pos : -1;
    }

    // The last position p in [a, k) with below(p's raw value), or -1.
    template <class Below>
    std::int64_t last_below(std::int64_t k, Below below) const {
        const bool gap_below = below(baseline_);
        std::int64_t pos = k - 1;
        std::size_t i = segs_.size();
        while (pos >= a_) {
            while (i > 0 && segs_[i - 1].start > pos) {
                --i;
            }
            if (i == 0 || segs_[i - 1].end() <= pos) {
                if (gap_below) {
                    return pos;  // in a gap
                }
                pos = i == 0 ? a_ - 1 : segs_[i - 1].end() - 1;
                continue;
            }
            const Segment& s = segs_[i - 1];
            for (; pos >= s.start && pos >= a_; --pos) {
                if (below(s.at(pos))) {
                    return pos;
                }
            }
        }
        return -1;
    }

    // Covered samples of the window, their raw extremes and the sum of
    // raw - baseline over them.
    const Extremes& extremes() const { return x_; }

private:
    // Fills x_, and spans_ with the raw extremes of each segment's part in
    // the window (empty for none).
    void summarise(std::int64_t stored) {
        spans_.resize(segs_.size());
        const detail::RowStats st =
            stored < kShortRow
                ? detail::portable_row(segs_.data(), segs_.size(), a_, b_,
                                       spans_.data())
                : kern_.row(segs_.data(), segs_.size(), a_, b_,
                            spans_.data());
        x_.covered = st.covered;
        x_.max = st.max;
        x_.min = st.min;
        x_.raw_sum =
            st.sum - st.covered * static_cast<std::int64_t>(baseline_);
    }

public:
    // The sum of the calibrated covered values: for values that overflow
    // or lose precision alone. Infinite samples are kept apart from the
    // running total, which may overflow the other way first: their sign
    // alone decides the sum, as it does the exact one.
    double dense_sum(const Channel& ch) const {
        detail::InfinitySum sum;
        for (const Segment& s : segs_) {
            const std::int64_t s0 = std::max(s.start, a_);
            const std::int64_t s1 = std::min(s.end(), b_);
            for (std::int64_t p = s0; p < s1; ++p) {
                sum.add(value_of(s.at(p), ch));
            }
        }
        return sum.value();
    }

private:
    const std::vector<Segment>& segs_;
    std::vector<RawRange>& spans_;
    const RowKernels& kern_;
    std::int32_t baseline_;
    std::int64_t a_, b_;
    Extremes x_;
};

// Memory a walker reuses from row to row.
struct RowScratch {
    // The row of a record whose pulses overlap or come out of order, made
    // afresh for each: its runs, and what resolving them needs.
    std::vector<Segment> runs;
    detail::ResolveScratch resolving;
    std::vector<RawRange> spans;  // see Row
    std::vector<detail::RawRun> runs_found;  // see detail::find_hit_spans
};

// One channel of one record: its pulses, then the row they make.
class RowFeatures {
public:
    void add(const Span& span, const unsigned char* raw, bool keep) {
        ++pulses_;
        if (keep && span.length > 0) {
            stored_ += span.length;
            segs_.push_back({span.start, span.length, raw});
        }
    }
    void clear() {
        pulses_ = 0;
        stored_ = 0;
        segs_.clear();
    }

    // Writes the quantities for record e (relative) at column `col`.
    void compute(const ChannelRule& rule, const FeatureSettings& set,
                 const FeatureOut& out, std::size_t e, std::size_t col,
                 RowScratch& scratch, const RowKernels& kern);

private:
    std::int32_t pulses_ = 0;
    std::int64_t stored_ = 0;  // samples of segs_
    std::vector<Segment> segs_;
};

template <class T>
void put(const FeatureOut& out, Quantity q, std::size_t e, std::size_t col,
         T v) {
    const auto i = static_cast<std::size_t>(q);
    if (out.data[i] != nullptr) {
        static_cast<T*>(out.data[i])[static_cast<std::int64_t>(e) *
                                         out.stride[i] +
                                     static_cast<std::int64_t>(col)] = v;
    }
}

bool wanted(const FeatureOut& out, Quantity q) {
    return out.data[static_cast<std::size_t>(q)] != nullptr;
}

void RowFeatures::compute(const ChannelRule& rule, const FeatureSettings& set,
                          const FeatureOut& out, std::size_t e,
                          std::size_t col, RowScratch& scratch,
                          const RowKernels& kern) {
    const Channel& ch = *rule.ch;
    const std::int64_t a = set.first, b = set.stop;
    auto put_d = [&](Quantity q, double v) { put<double>(out, q, e, col, v); };
    auto put_i = [&](Quantity q, std::int64_t v) {
        put<std::int32_t>(out, q, e, col, static_cast<std::int32_t>(v));
    };
    put_i(Quantity::pulses, pulses_);
    if (!rule.row) {
        return;
    }
    if (b == a) {
        for (Quantity q : {Quantity::maximum, Quantity::minimum,
                           Quantity::crossing, Quantity::cfd}) {
            put_d(q, kNan);
        }
        put_i(Quantity::argmax, -1);
        put_i(Quantity::argmin, -1);
        put_d(Quantity::sum, 0.0);
        put_i(Quantity::covered, 0);
        put_i(Quantity::hits, 0);
        return;
    }
    const std::vector<Segment>* segs = &segs_;
    if (!in_order(segs_)) {
        resolve(segs_, scratch.resolving, scratch.runs);
        segs = &scratch.runs;
    }
    if (wanted(out, Quantity::hits)) {
        const std::size_t hits = detail::find_hit_spans(
            *segs, a, b, rule.crossing, set.merge, set.polarity * ch.gain > 0,
            ch.baseline, -1, kern, scratch.runs_found);
        put_i(Quantity::hits, static_cast<std::int64_t>(hits));
    }
    const Row row(*segs, stored_, ch, a, b, scratch.spans, kern);
    Extremes x = row.extremes();
    if (x.covered < b - a) {
        x.max = std::max(x.max, ch.baseline);
        x.min = std::min(x.min, ch.baseline);
    }
    put_i(Quantity::covered, x.covered);
    // The raw values of the trace's maximum and minimum.
    const bool rising = !(ch.gain < 0);
    const std::int32_t raw_max = rising ? x.max : x.min;
    const std::int32_t raw_min = rising ? x.min : x.max;
    const double maximum = value_of(raw_max, ch);
    const double minimum = value_of(raw_min, ch);
    put_d(Quantity::maximum, maximum);
    put_d(Quantity::minimum, minimum);
    const bool cfd = wanted(out, Quantity::cfd);
    std::int64_t argmax = -1, argmin = -1;
    if (wanted(out, Quantity::argmax) || (cfd && set.polarity > 0)) {
        argmax = row.first_in(rule.preimage(raw_max, maximum));
        put_i(Quantity::argmax, argmax);
    }
    if (wanted(out, Quantity::argmin) || (cfd && set.polarity < 0)) {
        argmin = row.first_in(rule.preimage(raw_min, minimum));
        put_i(Quantity::argmin, argmin);
    }
    if (wanted(out, Quantity::sum)) {
        const bool finite = std::isfinite(maximum) && std::isfinite(minimum);
        put_d(Quantity::sum, rule.raw_sum && finite
                                 ? ch.gain * static_cast<double>(x.raw_sum)
                                 : row.dense_sum(ch));
    }
    const double pol = set.polarity;
    auto y = [&](std::int64_t pos) { return pol * value_of(row.at(pos), ch); };
    if (wanted(out, Quantity::crossing)) {
        const std::int64_t i = row.first_in(rule.crossing);
        double edge = kNan;
        if (i == a) {
            edge = static_cast<double>(a);
        } else if (i > a) {
            const double lo = y(i - 1), hi = y(i);
            edge = static_cast<double>(i - 1) +
                   (set.threshold - lo) / (hi - lo);
        }
        put_d(Quantity::crossing, edge);
    }
    if (cfd) {
        // y's maximum and where it first is.
        const double top = set.polarity > 0 ? maximum : -minimum;
        const std::int64_t k = set.polarity > 0 ? argmax : argmin;
        double edge = kNan;
        if (!(top <= 0)) {
            const double level = set.fraction * top;
            const std::int64_t j = row.last_below(k, [&](std::int32_t r) {
                return pol * value_of(r, ch) < level;
            });
            if (j < 0) {
                edge = static_cast<double>(a);
            } else {
                const double lo = y(j);
                edge = static_cast<double>(j) + (level - lo) / (y(j + 1) - lo);
            }
        }
        put_d(Quantity::cfd, edge);
    }
}

// The walker: collects each selected channel's pulses of a record, and
// computes its quantities once the record has walked whole.
class FeatureWalker : public WalkerBase {
public:
    FeatureWalker(const Header& h, const FeatureSettings& set,
                  const FeatureOut& out, const std::vector<int>& slot,
                  std::size_t first)
        : set_(set), out_(out), slot_(slot), first_(first),
          rows_(out.nrows) {
        const bool crossing = wanted(out, Quantity::crossing) ||
                              wanted(out, Quantity::hits);
        for (std::size_t q = 0; q < kQuantities; ++q) {
            if (static_cast<Quantity>(q) != Quantity::pulses &&
                out.data[q] != nullptr) {
                row_ = true;
            }
        }
        rules_.reserve(out.nrows);
        for (std::size_t k = 0; k < out.nrows; ++k) {
            rules_.emplace_back(h.channel_info[out.rows[k]], set, crossing);
            rules_.back().row = row_;
        }
    }

    Status pulse(std::size_t, std::size_t row, Pulse, const unsigned char* raw,
                 const Span& span) {
        const int k = slot_[row];
        if (k >= 0) {
            rows_[static_cast<std::size_t>(k)].add(span, raw, row_);
        }
        return ok();
    }

    Status record(std::size_t r, const detail::RecordHead& head) {
        const std::size_t e = r - first_;
        for (std::size_t k = 0; k < rows_.size(); ++k) {
            rows_[k].compute(rules_[k], set_, out_, e, k, scratch_,
                             kernels_);
            rows_[k].clear();
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
    const FeatureSettings& set_;
    const FeatureOut& out_;
    const std::vector<int>& slot_;
    std::size_t first_;
    std::vector<RowFeatures> rows_;
    std::vector<ChannelRule> rules_;
    RowScratch scratch_;
    const RowKernels kernels_ = detail::row_kernels();
    bool row_ = false;  // see ChannelRule::row
};

bool settings_ok(const Header& h, const FeatureSettings& set,
                 bool crossing) {
    return 0 <= set.first && set.first <= set.stop &&
           set.stop <= h.nsamples && set.fraction > 0 &&
           set.fraction <= 1 && (set.polarity == 1 || set.polarity == -1) &&
           set.merge >= 0 &&
           (!crossing || (std::isfinite(set.threshold) && set.threshold > 0));
}

// The raw values order the calibrated ones only for a finite gain: an
// infinite one makes the baseline NaN, unlike a gap. A checked header has
// none.
bool gains_ok(const Header& h, const FeatureOut& out) {
    for (std::size_t k = 0; k < out.nrows; ++k) {
        if (!std::isfinite(h.channel_info[out.rows[k]].gain)) {
            return false;
        }
    }
    return true;
}

bool outputs_ok(const FeatureOut& out) {
    if (!aligned(out.tags, 4) || !aligned(out.horpos, 8)) {
        return false;
    }
    for (std::size_t i = 0; i < kQuantities; ++i) {
        const bool wide = !is_int32(static_cast<Quantity>(i));
        if (out.data[i] != nullptr &&
            (!aligned(out.data[i], wide ? 8 : 4) ||
             out.stride[i] < static_cast<std::int64_t>(out.nrows))) {
            return false;
        }
    }
    return true;
}

}  // namespace

Stop compute_features(const File& f, const Header& h,
                      const RecordIndex& index, std::size_t first,
                      std::size_t last, const FeatureSettings& settings,
                      const FeatureOut& out, Scratch& scratch) noexcept {
    try {
        std::vector<int> slot;
        auto rows = [&](std::size_t k) { return out.rows[k]; };
        if (!range_ok(h, index, first, last) ||
            (out.nrows > 0 && out.rows == nullptr) ||
            !select_rows(h, rows, out.nrows, slot) ||
            !settings_ok(h, settings,
                         wanted(out, Quantity::crossing) ||
                             wanted(out, Quantity::hits)) ||
            !gains_ok(h, out) || !outputs_ok(out)) {
            return bad_arguments(index, first);
        }
        FeatureWalker walker(h, settings, out, slot, first);
        return for_records(f, h, index, first, last, scratch, walker);
    } catch (const std::bad_alloc&) {
        return {{Errc::no_memory, 0}, 0, static_cast<std::int64_t>(first)};
    }
}

}  // namespace lma
