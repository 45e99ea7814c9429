#include "lma/event.hpp"

#include <algorithm>
#include <cstdlib>

#include "lma/stream.hpp"

namespace lma {

namespace {

constexpr long kHorposBytes = 8;
// First chunk of a pulse read; later chunks double, so a pulse costs at most
// about twice the memory of the samples actually found in the file.
constexpr std::size_t kFirstChunk = std::size_t{1} << 16;
// A buffer grown past this for one long pulse is given back afterwards.
constexpr std::size_t kKeepCapacity = std::size_t{1} << 20;

Status read_pulses(std::FILE* in, std::size_t row, EventSink& sink) {
    std::int16_t count = 0;
    Status s = read_field(in, count);
    for (std::int32_t j = 0; s.ok() && j < count; ++j) {
        std::int32_t info[2];
        s = read_items(in, info, sizeof info[0], 2);
        if (s.ok()) {
            s = sink.take_pulse(in, row,
                                Pulse{from_le(info[0]), from_le(info[1])});
        }
    }
    return s;
}

}  // namespace

Status read_event(std::FILE* in, const Header& h, EventSink& sink,
                  std::int32_t& tag) {
    if (in == nullptr) {
        return {Errc::closed, 0};
    }
    const auto nchannels = static_cast<std::size_t>(
        std::max<std::int32_t>(h.nchannels, 0));
    if (h.channels.size() < nchannels || h.channel_info.size() < nchannels) {
        return {Errc::inconsistent, 0};
    }
    Status s = sink.begin_event();
    if (!s.ok() || !(s = read_field(in, tag)).ok() ||
        !(s = skip(in, kHorposBytes)).ok()) {
        return s;
    }
    for (std::size_t row = 0; row < nchannels && s.ok(); ++row) {
        s = read_pulses(in, row, sink);
    }
    return s;
}

SampleBuffer::~SampleBuffer() { std::free(data_); }

bool SampleBuffer::reserve(std::size_t n) noexcept {
    if (n <= capacity_) {
        return true;
    }
    void* p = std::realloc(data_, n * sizeof(std::int16_t));
    if (p == nullptr) {
        return false;
    }
    data_ = static_cast<std::int16_t*>(p);
    capacity_ = n;
    return true;
}

void SampleBuffer::trim() noexcept {
    if (capacity_ > kKeepCapacity) {
        std::free(data_);
        data_ = nullptr;
        capacity_ = 0;
    }
}

Status read_samples(std::FILE* in, std::size_t length, SampleBuffer& buf) {
    std::size_t done = 0;
    std::size_t want = std::min(length, kFirstChunk);
    while (done < length) {
        if (!buf.reserve(want)) {
            return {Errc::no_memory, 0};
        }
        std::size_t got = std::fread(buf.data() + done, sizeof(std::int16_t),
                                     want - done, in);
        done += got;
        if (done < want) {
            return {Errc::read, static_cast<long>(done)};
        }
        want = std::min(length, want * 2);
    }
    return ok();
}

Status TraceSink::take_pulse(std::FILE* in, std::size_t row, Pulse p) {
    if (p.length < 0) {
        return {Errc::negative_length, p.length};
    }
    if (p.length == 0) {
        return {Errc::empty_pulse, 0};
    }
    const auto length = static_cast<std::size_t>(p.length);
    Status s = read_samples(in, length, buf_);
    if (s.ok()) {
        const std::int64_t n = header_.nsamples;
        s = place_pulse(traces_ + static_cast<std::int64_t>(row) * n, n,
                        header_.channel_info[row], p.first, buf_.data(),
                        length);
    }
    if (length > kKeepCapacity) {
        buf_.trim();
    }
    return s;
}

}  // namespace lma
