// The LMA file header: a general block, then one channel block per channel
// in use. Only what the reader needs is kept.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "lma/status.hpp"

namespace lma {

// One channel's calibration. The integers are int16 on disk, sign-extended.
struct Channel {
    std::int32_t fullscale = 0;
    std::int32_t offset = 0;
    std::int32_t baseline = 0;
    double gain = 0.0;
};

struct Header {
    std::int64_t pos_begin = 0;    // offset of the first event record
    std::int64_t pos_end = 0;      // file size when the header was read
    double sample_interval = 0.0;
    std::int32_t nsamples = 0;     // samples in a full trace
    std::int32_t nchannels = 0;    // channels in use: channels.size()
    std::int32_t num_channels = 0; // the num of channels field, as stored
    std::vector<std::int32_t> channels;      // indices in use, ascending
    std::vector<Channel> channel_info;       // same order as channels
};

// Fills `h` field by field from the start of `in`, stopping at the first
// failing read or seek; fields not reached keep their values. Leaves the
// stream at the end of the file on success.
Status read_header(std::FILE* in, Header& h) noexcept;

// The channels in use: i in [0, num_channels) with mask bit i set. Channels
// from 32 up have no bit of their own and are never in use.
std::vector<std::int32_t> used_channels(std::int32_t num_channels,
                                        std::uint32_t mask);

}  // namespace lma
