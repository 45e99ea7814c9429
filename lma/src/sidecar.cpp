// The sidecar's bytes, version 1. Every field little-endian, at a fixed
// place; H, E and N are the lengths given in the fixed part:
//
//   offset      bytes  type    field
//   0           8      char    magic "LMA-IDX\n"
//   8           4      uint32  version (1)
//   12          4      uint32  H: header bytes stored (at most 818)
//   16          4      uint32  E: ETag bytes stored (0 for local files,
//                              at most 1024)
//   20          4      uint32  damage kind of the record where the index
//                              ends: 0 none (the data ended cleanly),
//                              1 cut short, 2 first record before the
//                              file, 3 negative pulse length, 4 empty
//                              pulse, 5 pulse not fitting, 6 channel
//                              lists too short
//   24          8      uint64  N: records indexed
//   32          8      int64   the file's size when indexed
//   40          8      int64   its modification time, ns since the epoch
//   48          8      int64   end: after the last record, where a scan
//                              goes on
//   56          8      int64   damage value (as the reader reports it,
//                              e.g. the items a cut-short read got)
//   64          8      int64   damage extra (a misfit's slice length)
//   72          8      int64   offset of the damaged record (= end)
//   80          8      int64   its event index (= N)
//   88          H      bytes   the file's header bytes
//   88+H        E      bytes   the ETag of the remote object indexed
//   88+H+E      8N     int64   record offsets, ascending
//   88+H+E+8N   8      uint64  sidecar_checksum of every byte before it
//
// With no damage, the damage fields still say where the scan stopped:
// value and extra 0, offset end, event N. They are not trusted: a scan
// from the end must find the same (see adopt_sidecar). The version comes before the
// checksum is checked, so a later version may change everything after it.
#include "lma/sidecar.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "lma/replaced.hpp"
#include "lma/stream.hpp"
#include "record.hpp"

namespace lma {

namespace {

constexpr unsigned char kMagic[8] = {'L', 'M', 'A', '-', 'I', 'D', 'X', '\n'};
constexpr std::size_t kFixedBytes = 88;
constexpr std::size_t kChecksumBytes = 8;

// Damage kinds as stored, by position; the enum's own values may change.
constexpr Errc kDamageKinds[] = {Errc::ok,
                                 Errc::read,
                                 Errc::seek,
                                 Errc::negative_length,
                                 Errc::empty_pulse,
                                 Errc::broadcast,
                                 Errc::inconsistent};
constexpr std::uint32_t kKindCount =
    sizeof kDamageKinds / sizeof kDamageKinds[0];

template <class T>
T get(const unsigned char* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    return from_le(v);
}

template <class T>
void put(unsigned char* p, T v) noexcept {
    v = from_le(v);  // the swap is its own inverse
    std::memcpy(p, &v, sizeof v);
}

constexpr std::uint64_t rotl(std::uint64_t x, int r) noexcept {
    return (x << r) | (x >> (64 - r));
}

constexpr std::uint64_t kOdd1 = 0x9E3779B97F4A7C15u;
constexpr std::uint64_t kOdd2 = 0xBF58476D1CE4E5B9u;
constexpr std::uint64_t kOdd3 = 0x94D049BB133111EBu;

inline std::uint64_t lane(std::uint64_t h, std::uint64_t w) noexcept {
    return rotl(h ^ (w * kOdd1), 29) * kOdd2;
}

// The smallest a complete record can be: its tag, horpos and one pulse
// count per channel.
std::int64_t smallest_record(const Header& h) noexcept {
    return detail::kTagBytes + detail::kHorposBytes +
           detail::kCountBytes * std::max<std::int64_t>(h.nchannels, 0);
}

bool same_stop(const Stop& a, const Stop& b) noexcept {
    return a.status.code == b.status.code &&
           a.status.value == b.status.value &&
           a.status.extra == b.status.extra && a.offset == b.offset &&
           a.event == b.event;
}

}  // namespace

namespace {

// The checksum over bytes given in pieces: the same value as over them
// joined, so that a sidecar read in two parts needs no copy to join them.
class Checksum {
public:
    void add(const unsigned char* data, std::size_t n) noexcept {
        total_ += n;
        if (held_ != 0) {
            const std::size_t take = std::min(n, sizeof pending_ - held_);
            std::memcpy(pending_ + held_, data, take);
            held_ += take;
            data += take;
            n -= take;
            if (held_ < sizeof pending_) {
                return;
            }
            blocks(pending_, sizeof pending_);
            held_ = 0;
        }
        const std::size_t whole = n - n % sizeof pending_;
        blocks(data, whole);
        held_ = n - whole;
        if (held_ != 0) {
            std::memcpy(pending_, data + whole, held_);
        }
    }

    std::uint64_t value() const noexcept {
        std::uint64_t h0 = h_[0];
        std::uint64_t tail = 0;
        for (std::size_t j = 0; j < held_; ++j) {
            tail |= static_cast<std::uint64_t>(pending_[j]) << (8 * (j % 8));
            if (j % 8 == 7 || j + 1 == held_) {
                h0 = lane(h0, tail);
                tail = 0;
            }
        }
        std::uint64_t z = rotl(h0, 1) ^ rotl(h_[1], 7) ^ rotl(h_[2], 12) ^
                          rotl(h_[3], 18) ^
                          static_cast<std::uint64_t>(total_);
        z = (z ^ (z >> 30)) * kOdd2;
        z = (z ^ (z >> 27)) * kOdd3;
        return z ^ (z >> 31);
    }

private:
    // Four independent chains, so that the multiplications overlap.
    void blocks(const unsigned char* data, std::size_t n) noexcept {
        std::uint64_t h[4] = {h_[0], h_[1], h_[2], h_[3]};
        for (std::size_t i = 0; i + 32 <= n; i += 32) {
            for (int k = 0; k < 4; ++k) {
                h[k] = lane(h[k], get<std::uint64_t>(data + i + 8 * k));
            }
        }
        std::memcpy(h_, h, sizeof h);
    }

    std::uint64_t h_[4] = {kOdd1, kOdd2, kOdd3, kOdd1 ^ kOdd2};
    unsigned char pending_[32] = {};
    std::size_t held_ = 0;
    std::size_t total_ = 0;
};

}  // namespace

std::uint64_t sidecar_checksum(const unsigned char* data,
                               std::size_t n) noexcept {
    Checksum sum;
    sum.add(data, n);
    return sum.value();
}

const char* sidecar_fault_text(SidecarFault fault) noexcept {
    switch (fault) {
    case SidecarFault::none:
        return "it fits";
    case SidecarFault::short_data:
        return "it is too short to be an index";
    case SidecarFault::magic:
        return "it is not an index";
    case SidecarFault::version:
        return "its version is not one this kelvane knows";
    case SidecarFault::checksum:
        return "its checksum does not match";
    case SidecarFault::layout:
        return "its lengths do not add up";
    case SidecarFault::header:
        return "it was made for a file with another header";
    case SidecarFault::offsets:
        return "its record offsets cannot be this file's";
    case SidecarFault::shrunk:
        return "the file is shorter than when it was indexed";
    case SidecarFault::records:
        return "the last indexed record no longer ends where it did";
    case SidecarFault::damage:
        return "the file does not end as it did when indexed";
    }
    return "unknown";
}

Status serialise_sidecar(const SidecarIndex& sc,
                         std::vector<unsigned char>& out) noexcept {
    std::uint32_t kind = 0;
    while (kind < kKindCount && kDamageKinds[kind] != sc.stop.status.code) {
        ++kind;
    }
    const std::size_t nh = sc.header_bytes.size();
    const std::size_t ne = sc.etag.size();
    const std::size_t n = sc.index.size();
    if (kind == kKindCount ||
        nh > static_cast<std::size_t>(kLongestHeaderBytes) ||
        ne > kLongestEtag) {
        return {Errc::inconsistent, 0};
    }
    try {
        out.assign(kFixedBytes + nh + ne + 8 * n + kChecksumBytes, 0);
    } catch (const std::bad_alloc&) {
        return {Errc::no_memory, 0};
    }
    unsigned char* p = out.data();
    std::memcpy(p, kMagic, sizeof kMagic);
    put<std::uint32_t>(p + 8, kSidecarVersion);
    put<std::uint32_t>(p + 12, static_cast<std::uint32_t>(nh));
    put<std::uint32_t>(p + 16, static_cast<std::uint32_t>(ne));
    put<std::uint32_t>(p + 20, kind);
    put<std::uint64_t>(p + 24, n);
    put<std::int64_t>(p + 32, sc.file_size);
    put<std::int64_t>(p + 40, sc.mtime_ns);
    put<std::int64_t>(p + 48, sc.index.end);
    put<std::int64_t>(p + 56, sc.stop.status.value);
    put<std::int64_t>(p + 64, sc.stop.status.extra);
    put<std::int64_t>(p + 72, sc.stop.offset);
    put<std::int64_t>(p + 80, sc.stop.event);
    p += kFixedBytes;
    if (nh != 0) {
        std::memcpy(p, sc.header_bytes.data(), nh);
    }
    p += nh;
    if (ne != 0) {
        std::memcpy(p, sc.etag.data(), ne);
    }
    p += ne;
    for (std::size_t i = 0; i < n; ++i, p += 8) {
        put<std::int64_t>(p, sc.index.offsets[i]);
    }
    put<std::uint64_t>(p, sidecar_checksum(out.data(), out.size() - 8));
    return ok();
}

namespace {

// What the fixed fields say before the checksum is known: a fault, or
// none with the lengths that the bytes at hand, `n` of them, must add up
// to; `count` offsets then stand at `offsets_at`, little-endian.
SidecarFault fixed_fields(const unsigned char* data, std::size_t n,
                          std::size_t& count,
                          std::size_t& offsets_at) noexcept {
    if (n < kFixedBytes + kChecksumBytes) {
        return SidecarFault::short_data;
    }
    if (std::memcmp(data, kMagic, sizeof kMagic) != 0) {
        return SidecarFault::magic;
    }
    if (get<std::uint32_t>(data + 8) != kSidecarVersion) {
        return SidecarFault::version;
    }
    const std::uint64_t nh = get<std::uint32_t>(data + 12);
    const std::uint64_t ne = get<std::uint32_t>(data + 16);
    const std::uint32_t kind = get<std::uint32_t>(data + 20);
    const std::uint64_t stored = get<std::uint64_t>(data + 24);
    // Each length against what is left, so nothing overflows and the
    // count is bounded by the bytes at hand before it sizes anything.
    const std::uint64_t left = n - kChecksumBytes - kFixedBytes;
    if (nh > static_cast<std::uint64_t>(kLongestHeaderBytes) ||
        ne > kLongestEtag || nh + ne > left || kind >= kKindCount ||
        (left - nh - ne) % 8 != 0 || (left - nh - ne) / 8 != stored) {
        return SidecarFault::layout;
    }
    count = static_cast<std::size_t>(stored);
    offsets_at = kFixedBytes + static_cast<std::size_t>(nh + ne);
    return SidecarFault::none;
}

// The fields before the offsets into `out`, once fixed_fields found them
// whole at `data`.
Status fill_fields(const unsigned char* data, SidecarIndex& out) noexcept {
    const std::size_t nh = get<std::uint32_t>(data + 12);
    const std::size_t ne = get<std::uint32_t>(data + 16);
    const std::uint32_t kind = get<std::uint32_t>(data + 20);
    out.file_size = get<std::int64_t>(data + 32);
    out.mtime_ns = get<std::int64_t>(data + 40);
    out.index.end = get<std::int64_t>(data + 48);
    out.index.scanned = true;
    out.stop.status = {kDamageKinds[kind],
                       static_cast<long>(get<std::int64_t>(data + 56)),
                       static_cast<long>(get<std::int64_t>(data + 64))};
    out.stop.offset = get<std::int64_t>(data + 72);
    out.stop.event = get<std::int64_t>(data + 80);
    const unsigned char* p = data + kFixedBytes;
    try {
        out.header_bytes.assign(p, p + nh);
        out.etag.assign(p + nh, p + nh + ne);
    } catch (const std::bad_alloc&) {
        return {Errc::no_memory, 0};
    }
    return ok();
}

// The faults in the order parse_sidecar reports them: the checksum comes
// before the lengths, since altered bytes are the likelier cause.
SidecarFault fault_of_bytes(const unsigned char* data, std::size_t n,
                            std::size_t& count,
                            std::size_t& offsets_at) noexcept {
    const SidecarFault fault = fixed_fields(data, n, count, offsets_at);
    if (fault != SidecarFault::none && fault != SidecarFault::layout) {
        return fault;
    }
    const std::size_t body = n - kChecksumBytes;
    if (get<std::uint64_t>(data + body) != sidecar_checksum(data, body)) {
        return SidecarFault::checksum;
    }
    return fault;
}

}  // namespace

Status parse_sidecar(const unsigned char* data, std::size_t n,
                     SidecarIndex& out, SidecarFault& fault) noexcept {
    std::size_t count = 0, at = 0;
    fault = fault_of_bytes(data, n, count, at);
    if (fault != SidecarFault::none) {
        return ok();
    }
    const Status s = fill_fields(data, out);
    if (!s.ok()) {
        return s;
    }
    try {
        out.index.offsets.resize(count);
    } catch (const std::bad_alloc&) {
        return {Errc::no_memory, 0};
    }
    for (std::size_t i = 0; i < count; ++i) {
        out.index.offsets[i] = get<std::int64_t>(data + at + 8 * i);
    }
    return ok();
}

namespace {

// load_sidecar for a file whose lengths do not add up to its size: read
// whole and parsed as bytes, for the fault parse_sidecar gives.
Status load_whole(const File& f, std::size_t bytes, SidecarIndex& out,
                  SidecarFault& fault) noexcept {
    std::vector<unsigned char> data;
    try {
        data.resize(bytes + 1);
    } catch (const std::bad_alloc&) {
        return {Errc::no_memory, 0};
    }
    std::size_t n = 0;
    const Status s = f.read_at(0, data.data(), bytes + 1, n);
    return s.ok() ? parse_sidecar(data.data(), n, out, fault) : s;
}

}  // namespace

Status load_sidecar(const File& f, SidecarIndex& out,
                    SidecarFault& fault) noexcept {
    fault = SidecarFault::none;
    std::int64_t size = 0;
    Status s = f.size(size);
    if (!s.ok()) {
        return s;
    }
    const auto bytes = static_cast<std::size_t>(size);
    // The fixed fields, header and ETag at their longest: the offsets
    // then go straight into the memory that becomes the index, and a
    // large index is never moved or held twice.
    unsigned char head[kFixedBytes +
                       static_cast<std::size_t>(kLongestHeaderBytes) +
                       kLongestEtag];
    std::size_t got = 0;
    s = f.read_at(0, head, std::min(sizeof head, bytes), got);
    if (!s.ok()) {
        return s;
    }
    if (got < std::min(sizeof head, bytes)) {
        // Cut since its size was taken: the whole read finds how.
        return load_whole(f, bytes, out, fault);
    }
    std::size_t count = 0, at = 0;
    fault = fixed_fields(head, bytes, count, at);
    if (fault == SidecarFault::layout) {
        return load_whole(f, bytes, out, fault);
    }
    if (fault != SidecarFault::none) {
        return ok();
    }
    std::vector<std::int64_t> storage;
    try {
        // The offsets, the checksum, and room for one byte more: a file
        // grown meanwhile fails the checksum rather than being cut to its
        // old size.
        storage.resize(count + 2);
    } catch (const std::bad_alloc&) {
        return {Errc::no_memory, 0};
    }
    const std::size_t rest = 8 * count + kChecksumBytes;
    s = f.read_at(static_cast<std::int64_t>(at), storage.data(), rest + 1,
                  got);
    if (!s.ok()) {
        return s;
    }
    // Bytes as bytes: reading an object's bytes through unsigned char is
    // allowed whatever its type.
    const auto* offsets = reinterpret_cast<const unsigned char*>(
        storage.data());
    Checksum sum;
    sum.add(head, at);
    sum.add(offsets, 8 * count);
    if (got != rest ||
        get<std::uint64_t>(offsets + 8 * count) != sum.value()) {
        fault = SidecarFault::checksum;
        return ok();
    }
    s = fill_fields(head, out);
    if (!s.ok()) {
        return s;
    }
    for (std::size_t i = 0; i < count; ++i) {
        storage[i] = from_le(storage[i]);
    }
    storage.resize(count);
    out.index.offsets = std::move(storage);
    return ok();
}

namespace {

// Whether, from a first offset that is not negative, each offset is at
// least `least` after the one before. In blocks without a branch per
// offset, so that the compiler makes vector code of it: this pass is a
// good part of opening with a large index.
bool spaced(const std::vector<std::int64_t>& offsets,
            std::int64_t least) noexcept {
    const std::size_t n = offsets.size();
    const std::int64_t* o = offsets.data();
    constexpr std::size_t kBlock = 1024;
    for (std::size_t begin = 1; begin < n; begin += kBlock) {
        const std::size_t end = std::min(n, begin + kBlock);
        bool bad = false;
        for (std::size_t i = begin; i < end; ++i) {
            // A negative offset is refused here itself, so that where
            // none is, the difference taken in unsigned arithmetic is the
            // true one.
            const auto step = static_cast<std::int64_t>(
                static_cast<std::uint64_t>(o[i]) -
                static_cast<std::uint64_t>(o[i - 1]));
            bad |= (o[i] < 0) | (step < least);
        }
        if (bad) {
            return false;
        }
    }
    return true;
}

}  // namespace

SidecarFault check_sidecar(const SidecarIndex& sc, const Header& h,
                           const std::vector<unsigned char>& header_bytes,
                           std::int64_t file_size) noexcept {
    if (sc.header_bytes != header_bytes) {
        return SidecarFault::header;
    }
    if (file_size < sc.file_size) {
        return SidecarFault::shrunk;
    }
    const std::vector<std::int64_t>& offsets = sc.index.offsets;
    const std::int64_t least = smallest_record(h);
    if (offsets.empty()) {
        return sc.index.end == h.pos_begin ? SidecarFault::none
                                           : SidecarFault::offsets;
    }
    if (h.pos_begin < 0 || offsets.front() != h.pos_begin) {
        return SidecarFault::offsets;
    }
    if (!spaced(offsets, least)) {
        return SidecarFault::offsets;
    }
    const std::int64_t last = offsets.back();
    const std::int64_t end = sc.index.end;
    if (end < last || end - last < least) {
        return SidecarFault::offsets;
    }
    // A record starts only where a byte remains; it ends within the file,
    // but with no channel in use one cut short in horpos still counts.
    if (last >= sc.file_size || (end > sc.file_size && h.nchannels > 0)) {
        return SidecarFault::offsets;
    }
    return SidecarFault::none;
}

Status adopt_sidecar(const File& f, const Header& h,
                     const std::vector<unsigned char>& header_bytes,
                     std::int64_t file_size, SidecarIndex& sc,
                     RecordIndex& index, Stop& stop,
                     SidecarFault& fault) noexcept {
    fault = check_sidecar(sc, h, header_bytes, file_size);
    if (fault != SidecarFault::none) {
        return ok();
    }
    RecordIndex& found = sc.index;
    found.scanned = true;
    if (found.size() != 0) {
        const Status s =
            rewalk_record(f, h, found, found.size() - 1, file_size);
        if (s.code == Errc::changed) {
            fault = SidecarFault::records;
            return ok();
        }
        if (!s.ok()) {
            return s;
        }
    }
    // From the end on, as a refresh goes on: for an unchanged file this
    // walks only the damaged record, if there is one.
    const Stop now = scan_records(f, h, file_size, found);
    if (!now.ok() && !is_record_damage(now.status.code)) {
        return now.status;
    }
    if (file_size == sc.file_size && !same_stop(now, sc.stop)) {
        fault = SidecarFault::damage;
        return ok();
    }
    index = std::move(found);
    stop = now;
    return ok();
}

}  // namespace lma
