// Little-endian field reads and seeks on a C stream, for the decoder's
// reads. Every read asks for whole items and reports how many came.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "lma/status.hpp"

namespace lma {

// Swaps a little-endian value into host order (a no-op on x86 and arm64).
template <class T>
T from_le(T v) noexcept {
    if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
        unsigned char b[sizeof(T)];
        std::memcpy(b, &v, sizeof(T));
        for (std::size_t i = 0; i < sizeof(T) / 2; ++i) {
            unsigned char t = b[i];
            b[i] = b[sizeof(T) - 1 - i];
            b[sizeof(T) - 1 - i] = t;
        }
        std::memcpy(&v, b, sizeof(T));
    }
    return v;
}

// Reads `count` items of `size` bytes into `dst`.
inline Status read_items(std::FILE* in, void* dst, std::size_t size,
                         std::size_t count) noexcept {
    std::size_t got = std::fread(dst, size, count, in);
    if (got != count) {
        return {Errc::read, static_cast<long>(got)};
    }
    return ok();
}

// Reads one little-endian field of type T as one item of sizeof(T) bytes.
template <class T>
Status read_field(std::FILE* in, T& out) noexcept {
    static_assert(std::is_arithmetic_v<T>);
    unsigned char raw[sizeof(T)];
    Status s = read_items(in, raw, sizeof(T), 1);
    if (s.ok()) {
        T v;
        std::memcpy(&v, raw, sizeof(T));
        out = from_le(v);
    }
    return s;
}

inline Status seek(std::FILE* in, long offset, int whence) noexcept {
    int r = std::fseek(in, offset, whence);
    if (r != 0) {
        return {Errc::seek, r};
    }
    return ok();
}

// Passes over `n` bytes. A seek past the end of a regular file succeeds;
// the next read reports the short file.
inline Status skip(std::FILE* in, long n) noexcept {
    return seek(in, n, SEEK_CUR);
}

}  // namespace lma
