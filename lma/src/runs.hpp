// Calibration of a run of little-endian samples into a row, the hot loop
// of range decoding. The rule is calibrate<T>'s; only the width of the
// registers it runs in changes with the processor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lma/header.hpp"

namespace lma::detail {

// dst[k] = calibrate<T>(sample k of `raw`), k < n. With `stream`, long
// runs of floating-point values may bypass the caches on their way to
// memory: for output far larger than cache, which would only push out
// other data and, first, be read in for nothing.
void calibrate_run(double* dst, const unsigned char* raw, std::size_t n,
                   const Channel& ch, bool stream) noexcept;
void calibrate_run(float* dst, const unsigned char* raw, std::size_t n,
                   const Channel& ch, bool stream) noexcept;
void calibrate_run(std::int16_t* dst, const unsigned char* raw,
                   std::size_t n, const Channel& ch, bool stream) noexcept;

}  // namespace lma::detail
