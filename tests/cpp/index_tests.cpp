// The record index, range decoding and pulse listing against the reader's
// own iteration on random files, sound and damaged; growing and changing
// files; the strict header check; positional file errors; messages.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lma/check.hpp"
#include "lma/features.hpp"
#include "lma/hits.hpp"
#include "lma/messages.hpp"
#include "lma/range.hpp"
#include "lma/scan.hpp"
#include "hit_spans.hpp"
#include "lma_files.hpp"
#include "record.hpp"
#include "row_kernels.hpp"
#include "runs.hpp"

namespace {

using test::Bytes;
using test::MemFile;
using test::Reference;

struct Decoded {
    std::vector<std::int32_t> tags;
    std::vector<double> horpos;
    std::vector<double> f64;
    std::vector<float> f32;
    std::vector<std::int16_t> raw;
    bool fresh_agrees = true;  // float64 decoded as into new memory too
};

// Records [a, b) on `rows`, each channel a block of (b - a) x nsamples with
// one spare value per row (a stride wider than the row), in all three types.
lma::Stop decode(const MemFile& m, const lma::Header& h,
                 const lma::RecordIndex& index, std::size_t a, std::size_t b,
                 const std::vector<std::size_t>& rows, Decoded& d) {
    const auto n = static_cast<std::size_t>(h.nsamples);
    const std::size_t stride = n + 1, block = (b - a) * stride;
    d.tags.assign(b - a, 0);
    d.horpos.assign(b - a, 0.0);
    d.f64.assign(rows.size() * block + 1, -1.0);
    d.f32.assign(d.f64.size(), -1.0f);
    d.raw.assign(d.f64.size(), -1);
    void* data[] = {d.f64.data(), d.f32.data(), d.raw.data()};
    const std::size_t size[] = {8, 4, 2};
    const lma::SampleType type[] = {lma::SampleType::float64,
                                    lma::SampleType::float32,
                                    lma::SampleType::raw_int16};
    lma::Scratch scratch;
    lma::Stop stop;
    for (int t = 0; t < 3; ++t) {
        std::vector<lma::ChannelOut> outs;
        for (std::size_t k = 0; k < rows.size(); ++k) {
            outs.push_back({rows[k],
                            static_cast<char*>(data[t]) + k * block * size[t],
                            static_cast<std::int64_t>(stride)});
        }
        lma::RangeOut out{type[t], d.tags.data(), d.horpos.data(),
                          outs.data(), outs.size()};
        const lma::Stop s =
            lma::decode_range(m.file, h, index, a, b, out, scratch);
        if (t == 0 || !s.ok()) {
            stop = s;  // the same in every type
        }
        if (t == 0 && s.ok()) {
            std::vector<double> again(d.f64.size(), -1.0);
            for (std::size_t k = 0; k < rows.size(); ++k) {
                outs[k].data = again.data() + k * block;
            }
            out.fresh = true;
            d.fresh_agrees =
                lma::decode_range(m.file, h, index, a, b, out, scratch)
                    .ok() &&
                std::memcmp(again.data(), d.f64.data(), 8 * again.size()) ==
                    0;
        }
    }
    return stop;
}

// A file of `bytes` with the iteration's view of it and its index.
struct Indexed {
    MemFile m;
    Reference ref;
    lma::RecordIndex index;

    explicit Indexed(const Bytes& bytes) : m(bytes) {
        ref = test::iterate(m.stream);
        CHECK(lma::scan_records(m.file, ref.header,
                                static_cast<std::int64_t>(bytes.b.size()),
                                index)
                  .ok());
    }
};

// Every value of records [a, b) on `rows`, decoded from record a on,
// equals the iteration's: float64 bit for bit, float32 its rounding, raw
// calibrating to it.
bool matches(const Reference& ref, std::size_t a, std::size_t b,
             const std::vector<std::size_t>& rows, const Decoded& d) {
    const auto n = static_cast<std::size_t>(ref.header.nsamples);
    const std::size_t stride = n + 1, block = d.tags.size() * stride;
    if (!d.fresh_agrees) {
        return false;
    }
    for (std::size_t e = a; e < b; ++e) {
        if (d.tags[e - a] != ref.tags[e]) {
            return false;
        }
        for (std::size_t k = 0; k < rows.size(); ++k) {
            const lma::Channel& ch = ref.header.channel_info[rows[k]];
            for (std::size_t i = 0; i < n; ++i) {
                const double want = ref.traces[e][rows[k] * n + i];
                const std::size_t at = k * block + (e - a) * stride + i;
                const float w32 = static_cast<float>(want);
                const std::int16_t raw = d.raw[at];
                const bool raw_ok =
                    lma::calibrate<double>(raw, ch) == want ||
                    (raw == ch.baseline && want == 0.0);
                if (std::memcmp(&d.f64[at], &want, 8) != 0 ||
                    std::memcmp(&d.f32[at], &w32, 4) != 0 || !raw_ok) {
                    return false;
                }
            }
        }
    }
    return true;
}

// The listing of records [a, b) on `rows` is the iteration's pulses, in
// order, with their samples.
bool lists_pulses(const MemFile& m, const Reference& ref,
                  const lma::RecordIndex& index, std::size_t a,
                  std::size_t b, const std::vector<std::size_t>& rows) {
    const lma::Header& h = ref.header;
    lma::Scratch scratch;
    lma::PulseCounts counts;
    if (!lma::count_pulses(m.file, h, index, a, b, rows.data(), rows.size(),
                           counts, scratch)
             .ok()) {
        return false;
    }
    const auto np = static_cast<std::size_t>(counts.pulses);
    std::vector<std::int64_t> event(np), offset(np);
    std::vector<std::int32_t> channel(np), first(np), length(np);
    std::vector<std::int16_t> samples(
        static_cast<std::size_t>(counts.samples));
    lma::PulseOut out{event.data(),  channel.data(), first.data(),
                      length.data(), offset.data(),  samples.data(),
                      counts};
    lma::PulseCounts written;
    if (!lma::list_pulses(m.file, h, index, a, b, rows.data(), rows.size(),
                          out, written, scratch)
             .ok() ||
        written.pulses != counts.pulses) {
        return false;
    }
    std::size_t k = 0;
    for (std::size_t e = a; e < b; ++e) {
        for (const test::SeenPulse& p : ref.pulses[e]) {
            if (std::find(rows.begin(), rows.end(), p.row) == rows.end()) {
                continue;
            }
            if (k >= np || event[k] != static_cast<std::int64_t>(e) ||
                channel[k] != h.channels[p.row] || first[k] != p.p.first ||
                length[k] != p.p.length ||
                !std::equal(p.samples.begin(), p.samples.end(),
                            samples.begin() + offset[k])) {
                return false;
            }
            ++k;
        }
    }
    return k == np;
}

// Random files, sound and damaged: the scan finds the iteration's records
// and its failure; decoding and listing any range on any channels in any
// order give its values.
void test_matches_iteration() {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 600; ++round) {
        const Bytes bytes =
            test::random_file(test::random_shape(rng, round % 2), rng);
        MemFile m(bytes);
        const Reference ref = test::iterate(m.stream);
        const lma::Header& h = ref.header;
        lma::RecordIndex index;
        const lma::Stop stop = lma::scan_records(
            m.file, h, static_cast<std::int64_t>(bytes.b.size()), index);
        const std::size_t n = ref.tags.size();
        bool ok = test::same(stop.status, ref.end) && index.size() == n &&
                  stop.event == static_cast<std::int64_t>(n);
        for (std::size_t e = 0; ok && e < n; ++e) {
            ok = index.offsets[e] == ref.offsets[e];
        }
        std::vector<std::size_t> rows;
        for (std::size_t r = 0; r < h.channels.size(); ++r) {
            if (std::uniform_int_distribution<int>(0, 2)(rng) > 0) {
                rows.insert(rows.begin(), r);  // reversed: any order works
            }
        }
        const std::size_t a = n ? std::uniform_int_distribution<std::size_t>(
                                      0, n - 1)(rng)
                                : 0;
        const std::size_t b =
            std::uniform_int_distribution<std::size_t>(a, n)(rng);
        Decoded d;
        ok = ok && decode(m, h, index, a, b, rows, d).ok() &&
             matches(ref, a, b, rows, d) &&
             lists_pulses(m, ref, index, a, b, rows);
        if (!ok) {
            std::printf("  random file, round %d\n", round);
        }
        CHECK(ok);
    }
}

// Files longer than the scan's buffer (2.5 MiB), of runs of one record repeated
// (which the scan walks several at a time, guessing where the next ones
// start) between random records, sound, cut short or with a byte changed
// anywhere: the scan finds the iteration's records and its failure.
void test_scan_long_files() {
    std::mt19937 rng(4321);
    auto pick = [&](std::size_t lo, std::size_t hi) {
        return std::uniform_int_distribution<std::size_t>(lo, hi)(rng);
    };
    for (int round = 0; round < 12; ++round) {
        test::FileShape shape = test::random_shape(rng, false);
        shape.events = 30;
        const Bytes some = test::random_file(shape, rng);
        MemFile made(some);
        const Reference parts = test::iterate(made.stream);
        const std::size_t n = parts.offsets.size();
        Bytes b = test::header_bytes(shape);
        while (n > 0 && b.b.size() < (std::size_t{5} << 19)) {
            const std::size_t k = pick(0, n - 1);
            const auto from = static_cast<std::size_t>(parts.offsets[k]);
            const std::size_t to =
                k + 1 < n ? static_cast<std::size_t>(parts.offsets[k + 1])
                          : some.b.size();
            for (std::size_t copies = pick(1, 300); copies > 0; --copies) {
                b.b.insert(b.b.end(), some.b.begin() + from,
                           some.b.begin() + to);
            }
        }
        const std::size_t start = test::header_bytes(shape).b.size();
        if (round % 3 == 1) {
            b.b.resize(pick(start, b.b.size()));
        } else if (round % 3 == 2 && b.b.size() > start) {
            b.b[pick(start, b.b.size() - 1)] ^= 0x80;
        }
        MemFile m(b);
        const Reference ref = test::iterate(m.stream);
        lma::RecordIndex index;
        const lma::Stop stop = lma::scan_records(
            m.file, ref.header, static_cast<std::int64_t>(b.b.size()),
            index);
        bool ok = test::same(stop.status, ref.end) &&
                  index.size() == ref.offsets.size();
        for (std::size_t e = 0; ok && e < index.size(); ++e) {
            ok = index.offsets[e] == ref.offsets[e];
        }
        if (!ok) {
            std::printf("  long file, round %d\n", round);
        }
        CHECK(ok);
    }
    // Pulses from the end of the trace, fitting or not, after sound
    // records: the scan's status is the iteration's.
    const std::int32_t places[][2] = {{-2, 5}, {-1, 3}, {-5, 2}, {-3, 1},
                                      {-40, 50}, {6, 2}, {0, 9}};
    for (const auto& place : places) {
        test::FileShape shape;
        shape.channels.assign(1, lma::Channel{0, 0, 0, 1.0});
        shape.nsamples = 8;
        Bytes b = test::header_bytes(shape);
        for (int e = 0; e < 3; ++e) {
            b.put(std::int32_t{e}).put(0.0).put(std::int16_t{1});
            b.put(e < 2 ? 0 : place[0]).put(e < 2 ? 1 : place[1]);
            b.pad(2 * static_cast<std::size_t>(e < 2 ? 1 : place[1]));
        }
        MemFile m(b);
        const Reference ref = test::iterate(m.stream);
        lma::RecordIndex index;
        const lma::Stop stop = lma::scan_records(
            m.file, ref.header, static_cast<std::int64_t>(b.b.size()),
            index);
        CHECK(test::same(stop.status, ref.end) &&
              index.size() == ref.offsets.size());
    }
}

// The row loops give what one pass over the samples gives, for either
// width of register: rows of segments of every length around the vector
// widths, at odd addresses, in windows that cut them; sums past 65536
// extreme samples in one segment and across many; interval bounds beyond
// the int16 range.
void test_row_kernels() {
    using lma::detail::RawRange;
    using lma::detail::Segment;
    std::mt19937 rng(5);
    std::vector<lma::detail::RowKernels> kernels{
        lma::detail::portable_row_kernels()};
    if (lma::detail::wide_row_kernels().row != nullptr) {
        kernels.push_back(lma::detail::wide_row_kernels());
    }
    std::vector<unsigned char> raw(2 * 4000 + 1);
    for (unsigned char& c : raw) {
        c = static_cast<unsigned char>(rng());
    }
    const std::int32_t bounds[][2] = {
        {INT32_MIN, INT32_MAX}, {-70000, 70000}, {-32768, -32768},
        {32767, 32767}, {32768, 40000}, {-40000, -32769}, {5, 4}, {0, 0},
        {-100, 100}, {1000, 32767}};
    bool ok = true;
    for (int trial = 0; trial < 3000; ++trial) {
        // Segments at odd or even addresses, with gaps, and a window.
        std::vector<Segment> segs;
        std::int64_t pos = static_cast<std::int64_t>(rng() % 5);
        const unsigned char* at = raw.data() + rng() % 2;
        for (std::size_t k = rng() % 6; k > 0; --k) {
            const auto len = static_cast<std::int64_t>(1 + rng() % 70);
            segs.push_back({pos, len, at});
            at += 2 * len;
            pos += len + static_cast<std::int64_t>(rng() % 3);
        }
        const auto a = static_cast<std::int64_t>(rng() % (pos + 1));
        const auto b = a + static_cast<std::int64_t>(rng() % (pos - a + 2));
        lma::detail::RowStats want{0, 0, 32767, -32768};
        std::vector<RawRange> spans_want(segs.size());
        bool before_b = true;
        for (std::size_t i = 0; i < segs.size() && before_b; ++i) {
            const Segment& s = segs[i];
            before_b = std::max(s.start, a) < b;
            for (std::int64_t p = std::max(s.start, a);
                 before_b && p < std::min(s.end(), b); ++p) {
                RawRange& r = spans_want[i];
                r = r.lo > r.hi ? RawRange{s.at(p), s.at(p)}
                                : RawRange{std::min(r.lo, s.at(p)),
                                           std::max(r.hi, s.at(p))};
                want.min = std::min(want.min, s.at(p));
                want.max = std::max(want.max, s.at(p));
                want.sum += s.at(p);
                ++want.covered;
            }
        }
        for (const auto& kern : kernels) {
            std::vector<RawRange> spans(segs.size());
            const lma::detail::RowStats got =
                kern.row(segs.data(), segs.size(), a, b, spans.data());
            ok = ok && got.min == want.min && got.max == want.max &&
                 got.sum == want.sum && got.covered == want.covered;
            for (std::size_t i = 0; i < segs.size(); ++i) {
                if (std::max(segs[i].start, a) >= b) {
                    break;
                }
                ok = ok && spans[i].lo == spans_want[i].lo &&
                     spans[i].hi == spans_want[i].hi;
            }
            if (segs.empty()) {
                continue;
            }
            // Each sample as an interval of its own, and the bounds above.
            const Segment& s = segs.back();
            const auto n = static_cast<std::size_t>(s.length);
            for (std::int64_t k = 0; k < s.length; k += 5) {
                std::int64_t first = 0;
                while (s.at(s.start + first) != s.at(s.start + k)) {
                    ++first;
                }
                ok = ok && kern.find(s.raw, n, s.at(s.start + k),
                                     s.at(s.start + k)) ==
                               static_cast<std::size_t>(first);
            }
            for (const auto& r : bounds) {
                std::size_t first = 0;
                while (first < n && !(r[0] <= s.at(s.start + first) &&
                                      s.at(s.start + first) <= r[1])) {
                    ++first;
                }
                ok = ok && kern.find(s.raw, n, r[0], r[1]) == first;
            }
        }
    }
    for (const std::int16_t v : {std::int16_t{-32768}, std::int16_t{32767}}) {
        const std::size_t n = 3 * 65536 + 40;
        std::vector<unsigned char> same(2 * n);
        for (std::size_t k = 0; k < n; ++k) {
            std::memcpy(same.data() + 2 * k, &v, 2);
        }
        std::vector<Segment> one{{0, static_cast<std::int64_t>(n),
                                  same.data()}};
        std::vector<Segment> many;
        for (std::size_t k = 0; k + 48 <= n; k += 48) {
            many.push_back({static_cast<std::int64_t>(k), 48,
                            same.data() + 2 * k});
        }
        std::vector<RawRange> spans(many.size());
        for (const auto& kern : kernels) {
            for (const auto* segs : {&one, &many}) {
                const lma::detail::RowStats got =
                    kern.row(segs->data(), segs->size(), 0,
                             static_cast<std::int64_t>(n), spans.data());
                ok = ok && got.min == v && got.max == v &&
                     got.sum == static_cast<std::int64_t>(v) * got.covered;
            }
            ok = ok && kern.find(same.data(), n, -70000, v - 1) == n &&
                 kern.find(same.data(), n, v, 70000) == 0;
        }
    }
    CHECK(ok);
}

// The runs of samples in an interval, with their sums and extremes, are
// those a plain walk finds, for either width of register: samples near
// the bounds so that runs of every length cross the vector widths, at odd
// addresses, in windows that cut them; bounds beyond the int16 range; a
// run of extreme samples long enough to overflow int32 lanes unless its
// sum is taken out of them in parts; never more runs than run_room; a
// head, where given, the sum it stands for.
void test_run_kernels() {
    using lma::detail::RawRun;
    using lma::detail::Segment;
    std::mt19937 rng(11);
    std::vector<lma::detail::RowKernels> kernels{
        lma::detail::portable_row_kernels()};
    if (lma::detail::wide_row_kernels().row != nullptr) {
        kernels.push_back(lma::detail::wide_row_kernels());
    }
    std::vector<unsigned char> raw(2 * 4000 + 1);
    for (std::size_t k = 0; k + 1 < raw.size(); k += 2) {
        const auto v = static_cast<std::int16_t>(
            rng() % 8 == 0 ? static_cast<int>(rng() % 65536) - 32768
                           : static_cast<int>(rng() % 301) - 150);
        std::memcpy(raw.data() + k, &v, 2);
    }
    const std::int32_t bounds[][2] = {
        {INT32_MIN, INT32_MAX}, {-70000, 70000}, {-150, 140},
        {-100, 100},           {32767, 40000},  {5, 4},
        {-40000, -32768},      {0, 0}};
    bool ok = true;
    std::size_t heads = 0;
    for (int trial = 0; trial < 2000; ++trial) {
        std::vector<Segment> segs;
        std::int64_t pos = static_cast<std::int64_t>(rng() % 5);
        const unsigned char* at = raw.data() + rng() % 2;
        for (std::size_t k = rng() % 5; k > 0; --k) {
            const auto len = static_cast<std::int64_t>(1 + rng() % 120);
            segs.push_back({pos, len, at});
            at += 2 * len;
            pos += len + static_cast<std::int64_t>(rng() % 3);
        }
        const auto a = static_cast<std::int64_t>(rng() % (pos + 1));
        const auto b = a + static_cast<std::int64_t>(rng() % (pos - a + 2));
        // Heads ending before, at and past a first block's end, or none.
        const std::int64_t after =
            static_cast<std::int64_t>(rng() % 20) - 1;
        for (const auto& r : bounds) {
            for (const bool high : {true, false}) {
                std::vector<RawRun> want;
                for (const Segment& s : segs) {
                    const std::int64_t s1 = std::min(s.end(), b);
                    for (std::int64_t p = std::max(s.start, a); p < s1;) {
                        auto in = [&](std::int64_t q) {
                            return r[0] <= s.at(q) && s.at(q) <= r[1];
                        };
                        if (!in(p)) {
                            ++p;
                            continue;
                        }
                        const bool before = p > std::max(s.start, a);
                        RawRun w{p,     p,     0,      s.at(p),
                                 p,     0,     false,  before,
                                 before ? s.at(p - 1) : 0, s.at(p)};
                        for (; p < s1 && in(p); ++p) {
                            w.sum += s.at(p);
                            if (high ? s.at(p) > w.best : s.at(p) < w.best) {
                                w.best = s.at(p);
                                w.at = p;
                            }
                        }
                        w.j = p;
                        for (std::int64_t q = w.i;
                             q < std::min(w.at + after, w.j); ++q) {
                            w.head += s.at(q);
                        }
                        want.push_back(w);
                    }
                }
                for (const auto& kern : kernels) {
                    // One run more than the room, which must stay as it is.
                    const RawRun past{-1, -1, -1, -1, -1, -1, false,
                                      false, -1, -1};
                    std::vector<RawRun> got(
                        lma::detail::run_room(segs.data(), segs.size()) + 1,
                        past);
                    const std::size_t n =
                        kern.runs(segs.data(), segs.size(), a, b, r[0], r[1],
                                  high, after, got.data());
                    ok = ok && n == want.size() && got.back().i == past.i &&
                         got.back().sum == past.sum;
                    for (std::size_t k = 0; ok && k < n; ++k) {
                        ok = got[k].i == want[k].i && got[k].j == want[k].j &&
                             got[k].sum == want[k].sum &&
                             got[k].best == want[k].best &&
                             got[k].at == want[k].at &&
                             got[k].has_before == want[k].has_before &&
                             got[k].before == want[k].before &&
                             got[k].first == want[k].first &&
                             (!got[k].has_head ||
                              (after >= 0 && got[k].head == want[k].head));
                        heads += got[k].has_head;
                    }
                }
            }
        }
    }
    for (const std::int16_t v : {std::int16_t{-32768}, std::int16_t{32767}}) {
        const std::size_t n = 9 * 65536 + 40;
        std::vector<unsigned char> same(2 * n);
        for (std::size_t k = 0; k < n; ++k) {
            std::memcpy(same.data() + 2 * k, &v, 2);
        }
        const Segment one{0, static_cast<std::int64_t>(n), same.data()};
        for (const auto& kern : kernels) {
            RawRun got{};
            ok = ok &&
                 kern.runs(&one, 1, 0, one.length, v, v, true, 16, &got) ==
                     1 &&
                 got.head == (got.has_head ? 16 * v : 0) &&
                 got.j == one.length &&
                 got.sum == static_cast<std::int64_t>(v) * one.length;
        }
    }
    // The wide kernel gives heads where they fit its first block.
    CHECK(ok && (kernels.size() == 1 || heads > 0));
}

// Many-channel records of one size, one pulse each (which the scan walks
// four at a time, every field checked against the block), over more than
// the scan's buffer: sound, cut short anywhere, or with one count, pulse
// start or length changed in a record walked four at a time or in the
// last one. The scan finds the iteration's records and its failure.
void test_scan_one_pulse_records() {
    test::FileShape shape;
    shape.channels.assign(16, lma::Channel{0, 0, 7, 0.25});
    shape.nsamples = 256;
    Bytes b = test::header_bytes(shape);
    const std::size_t start = b.b.size(), record = 12 + 16 * 42;
    const std::size_t events = (std::size_t{3} << 20) / 2 / record;
    for (std::size_t e = 0; e < events; ++e) {
        b.put(static_cast<std::int32_t>(e)).put(0.0);
        for (int c = 0; c < 16; ++c) {
            b.put(std::int16_t{1}).put(std::int32_t{16 * c});
            b.put(std::int32_t{16}).pad(32);
        }
    }
    // At record e, channel c: the field `at` bytes into its block, as
    // int16 (the count) or int32.
    struct Change {
        std::size_t e;
        int c, at;
        std::int32_t value;
    };
    const Change changes[] = {
        {900, 3, 0, 2},    {901, 15, 0, 0},    {902, 0, 0, -1},
        {903, 7, 2, -1},   {904, 7, 2, 241},   {905, 7, 2, 240},
        {906, 9, 6, 0},    {907, 9, 6, -16},   {908, 9, 6, 257},
        {909, 9, 6, 17},   {910, 15, 6, 0},    {911, 15, 6, -3},
        {912, 15, 2, -16}, {913, 15, 2, 250},  {events - 1, 15, 6, 1000},
    };
    std::mt19937 rng(99);
    std::vector<Bytes> files{b};
    for (const Change& c : changes) {
        Bytes changed = b;
        const std::size_t at = start + c.e * record + 12 +
                               static_cast<std::size_t>(c.c) * 42 +
                               static_cast<std::size_t>(c.at);
        if (c.at == 0) {
            const auto v = static_cast<std::int16_t>(c.value);
            std::memcpy(&changed.b[at], &v, sizeof v);
        } else {
            std::memcpy(&changed.b[at], &c.value, sizeof c.value);
        }
        files.push_back(changed);
    }
    // Cut anywhere, and inside the samples of the last channel of each
    // of four records in a row, one of them surely walked beside others.
    for (std::size_t cut = 0; cut < 10; ++cut) {
        Bytes shorter = b;
        shorter.b.resize(
            cut < 6 ? std::uniform_int_distribution<std::size_t>(
                          start, b.b.size() - 1)(rng)
                    : start + (1500 + cut) * record - 20);
        files.push_back(shorter);
    }
    for (std::size_t k = 0; k < files.size(); ++k) {
        MemFile m(files[k]);
        const Reference ref = test::iterate(m.stream);
        lma::RecordIndex index;
        const lma::Stop stop = lma::scan_records(
            m.file, ref.header, static_cast<std::int64_t>(files[k].b.size()),
            index);
        bool ok = test::same(stop.status, ref.end) &&
                  index.size() == ref.offsets.size();
        for (std::size_t e = 0; ok && e < index.size(); ++e) {
            ok = index.offsets[e] == ref.offsets[e];
        }
        if (!ok) {
            std::printf("  one-pulse records, file %zu\n", k);
        }
        CHECK(ok);
    }
}

// Records of one size walked together, and among them one of twice the
// size whose second half, inside its samples, walks as a record: a guess
// that lands there walks soundly, yet only the record before it says
// where the next one starts.
void test_scan_guess_inside_a_record() {
    test::FileShape shape;
    shape.channels.assign(1, lma::Channel{0, 0, 0, 1.0});
    shape.nsamples = 64;
    auto record = [](Bytes& b, std::int32_t length) {
        b.put(std::int32_t{5}).put(0.0).put(std::int16_t{1});
        b.put(std::int32_t{0}).put(length);
    };
    for (int before = 8; before < 12; ++before) {
        Bytes b = test::header_bytes(shape);
        for (int e = 0; e < 40; ++e) {
            if (e == before) {
                // 54 bytes, then samples of which the last 54 are a record.
                record(b, 43);
                b.pad(32);
                record(b, 16);
                b.pad(32);
            } else {
                record(b, 16);
                b.pad(32);
            }
        }
        MemFile m(b);
        const Reference ref = test::iterate(m.stream);
        lma::RecordIndex index;
        const lma::Stop stop = lma::scan_records(
            m.file, ref.header, static_cast<std::int64_t>(b.b.size()),
            index);
        CHECK(stop.ok() && index.offsets == ref.offsets);
    }
}

// A range whose output is far larger than cache takes the streaming
// stores: its values are the iteration's all the same, whatever the
// alignment of each pulse.
void test_large_range() {
    std::mt19937 rng(7);
    test::FileShape shape;
    shape.channels.assign(4, lma::Channel{1000, -5, 3, 0.375});
    shape.nsamples = 8192;
    shape.events = 140;  // 35 MiB of float64
    const Indexed f(test::random_file(shape, rng));
    const std::vector<std::size_t> rows{0, 1, 2, 3};
    Decoded d;
    CHECK(decode(f.m, f.ref.header, f.index, 0, f.index.size(), rows, d)
              .ok() &&
          matches(f.ref, 0, f.index.size(), rows, d));
}

// Runs of samples calibrate as calibrate<T> does, bit for bit, streamed
// or not, at every alignment and length around the vector widths.
void test_runs() {
    std::mt19937 rng(3);
    std::vector<unsigned char> raw(2 * 200 + 1);
    for (unsigned char& c : raw) {
        c = static_cast<unsigned char>(rng());
    }
    const lma::Channel ch{1000, 0, -77, 0.1};
    bool ok = true;
    for (std::size_t n = 0; n < 150; ++n) {
        for (std::size_t skew = 0; skew < 8; ++skew) {
            for (bool stream : {false, true}) {
                std::vector<double> d(n + 8);
                std::vector<float> f(n + 8);
                const unsigned char* in = raw.data() + skew % 2;
                lma::detail::run_for(d.data(), stream)(d.data() + skew, in,
                                                      n, ch);
                lma::detail::run_for(f.data(), stream)(f.data() + skew, in,
                                                      n, ch);
                const lma::detail::LeSamples s{in};
                for (std::size_t k = 0; k < n; ++k) {
                    const double want = lma::calibrate<double>(s[k], ch);
                    const float want32 = lma::calibrate<float>(s[k], ch);
                    ok = ok && std::memcmp(&d[skew + k], &want, 8) == 0 &&
                         std::memcmp(&f[skew + k], &want32, 4) == 0;
                }
            }
        }
    }
    CHECK(ok);
}

// A block of rows without samples may have no memory at all; decoding
// forms no row address from it.
void test_rows_without_samples() {
    std::mt19937 rng(9);
    test::FileShape shape;
    shape.channels.assign(1, lma::Channel{0, 0, 0, 1.0});
    shape.events = 3;
    const Indexed f(test::random_file(shape, rng));
    const lma::ChannelOut none{0, nullptr, 5};
    for (bool fresh : {false, true}) {
        lma::RangeOut out{lma::SampleType::float64, nullptr, nullptr, &none,
                          1, fresh};
        lma::Scratch scratch;
        CHECK(lma::decode_range(f.m.file, f.ref.header, f.index, 0,
                                f.index.size(), out, scratch)
                  .ok());
    }
}

// horpos is read; with no channel in use a record cut inside it still
// counts, its horpos NaN, and the index ends past the end of the file.
void test_horpos() {
    test::FileShape shape;
    shape.nsamples = 4;
    Bytes b = test::header_bytes(shape);
    b.put(std::int32_t{7}).put(2.5).put(std::int32_t{8}).put(0.5);
    b.b.resize(b.b.size() - 3);
    MemFile m(b);
    lma::RecordIndex index;
    lma::Stop stop = lma::scan_records(
        m.file, test::iterate(m.stream).header,
        static_cast<std::int64_t>(b.b.size()), index);
    CHECK(stop.ok() && index.size() == 2 &&
          index.end == static_cast<std::int64_t>(b.b.size()) + 3);
    Decoded d;
    lma::Header h = test::iterate(m.stream).header;
    CHECK(decode(m, h, index, 0, 2, {}, d).ok());
    CHECK(d.tags[1] == 8 && d.horpos[0] == 2.5 && std::isnan(d.horpos[1]));
}

// A record longer than a read chunk is read whole, but the scratch buffer
// does not hold on to that much once the read is done; the reference
// iteration, whose buffer is trimmed too, still sees its samples.
void test_long_record_memory_given_back() {
    test::FileShape shape;
    shape.channels.assign(1, lma::Channel{0, 0, 0, 1.0});
    shape.nsamples = 1 << 21;  // one full-length pulse: 4 MiB of samples
    Bytes b = test::header_bytes(shape);
    b.put(std::int32_t{1}).put(0.0).put(std::int16_t{1});
    b.put(std::int32_t{0}).put(shape.nsamples).pad((2u << 21) - 2);
    b.put(std::int16_t{7});
    MemFile m(b);
    const Reference ref = test::iterate(m.stream);
    const lma::Header& h = ref.header;
    lma::RecordIndex index;
    lma::scan_records(m.file, h, static_cast<std::int64_t>(b.b.size()),
                      index);
    std::vector<double> trace(1u << 21, -1.0);
    const lma::ChannelOut one{0, trace.data(), shape.nsamples};
    const lma::RangeOut out{lma::SampleType::float64, nullptr, nullptr, &one,
                            1};
    lma::Scratch scratch;
    CHECK(index.size() == 1 &&
          lma::decode_range(m.file, h, index, 0, 1, out, scratch).ok() &&
          trace.back() == 7.0);
    CHECK(scratch.bytes.capacity() <= (1u << 20));
    CHECK(ref.pulses.size() == 1 && ref.pulses[0].size() == 1 &&
          ref.pulses[0][0].samples.back() == 7 &&
          lists_pulses(m, ref, index, 0, 1, {0}));
}

// A file written while it is scanned: every scan goes on where the last
// one stopped, and a record cut short is tried again, so the index grows
// to the one a single scan of the whole file makes.
void test_growing() {
    std::mt19937 rng(77);
    for (int round = 0; round < 40; ++round) {
        test::FileShape shape = test::random_shape(rng, false);
        shape.events += 3;
        const Bytes whole = test::random_file(shape, rng);
        Bytes part;
        part.b = test::header_bytes(shape).b;
        MemFile m(part);
        const lma::Header h = test::iterate(m.stream).header;
        lma::RecordIndex index;
        std::size_t size = part.b.size();
        bool ok = true;
        while (ok && size < whole.b.size()) {
            const std::size_t next = std::min(
                whole.b.size(), size + std::uniform_int_distribution<
                                           std::size_t>(1, 40)(rng));
            Bytes grown;
            grown.b.assign(whole.b.begin(), whole.b.begin() + next);
            m.append(grown, size);
            size = next;
            const lma::Stop s = lma::scan_records(
                m.file, h, static_cast<std::int64_t>(size), index);
            // Mid-record the data is cut short: not yet a record.
            ok = s.ok() || s.status.code == lma::Errc::read;
        }
        MemFile fresh(whole);
        lma::RecordIndex once;
        ok = ok && lma::scan_records(fresh.file, h,
                                     static_cast<std::int64_t>(size), once)
                       .ok();
        CHECK(ok && index.offsets == once.offsets && index.end == once.end);
    }
}

// Bytes changed under an index: decoding reports it, cleanly.
void test_changed_file() {
    std::mt19937 rng(5);
    test::FileShape shape = test::random_shape(rng, false);
    shape.channels.assign(2, lma::Channel{0, 0, 3, 0.5});
    shape.nsamples = 16;
    shape.events = 6;
    const Bytes bytes = test::random_file(shape, rng);
    Indexed f(bytes);
    MemFile& m = f.m;
    const Reference& ref = f.ref;
    const lma::RecordIndex& index = f.index;
    const std::vector<std::size_t> rows = {0, 1};
    Decoded d;
    // A pulse count raised: the record walks on into the next one (or
    // fails there), never ending where the index says.
    Bytes altered = bytes;
    const auto at = static_cast<std::size_t>(index.offsets[2]) + 12;
    altered.b[at] = static_cast<unsigned char>(altered.b[at] + 1);
    m.append(altered, at);
    lma::Stop s = decode(m, ref.header, index, 0, 6, rows, d);
    CHECK(s.event == 2 && s.offset == index.offsets[2] &&
          s.status.code != lma::Errc::ok);
    CHECK(matches(ref, 0, 2, rows, d));
    m.append(bytes, at);
    // Cut short inside record 4: what the reader would report there.
    CHECK(ftruncate(m.file.fd(), index.offsets[4] + 2) == 0);
    s = decode(m, ref.header, index, 1, 6, rows, d);
    CHECK(s.event == 4 && test::same(s.status, {lma::Errc::read, 0}));
    // A listing with less room than counted says so.
    lma::Scratch scratch;
    std::vector<std::int64_t> i64(64);
    std::vector<std::int32_t> i32(64);
    std::vector<std::int16_t> samples(0);
    lma::PulseOut out{i64.data(), i32.data(), i32.data(),
                      i32.data(), i64.data(), samples.data(), {64, 0}};
    lma::PulseCounts written;
    s = lma::list_pulses(m.file, ref.header, index, 0, 4, rows.data(), 2,
                         out, written, scratch);
    CHECK(written.samples == 0 &&
          (ref.pulses[0].empty() && ref.pulses[1].empty()
               ? true
               : s.status.code == lma::Errc::changed));
    // Arguments out of range change nothing and say so.
    lma::RangeOut none{};
    CHECK(lma::decode_range(m.file, ref.header, index, 3, 9, none, scratch)
              .status.code == lma::Errc::inconsistent);
    std::vector<double> block(40);
    const lma::ChannelOut odd{0, reinterpret_cast<char*>(block.data()) + 1,
                              16};
    lma::RangeOut misaligned{lma::SampleType::float64, nullptr, nullptr,
                             &odd, 1};
    CHECK(lma::decode_range(m.file, ref.header, index, 0, 1, misaligned,
                            scratch)
              .status.code == lma::Errc::inconsistent);
    const std::size_t twice[] = {1, 1};
    lma::PulseCounts counts;
    CHECK(lma::count_pulses(m.file, ref.header, index, 0, 1, twice, 2,
                            counts, scratch)
              .status.code == lma::Errc::inconsistent);
}

// Outputs the decoder cannot write as laid out are refused before a
// byte of any of them is written: a float64 block aligned for float but
// not for double, tags or horpos off their alignment, and rows closer
// together than a row is long.
void test_refused_outputs_stay_untouched() {
    std::mt19937 rng(11);
    test::FileShape shape;
    shape.channels.assign(2, lma::Channel{0, 0, 3, 0.5});
    shape.nsamples = 16;
    shape.events = 4;
    const Indexed f(test::random_file(shape, rng));
    constexpr double kUnwritten = -123.0;
    std::vector<double> block(2 * 4 * 16 + 8, kUnwritten);
    std::vector<double> heads(16, kUnwritten);
    char* const bytes = reinterpret_cast<char*>(block.data());
    char* const head_bytes = reinterpret_cast<char*>(heads.data());
    struct Case {
        void* data0;
        std::int64_t stride;
        void* tags;
        void* horpos;
    };
    const Case cases[] = {
        {bytes + 4, 16, heads.data(), heads.data() + 8},
        {block.data(), 15, heads.data(), heads.data() + 8},
        {block.data(), 16, head_bytes + 2, heads.data() + 8},
        {block.data(), 16, heads.data(), head_bytes + 8 * 8 + 4},
    };
    for (const Case& c : cases) {
        std::fill(block.begin(), block.end(), kUnwritten);
        std::fill(heads.begin(), heads.end(), kUnwritten);
        const lma::ChannelOut outs[] = {
            {0, c.data0, c.stride}, {1, block.data() + 4 * 16 + 4, 16}};
        const lma::RangeOut out{lma::SampleType::float64,
                                static_cast<std::int32_t*>(c.tags),
                                static_cast<double*>(c.horpos), outs, 2};
        lma::Scratch scratch;
        const lma::Stop s = lma::decode_range(f.m.file, f.ref.header,
                                              f.index, 0, 4, out, scratch);
        const auto untouched = [&](const std::vector<double>& v) {
            return std::all_of(v.begin(), v.end(),
                               [&](double x) { return x == kUnwritten; });
        };
        CHECK(s.status.code == lma::Errc::inconsistent && untouched(block) &&
              untouched(heads));
    }
}

// A file cut back at a record boundary after its size was taken: the scan
// ends there cleanly, as at the end of the file, not at a damaged record.
void test_shrunk_while_scanned() {
    std::mt19937 rng(31);
    for (int round = 0; round < 20; ++round) {
        test::FileShape shape = test::random_shape(rng, false);
        shape.events += 2;
        const Bytes whole = test::random_file(shape, rng);
        Indexed full(whole);
        const std::size_t keep = std::uniform_int_distribution<std::size_t>(
            0, shape.events - 1)(rng);
        Bytes cut;
        cut.b.assign(whole.b.begin(),
                     whole.b.begin() + full.index.offsets[keep]);
        MemFile m(cut);
        lma::RecordIndex index;
        const lma::Stop s = lma::scan_records(
            m.file, full.ref.header, static_cast<std::int64_t>(whole.b.size()),
            index);
        CHECK(s.ok() && s.offset == full.index.offsets[keep] &&
              index.size() == keep);
    }
}

// A record rewritten in place reads as a file changed since it was
// indexed, whether its walk now ends short of where the index says or
// runs on past it, never as the damage of a record cut short.
void test_record_rewritten_in_place() {
    test::FileShape shape;
    shape.channels.assign(1, lma::Channel{0, 0, 2, 0.5});
    shape.nsamples = 8;
    Bytes bytes = test::header_bytes(shape);
    for (std::int32_t tag = 0; tag < 4; ++tag) {
        bytes.put(tag).put(0.0).put(std::int16_t{1}).pulse(0, {1, 2, 3});
    }
    Indexed f(bytes);
    const std::vector<std::size_t> rows = {0};
    // The pulse length of record 1: after tag, horpos, count and first.
    const auto at = static_cast<std::size_t>(f.index.offsets[1]) + 18;
    for (const std::int32_t length : {2, 4}) {
        Bytes altered = bytes;
        std::memcpy(&altered.b[at], &length, sizeof length);
        f.m.append(altered, at);
        for (const std::size_t last : {std::size_t{2}, std::size_t{4}}) {
            Decoded d;
            const lma::Stop s = decode(f.m, f.ref.header, f.index, 1, last,
                                       rows, d);
            CHECK(test::same(s.status, {lma::Errc::changed,
                                        static_cast<long>(f.index.offsets[1])})
                  && s.event == 1 && s.offset == f.index.offsets[1]);
        }
    }
    const lma::Message m = lma::message_for({lma::Errc::changed, 0});
    CHECK(m.kind == lma::ErrorKind::os_error &&
          m.text == "the file changed since its records were indexed");
}

// The per-event quantities refuse, before writing anything, settings and
// outputs the walk could not honour; one sound call shows the rest pass.
void test_feature_arguments() {
    std::mt19937 rng(7);
    test::FileShape shape;
    shape.channels.assign(2, lma::Channel{0, 0, 3, 0.5});
    shape.nsamples = 16;
    shape.events = 4;
    const Bytes bytes = test::random_file(shape, rng);
    MemFile m(bytes);
    const lma::Header h = test::iterate(m.stream).header;
    lma::RecordIndex index;
    CHECK(lma::scan_records(m.file, h,
                            static_cast<std::int64_t>(bytes.b.size()), index)
              .ok());
    const std::size_t rows[] = {1, 0};
    std::vector<double> wide(4 * 2 + 1, -7.0);
    std::vector<std::int32_t> narrow(4 * 2 + 1, -7);
    auto outputs = [&] {
        lma::FeatureOut out;
        out.rows = rows;
        out.nrows = 2;
        for (std::size_t q = 0; q < lma::kQuantities; ++q) {
            out.data[q] = lma::is_int32(static_cast<lma::Quantity>(q))
                              ? static_cast<void*>(narrow.data())
                              : static_cast<void*>(wide.data());
            out.stride[q] = 2;
        }
        return out;
    };
    lma::Scratch scratch;
    auto run = [&](const lma::Header& hh, const lma::FeatureSettings& set,
                   const lma::FeatureOut& out) {
        std::fill(wide.begin(), wide.end(), -7.0);
        std::fill(narrow.begin(), narrow.end(), -7);
        const lma::Stop s = lma::compute_features(m.file, hh, index, 0, 4,
                                                  set, out, scratch);
        const bool untouched =
            std::all_of(wide.begin(), wide.end(),
                        [](double v) { return v == -7.0; }) &&
            std::all_of(narrow.begin(), narrow.end(),
                        [](std::int32_t v) { return v == -7; });
        return s.status.code == lma::Errc::inconsistent && untouched;
    };
    const lma::FeatureSettings good{2, 16, 1.0, 0.5, -1};
    CHECK(lma::compute_features(m.file, h, index, 0, 4, good, outputs(),
                                scratch)
              .ok());
    const double nan = std::nan("");
    const lma::FeatureSettings bad[] = {
        {2, 17, 1.0, 0.5, 1}, {5, 4, 1.0, 0.5, 1},  {-1, 4, 1.0, 0.5, 1},
        {0, 4, 0.0, 0.5, 1},  {0, 4, nan, 0.5, 1},  {0, 4, INFINITY, 0.5, 1},
        {0, 4, 1.0, 0.0, 1},  {0, 4, 1.0, 1.5, 1},  {0, 4, 1.0, nan, 1},
        {0, 4, 1.0, 0.5, 0},  {0, 4, 1.0, 0.5, 2},  {0, 4, 1.0, 0.5, 1, -1},
    };
    for (const lma::FeatureSettings& set : bad) {
        CHECK(run(h, set, outputs()));
    }
    // Without crossing and hits, the threshold is not read.
    lma::FeatureOut no_crossing = outputs();
    for (lma::Quantity q : {lma::Quantity::crossing, lma::Quantity::hits}) {
        no_crossing.data[static_cast<std::size_t>(q)] = nullptr;
    }
    CHECK(lma::compute_features(m.file, h, index, 0, 4,
                                {0, 4, nan, 0.5, 1}, no_crossing, scratch)
              .ok());
    lma::Header infinite = h;
    infinite.channel_info[0].gain = INFINITY;
    CHECK(run(infinite, good, outputs()));
    lma::FeatureOut narrow_stride = outputs();
    narrow_stride.stride[0] = 1;
    CHECK(run(h, good, narrow_stride));
    lma::FeatureOut misaligned = outputs();
    misaligned.data[0] = reinterpret_cast<char*>(wide.data()) + 4;
    CHECK(run(h, good, misaligned));
    const std::size_t twice[] = {1, 1};
    lma::FeatureOut repeated = outputs();
    repeated.rows = twice;
    CHECK(run(h, good, repeated));
}

// Hit columns refuse room beyond any memory rather than let its size in
// bytes wrap, the room asked for from a range's first records is cut to
// what memory could hold, and the columns handed over hold exactly the
// hits appended.
void test_hit_columns() {
    lma::HitColumns c;
    CHECK(!c.reserve((SIZE_MAX >> 1) + 2));  // each column's bytes wrap
    CHECK(lma::detail::expected_hits(std::size_t{1} << 62, 1,
                                     std::size_t{1} << 63) == SIZE_MAX);
    CHECK(lma::detail::expected_hits(100, 10, 1000) == 11237);
    for (std::int64_t k = 0; k < 3000; ++k) {
        const double x = 0.5 * static_cast<double>(k);
        c.append({k, static_cast<std::int16_t>(k % 7), x,
                  static_cast<std::int32_t>(k + 1), 1,
                  static_cast<std::int32_t>(k), x, x, x, x, -x});
    }
    CHECK(c.reserve(5000) && c.size() == 3000 && c[2999].event == 2999);
    lma::HitArrays a = c.release();
    bool ok = c.size() == 0;
    for (std::int64_t k = 0; k < 3000; ++k) {
        const auto i = static_cast<std::size_t>(k);
        ok = ok && a.event[i] == k && a.channel[i] == k % 7 &&
             a.end[i] == k + 1 && a.peak[i] == k &&
             a.tail[i] == -0.5 * static_cast<double>(k);
    }
    lma::each_column(a, [](auto* column) { std::free(column); });
    CHECK(ok);
    const lma::HitArrays none = c.release();
    CHECK(none.event == nullptr && none.tail == nullptr);
}

// The hit finder refuses, adding nothing, settings out of range, a gain
// that is not finite and misplaced outputs; one sound call passes.
void test_hit_arguments() {
    std::mt19937 rng(11);
    test::FileShape shape;
    shape.channels.assign(2, lma::Channel{0, 0, 3, 0.5});
    shape.nsamples = 16;
    shape.events = 4;
    const Bytes bytes = test::random_file(shape, rng);
    MemFile m(bytes);
    const lma::Header h = test::iterate(m.stream).header;
    lma::RecordIndex index;
    CHECK(lma::scan_records(m.file, h,
                            static_cast<std::int64_t>(bytes.b.size()), index)
              .ok());
    const std::size_t rows[] = {1, 0};
    std::int32_t tags[5];
    double horpos[5];
    lma::Scratch scratch;
    auto refused = [&](const lma::Header& hh, const lma::HitSettings& set,
                       lma::HitOut out) {
        const lma::HitSettings both[] = {set, set};
        lma::HitColumns found;
        out.settings = both;
        out.hits = &found;
        const lma::Stop s =
            lma::find_hits(m.file, hh, index, 0, 4, out, scratch);
        return s.status.code == lma::Errc::inconsistent && found.size() == 0;
    };
    lma::HitOut out;
    out.tags = tags;
    out.horpos = horpos;
    out.rows = rows;
    out.nrows = 2;
    const lma::HitSettings good{2, 16, 1.0, -1, 2, 1, 1, 0.5, 0.1, 0.9, 3};
    CHECK(!refused(h, good, out));
    const double nan = std::nan("");
    auto with = [&](auto change) {
        lma::HitSettings set = good;
        change(set);
        return set;
    };
    const lma::HitSettings bad[] = {
        with([](auto& s) { s.stop = 17; }),
        with([](auto& s) { s.first = 5, s.stop = 4; }),
        with([](auto& s) { s.first = -1; }),
        with([](auto& s) { s.threshold = 0.0; }),
        with([&](auto& s) { s.threshold = nan; }),
        with([](auto& s) { s.threshold = INFINITY; }),
        with([](auto& s) { s.polarity = 0; }),
        with([](auto& s) { s.merge = -1; }),
        with([](auto& s) { s.pre = -1; }),
        with([](auto& s) { s.post = -1; }),
        with([](auto& s) { s.tail = -2; }),
        with([](auto& s) { s.fraction = 0.0; }),
        with([](auto& s) { s.fraction = 1.5; }),
        with([](auto& s) { s.low = 0.0; }),
        with([](auto& s) { s.low = 0.9; }),
        with([](auto& s) { s.high = 1.5; }),
    };
    for (const lma::HitSettings& set : bad) {
        CHECK(refused(h, set, out));
    }
    lma::Header infinite = h;
    infinite.channel_info[0].gain = INFINITY;
    CHECK(refused(infinite, good, out));
    lma::HitOut misaligned = out;
    misaligned.horpos =
        reinterpret_cast<double*>(reinterpret_cast<char*>(horpos) + 4);
    CHECK(refused(h, good, misaligned));
    const std::size_t twice[] = {1, 1};
    lma::HitOut repeated = out;
    repeated.rows = twice;
    CHECK(refused(h, good, repeated));
}

void test_header_check() {
    test::FileShape shape;
    shape.channels.assign(2, lma::Channel{0, 0, 0, 1.0});
    shape.nsamples = 8;
    const Bytes good = test::header_bytes(shape);  // 98 bytes
    struct Case {
        std::size_t at;       // where the patch goes, or the cut
        std::int64_t patch;   // written as the field's type; -1: cut there
        int bytes;
        const char* message;  // empty: sound
    };
    const double inf = INFINITY;
    auto as_int = [](double v) {
        std::int64_t i;
        std::memcpy(&i, &v, 8);
        return i;
    };
    const Case cases[] = {
        {0, 0, 0, ""},
        {0, 10, 4, "header size puts the first event inside the header (10)"},
        {0, 500, 4, "header size puts the first event past the end of the "
                    "file (500)"},
        {4, -2, 2, "num of channels is negative (-2)"},
        {8, as_int(0.0), 8, "sample interval is not above 0 (0)"},
        {8, as_int(-inf), 8, "sample interval is not finite (-inf)"},
        {16, -1, 4, "num of samples is negative (-1)"},
        {74 + 4, as_int(NAN), 8, "gain of channel 1 is not finite (nan)"},
        {19, -1, 0, "num of samples is cut short (19)"},
        {60, -1, 0, "gain of channel 0 is cut short (60)"},
        {87, -1, 0, "baseline of channel 1 is cut short (87)"},
        {2, -1, 0, "header size is cut short (2)"},
    };
    for (const Case& c : cases) {
        Bytes b = good;
        if (c.bytes == 0 && c.patch == -1) {
            b.b.resize(c.at);
        } else if (c.bytes > 0) {
            std::int64_t v = c.patch;
            std::memcpy(&b.b[c.at], &v, static_cast<std::size_t>(c.bytes));
        }
        MemFile m(b);
        lma::Header h;
        const lma::Status s = lma::read_header(m.file, h);
        const std::string got =
            lma::check_header(h, s, static_cast<std::int64_t>(b.b.size()))
                .message();
        if (got != c.message) {
            std::printf("  header check: \"%s\"\n", got.c_str());
        }
        CHECK(got == c.message);
    }
}

void test_file_and_messages() {
    lma::File f;
    CHECK(test::same(lma::File::open("/nonexistent/x.lma", f),
                     {lma::Errc::os, ENOENT}));
    CHECK(test::same(lma::File::open("/", f), {lma::Errc::os, EISDIR}));
    // Refused without waiting, a FIFO with no writer included.
    char dir[] = "/tmp/lma-fifo-XXXXXX";
    CHECK(mkdtemp(dir) != nullptr);
    const std::string fifo = std::string(dir) + "/fifo";
    CHECK(mkfifo(fifo.c_str(), 0600) == 0);
    for (const char* path : {fifo.c_str(), "/dev/null"}) {
        CHECK(test::same(lma::File::open(path, f),
                         {lma::Errc::not_regular, 0}));
    }
    unlink(fifo.c_str());
    rmdir(dir);
    CHECK(!f.is_open());
    std::size_t got = 1;
    char buf[4];
    CHECK(f.read_at(0, buf, 4, got).code == lma::Errc::closed);
    MemFile m(Bytes().put(std::int32_t{5}));
    CHECK(m.file.read_at(2, buf, 4, got).ok() && got == 2);
    CHECK(test::same(m.file.read_at(-1, buf, 4, got),
                     {lma::Errc::os, EINVAL}));
    lma::File moved = std::move(m.file);
    CHECK(!m.file.is_open() && moved.is_open() && moved.close().ok() &&
          moved.close().ok() && !moved.is_open());

    struct {
        lma::Status s;
        lma::ErrorKind kind;
        const char* text;
    } const cases[] = {
        {{lma::Errc::read, 37}, lma::ErrorKind::os_error,
         "Fail to read a block: 37!"},
        {{lma::Errc::seek, -1}, lma::ErrorKind::os_error,
         "Fail to seek a position: -1!"},
        {{lma::Errc::empty_pulse, 0}, lma::ErrorKind::index_error,
         "Out of bounds on buffer access (axis 0)"},
        {{lma::Errc::negative_length, -4}, lma::ErrorKind::value_error,
         "negative dimensions are not allowed"},
        {{lma::Errc::broadcast, 3, 2}, lma::ErrorKind::value_error,
         "could not broadcast input array from shape (3,) into shape (2,)"},
        {{lma::Errc::no_memory, 0}, lma::ErrorKind::memory_error, ""},
        {{lma::Errc::os, ENOENT}, lma::ErrorKind::os_error,
         std::strerror(ENOENT)},
        {{lma::Errc::not_regular, 0}, lma::ErrorKind::os_error,
         "not a regular file"},
    };
    for (const auto& c : cases) {
        const lma::Message msg = lma::message_for(c.s);
        CHECK(msg.kind == c.kind && msg.text == c.text);
    }
}

}  // namespace

// A File over bytes in memory, standing for part of a file: reads before
// its first byte are refused, reads past its last end there, and records
// decoded or scanned from it equal those read from the file.
void test_bytes_in_memory() {
    std::mt19937 rng(777);
    for (int round = 0; round < 200; ++round) {
        const Bytes bytes =
            test::random_file(test::random_shape(rng, false), rng);
        const Indexed f(bytes);
        const std::size_t n = f.index.size();
        const std::size_t a =
            n ? std::uniform_int_distribution<std::size_t>(0, n - 1)(rng) : 0;
        const std::size_t b =
            std::uniform_int_distribution<std::size_t>(a, n)(rng);
        const std::int64_t base =
            a < n ? f.index.offsets[a] : f.ref.header.pos_begin;
        const std::int64_t size = static_cast<std::int64_t>(bytes.b.size());
        const std::int64_t stop = std::min(
            size, b > a ? f.index.record_end(b - 1) : base);
        const auto length = static_cast<std::size_t>(stop - base);
        const lma::File part =
            lma::File::over(bytes.b.data() + base, base, length);
        std::vector<std::size_t> rows;
        for (std::size_t r = 0; r < f.ref.header.channels.size(); ++r) {
            rows.push_back(r);
        }
        Decoded d, e;
        bool ok = decode(f.m, f.ref.header, f.index, a, b, rows, d).ok();
        // The same range from memory, into the same kind of blocks.
        MemFile copy(bytes);
        copy.file = lma::File::over(bytes.b.data() + base, base, length);
        ok = ok && decode(copy, f.ref.header, f.index, a, b, rows, e).ok() &&
             d.tags == e.tags && d.raw == e.raw &&
             std::memcmp(d.f64.data(), e.f64.data(),
                         d.f64.size() * sizeof(double)) == 0;
        // The whole file from memory scans as the file does.
        lma::RecordIndex whole;
        const lma::Stop s = lma::scan_records(
            lma::File::over(bytes.b.data(), 0, bytes.b.size()),
            f.ref.header, size, whole);
        ok = ok && test::same(s.status, f.ref.end) &&
             whole.offsets == f.index.offsets;
        char buf[4];
        std::size_t got = 9;
        ok = ok && (base == 0 ||
                    test::same(part.read_at(base - 1, buf, 4, got),
                               {lma::Errc::os, EINVAL}));
        ok = ok && part.read_at(stop, buf, 4, got).ok() && got == 0;
        if (!ok) {
            std::printf("  bytes in memory, round %d\n", round);
        }
        CHECK(ok);
    }
}

int main() {
    test_matches_iteration();
    test_bytes_in_memory();
    test_scan_long_files();
    test_scan_one_pulse_records();
    test_scan_guess_inside_a_record();
    test_runs();
    test_row_kernels();
    test_run_kernels();
    test_large_range();
    test_rows_without_samples();
    test_horpos();
    test_growing();
    test_long_record_memory_given_back();
    test_changed_file();
    test_refused_outputs_stay_untouched();
    test_shrunk_while_scanned();
    test_record_rewritten_in_place();
    test_feature_arguments();
    test_hit_columns();
    test_hit_arguments();
    test_header_check();
    test_file_and_messages();
    return test::summary();
}
