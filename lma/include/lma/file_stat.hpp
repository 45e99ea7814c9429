// The size, modification time and identity of an open File, taken
// together: what tells a reopened file apart from the one an index was
// made for.
#pragma once

#include <cstdint>
#include <string>

#include "lma/file.hpp"
#include "lma/status.hpp"

namespace lma {

struct FileStamp {
    std::int64_t size = 0;
    std::int64_t mtime_ns = 0;  // nanoseconds since the epoch
    std::uint64_t device = 0;
    std::uint64_t inode = 0;

    friend bool operator==(const FileStamp&, const FileStamp&) = default;

    bool same_file(const FileStamp& other) const noexcept {
        return device == other.device && inode == other.inode;
    }
};

// One fstat of the descriptor. Errc::os with errno on failure,
// Errc::closed for a closed File.
Status stamp_of(const File& f, FileStamp& out) noexcept;

// One stat of `path`, following symbolic links as opening it does.
// Errc::os with errno on failure.
Status stamp_at(const char* path, FileStamp& out) noexcept;

// `path` made absolute against the current directory, so that it names
// the same file after a change of directory. Errc::os with errno when the
// current directory cannot be had, Errc::no_memory.
Status absolute_path(const std::string& path, std::string& out) noexcept;

}  // namespace lma
