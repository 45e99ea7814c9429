#include "runs.hpp"

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

bool wide() noexcept {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

template <class T>
void dispatch(T* dst, const unsigned char* raw, std::size_t n,
              const Channel& ch) noexcept {
#ifdef LMA_WIDE_RUNS
    if (wide()) {
        run_avx2(dst, raw, n, ch);
        return;
    }
#endif
    run(dst, raw, n, ch);
}

}  // namespace

void calibrate_run(double* dst, const unsigned char* raw, std::size_t n,
                   const Channel& ch) noexcept {
    dispatch(dst, raw, n, ch);
}

void calibrate_run(float* dst, const unsigned char* raw, std::size_t n,
                   const Channel& ch) noexcept {
    dispatch(dst, raw, n, ch);
}

void calibrate_run(std::int16_t* dst, const unsigned char* raw,
                   std::size_t n, const Channel& ch) noexcept {
    run(dst, raw, n, ch);
}

}  // namespace lma::detail
