#include "lma/file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace lma {

namespace {

Status os_error(int err) noexcept { return {Errc::os, err}; }

}  // namespace

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      memory_(std::exchange(other.memory_, nullptr)),
      base_(other.base_),
      length_(other.length_) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        (void)close();
        fd_ = std::exchange(other.fd_, -1);
        memory_ = std::exchange(other.memory_, nullptr);
        base_ = other.base_;
        length_ = other.length_;
    }
    return *this;
}

File::~File() { (void)close(); }

Status File::open(const char* path, File& out) noexcept {
    (void)out.close();
    // Non-blocking, so that a FIFO without a writer is refused below
    // instead of waiting for one.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return os_error(errno);
    }
    // Opening a directory read-only succeeds; reading it would not.
    struct stat st;
    Status s = ok();
    if (::fstat(fd, &st) != 0) {
        s = os_error(errno);
    } else if (S_ISDIR(st.st_mode)) {
        s = os_error(EISDIR);
    } else if (!S_ISREG(st.st_mode)) {
        s = {Errc::not_regular, 0};
    } else {
        // Reads of a regular file then block as usual.
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            s = os_error(errno);
        }
    }
    if (!s.ok()) {
        ::close(fd);
        return s;
    }
    out.fd_ = fd;
    return ok();
}

Status File::read_at(std::int64_t offset, void* dst, std::size_t n,
                     std::size_t& got) const noexcept {
    got = 0;
    if (fd_ < 0) {
        return read_memory(offset, dst, n, got);
    }
    if (offset < 0) {
        return os_error(EINVAL);
    }
    auto* out = static_cast<unsigned char*>(dst);
    while (got < n) {
        const ssize_t r = ::pread(fd_, out + got, n - got,
                                  static_cast<off_t>(offset) +
                                      static_cast<off_t>(got));
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return os_error(errno);
        }
        if (r == 0) {
            break;  // end of file
        }
        got += static_cast<std::size_t>(r);
    }
    return ok();
}

Status File::read_memory(std::int64_t offset, void* dst, std::size_t n,
                         std::size_t& got) const noexcept {
    if (memory_ == nullptr) {
        return {Errc::closed, 0};
    }
    if (offset < base_) {
        return os_error(EINVAL);
    }
    const std::int64_t end = base_ + static_cast<std::int64_t>(length_);
    if (offset >= end) {
        return ok();  // past the bytes: the end of this file
    }
    got = static_cast<std::size_t>(
        std::min<std::int64_t>(end - offset, static_cast<std::int64_t>(n)));
    std::memcpy(dst, memory_ + (offset - base_), got);
    return ok();
}

Status File::size(std::int64_t& out) const noexcept {
    if (memory_ != nullptr) {
        out = base_ + static_cast<std::int64_t>(length_);
        return ok();
    }
    if (fd_ < 0) {
        return {Errc::closed, 0};
    }
    struct stat st;
    if (::fstat(fd_, &st) != 0) {
        return os_error(errno);
    }
    out = static_cast<std::int64_t>(st.st_size);
    return ok();
}

Status File::close() noexcept {
    memory_ = nullptr;
    const int fd = std::exchange(fd_, -1);
    // On Linux the descriptor is gone even when close fails, so it is
    // never retried (a retry could close another thread's new file).
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) {
        return os_error(errno);
    }
    return ok();
}

Status read_header(const File& f, Header& h) noexcept {
    if (!f.is_open()) {
        return {Errc::closed, 0};
    }
    // The duplicate shares the file offset with f's descriptor, which
    // positional reads never use, so the stream's seeks disturb nobody.
    const int fd = ::fcntl(f.fd(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        return os_error(errno);
    }
    std::FILE* in = ::fdopen(fd, "rb");
    if (in == nullptr) {
        const int err = errno;
        ::close(fd);
        return os_error(err);
    }
    Status s = read_header(in, h);
    std::fclose(in);
    return s;
}

}  // namespace lma
