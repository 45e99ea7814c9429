// Decoding of one event record. Record layout (little-endian, packed):
//
//   tag           int32
//   horpos        float64           passed over
//   then, per channel in use, in the order of Header::channels:
//     count       int16             m partial pulses; m <= 0 means none
//     m times:
//       first     int32             index of the pulse's first sample
//       length    int32             L
//       samples   L x int16
//
// The decoder walks the record and hands each partial pulse, with the stream
// standing at its samples, to a sink that reads and places them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <type_traits>

#include "lma/header.hpp"
#include "lma/status.hpp"

namespace lma {

struct Pulse {
    std::int32_t first;
    std::int32_t length;
};

class EventSink {
public:
    // Called once per record before anything is read.
    virtual Status begin_event() = 0;
    // `in` stands at the pulse's samples; the sink must consume exactly
    // them or fail. `row` is the position of the channel in Header::channels.
    virtual Status take_pulse(std::FILE* in, std::size_t row, Pulse p) = 0;

protected:
    ~EventSink() = default;
};

// Decodes the record at the current position of `in`. On success the stream
// stands after the record and `tag` holds its tag.
Status read_event(std::FILE* in, const Header& h, EventSink& sink,
                  std::int32_t& tag);

// Growable sample storage that is never zero-filled, so a corrupt length
// costs memory only for the samples actually present in the file.
class SampleBuffer {
public:
    SampleBuffer() noexcept = default;
    SampleBuffer(const SampleBuffer&) = delete;
    SampleBuffer& operator=(const SampleBuffer&) = delete;
    ~SampleBuffer();

    std::int16_t* data() noexcept { return data_; }
    // Room for `n` samples, keeping those stored; false when out of memory.
    bool reserve(std::size_t n) noexcept;
    // Gives back memory held for an unusually long pulse.
    void trim() noexcept;

private:
    std::int16_t* data_ = nullptr;
    std::size_t capacity_ = 0;
};

// Reads `length` (> 0) int16 samples in growing chunks. A short read gives
// Errc::read with the number of samples that were read.
Status read_samples(std::FILE* in, std::size_t length, SampleBuffer& buf);

// The part of a row of `n` samples that the slice [first, first + length)
// covers under Python's slice rules (negative bounds count from the end,
// bounds past either end are clipped).
struct Span {
    std::int64_t start;
    std::int64_t length;
};
// Inline: it runs for every pulse decoded.
inline Span clip_slice(std::int64_t first, std::int64_t length,
                       std::int64_t n) noexcept {
    auto clip = [n](std::int64_t i) {
        if (i < 0) {
            i += n;
            return i < 0 ? std::int64_t{0} : i;
        }
        return i > n ? n : i;
    };
    // Both bounds fit in int64 for int32 inputs, so nothing wraps here.
    const std::int64_t start = clip(first);
    const std::int64_t stop = clip(first + length);
    return {start, stop > start ? stop - start : 0};
}

// Checks that a pulse of `length` samples at `first` fits its clipped slice
// of a row of `nsamples`: it must fill the slice exactly, except that one
// sample is broadcast over it. `span` gets the slice; a misfit gives
// Errc::broadcast with the pulse length and the slice length.
inline Status fit_pulse(std::int32_t first, std::size_t length,
                        std::int64_t nsamples, Span& span) noexcept {
    span = clip_slice(first, static_cast<std::int64_t>(length), nsamples);
    if (static_cast<std::size_t>(span.length) != length && length != 1) {
        return {Errc::broadcast, static_cast<long>(length),
                static_cast<long>(span.length)};
    }
    return ok();
}

// The value a raw sample becomes in a trace of element type T. float64 is
// the reference: gain * (double(raw) - double(baseline)), the difference
// exact and multiplied once; float32 rounds that; int16 keeps the raw
// sample, so the caller can calibrate later with the same rule.
template <class T>
T calibrate(std::int16_t raw, const Channel& ch) noexcept {
    if constexpr (std::is_same_v<T, std::int16_t>) {
        return raw;
    } else {
        const double v = ch.gain * (static_cast<double>(raw) -
                                    static_cast<double>(ch.baseline));
        return static_cast<T>(v);
    }
}

// The value of a sample no pulse covers: 0.0 calibrated, the baseline raw
// (which calibrates to 0.0). A baseline is an int16 on disk.
template <class T>
T uncovered(const Channel& ch) noexcept {
    if constexpr (std::is_same_v<T, std::int16_t>) {
        return static_cast<std::int16_t>(ch.baseline);
    } else {
        return T(0);
    }
}

// Writes a pulse that fits `span` (as fit_pulse found it) into `row`.
template <class T, class Samples>
void place_fitted(T* row, const Span& span, const Channel& ch,
                  const Samples& raw, std::size_t length) noexcept {
    T* dst = row + span.start;
    if (static_cast<std::size_t>(span.length) == length) {
        for (std::size_t k = 0; k < length; ++k) {
            dst[k] = calibrate<T>(raw[k], ch);
        }
    } else {
        std::fill_n(dst, span.length, calibrate<T>(raw[0], ch));
    }
}

// Writes the pulse's values into `row` (T: double, float or int16_t) under
// the slice rules above; a misfit writes nothing. `raw[k]` gives sample k
// in host order (an int16_t pointer, or a view over little-endian bytes).
template <class T, class Samples>
Status place_pulse(T* row, std::int64_t nsamples, const Channel& ch,
                   std::int32_t first, const Samples& raw,
                   std::size_t length) noexcept {
    Span span{};
    Status s = fit_pulse(first, length, nsamples, span);
    if (s.ok()) {
        place_fitted(row, span, ch, raw, length);
    }
    return s;
}

// A sink that reads samples into its own buffer and calibrates them into
// caller-supplied row-major traces of nchannels x nsamples doubles.
class TraceSink : public EventSink {
public:
    TraceSink(const Header& h, SampleBuffer& buf) noexcept
        : header_(h), buf_(buf) {}
    Status take_pulse(std::FILE* in, std::size_t row, Pulse p) override;

protected:
    ~TraceSink() = default;
    void set_traces(double* traces) noexcept { traces_ = traces; }

private:
    const Header& header_;
    SampleBuffer& buf_;
    double* traces_ = nullptr;
};

}  // namespace lma
