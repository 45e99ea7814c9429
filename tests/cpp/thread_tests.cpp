// Many threads decode random ranges of one open File at once, each with
// its own scratch buffer, and must get what one thread gets. Built with
// ThreadSanitizer by tools/tsan.sh, which then also sees any shared state.
#include <atomic>
#include <cstring>
#include <thread>

#include "lma/range.hpp"
#include "lma/scan.hpp"
#include "lma_files.hpp"

namespace {

constexpr int kThreads = 4;
constexpr int kRangesPerThread = 60;

struct Job {
    std::size_t first, last;
    std::vector<std::size_t> rows;
    lma::SampleType type;
};

// Decodes a job into fresh arrays of 8-byte elements (wide enough for all
// three types; each type's values lie packed at the start of each row).
std::vector<double> run(const lma::File& f, const lma::Header& h,
                        const lma::RecordIndex& index, const Job& job,
                        lma::Scratch& scratch, bool& ok) {
    const auto n = static_cast<std::int64_t>(h.nsamples);
    const std::size_t events = job.last - job.first;
    const std::size_t block = events * static_cast<std::size_t>(n);
    std::vector<double> values(job.rows.size() * block + events * 2 + 1);
    std::vector<lma::ChannelOut> outs;
    for (std::size_t k = 0; k < job.rows.size(); ++k) {
        // A stride in elements of the type: rows of doubles hold it.
        outs.push_back({job.rows[k], values.data() + k * block, n});
    }
    auto* tags = reinterpret_cast<std::int32_t*>(values.data() +
                                                 job.rows.size() * block);
    lma::RangeOut out{job.type, tags,
                      values.data() + job.rows.size() * block + events,
                      outs.data(), outs.size()};
    ok = lma::decode_range(f, h, index, job.first, job.last, out, scratch)
             .ok();
    return values;
}

void test_threads() {
    std::mt19937 rng(99);
    test::FileShape shape = test::random_shape(rng, false);
    shape.channels.assign(3, lma::Channel{0, 0, 12, 0.125});
    shape.nsamples = 300;
    shape.events = 3000;  // several scratch chunks
    const test::Bytes bytes = test::random_file(shape, rng);
    test::MemFile m(bytes);
    const lma::Header h = test::iterate(m.stream).header;
    lma::RecordIndex index;
    CHECK(lma::scan_records(m.file, h,
                            static_cast<std::int64_t>(bytes.b.size()), index)
              .ok() &&
          index.size() == shape.events);

    std::vector<Job> jobs;
    for (int j = 0; j < kThreads * kRangesPerThread; ++j) {
        auto pick = [&](std::size_t lo, std::size_t hi) {
            return std::uniform_int_distribution<std::size_t>(lo, hi)(rng);
        };
        const std::size_t a = pick(0, shape.events - 1);
        Job job{a, std::min(shape.events, a + pick(1, 400)), {}, {}};
        for (std::size_t r = 3; r-- > 0;) {
            if (pick(0, 1)) {
                job.rows.push_back(r);
            }
        }
        job.type = static_cast<lma::SampleType>(pick(0, 2));
        jobs.push_back(job);
    }
    std::vector<std::vector<double>> serial;
    lma::Scratch scratch;
    bool all_ok = true;
    for (const Job& job : jobs) {
        bool ok = false;
        serial.push_back(run(m.file, h, index, job, scratch, ok));
        all_ok = all_ok && ok;
    }
    CHECK(all_ok);

    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            lma::Scratch own;
            for (int j = t; j < kThreads * kRangesPerThread; j += kThreads) {
                bool ok = false;
                const std::vector<double> got =
                    run(m.file, h, index, jobs[j], own, ok);
                // Bits, not values: float and int16 bits read as double
                // may be NaN.
                if (!ok || std::memcmp(got.data(), serial[j].data(),
                                       got.size() * sizeof got[0]) != 0) {
                    ++mismatches;
                }
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    CHECK(mismatches == 0);
}

}  // namespace

int main() {
    test_threads();
    return test::summary();
}
