#include "lma/replaced.hpp"

#include <algorithm>
#include <cerrno>
#include <new>

namespace lma {

namespace {

constexpr std::int64_t kGeneralBlockBytes = 50;
constexpr std::int64_t kChannelBlockBytes = 24;
// Channels from 32 on are never in use.
constexpr std::int64_t kLongestHeader = kGeneralBlockBytes +
                                        32 * kChannelBlockBytes;
constexpr int kHeaderTries = 3;

// The first `n` bytes of the file, fewer at its end.
Status read_prefix(const File& f, std::size_t n,
                   std::vector<unsigned char>& out) {
    out.resize(n);
    std::size_t got = 0;
    const Status s = f.read_at(0, out.data(), n, got);
    out.resize(got);
    return s;
}

}  // namespace

std::int64_t header_length(const Header& h) noexcept {
    return kGeneralBlockBytes +
           kChannelBlockBytes * std::max<std::int64_t>(h.nchannels, 0);
}

Status read_header_and_bytes(const File& f, Header& h,
                             std::vector<unsigned char>& bytes) noexcept {
    try {
        std::vector<unsigned char> before;
        for (int attempt = 0; attempt < kHeaderTries; ++attempt) {
            Status s = read_prefix(f, kLongestHeader, before);
            if (!s.ok()) {
                return s;
            }
            h = Header{};
            const Status parsed = read_header(f, h);
            const auto length = static_cast<std::size_t>(
                std::min<std::int64_t>(header_length(h),
                                       static_cast<std::int64_t>(
                                           before.size())));
            // Read again after the parse: equal bytes on both sides mean
            // the parse saw them too.
            if (!(s = read_prefix(f, length, bytes)).ok()) {
                return s;
            }
            if (std::equal(bytes.begin(), bytes.end(), before.begin())) {
                return parsed;
            }
        }
    } catch (const std::bad_alloc&) {
        return {Errc::no_memory, 0};
    }
    return replaced(Replacement::header);
}

Status check_not_replaced(const File& f, const char* path,
                          const FileStamp& now, const Header& h,
                          const std::vector<unsigned char>& bytes,
                          const RecordIndex& index) noexcept {
    FileStamp at_path;
    Status s = stamp_at(path, at_path);
    if (!s.ok() && s.value != ENOENT && s.value != ENOTDIR) {
        return s;
    }
    if (s.ok() && !at_path.same_file(now)) {
        return replaced(Replacement::other_file);
    }
    try {
        std::vector<unsigned char> current;
        if (!(s = read_prefix(f, bytes.size(), current)).ok()) {
            return s;
        }
        if (current != bytes) {
            return replaced(Replacement::header);
        }
    } catch (const std::bad_alloc&) {
        return {Errc::no_memory, 0};
    }
    // The last record the file still holds whole is walked again: a cut
    // inside later ones is a file cut back, for the scan to index anew,
    // while a new run's records seldom end where the old run's did.
    std::size_t whole = index.size();
    while (whole > 0 && index.record_end(whole - 1) > now.size) {
        --whole;
    }
    if (whole == 0) {
        return ok();
    }
    s = rewalk_record(f, h, index, whole - 1, now.size);
    return s.code == Errc::changed ? replaced(Replacement::records) : s;
}

}  // namespace lma
