// The sidecar's bytes, version 2. Every field little-endian, at a fixed
// place; H, E, M and N are the lengths given in the fixed part:
//
//   offset      bytes  type    field
//   0           8      char    magic "LMA-IDX\n"
//   8           4      uint32  version (2)
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
//   88          4      uint32  M: Last-Modified bytes stored (0 for local
//                              files, at most 64)
//   92          4      uint32  0
//   96          H      bytes   the file's header bytes
//   96+H        E      bytes   the ETag of the remote object indexed
//   96+H+E      M      bytes   its Last-Modified, as the store gave it
//   A=96+H+E+M  8N     int64   record offsets, ascending
//   A+8N        8N     float64 each record's horpos
//   A+16N       4N     int32   each record's tag
//   A+20N       8      uint64  sidecar_checksum of every byte before it
//
// With no damage, the damage fields still say where the scan stopped:
// value and extra 0, offset end, event N. They are not trusted: a scan
// from the end must find the same (see adopt_sidecar). The version comes
// before the checksum is checked, so a later version may change
// everything after it.
#include "lma/sidecar.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "lma/replaced.hpp"
#include "lma/stream.hpp"
#include "record.hpp"

namespace lma {

namespace {

constexpr unsigned char kMagic[8] = {'L', 'M', 'A', '-', 'I', 'D', 'X', '\n'};
constexpr std::size_t kFixedBytes = 96;
// Offsets, horpos and tag of one record.
constexpr std::size_t kRecordBytes = 8 + 8 + 4;
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
        if (n == 0) {
            return;  // an empty piece may come with no bytes at all
        }
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
    case SidecarFault::old_version:
        return "it was made by an older kelvane, without tags and horpos";
    case SidecarFault::size:
        return "it is larger than any index of this file";
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
    case SidecarFault::heads:
        return "its records' tags or horpos are not the file's";
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
    const std::size_t nm = sc.modified.size();
    const std::size_t n = sc.index.size();
    if (kind == kKindCount ||
        nh > static_cast<std::size_t>(kLongestHeaderBytes) ||
        ne > kLongestEtag || nm > kLongestModified ||
        sc.index.tags.size() != n || sc.index.horpos.size() != n) {
        return {Errc::inconsistent, 0};
    }
    try {
        out.assign(kFixedBytes + nh + ne + nm + kRecordBytes * n +
                       kChecksumBytes,
                   0);
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
    put<std::uint32_t>(p + 88, static_cast<std::uint32_t>(nm));
    p += kFixedBytes;
    if (nh != 0) {
        std::memcpy(p, sc.header_bytes.data(), nh);
    }
    p += nh;
    if (ne != 0) {
        std::memcpy(p, sc.etag.data(), ne);
    }
    p += ne;
    if (nm != 0) {
        std::memcpy(p, sc.modified.data(), nm);
    }
    p += nm;
    for (std::size_t i = 0; i < n; ++i, p += 8) {
        put<std::int64_t>(p, sc.index.offsets[i]);
    }
    for (std::size_t i = 0; i < n; ++i, p += 8) {
        put<double>(p, sc.index.horpos[i]);
    }
    for (std::size_t i = 0; i < n; ++i, p += 4) {
        put<std::int32_t>(p, sc.index.tags[i]);
    }
    put<std::uint64_t>(p, sidecar_checksum(out.data(), out.size() - 8));
    return ok();
}

std::uint64_t longest_sidecar(std::uint64_t records) noexcept {
    constexpr std::uint64_t kFixedMost =
        kFixedBytes + static_cast<std::uint64_t>(kLongestHeaderBytes) +
        kLongestEtag + kLongestModified + kChecksumBytes;
    constexpr std::uint64_t kMost = ~std::uint64_t{0};
    return records > (kMost - kFixedMost) / kRecordBytes
               ? kMost
               : kFixedMost + kRecordBytes * records;
}

std::uint64_t most_records(const Header& h, std::int64_t file_size) noexcept {
    const std::int64_t begin = std::max<std::int64_t>(h.pos_begin, 0);
    if (file_size <= begin) {
        return 0;
    }
    // Rounded up: with no channel in use a record cut inside its horpos
    // still counts.
    const std::int64_t least = smallest_record(h);
    return static_cast<std::uint64_t>((file_size - begin + least - 1) /
                                      least);
}

namespace {

// What the fixed fields say before the checksum is known: a fault, or
// none with the lengths that the bytes at hand, `n` of them, must add up
// to; `count` records then stand at `offsets_at`, little-endian.
SidecarFault fixed_fields(const unsigned char* data, std::size_t n,
                          std::uint64_t most, std::size_t& count,
                          std::size_t& offsets_at) noexcept {
    if (n > longest_sidecar(most)) {
        return SidecarFault::size;
    }
    if (n < kFixedBytes + kChecksumBytes) {
        // A version 1 sidecar of no record is shorter than the fixed part.
        return n >= 12 && std::memcmp(data, kMagic, sizeof kMagic) == 0 &&
                       get<std::uint32_t>(data + 8) < kSidecarVersion
                   ? SidecarFault::old_version
                   : SidecarFault::short_data;
    }
    if (std::memcmp(data, kMagic, sizeof kMagic) != 0) {
        return SidecarFault::magic;
    }
    const std::uint32_t version = get<std::uint32_t>(data + 8);
    if (version != kSidecarVersion) {
        return version < kSidecarVersion ? SidecarFault::old_version
                                         : SidecarFault::version;
    }
    const std::uint64_t nh = get<std::uint32_t>(data + 12);
    const std::uint64_t ne = get<std::uint32_t>(data + 16);
    const std::uint32_t kind = get<std::uint32_t>(data + 20);
    const std::uint64_t stored = get<std::uint64_t>(data + 24);
    const std::uint64_t nm = get<std::uint32_t>(data + 88);
    // Each length against what is left, so nothing overflows and the
    // count is bounded by the bytes at hand before it sizes anything.
    const std::uint64_t left = n - kChecksumBytes - kFixedBytes;
    if (nh > static_cast<std::uint64_t>(kLongestHeaderBytes) ||
        ne > kLongestEtag || nm > kLongestModified ||
        get<std::uint32_t>(data + 92) != 0 || nh + ne + nm > left ||
        kind >= kKindCount || stored > most ||
        (left - nh - ne - nm) % kRecordBytes != 0 ||
        (left - nh - ne - nm) / kRecordBytes != stored) {
        return SidecarFault::layout;
    }
    count = static_cast<std::size_t>(stored);
    offsets_at = kFixedBytes + static_cast<std::size_t>(nh + ne + nm);
    return SidecarFault::none;
}

// The fields before the offsets into `out`, once fixed_fields found them
// whole at `data`.
Status fill_fields(const unsigned char* data, SidecarIndex& out) noexcept {
    const std::size_t nh = get<std::uint32_t>(data + 12);
    const std::size_t ne = get<std::uint32_t>(data + 16);
    const std::uint32_t kind = get<std::uint32_t>(data + 20);
    const std::size_t nm = get<std::uint32_t>(data + 88);
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
        out.modified.assign(p + nh + ne, p + nh + ne + nm);
    } catch (const std::bad_alloc&) {
        return {Errc::no_memory, 0};
    }
    return ok();
}

// The faults in the order parse_sidecar reports them: the checksum comes
// before the lengths, since altered bytes are the likelier cause; the
// size before both, since it is known without reading.
SidecarFault fault_of_bytes(const unsigned char* data, std::size_t n,
                            std::uint64_t most, std::size_t& count,
                            std::size_t& offsets_at) noexcept {
    const SidecarFault fault = fixed_fields(data, n, most, count, offsets_at);
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
                     std::uint64_t most, SidecarIndex& out,
                     SidecarFault& fault) noexcept {
    std::size_t count = 0, at = 0;
    fault = fault_of_bytes(data, n, most, count, at);
    if (fault != SidecarFault::none) {
        return ok();
    }
    const Status s = fill_fields(data, out);
    if (!s.ok()) {
        return s;
    }
    RecordIndex& index = out.index;
    try {
        index.offsets.resize(count);
        index.horpos.resize(count);
        index.tags.resize(count);
    } catch (const std::bad_alloc&) {
        return {Errc::no_memory, 0};
    }
    const unsigned char* p = data + at;
    for (std::size_t i = 0; i < count; ++i, p += 8) {
        index.offsets[i] = get<std::int64_t>(p);
    }
    for (std::size_t i = 0; i < count; ++i, p += 8) {
        index.horpos[i] = get<double>(p);
    }
    for (std::size_t i = 0; i < count; ++i, p += 4) {
        index.tags[i] = get<std::int32_t>(p);
    }
    return ok();
}

namespace {

// load_sidecar for a file whose lengths do not add up to its size: read
// whole and parsed as bytes, for the fault parse_sidecar gives. Called
// only for sizes fixed_fields bounded by the data file's: its own sizes
// are not believed before.
Status load_whole(const File& f, std::size_t bytes, std::uint64_t most,
                  SidecarIndex& out, SidecarFault& fault) noexcept {
    std::vector<unsigned char> data;
    try {
        data.resize(bytes + 1);
    } catch (const std::bad_alloc&) {
        return {Errc::no_memory, 0};
    }
    std::size_t n = 0;
    const Status s = f.read_at(0, data.data(), bytes + 1, n);
    return s.ok() ? parse_sidecar(data.data(), n, most, out, fault) : s;
}

// Reads `n` values of T at `at` straight into `v`, made `n + spare` long
// so that a file grown meanwhile shows as more bytes than asked; the
// bytes read are added to `sum`. `got` is the byte count read.
template <class T>
Status read_values(const File& f, std::int64_t at, std::size_t n,
                   std::size_t want, std::size_t spare, std::vector<T>& v,
                   Checksum& sum, std::size_t& got) noexcept {
    try {
        v.resize(n + spare);
    } catch (const std::bad_alloc&) {
        return {Errc::no_memory, 0};
    }
    const Status s = f.read_at(at, v.data(), want, got);
    // Bytes as bytes: reading an object's bytes through unsigned char is
    // allowed whatever its type.
    sum.add(reinterpret_cast<const unsigned char*>(v.data()),
            std::min(got, sizeof(T) * n));
    return s;
}

}  // namespace

Status load_sidecar(const File& f, std::uint64_t most, SidecarIndex& out,
                    SidecarFault& fault) noexcept {
    fault = SidecarFault::none;
    std::int64_t size = 0;
    Status s = f.size(size);
    if (!s.ok()) {
        return s;
    }
    const auto bytes = static_cast<std::size_t>(size);
    // The fixed fields, header, ETag and Last-Modified at their longest:
    // the records then go straight into the memory that becomes the
    // index, and a large index is never moved or held twice.
    unsigned char head[kFixedBytes +
                       static_cast<std::size_t>(kLongestHeaderBytes) +
                       kLongestEtag + kLongestModified];
    std::size_t got = 0;
    s = f.read_at(0, head, std::min(sizeof head, bytes), got);
    if (!s.ok()) {
        return s;
    }
    if (got < std::min(sizeof head, bytes)) {
        // Cut since its size was taken: the whole read finds how.
        return load_whole(f, bytes, most, out, fault);
    }
    std::size_t count = 0, at = 0;
    fault = fixed_fields(head, bytes, most, count, at);
    if (fault == SidecarFault::layout) {
        return load_whole(f, bytes, most, out, fault);
    }
    if (fault != SidecarFault::none) {
        return ok();
    }
    Checksum sum;
    sum.add(head, at);
    RecordIndex& index = out.index;
    auto pos = static_cast<std::int64_t>(at);
    std::size_t got_offsets = 0, got_horpos = 0, got_tags = 0;
    s = read_values(f, pos, count, 8 * count, 0, index.offsets, sum,
                    got_offsets);
    if (s.ok()) {
        pos += static_cast<std::int64_t>(8 * count);
        s = read_values(f, pos, count, 8 * count, 0, index.horpos, sum,
                        got_horpos);
    }
    // The tags, the checksum, and room for one byte more: a file grown
    // meanwhile fails the checksum rather than being cut to its old size.
    const std::size_t rest = 4 * count + kChecksumBytes;
    if (s.ok()) {
        pos += static_cast<std::int64_t>(8 * count);
        s = read_values(f, pos, count, rest + 1, 3, index.tags, sum,
                        got_tags);
    }
    if (!s.ok()) {
        return s;
    }
    const auto* tail = reinterpret_cast<const unsigned char*>(
        index.tags.data()) + 4 * count;
    if (got_offsets != 8 * count || got_horpos != 8 * count ||
        got_tags != rest || get<std::uint64_t>(tail) != sum.value()) {
        fault = SidecarFault::checksum;
        return ok();
    }
    s = fill_fields(head, out);
    if (!s.ok()) {
        return s;
    }
    index.tags.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        index.offsets[i] = from_le(index.offsets[i]);
        index.horpos[i] = from_le(index.horpos[i]);
        index.tags[i] = from_le(index.tags[i]);
    }
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
    if (sc.index.tags.size() != offsets.size() ||
        sc.index.horpos.size() != offsets.size()) {
        return SidecarFault::layout;
    }
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

std::size_t sampled_record(std::size_t k, std::size_t n) noexcept {
    if (n <= kSampledRecords) {
        return k;
    }
    // Evenly from the first to the last; the product fits, as n is a
    // count of records in memory.
    return static_cast<std::size_t>(
        static_cast<std::uint64_t>(k) * (n - 1) / (kSampledRecords - 1));
}

namespace {

bool same_head(std::int32_t tag, double pos, std::int32_t want_tag,
               double want_pos) noexcept {
    std::uint64_t a = 0, b = 0;
    std::memcpy(&a, &pos, sizeof a);
    std::memcpy(&b, &want_pos, sizeof b);
    // Bit for bit, but any NaN is the NaN of bytes past the end.
    return tag == want_tag &&
           (a == b || (std::isnan(pos) && std::isnan(want_pos)));
}

}  // namespace

Status check_head(const File& f, const RecordIndex& index, std::size_t r,
                  std::int64_t indexed_size, SidecarFault& fault) noexcept {
    constexpr std::size_t kHead = detail::kTagBytes + detail::kHorposBytes;
    fault = SidecarFault::none;
    if (r >= index.size() || index.tags.size() != index.size() ||
        index.horpos.size() != index.size()) {
        fault = SidecarFault::layout;
        return ok();
    }
    unsigned char head[kHead];
    std::size_t got = 0;
    const Status s = f.read_at(index.offsets[r], head, kHead, got);
    if (!s.ok()) {
        return s;
    }
    if (got < static_cast<std::size_t>(detail::kTagBytes)) {
        fault = SidecarFault::heads;
        return ok();
    }
    const double want = index.horpos[r];
    // A horpos past the end when indexed is known only by the scan that
    // goes on from there.
    const bool unknown =
        std::isnan(want) &&
        index.offsets[r] + static_cast<std::int64_t>(kHead) > indexed_size;
    const double pos = got == kHead && !unknown
                           ? get<double>(head + detail::kTagBytes)
                           : std::numeric_limits<double>::quiet_NaN();
    if (!same_head(get<std::int32_t>(head), pos, index.tags[r], want)) {
        fault = SidecarFault::heads;
    }
    return ok();
}

Status check_heads(const File& f, const RecordIndex& index,
                   std::int64_t indexed_size, SidecarFault& fault) noexcept {
    fault = SidecarFault::none;
    const std::size_t n = index.size();
    for (std::size_t k = 0; k < std::min(n, kSampledRecords); ++k) {
        const Status s = check_head(f, index, sampled_record(k, n),
                                    indexed_size, fault);
        if (!s.ok() || fault != SidecarFault::none) {
            return s;
        }
    }
    return ok();
}

Status adopt_sidecar(const File& f, const Header& h,
                     const std::vector<unsigned char>& header_bytes,
                     std::int64_t file_size, bool heads, SidecarIndex& sc,
                     RecordIndex& index, Stop& stop,
                     SidecarFault& fault) noexcept {
    fault = check_sidecar(sc, h, header_bytes, file_size);
    if (fault != SidecarFault::none) {
        return ok();
    }
    if (heads) {
        const Status s = check_heads(f, sc.index, sc.file_size, fault);
        if (!s.ok() || fault != SidecarFault::none) {
            return s;
        }
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
