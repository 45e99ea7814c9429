#include "lma/hits.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <type_traits>
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

HitColumns::~HitColumns() {
    each_column(cols_, [](auto* column) { std::free(column); });
}

void HitColumns::grow() {
    // Doubling: each hit is moved at most once on average, and realloc
    // often extends in place.
    if (!reserve(capacity_ == 0 ? 1024 : 2 * capacity_)) {
        throw std::bad_alloc();
    }
}

bool HitColumns::reserve(std::size_t want) noexcept {
    if (want <= capacity_) {
        return true;
    }
    bool ok = true;
    each_column(cols_, [&](auto*& column) {
        using T = std::remove_reference_t<decltype(*column)>;
        if (!ok) {
            return;
        }
        // Columns already grown keep their new room: capacity_ is the
        // smallest, and only it is relied on.
        if (want > SIZE_MAX / sizeof(T)) {
            ok = false;
            return;
        }
        void* p = std::realloc(column, want * sizeof(T));
        if (p == nullptr) {
            ok = false;
            return;
        }
        column = static_cast<T*>(p);
    });
    if (ok) {
        capacity_ = want;
    }
    return ok;
}

Hit HitColumns::operator[](std::size_t k) const noexcept {
    const HitArrays& c = cols_;
    return {c.event[k], c.channel[k], c.start[k],     c.end[k],
            c.width[k], c.peak[k], c.amplitude[k], c.charge[k],
            c.cfd[k],   c.rise[k], c.tail[k]};
}

HitArrays HitColumns::release() noexcept {
    HitArrays out = cols_;
    const std::size_t n = size_;
    each_column(out, [n](auto*& column) {
        using T = std::remove_reference_t<decltype(*column)>;
        if (n == 0) {
            std::free(column);
            column = nullptr;
        } else if (void* p = std::realloc(column, n * sizeof(T))) {
            // Cut to its values; a failed cut keeps the longer column.
            column = static_cast<T*>(p);
        }
    });
    cols_ = HitArrays{};
    size_ = 0;
    capacity_ = 0;
    return out;
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

namespace {

// The sum of raw - baseline over the covered samples of [p, q), held by
// segs[0 .. k].
std::int64_t covered_sum(const std::vector<Segment>& segs, std::size_t k,
                         std::int64_t p, std::int64_t q,
                         std::int32_t baseline) {
    std::int64_t sum = 0;
    for (std::size_t m = k + 1; m-- > 0 && segs[m].end() > p;) {
        const Segment& s = segs[m];
        const std::int64_t s0 = std::max(s.start, p);
        const std::int64_t s1 = std::min(s.end(), q);
        if (s1 > s0) {
            sum += short_sum(s.raw + 2 * static_cast<std::size_t>(
                                             s0 - s.start),
                             static_cast<std::size_t>(s1 - s0)) -
                   (s1 - s0) * baseline;
        }
    }
    return sum;
}

}  // namespace

std::size_t expected_hits(std::size_t found, std::size_t done,
                          std::size_t total) noexcept {
    const double want = static_cast<double>(found) *
                        (1.0 + static_cast<double>(total - done) /
                                   static_cast<double>(done) * 1.125);
    // The cut keeps the conversion defined.
    return want < 0x1p64 ? static_cast<std::size_t>(want) : SIZE_MAX;
}

std::size_t find_hit_spans(const std::vector<Segment>& segs, std::int64_t a,
                           std::int64_t b, const RawRange& reach,
                           std::int64_t merge, bool high,
                           std::int32_t baseline, std::int64_t after,
                           const RowKernels& kern, std::vector<RawRun>& runs) {
    if (reach.lo > reach.hi) {
        return 0;
    }
    const std::size_t room = run_room(segs.data(), segs.size());
    if (runs.size() < room) {
        runs.resize(room);
    }
    const std::size_t n = kern.runs(segs.data(), segs.size(), a, b, reach.lo,
                                    reach.hi, high, after, runs.data());
    // Hits are written over the runs already read: runs[w - 1] is the
    // last so far, and w <= r.
    std::size_t w = 0;
    std::size_t k = 0;  // the last segment starting before the run
    for (std::size_t r = 0; r < n; ++r) {
        RawRun run = runs[r];
        const std::int64_t sum = run.sum - (run.j - run.i) * baseline;
        // A run going on into an adjacent pulse is one run: a gap of 0,
        // which any merge joins.
        if (w > 0 && run.i - runs[w - 1].j <= merge) {
            RawRun& cur = runs[w - 1];
            while (k + 1 < segs.size() && segs[k + 1].start < run.i) {
                ++k;
            }
            cur.sum += covered_sum(segs, k, cur.j, run.i, baseline) + sum;
            cur.has_head = false;  // a head of one run only
            if (high ? run.best > cur.best : run.best < cur.best) {
                cur.best = run.best;
                cur.at = run.at;
            }
            cur.j = run.j;
        } else {
            run.sum = sum;
            if (run.has_head) {
                run.head -= (std::min(run.at + after, run.j) - run.i) *
                            baseline;
            }
            runs[w++] = run;
        }
    }
    return w;
}

}  // namespace detail

namespace {

using detail::for_records;
using detail::RawRun;
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
    // `spans` is scratch for the row kernel, one entry per segment.
    Trace(const std::vector<Segment>& segs, const Channel& ch, int polarity,
          const RowKernels& kern, std::vector<RawRange>& spans)
        : segs_(segs), ch_(ch), pol_(polarity), kern_(kern), spans_(spans),
          nsegs_(segs.size()) {
        const double g = std::fabs(ch.gain);
        // |raw - baseline| <= 65535 for int16 raw values and baselines.
        distinct_ = g >= std::numeric_limits<double>::min() &&
                    g <= std::numeric_limits<double>::max() / 65536.0;
        raw_sum_ = g == 0.0 || g >= std::numeric_limits<double>::min();
    }

    double y(std::int64_t pos) const {
        const Segment* s = containing(pos);
        return s != nullptr ? y_of(s->at(pos)) : pol_ * 0.0;
    }

    double y_of(std::int32_t raw) const { return pol_ * value_of(raw, ch_); }

    // Calls f(pos, bytes, n) for each covered stretch [pos, pos + n) of
    // [p, q), in order, `bytes` its raw samples.
    template <class F>
    void parts(std::int64_t p, std::int64_t q, F f) const {
        for (std::size_t k = first_ending_after(p); k < nsegs_; ++k) {
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

    // The raw sum of the covered samples of [p, q), and how far they are
    // from the baseline.
    struct Region {
        std::int64_t raw_sum = 0;
        std::int32_t widest = 0;  // largest |raw - baseline|
    };

    // In one call of the row kernel, the features' own walk over a row.
    Region region(std::int64_t p, std::int64_t q) const {
        const std::size_t k = first_ending_after(p);
        const detail::RowStats x =
            kern_.row(segs_.data() + k, nsegs_ - k, p, q,
                      spans_.data() + k);
        const std::int32_t base = ch_.baseline;
        Region r;
        r.raw_sum = x.sum - x.covered * base;
        if (x.covered > 0) {
            r.widest = std::max(x.max - base, base - x.min);
        }
        return r;
    }

    // Whether the sum of a region, or of any part of it, is its raw sum
    // calibrated once: every value normal or zero and finite, so that
    // each rounding is relative.
    bool raw_summable(const Region& r) const {
        return raw_sum_ && std::isfinite(std::fabs(ch_.gain) * r.widest);
    }

    // The raw sum alone of [p, q) less the baseline's, for short parts,
    // which the row kernel's setup would outweigh.
    std::int64_t raw_sum(std::int64_t p, std::int64_t q) const {
        std::int64_t sum = 0;
        const std::int32_t base = ch_.baseline;
        parts(p, q, [&](std::int64_t, const unsigned char* bytes,
                        std::size_t n) {
            sum += detail::short_sum(bytes, n) -
                   static_cast<std::int64_t>(n) * base;
        });
        return sum;
    }

    double calibrated(std::int64_t raw_sum) const {
        return pol_ * (ch_.gain * static_cast<double>(raw_sum));
    }

    // The sum of y over [p, q), in order as the dense trace gives it:
    // taken on the raw values and calibrated once where raw_summable.
    double sum(std::int64_t p, std::int64_t q) const {
        const Region r = region(p, q);
        if (raw_summable(r)) {
            return calibrated(r.raw_sum);
        }
        detail::InfinitySum s;
        covered(p, q, [&](std::int64_t, std::int32_t raw) {
            s.add(pol_ * value_of(raw, ch_));
        });
        return s.value();
    }

    // Whether distinct raw values calibrate to distinct values, so that
    // the run samples' extreme raw value is y's maximum over them, and
    // every sum may be taken on the raw values (raw_summable).
    bool distinct() const { return distinct_; }

    // The first position of y's maximum over [i, j), the run samples of a
    // hit, comparing y itself; uncovered samples, below the threshold,
    // never are the maximum.
    std::int64_t peak(std::int64_t i, std::int64_t j) const {
        double best = -std::numeric_limits<double>::infinity();
        std::int64_t at = i;
        covered(i, j, [&](std::int64_t pos, std::int32_t raw) {
            const double v = pol_ * value_of(raw, ch_);
            if (v > best) {
                best = v;
                at = pos;
            }
        });
        return at;
    }

    // For each of `n` levels, where y rises through it before `peak`
    // (whose y is `top`): the last position m in [lo, peak) with
    // y[m] < level, interpolated to m + (level - y[m]) / (y[m+1] - y[m]),
    // or lo where there is none. One walk back from the peak serves all
    // levels; it stops once each has its position.
    template <std::size_t N>
    void level_times(std::int64_t lo, std::int64_t peak, double top,
                     const double (&level)[N], double (&time)[N]) const {
        // Highest first: walking back, y falls below the levels in that
        // order, so each sample asks about one level, the highest not
        // found yet. (No level is NaN: the peak's y reaches the threshold.)
        std::size_t order[N];
        for (std::size_t l = 0; l < N; ++l) {
            std::size_t m = l;
            for (; m > 0 && level[order[m - 1]] < level[l]; --m) {
                order[m] = order[m - 1];
            }
            order[m] = l;
        }
        std::size_t found = 0;
        auto hit = [&](std::int64_t m, double ym, double next) {
            for (; found < N && ym < level[order[found]]; ++found) {
                const double l = level[order[found]];
                time[order[found]] =
                    static_cast<double>(m) + (l - ym) / (next - ym);
            }
        };
        const double gap = pol_ * 0.0;
        double next = top;  // y at pos + 1
        std::int64_t pos = peak - 1;
        std::size_t k = first_ending_after(pos);
        while (pos >= lo && found < N) {
            // segs_[k] is the first segment ending after pos.
            while (k > 0 && segs_[k - 1].end() > pos) {
                --k;
            }
            if (k == nsegs_ || segs_[k].start > pos) {
                hit(pos, gap, next);
                // Levels the gap is not below look before it.
                pos = k == 0 ? lo - 1 : segs_[k - 1].end() - 1;
                next = gap;
                continue;
            }
            const Segment& s = segs_[k];
            for (; pos >= s.start && pos >= lo && found < N; --pos) {
                const double v = pol_ * value_of(s.at(pos), ch_);
                hit(pos, v, next);
                next = v;
            }
        }
        for (; found < N; ++found) {
            time[order[found]] = static_cast<double>(lo);
        }
    }

private:
    // Stepped from the last answer: a hit's positions are near one
    // another and after the previous hit's, so over a row the steps add
    // up to about the segments the walks visit anyway.
    std::size_t first_ending_after(std::int64_t pos) const {
        std::size_t k = hint_;
        if (k < nsegs_ && segs_[k].start <= pos && pos < segs_[k].end()) {
            return k;  // the usual case: the same segment again
        }
        while (k > 0 && segs_[k - 1].end() > pos) {
            --k;
        }
        while (k < nsegs_ && segs_[k].end() <= pos) {
            ++k;
        }
        hint_ = k;
        return k;
    }

    const Segment* containing(std::int64_t pos) const {
        const std::size_t k = first_ending_after(pos);
        return k < nsegs_ && segs_[k].start <= pos ? &segs_[k]
                                                         : nullptr;
    }

    const std::vector<Segment>& segs_;
    const Channel& ch_;
    double pol_;
    const RowKernels& kern_;
    std::vector<RawRange>& spans_;
    bool distinct_ = false;  // as for the features' ChannelRule
    bool raw_sum_ = false;
    std::size_t nsegs_;
    mutable std::size_t hint_ = 0;  // see first_ending_after
};

// Lengths are clamped so that settings up to the int64 limit add safely.
std::int64_t ahead(std::int64_t pos, std::int64_t n, std::int64_t limit) {
    return n >= limit - pos ? limit : pos + n;
}

void measure(const Trace& t, const HitSettings& set,
             const RawRun* spans, std::size_t nspans, std::int64_t event,
             std::int16_t channel, HitColumns& out) {
    const std::int64_t a = set.first, b = set.stop;
    std::int64_t lo = a;
    for (std::size_t h = 0; h < nspans; ++h) {
        const std::int64_t i = spans[h].i, j = spans[h].j;
        const std::int64_t next = h + 1 < nspans ? spans[h + 1].i : b;
        const std::int64_t hi = std::min(ahead(j, set.post, b), next);
        double start = static_cast<double>(a);
        if (i > a) {
            const RawRun& e = spans[h];
            const double y0 = e.has_before ? t.y_of(e.before) : t.y(i - 1);
            start = static_cast<double>(i - 1) +
                    (set.threshold - y0) / (t.y_of(e.first) - y0);
        }
        const std::int64_t from = i - std::min(set.pre, i - lo);
        std::int64_t peak = 0, raw_sum = 0, pre_sum = 0;
        bool summable = true;
        if (t.distinct()) {
            // The run samples' extreme raw value is y's maximum there, and
            // their sum was taken as they were found: only the region's
            // samples before and after them are read here.
            peak = spans[h].at;
            if (from < i) {
                pre_sum = t.raw_sum(from, i);
            }
            raw_sum = pre_sum + spans[h].sum;
            if (j < hi) {
                raw_sum += t.raw_sum(j, hi);
            }
        } else {
            const Trace::Region whole = t.region(from, hi);
            peak = t.peak(i, j);
            summable = t.raw_summable(whole);
            raw_sum = whole.raw_sum;
        }
        const double amplitude =
            t.distinct() ? t.y_of(spans[h].best) : t.y(peak);
        const double charge =
            summable ? t.calibrated(raw_sum) : t.sum(from, hi);
        double tail = kNan;
        if (set.tail >= 0 && charge != 0 && std::isfinite(charge)) {
            const std::int64_t t0 = ahead(peak, set.tail, hi);
            if (!summable) {
                tail = t.sum(t0, hi) / charge;
            } else if (t.distinct() && spans[h].has_head &&
                       set.tail <= j - peak) {
                // The run's head, [i, t0), came with the run.
                tail = t.calibrated(raw_sum - pre_sum - spans[h].head) /
                       charge;
            } else if (t0 - from < hi - t0) {
                // The raw sums are exact: the tail's is the whole's less
                // the head's, whichever is the shorter walk.
                const std::int64_t head = t.raw_sum(from, t0);
                tail = t.calibrated(raw_sum - head) / charge;
            } else {
                tail = t.calibrated(t.raw_sum(t0, hi)) / charge;
            }
        }
        const double levels[] = {set.fraction * amplitude,
                                 set.high * amplitude, set.low * amplitude};
        double times[3];
        t.level_times(lo, peak, amplitude, levels, times);
        out.append({event, channel, start, static_cast<std::int32_t>(j),
                    static_cast<std::int32_t>(j - i),
                    static_cast<std::int32_t>(peak), amplitude, charge,
                    times[0], times[1] - times[2], tail});
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
              std::size_t first, std::size_t last)
        : out_(out), slot_(slot), first_(first), records_(last - first),
          probe_(records_ >= 256 ? records_ / 16 : 0), rows_(out.nrows) {
        reach_.reserve(out.nrows);
        for (std::size_t k = 0; k < out.nrows; ++k) {
            const HitSettings& set = out.settings[k];
            channels_.push_back(&h.channel_info[out.rows[k]]);
            // Channel numbers are below 32.
            numbers_.push_back(
                static_cast<std::int16_t>(h.channels[out.rows[k]]));
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
        if (e + 1 == probe_) {
            reserve_rest(e + 1);
        }
        return ok();
    }

private:
    // Room for the whole range at the rate of hits of its first `done`
    // records: the columns then seldom move, and each page of them is
    // written once, a fresh page costing more than its writing. Without
    // the memory, the columns grow as they go.
    void reserve_rest(std::size_t done) {
        HitColumns& hits = *out_.hits;
        hits.reserve(detail::expected_hits(hits.size(), done, records_));
    }

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
        const Channel& ch = *channels_[k];
        const std::size_t n = detail::find_hit_spans(
            *segs, set.first, set.stop, reach_[k], set.merge,
            set.polarity * ch.gain > 0, ch.baseline, set.tail, kernels_,
            spans_);
        row_spans_.resize(segs->size());
        const Trace t(*segs, ch, set.polarity, kernels_, row_spans_);
        measure(t, set, spans_.data(), n, static_cast<std::int64_t>(r),
                numbers_[k], *out_.hits);
    }

    const HitOut& out_;
    const std::vector<int>& slot_;
    std::size_t first_;
    std::size_t records_;  // in the range
    std::size_t probe_;    // records seen when reserve_rest runs; 0: never
    std::vector<RowPulses> rows_;
    std::vector<const Channel*> channels_;
    std::vector<std::int16_t> numbers_;  // each row's channel number
    std::vector<RawRange> reach_;
    std::vector<RawRun> spans_;  // the row's runs, then its hits
    std::vector<RawRange> row_spans_;  // the row kernel's, per segment
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
        HitWalker walker(h, out, slot, first, last);
        return for_records(f, h, index, first, last, scratch, walker);
    } catch (const std::bad_alloc&) {
        return {{Errc::no_memory, 0}, 0, static_cast<std::int64_t>(first)};
    }
}

}  // namespace lma
