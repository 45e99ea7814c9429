#include "lma/file.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace lma {

namespace {

Status os_error(int err) noexcept { return {Errc::os, err}; }

}  // namespace

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        (void)close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

File::~File() { (void)close(); }

Status File::open(const char* path, File& out) noexcept {
    (void)out.close();
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return os_error(errno);
    }
    // Opening a directory read-only succeeds; reading it would not.
    struct stat st;
    int err = ::fstat(fd, &st) != 0 ? errno : 0;
    if (err == 0 && S_ISDIR(st.st_mode)) {
        err = EISDIR;
    }
    if (err != 0) {
        ::close(fd);
        return os_error(err);
    }
    out.fd_ = fd;
    return ok();
}

Status File::read_at(std::int64_t offset, void* dst, std::size_t n,
                     std::size_t& got) const noexcept {
    got = 0;
    if (fd_ < 0) {
        return {Errc::closed, 0};
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

Status File::size(std::int64_t& out) const noexcept {
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
