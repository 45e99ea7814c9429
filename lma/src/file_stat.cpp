#include "lma/file_stat.hpp"

#include <sys/stat.h>

#include <cerrno>

namespace lma {

Status stamp_of(const File& f, FileStamp& out) noexcept {
    if (!f.is_open()) {
        return {Errc::closed, 0};
    }
    struct stat st {};
    if (::fstat(f.fd(), &st) != 0) {
        return {Errc::os, errno};
    }
    out.size = static_cast<std::int64_t>(st.st_size);
    out.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) *
                       1'000'000'000 +
                   st.st_mtim.tv_nsec;
    return ok();
}

}  // namespace lma
