// Many threads decode random ranges of one open File at once, and compute
// their per-event quantities, each with its own scratch buffer, and must
// get what one thread gets, also while the file grows and its index is
// refreshed. Built with
// ThreadSanitizer by tools/tsan.sh, which then also sees any shared state.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <utility>

#include "lma/features.hpp"
#include "lma/file_stat.hpp"
#include "lma/range.hpp"
#include "lma/refresh.hpp"
#include "lma/replaced.hpp"
#include "lma/rw_lock.hpp"
#include "lma/scan.hpp"
#include "lma/stream.hpp"
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
    // Then the quantities of the same records, every one asked for, after
    // the traces (as doubles, whatever their type).
    const std::size_t cols = job.rows.size();
    std::vector<double> quantities(lma::kQuantities * events * cols + 1);
    lma::FeatureOut fo;
    fo.rows = job.rows.data();
    fo.nrows = cols;
    for (std::size_t q = 0; q < lma::kQuantities; ++q) {
        // int32 values take the first half of their block's bytes.
        fo.data[q] = quantities.data() + q * events * cols;
        fo.stride[q] = static_cast<std::int64_t>(cols);
    }
    const std::int64_t a = static_cast<std::int64_t>(job.first % 50) % (n + 1);
    const lma::FeatureSettings set{
        a, std::max(a, n - static_cast<std::int64_t>(job.last % 10)),
        0.75 + static_cast<double>(job.last % 7), 0.25 * (1 + job.last % 4),
        job.first % 2 ? 1 : -1};
    ok = ok && lma::compute_features(f, h, index, job.first, job.last, set,
                                     fo, scratch)
                   .ok();
    values.insert(values.end(), quantities.begin(), quantities.end());
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

// Reads that overlap one another without a break must not keep a writer
// (a close, a rescan) waiting for good: once it waits, new readers wait.
void test_waiting_writer_holds_new_readers_back() {
    lma::RwLock lock;
    lock.lock_shared();  // a read in progress
    std::atomic<bool> written{false};
    std::thread writer([&] {
        lock.lock();
        written = true;
        lock.unlock();
    });
    bool held_back = false;
    for (int i = 0; i < 2000 && !held_back; ++i) {
        if (lock.try_lock_shared()) {
            lock.unlock_shared();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else {
            held_back = true;
        }
    }
    CHECK(held_back);
    CHECK(!written);
    // A reader that blocks is held back as well, until the writer is done.
    std::atomic<bool> read_after{false};
    std::thread reader([&] {
        lock.lock_shared();
        read_after = written.load();
        lock.unlock_shared();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    lock.unlock_shared();
    writer.join();
    reader.join();
    CHECK(written && read_after);
}

// An open file's state as LmaFile keeps it, for lma::refresh_index.
struct OpenFile {
    OpenFile(const lma::File& f, std::string path)
        : file(f), where(std::move(path)) {}

    lma::RwLock lock;
    const lma::File& file;
    std::string where;
    lma::Header header;
    std::vector<unsigned char> header_bytes;
    lma::RecordIndex index;
    lma::Stop stop;
    lma::RecordFault fault;
    lma::FileStamp stamp;
    std::uint64_t scans = 0;
    lma::Status replaced;
};

// Threads read ranges of a file while another appends to it in pieces
// and refreshes the index after each, and a third refreshes it too,
// racing the first: every read equals the same range read alone from the
// whole file. The refresh's own lock is what keeps them apart.
void test_reads_while_appended_and_refreshed() {
    std::mt19937 rng(7);
    test::FileShape shape;
    shape.channels.assign(2, lma::Channel{0, 0, 5, 0.25});
    shape.nsamples = 64;
    shape.events = 600;
    const test::Bytes whole = test::random_file(shape, rng);
    test::MemFile full(whole);
    const lma::Header h = test::iterate(full.stream).header;
    lma::RecordIndex all;
    CHECK(lma::scan_records(full.file, h,
                            static_cast<std::int64_t>(whole.b.size()), all)
              .ok() &&
          all.size() == shape.events);
    std::vector<Job> jobs;
    for (int j = 0; j < 200; ++j) {
        const std::size_t a = std::uniform_int_distribution<std::size_t>(
            0, shape.events - 1)(rng);
        jobs.push_back({a, std::min(shape.events, a + 1 + a % 50), {1, 0},
                        static_cast<lma::SampleType>(j % 3)});
    }
    std::vector<std::vector<double>> serial;
    lma::Scratch scratch;
    for (const Job& job : jobs) {
        bool ok = false;
        serial.push_back(run(full.file, h, all, job, scratch, ok));
        CHECK(ok);
    }

    test::Bytes start;
    start.b = test::header_bytes(shape).b;
    test::MemFile m(start);
    // The memory file's own path, as the replacement check stats it.
    OpenFile open(m.file, "/proc/self/fd/" + std::to_string(m.file.fd()));
    CHECK(lma::read_header_and_bytes(m.file, open.header, open.header_bytes)
              .ok());
    std::atomic<bool> writing{true};
    std::atomic<int> failures{0}, reads{0};
    auto refresh = [&] {
        if (!lma::refresh_index(open).failure.ok()) {
            ++failures;
        }
    };
    std::thread writer([&] {
        std::mt19937 pieces(3);
        std::size_t size = start.b.size();
        while (size < whole.b.size()) {
            const std::size_t next = std::min(
                whole.b.size(), size + std::uniform_int_distribution<
                                           std::size_t>(1, 3000)(pieces));
            test::Bytes grown;
            grown.b.assign(whole.b.begin(), whole.b.begin() + next);
            m.append(grown, size);
            size = next;
            refresh();
        }
        writing = false;
    });
    std::thread other([&] {
        while (writing) {
            refresh();
        }
    });
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&, t] {
            lma::Scratch own;
            // Passes over this thread's jobs while the file grows, and
            // one more once it is whole.
            for (bool last = false; !last;) {
                last = !writing;
                for (std::size_t k = t; k < jobs.size(); k += 3) {
                    std::shared_lock<lma::RwLock> read(open.lock);
                    if (jobs[k].last > open.index.size()) {
                        continue;
                    }
                    bool ok = false;
                    const std::vector<double> got =
                        run(m.file, open.header, open.index, jobs[k], own,
                            ok);
                    ++reads;
                    if (!ok || std::memcmp(got.data(), serial[k].data(),
                                           got.size() * sizeof got[0]) !=
                                   0) {
                        ++failures;
                    }
                }
            }
        });
    }
    writer.join();
    other.join();
    for (std::thread& th : readers) {
        th.join();
    }
    CHECK(failures == 0 && reads > 0);
    CHECK(open.index.offsets == all.offsets && open.index.end == all.end);
    CHECK(open.stop.ok() && open.replaced.ok());
}

// A header rewritten while it is parsed: what is parsed and the bytes kept
// to compare with later are of one content.
void test_header_rewritten_while_parsed() {
    test::FileShape shape;
    shape.channels.assign(1, lma::Channel{0, 0, 0, 0.5});
    shape.nsamples = 4;
    test::MemFile m(test::header_bytes(shape));
    // The gain of channel 0: after the general block, full scale and
    // offset.
    constexpr std::size_t kGainAt = 50 + 4;
    constexpr int kParses = 20000;
    std::atomic<bool> done{false};
    std::atomic<int> short_writes{0};
    std::thread writer([&] {
        for (int i = 0; !done; ++i) {
            const double gain = lma::from_le(i % 2 ? 2.0 : 0.5);
            short_writes += pwrite(m.file.fd(), &gain, sizeof gain,
                                   kGainAt) != sizeof gain;
        }
    });
    int mismatches = 0, parsed = 0;
    for (int i = 0; i < kParses; ++i) {
        lma::Header h;
        std::vector<unsigned char> bytes;
        const lma::Status s = lma::read_header_and_bytes(m.file, h, bytes);
        double kept = 0;
        if (s.ok() && bytes.size() == 74) {
            ++parsed;
            std::memcpy(&kept, bytes.data() + kGainAt, sizeof kept);
            mismatches += lma::from_le(kept) != h.channel_info.at(0).gain;
        }
    }
    done = true;
    writer.join();
    CHECK(mismatches == 0 && short_writes == 0 && parsed == kParses);
}

// Runs `test`, failing the whole run with a message if it has not ended
// within `seconds`: a lock that lets overlapping readers keep a writer
// waiting would otherwise hang the run until ctest gives up on it.
void within(const char* name, int seconds, void (*test)()) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, std::chrono::seconds(seconds),
                         [&] { return done; })) {
            std::fprintf(stderr,
                         "FAILED: %s did not end within %d s (a writer "
                         "kept waiting by readers?)\n",
                         name, seconds);
            std::_Exit(1);
        }
    });
    test();
    {
        std::lock_guard<std::mutex> lock(m);
        done = true;
    }
    cv.notify_one();
    watchdog.join();
}

}  // namespace

int main() {
    // Each takes a few seconds at most, under ThreadSanitizer too.
    within("test_threads", 120, test_threads);
    within("test_waiting_writer_holds_new_readers_back", 20,
           test_waiting_writer_holds_new_readers_back);
    within("test_reads_while_appended_and_refreshed", 20,
           test_reads_while_appended_and_refreshed);
    within("test_header_rewritten_while_parsed", 60,
           test_header_rewritten_while_parsed);
    return test::summary();
}
