#include "lma/file_stat.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <vector>

namespace lma {

namespace {

void fill(const struct stat& st, FileStamp& out) noexcept {
    out.size = static_cast<std::int64_t>(st.st_size);
    out.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) *
                       1'000'000'000 +
                   st.st_mtim.tv_nsec;
    out.device = static_cast<std::uint64_t>(st.st_dev);
    out.inode = static_cast<std::uint64_t>(st.st_ino);
}

}  // namespace

Status stamp_of(const File& f, FileStamp& out) noexcept {
    if (!f.is_open()) {
        return {Errc::closed, 0};
    }
    struct stat st {};
    if (::fstat(f.fd(), &st) != 0) {
        return {Errc::os, errno};
    }
    fill(st, out);
    return ok();
}

Status stamp_at(const char* path, FileStamp& out) noexcept {
    struct stat st {};
    if (::stat(path, &st) != 0) {
        return {Errc::os, errno};
    }
    fill(st, out);
    return ok();
}

Status absolute_path(const std::string& path, std::string& out) noexcept {
    try {
        if (!path.empty() && path.front() == '/') {
            out = path;
            return ok();
        }
        std::vector<char> dir(256);
        while (::getcwd(dir.data(), dir.size()) == nullptr) {
            if (errno != ERANGE) {
                return {Errc::os, errno};
            }
            dir.resize(dir.size() * 2);
        }
        out = dir.data();
        out += '/';
        out += path;
        return ok();
    } catch (const std::bad_alloc&) {
        return {Errc::no_memory, 0};
    }
}

}  // namespace lma
