// Explaining damaged records: on random damaged files the walk again finds
// the failure the scan found, at a pulse that really is at fault; header
// faults and stops the file does not bear out are told by their status.
#include <string>

#include "lma/explain.hpp"
#include "lma/messages.hpp"
#include "lma/scan.hpp"
#include "lma_files.hpp"

namespace {

using test::Bytes;
using test::MemFile;

// Whether the pulse `f` names is one that fails as f.status says.
bool pulse_at_fault(const lma::RecordFault& f) {
    const lma::Pulse p = f.p;
    lma::Span span{};
    switch (f.status.code) {
    case lma::Errc::read:
        // Cut inside the info, or inside the samples it announces.
        return f.info ? f.samples >= 0 && f.samples < p.length
                      : f.present < 8 && f.samples < 0;
    case lma::Errc::negative_length:
        return f.info && p.length < 0 && f.status.value == p.length;
    case lma::Errc::empty_pulse:
        return f.info && p.length == 0;
    case lma::Errc::broadcast:
        return f.info && p.length > 0 &&
               !lma::fit_pulse(p.first, static_cast<std::size_t>(p.length),
                               f.nsamples, span)
                    .ok();
    default:
        return false;
    }
}

void test_random_damage() {
    std::mt19937 rng(8128);
    int explained = 0;
    for (int round = 0; round < 800; ++round) {
        const Bytes bytes = test::random_file(test::random_shape(rng, true),
                                              rng);
        MemFile m(bytes);
        lma::Header h;
        CHECK(lma::read_header(m.file, h).ok());
        const auto size = static_cast<std::int64_t>(bytes.b.size());
        lma::RecordIndex index;
        const lma::Stop stop = lma::scan_records(m.file, h, size, index);
        if (stop.ok()) {
            continue;
        }
        const lma::RecordFault f = lma::explain_stop(m.file, h, size, stop);
        bool ok = f.place != lma::FaultPlace::unknown &&
                  f.offset == stop.offset;
        if (f.place == lma::FaultPlace::tag) {
            ok = ok && f.present == size - stop.offset && f.present < 4;
        } else if (f.place == lma::FaultPlace::pulse) {
            ok = ok && pulse_at_fault(f);
        }
        ok = ok && !lma::damage_reason(f).empty();
        if (!ok) {
            std::printf("  random file, round %d\n", round);
        }
        CHECK(ok);
        explained += ok;
    }
    CHECK(explained > 300);
}

// Two records on one channel, for faults found by hand.
Bytes two_records(std::int32_t nsamples) {
    test::FileShape s;
    s.channels.push_back({0, 0, 0, 1.0});
    s.nsamples = nsamples;
    Bytes b = test::header_bytes(s);
    for (int e = 0; e < 2; ++e) {
        b.put(std::int32_t{e}).put(0.0).put(std::int16_t{1}).pulse(0, {1, 2});
    }
    return b;
}

void test_header_faults_and_stale_stops() {
    MemFile m(two_records(4));
    lma::Header h;
    CHECK(lma::read_header(m.file, h).ok());
    const std::int64_t size = h.pos_end;
    auto reason = [&](const lma::Header& hh, lma::Status s,
                      std::int64_t offset) {
        lma::Stop stop;
        stop.status = s;
        stop.offset = offset;
        return lma::damage_reason(lma::explain_stop(m.file, hh, size, stop));
    };
    lma::Header bad = h;
    bad.pos_begin = -6;
    lma::RecordIndex index;
    const lma::Stop before = lma::scan_records(m.file, bad, size, index);
    CHECK(reason(bad, before.status, before.offset) ==
          "the header puts the first record before the start of the file");
    bad = h;
    bad.nsamples = -7;
    index = {};
    const lma::Stop negative = lma::scan_records(m.file, bad, size, index);
    CHECK(reason(bad, negative.status, negative.offset) ==
          "the header gives a negative number of samples per trace (-7)");
    bad = h;
    bad.nchannels = 3;
    index = {};
    const lma::Stop lists = lma::scan_records(m.file, bad, size, index);
    CHECK(reason(bad, lists.status, lists.offset) ==
          "the header's channel lists are shorter than its 3 channels in "
          "use");

    // A stop the file does not bear out (it changed since) is told by its
    // status, not by what a walk that now succeeds passed last.
    struct {
        lma::Status s;
        const char* text;
    } const stale[] = {
        {{lma::Errc::read, 1}, "the record is cut short"},
        {{lma::Errc::broadcast, 3, 2},
         "a pulse of 3 samples does not fit its place of 2 samples in the "
         "trace"},
        {{lma::Errc::empty_pulse, 0}, "a pulse has length 0"},
        {{lma::Errc::os, 5}, "the record cannot be decoded"},
    };
    for (const auto& c : stale) {
        CHECK(reason(h, c.s, h.pos_begin) == c.text);
        // Nor is a record the walk cannot find again vouched for as one
        // still being written.
        lma::Stop stop;
        stop.status = c.s;
        stop.offset = h.pos_begin;
        CHECK(!lma::explain_stop(m.file, h, size, stop).incomplete);
    }
    // The same status at another record: only that record counts.
    Bytes bytes = two_records(4);
    bytes.b.resize(bytes.b.size() - 3);
    MemFile cut(bytes);
    const auto cut_size = static_cast<std::int64_t>(bytes.b.size());
    lma::Stop stop;
    stop.status = {lma::Errc::read, 0};
    for (std::int64_t offset : {h.pos_begin, h.pos_begin + 26}) {
        stop.offset = offset;
        CHECK(lma::damage_reason(lma::explain_stop(
                  cut.file, h, cut_size, stop)) ==
              (offset == h.pos_begin
                   ? "the record is cut short"
                   : "the record is cut short 9 bytes into channel 0's "
                     "pulse 0, before its 2 samples"));
    }
}

// A sound file cut anywhere is what a file being written looks like: its
// scan ends cleanly or inside an incomplete record, never at damage. A
// pulse that cannot fit the trace is damage however little of it is there.
void test_cut_sound_files_are_incomplete() {
    std::mt19937 rng(4047);
    for (int round = 0; round < 300; ++round) {
        const test::FileShape s = test::random_shape(rng, false);
        const Bytes whole = test::random_file(s, rng);
        const std::size_t start = test::header_bytes(s).b.size();
        for (int k = 0; k < 4; ++k) {
            Bytes b = whole;
            b.b.resize(std::uniform_int_distribution<std::size_t>(
                start, whole.b.size())(rng));
            MemFile m(b);
            lma::Header h;
            CHECK(lma::read_header(m.file, h).ok());
            const auto size = static_cast<std::int64_t>(b.b.size());
            lma::RecordIndex index;
            const lma::Stop stop = lma::scan_records(m.file, h, size, index);
            const bool sound =
                stop.ok() ||
                lma::explain_stop(m.file, h, size, stop).incomplete;
            if (!sound) {
                std::printf("  cut sound file, round %d\n", round);
            }
            CHECK(sound);
        }
    }
    Bytes misfit = two_records(4);
    misfit.put(std::int32_t{2}).put(0.0).put(std::int16_t{1}).pulse(3,
                                                                {1, 2, 3});
    for (std::size_t drop : {0, 2, 5}) {
        Bytes b = misfit;
        b.b.resize(b.b.size() - drop);
        MemFile m(b);
        lma::Header h;
        CHECK(lma::read_header(m.file, h).ok());
        const auto size = static_cast<std::int64_t>(b.b.size());
        lma::RecordIndex index;
        const lma::Stop stop = lma::scan_records(m.file, h, size, index);
        const lma::RecordFault f = lma::explain_stop(m.file, h, size, stop);
        CHECK(f.place == lma::FaultPlace::pulse && !f.incomplete);
    }
}

}  // namespace

int main() {
    test_random_damage();
    test_header_faults_and_stale_stops();
    test_cut_sound_files_are_incomplete();
    return test::summary();
}
