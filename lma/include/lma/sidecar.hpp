// A record index kept beside its file (the sidecar), so that opening a
// large file costs a few small reads instead of a walk over every record.
// Its bytes are made and parsed here, in memory, wherever they are stored;
// the layout is described once, above the parser in sidecar.cpp. Nothing
// in a sidecar is trusted: it is used only once it fits the file's header
// and size and its last record (and damaged record) walk as recorded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lma/file.hpp"
#include "lma/header.hpp"
#include "lma/scan.hpp"
#include "lma/status.hpp"

namespace lma {

constexpr std::uint32_t kSidecarVersion = 2;
// An ETag names a version of a remote object; none is longer in practice.
constexpr std::size_t kLongestEtag = 1024;
// A Last-Modified date as HTTP gives it is 29 bytes.
constexpr std::size_t kLongestModified = 64;
// Records whose heads are compared with a sidecar's before it is used.
constexpr std::size_t kSampledRecords = 16;

// What a sidecar says about its file and the index it carries.
struct SidecarIndex {
    std::int64_t file_size = 0;  // when indexed
    std::int64_t mtime_ns = 0;   // when indexed, for information
    std::vector<unsigned char> header_bytes;  // as header_length gives
    std::vector<unsigned char> etag;          // empty for local files
    std::vector<unsigned char> modified;  // Last-Modified; empty locally
    RecordIndex index;  // offsets, heads and end, `scanned` set
    Stop stop;          // ok, or the damaged record where the index ends
};

// Why a sidecar was not used.
enum class SidecarFault {
    none,
    short_data,  // shorter than its fixed fields and checksum
    magic,       // not a sidecar at all
    version,     // a version this code does not know
    old_version,  // an earlier version, without the records' heads
    size,        // larger than any sidecar of the file could be
    checksum,    // its bytes were altered
    layout,      // lengths that do not add up, a field out of range
    header,      // made for a file with other header bytes
    offsets,     // not from the first record, not increasing by at least
                 // a record, or past the file's size when indexed
    shrunk,      // the file is now shorter than when indexed
    records,     // the last indexed record walks otherwise now
    damage,      // the end of the index is not what the file has there
    heads,       // a sampled record's tag or horpos differs
};

// A short phrase for messages ("its checksum does not match").
const char* sidecar_fault_text(SidecarFault fault) noexcept;

// The sidecar's bytes for `sc` in `out`. Errc::no_memory, or
// Errc::inconsistent for a stop that is no record damage, header bytes
// longer than a header or an ETag longer than kLongestEtag.
Status serialise_sidecar(const SidecarIndex& sc,
                         std::vector<unsigned char>& out) noexcept;

// The most records a file with header `h` and `file_size` bytes can
// hold, and the longest sidecar of that many records: a sidecar's own
// lengths are believed only within them.
std::uint64_t most_records(const Header& h, std::int64_t file_size) noexcept;
std::uint64_t longest_sidecar(std::uint64_t most_records) noexcept;

// Parses `n` bytes at `data` into `out`, checking everything that needs
// no file: size (at most longest_sidecar(most)), magic, version,
// checksum, lengths, the count of records (at most `most`) and the
// stop's kind. `fault` says why not when it is not none; then `out` is
// unspecified. No allocation is larger than `n`. The status is
// Errc::no_memory or ok.
Status parse_sidecar(const unsigned char* data, std::size_t n,
                     std::uint64_t most, SidecarIndex& out,
                     SidecarFault& fault) noexcept;

// parse_sidecar on the sidecar file `f`, with the same result, read
// straight into the memory that becomes the index: a large index is
// never moved or held twice. A file larger than longest_sidecar(most) is
// refused before more than its fixed part is read or anything reserved. A file cut or grown
// while read fails. Errors of the reading (Errc::os, Errc::no_memory) as
// their status.
Status load_sidecar(const File& f, std::uint64_t most, SidecarIndex& out,
                    SidecarFault& fault) noexcept;

// Whether a parsed sidecar fits a file whose header `h` was parsed from
// `header_bytes` and which is `file_size` bytes long now: the same header
// bytes, not shorter than when indexed, offsets from h.pos_begin on, each
// at least a smallest record after the one before, the last one inside
// the file as indexed. Reads nothing.
SidecarFault check_sidecar(const SidecarIndex& sc, const Header& h,
                           const std::vector<unsigned char>& header_bytes,
                           std::int64_t file_size) noexcept;

// Which record the k-th of the kSampledRecords compared is, of `n`:
// evenly spaced from the first to the last, or all of them when fewer.
std::size_t sampled_record(std::size_t k, std::size_t n) noexcept;

// Reads the tag and horpos of record `r` of `index`, made of a file
// `indexed_size` bytes long, from `f`; `fault` heads when either differs
// (or cannot be read whole), layout for no such record.
Status check_head(const File& f, const RecordIndex& index, std::size_t r,
                  std::int64_t indexed_size, SidecarFault& fault) noexcept;

// Reads the tag and horpos of the sampled records of `index`, made of a
// file `indexed_size` bytes long, from `f`; `fault` heads when one
// differs (or cannot be read whole). Errors of the reading as their
// status.
Status check_heads(const File& f, const RecordIndex& index,
                   std::int64_t indexed_size, SidecarFault& fault) noexcept;

// check_sidecar, then the walks over `f` that need the file: with
// `heads`, the sampled records' heads must be the sidecar's (check_heads;
// a caller holding only some of the file's bytes compares them itself);
// its last indexed record must end where the sidecar says, and a scan from the
// index's end must give the recorded stop when the file has the recorded
// size (a grown file is scanned on from there instead). On success
// `index` and `stop` are the index the file has now, the sidecar's index
// moved out of `sc`; otherwise they are untouched and `fault` says why.
// Errors of the reading (Errc::os, Errc::no_memory) as their status.
Status adopt_sidecar(const File& f, const Header& h,
                     const std::vector<unsigned char>& header_bytes,
                     std::int64_t file_size, bool heads, SidecarIndex& sc,
                     RecordIndex& index, Stop& stop,
                     SidecarFault& fault) noexcept;

// The checksum a sidecar ends with, over `n` bytes: four chains of 64-bit
// multiply-rotate steps over little-endian words, then a final mix. Not
// proof against a forger, but any change of accident is caught, at a
// small fraction of the time reading the sidecar takes.
std::uint64_t sidecar_checksum(const unsigned char* data,
                               std::size_t n) noexcept;

}  // namespace lma
