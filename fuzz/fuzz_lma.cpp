// libFuzzer target for the decoder: a header, then events read the way the
// extension's iteration reads them, until a failure or the end of the data.
// Besides the sanitizers it checks the sink contract (a pulse taken without
// error has consumed exactly its samples) and that the scanner and range
// decoding agree with that iteration: the same records, the same failure,
// the same traces bit for bit, and the same pulses; and that the per-event
// quantities and the hits, under settings drawn from each record, are
// what their definitions give on those traces.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "lma/event.hpp"
#include "lma/explain.hpp"
#include "lma/features.hpp"
#include "lma/hits.hpp"
#include "lma/file.hpp"
#include "lma/header.hpp"
#include "lma/messages.hpp"
#include "lma/range.hpp"
#include "lma/scan.hpp"
#include "lma/walk.hpp"

namespace {

// Larger traces only make each run slow; the decoding paths are the same.
constexpr std::int64_t kMaxTraceValues = std::int64_t{1} << 16;

void fail_at(int line) {
    std::fprintf(stderr, "check failed at line %d\n", line);
    std::abort();
}

// Says which check failed, so a saved crash explains itself.
#define require(ok) ((ok) ? (void)0 : fail_at(__LINE__))

struct SeenPulse {
    std::size_t row;
    lma::Pulse p;
    std::vector<std::int16_t> samples;
};

// Traces in a vector of exactly nchannels x nsamples, so AddressSanitizer
// sees any write past a row; every pulse taken is kept for comparison.
class FuzzSink final : public lma::TraceSink {
public:
    FuzzSink(const lma::Header& h, std::size_t values)
        : TraceSink(h, buf_), traces_(values) {}

    lma::Status begin_event() override {
        traces_.assign(traces_.size(), 0.0);
        set_traces(traces_.data());
        pulses_.clear();
        return lma::ok();
    }

    lma::Status take_pulse(std::FILE* in, std::size_t row,
                           lma::Pulse p) override {
        const long before = std::ftell(in);
        lma::Status s = TraceSink::take_pulse(in, row, p);
        require(!s.ok() || std::ftell(in) - before == 2L * p.length);
        if (s.ok()) {
            // Read again from the stream: the buffer is given back after
            // a long pulse, so it no longer holds the samples.
            std::vector<std::int16_t> samples(
                static_cast<std::size_t>(p.length));
            require(std::fseek(in, before, SEEK_SET) == 0 &&
                    std::fread(samples.data(), 2, samples.size(), in) ==
                        samples.size());
            pulses_.push_back({row, p, std::move(samples)});
        }
        return s;
    }

    const std::vector<double>& traces() const { return traces_; }
    const std::vector<SeenPulse>& pulses() const { return pulses_; }

private:
    lma::SampleBuffer buf_;
    std::vector<double> traces_;
    std::vector<SeenPulse> pulses_;
};

bool same_status(lma::Status a, lma::Status b) {
    return a.code == b.code && a.value == b.value && a.extra == b.extra;
}

// Decodes record r of the index in all three output types, on all rows in
// reverse order, and compares with the iteration's event.
struct Outputs {
    std::vector<double> f64;
    std::vector<float> f32;
    std::vector<std::int16_t> raw;
    lma::Scratch scratch;
    explicit Outputs(std::size_t values)
        : f64(values), f32(values), raw(values) {}
};

// The float32 output is the float64 trace rounded; the raw output
// calibrates to it, or holds the baseline where the trace is 0.0. Left out
// of the coverage feedback: a loop over every sample of a long trace is
// no new path, and tracing its comparisons would slow the fuzzer tenfold.
__attribute__((no_sanitize("coverage"))) bool narrower_types_agree(
    const lma::Header& h, const std::vector<double>& want,
    const Outputs& o) {
    const auto n = static_cast<std::size_t>(h.nsamples);
    const double* ref = want.data();
    const float* f32 = o.f32.data();
    const std::int16_t* raw = o.raw.data();
    const lma::Channel* info = h.channel_info.data();
    for (std::size_t i = 0; i < want.size(); ++i) {
        const float w = static_cast<float>(ref[i]);
        if (std::memcmp(&f32[i], &w, sizeof w) != 0) {
            return false;
        }
        const lma::Channel& ch = info[i / n];
        const double v = ch.gain * (static_cast<double>(raw[i]) -
                                    static_cast<double>(ch.baseline));
        if (!(v == ref[i] || (v != v && ref[i] != ref[i]) ||
              (raw[i] == ch.baseline && ref[i] == 0.0))) {
            return false;
        }
    }
    return true;
}

// The quantities of one trace `x` by their definitions, on the dense
// values: q[i] for lma::Quantity i, positions and counts as doubles.
// The hits of y = polarity * s[0 .. m) over `threshold`: [i, j) of each,
// runs at most `merge` apart joined.
__attribute__((no_sanitize("coverage"))) std::vector<std::pair<
    std::int64_t, std::int64_t>>
dense_hits(const double* s, std::int64_t m, int polarity, double threshold,
           std::int64_t merge) {
    std::vector<std::pair<std::int64_t, std::int64_t>> hits;
    for (std::int64_t i = 0; i < m;) {
        if (!(polarity * s[i] >= threshold)) {
            ++i;
            continue;
        }
        std::int64_t j = i;
        while (j < m && polarity * s[j] >= threshold) {
            ++j;
        }
        if (!hits.empty() && i - hits.back().second <= merge) {
            hits.back().second = j;
        } else {
            hits.emplace_back(i, j);
        }
        i = j;
    }
    return hits;
}

__attribute__((no_sanitize("coverage"))) void dense_quantities(
    const double* x, const char* covered, int pulses,
    const lma::FeatureSettings& set, double* q) {
    using Q = lma::Quantity;
    auto at = [&](Q k) -> double& { return q[static_cast<std::size_t>(k)]; };
    const double nan = std::nan("");
    const std::int64_t a = set.first, m = set.stop - set.first;
    const double* s = x + a;
    at(Q::pulses) = pulses;
    at(Q::covered) =
        static_cast<double>(std::count(covered + a, covered + set.stop, 1));
    // Infinite samples decide the sum by their signs alone, however the
    // finite ones' running total overflows.
    double sum = 0.0;
    bool above = false, below = false;
    for (std::int64_t i = 0; i < m; ++i) {
        if (std::isinf(s[i])) {
            (s[i] > 0 ? above : below) = true;
        } else {
            sum += s[i];
        }
    }
    const double inf = std::numeric_limits<double>::infinity();
    at(Q::sum) = above && below ? nan : above ? inf : below ? -inf : sum;
    at(Q::hits) = static_cast<double>(
        dense_hits(s, m, set.polarity, set.threshold, set.merge).size());
    if (m == 0) {
        at(Q::maximum) = at(Q::minimum) = at(Q::crossing) = at(Q::cfd) = nan;
        at(Q::argmax) = at(Q::argmin) = -1;
        return;
    }
    std::int64_t hi = 0, lo = 0;
    for (std::int64_t i = 1; i < m; ++i) {
        hi = s[i] > s[hi] ? i : hi;
        lo = s[i] < s[lo] ? i : lo;
    }
    at(Q::maximum) = s[hi];
    at(Q::minimum) = s[lo];
    at(Q::argmax) = static_cast<double>(a + hi);
    at(Q::argmin) = static_cast<double>(a + lo);
    const double pol = set.polarity, t = set.threshold;
    auto y = [&](std::int64_t i) { return pol * s[i]; };
    at(Q::crossing) = nan;
    for (std::int64_t i = 0; i < m; ++i) {
        if (y(i) >= t) {
            at(Q::crossing) =
                i == 0 ? static_cast<double>(a)
                       : static_cast<double>(a + i - 1) +
                             (t - y(i - 1)) / (y(i) - y(i - 1));
            break;
        }
    }
    std::int64_t k = 0;
    for (std::int64_t i = 1; i < m; ++i) {
        k = y(i) > y(k) ? i : k;
    }
    const double top = y(k);
    at(Q::cfd) = nan;
    if (!(top <= 0)) {
        const double level = set.fraction * top;
        at(Q::cfd) = static_cast<double>(a);
        for (std::int64_t j = k - 1; j >= 0; --j) {
            if (y(j) < level) {
                at(Q::cfd) = static_cast<double>(a + j) +
                             (level - y(j)) / (y(j + 1) - y(j));
                break;
            }
        }
    }
}

// Whether a computed quantity is the dense one: equal values (either
// zero), NaN for NaN; a sum within rounding of the dense sum, exactly it
// where a value is infinite, and anything where only the partial sums
// overflow.
__attribute__((no_sanitize("coverage"))) bool same_quantity(
    lma::Quantity k, double got, double want, const double* s,
    std::int64_t m) {
    if (got == want || (std::isnan(got) && std::isnan(want))) {
        return true;
    }
    if (k != lma::Quantity::sum) {
        return false;
    }
    double scale = 0.0;
    for (std::int64_t i = 0; i < m; ++i) {
        if (std::isinf(s[i])) {
            return false;
        }
        scale += std::fabs(s[i]);
    }
    return std::isinf(scale) || std::fabs(got - want) <= 1e-12 * scale;
}

// The quantities of record r on every row, under settings drawn from its
// tag, against dense_quantities on the sink's traces.
void check_features(const lma::File& f, const lma::Header& h,
                    const lma::RecordIndex& index, std::size_t r,
                    std::int32_t tag, const FuzzSink& sink,
                    lma::Scratch& scratch) {
    const auto rows = static_cast<std::size_t>(h.nchannels);
    const std::int64_t n = h.nsamples;
    const std::vector<double>& x = sink.traces();
    std::uint64_t seed = static_cast<std::uint32_t>(tag) * 0x9E3779B97F4A7C15u;
    auto draw = [&](std::uint64_t bound) {
        seed += 0x9E3779B97F4A7C15u;
        std::uint64_t z = seed;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return (z ^ (z >> 31)) % bound;
    };
    lma::FeatureSettings set;
    // A position in [0, v].
    const auto upto = [&](std::int64_t v) {
        return static_cast<std::int64_t>(
            draw(static_cast<std::uint64_t>(v) + 1));
    };
    set.first = upto(n);
    set.stop = set.first + upto(n - set.first);
    set.polarity = draw(2) ? 1 : -1;
    set.fraction = static_cast<double>(draw(1000) + 1) / 1000.0;
    set.threshold = static_cast<double>(draw(1000) + 1) / 10.0;
    set.merge = static_cast<std::int64_t>(draw(4));
    if (!x.empty()) {
        // Often a value of the trace, so that a sample meets it exactly.
        const double v = std::fabs(x[draw(x.size())]);
        if (draw(2) && std::isfinite(v) && v > 0) {
            set.threshold = v;
        }
    }
    std::vector<double> wide(lma::kQuantities * rows);
    std::vector<std::int32_t> narrow(lma::kQuantities * rows);
    std::vector<std::size_t> all(rows);
    lma::FeatureOut out;
    for (std::size_t k = 0; k < rows; ++k) {
        all[k] = k;
    }
    out.rows = all.data();
    out.nrows = rows;
    std::int32_t got_tag = 0;
    double horpos = 0.0;
    out.tags = &got_tag;
    out.horpos = &horpos;
    for (std::size_t i = 0; i < lma::kQuantities; ++i) {
        out.data[i] = lma::is_int32(static_cast<lma::Quantity>(i))
                          ? static_cast<void*>(narrow.data() + i * rows)
                          : static_cast<void*>(wide.data() + i * rows);
        out.stride[i] = static_cast<std::int64_t>(rows);
    }
    const lma::Stop s =
        lma::compute_features(f, h, index, r, r + 1, set, out, scratch);
    // Only finite gains order calibrated values as raw ones; a checked
    // header has no other.
    bool finite = true;
    for (const lma::Channel& ch : h.channel_info) {
        finite = finite && std::isfinite(ch.gain);
    }
    if (!finite) {
        require(s.status.code == lma::Errc::inconsistent);
        return;
    }
    require(s.ok() && got_tag == tag);
    // Flat: with no rows, no trace's worth of flags is made.
    const auto ns = static_cast<std::size_t>(n);
    std::vector<char> covered(rows * ns, 0);
    std::vector<int> pulses(rows, 0);
    for (const SeenPulse& sp : sink.pulses()) {
        ++pulses[sp.row];
        const lma::Span span = lma::clip_slice(sp.p.first, sp.p.length, n);
        std::fill_n(covered.begin() + static_cast<std::ptrdiff_t>(
                                          sp.row * ns + span.start),
                    span.length, 1);
    }
    double want[lma::kQuantities];
    for (std::size_t k = 0; k < rows; ++k) {
        const double* trace = x.data() + k * static_cast<std::size_t>(n);
        dense_quantities(trace, covered.data() + k * ns, pulses[k], set,
                         want);
        for (std::size_t i = 0; i < lma::kQuantities; ++i) {
            const auto q = static_cast<lma::Quantity>(i);
            const double got = lma::is_int32(q) ? narrow[i * rows + k]
                                                : wide[i * rows + k];
            require(same_quantity(q, got, want[i], trace + set.first,
                                  set.stop - set.first));
        }
    }
}

// The hits of record r on every row, under settings drawn from its tag
// for each row: where they are and their peaks against dense_hits on the
// sink's traces; the rest only computed, for the sanitizers.
void check_hits(const lma::File& f, const lma::Header& h,
                const lma::RecordIndex& index, std::size_t r,
                std::int32_t tag, const FuzzSink& sink,
                lma::Scratch& scratch) {
    const auto rows = static_cast<std::size_t>(h.nchannels);
    const std::int64_t n = h.nsamples;
    const std::vector<double>& x = sink.traces();
    std::uint64_t seed =
        static_cast<std::uint32_t>(tag) * 0xD1B54A32D192ED03u + 1;
    auto draw = [&](std::uint64_t bound) {
        seed += 0x9E3779B97F4A7C15u;
        std::uint64_t z = seed;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return (z ^ (z >> 31)) % bound;
    };
    const auto upto = [&](std::int64_t v) {
        return static_cast<std::int64_t>(
            draw(static_cast<std::uint64_t>(v) + 1));
    };
    // Lengths up to far beyond any trace, which must add without
    // overflowing.
    const auto length = [&] {
        return draw(8) == 0 ? std::int64_t{1} << 62 : upto(6);
    };
    std::vector<lma::HitSettings> settings(rows);
    for (lma::HitSettings& set : settings) {
        set.first = upto(n);
        set.stop = set.first + upto(n - set.first);
        set.polarity = draw(2) ? 1 : -1;
        set.threshold = static_cast<double>(draw(1000) + 1) / 10.0;
        if (!x.empty() && draw(2)) {
            const double v = std::fabs(x[draw(x.size())]);
            if (std::isfinite(v) && v > 0) {
                set.threshold = v;
            }
        }
        set.merge = length();
        set.pre = length();
        set.post = length();
        set.tail = draw(3) == 0 ? -1 : length();
        set.fraction = static_cast<double>(draw(1000) + 1) / 1000.0;
        set.low = static_cast<double>(draw(500) + 1) / 1000.0;
        set.high = set.low + static_cast<double>(draw(500) + 1) / 1000.0;
    }
    std::vector<std::size_t> all(rows);
    for (std::size_t k = 0; k < rows; ++k) {
        all[k] = k;
    }
    lma::HitColumns found;
    lma::HitOut out;
    out.rows = all.data();
    out.settings = settings.data();
    out.nrows = rows;
    out.hits = &found;
    const lma::Stop s = lma::find_hits(f, h, index, r, r + 1, out, scratch);
    bool finite = true;
    for (const lma::Channel& ch : h.channel_info) {
        finite = finite && std::isfinite(ch.gain);
    }
    if (!finite) {
        require(s.status.code == lma::Errc::inconsistent && found.size() == 0);
        return;
    }
    require(s.ok());
    std::size_t at = 0;
    for (std::size_t k = 0; k < rows; ++k) {
        const lma::HitSettings& set = settings[k];
        const double* y = x.data() + k * static_cast<std::size_t>(n) +
                          set.first;
        const auto want = dense_hits(y, set.stop - set.first, set.polarity,
                                     set.threshold, set.merge);
        for (const auto& [i, j] : want) {
            require(at < found.size());
            const lma::Hit hit = found[at];
            require(hit.channel == h.channels[k] &&
                    hit.event == static_cast<std::int64_t>(r) &&
                    hit.end == set.first + j && hit.width == j - i);
            std::int64_t p = i;
            for (std::int64_t q = i + 1; q < j; ++q) {
                p = set.polarity * y[q] > set.polarity * y[p] ? q : p;
            }
            require(hit.peak == set.first + p &&
                    hit.amplitude == set.polarity * y[p]);
            ++at;
        }
    }
    require(at == found.size());
}

void check_record(const lma::File& f, const lma::Header& h,
                  const lma::RecordIndex& index, std::size_t r,
                  std::int32_t tag, const FuzzSink& sink, Outputs& o) {
    const auto rows = static_cast<std::size_t>(h.nchannels);
    const auto n = static_cast<std::size_t>(h.nsamples);
    std::vector<double>& f64 = o.f64;
    std::vector<float>& f32 = o.f32;
    std::vector<std::int16_t>& raw = o.raw;
    lma::Scratch& scratch = o.scratch;
    void* blocks[] = {f64.data(), f32.data(), raw.data()};
    const lma::SampleType types[] = {lma::SampleType::float64,
                                     lma::SampleType::float32,
                                     lma::SampleType::raw_int16};
    for (int t = 0; t < 3; ++t) {
        std::vector<lma::ChannelOut> outs;
        for (std::size_t k = rows; k-- > 0;) {
            std::size_t elem = t == 0 ? 8 : t == 1 ? 4 : 2;
            outs.push_back({k, static_cast<char*>(blocks[t]) + k * n * elem,
                            static_cast<std::int64_t>(n)});
        }
        std::int32_t got_tag = 0;
        double horpos = 0.0;
        lma::RangeOut out{types[t], &got_tag, &horpos, outs.data(),
                          outs.size()};
        lma::Stop s = lma::decode_range(f, h, index, r, r + 1, out, scratch);
        require(s.ok() && got_tag == tag);
    }
    const std::vector<double>& want = sink.traces();
    require(want.empty() ||
            std::memcmp(f64.data(), want.data(), want.size() * 8) == 0);
    require(narrower_types_agree(h, want, o));
    // Pulse listing on every row: exactly the pulses the sink took.
    std::vector<std::size_t> all(rows);
    for (std::size_t k = 0; k < rows; ++k) {
        all[k] = k;
    }
    lma::PulseCounts counts;
    require(lma::count_pulses(f, h, index, r, r + 1, all.data(), rows,
                              counts, scratch)
                .ok());
    const auto np = static_cast<std::size_t>(counts.pulses);
    require(np == sink.pulses().size());
    std::vector<std::int64_t> event(np), offset(np);
    std::vector<std::int32_t> channel(np), first(np), length(np);
    std::vector<std::int16_t> samples(
        static_cast<std::size_t>(counts.samples));
    lma::PulseOut po{event.data(),  channel.data(), first.data(),
                     length.data(), offset.data(),  samples.data(),
                     counts};
    lma::PulseCounts written;
    require(lma::list_pulses(f, h, index, r, r + 1, all.data(), rows, po,
                             written, scratch)
                .ok());
    for (std::size_t k = 0; k < np; ++k) {
        const SeenPulse& sp = sink.pulses()[k];
        require(event[k] == static_cast<std::int64_t>(r) &&
                channel[k] == h.channels[sp.row] &&
                first[k] == sp.p.first && length[k] == sp.p.length &&
                std::equal(sp.samples.begin(), sp.samples.end(),
                           samples.begin() + offset[k]));
    }
    check_features(f, h, index, r, tag, sink, scratch);
    check_hits(f, h, index, r, tag, sink, scratch);
}

// The iteration: go to the first record; while another follows, decode
// it. Each event is checked against the index; the iteration's failure
// must be where and what the scan reported.
void read_events(std::FILE* in, const lma::File& f, const lma::Header& h,
                 FuzzSink& sink, std::int64_t size) {
    lma::RecordIndex index;
    const lma::Stop stop = lma::scan_records(f, h, size, index);
    Outputs outputs(sink.traces().size());
    lma::Scratch& scratch = outputs.scratch;
    lma::Status s = lma::seek_first_record(in, h);
    std::size_t events = 0;
    std::int64_t checked = 0;
    bool more = s.ok();
    while (s.ok() && more) {
        s = lma::next_record(in, more);
        if (!s.ok() || !more) {
            break;
        }
        const long at = std::ftell(in);
        std::int32_t tag = 0;
        s = lma::read_event(in, h, sink, tag);
        if (s.ok()) {
            require(events < index.size() && index.offsets[events] == at);
            // Past a budget of samples only the index is compared: a
            // long file of long traces adds no path, only time.
            checked += static_cast<std::int64_t>(sink.traces().size());
            if (checked <= kMaxTraceValues) {
                check_record(f, h, index, events, tag, sink, outputs);
            }
            ++events;
        }
    }
    require(events == index.size() && same_status(s, stop.status));
    require(stop.event == static_cast<std::int64_t>(events));
    // Walked again, a damaged record fails where the scan found it to,
    // so its damage can be told in words.
    if (!stop.ok() && stop.status.code != lma::Errc::no_memory) {
        const lma::RecordFault fault = lma::explain_stop(f, h, size, stop);
        require(fault.place != lma::FaultPlace::unknown &&
                !lma::damage_reason(fault).empty());
    }
    // Scanned while it grows (first half, then all), the file gives the
    // same index and the same end.
    lma::RecordIndex grown;
    (void)lma::scan_records(f, h, size / 2, grown);
    const lma::Stop again = lma::scan_records(f, h, size, grown);
    require(grown.offsets == index.offsets && grown.end == index.end &&
            same_status(again.status, stop.status) &&
            again.offset == stop.offset);
    // Several records at once, split into two calls, equal the whole.
    const std::int64_t values =
        std::int64_t{h.nchannels} * std::int64_t{h.nsamples};
    if (events > 1 && static_cast<std::int64_t>(events) * values <=
                          kMaxTraceValues) {
        const std::size_t rows = static_cast<std::size_t>(h.nchannels);
        const std::size_t n = static_cast<std::size_t>(h.nsamples);
        std::vector<double> whole(events * rows * n), parts(whole.size());
        auto decode = [&](std::vector<double>& dst, std::size_t a,
                          std::size_t b) {
            std::vector<lma::ChannelOut> outs;
            for (std::size_t k = 0; k < rows; ++k) {
                outs.push_back({k, dst.data() + k * events * n + a * n,
                                static_cast<std::int64_t>(n)});
            }
            lma::RangeOut out{lma::SampleType::float64, nullptr, nullptr,
                              outs.data(), outs.size()};
            require(lma::decode_range(f, h, index, a, b, out, scratch).ok());
        };
        decode(whole, 0, events);
        decode(parts, 0, events / 2);
        decode(parts, events / 2, events);
        require(whole.empty() || std::memcmp(whole.data(), parts.data(),
                                             whole.size() * 8) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
    // A memory file behaves as a regular file: a seek past its end
    // succeeds, as the reader relies on.
    const int fd = memfd_create("fuzz", MFD_CLOEXEC);
    require(fd >= 0);
    lma::File f = lma::File::adopt(fd);
    require(size == 0 ||
            write(fd, data, size) == static_cast<ssize_t>(size));
    std::FILE* in = fdopen(dup(fd), "rb");
    require(in != nullptr);
    // A header that fails part-way still leaves a reader that can be
    // iterated, with the fields read so far.
    lma::Header h;
    (void)lma::read_header(in, h);
    const std::int64_t values =
        std::int64_t{h.nchannels} * std::int64_t{h.nsamples};
    // A negative count is refused by the extension's array allocation.
    if (h.nsamples >= 0 && values <= kMaxTraceValues) {
        FuzzSink sink(h, static_cast<std::size_t>(values));
        read_events(in, f, h, sink, static_cast<std::int64_t>(size));
    }
    std::fclose(in);
    return 0;
}
