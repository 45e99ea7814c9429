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

// The same loop for AVX2 as well, taken when the processor (and the
// system) has it: four values per instruction, written out with
// intrinsics so that it does not depend on what the optimiser makes of
// the loop above. It does the same IEEE operations on each value, one
// rounding each, and FMA is not enabled, so the results are the same bit
// for bit.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define LMA_WIDE_RUNS 1

// Four values from four samples at `raw`.
__attribute__((target("avx2"))) inline __m256d four(
    const unsigned char* raw, __m256d gain, __m256d baseline) noexcept {
    const __m128i s16 =
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(raw));
    const __m256d v = _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(s16));
    return _mm256_mul_pd(gain, _mm256_sub_pd(v, baseline));
}

// How four values leave the registers. Streamed stores bypass the caches
// and need an address aligned to `align` bytes; float is the double
// rounded once, as calibrate<float> does.
template <bool Streamed>
struct Doubles {
    static constexpr std::size_t align = Streamed ? 32 : 1;
    static constexpr bool streamed = Streamed;
    __attribute__((target("avx2"))) static void put(double* p,
                                                    __m256d v) noexcept {
        if constexpr (Streamed) {
            _mm256_stream_pd(p, v);
        } else {
            _mm256_storeu_pd(p, v);
        }
    }
};

template <bool Streamed>
struct Floats {
    static constexpr std::size_t align = Streamed ? 16 : 1;
    static constexpr bool streamed = Streamed;
    __attribute__((target("avx2"))) static void put(float* p,
                                                    __m256d v) noexcept {
        if constexpr (Streamed) {
            _mm_stream_ps(p, _mm256_cvtpd_ps(v));
        } else {
            _mm_storeu_ps(p, _mm256_cvtpd_ps(v));
        }
    }
};

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

// Whole blocks of four go through Put, the ends through run(). Every
// path that issues a streamed store ends in the fence below.
template <class T, class Put>
__attribute__((target("avx2"))) void run_avx2(T* dst,
                                              const unsigned char* raw,
                                              std::size_t n,
                                              const Channel& ch) noexcept {
    if (Put::streamed && n < kStreamRun) {
        run(dst, raw, n, ch);  // ordinary stores only: no fence needed
        return;
    }
    std::size_t k = unaligned_head(dst, n, Put::align);
    run(dst, raw, k, ch);
    const __m256d gain = _mm256_set1_pd(ch.gain);
    const __m256d baseline = _mm256_set1_pd(static_cast<double>(ch.baseline));
    for (; k + 4 <= n; k += 4) {
        Put::put(dst + k, four(raw + 2 * k, gain, baseline));
    }
    run(dst + k, raw + 2 * k, n - k, ch);
    if (Put::streamed) {
        // Streamed stores are weakly ordered: they may still sit in
        // write-combining buffers after later stores, the release of the
        // file's lock among them, are visible. Without this fence another
        // thread that reads the output once the lock is released may see
        // stale data.
        _mm_sfence();
    }
}

bool wide() noexcept {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

template <class T>
Run<T> pick(bool stream) noexcept {
#ifdef LMA_WIDE_RUNS
    if (wide()) {
        if constexpr (std::is_same_v<T, double>) {
            return stream ? run_avx2<T, Doubles<true>>
                          : run_avx2<T, Doubles<false>>;
        } else {
            return stream ? run_avx2<T, Floats<true>>
                          : run_avx2<T, Floats<false>>;
        }
    }
#endif
    (void)stream;
    return run<T>;
}

}  // namespace

Run<double> run_for(const double*, bool stream) noexcept {
    return pick<double>(stream);
}

Run<float> run_for(const float*, bool stream) noexcept {
    return pick<float>(stream);
}

Run<std::int16_t> run_for(const std::int16_t*, bool) noexcept {
    return run<std::int16_t>;
}

}  // namespace lma::detail
