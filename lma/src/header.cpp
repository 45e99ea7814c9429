#include "lma/header.hpp"

#include <new>

#include "lma/stream.hpp"

namespace lma {

// General block, 50 bytes at offset 0:
//   0 int32   header size field (header bytes after this field)
//   4 int16   num of channels
//   6 int16   num of bytes                    skipped
//   8 float64 sample interval
//  16 int32   num of samples
//  20 ...     general fields 6 to 9, 20 bytes skipped
//  40 uint32  used-channel mask
//  44 ...     general fields 11 and 12, 6 bytes skipped
// Channel block, 24 bytes, one per channel in use:
//   0 int16 full scale, 2 int16 offset, 4 float64 gain, 12 int16 baseline,
//  14 ...   channel fields 5 to 7, 10 bytes skipped
namespace {

constexpr long kSkipNumBytes = 2;
constexpr long kSkipGeneral6To9 = 20;
constexpr long kSkipGeneral11To12 = 6;
constexpr long kSkipChannel5To7 = 10;
constexpr std::int32_t kMaskBits = 32;

// Each value lands in its record as soon as it is read, so a file cut
// short inside a block leaves the fields read before the cut.
Status read_channel(std::FILE* in, Channel& ch) noexcept {
    std::int16_t v16 = 0;
    Status s = read_field(in, v16);
    if (!s.ok()) {
        return s;
    }
    ch.fullscale = v16;
    if (!(s = read_field(in, v16)).ok()) {
        return s;
    }
    ch.offset = v16;
    if (!(s = read_field(in, ch.gain)).ok()) {
        return s;
    }
    if (!(s = read_field(in, v16)).ok()) {
        return s;
    }
    ch.baseline = v16;
    return skip(in, kSkipChannel5To7);
}

}  // namespace

std::vector<std::int32_t> used_channels(std::int32_t num_channels,
                                        std::uint32_t mask) {
    std::vector<std::int32_t> used;
    std::int32_t limit = num_channels < kMaskBits ? num_channels : kMaskBits;
    for (std::int32_t i = 0; i < limit; ++i) {
        if ((mask >> i) & 1u) {
            used.push_back(i);
        }
    }
    return used;
}

Status read_header(std::FILE* in, Header& h) noexcept {
    Status s = seek(in, 0, SEEK_SET);
    if (!s.ok()) {
        return s;
    }
    std::int32_t size_field = 0;
    if (!(s = read_field(in, size_field)).ok()) {
        return s;
    }
    // The sum wraps into the signed range for a field near the int32
    // maximum; unsigned arithmetic makes that wrap well defined.
    h.pos_begin = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(size_field) + 4u);

    std::int16_t num_channels = 0;
    if (!(s = read_field(in, num_channels)).ok()) {
        return s;
    }
    h.num_channels = num_channels;
    if (!(s = skip(in, kSkipNumBytes)).ok() ||
        !(s = read_field(in, h.sample_interval)).ok() ||
        !(s = read_field(in, h.nsamples)).ok() ||
        !(s = skip(in, kSkipGeneral6To9)).ok()) {
        return s;
    }
    std::uint32_t mask = 0;
    if (!(s = read_field(in, mask)).ok()) {
        return s;
    }
    try {
        h.channels = used_channels(num_channels, mask);
        h.nchannels = static_cast<std::int32_t>(h.channels.size());
        h.channel_info.assign(h.channels.size(), Channel{});
    } catch (const std::bad_alloc&) {
        return {Errc::no_memory, 0};
    }
    if (!(s = skip(in, kSkipGeneral11To12)).ok()) {
        return s;
    }
    for (Channel& ch : h.channel_info) {
        if (!(s = read_channel(in, ch)).ok()) {
            return s;
        }
    }
    if (!(s = seek(in, 0, SEEK_END)).ok()) {
        return s;
    }
    h.pos_end = std::ftell(in);
    return ok();
}

}  // namespace lma
