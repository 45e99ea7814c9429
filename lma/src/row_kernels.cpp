#include "row_kernels.hpp"

#include <algorithm>
#include <limits>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

#include "record.hpp"

namespace lma::detail {

namespace {

// Bounds beyond the int16 range hold no more samples, and a wider
// interval would overflow the width below.
bool clamp(std::int32_t& lo, std::int32_t& hi) noexcept {
    lo = std::max(lo, kRawMin);
    hi = std::min(hi, kRawMax);
    return lo <= hi;
}

std::size_t find(const unsigned char* bytes, std::size_t n, std::int32_t lo,
                 std::int32_t hi) noexcept {
    if (!clamp(lo, hi)) {
        return n;
    }
    const LeSamples raw{bytes};
    const auto width = static_cast<std::uint32_t>(hi - lo);
    auto in = [&](std::size_t k) {
        return static_cast<std::uint32_t>(raw[k] - lo) <= width;
    };
    constexpr std::size_t kBlock = 16;
    std::size_t k = 0;
    // Blocks are tested whole first, a test that vectorises: most samples
    // are passed over. Short runs, the usual pulse, are cheaper tested
    // one by one.
    for (; n >= 4 * kBlock && k + kBlock <= n; k += kBlock) {
        bool any = false;
        for (std::size_t j = 0; j < kBlock; ++j) {
            any |= in(k + j);
        }
        if (any) {
            break;
        }
    }
    for (; k < n; ++k) {
        if (in(k)) {
            return k;
        }
    }
    return n;
}

std::size_t runs(const Segment* segs, std::size_t nsegs, std::int64_t a,
                 std::int64_t b, std::int32_t lo, std::int32_t hi, bool high,
                 std::int64_t, RawRun* out) noexcept {
    if (!clamp(lo, hi)) {
        return 0;
    }
    const auto width = static_cast<std::uint32_t>(hi - lo);
    std::size_t count = 0;
    for (std::size_t i = 0; i < nsegs; ++i) {
        const Segment& s = segs[i];
        const std::int64_t s0 = std::max(s.start, a);
        const std::int64_t s1 = std::min(s.end(), b);
        if (s0 >= b) {
            break;
        }
        if (s1 <= s0) {
            continue;
        }
        const LeSamples raw{s.raw +
                            2 * static_cast<std::size_t>(s0 - s.start)};
        const auto n = static_cast<std::size_t>(s1 - s0);
        auto in = [&](std::size_t k) {
            return static_cast<std::uint32_t>(raw[k] - lo) <= width;
        };
        for (std::size_t k = 0; k < n;) {
            if (!in(k)) {
                ++k;
                continue;
            }
            RawRun r{s0 + static_cast<std::int64_t>(k),
                     0,
                     0,
                     raw[k],
                     0,
                     0,
                     false,
                     k > 0,
                     k > 0 ? raw[k - 1] : 0,
                     raw[k]};
            std::size_t at = k;
            for (; k < n && in(k); ++k) {
                const std::int32_t v = raw[k];
                r.sum += v;
                if (high ? v > r.best : v < r.best) {
                    r.best = v;
                    at = k;
                }
            }
            r.j = s0 + static_cast<std::int64_t>(k);
            r.at = s0 + static_cast<std::int64_t>(at);
            out[count++] = r;
        }
    }
    return count;
}

// The same for AVX2, sixteen samples per instruction, written out with
// intrinsics. Only integers: the results are the loops' above exactly.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define LMA_WIDE_ROWS 1

// The extremes of eight signed lanes by the unsigned-minimum instruction:
// flipping the sign bit orders signed values as unsigned ones, and
// flipping every bit turns the maximum into the minimum.
__attribute__((target("avx2"))) inline std::int32_t min8(__m128i v) noexcept {
    const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
    const auto m = static_cast<std::uint16_t>(
        _mm_cvtsi128_si32(_mm_minpos_epu16(_mm_xor_si128(v, flip))));
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(m ^ 0x8000u));
}

__attribute__((target("avx2"))) inline std::int32_t max8(__m128i v) noexcept {
    const __m128i flip = _mm_set1_epi16(0x7fff);
    const auto m = static_cast<std::uint16_t>(
        _mm_cvtsi128_si32(_mm_minpos_epu16(_mm_xor_si128(v, flip))));
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(m ^ 0x7fffu));
}

__attribute__((target("avx2"))) inline std::int32_t sum4(__m128i v) noexcept {
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0x4e));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0xb1));
    return _mm_cvtsi128_si32(v);
}

__attribute__((target("avx2"))) inline std::int32_t sum8(__m256i v) noexcept {
    return sum4(_mm_add_epi32(_mm256_castsi256_si128(v),
                              _mm256_extracti128_si256(v, 1)));
}

// One segment's part: its extremes are found in registers of its own,
// while the sum goes on in `part` across segments, as many samples as
// int32 lanes hold, so that it is taken out of the registers once per row
// rather than per segment.
__attribute__((target("avx2"))) RowStats
row_avx2(const Segment* segs, std::size_t nsegs, std::int64_t a,
         std::int64_t b, RawRange* spans) noexcept {
    RowStats x{0, 0, kRawMax, kRawMin};
    const __m256i ones = _mm256_set1_epi16(1);
    __m256i part = _mm256_setzero_si256();
    std::size_t pending = 0;  // samples added into `part`
    for (std::size_t i = 0; i < nsegs; ++i) {
        const Segment& s = segs[i];
        const std::int64_t s0 = std::max(s.start, a);
        const std::int64_t s1 = std::min(s.end(), b);
        if (s0 >= b) {
            break;
        }
        if (s1 <= s0) {
            spans[i] = RawRange{};
            continue;
        }
        const unsigned char* bytes =
            s.raw + 2 * static_cast<std::size_t>(s0 - s.start);
        const auto n = static_cast<std::size_t>(s1 - s0);
        __m256i mx = _mm256_set1_epi16(static_cast<short>(kRawMin));
        __m256i mn = _mm256_set1_epi16(static_cast<short>(kRawMax));
        std::size_t k = 0;
        while (n - k >= 16) {
            // Whole segments go into `part` while it has room, the usual
            // case, so the loop below is the segment's.
            if (pending + (n - k) > kSumPart) {
                x.sum += sum8(part);
                part = _mm256_setzero_si256();
                pending = 0;
            }
            const std::size_t take =
                std::min(n - k, kSumPart) & ~std::size_t{15};
            for (const std::size_t stop = k + take; k < stop; k += 16) {
                const __m256i v = _mm256_loadu_si256(
                    reinterpret_cast<const __m256i*>(bytes + 2 * k));
                mx = _mm256_max_epi16(mx, v);
                mn = _mm256_min_epi16(mn, v);
                // Pairs of samples widen to int32 lanes as they are added.
                part = _mm256_add_epi32(part, _mm256_madd_epi16(v, ones));
            }
            pending += take;
        }
        __m128i mx8 = _mm_max_epi16(_mm256_castsi256_si128(mx),
                                    _mm256_extracti128_si256(mx, 1));
        __m128i mn8 = _mm_min_epi16(_mm256_castsi256_si128(mn),
                                    _mm256_extracti128_si256(mn, 1));
        if (n - k >= 8) {
            const __m128i v = _mm_loadu_si128(
                reinterpret_cast<const __m128i*>(bytes + 2 * k));
            mx8 = _mm_max_epi16(mx8, v);
            mn8 = _mm_min_epi16(mn8, v);
            x.sum += sum4(_mm_madd_epi16(v, _mm_set1_epi16(1)));
            k += 8;
        }
        std::int32_t hi = max8(mx8), lo = min8(mn8);
        const LeSamples raw{bytes};
        for (; k < n; ++k) {
            const std::int32_t v = raw[k];
            hi = std::max(hi, v);
            lo = std::min(lo, v);
            x.sum += v;
        }
        spans[i] = {lo, hi};
        x.max = std::max(x.max, hi);
        x.min = std::min(x.min, lo);
        x.covered += s1 - s0;
    }
    x.sum += sum8(part);
    return x;
}

__attribute__((target("avx2"))) std::size_t
find_avx2(const unsigned char* bytes, std::size_t n, std::int32_t lo,
          std::int32_t hi) noexcept {
    if (!clamp(lo, hi)) {
        return n;
    }
    std::size_t k = 0;
    const __m256i vlo = _mm256_set1_epi16(static_cast<short>(lo));
    const __m256i vhi = _mm256_set1_epi16(static_cast<short>(hi));
    for (; n - k >= 16; k += 16) {
        const __m256i v = _mm256_loadu_si256(
            reinterpret_cast<const __m256i*>(bytes + 2 * k));
        const __m256i out = _mm256_or_si256(_mm256_cmpgt_epi16(vlo, v),
                                            _mm256_cmpgt_epi16(v, vhi));
        const auto in =
            ~static_cast<std::uint32_t>(_mm256_movemask_epi8(out));
        if (in != 0) {
            return k + static_cast<std::size_t>(__builtin_ctz(in)) / 2;
        }
    }
    if (n - k >= 8) {
        const __m128i v =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 2 * k));
        const __m128i out =
            _mm_or_si128(_mm_cmpgt_epi16(_mm256_castsi256_si128(vlo), v),
                         _mm_cmpgt_epi16(v, _mm256_castsi256_si128(vhi)));
        const auto in =
            ~static_cast<std::uint32_t>(_mm_movemask_epi8(out)) & 0xffffu;
        if (in != 0) {
            return k + static_cast<std::size_t>(__builtin_ctz(in)) / 2;
        }
        k += 8;
    }
    const LeSamples raw{bytes};
    for (; k < n; ++k) {
        if (lo <= raw[k] && raw[k] <= hi) {
            return k;
        }
    }
    return n;
}

// The first of samples [k, n) in [vlo, vhi] (lanes of one value), or n.
__attribute__((target("avx2"))) inline std::size_t
first_in(const unsigned char* bytes, std::size_t n, std::size_t k,
         __m256i vlo, __m256i vhi) noexcept {
    for (; n - k >= 16; k += 16) {
        const __m256i v = _mm256_loadu_si256(
            reinterpret_cast<const __m256i*>(bytes + 2 * k));
        const __m256i out = _mm256_or_si256(_mm256_cmpgt_epi16(vlo, v),
                                            _mm256_cmpgt_epi16(v, vhi));
        const auto in =
            ~static_cast<std::uint32_t>(_mm256_movemask_epi8(out));
        if (in != 0) {
            return k + static_cast<std::size_t>(__builtin_ctz(in)) / 2;
        }
    }
    if (k == n) {
        return n;
    }
    if (n >= 16) {
        // The last block again, overlapping: its lanes before k are not
        // asked about.
        const std::size_t base = n - 16;
        const __m256i v = _mm256_loadu_si256(
            reinterpret_cast<const __m256i*>(bytes + 2 * base));
        const __m256i out = _mm256_or_si256(_mm256_cmpgt_epi16(vlo, v),
                                            _mm256_cmpgt_epi16(v, vhi));
        const auto in =
            ~static_cast<std::uint32_t>(_mm256_movemask_epi8(out)) >>
            (2 * (k - base));
        return in != 0 ? k + static_cast<std::size_t>(__builtin_ctz(in)) / 2
                       : n;
    }
    const LeSamples raw{bytes};
    const auto lo = static_cast<std::int16_t>(_mm256_extract_epi16(vlo, 0));
    const auto hi = static_cast<std::int16_t>(_mm256_extract_epi16(vhi, 0));
    for (; k < n; ++k) {
        if (lo <= raw[k] && raw[k] <= hi) {
            return k;
        }
    }
    return n;
}

// Whole blocks of a run are summed and their extremes kept in registers;
// the block where the run ends takes part up to its end only, the run's
// first sample filling the other lanes, which leaves the extreme as it
// is. Where the extreme first is comes from a second look from the run's
// start, which a pulse's early peak keeps short.
__attribute__((target("avx2"))) std::size_t
runs_avx2(const Segment* segs, std::size_t nsegs, std::int64_t a,
          std::int64_t b, std::int32_t lo, std::int32_t hi, bool high,
          std::int64_t after, RawRun* out) noexcept {
    if (!clamp(lo, hi)) {
        return 0;
    }
    const auto width = static_cast<std::uint32_t>(hi - lo);
    const __m256i vlo = _mm256_set1_epi16(static_cast<short>(lo));
    const __m256i vhi = _mm256_set1_epi16(static_cast<short>(hi));
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256i lane = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9,
                                           10, 11, 12, 13, 14, 15);
    std::size_t count = 0;
    for (std::size_t i = 0; i < nsegs; ++i) {
        const Segment& s = segs[i];
        const std::int64_t s0 = std::max(s.start, a);
        const std::int64_t s1 = std::min(s.end(), b);
        if (s0 >= b) {
            break;
        }
        if (s1 <= s0) {
            continue;
        }
        const unsigned char* bytes =
            s.raw + 2 * static_cast<std::size_t>(s0 - s.start);
        const LeSamples raw{bytes};
        const auto n = static_cast<std::size_t>(s1 - s0);
        std::size_t k = 0;
        while ((k = first_in(bytes, n, k, vlo, vhi)) < n) {
            const std::size_t start = k;
            const __m256i first = _mm256_set1_epi16(raw[k]);
            __m256i best = first;
            __m256i part = _mm256_setzero_si256();
            // The run's first block, its lanes past the run 0: the head
            // is there when it is short.
            __m256i head = _mm256_setzero_si256();
            const bool whole_block = n - k >= 16;
            std::size_t pending = 0;  // samples added into `part`
            std::int64_t sum = 0;
            bool ended = false;
            while (!ended && n - k >= 16) {
                __m256i v = _mm256_loadu_si256(
                    reinterpret_cast<const __m256i*>(bytes + 2 * k));
                const auto mask = static_cast<std::uint32_t>(
                    _mm256_movemask_epi8(_mm256_or_si256(
                        _mm256_cmpgt_epi16(vlo, v),
                        _mm256_cmpgt_epi16(v, vhi))));
                std::size_t take = 16;
                if (mask != 0) {
                    take = static_cast<std::size_t>(__builtin_ctz(mask)) / 2;
                    const __m256i in = _mm256_cmpgt_epi16(
                        _mm256_set1_epi16(static_cast<short>(take)), lane);
                    v = _mm256_blendv_epi8(first, v, in);
                    const __m256i kept = _mm256_and_si256(v, in);
                    part = _mm256_add_epi32(part,
                                            _mm256_madd_epi16(kept, ones));
                    head = k == start ? kept : head;
                    ended = true;
                } else {
                    part = _mm256_add_epi32(part, _mm256_madd_epi16(v, ones));
                    head = k == start ? v : head;
                    pending += 16;
                }
                best = high ? _mm256_max_epi16(best, v)
                            : _mm256_min_epi16(best, v);
                k += take;
                if (pending == kSumPart) {
                    sum += sum8(part);
                    part = _mm256_setzero_si256();
                    pending = 0;
                }
            }
            sum += sum8(part);
            const __m128i lo8 = _mm256_castsi256_si128(best);
            const __m128i hi8 = _mm256_extracti128_si256(best, 1);
            std::int32_t top = high ? max8(_mm_max_epi16(lo8, hi8))
                                    : min8(_mm_min_epi16(lo8, hi8));
            for (; !ended && k < n &&
                   static_cast<std::uint32_t>(raw[k] - lo) <= width;
                 ++k) {
                const std::int32_t v = raw[k];
                sum += v;
                top = high ? std::max(top, v) : std::min(top, v);
            }
            const __m256i vtop = _mm256_set1_epi16(static_cast<short>(top));
            const std::size_t at = first_in(bytes, k, start, vtop, vtop);
            RawRun& r = out[count++];
            r = {s0 + static_cast<std::int64_t>(start),
                 s0 + static_cast<std::int64_t>(k),
                 sum,
                 top,
                 s0 + static_cast<std::int64_t>(at),
                 0,
                 false,
                 start > 0,
                 start > 0 ? raw[start - 1] : 0,
                 raw[start]};
            const auto peak = static_cast<std::int64_t>(at - start);
            if (whole_block && after >= 0 && after <= 16 - peak) {
                const __m256i in = _mm256_cmpgt_epi16(
                    _mm256_set1_epi16(static_cast<short>(peak + after)),
                    lane);
                r.head = sum8(_mm256_madd_epi16(
                    _mm256_and_si256(head, in), ones));
                r.has_head = true;
            }
        }
    }
    return count;
}

bool wide() noexcept {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

}  // namespace

RowKernels portable_row_kernels() noexcept {
    return {portable_row, find, runs};
}

RowKernels wide_row_kernels() noexcept {
#ifdef LMA_WIDE_ROWS
    if (wide()) {
        return {row_avx2, find_avx2, runs_avx2};
    }
#endif
    return {nullptr, nullptr, nullptr};
}

RowKernels row_kernels() noexcept {
    const RowKernels w = wide_row_kernels();
    return w.row != nullptr ? w : portable_row_kernels();
}

}  // namespace lma::detail
