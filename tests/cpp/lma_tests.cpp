// Unit tests of the decoder, fed through in-memory streams. A small harness
// of its own: the build must not depend on a test framework being installed.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <vector>

#include "lma/event.hpp"
#include "lma/header.hpp"
#include "lma/stream.hpp"
#include "harness.hpp"

namespace {

using test::Bytes;

// An in-memory stream over the first `size` bytes. Unlike a regular file it
// refuses seeks past its end, so cases that rely on such a seek succeeding
// use a temporary file instead (`on_disk`).
struct Stream {
    std::vector<unsigned char> data;
    std::FILE* f = nullptr;
    Stream(const Bytes& bytes, std::size_t size, bool on_disk = false)
        : data(bytes.b.begin(), bytes.b.begin() + size) {
        if (on_disk) {
            f = std::tmpfile();
            if (!data.empty()) {  // data() may be null then
                std::fwrite(data.data(), 1, data.size(), f);
            }
            std::rewind(f);
        } else {
            f = fmemopen(data.data(), data.size(), "rb");
        }
    }
    explicit Stream(const Bytes& bytes) : Stream(bytes, bytes.b.size()) {}
    ~Stream() { std::fclose(f); }
    long tell() const { return std::ftell(f); }
};

// One channel block: full scale, offset, gain, baseline, 10 skipped bytes.
void channel_block(Bytes& h, std::int16_t fs, std::int16_t off, double gain,
                   std::int16_t base) {
    h.put(fs).put(off).put(gain).put(base).pad(10);
}

Bytes header(std::int16_t num_channels, std::uint32_t mask,
             std::int32_t nsamples, int blocks, std::int32_t size_field) {
    Bytes h;
    h.put(size_field).put(num_channels).pad(2).put(2.5e-9).put(nsamples);
    h.pad(20).put(mask).pad(6);
    for (int j = 0; j < blocks; ++j) {
        channel_block(h, static_cast<std::int16_t>(100 + j), -3, 0.5 + j, 10);
    }
    return h;
}

bool is(lma::Status s, lma::Errc code, long value) {
    return s.code == code && s.value == value;
}

// Collects the traces of one event into a vector of nchannels x nsamples.
struct VectorSink final : lma::TraceSink {
    lma::SampleBuffer buf;
    std::vector<double> traces;
    int events = 0;
    explicit VectorSink(const lma::Header& h)
        : TraceSink(h, buf),
          traces(static_cast<std::size_t>(h.nchannels) *
                 static_cast<std::size_t>(h.nsamples)) {}
    lma::Status begin_event() override {
        ++events;
        traces.assign(traces.size(), 0.0);
        set_traces(traces.data());
        return lma::ok();
    }
};

lma::Header make_header(std::vector<std::int32_t> channels,
                        std::int32_t nsamples, double gain = 0.5,
                        std::int32_t baseline = 10) {
    lma::Header h;
    h.nsamples = nsamples;
    h.nchannels = static_cast<std::int32_t>(channels.size());
    h.channels = channels;
    h.channel_info.assign(channels.size(), lma::Channel{0, 0, baseline, gain});
    return h;
}

Bytes event_head(std::int32_t tag) { return Bytes().put(tag).put(0.0); }

void test_used_channels() {
    using V = std::vector<std::int32_t>;
    CHECK(lma::used_channels(4, 13) == (V{0, 2, 3}));
    CHECK(lma::used_channels(2, 255) == (V{0, 1}));
    CHECK(lma::used_channels(0, 0xFFFFFFFFu).empty());
    CHECK(lma::used_channels(-1, 0xFFFFFFFFu).empty());
    CHECK(lma::used_channels(-32768, 1).empty());
    CHECK(lma::used_channels(32, 0x80000001u) == (V{0, 31}));
    // Channels from 32 up have no mask bit and are never in use.
    CHECK(lma::used_channels(32767, 0x80000001u) == (V{0, 31}));
    CHECK(lma::used_channels(40, 0xFFFFFFFFu).size() == 32);
}

void test_header_whole() {
    Bytes h = header(4, 13, 8, 0, 118);
    channel_block(h, 1000, -3, 0.5, 10);
    channel_block(h, -1, static_cast<std::int16_t>(0x8000), -2.0, -1);
    channel_block(h, 7, 0, 1.0, 0);
    h.pad(5);  // one partial record: pos_end is the file size
    Stream s(h);
    lma::Header out;
    CHECK(lma::read_header(s.f, out).ok());
    CHECK(out.pos_begin == 122 && out.pos_end == 127);
    CHECK(out.sample_interval == 2.5e-9 && out.nsamples == 8);
    CHECK(out.nchannels == 3 && out.channels == (std::vector<int>{0, 2, 3}));
    const lma::Channel& c = out.channel_info[1];
    CHECK(c.fullscale == -1 && c.offset == -32768 && c.baseline == -1);
    CHECK(c.gain == -2.0 && out.channel_info[2].fullscale == 7);

    // The size field near the int32 maximum wraps into the negative range.
    Stream wrap(header(0, 0, 8, 0, std::numeric_limits<std::int32_t>::max()));
    lma::Header w;
    CHECK(lma::read_header(wrap.f, w).ok() && w.pos_begin == -2147483645);
    CHECK(w.nchannels == 0 && w.channel_info.empty() && w.pos_end == 50);
}

// A header cut at every offset keeps exactly the fields read before the
// cut. On a regular file a skip past the end succeeds, so every cut shows
// as a failed read of the next field with 0 items.
void test_header_cuts() {
    const Bytes h = header(2, 3, 16, 2, 94);
    for (std::size_t cut = 0; cut < h.b.size(); ++cut) {
        Stream s(h, cut, true);
        lma::Header out;
        out.pos_end = -7;  // must survive every failed parse
        lma::Status st = lma::read_header(s.f, out);
        bool ok = cut >= 88 ? st.ok() : is(st, lma::Errc::read, 0);
        ok = ok && out.pos_begin == (cut >= 4 ? 98 : 0);
        ok = ok && out.sample_interval == (cut >= 16 ? 2.5e-9 : 0.0);
        ok = ok && out.nsamples == (cut >= 20 ? 16 : 0);
        ok = ok && out.nchannels == (cut >= 44 ? 2 : 0);
        ok = ok && out.channel_info.size() == out.channels.size();
        if (cut >= 44) {
            const lma::Channel& c1 = out.channel_info[1];
            ok = ok && out.channel_info[0].fullscale == (cut >= 52 ? 100 : 0);
            ok = ok && c1.fullscale == (cut >= 76 ? 101 : 0);
            ok = ok && c1.offset == (cut >= 78 ? -3 : 0);
            ok = ok && c1.gain == (cut >= 86 ? 1.5 : 0.0);
            ok = ok && c1.baseline == (cut >= 88 ? 10 : 0);
        }
        // A cut inside the last skip is never noticed.
        ok = ok && out.pos_end == (cut >= 88 ? static_cast<long>(cut) : -7);
        if (!ok) {
            std::printf("  header cut at %zu\n", cut);
        }
        CHECK(ok);
    }
    // In memory the same skip is refused by the stream.
    Stream mem(h, 30);
    lma::Header out;
    CHECK(is(lma::read_header(mem.f, out), lma::Errc::seek, -1));
    CHECK(out.nsamples == 16);
}

void test_event_values() {
    // Channels 0, 2, 3 on 8 samples; channel 2 has two overlapping pulses,
    // channel 3 a negative pulse count (no pulses, 2 bytes).
    lma::Header h = make_header({0, 2, 3}, 8);
    h.channel_info[1].gain = 2.0;
    h.channel_info[1].baseline = 0;
    Bytes ev = event_head(-42);
    ev.put(std::int16_t{1}).pulse(3, {10, 12, -6});
    ev.put(std::int16_t{2}).pulse(0, {1, 1, 1, 1}).pulse(-6, {5, 5});
    ev.put(std::int16_t{-3});
    const std::size_t first_size = ev.b.size();
    ev.put(std::int32_t{9}).put(0.0);  // a second, empty record
    for (int i = 0; i < 3; ++i) {
        ev.put(std::int16_t{0});
    }
    Stream s(ev);
    VectorSink sink(h);
    std::int32_t tag = 0;
    CHECK(lma::read_event(s.f, h, sink, tag).ok() && tag == -42);
    CHECK(s.tell() == static_cast<long>(first_size));
    const std::vector<double> want = {0, 0, 0, 0, 1, -8, 0, 0,    //
                                      2, 2, 10, 10, 0, 0, 0, 0,  //
                                      0, 0, 0, 0, 0, 0, 0, 0};
    CHECK(sink.traces == want);
    CHECK(lma::read_event(s.f, h, sink, tag).ok() && tag == 9);
    CHECK(sink.events == 2 && sink.traces == std::vector<double>(24, 0.0));
    CHECK(s.tell() == static_cast<long>(ev.b.size()));
}

void test_event_edges() {
    std::int32_t tag = 0;
    // No channels: only the 12-byte head is consumed; a head cut inside
    // horpos still decodes on a regular file.
    lma::Header none = make_header({}, 4);
    Bytes two = event_head(5);
    two.put(std::int32_t{6});
    Stream s0(two);
    VectorSink k0(none);
    CHECK(lma::read_event(s0.f, none, k0, tag).ok() && s0.tell() == 12);
    Stream cut(two, 8, true);
    CHECK(lma::read_event(cut.f, none, k0, tag).ok() && tag == 5);

    lma::Header h = make_header({1}, 100, 1.0, 0);
    std::vector<double> row;
    long end = 0;
    auto run = [&](const Bytes& ev) {
        Stream s(ev);
        VectorSink sink(h);
        lma::Status st = lma::read_event(s.f, h, sink, tag);
        row = sink.traces;
        end = s.tell();
        return st;
    };
    auto one_pulse = [](std::int32_t first,
                        std::initializer_list<std::int16_t> samples) {
        return event_head(1).put(std::int16_t{1}).pulse(first, samples);
    };
    CHECK(run(one_pulse(-5, {7, 8, 9})).ok());
    CHECK(row[94] == 0 && row[95] == 7 && row[97] == 9 && row[98] == 0);
    CHECK(run(one_pulse(97, {1, 2, 3})).ok() && row[99] == 3);
    lma::Status st = run(one_pulse(98, {1, 2, 3}));
    CHECK(is(st, lma::Errc::broadcast, 3) && st.extra == 2);
    CHECK(run(one_pulse(100, {4})).ok());
    CHECK(row == std::vector<double>(100, 0.0));
    CHECK(is(run(one_pulse(0, {})), lma::Errc::empty_pulse, 0) && end == 22);
    CHECK(is(run(event_head(1).put(std::int16_t{1}).put(0).put(-4)),
             lma::Errc::negative_length, -4));
    // A length far beyond the stream reads what is there, in bounded memory.
    CHECK(is(run(event_head(1).put(std::int16_t{1}).put(0).put(
                 std::numeric_limits<std::int32_t>::max()).pad(74)),
             lma::Errc::read, 37));

    VectorSink sink(h);
    CHECK(lma::read_event(nullptr, h, sink, tag).code == lma::Errc::closed);
    h.nchannels = 2;  // longer than the channel lists
    Stream s(event_head(1));
    CHECK(lma::read_event(s.f, h, sink, tag).code == lma::Errc::inconsistent);
}

// A record cut at every offset fails with the count of whole items the
// failing read delivered.
void test_event_cuts() {
    lma::Header h = make_header({0}, 8);
    const Bytes ev = event_head(3).put(std::int16_t{1}).pulse(0, {1, 2, 3, 4});
    for (std::size_t cut = 0; cut < ev.b.size(); ++cut) {
        Stream s(ev, cut, true);
        VectorSink sink(h);
        std::int32_t tag = 0;
        lma::Status st = lma::read_event(s.f, h, sink, tag);
        long want = 0;
        if (cut >= 18 && cut < 22) {
            want = 1;  // first index read, length not
        } else if (cut >= 22) {
            want = static_cast<long>((cut - 22) / 2);
        }
        CHECK(is(st, lma::Errc::read, want));
    }
}

void test_clip_slice() {
    // {first, length, n, start, length}: range(n)[first:first+length]
    // evaluated by Python; start -1 means an empty slice.
    const std::int64_t cases[][5] = {
        {0, 8, 8, 0, 8},        {3, 3, 8, 3, 3},
        {6, 5, 8, 6, 2},        {-5, 3, 100, 95, 3},
        {-5, 10, 8, 3, 2},      {-20, 3, 8, -1, 0},
        {-20, 30, 8, 0, 8},     {8, 1, 8, -1, 0},
        {9, 2, 8, -1, 0},       {-1, 1, 8, -1, 0},
        {-1, 5, 8, -1, 0},      {2, -1, 8, -1, 0},
        {-3, -1, 8, -1, 0},     {0, 0, 8, -1, 0},
        {5, 0, 0, -1, 0},       {-1, 1, 0, -1, 0},
        {2147483647, 2147483647, 10, -1, 0},
        {-2147483648, 2147483647, 10, 0, 9},
        {-2147483648, -2147483648, 10, -1, 0},
        {-12, 4, 10, 0, 2},
    };
    for (const auto& c : cases) {
        lma::Span s = lma::clip_slice(c[0], c[1], c[2]);
        bool ok = s.length == c[4] && (c[4] == 0 || s.start == c[3]) &&
                  s.start >= 0 && s.start <= c[2];
        if (!ok) {
            std::printf("  clip_slice(%lld, %lld, %lld)\n",
                        static_cast<long long>(c[0]),
                        static_cast<long long>(c[1]),
                        static_cast<long long>(c[2]));
        }
        CHECK(ok);
    }
}

void test_place_pulse() {
    const lma::Channel ch{0, 0, 10, 0.5};
    const std::int16_t raw[] = {12, 14, 16};
    std::vector<double> row(4, 0.0);
    // One sample broadcasts over its (at most one-long) slice.
    CHECK(lma::place_pulse(row.data(), 4, ch, 2, raw, 1).ok());
    CHECK(row == (std::vector<double>{0, 0, 1, 0}));
    CHECK(lma::place_pulse(row.data(), 4, ch, -1, raw, 1).ok());
    CHECK(lma::place_pulse(row.data(), 4, ch, 1, raw, 3).ok());
    CHECK(row == (std::vector<double>{0, 1, 2, 3}));
    // A mismatch writes nothing.
    lma::Status s = lma::place_pulse(row.data(), 4, ch, 3, raw, 2);
    CHECK(is(s, lma::Errc::broadcast, 2) && s.extra == 1);
    s = lma::place_pulse(row.data(), 4, ch, 7, raw, 3);
    CHECK(is(s, lma::Errc::broadcast, 3) && s.extra == 0);
    CHECK(row == (std::vector<double>{0, 1, 2, 3}));
}

void test_read_samples() {
    // Crosses the first chunk boundary; every sample lands in place.
    const std::size_t n = 150000;
    Bytes b;
    for (std::size_t i = 0; i < n; ++i) {
        b.put(static_cast<std::int16_t>(i * 7));
    }
    Stream s(b);
    lma::SampleBuffer buf;
    CHECK(lma::read_samples(s.f, n, buf).ok());
    for (std::size_t i : {std::size_t{0}, std::size_t{65537}, n - 1}) {
        CHECK(buf.data()[i] == static_cast<std::int16_t>(i * 7));
    }
    // A length no memory could hold reports the samples that were there.
    Stream small(b, 21);
    CHECK(is(lma::read_samples(small.f, std::size_t{1} << 60, buf),
             lma::Errc::read, 10));
    Stream whole(b);
    CHECK(is(lma::read_samples(whole.f, n + 1, buf), lma::Errc::read,
             static_cast<long>(n)));
}

}  // namespace

int main() {
    test_used_channels();
    test_header_whole();
    test_header_cuts();
    test_event_values();
    test_event_edges();
    test_event_cuts();
    test_clip_slice();
    test_place_pulse();
    test_read_samples();
    return test::summary();
}
