// Random LMA files in memory, and their reference reading: the iteration
// over a C stream that the reader does (record walk, read_event and
// TraceSink). The newer paths are checked against this.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "harness.hpp"
#include "lma/event.hpp"
#include "lma/file.hpp"
#include "lma/header.hpp"
#include "lma/walk.hpp"

namespace test {

struct FileShape {
    std::vector<lma::Channel> channels;  // channel i in use for each i
    std::int32_t nsamples = 0;
    std::size_t events = 0;
    bool damage = false;  // one bad pulse, or the file cut short
};

// Header with channels 0..k-1 in use, first record right after it.
inline Bytes header_bytes(const FileShape& s) {
    const auto k = static_cast<std::int16_t>(s.channels.size());
    Bytes b;
    b.put(std::int32_t{46 + 24 * k}).put(k).pad(2).put(1e-9);
    b.put(s.nsamples).pad(20).put((std::uint32_t{1} << k) - 1u).pad(6);
    for (const lma::Channel& c : s.channels) {
        b.put(static_cast<std::int16_t>(c.fullscale))
            .put(static_cast<std::int16_t>(c.offset))
            .put(c.gain)
            .put(static_cast<std::int16_t>(c.baseline))
            .pad(10);
    }
    return b;
}

// A pulse that fits its place: inside the trace, from its end (negative
// first index), or one sample anywhere (broadcast, maybe onto nothing).
inline void random_pulse(Bytes& b, std::int32_t n, std::mt19937& rng) {
    auto pick = [&](std::int32_t lo, std::int32_t hi) {
        return std::uniform_int_distribution<std::int32_t>(lo, hi)(rng);
    };
    std::int32_t first = pick(-2 * n - 2, 2 * n + 2);
    std::int32_t length = 1;
    if (n > 0 && pick(0, 3) > 0) {
        length = pick(1, n);
        const std::int32_t start = pick(0, n - length);
        // From the end only when the slice stops short of it.
        first = start + length < n && pick(0, 1) ? start - n : start;
    }
    b.put(first).put(length);
    for (std::int32_t i = 0; i < length; ++i) {
        b.put(static_cast<std::int16_t>(pick(-40000, 40000) / 2));
    }
}

inline Bytes random_file(const FileShape& s, std::mt19937& rng) {
    auto pick = [&](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(rng);
    };
    Bytes b = header_bytes(s);
    const std::size_t bad_event = s.damage ? pick(0, int(s.events)) : ~0u;
    for (std::size_t e = 0; e < s.events; ++e) {
        b.put(std::int32_t{pick(-100000, 100000)}).put(pick(-99, 99) * 0.25);
        for (std::size_t c = 0; c < s.channels.size(); ++c) {
            const int count = pick(-1, 3);
            b.put(static_cast<std::int16_t>(count));
            for (int j = 0; j < count; ++j) {
                if (e == bad_event && c + 1 == s.channels.size() &&
                    j + 1 == count && pick(0, 1)) {
                    // Zero-length, negative or misfit: all end the data.
                    const int kind = pick(0, 2);
                    b.put(std::int32_t{s.nsamples - 1})
                        .put(std::int32_t{kind == 0 ? 0 : kind == 1 ? -3
                                                                    : 2});
                    b.pad(kind == 2 ? 4 : 0);
                } else {
                    random_pulse(b, s.nsamples, rng);
                }
            }
        }
    }
    if (s.damage && pick(0, 1)) {
        const std::size_t start = header_bytes(s).b.size();
        const std::size_t cut =
            start + std::uniform_int_distribution<std::size_t>(
                        0, b.b.size() - start)(rng);
        b.b.resize(cut);
    }
    return b;
}

inline FileShape random_shape(std::mt19937& rng, bool damage) {
    auto pick = [&](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(rng);
    };
    FileShape s;
    const int k = pick(0, 3);
    for (int i = 0; i < k; ++i) {
        s.channels.push_back({1000, -5, pick(-30, 30), pick(-8, 8) * 0.375});
    }
    // Now and then rows of 4 KB and more, which decode by another path.
    s.nsamples = pick(0, 7) == 0 ? pick(512, 600) : pick(0, 24);
    s.events = static_cast<std::size_t>(pick(0, 12));
    s.damage = damage;
    return s;
}

// The bytes as a file that behaves as a regular one (seeks past its end
// succeed), readable by position and as a C stream.
struct MemFile {
    lma::File file;
    std::FILE* stream = nullptr;

    explicit MemFile(const Bytes& b) {
        const int fd = memfd_create("lma-test", MFD_CLOEXEC);
        file = lma::File::adopt(fd);
        append(b, 0);
        stream = fdopen(dup(fd), "rb");
    }
    MemFile(const MemFile&) = delete;
    ~MemFile() { std::fclose(stream); }

    void append(const Bytes& b, std::size_t from) {
        if (from < b.b.size()) {
            const ssize_t n = pwrite(file.fd(), b.b.data() + from,
                                     b.b.size() - from,
                                     static_cast<off_t>(from));
            CHECK(n == static_cast<ssize_t>(b.b.size() - from));
        }
    }
};

struct SeenPulse {
    std::size_t row;
    lma::Pulse p;
    std::vector<std::int16_t> samples;
};

struct Reference {
    lma::Header header;
    std::vector<long> offsets;
    std::vector<std::int32_t> tags;
    std::vector<std::vector<double>> traces;  // per event, rows x nsamples
    std::vector<std::vector<SeenPulse>> pulses;
    lma::Status end;  // how the iteration ended
};

// The `n` samples that `in` has just passed over, read again from the
// stream: a sink's buffer is given back after a long pulse, so it no
// longer holds them once take_pulse returns.
inline std::vector<std::int16_t> samples_just_read(std::FILE* in,
                                                   std::int32_t n) {
    std::vector<std::int16_t> v(static_cast<std::size_t>(n));
    const long end = std::ftell(in);
    const bool ok = std::fseek(in, end - 2L * n, SEEK_SET) == 0 &&
                    std::fread(v.data(), 2, v.size(), in) == v.size();
    CHECK(ok);
    return v;
}

class RecordingSink final : public lma::TraceSink {
public:
    explicit RecordingSink(Reference& r)
        : TraceSink(r.header, buf_), ref_(r) {}
    lma::Status begin_event() override {
        traces_.assign(static_cast<std::size_t>(ref_.header.nchannels) *
                           static_cast<std::size_t>(ref_.header.nsamples),
                       0.0);
        set_traces(traces_.data());
        pulses_.clear();
        return lma::ok();
    }
    lma::Status take_pulse(std::FILE* in, std::size_t row,
                           lma::Pulse p) override {
        lma::Status s = TraceSink::take_pulse(in, row, p);
        if (s.ok()) {
            pulses_.push_back({row, p, samples_just_read(in, p.length)});
        }
        return s;
    }
    std::vector<double> traces_;
    std::vector<SeenPulse> pulses_;

private:
    lma::SampleBuffer buf_;
    Reference& ref_;
};

// Reads the header and iterates over the events as the reader does.
inline Reference iterate(std::FILE* in) {
    Reference r;
    (void)lma::read_header(in, r.header);
    RecordingSink sink(r);
    lma::Status s = lma::seek_first_record(in, r.header);
    bool more = s.ok();
    while (s.ok() && more && (s = lma::next_record(in, more)).ok() && more) {
        const long at = std::ftell(in);
        std::int32_t tag = 0;
        if ((s = lma::read_event(in, r.header, sink, tag)).ok()) {
            r.offsets.push_back(at);
            r.tags.push_back(tag);
            r.traces.push_back(sink.traces_);
            r.pulses.push_back(sink.pulses_);
        }
    }
    r.end = s;
    return r;
}

inline bool same(lma::Status a, lma::Status b) {
    return a.code == b.code && a.value == b.value && a.extra == b.extra;
}

}  // namespace test
