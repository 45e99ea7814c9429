#include "lma/range.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "record.hpp"
#include "runs.hpp"

namespace lma {

namespace {

constexpr std::int64_t kChunkBytes = std::int64_t{1} << 20;
// Rows shorter than a page are written channel by channel even into
// memory in use: a record spreads its rows over many arrays.
constexpr std::size_t kShortRowBytes = 4096;
// Output beyond a large last-level cache is streamed past the caches.
constexpr double kStreamBytes = 32.0 * (1 << 20);

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

// place_fitted for samples as stored, with `run` for whole pulses.
template <class T>
void place_samples(T* row, const Span& span, const Channel& ch,
                   const unsigned char* samples, std::size_t length,
                   detail::Run<T> run) {
    if (static_cast<std::size_t>(span.length) == length) {
        run(row + span.start, samples, length, ch);
    } else {
        place_fitted(row, span, ch, detail::LeSamples{samples}, length);
    }
}

// One row written in one pass, each sample once: pulses in file order,
// the gap before each set to "uncovered" first, the rest at finish(). A
// pulse that reaches back over an earlier one overwrites it, as in the
// iteration.
template <class T>
struct RowFill {
    T* row = nullptr;
    const Channel* ch = nullptr;
    std::int64_t done = 0;

    void pulse(const Span& span, const unsigned char* samples,
               std::size_t length, detail::Run<T> run) {
        gap(span.start);
        place_samples(row, span, *ch, samples, length, run);
        done = std::max(done, span.start + span.length);
    }
    void finish(std::int64_t n) { gap(n); }

private:
    // "Uncovered" is a constant zero for float types: the fill becomes a
    // memset, much faster on rows that long gaps leave mostly empty.
    void gap(std::int64_t to) {
        if (to > done) {
            std::fill(row + done, row + to, uncovered<T>(*ch));
        }
    }
};

// What both decoding orders share: the outputs, and the head of each
// record.
template <class T>
class OutputWriter : public WalkerBase {
public:
    OutputWriter(const Header& h, const RangeOut& out,
                 const std::vector<int>& slot, std::size_t first,
                 detail::Run<T> run)
        : h_(h), out_(out), slot_(slot), first_(first), run_(run) {}

protected:
    void put_head(std::size_t r, const detail::RecordHead& head) {
        if (out_.tags != nullptr) {
            out_.tags[r - first_] = head.tag;
        }
        if (out_.horpos != nullptr) {
            out_.horpos[r - first_] = head.horpos;
        }
    }
    // Output k's row of record r. A block of rows without samples may
    // have no memory at all, and no row of it an address.
    T* row_of(std::size_t r, std::size_t k) const {
        const ChannelOut& c = out_.channels[k];
        if (c.data == nullptr) {
            return nullptr;
        }
        return static_cast<T*>(c.data) +
               static_cast<std::int64_t>(r - first_) * c.stride;
    }

    const Header& h_;
    const RangeOut& out_;
    const std::vector<int>& slot_;
    std::size_t first_;
    detail::Run<T> run_;
};

// Decodes channel by channel: a chunk's records are walked (and checked)
// first, noting where each selected block starts, then each selected
// channel's rows of the chunk are written one after another. Each array
// is then filled in runs of many rows rather than a row of each array in
// turn, which the memory system serves much faster when the arrays are
// newly allocated, or when their rows are short.
template <class T>
class ChannelWriter : public OutputWriter<T> {
    using Base = OutputWriter<T>;
    using Base::h_, Base::out_, Base::slot_, Base::run_;

public:
    using Base::Base;

    Status chunk(std::size_t r0, std::size_t count, std::size_t bytes) {
        r0_ = r0;
        // Only records present can be walked, each of at least its head
        // and counts: an index that claims more costs nothing here.
        const std::size_t least = static_cast<std::size_t>(
            detail::kTagBytes + detail::kHorposBytes +
            detail::kCountBytes * std::max<std::int32_t>(h_.nchannels, 0));
        count = std::min(count, bytes / least + 1);
        try {
            blocks_.resize(count * out_.nchannels);
        } catch (const std::bad_alloc&) {
            return {Errc::no_memory, 0};
        }
        return ok();
    }
    void channel(std::size_t r, std::size_t row, std::int64_t pos) {
        const int k = slot_[row];
        const std::size_t at =
            (r - r0_) * out_.nchannels + static_cast<std::size_t>(k);
        if (k >= 0 && at < blocks_.size()) {
            blocks_[at] = pos;
        }
    }
    Status record(std::size_t r, const detail::RecordHead& head) {
        this->put_head(r, head);
        return ok();
    }
    Status walked(std::size_t r0, std::size_t r1, MemorySource& src) {
        if ((r1 - r0) * out_.nchannels > blocks_.size()) {
            return {Errc::inconsistent, 0};
        }
        for (std::size_t k = 0; k < out_.nchannels; ++k) {
            for (std::size_t r = r0; r < r1; ++r) {
                const Status s = write_row(
                    src, k, this->row_of(r, k),
                    blocks_[(r - r0) * out_.nchannels + k]);
                if (!s.ok()) {
                    return s;
                }
            }
        }
        return ok();
    }

private:
    Status write_row(MemorySource& src, std::size_t k, T* row,
                     std::int64_t pos) {
        const std::size_t at_row = out_.channels[k].row;
        RowFill<T> fill{row, &h_.channel_info[at_row]};
        auto place = [&](std::size_t, Pulse p, std::int64_t at,
                         const Span& span) {
            fill.pulse(span, src.at(at), static_cast<std::size_t>(p.length),
                       run_);
            return ok();
        };
        const Status s = detail::walk_channel(src, h_, at_row, pos, place);
        fill.finish(h_.nsamples);
        return s;
    }

    std::size_t r0_ = 0;
    // Per record of the chunk and selected channel, where its block starts.
    std::vector<std::int64_t> blocks_;
};

// Decodes record by record, each pulse as the walk reaches it.
template <class T>
class RecordWriter : public OutputWriter<T> {
    using Base = OutputWriter<T>;
    using Base::h_, Base::out_, Base::slot_, Base::run_;

public:
    RecordWriter(const Header& h, const RangeOut& out,
                 const std::vector<int>& slot, std::size_t first,
                 detail::Run<T> run)
        : Base(h, out, slot, first, run), rows_(out.nchannels) {}

    Status pulse(std::size_t r, std::size_t row, Pulse p,
                 const unsigned char* samples, const Span& span) {
        const int k = slot_[row];
        if (k >= 0) {
            start(r, static_cast<std::size_t>(k))
                .pulse(span, samples, static_cast<std::size_t>(p.length),
                       run_);
        }
        return ok();
    }
    Status record(std::size_t r, const detail::RecordHead& head) {
        for (std::size_t k = 0; k < out_.nchannels; ++k) {
            start(r, k).finish(h_.nsamples);
            rows_[k].row = nullptr;  // the next record starts afresh
        }
        this->put_head(r, head);
        return ok();
    }

private:
    // Output k's row of record r, begun at its first use in the record.
    RowFill<T>& start(std::size_t r, std::size_t k) {
        RowFill<T>& fill = rows_[k];
        if (fill.row == nullptr) {
            fill = {this->row_of(r, k),
                    &h_.channel_info[out_.channels[k].row], 0};
        }
        return fill;
    }

    std::vector<RowFill<T>> rows_;
};

template <class T>
Stop decode_as(const File& f, const Header& h, const RecordIndex& index,
               std::size_t first, std::size_t last, const RangeOut& out,
               const std::vector<int>& slot, Scratch& scratch) {
    const double bytes = static_cast<double>(last - first) *
                         static_cast<double>(out.nchannels) *
                         static_cast<double>(h.nsamples) * sizeof(T);
    const detail::Run<T> run =
        detail::run_for(static_cast<const T*>(nullptr), bytes > kStreamBytes);
    if (out.fresh ||
        static_cast<std::size_t>(h.nsamples) * sizeof(T) < kShortRowBytes) {
        ChannelWriter<T> writer(h, out, slot, first, run);
        return for_records(f, h, index, first, last, scratch, writer);
    }
    RecordWriter<T> writer(h, out, slot, first, run);
    return for_records(f, h, index, first, last, scratch, writer);
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
    struct Listing : WalkerBase {
        const std::vector<int>& slot;
        Take& take;
        Listing(const std::vector<int>& s, Take& t) : slot(s), take(t) {}
        Status pulse(std::size_t r, std::size_t row, Pulse p,
                     const unsigned char* samples, const Span&) {
            return slot[row] < 0 ? ok() : take(r, row, p, samples);
        }
    } listing(slot, take);
    return for_records(f, h, index, first, last, scratch, listing);
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
