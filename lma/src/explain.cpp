#include "lma/explain.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "record.hpp"

namespace lma {

namespace {

// A damaged record is read in windows of this size; most fit in one.
constexpr std::size_t kWindowBytes = std::size_t{64} << 10;

// The Source of detail::walk_record over one window of the file, moved
// wherever a field is asked for outside it. A failed read ends the bytes
// there, and the walk's failure is then not to be trusted.
class WindowSource {
public:
    WindowSource(const File& f, std::int64_t limit, unsigned char* window)
        : file_(f), limit_(limit), window_(window) {}

    std::size_t get(std::int64_t pos, std::size_t n, unsigned char* dst) {
        if (pos >= limit_) {
            return 0;
        }
        if (pos < start_ ||
            pos + static_cast<std::int64_t>(n) > start_ + size_) {
            refill(pos);
        }
        const std::int64_t have = start_ + size_ - pos;
        const std::size_t take =
            have <= 0 ? 0 : std::min(n, static_cast<std::size_t>(have));
        std::memcpy(dst, window_ + (pos - start_), take);
        return take;
    }

    std::int64_t limit() const noexcept { return limit_; }
    bool failed() const noexcept { return failed_; }

private:
    void refill(std::int64_t pos) {
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(
            limit_ - pos, static_cast<std::int64_t>(kWindowBytes)));
        std::size_t got = 0;
        const Status s = file_.read_at(pos, window_, want, got);
        start_ = pos;
        failed_ = failed_ || !s.ok();
        size_ = s.ok() ? static_cast<std::int64_t>(got) : 0;
        if (size_ < static_cast<std::int64_t>(want)) {
            limit_ = pos + size_;
        }
    }

    const File& file_;
    std::int64_t limit_;
    unsigned char* window_;
    std::int64_t start_ = 0;
    std::int64_t size_ = 0;
    bool failed_ = false;
};

// Where the walk was when it failed: the channel block it was in and the
// pulse it was at.
struct Trail {
    bool in_channel = false;
    std::size_t row = 0;
    std::int64_t row_pos = 0;    // the block's pulse count
    std::int64_t pulse = 0;      // pulses of the block passed
    std::int64_t pulse_pos = 0;  // where the next pulse starts
};

// Fills the place of `out` from the trail of a walk that failed with
// out.status at the record starting at `start`.
void locate(WindowSource& src, const Header& h, std::int64_t start,
            const Trail& t, RecordFault& out) {
    const Errc code = out.status.code;
    const std::int64_t end = src.limit();
    if (!t.in_channel) {
        // Before any channel block: the tag, or values of the header.
        out.place = code == Errc::read ? FaultPlace::tag : FaultPlace::header;
        out.present = std::max<std::int64_t>(end - start, 0);
        return;
    }
    out.channel = h.channels[t.row];
    if (code == Errc::read && end < t.row_pos) {
        out.place = FaultPlace::horpos;
        out.present = std::max<std::int64_t>(end - start - detail::kTagBytes,
                                             0);
        return;
    }
    if (code == Errc::read && end < t.row_pos + detail::kCountBytes) {
        out.place = FaultPlace::count;
        out.present = end - t.row_pos;
        return;
    }
    out.place = FaultPlace::pulse;
    out.pulse = t.pulse;
    out.present = end - t.pulse_pos;
    std::size_t got = 0;
    std::int32_t k[2];
    out.info = detail::get_field(src, t.pulse_pos, k[0], got) &&
               detail::get_field(src, t.pulse_pos + 4, k[1], got);
    if (out.info) {
        out.p = {k[0], k[1]};
        if (code == Errc::read) {
            out.samples = (out.present - detail::kInfoBytes) /
                          detail::kSampleBytes;
        }
    }
}

// Whether the file merely ends inside the record `f` located, as a file
// still being written does: cut short, and a pulse whose info was read fits
// the trace (the walk checks that only once the samples are there).
bool ends_inside(const RecordFault& f) {
    if (f.status.code != Errc::read) {
        return false;
    }
    if (f.place != FaultPlace::pulse || !f.info) {
        return true;
    }
    Span span{};
    return fit_pulse(f.p.first, static_cast<std::size_t>(f.p.length),
                     f.nsamples, span)
        .ok();
}

}  // namespace

RecordFault explain_stop(const File& f, const Header& h,
                         std::int64_t file_size, const Stop& stop) noexcept {
    RecordFault out;
    out.status = stop.status;
    out.offset = stop.offset;
    out.nsamples = h.nsamples;
    out.nchannels = h.nchannels;
    if (!is_record_damage(stop.status.code)) {
        return out;
    }
    if (stop.offset < 0) {
        // No record can start there; the scan gave up before reading.
        if (stop.status.code == Errc::seek) {
            out.place = FaultPlace::header;
        }
        return out;
    }
    std::unique_ptr<unsigned char[]> window(
        new (std::nothrow) unsigned char[kWindowBytes]);
    if (!window) {
        return out;
    }
    WindowSource src(f, file_size, window.get());
    Trail t;
    auto at_channel = [&t](std::size_t row, std::int64_t pos) {
        t = {true, row, pos, 0, pos + detail::kCountBytes};
    };
    auto visit = [&t](std::size_t, Pulse p, std::int64_t samples,
                      const Span&) {
        ++t.pulse;
        t.pulse_pos = samples + detail::kSampleBytes * p.length;
        return ok();
    };
    detail::RecordHead head;
    const Status s =
        detail::walk_record(src, h, stop.offset, head, visit, at_channel);
    if (src.failed() || s.code != stop.status.code ||
        s.value != stop.status.value || s.extra != stop.status.extra) {
        return out;  // not the failure the scan saw
    }
    locate(src, h, stop.offset, t, out);
    out.incomplete = ends_inside(out);
    return out;
}

}  // namespace lma
