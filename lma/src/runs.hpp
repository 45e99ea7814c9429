// Calibration of a run of little-endian samples into a row, the hot loop
// of range decoding. The rule is calibrate<T>'s; only the width of the
// registers it runs in changes with the processor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lma/header.hpp"

namespace lma::detail {

// dst[k] = calibrate<T>(sample k of `raw`), k < n.
void calibrate_run(double* dst, const unsigned char* raw, std::size_t n,
                   const Channel& ch) noexcept;
void calibrate_run(float* dst, const unsigned char* raw, std::size_t n,
                   const Channel& ch) noexcept;
void calibrate_run(std::int16_t* dst, const unsigned char* raw,
                   std::size_t n, const Channel& ch) noexcept;

}  // namespace lma::detail
