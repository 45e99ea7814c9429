// The decoder tests' own small harness: checks that count and report, and a
// little-endian byte builder. The build must not depend on a test framework
// being installed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "lma/stream.hpp"

namespace test {

inline int passed = 0;
inline int failed = 0;

inline void check(bool ok, const char* what, int line) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAIL line %d: %s\n", line, what);
    }
}

#define CHECK(cond) test::check((cond), #cond, __LINE__)

// Little-endian record builder.
struct Bytes {
    std::vector<unsigned char> b;
    template <class T>
    Bytes& put(T v) {
        v = lma::from_le(v);  // the swap is its own inverse
        unsigned char raw[sizeof(T)];
        std::memcpy(raw, &v, sizeof(T));
        b.insert(b.end(), raw, raw + sizeof(T));
        return *this;
    }
    Bytes& pad(std::size_t n) {
        b.insert(b.end(), n, 0);
        return *this;
    }
    Bytes& pulse(std::int32_t first, std::initializer_list<std::int16_t> s) {
        put(first).put(static_cast<std::int32_t>(s.size()));
        for (std::int16_t v : s) {
            put(v);
        }
        return *this;
    }
};

// Prints the totals in the form the test runners read; the exit status.
inline int summary() {
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace test
