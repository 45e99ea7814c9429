#include "lma/replaced.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace lma {

namespace {


// The first `n` bytes of the file, fewer at its end.
Status read_prefix(const File& f, std::size_t n,
                   std::vector<unsigned char>& out) {
    out.resize(n);
    std::size_t got = 0;
    const Status s = f.read_at(0, out.data(), n, got);
    out.resize(got);
    return s;
}

// Bytes in memory as a C stream that behaves as a regular file: a seek
// past the end succeeds and the next read gets nothing, so the one header
// parser reports exactly what it reports on the file.
struct ByteStream {
    const std::vector<unsigned char>* bytes;
    off64_t pos = 0;

    static ssize_t read(void* cookie, char* dst, std::size_t n) {
        auto* s = static_cast<ByteStream*>(cookie);
        const auto size = static_cast<off64_t>(s->bytes->size());
        if (s->pos >= size) {
            return 0;
        }
        const auto take = static_cast<std::size_t>(
            std::min<off64_t>(size - s->pos, static_cast<off64_t>(n)));
        std::memcpy(dst, s->bytes->data() + s->pos, take);
        s->pos += static_cast<off64_t>(take);
        return static_cast<ssize_t>(take);
    }

    static int seek(void* cookie, off64_t* offset, int whence) {
        auto* s = static_cast<ByteStream*>(cookie);
        const off64_t base = whence == SEEK_SET   ? 0
                             : whence == SEEK_CUR ? s->pos
                                                  : static_cast<off64_t>(
                                                        s->bytes->size());
        if (*offset < -base) {
            errno = EINVAL;
            return -1;
        }
        s->pos = base + *offset;
        *offset = s->pos;
        return 0;
    }
};

}  // namespace

std::int64_t header_length(const Header& h) noexcept {
    return kGeneralBlockBytes +
           kChannelBlockBytes * std::max<std::int64_t>(h.nchannels, 0);
}

Status read_header_and_bytes(const File& f, Header& h,
                             std::vector<unsigned char>& bytes) noexcept {
    // One read of every byte a header can have, and the parse from those
    // bytes: reading the file twice could meet two contents.
    try {
        const Status s = read_prefix(f, kLongestHeaderBytes, bytes);
        if (!s.ok()) {
            return s;
        }
    } catch (const std::bad_alloc&) {
        return {Errc::no_memory, 0};
    }
    ByteStream stream{&bytes};
    std::FILE* in = ::fopencookie(&stream, "rb",
                                  {ByteStream::read, nullptr,
                                   ByteStream::seek, nullptr});
    if (in == nullptr) {
        return {Errc::os, errno};
    }
    h = Header{};
    Status parsed = read_header(in, h);
    std::fclose(in);
    std::int64_t size = 0;
    if (parsed.ok() && !(parsed = f.size(size)).ok()) {
        return parsed;
    }
    // The end of the file, not of the bytes read.
    h.pos_end = size;
    bytes.resize(static_cast<std::size_t>(std::min<std::int64_t>(
        header_length(h), static_cast<std::int64_t>(bytes.size()))));
    return parsed;
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
