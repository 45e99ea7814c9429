// The in-memory walk over one event record (layout in lma/event.hpp), shared
// by the scanner and the range decoder. It makes the checks that reading
// the record with read_event and TraceSink makes, in the same order and
// with the same statuses, but on bytes the caller provides, so it never
// reads the samples it only passes over.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "lma/event.hpp"
#include "lma/header.hpp"
#include "lma/status.hpp"
#include "lma/stream.hpp"

namespace lma::detail {

constexpr std::int64_t kTagBytes = 4;
constexpr std::int64_t kHorposBytes = 8;
constexpr std::int64_t kCountBytes = 2;
constexpr std::int64_t kInfoBytes = 8;
constexpr std::int64_t kSampleBytes = 2;

// Samples in little-endian bytes at any alignment, read as host int16.
struct LeSamples {
    const unsigned char* p;
    std::int16_t operator[](std::size_t k) const noexcept {
        std::int16_t v;
        std::memcpy(&v, p + k * sizeof v, sizeof v);
        return from_le(v);
    }
};

struct RecordHead {
    std::int32_t tag = 0;
    double horpos = 0.0;  // NaN when its bytes are past the end
    std::int64_t end = 0;
};

// A Source gives the bytes of the file up to its limit():
//   std::size_t get(std::int64_t pos, std::size_t n, unsigned char* dst)
//     copies up to n (at most 8) bytes at pos; fewer only at the limit.
//   std::int64_t limit() const
// Visit is called as visit(row, Pulse, samples_pos, Span) for every pulse
// that passed the checks, with the part of the row it covers (as
// fit_pulse found it), and returns a Status.
template <class T>
bool get_field(auto& src, std::int64_t pos, T& out, std::size_t& got) {
    unsigned char raw[sizeof(T)];
    got = src.get(pos, sizeof(T), raw);
    if (got < sizeof(T)) {
        return false;
    }
    T v;
    std::memcpy(&v, raw, sizeof(T));
    out = from_le(v);
    return true;
}

// Walks the block of channel `row` at `pos`, its count and pulses, and
// leaves `pos` after it.
template <class Source, class Visit>
Status walk_channel(Source& src, const Header& h, std::size_t row,
                    std::int64_t& pos, Visit&& visit) {
    std::size_t got = 0;
    std::int16_t count = 0;
    if (!get_field(src, pos, count, got)) {
        return {Errc::read, 0};
    }
    pos += kCountBytes;
    for (std::int32_t j = 0; j < count; ++j) {
        unsigned char info[kInfoBytes];
        got = src.get(pos, kInfoBytes, info);
        if (got < kInfoBytes) {
            return {Errc::read, static_cast<long>(got / 4)};
        }
        pos += kInfoBytes;
        std::int32_t k[2];
        std::memcpy(k, info, sizeof k);
        const Pulse p{from_le(k[0]), from_le(k[1])};
        if (p.length < 0) {
            return {Errc::negative_length, p.length};
        }
        if (p.length == 0) {
            return {Errc::empty_pulse, 0};
        }
        const std::int64_t present =
            (src.limit() > pos ? src.limit() - pos : 0) / kSampleBytes;
        if (present < p.length) {
            return {Errc::read, static_cast<long>(present)};
        }
        Span span{};
        Status s = fit_pulse(p.first, static_cast<std::size_t>(p.length),
                             h.nsamples, span);
        if (s.ok()) {
            s = visit(row, p, pos, span);
        }
        if (!s.ok()) {
            return s;
        }
        pos += kSampleBytes * p.length;
    }
    return ok();
}

struct NoChannelHook {
    void operator()(std::size_t, std::int64_t) const noexcept {}
};

// `at_channel(row, pos)` is told where each channel's block starts, so
// that a caller can walk it again with walk_channel.
template <class Source, class Visit, class AtChannel = NoChannelHook>
Status walk_record(Source& src, const Header& h, std::int64_t start,
                   RecordHead& head, Visit&& visit,
                   AtChannel&& at_channel = {}) {
    const auto nchannels =
        static_cast<std::size_t>(h.nchannels > 0 ? h.nchannels : 0);
    if (h.channels.size() < nchannels || h.channel_info.size() < nchannels) {
        return {Errc::inconsistent, 0};
    }
    // The reader allocates the event's traces first, which a negative
    // sample count makes fail.
    if (h.nsamples < 0) {
        return {Errc::negative_length, h.nsamples};
    }
    std::size_t got = 0;
    if (!get_field(src, start, head.tag, got)) {
        return {Errc::read, 0};
    }
    // horpos is passed over by a seek, which succeeds past the end.
    if (!get_field(src, start + kTagBytes, head.horpos, got)) {
        head.horpos = std::numeric_limits<double>::quiet_NaN();
    }
    std::int64_t pos = start + kTagBytes + kHorposBytes;
    for (std::size_t row = 0; row < nchannels; ++row) {
        at_channel(row, pos);
        const Status s = walk_channel(src, h, row, pos, visit);
        if (!s.ok()) {
            return s;
        }
    }
    head.end = pos;
    return ok();
}

}  // namespace lma::detail
