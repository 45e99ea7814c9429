// The sidecar: its bytes made and parsed back, every refusal of the parser
// and of the checks against the file, and the index it gives equal to a
// scan's on random files, sound, damaged and grown.
#include <random>

#include "lma/check.hpp"
#include "lma/replaced.hpp"
#include "lma/sidecar.hpp"
#include "lma_files.hpp"

namespace {

using test::Bytes;
using test::MemFile;
using Fault = lma::SidecarFault;

struct Scanned {
    lma::Header h;
    std::vector<unsigned char> header_bytes;
    lma::RecordIndex index;
    lma::Stop stop;
};

Scanned scan(const MemFile& m, std::int64_t size) {
    Scanned s;
    (void)lma::read_header_and_bytes(m.file, s.h, s.header_bytes);
    s.stop = lma::scan_records(m.file, s.h, size, s.index);
    return s;
}

std::vector<unsigned char> sidecar_of(const Scanned& s, std::int64_t size) {
    lma::SidecarIndex sc;
    sc.file_size = size;
    sc.mtime_ns = 12345;
    sc.header_bytes = s.header_bytes;
    sc.index = s.index;
    sc.stop = s.stop;
    std::vector<unsigned char> out;
    CHECK(lma::serialise_sidecar(sc, out).ok());
    return out;
}

bool same_stop(const lma::Stop& a, const lma::Stop& b) {
    return test::same(a.status, b.status) && a.offset == b.offset &&
           a.event == b.event;
}

// What adopting `bytes` for the file in `m` of `size` bytes gives.
Fault adopt(const MemFile& m, const Scanned& now,
            const std::vector<unsigned char>& bytes, std::int64_t size,
            lma::RecordIndex& index, lma::Stop& stop) {
    lma::SidecarIndex sc;
    Fault fault = Fault::none;
    CHECK(lma::parse_sidecar(bytes.data(), bytes.size(),
                             lma::most_records(now.h, size), sc, fault)
              .ok());
    if (fault != Fault::none) {
        return fault;
    }
    CHECK(lma::adopt_sidecar(m.file, now.h, now.header_bytes, size, true,
                             sc, index, stop, fault)
              .ok());
    return fault;
}

bool same_horpos(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() ||
            std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

void rechecksum(std::vector<unsigned char>& b) {
    const std::uint64_t c = lma::from_le(
        lma::sidecar_checksum(b.data(), b.size() - 8));
    std::memcpy(b.data() + b.size() - 8, &c, 8);
}

// Random files, whole and grown from a part: the sidecar's index, used,
// is the scan's, offsets, end and stop alike.
void test_round_trip_and_growth() {
    std::mt19937 rng(11);
    for (int round = 0; round < 300; ++round) {
        const Bytes whole =
            test::random_file(test::random_shape(rng, round % 2), rng);
        const auto size = static_cast<std::int64_t>(whole.b.size());
        const std::int64_t part = std::uniform_int_distribution<std::int64_t>(
            0, size)(rng);
        MemFile m(whole);
        const Scanned want = scan(m, size);
        if (!lma::check_header(want.h, lma::ok(), size).ok() ||
            want.h.pos_begin > part) {
            continue;
        }
        for (const std::int64_t at : {size, part}) {
            const Scanned then = scan(m, at);
            lma::RecordIndex index;
            lma::Stop stop;
            CHECK(adopt(m, want, sidecar_of(then, at), size, index, stop) ==
                  Fault::none);
            CHECK(index.offsets == want.index.offsets &&
                  index.tags == want.index.tags &&
                  same_horpos(index.horpos, want.index.horpos) &&
                  index.end == want.index.end && same_stop(stop, want.stop));
        }
    }
}

// Each refusal, on one sound file: a sidecar cut, altered or lying.
void test_refusals() {
    std::mt19937 rng(5);
    test::FileShape shape;
    shape.channels = {{1000, 0, 3, 0.5}, {1000, 0, 0, 1.0}};
    shape.nsamples = 16;
    shape.events = 12;
    const Bytes file = test::random_file(shape, rng);
    const auto size = static_cast<std::int64_t>(file.b.size());
    MemFile m(file);
    const Scanned s = scan(m, size);
    const std::vector<unsigned char> good = sidecar_of(s, size);
    lma::RecordIndex index;
    lma::Stop stop;
    CHECK(adopt(m, s, good, size, index, stop) == Fault::none);
    auto fault_of = [&](std::vector<unsigned char> b) {
        return adopt(m, s, b, size, index, stop);
    };
    auto with_field = [&](std::size_t at, auto value) {
        std::vector<unsigned char> b = good;
        value = lma::from_le(value);
        std::memcpy(b.data() + at, &value, sizeof value);
        rechecksum(b);
        return b;
    };
    // Cut anywhere, or one bit flipped anywhere.
    for (std::size_t n = 0; n < good.size(); n += 7) {
        CHECK(fault_of({good.begin(), good.begin() + n}) != Fault::none);
    }
    for (std::size_t at = 0; at < good.size(); ++at) {
        std::vector<unsigned char> b = good;
        b[at] ^= static_cast<unsigned char>(1u << (at % 8));
        CHECK(fault_of(b) != Fault::none);
    }
    CHECK(fault_of({good.begin(), good.begin() + 103}) ==
          Fault::short_data);
    CHECK(fault_of(with_field(0, std::uint8_t{'X'})) == Fault::magic);
    CHECK(fault_of(with_field(8, std::uint32_t{3})) == Fault::version);
    CHECK(fault_of(with_field(8, std::uint32_t{1})) == Fault::old_version);
    std::vector<unsigned char> flipped = good;
    flipped[40] ^= 1;  // the modification time: only the checksum covers it
    CHECK(fault_of(flipped) == Fault::checksum);
    // Lengths: each one too long for the bytes, or past its limit.
    CHECK(fault_of(with_field(12, std::uint32_t{819})) == Fault::layout);
    CHECK(fault_of(with_field(16, std::uint32_t{1025})) == Fault::layout);
    CHECK(fault_of(with_field(16, std::uint32_t{0xFFFFFFFF})) ==
          Fault::layout);
    CHECK(fault_of(with_field(20, std::uint32_t{7})) == Fault::layout);
    CHECK(fault_of(with_field(24, std::uint64_t{s.index.size() + 1})) ==
          Fault::layout);
    CHECK(fault_of(with_field(24, ~std::uint64_t{0})) == Fault::layout);
    CHECK(fault_of(with_field(88, std::uint32_t{65})) == Fault::layout);
    CHECK(fault_of(with_field(92, std::uint32_t{1})) == Fault::layout);
    // Against the file.
    CHECK(fault_of(with_field(96, std::uint8_t{0xFF})) == Fault::header);
    CHECK(fault_of(with_field(32, size + 1)) == Fault::shrunk);
    const std::size_t first = 96 + s.header_bytes.size();
    const std::size_t n = s.index.size();
    // A middle record's tag, and the first one's horpos.
    CHECK(fault_of(with_field(first + 16 * n + 4 * (n / 2),
                              s.index.tags[n / 2] + 1)) == Fault::heads);
    CHECK(fault_of(with_field(first + 8 * n, 1234.5678)) == Fault::heads);
    CHECK(fault_of(with_field(first, s.index.offsets[0] + 1)) ==
          Fault::offsets);
    CHECK(fault_of(with_field(first + 8, s.index.offsets[0] + 1)) ==
          Fault::offsets);
    CHECK(fault_of(with_field(first + 8, std::int64_t{-1})) ==
          Fault::offsets);
    CHECK(fault_of(with_field(48, std::int64_t{-1} << 62)) == Fault::offsets);
    {
        // A step down so far that its difference would wrap around.
        std::vector<unsigned char> far = with_field(first + 8,
                                                    std::int64_t{1} << 62);
        const std::int64_t below = lma::from_le(-(std::int64_t{1} << 62) - 1);
        std::memcpy(far.data() + first + 16, &below, 8);
        rechecksum(far);
        CHECK(fault_of(far) == Fault::offsets);
    }
    CHECK(fault_of(with_field(32, size - 1)) == Fault::offsets);
    const std::size_t last = first + 8 * (s.index.size() - 1);
    CHECK(fault_of(with_field(last, s.index.offsets.back() + 4)) ==
          Fault::heads);
    CHECK(fault_of(with_field(48, s.index.end - 1)) == Fault::records);
    CHECK(fault_of(with_field(20, std::uint32_t{1})) == Fault::damage);
    CHECK(fault_of(with_field(80, std::int64_t{3})) == Fault::damage);
    // A refusal leaves the caller's index alone.
    index.offsets = {7};
    CHECK(fault_of(with_field(8, std::uint32_t{3})) == Fault::version &&
          index.offsets.size() == 1);
}

// A sidecar whose lengths add up and whose checksum is right, but whose
// header is longer than any header: refused before its length sizes a
// read, from bytes and from a file alike.
void test_header_longer_than_any() {
    std::mt19937 rng(7);
    const Bytes file = test::random_file(test::random_shape(rng, false), rng);
    const auto size = static_cast<std::int64_t>(file.b.size());
    MemFile m(file);
    const Scanned s = scan(m, size);
    const std::vector<unsigned char> good = sidecar_of(s, size);
    const std::size_t nh = s.header_bytes.size();
    constexpr std::uint32_t kLong = 3000;
    std::vector<unsigned char> b(good.begin(), good.begin() + 96);
    const std::uint32_t len = lma::from_le(kLong);
    std::memcpy(b.data() + 12, &len, 4);
    b.resize(96 + kLong, 0x5A);
    b.insert(b.end(), good.begin() + 96 + static_cast<std::ptrdiff_t>(nh),
             good.end());
    rechecksum(b);
    Bytes bytes;
    bytes.b = b;
    MemFile side(bytes);
    lma::SidecarIndex from_file, from_bytes;
    Fault a = Fault::none, c = Fault::none;
    const std::uint64_t most = ~std::uint64_t{0};
    CHECK(lma::load_sidecar(side.file, most, from_file, a).ok());
    CHECK(lma::parse_sidecar(b.data(), b.size(), most, from_bytes, c).ok());
    CHECK(a == Fault::layout && c == Fault::layout);
}

// A sidecar longer than any of its file's, or claiming more records
// than the file can hold, is refused before anything is reserved.
void test_bounded_by_the_file() {
    std::mt19937 rng(9);
    const Bytes file = test::random_file(test::random_shape(rng, false), rng);
    const auto size = static_cast<std::int64_t>(file.b.size());
    MemFile m(file);
    const Scanned s = scan(m, size);
    const std::uint64_t most = lma::most_records(s.h, size);
    CHECK(most >= s.index.size());
    const std::vector<unsigned char> good = sidecar_of(s, size);
    std::vector<unsigned char> big = good;
    big.resize(lma::longest_sidecar(most) + 1);
    Bytes bytes;
    bytes.b = big;
    MemFile side(bytes);
    lma::SidecarIndex sc;
    Fault fault = Fault::none;
    CHECK(lma::load_sidecar(side.file, most, sc, fault).ok() &&
          fault == Fault::size);
    CHECK(lma::parse_sidecar(big.data(), big.size(), most, sc, fault).ok() &&
          fault == Fault::size);
    // Its own count alone, beyond what the file can hold.
    CHECK(s.index.size() == 0 ||
          (lma::parse_sidecar(good.data(), good.size(), s.index.size() - 1,
                              sc, fault)
               .ok() &&
           fault == Fault::layout));
}

// Loaded from a file, straight into the memory that becomes the index,
// a sidecar gives what its bytes parse to, refusals included: one cut,
// grown, or with lengths that do not add up.
void test_load_from_file() {
    std::mt19937 rng(3);
    const Bytes file = test::random_file(test::random_shape(rng, false), rng);
    const auto size = static_cast<std::int64_t>(file.b.size());
    MemFile m(file);
    const Scanned s = scan(m, size);
    const std::vector<unsigned char> good = sidecar_of(s, size);
    std::vector<std::vector<unsigned char>> cases;
    for (const std::size_t n : {good.size(), good.size() - 1,
                                good.size() - 8, std::size_t{103}}) {
        cases.emplace_back(good.begin(), good.begin() + n);
    }
    cases.push_back(good);
    cases.back().push_back(0);
    for (const std::size_t field : {12, 16, 24}) {
        cases.push_back(good);
        cases.back()[field] ^= 0x40;
    }
    cases.push_back(good);
    cases.back()[good.size() - 9] ^= 1;   // an offset altered
    for (const std::vector<unsigned char>& c : cases) {
        Bytes b;
        b.b = c;
        MemFile side(b);
        lma::SidecarIndex from_file, from_bytes;
        Fault a = Fault::none, b2 = Fault::none;
        const std::uint64_t most = lma::most_records(s.h, size);
        CHECK(lma::load_sidecar(side.file, most, from_file, a).ok());
        CHECK(lma::parse_sidecar(c.data(), c.size(), most, from_bytes, b2)
                  .ok());
        CHECK(a == b2 && (c == good) == (a == Fault::none));
        CHECK(a != Fault::none ||
              (from_file.index.offsets == s.index.offsets &&
               from_file.index.tags == s.index.tags &&
               same_horpos(from_file.index.horpos, s.index.horpos) &&
               from_file.header_bytes == from_bytes.header_bytes &&
               from_file.index.end == s.index.end));
    }
}

}  // namespace

int main() {
    test_round_trip_and_growth();
    test_refusals();
    test_load_from_file();
    test_header_longer_than_any();
    test_bounded_by_the_file();
    return test::summary();
}
