#include "lma/scan.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "record.hpp"

namespace lma {

namespace {

constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

// File bytes through one block of bounded size, refilled where a field
// is asked for outside it; samples are passed over, never read.
class BlockSource {
public:
    BlockSource(const File& f, std::int64_t limit, unsigned char* block,
                std::size_t capacity)
        : file_(f), limit_(limit), block_(block), capacity_(capacity) {}

    std::size_t get(std::int64_t pos, std::size_t n, unsigned char* dst) {
        if (pos >= limit_) {
            return 0;
        }
        if (pos < start_ || pos + static_cast<std::int64_t>(n) >
                                start_ + static_cast<std::int64_t>(size_)) {
            refill(pos);
        }
        const std::int64_t have = start_ + static_cast<std::int64_t>(size_) -
                                  pos;
        const std::size_t take =
            have <= 0 ? 0 : std::min(n, static_cast<std::size_t>(have));
        std::memcpy(dst, block_ + (pos - start_), take);
        return take;
    }

    std::int64_t limit() const noexcept { return limit_; }
    const Status& error() const noexcept { return error_; }
    // The bytes in memory: [start(), start() + size()) of the file.
    const unsigned char* data() const noexcept { return block_; }
    std::int64_t start() const noexcept { return start_; }
    std::size_t size() const noexcept { return size_; }

private:
    void refill(std::int64_t pos) {
        start_ = pos;
        size_ = 0;
        const auto want = static_cast<std::size_t>(
            std::min<std::int64_t>(limit_ - pos,
                                   static_cast<std::int64_t>(capacity_)));
        Status s = file_.read_at(pos, block_, want, size_);
        if (!s.ok()) {
            error_ = s;
            size_ = 0;
            limit_ = pos;
        } else if (size_ < want) {
            // The file shrank since its size was taken: its end is here.
            limit_ = pos + static_cast<std::int64_t>(size_);
        }
    }

    const File& file_;
    std::int64_t limit_;
    unsigned char* block_;
    std::size_t capacity_;
    std::int64_t start_ = 0;
    std::size_t size_ = 0;
    Status error_;
};

constexpr std::size_t kRewalkBlockBytes = std::size_t{64} << 10;

// The bytes of the block at hand, by offset from its start: [0, have) in
// memory, `limit` where the file ends. No pointer is formed outside it.
struct Window {
    const unsigned char* data;
    std::int64_t start;  // file position of data[0]
    std::int64_t have;
    std::int64_t limit;

    template <class T>
    T at(std::int64_t offset) const noexcept {
        T v;
        std::memcpy(&v, data + offset, sizeof v);
        return from_le(v);
    }
};

Window window(const BlockSource& src) noexcept {
    return {src.data(), src.start(), static_cast<std::int64_t>(src.size()),
            src.limit() - src.start()};
}

// Walks the block of one channel at offset `o` and leaves `o` after it,
// when the common case holds: its count and pulse infos before `bound` (at
// most the end of the window), every pulse sound (its samples, which are
// not read, may lie past the window but not past the limit). False
// otherwise, with `o` anywhere: then walk_record must walk the record, to
// refill the block or to give the exact status. Where both succeed they
// agree.
inline bool quick_channel(const Window& w, std::int64_t bound,
                          std::int64_t nsamples, std::int64_t& o) noexcept {
    using namespace detail;
    if (o + kCountBytes > bound) {
        return false;
    }
    const auto count = w.at<std::int16_t>(o);
    o += kCountBytes;
    for (std::int32_t j = 0; j < count; ++j) {
        if (o + kInfoBytes > bound) {
            return false;
        }
        const std::int64_t first = w.at<std::int32_t>(o);
        const std::int64_t length = w.at<std::int32_t>(o + 4);
        o += kInfoBytes;
        if (length <= 0 || o + kSampleBytes * length > w.limit) {
            return false;
        }
        // Inside the trace is what fit_pulse surely accepts; anything
        // else is asked of it.
        if (first < 0 || first + length > nsamples) {
            Span span{};
            if (!fit_pulse(static_cast<std::int32_t>(first),
                           static_cast<std::size_t>(length), nsamples, span)
                     .ok()) {
                return false;
            }
        }
        o += kSampleBytes * length;
    }
    return true;
}

// The ends of the record at `a` and of the one at `b`, file positions, or
// -1 for either where quick_channel fails. Each record's walk is one chain
// of loads, every position waiting for the length before it; walking two
// records at once, channel by channel, lets the processor follow both
// chains together. `b` is a guess where the record after `a` starts, so
// its walk is given up at `b_most`: a wrong guess costs at most that much.
std::int64_t quick_ends(const Window& w, std::size_t nchannels,
                        std::int64_t nsamples, std::int64_t a,
                        std::int64_t b, std::int64_t b_most,
                        std::int64_t& b_end) noexcept {
    constexpr std::int64_t kHead = detail::kTagBytes + detail::kHorposBytes;
    b_end = -1;
    std::int64_t oa = a - w.start, ob = b - w.start;
    // A wrong guess fails every check at once from here on.
    std::int64_t b_bound = std::min(b_most - w.start, w.have);
    if (oa < 0 || oa + kHead > w.have) {
        return -1;
    }
    if (ob < 0 || ob + kHead > b_bound) {
        b_bound = -1;
    }
    oa += kHead;
    ob += kHead;
    for (std::size_t row = 0; row < nchannels; ++row) {
        if (!quick_channel(w, w.have, nsamples, oa)) {
            return -1;
        }
        if (!quick_channel(w, b_bound, nsamples, ob)) {
            b_bound = -1;
        }
    }
    if (b_bound >= 0) {
        b_end = ob + w.start;
    }
    return oa + w.start;
}

// Bytes kept free at the end of the block by the walk below: a count and
// a pulse info fit in them, so a position at most `have - kSlack` needs
// no check before the fields at it are read.
constexpr std::int64_t kSlack = 16;
static_assert(kSlack >= detail::kCountBytes + detail::kInfoBytes);

// Records walked side by side by lanes_walk: as many chains of loads for
// the processor to follow at once.
constexpr std::size_t kLanes = 4;

// The block of one channel at `o` (at most `have - kSlack`), leaving `o`
// after it. 0 unless it is the common case of many-channel records:
// one pulse, inside the trace, its samples ending at most at `bound`. The
// conditions are gathered without a branch; the caller takes one branch
// for all its lanes.
inline unsigned lane_step(const Window& w, std::int64_t bound,
                          std::uint64_t nsamples, std::int64_t& o) noexcept {
    using namespace detail;
    const auto count = w.at<std::int16_t>(o);
    const std::int64_t first = w.at<std::int32_t>(o + kCountBytes);
    const std::int64_t length = w.at<std::int32_t>(o + kCountBytes + 4);
    o += kCountBytes + kInfoBytes + kSampleBytes * length;
    // length in [1, nsamples], first in [0, nsamples - length]: a pulse
    // fit_pulse surely accepts.
    return static_cast<unsigned>(
        (count == 1) & (static_cast<std::uint64_t>(length - 1) < nsamples) &
        (static_cast<std::uint64_t>(first) <=
         nsamples - static_cast<std::uint64_t>(length)) &
        (o <= bound));
}

// The records at starts[0] and at the guesses starts[1..] walked side by
// side, channel by channel. True, with each one's end (a file position)
// in ends[], when every channel of every one of them is lane_step's
// common case inside the block, kSlack bytes to spare; false at the
// first that is not, when quick_ends or walk_record must walk the record
// at starts[0]. A guess is given up at limits[i]: a wrong one costs at
// most that much.
bool lanes_walk(const Window& w, std::size_t nchannels,
                std::int64_t nsamples, const std::int64_t (&starts)[kLanes],
                const std::int64_t (&limits)[kLanes],
                std::int64_t (&ends)[kLanes]) noexcept {
    constexpr std::int64_t kHead = detail::kTagBytes + detail::kHorposBytes;
    const std::int64_t most = w.have - kSlack;
    std::int64_t o[kLanes], bound[kLanes];
    bool fits = nsamples >= 0;
    for (std::size_t i = 0; i < kLanes; ++i) {
        o[i] = starts[i] - w.start + kHead;
        bound[i] = std::min(limits[i] - w.start, most);
        fits = fits && starts[i] >= w.start && o[i] <= bound[i];
    }
    if (!fits) {
        return false;
    }
    const auto ns = static_cast<std::uint64_t>(nsamples);
    // Written out lane by lane, with constant indices, so that each
    // lane's position stays in a register: through memory, every step of
    // its chain would wait for a store as well.
    auto step = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (lane_step(w, bound[I], ns, o[I]) & ...);
    };
    for (std::size_t row = 0; row < nchannels; ++row) {
        if (!step(std::make_index_sequence<kLanes>{})) {
            return false;
        }
    }
    for (std::size_t i = 0; i < kLanes; ++i) {
        ends[i] = o[i] + w.start;
    }
    return true;
}

}  // namespace

bool RecordIndex::push(std::int64_t offset, std::int32_t tag,
                       double pos) noexcept {
    try {
        offsets.push_back(offset);
        tags.push_back(tag);
        horpos.push_back(pos);
    } catch (const std::bad_alloc&) {
        keep(std::min({offsets.size(), tags.size(), horpos.size()}));
        return false;
    }
    return true;
}

void RecordIndex::keep(std::size_t n) noexcept {
    // Shrinking a vector never allocates.
    offsets.resize(std::min(n, offsets.size()));
    tags.resize(std::min(n, tags.size()));
    horpos.resize(std::min(n, horpos.size()));
}

bool is_record_damage(Errc code) noexcept {
    switch (code) {
    case Errc::read:
    case Errc::seek:
    case Errc::negative_length:
    case Errc::empty_pulse:
    case Errc::broadcast:
    case Errc::inconsistent:
        return true;
    default:
        return false;
    }
}

Stop scan_records(const File& f, const Header& h, std::int64_t file_size,
                  RecordIndex& index) noexcept {
    if (!index.scanned) {
        index.keep(0);
        index.end = h.pos_begin;
        index.scanned = true;
    }
    Stop stop;
    stop.offset = index.end;
    stop.event = static_cast<std::int64_t>(index.size());
    if (!f.is_open()) {
        stop.status = {Errc::closed, 0};
        return stop;
    }
    if (index.end < 0) {
        // What fseek to a negative offset returns.
        stop.status = {Errc::seek, -1};
        return stop;
    }
    if (!index.horpos.empty() && std::isnan(index.horpos.back())) {
        // A last record counted though cut inside its horpos (no channel
        // in use) has it once the file holds it, as a new scan finds.
        const std::int64_t at = index.offsets.back() + detail::kTagBytes;
        unsigned char raw[detail::kHorposBytes];
        std::size_t got = 0;
        if (at + detail::kHorposBytes <= file_size &&
            f.read_at(at, raw, sizeof raw, got).ok() && got == sizeof raw) {
            double pos = 0.0;
            std::memcpy(&pos, raw, sizeof pos);
            index.horpos.back() = from_le(pos);
        }
    }
    if (stop.offset >= file_size) {
        return stop;  // nothing new: no block needed
    }
    // Not zero-filled: a short file costs only its own size.
    const auto block_bytes = static_cast<std::size_t>(
        std::min<std::int64_t>(file_size - stop.offset, kBlockBytes));
    std::unique_ptr<unsigned char[]> block(
        new (std::nothrow) unsigned char[block_bytes]);
    if (!block) {
        stop.status = {Errc::no_memory, 0};
        return stop;
    }
    BlockSource src(f, file_size, block.get(), block_bytes);
    auto pass_over = [](std::size_t, Pulse, std::int64_t, const Span&) {
        return ok();
    };
    // A header walk_record refuses leaves every record to it.
    const auto nchannels =
        static_cast<std::size_t>(h.nchannels > 0 ? h.nchannels : 0);
    const bool quick = h.nsamples >= 0 && h.channels.size() >= nchannels &&
                       h.channel_info.size() >= nchannels;
    // Records are often all of one size: the next one is guessed to start
    // as far after this one as the last one did, and walked beside it.
    std::int64_t last_length = 0;
    // Set while records are found to be of one size: kLanes of them are
    // then walked at once. Where that fails (a record of another shape, or
    // one reaching past the block) it is tried again some records on,
    // twice as many after each failure in a row, so that files it does
    // not suit pay next to nothing for it.
    bool uniform = false;
    std::int64_t lanes_from = 0, lanes_wait = 16;
    // The head of a record the window holds: the walks below took it
    // only where its tag and horpos lie inside the window.
    auto head_in_window = [&](std::int64_t at, std::int32_t& tag,
                              double& pos) {
        const Window w = window(src);
        tag = w.at<std::int32_t>(at - w.start);
        pos = w.at<double>(at - w.start + detail::kTagBytes);
    };
    auto add = [&](std::int64_t end, std::int32_t tag, double pos) {
        if (!index.push(stop.offset, tag, pos)) {
            stop.status = {Errc::no_memory, 0};
            return false;
        }
        last_length = end - stop.offset;
        index.end = end;
        stop.offset = end;
        ++stop.event;
        return true;
    };
    // The reader's look-ahead: a record starts wherever a byte remains.
    while (stop.offset < src.limit()) {
        std::int64_t end = -1, next_end = -1;
        const std::int64_t guess = stop.offset + last_length;
        if (quick && uniform && stop.event >= lanes_from) {
            // Records of one size: kLanes of them at once, each guess
            // taken only where the record before it ends there.
            std::int64_t starts[kLanes], limits[kLanes], ends[kLanes];
            for (std::size_t i = 0; i < kLanes; ++i) {
                starts[i] = stop.offset +
                            static_cast<std::int64_t>(i) * last_length;
                limits[i] = starts[i] + 2 * last_length;
            }
            limits[0] = src.limit();
            uniform = lanes_walk(window(src), nchannels, h.nsamples, starts,
                                 limits, ends);
            for (std::size_t i = 0; uniform && i < kLanes; ++i) {
                std::int32_t tag = 0;
                double pos = 0.0;
                if (i > 0 && ends[i - 1] != starts[i]) {
                    uniform = false;  // walked for nothing: sizes differ
                    continue;
                }
                head_in_window(starts[i], tag, pos);
                if (!add(ends[i], tag, pos)) {
                    return stop;
                }
            }
            if (!uniform) {
                lanes_from = stop.event + lanes_wait;
                lanes_wait = std::min<std::int64_t>(2 * lanes_wait, 4096);
            } else {
                lanes_wait = 16;
            }
            if (stop.offset > starts[0]) {
                continue;
            }
        }
        if (quick) {
            end = quick_ends(window(src), nchannels, h.nsamples, stop.offset,
                             guess, guess + 2 * last_length, next_end);
        }
        std::int32_t tag = 0;
        double pos = 0.0;
        if (end >= 0) {
            head_in_window(stop.offset, tag, pos);
        } else {
            detail::RecordHead head;
            Status s =
                detail::walk_record(src, h, stop.offset, head, pass_over);
            if (!src.error().ok()) {
                s = src.error();
            } else if (!s.ok() && stop.offset >= src.limit()) {
                // The file was cut back to where this record would start
                // after its size was taken: its end, not a damaged record.
                break;
            }
            if (!s.ok()) {
                stop.status = s;
                return stop;
            }
            end = head.end;
            tag = head.tag;
            pos = head.horpos;
        }
        if (!add(end, tag, pos)) {
            return stop;
        }
        if (next_end >= 0 && end == guess && last_length > 0) {
            head_in_window(guess, tag, pos);
            if (!add(next_end, tag, pos)) {
                return stop;
            }
            uniform = true;
        }
    }
    if (!src.error().ok()) {
        stop.status = src.error();
    }
    return stop;
}

Status rewalk_record(const File& f, const Header& h, const RecordIndex& index,
                     std::size_t r, std::int64_t file_size) noexcept {
    if (r >= index.size()) {
        return {Errc::inconsistent, 0};
    }
    const std::int64_t start = index.offsets[r];
    const std::int64_t end = index.record_end(r);
    const Status changed{Errc::changed, static_cast<long>(start)};
    if (start < 0 || start >= file_size) {
        return changed;
    }
    // Heads and pulse infos only, through a block of bounded size: a
    // record may be far longer than its parts the walk reads.
    const auto block_bytes = static_cast<std::size_t>(std::min<std::int64_t>(
        file_size - start, static_cast<std::int64_t>(kRewalkBlockBytes)));
    std::unique_ptr<unsigned char[]> block(
        new (std::nothrow) unsigned char[block_bytes]);
    if (!block) {
        return {Errc::no_memory, 0};
    }
    BlockSource src(f, file_size, block.get(), block_bytes);
    auto pass_over = [](std::size_t, Pulse, std::int64_t, const Span&) {
        return ok();
    };
    detail::RecordHead head;
    const Status s = detail::walk_record(src, h, start, head, pass_over);
    if (!src.error().ok()) {
        return src.error();
    }
    if (src.limit() < file_size) {
        return ok();  // cut back meanwhile: for the next scan to judge
    }
    return s.ok() && head.end == end ? ok() : changed;
}

}  // namespace lma
