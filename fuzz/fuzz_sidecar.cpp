// libFuzzer target for the sidecar: an LMA file and a sidecar for it, cut
// from one input, the sidecar parsed and checked against the file. Besides
// the sanitizers it checks that parsed bytes serialise back to themselves
// and parse alike from a file, faults included,
// that no refusal touches the caller's index, that a sidecar used gives
// increasing offsets from the first record, and that one whose offsets
// are the scan's own (or the first of them, for a grown file) gives
// exactly the scan's index, end and stop. Offsets in
// between are not walked at opening: every read walks its records against
// them and reports a mismatch as a changed file.
//
// Input: one byte of mode, a 4-byte little-endian sidecar length L, L
// bytes of sidecar, the rest the file. An odd mode makes the sidecar's
// checksum match first, so mutations reach the checks behind it.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lma/replaced.hpp"
#include "lma/scan.hpp"
#include "lma/sidecar.hpp"
#include "lma/stream.hpp"

namespace {

void fail_at(int line) {
    std::fprintf(stderr, "check failed at line %d\n", line);
    std::abort();
}

#define require(ok) ((ok) ? (void)0 : fail_at(__LINE__))

bool same_stop(const lma::Stop& a, const lma::Stop& b) {
    return a.status.code == b.status.code &&
           a.status.value == b.status.value &&
           a.status.extra == b.status.extra && a.offset == b.offset &&
           a.event == b.event;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
    if (size < 5) {
        return 0;
    }
    std::uint32_t length = 0;
    std::memcpy(&length, data + 1, 4);
    length = lma::from_le(length);
    const std::size_t rest = size - 5;
    const std::size_t n = length < rest ? length : rest;
    std::vector<unsigned char> sidecar(data + 5, data + 5 + n);
    if ((data[0] & 1) && n >= 8) {
        const std::uint64_t c =
            lma::from_le(lma::sidecar_checksum(sidecar.data(), n - 8));
        std::memcpy(sidecar.data() + n - 8, &c, 8);
    }
    const int fd = memfd_create("fuzz", MFD_CLOEXEC);
    require(fd >= 0);
    lma::File f = lma::File::adopt(fd);
    const std::size_t file_size = rest - n;
    require(file_size == 0 ||
            write(fd, data + 5 + n, file_size) ==
                static_cast<ssize_t>(file_size));

    lma::SidecarIndex sc;
    lma::SidecarFault fault = lma::SidecarFault::none;
    require(lma::parse_sidecar(sidecar.data(), n, ~std::uint64_t{0}, sc,
                               fault).ok());
    // Loaded from a sidecar file, the same.
    const int side_fd = memfd_create("fuzz-sidecar", MFD_CLOEXEC);
    require(side_fd >= 0);
    const lma::File side = lma::File::adopt(side_fd);
    require(n == 0 || write(side_fd, sidecar.data(), n) ==
                          static_cast<ssize_t>(n));
    lma::SidecarIndex loaded;
    lma::SidecarFault load_fault = lma::SidecarFault::none;
    require(lma::load_sidecar(side, ~std::uint64_t{0}, loaded, load_fault).ok() &&
            load_fault == fault);
    if (fault != lma::SidecarFault::none) {
        return 0;
    }
    require(loaded.index.offsets == sc.index.offsets &&
            loaded.index.tags == sc.index.tags &&
            loaded.header_bytes == sc.header_bytes &&
            loaded.etag == sc.etag && loaded.index.end == sc.index.end &&
            loaded.file_size == sc.file_size &&
            same_stop(loaded.stop, sc.stop));
    std::vector<unsigned char> again;
    require(lma::serialise_sidecar(sc, again).ok() && again == sidecar);

    lma::Header h;
    std::vector<unsigned char> header_bytes;
    if (!lma::read_header_and_bytes(f, h, header_bytes).ok() ||
        h.nsamples < 0) {
        return 0;
    }
    const auto fsize = static_cast<std::int64_t>(file_size);
    const std::vector<std::int64_t> told = sc.index.offsets;
    lma::RecordIndex index;
    index.offsets = {-7};
    lma::Stop stop;
    stop.offset = -7;
    const lma::Status st = lma::adopt_sidecar(f, h, header_bytes, fsize, true, sc,
                                              index, stop, fault);
    require(st.ok() || st.code == lma::Errc::no_memory);
    if (!st.ok() || fault != lma::SidecarFault::none) {
        require(index.offsets.size() == 1 && index.offsets[0] == -7 &&
                stop.offset == -7);
        return 0;
    }
    lma::RecordIndex want;
    const lma::Stop want_stop = lma::scan_records(f, h, fsize, want);
    require(index.offsets.empty() ? index.end == h.pos_begin
                                  : index.offsets[0] == h.pos_begin);
    for (std::size_t i = 1; i < index.offsets.size(); ++i) {
        require(index.offsets[i] > index.offsets[i - 1]);
    }
    if (told.size() <= want.offsets.size() &&
        std::equal(told.begin(), told.end(), want.offsets.begin())) {
        require(index.offsets == want.offsets && index.end == want.end &&
                same_stop(stop, want_stop));
    }
    return 0;
}
