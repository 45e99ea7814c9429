// Extending the index of an open local file to the records it holds now,
// while other threads read through that index: the refresh that
// LmaFile.refresh and the first scan make.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "lma/explain.hpp"
#include "lma/file.hpp"
#include "lma/file_stat.hpp"
#include "lma/replaced.hpp"
#include "lma/rw_lock.hpp"
#include "lma/scan.hpp"
#include "lma/status.hpp"

namespace lma {

// ok while `s` can be read: its file open and not found replaced.
template <class State>
Status readable(const State& s) noexcept {
    if (!s.file.is_open()) {
        return {Errc::closed, 0};
    }
    return s.replaced;
}

// What a refresh did: the records it added (fewer than none when a file
// cut back was indexed again), and a failure to raise. Damage where the
// scan stopped is kept in the state, not a failure.
struct Refreshed {
    Status failure;
    std::int64_t added = 0;
};

// Refreshes the index of `s`, an open local file's state with members
//   lock (RwLock), file (File), where (absolute path, std::string),
//   header, header_bytes (as parsed at opening), index (RecordIndex),
//   stop (Stop), fault (RecordFault), stamp (FileStamp), scans (counter),
//   replaced (Status, kept once the file is found replaced).
// Readers hold `lock` shared; the refresh changes the index under them,
// so it takes the lock exclusively for the whole check and scan.
template <class State>
Refreshed refresh_index(State& s) {
    Refreshed r;
    std::unique_lock<RwLock> lock(s.lock);
    r.failure = readable(s);
    FileStamp now;
    if (r.failure.ok()) {
        r.failure = stamp_of(s.file, now);
    }
    if (r.failure.ok()) {
        r.failure = check_not_replaced(s.file, s.where.c_str(), now,
                                       s.header, s.header_bytes, s.index);
        if (r.failure.code == Errc::replaced) {
            s.replaced = r.failure;
        }
    }
    if (!r.failure.ok()) {
        return r;
    }
    const auto before = static_cast<std::int64_t>(s.index.size());
    // A file cut shorter than its index no longer holds those records:
    // index it again from the start.
    if (s.index.scanned && now.size < s.index.end) {
        s.index = RecordIndex{};
    }
    s.stop = scan_records(s.file, s.header, now.size, s.index);
    s.fault = explain_stop(s.file, s.header, now.size, s.stop);
    s.stamp = now;
    ++s.scans;
    r.added = static_cast<std::int64_t>(s.index.size()) - before;
    if (!is_record_damage(s.stop.status.code)) {
        r.failure = s.stop.status;
    }
    return r;
}

}  // namespace lma
