#include "lma/check.hpp"

#include <charconv>
#include <cmath>
#include <vector>

#include "lma/messages.hpp"

namespace lma {

namespace {

// Where the header's fields that are read lie (the rest is passed over);
// mirrors the layout table of header.cpp.
constexpr std::int64_t kGeneralBytes = 50;
constexpr std::int64_t kChannelBytes = 24;

struct FieldPlace {
    std::int64_t offset;
    std::int64_t size;
    const char* name;
};

constexpr FieldPlace kGeneralFields[] = {
    {0, 4, "header size"},
    {4, 2, "num of channels"},
    {8, 8, "sample interval"},
    {16, 4, "num of samples"},
    {40, 4, "used-channel mask"},
};

constexpr FieldPlace kChannelFields[] = {
    {0, 2, "full scale"},
    {2, 2, "offset"},
    {4, 8, "gain"},
    {12, 2, "baseline"},
};

std::string of_channel(const char* name, std::int32_t channel) {
    return std::string(name) + " of channel " + std::to_string(channel);
}

// The first field read by the parser that does not lie wholly inside a
// file of `size` bytes; empty when all do.
std::string cut_field(const Header& h, std::int64_t size) {
    for (const FieldPlace& f : kGeneralFields) {
        if (f.offset + f.size > size) {
            return f.name;
        }
    }
    for (std::size_t j = 0; j < h.channels.size(); ++j) {
        const std::int64_t block =
            kGeneralBytes + kChannelBytes * static_cast<std::int64_t>(j);
        for (const FieldPlace& f : kChannelFields) {
            if (block + f.offset + f.size > size) {
                return of_channel(f.name, h.channels[j]);
            }
        }
    }
    return {};
}

HeaderFault int_fault(std::string field, const char* problem,
                      std::int64_t value) {
    HeaderFault f;
    f.field = std::move(field);
    f.problem = problem;
    f.int_value = value;
    return f;
}

HeaderFault float_fault(std::string field, const char* problem,
                        double value) {
    HeaderFault f;
    f.field = std::move(field);
    f.problem = problem;
    f.is_float = true;
    f.float_value = value;
    return f;
}

}  // namespace

std::string HeaderFault::message() const {
    if (ok()) {
        return {};
    }
    char buf[32];
    auto r = is_float ? std::to_chars(buf, buf + sizeof buf, float_value)
                      : std::to_chars(buf, buf + sizeof buf, int_value);
    return field + " " + problem + " (" + std::string(buf, r.ptr) + ")";
}

HeaderFault check_header(const Header& h, Status read_status,
                         std::int64_t file_size) {
    if (!read_status.ok()) {
        std::string field = read_status.code == Errc::read
                                ? cut_field(h, file_size)
                                : std::string();
        if (!field.empty()) {
            return int_fault(std::move(field), "is cut short", file_size);
        }
        HeaderFault f = int_fault("header", "", read_status.value);
        f.problem = "could not be read: " + message_for(read_status).text;
        return f;
    }
    // The stored field is the first-record offset minus 4, in int32.
    const auto size_field = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(h.pos_begin) - 4u);
    const std::int64_t header_bytes =
        kGeneralBytes + kChannelBytes * std::int64_t{h.nchannels};
    if (h.pos_begin < header_bytes) {
        return int_fault("header size", "puts the first event inside the "
                                        "header",
                         size_field);
    }
    if (h.pos_begin > file_size) {
        return int_fault("header size", "puts the first event past the end "
                                        "of the file",
                         size_field);
    }
    if (h.num_channels < 0) {
        return int_fault("num of channels", "is negative", h.num_channels);
    }
    if (!std::isfinite(h.sample_interval)) {
        return float_fault("sample interval", "is not finite",
                           h.sample_interval);
    }
    if (!(h.sample_interval > 0.0)) {
        return float_fault("sample interval", "is not above 0",
                           h.sample_interval);
    }
    if (h.nsamples < 0) {
        return int_fault("num of samples", "is negative", h.nsamples);
    }
    for (std::size_t j = 0;
         j < h.channel_info.size() && j < h.channels.size(); ++j) {
        if (!std::isfinite(h.channel_info[j].gain)) {
            return float_fault(of_channel("gain", h.channels[j]),
                               "is not finite", h.channel_info[j].gain);
        }
    }
    return {};
}

}  // namespace lma
