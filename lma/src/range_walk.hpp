// The walk over a range of indexed records, read chunk by chunk into the
// caller's scratch buffer, shared by everything that visits ranges: range
// decoding, pulse listing and the per-event quantities. Each is a Walker
// told of the records' parts as the walk reaches them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "lma/file.hpp"
#include "lma/header.hpp"
#include "lma/range.hpp"
#include "lma/scan.hpp"
#include "lma/status.hpp"
#include "record.hpp"

namespace lma::detail {

constexpr std::int64_t kChunkBytes = std::int64_t{1} << 20;

// Record bytes already in memory: [base, base + size) of the file, of
// which only the first `limit` exist when the file was cut short.
class MemorySource {
public:
    MemorySource(const unsigned char* bytes, std::int64_t base,
                 std::int64_t limit)
        : bytes_(bytes), base_(base), limit_(limit) {}

    std::size_t get(std::int64_t pos, std::size_t n, unsigned char* dst) {
        const std::int64_t have = limit_ - pos;
        // The usual case apart: a copy of a length known where the walk
        // inlines this is a load, not a call.
        if (have >= static_cast<std::int64_t>(n)) {
            std::memcpy(dst, bytes_ + (pos - base_), n);
            return n;
        }
        if (have <= 0) {
            return 0;
        }
        const std::size_t take = std::min(n, static_cast<std::size_t>(have));
        std::memcpy(dst, bytes_ + (pos - base_), take);
        return take;
    }

    std::int64_t limit() const noexcept { return limit_; }
    const unsigned char* at(std::int64_t pos) const noexcept {
        return bytes_ + (pos - base_);
    }

private:
    const unsigned char* bytes_;
    std::int64_t base_;
    std::int64_t limit_;
};

// Reads records [first, last) chunk by chunk into `scratch` and walks each
// one, telling `w`:
//   w.chunk(r0, count, bytes)     records [r0, r0 + count) are read next,
//                                 of which `bytes` are in memory
//   w.channel(r, row, pos)        where record r's block for `row` starts
//   w.pulse(r, row, p, samples, span)
//                                 each pulse that passed the checks, and
//                                 the part of its row it covers
//   w.record(r, head)             record r walked
//   w.walked(r0, r1, src)         records [r0, r1) of the chunk walked,
//                                 also before a failure at r1 is returned
// A record that walks differently from the index is Errc::changed,
// unless the file was cut short under it, when the walk's own status is
// the reader's.
template <class Walker>
Stop for_records(const File& f, const Header& h, const RecordIndex& index,
                 std::size_t first, std::size_t last, Scratch& scratch,
                 Walker& w) {
    // A record longer than a chunk is read whole; that much memory is not
    // kept for the reads after it.
    struct GiveBackLong {
        Scratch& s;
        ~GiveBackLong() {
            if (s.bytes.capacity() > static_cast<std::size_t>(kChunkBytes)) {
                std::vector<unsigned char>().swap(s.bytes);
            }
        }
    } give_back{scratch};
    Stop stop;
    std::size_t r = first;
    while (r < last) {
        const std::int64_t base = index.offsets[r];
        std::size_t stop_at = r + 1;
        while (stop_at < last &&
               index.record_end(stop_at) - base <= kChunkBytes) {
            ++stop_at;
        }
        const std::int64_t want = index.record_end(stop_at - 1) - base;
        if (base < 0 || want <= 0) {
            return {{Errc::inconsistent, 0}, base,
                    static_cast<std::int64_t>(r)};
        }
        std::size_t got = 0;
        try {
            if (scratch.bytes.size() < static_cast<std::size_t>(want)) {
                scratch.bytes.resize(static_cast<std::size_t>(want));
            }
        } catch (...) {
            return {{Errc::no_memory, 0}, base, static_cast<std::int64_t>(r)};
        }
        Status s = f.read_at(base, scratch.bytes.data(),
                             static_cast<std::size_t>(want), got);
        if (!s.ok()) {
            return {s, base, static_cast<std::int64_t>(r)};
        }
        const bool cut = static_cast<std::int64_t>(got) < want;
        MemorySource src(scratch.bytes.data(), base,
                         base + static_cast<std::int64_t>(got));
        const std::size_t r0 = r;
        s = w.chunk(r0, stop_at - r0, got);
        for (; s.ok() && r < stop_at; ++r) {
            const std::int64_t at = index.offsets[r];
            detail::RecordHead head;
            auto visit_here = [&](std::size_t row, Pulse p, std::int64_t pos,
                                  const Span& span) {
                return w.pulse(r, row, p, src.at(pos), span);
            };
            auto at_channel = [&](std::size_t row, std::int64_t pos) {
                w.channel(r, row, pos);
            };
            s = detail::walk_record(src, h, at, head, visit_here, at_channel);
            if (!s.ok() && s.code == Errc::read && !cut) {
                s = {Errc::changed, static_cast<long>(at)};
            } else if (s.ok() && head.end != index.record_end(r)) {
                s = {Errc::changed, static_cast<long>(at)};
            }
            if (s.ok()) {
                s = w.record(r, head);
            }
            if (!s.ok()) {
                break;
            }
        }
        const Status done = w.walked(r0, r, src);
        if (s.ok()) {
            s = done;
        }
        if (!s.ok()) {
            const std::int64_t at = r < index.size() ? index.offsets[r] : base;
            return {s, at, static_cast<std::int64_t>(r)};
        }
    }
    stop.offset = last < index.size() ? index.offsets[last] : index.end;
    stop.event = static_cast<std::int64_t>(last);
    return stop;
}

// A Walker's parts that most walkers leave alone.
struct WalkerBase {
    Status chunk(std::size_t, std::size_t, std::size_t) { return ok(); }
    Status pulse(std::size_t, std::size_t, Pulse, const unsigned char*,
                 const Span&) {
        return ok();
    }
    void channel(std::size_t, std::size_t, std::int64_t) {}
    Status record(std::size_t, const detail::RecordHead&) { return ok(); }
    Status walked(std::size_t, std::size_t, MemorySource&) {
        return ok();
    }
};

inline Stop bad_arguments(const RecordIndex& index, std::size_t first) {
    const std::int64_t at =
        first < index.size() ? index.offsets[first] : index.end;
    return {{Errc::inconsistent, 0}, at, static_cast<std::int64_t>(first)};
}

// Writing a double through a pointer not aligned for it is undefined, so
// such a buffer is refused, never written.
inline bool aligned(const void* p, std::size_t align) {
    return reinterpret_cast<std::uintptr_t>(p) % align == 0;
}

inline bool range_ok(const Header& h, const RecordIndex& index,
                     std::size_t first, std::size_t last) {
    return first <= last && last <= index.size() &&
           h.channels.size() >= static_cast<std::size_t>(
                                    std::max<std::int32_t>(h.nchannels, 0)) &&
           h.channel_info.size() >= h.channels.size();
}

// Maps each row of the header to its place among the selected outputs,
// -1 when not selected; false on a row out of range or repeated.
template <class Rows>
bool select_rows(const Header& h, const Rows& rows, std::size_t nrows,
                 std::vector<int>& slot) {
    slot.assign(static_cast<std::size_t>(std::max(h.nchannels, 0)), -1);
    for (std::size_t k = 0; k < nrows; ++k) {
        const std::size_t row = rows(k);
        if (row >= slot.size() || slot[row] >= 0) {
            return false;
        }
        slot[row] = static_cast<int>(k);
    }
    return true;
}

}  // namespace lma::detail
