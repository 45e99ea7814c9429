// Speed of the record index and range decoding against the iteration path
// (a record walk with read_event and TraceSink into one event's traces),
// on a generated file in memory: 20 000 events, 4 channels of 1000 samples,
// a few pulses each. Then the scan against its floor, reading the file's
// bytes through one reused buffer, on that file and on many-channel
// records (16 channels of 256 samples, one pulse of 16 each): median and
// range of the ratios of interleaved rounds, in processor time.
// Usage: build/<dir>/bench_range [events]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "../tests/cpp/lma_files.hpp"
#include "lma/range.hpp"
#include "lma/scan.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

class Traces final : public lma::TraceSink {
public:
    Traces(const lma::Header& h, std::vector<double>& t)
        : TraceSink(h, buf_), t_(t) {}
    lma::Status begin_event() override {
        std::fill(t_.begin(), t_.end(), 0.0);
        set_traces(t_.data());
        return lma::ok();
    }

private:
    lma::SampleBuffer buf_;
    std::vector<double>& t_;
};

template <class T>
double decode_all(const lma::File& f, const lma::Header& h,
                  const lma::RecordIndex& index, lma::SampleType type,
                  std::size_t first, std::size_t last) {
    const std::size_t batch = 1000, n = std::size_t(h.nsamples);
    std::vector<T> out(batch * n * std::size_t(h.nchannels));
    std::vector<std::int32_t> tags(batch);
    std::vector<lma::ChannelOut> chans;
    for (std::size_t r = 0; r < std::size_t(h.nchannels); ++r) {
        chans.push_back({r, out.data() + r * batch * n, std::int64_t(n)});
    }
    lma::Scratch scratch;
    lma::RangeOut ro{type, tags.data(), nullptr, chans.data(), chans.size()};
    const auto t0 = Clock::now();
    for (std::size_t a = first; a < last; a += batch) {
        if (!lma::decode_range(f, h, index, a, std::min(last, a + batch), ro,
                               scratch)
                 .ok()) {
            std::abort();
        }
    }
    return seconds_since(t0);
}

// Processor time of this thread: a busy machine's other work does not
// count.
double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// Reads the whole file through one buffer of the scan's block size.
void read_bytes(const lma::File& f, std::int64_t size,
                std::vector<unsigned char>& buffer) {
    for (std::int64_t at = 0; at < size;) {
        std::size_t got = 0;
        if (!f.read_at(at, buffer.data(), buffer.size(), got).ok() ||
            got == 0) {
            std::abort();
        }
        at += static_cast<std::int64_t>(got);
    }
}

// Scan time over floor time, in interleaved rounds.
void scan_against_floor(const char* what, const test::Bytes& bytes) {
    test::MemFile m(bytes);
    const lma::Header h = test::iterate(m.stream).header;
    const auto size = static_cast<std::int64_t>(bytes.b.size());
    std::vector<unsigned char> buffer(std::size_t{1} << 20);
    std::vector<double> ratios;
    double best_floor = 1e9, best_scan = 1e9;
    for (int round = 0; round < 101; ++round) {
        double t0 = thread_seconds();
        read_bytes(m.file, size, buffer);
        const double floor = thread_seconds() - t0;
        lma::RecordIndex index;
        t0 = thread_seconds();
        if (!lma::scan_records(m.file, h, size, index).ok()) {
            std::abort();
        }
        const double scan = thread_seconds() - t0;
        best_floor = std::min(best_floor, floor);
        best_scan = std::min(best_scan, scan);
        ratios.push_back(scan / floor);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("scan vs reading bytes, %-24s %.2fx (%.2f-%.2f), %.0f MB, "
                "best %.0f vs %.0f us\n",
                what, ratios[ratios.size() / 2], ratios.front(),
                ratios.back(), double(size) / 1e6, best_scan * 1e6,
                best_floor * 1e6);
}

// 16 channels of 256 samples, one pulse of 16 samples on each.
test::Bytes many_channels(std::size_t events) {
    test::FileShape shape;
    shape.channels.assign(16, lma::Channel{0, 0, 7, 0.25});
    shape.nsamples = 256;
    test::Bytes b = test::header_bytes(shape);
    for (std::size_t e = 0; e < events; ++e) {
        b.put(static_cast<std::int32_t>(e)).put(0.0);
        for (int c = 0; c < 16; ++c) {
            b.put(std::int16_t{1}).put(std::int32_t{16 * c});
            b.put(std::int32_t{16}).pad(32);
        }
    }
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t events = argc > 1 ? std::strtoul(argv[1], 0, 10) : 20000;
    std::mt19937 rng(1);
    test::FileShape shape;
    shape.channels.assign(4, lma::Channel{0, 0, 7, 0.25});
    shape.nsamples = 1000;
    shape.events = events;
    const test::Bytes bytes = test::random_file(shape, rng);
    test::MemFile m(bytes);
    const double mb = double(bytes.b.size()) / 1e6;

    auto t0 = Clock::now();
    const lma::Header h = test::iterate(m.stream).header;
    std::rewind(m.stream);
    std::vector<double> traces(4 * 1000);
    Traces sink(h, traces);
    bool more = lma::seek_first_record(m.stream, h).ok();
    std::int32_t tag;
    t0 = Clock::now();
    while (lma::next_record(m.stream, more).ok() && more &&
           lma::read_event(m.stream, h, sink, tag).ok()) {
    }
    const double iterate = seconds_since(t0);

    lma::RecordIndex index;
    t0 = Clock::now();
    if (!lma::scan_records(m.file, h, std::int64_t(bytes.b.size()), index)
             .ok()) {
        return 1;
    }
    const double scan = seconds_since(t0);
    const double f64 = decode_all<double>(m.file, h, index,
                                          lma::SampleType::float64, 0, events);
    const double f32 = decode_all<float>(m.file, h, index,
                                         lma::SampleType::float32, 0, events);
    const double raw = decode_all<std::int16_t>(
        m.file, h, index, lma::SampleType::raw_int16, 0, events);
    t0 = Clock::now();
    std::thread other([&] {
        decode_all<double>(m.file, h, index, lma::SampleType::float64, 0,
                           events / 2);
    });
    decode_all<double>(m.file, h, index, lma::SampleType::float64,
                       events / 2, events);
    other.join();
    const double two = seconds_since(t0);

    std::printf("%zu events, %.1f MB\n", events, mb);
    auto line = [&](const char* what, double s) {
        std::printf("%-28s %10.0f events/s %8.0f MB/s\n", what, events / s,
                    mb / s);
    };
    line("iterate (read_event)", iterate);
    line("scan", scan);
    line("decode_range float64", f64);
    line("decode_range float32", f32);
    line("decode_range raw", raw);
    line("decode_range float64 x2 thr", two);
    scan_against_floor("4x1000 random", bytes);
    scan_against_floor("16x256, 1 pulse of 16", many_channels(8000));
    return 0;
}
