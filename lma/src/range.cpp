#include "lma/range.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "range_walk.hpp"
#include "record.hpp"
#include "runs.hpp"

namespace lma {

namespace {

using detail::aligned;
using detail::bad_arguments;
using detail::for_records;
using detail::MemorySource;
using detail::range_ok;
using detail::select_rows;
using detail::WalkerBase;

// Rows shorter than a page are written channel by channel even into
// memory in use: a record spreads its rows over many arrays. Each is set
// to "uncovered" whole before its pulses are placed.
constexpr std::size_t kShortRowBytes = 4096;
// Output beyond a large last-level cache is streamed past the caches.
constexpr double kStreamBytes = 32.0 * (1 << 20);

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

// Rows so short that filling each whole before placing its pulses costs
// less than filling only its gaps, one call each. (On rows of a few pages
// the pulses' second write costs more.)
template <class T>
bool short_rows(const Header& h) {
    return static_cast<std::size_t>(h.nsamples) * sizeof(T) <
           kShortRowBytes;
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
    // Sets the whole row to "uncovered" at once, for pulses to be placed
    // over it: on a short row one fill costs less than a fill per gap.
    void clear(std::int64_t n) {
        gap(n);
        done = n;
    }

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
        if (short_rows<T>(h_)) {
            fill.clear(h_.nsamples);
        }
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
            if (short_rows<T>(h_)) {
                fill.clear(h_.nsamples);
            }
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
