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

// The header size field as stored: the first-record offset minus 4, in
// int32.
std::int32_t size_field(const Header& h) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(h.pos_begin) -
                                     4u);
}

// Whether the field at `offset` of `size` bytes lies wholly in the file.
bool present(std::int64_t offset, std::int64_t size, std::int64_t file_size) {
    return offset + size <= file_size;
}

// The first value no recording can have among the fields the file holds
// whole; empty when all it holds are sound.
HeaderFault check_values(const Header& h, std::int64_t file_size) {
    const auto has = [file_size](const FieldPlace& f) {
        return present(f.offset, f.size, file_size);
    };
    const std::int64_t header_bytes =
        kGeneralBytes + kChannelBytes * std::int64_t{h.nchannels};
    if (has(kGeneralFields[0]) && h.pos_begin < header_bytes) {
        return int_fault("header size", "puts the first event inside the "
                                        "header",
                         size_field(h));
    }
    if (has(kGeneralFields[1]) && h.num_channels < 0) {
        return int_fault("num of channels", "is negative", h.num_channels);
    }
    if (has(kGeneralFields[2]) && !std::isfinite(h.sample_interval)) {
        return float_fault("sample interval", "is not finite",
                           h.sample_interval);
    }
    if (has(kGeneralFields[2]) && !(h.sample_interval > 0.0)) {
        return float_fault("sample interval", "is not above 0",
                           h.sample_interval);
    }
    if (has(kGeneralFields[3]) && h.nsamples < 0) {
        return int_fault("num of samples", "is negative", h.nsamples);
    }
    const FieldPlace& gain = kChannelFields[2];
    for (std::size_t j = 0;
         j < h.channel_info.size() && j < h.channels.size(); ++j) {
        const std::int64_t block =
            kGeneralBytes + kChannelBytes * static_cast<std::int64_t>(j);
        if (present(block + gain.offset, gain.size, file_size) &&
            !std::isfinite(h.channel_info[j].gain)) {
            return float_fault(of_channel("gain", h.channels[j]),
                               "is not finite", h.channel_info[j].gain);
        }
    }
    return {};
}

// A file that ends before the header it declares, all it holds sound:
// one still being created.
HeaderFault incomplete(HeaderFault f, std::int64_t file_size) {
    f.incomplete = true;
    f.file_size = file_size;
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
    std::string cut = read_status.code == Errc::read
                          ? cut_field(h, file_size)
                          : std::string();
    if (!read_status.ok() && cut.empty()) {
        HeaderFault f = int_fault("header", "", read_status.value);
        f.problem = "could not be read: " + message_for(read_status).text;
        return f;
    }
    // Bad bytes are damage even where the file goes on to end early.
    HeaderFault f = check_values(h, file_size);
    if (!f.ok()) {
        return f;
    }
    if (!cut.empty()) {
        return incomplete(int_fault(std::move(cut), "is cut short",
                                    file_size),
                          file_size);
    }
    if (h.pos_begin > file_size) {
        return incomplete(int_fault("header size", "puts the first event "
                                                   "past the end of the "
                                                   "file",
                                    size_field(h)),
                          file_size);
    }
    return {};
}

}  // namespace lma
