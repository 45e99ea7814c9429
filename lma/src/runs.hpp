// Calibration of a run of little-endian samples into a row, the hot loop
// of range decoding. The rule is calibrate<T>'s; only the width of the
// registers it runs in changes with the processor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lma/header.hpp"

namespace lma::detail {

// dst[k] = calibrate<T>(sample k of `raw`), k < n.
template <class T>
using Run = void (*)(T* dst, const unsigned char* raw, std::size_t n,
                     const Channel& ch) noexcept;

// The run loop for this processor, chosen once per range rather than per
// pulse. With `stream`, long runs of floating-point values bypass the
// caches on their way to memory: for output far larger than cache, which
// would only push out other data and, first, be read in for nothing.
Run<double> run_for(const double*, bool stream) noexcept;
Run<float> run_for(const float*, bool stream) noexcept;
Run<std::int16_t> run_for(const std::int16_t*, bool stream) noexcept;

}  // namespace lma::detail
