#include "runs.hpp"

#include <cstdint>
#include <type_traits>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

#include "lma/event.hpp"
#include "record.hpp"

namespace lma::detail {

namespace {

template <class T>
inline void run(T* dst, const unsigned char* raw, std::size_t n,
                const Channel& ch) noexcept {
    const LeSamples samples{raw};
    for (std::size_t k = 0; k < n; ++k) {
        dst[k] = calibrate<T>(samples[k], ch);
    }
}

// The same loop built for AVX2 as well, taken when the processor (and the
// system) has it: four doubles per instruction instead of two. It does
// the same IEEE operations on each value, one rounding each, and FMA is
// not enabled, so the results are the same bit for bit.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define LMA_WIDE_RUNS 1

__attribute__((target("avx2"))) void run_avx2(double* dst,
                                              const unsigned char* raw,
                                              std::size_t n,
                                              const Channel& ch) noexcept {
    run(dst, raw, n, ch);
}

__attribute__((target("avx2"))) void run_avx2(float* dst,
                                              const unsigned char* raw,
                                              std::size_t n,
                                              const Channel& ch) noexcept {
    run(dst, raw, n, ch);
}

// Four values at a time, from four samples at `raw`: the loop above,
// written out so that its stores can bypass the caches.
__attribute__((target("avx2"))) inline __m256d four(
    const unsigned char* raw, __m256d gain, __m256d baseline) noexcept {
    const __m128i s16 =
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(raw));
    const __m256d v = _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(s16));
    return _mm256_mul_pd(gain, _mm256_sub_pd(v, baseline));
}

// Values before the first address aligned to `align` bytes.
template <class T>
std::size_t unaligned_head(const T* dst, std::size_t n,
                           std::size_t align) noexcept {
    std::size_t head = 0;
    while (head < n &&
           reinterpret_cast<std::uintptr_t>(dst + head) % align != 0) {
        ++head;
    }
    return head;
}

// Streaming pays only over many cache lines.
constexpr std::size_t kStreamRun = 64;

// How a type's values leave the AVX2 registers without the caches: from
// an address aligned to `align` bytes, four at a time. float is the double
// rounded once, as calibrate<float> does.
struct StreamDoubles {
    static constexpr std::size_t align = 32;
    __attribute__((target("avx2"))) static void put(double* p,
                                                    __m256d v) noexcept {
        _mm256_stream_pd(p, v);
    }
};

struct StreamFloats {
    static constexpr std::size_t align = 16;
    __attribute__((target("avx2"))) static void put(float* p,
                                                    __m256d v) noexcept {
        _mm_stream_ps(p, _mm256_cvtpd_ps(v));
    }
};

// Whole aligned blocks are streamed, the ends go through run(). Streamed
// stores are weakly ordered, so a fence makes them visible before
// anything written after the run, such as a lock's release.
template <class T, class Stream>
__attribute__((target("avx2"))) void stream_avx2(T* dst,
                                                 const unsigned char* raw,
                                                 std::size_t n,
                                                 const Channel& ch) noexcept {
    if (n < kStreamRun) {
        run(dst, raw, n, ch);
        return;
    }
    std::size_t k = unaligned_head(dst, n, Stream::align);
    run(dst, raw, k, ch);
    const __m256d gain = _mm256_set1_pd(ch.gain);
    const __m256d baseline = _mm256_set1_pd(static_cast<double>(ch.baseline));
    for (; k + 4 <= n; k += 4) {
        Stream::put(dst + k, four(raw + 2 * k, gain, baseline));
    }
    run(dst + k, raw + 2 * k, n - k, ch);
    _mm_sfence();
}

bool wide() noexcept {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

template <class T>
void plain(T* dst, const unsigned char* raw, std::size_t n,
           const Channel& ch) noexcept {
    run(dst, raw, n, ch);
}

template <class T>
Run<T> pick(bool stream) noexcept {
#ifdef LMA_WIDE_RUNS
    if (wide()) {
        using Stream = std::conditional_t<std::is_same_v<T, double>,
                                          StreamDoubles, StreamFloats>;
        return stream ? stream_avx2<T, Stream>
                      : static_cast<Run<T>>(run_avx2);
    }
#endif
    (void)stream;
    return plain<T>;
}

}  // namespace

Run<double> run_for(const double*, bool stream) noexcept {
    return pick<double>(stream);
}

Run<float> run_for(const float*, bool stream) noexcept {
    return pick<float>(stream);
}

Run<std::int16_t> run_for(const std::int16_t*, bool) noexcept {
    return plain<std::int16_t>;
}

}  // namespace lma::detail
