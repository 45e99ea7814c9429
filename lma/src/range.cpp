#include "lma/range.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "record.hpp"

namespace lma {

namespace {

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
// with `visit`; `on_record(r, head, src)` follows each walk. A record that
// walks differently from the index is Errc::changed, unless the file was
// cut short under it, when the walk's own status is the reader's.
template <class Visit, class OnRecord>
Stop for_records(const File& f, const Header& h, const RecordIndex& index,
                 std::size_t first, std::size_t last, Scratch& scratch,
                 Visit&& visit, OnRecord&& on_record) {
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
        for (; r < stop_at; ++r) {
            const std::int64_t at = index.offsets[r];
            detail::RecordHead head;
            auto visit_here = [&](std::size_t row, Pulse p,
                                  std::int64_t pos) {
                return visit(r, row, p, src.at(pos));
            };
            s = detail::walk_record(src, h, at, head, visit_here);
            if (!s.ok() && s.code == Errc::read && !cut) {
                s = {Errc::changed, static_cast<long>(at)};
            } else if (s.ok() && head.end != index.record_end(r)) {
                s = {Errc::changed, static_cast<long>(at)};
            }
            if (s.ok()) {
                s = on_record(r, head);
            }
            if (!s.ok()) {
                return {s, at, static_cast<std::int64_t>(r)};
            }
        }
    }
    stop.offset = last < index.size() ? index.offsets[last] : index.end;
    stop.event = static_cast<std::int64_t>(last);
    return stop;
}

Stop bad_arguments(const RecordIndex& index, std::size_t first) {
    const std::int64_t at =
        first < index.size() ? index.offsets[first] : index.end;
    return {{Errc::inconsistent, 0}, at, static_cast<std::int64_t>(first)};
}

// Writing a double through a pointer not aligned for it is undefined, so
// such a buffer is refused, never written.
bool aligned(const void* p, std::size_t align) {
    return reinterpret_cast<std::uintptr_t>(p) % align == 0;
}

bool range_ok(const Header& h, const RecordIndex& index, std::size_t first,
              std::size_t last) {
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

template <class T>
Stop decode_as(const File& f, const Header& h, const RecordIndex& index,
               std::size_t first, std::size_t last, const RangeOut& out,
               const std::vector<int>& slot, Scratch& scratch) {
    const std::int64_t n = h.nsamples;
    auto row_of = [&](std::size_t r, const ChannelOut& c) {
        return static_cast<T*>(c.data) +
               static_cast<std::int64_t>(r - first) * c.stride;
    };
    // Each row is set to "uncovered" before the first of its pulses lands,
    // unless that pulse covers the whole row: output much larger than cache
    // is then written once, not twice. Rows without pulses are set when the
    // record has been walked.
    std::vector<char> ready(out.nchannels);
    auto prepare = [&](std::size_t r, std::size_t k, const Span* whole) {
        if (ready[k]) {
            return;
        }
        ready[k] = 1;
        const ChannelOut& c = out.channels[k];
        if (whole == nullptr || whole->start != 0 || whole->length != n) {
            std::fill_n(row_of(r, c), n,
                        uncovered<T>(h.channel_info[c.row]));
        }
    };
    auto visit_preparing = [&](std::size_t r, std::size_t row, Pulse p,
                               const unsigned char* samples) {
        const int k = slot[row];
        if (k < 0) {
            return ok();
        }
        const auto length = static_cast<std::size_t>(p.length);
        Span span{};
        const Status s = fit_pulse(p.first, length, n, span);
        prepare(r, static_cast<std::size_t>(k), s.ok() ? &span : nullptr);
        if (s.ok()) {
            const ChannelOut& c = out.channels[static_cast<std::size_t>(k)];
            place_fitted(row_of(r, c), span, h.channel_info[row],
                         detail::LeSamples{samples}, length);
        }
        return s;
    };
    auto on_record = [&](std::size_t r, const detail::RecordHead& head) {
        for (std::size_t k = 0; k < out.nchannels; ++k) {
            prepare(r, k, nullptr);
        }
        // The next record starts with every row to prepare.
        std::fill(ready.begin(), ready.end(), 0);
        if (out.tags != nullptr) {
            out.tags[r - first] = head.tag;
        }
        if (out.horpos != nullptr) {
            out.horpos[r - first] = head.horpos;
        }
        return ok();
    };
    return for_records(f, h, index, first, last, scratch, visit_preparing,
                       on_record);
}

}  // namespace

Stop decode_range(const File& f, const Header& h, const RecordIndex& index,
                  std::size_t first, std::size_t last, const RangeOut& out,
                  Scratch& scratch) noexcept {
    std::vector<int> slot;
    try {
        auto rows = [&](std::size_t k) { return out.channels[k].row; };
        if (!range_ok(h, index, first, last) ||
            !select_rows(h, rows, out.nchannels, slot)) {
            return bad_arguments(index, first);
        }
        const std::size_t align = out.type == SampleType::float64 ? 8
                                  : out.type == SampleType::float32 ? 4
                                                                    : 2;
        if (!aligned(out.tags, 4) || !aligned(out.horpos, 8)) {
            return bad_arguments(index, first);
        }
        for (std::size_t k = 0; k < out.nchannels; ++k) {
            const ChannelOut& c = out.channels[k];
            if ((c.data == nullptr && h.nsamples > 0) ||
                !aligned(c.data, align) || c.stride < h.nsamples) {
                return bad_arguments(index, first);
            }
        }
        switch (out.type) {
        case SampleType::float64:
            return decode_as<double>(f, h, index, first, last, out, slot,
                                     scratch);
        case SampleType::float32:
            return decode_as<float>(f, h, index, first, last, out, slot,
                                    scratch);
        case SampleType::raw_int16:
            return decode_as<std::int16_t>(f, h, index, first, last, out,
                                           slot, scratch);
        }
    } catch (const std::bad_alloc&) {
        return {{Errc::no_memory, 0}, 0, static_cast<std::int64_t>(first)};
    }
    return bad_arguments(index, first);
}

namespace {

// Walks the range calling `take(r, row, p, samples)` for each pulse on a
// selected row.
template <class Take>
Stop each_pulse(const File& f, const Header& h, const RecordIndex& index,
                std::size_t first, std::size_t last, const std::size_t* rows,
                std::size_t nrows, Scratch& scratch, Take&& take) {
    std::vector<int> slot;
    auto row_at = [&](std::size_t k) { return rows[k]; };
    if (!range_ok(h, index, first, last) ||
        (nrows > 0 && rows == nullptr) ||
        !select_rows(h, row_at, nrows, slot)) {
        return bad_arguments(index, first);
    }
    auto visit = [&](std::size_t r, std::size_t row, Pulse p,
                     const unsigned char* samples) {
        return slot[row] < 0 ? ok() : take(r, row, p, samples);
    };
    auto on_record = [](std::size_t, const detail::RecordHead&) {
        return ok();
    };
    return for_records(f, h, index, first, last, scratch, visit, on_record);
}

}  // namespace

Stop count_pulses(const File& f, const Header& h, const RecordIndex& index,
                  std::size_t first, std::size_t last,
                  const std::size_t* rows, std::size_t nrows,
                  PulseCounts& counts, Scratch& scratch) noexcept {
    counts = PulseCounts{};
    try {
        return each_pulse(f, h, index, first, last, rows, nrows, scratch,
                          [&](std::size_t, std::size_t, Pulse p,
                              const unsigned char*) {
                              ++counts.pulses;
                              counts.samples += p.length;
                              return ok();
                          });
    } catch (const std::bad_alloc&) {
        return {{Errc::no_memory, 0}, 0, static_cast<std::int64_t>(first)};
    }
}

Stop list_pulses(const File& f, const Header& h, const RecordIndex& index,
                 std::size_t first, std::size_t last,
                 const std::size_t* rows, std::size_t nrows,
                 const PulseOut& out, PulseCounts& written,
                 Scratch& scratch) noexcept {
    written = PulseCounts{};
    auto take = [&](std::size_t r, std::size_t row, Pulse p,
                    const unsigned char* samples) -> Status {
        if (written.pulses >= out.capacity.pulses ||
            p.length > out.capacity.samples - written.samples) {
            return {Errc::changed, 0};
        }
        const auto k = static_cast<std::size_t>(written.pulses);
        out.event[k] = static_cast<std::int64_t>(r);
        out.channel[k] = h.channels[row];
        out.first[k] = p.first;
        out.length[k] = p.length;
        out.offset[k] = written.samples;
        const detail::LeSamples raw{samples};
        std::int16_t* dst = out.samples + written.samples;
        for (std::int32_t i = 0; i < p.length; ++i) {
            dst[i] = raw[static_cast<std::size_t>(i)];
        }
        ++written.pulses;
        written.samples += p.length;
        return ok();
    };
    try {
        Stop s = each_pulse(f, h, index, first, last, rows, nrows, scratch,
                            take);
        if (s.status.code == Errc::changed && s.status.value == 0) {
            s.status.value = static_cast<long>(s.offset);
        }
        return s;
    } catch (const std::bad_alloc&) {
        return {{Errc::no_memory, 0}, 0, static_cast<std::int64_t>(first)};
    }
}

}  // namespace lma
