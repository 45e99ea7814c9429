// Telling a file that was rewritten or renamed over while open from one
// that only grew or was cut back. A recorder that restarts a run on the
// same name leaves an index and a header that no longer describe the
// bytes; comparing sizes and times cannot see that when the new run has
// the same settings, or is written within one timestamp tick.
#pragma once

#include <cstdint>
#include <vector>

#include "lma/file.hpp"
#include "lma/file_stat.hpp"
#include "lma/header.hpp"
#include "lma/scan.hpp"
#include "lma/status.hpp"

namespace lma {

// The value of an Errc::replaced status: what gave the replacement away.
enum class Replacement : long {
    other_file = 1,  // the path names another file than the one open
    header = 2,      // the header bytes differ from those read at opening
    records = 3,     // an indexed record walks differently now
};

constexpr Status replaced(Replacement why) noexcept {
    return {Errc::replaced, static_cast<long>(why)};
}

constexpr std::int64_t kGeneralBlockBytes = 50;
constexpr std::int64_t kChannelBlockBytes = 24;
// Channels from 32 on are never in use.
constexpr std::int64_t kLongestHeaderBytes = kGeneralBlockBytes +
                                             32 * kChannelBlockBytes;

// The header's own bytes: the general block and one channel block per
// channel in use, whatever the header size field says.
std::int64_t header_length(const Header& h) noexcept;

// read_header(f, h), and the header's bytes in `bytes`, both from one
// read of the file, so that they agree even while the header is being
// rewritten. The status is read_header's (Errc::os, Errc::no_memory for
// failures of the reading itself); `bytes` holds what the file has of
// the header, fewer bytes for a file cut short inside it.
Status read_header_and_bytes(const File& f, Header& h,
                             std::vector<unsigned char>& bytes) noexcept;

// ok while `f` is still the file at `path` (`now`: its stamp_of) and
// holds what was read from it: the header `bytes`, and the last record of
// `index` that lies whole within now.size, walked again. So a file cut
// back passes, while one rewritten from its start fails even with an
// identical header. replaced(...) when not; errors of the reading as
// their status. A path that names no file any more is no replacement:
// the open file still holds what was indexed.
Status check_not_replaced(const File& f, const char* path,
                          const FileStamp& now, const Header& h,
                          const std::vector<unsigned char>& bytes,
                          const RecordIndex& index) noexcept;

}  // namespace lma
