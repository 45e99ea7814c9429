#include "lma/scan.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
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

}  // namespace

Stop scan_records(const File& f, const Header& h, std::int64_t file_size,
                  RecordIndex& index) noexcept {
    if (!index.scanned) {
        index.offsets.clear();
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
    // The reader's look-ahead: a record starts wherever a byte remains.
    while (stop.offset < src.limit()) {
        detail::RecordHead head;
        Status s = detail::walk_record(src, h, stop.offset, head, pass_over);
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
        try {
            index.offsets.push_back(stop.offset);
        } catch (const std::bad_alloc&) {
            stop.status = {Errc::no_memory, 0};
            return stop;
        }
        index.end = head.end;
        stop.offset = head.end;
        ++stop.event;
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
