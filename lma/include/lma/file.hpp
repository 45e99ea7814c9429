// A read-only file read by position (pread): no shared file offset, so any
// number of threads may read one File at once. Errors are Errc::os with
// errno as the value.
//
// A File may instead stand for bytes already in memory (see `over`): the
// bytes [base, base + length) of a file held elsewhere, fetched by the
// caller. Reads then copy from memory, and the file ends where the bytes
// do.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lma/header.hpp"
#include "lma/status.hpp"

namespace lma {

class File {
public:
    File() noexcept = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;  // closes what it held
    ~File();                                 // closes; errors are lost

    // Opens `path` read-only and close-on-exec into `out` (closing what
    // `out` held). A directory is refused with EISDIR, anything else that
    // is not a regular file with Errc::not_regular; neither blocks. An
    // interrupted open is not retried: it gives EINTR, and the caller,
    // which may have a signal to act on, decides.
    static Status open(const char* path, File& out) noexcept;

    // Takes ownership of an open descriptor (e.g. a memory file in tests);
    // it is closed with the File.
    static File adopt(int fd) noexcept {
        File f;
        f.fd_ = fd;
        return f;
    }

    // Borrows `length` bytes at `data`, standing for the file's bytes
    // [base, base + length): the caller keeps them alive and unchanged
    // while the File is used. Reads before `base` are refused (EINVAL):
    // those bytes were not fetched, and no answer about them is true.
    static File over(const unsigned char* data, std::int64_t base,
                     std::size_t length) noexcept {
        File f;
        f.memory_ = data != nullptr ? data : kNoBytes;
        f.base_ = base;
        f.length_ = length;
        return f;
    }

    bool is_open() const noexcept { return fd_ >= 0 || memory_ != nullptr; }
    int fd() const noexcept { return fd_; }

    // Reads up to `n` bytes at `offset` into `dst`; `got` is the number
    // read, fewer than `n` only at the end of the file (interrupted and
    // short reads are resumed). A negative offset is EINVAL; a closed file
    // is Errc::closed.
    Status read_at(std::int64_t offset, void* dst, std::size_t n,
                   std::size_t& got) const noexcept;

    // The file's current size in bytes.
    Status size(std::int64_t& out) const noexcept;

    // Closes the descriptor; a second close does nothing. The descriptor is
    // given up even when close reports an error.
    Status close() noexcept;

private:
    Status read_memory(std::int64_t offset, void* dst, std::size_t n,
                       std::size_t& got) const noexcept;

    static constexpr unsigned char kNoBytes[1] = {0};

    int fd_ = -1;
    const unsigned char* memory_ = nullptr;  // set for a File over bytes
    std::int64_t base_ = 0;
    std::size_t length_ = 0;
};

// Parses the header of `f` with the one header parser, read_header on a C
// stream, through a private duplicate of the descriptor. Same contract as
// that function: fields not reached keep their values; `h.pos_end` is the
// file size on success. Errc::os when the stream cannot be made. The
// duplicate shares the descriptor's offset: not for two threads at once on
// one File (positional reads may go on meanwhile).
Status read_header(const File& f, Header& h) noexcept;

}  // namespace lma
