// The size and modification time of an open File, taken together: what
// tells a reopened file apart from the one an index was made for.
#pragma once

#include <cstdint>

#include "lma/file.hpp"
#include "lma/status.hpp"

namespace lma {

struct FileStamp {
    std::int64_t size = 0;
    std::int64_t mtime_ns = 0;  // nanoseconds since the epoch

    friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// One fstat of the descriptor. Errc::os with errno on failure,
// Errc::closed for a closed File.
Status stamp_of(const File& f, FileStamp& out) noexcept;

}  // namespace lma
