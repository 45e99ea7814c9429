// The persistent index: a NativeFile's index as sidecar bytes and back,
// and the sidecar's parts as plain values for whoever stores or checks
// them. Finding and writing the sidecar file is kelvane.sidecar's job;
// the layout and every check are lma's.
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "lma/sidecar.hpp"
#include "native_file.hpp"

namespace lmafile {

namespace {

// Acquires a contiguous, read-only view of `obj`'s bytes; false with an
// exception set.
bool take_bytes(PyObject* obj, BufferView& view) noexcept {
    return view.acquire(obj, PyBUF_SIMPLE);
}

const unsigned char* bytes_of(const BufferView& view) noexcept {
    return static_cast<const unsigned char*>(view.view().buf);
}

std::size_t size_of(const BufferView& view) noexcept {
    return static_cast<std::size_t>(view.view().len);
}

// The bytes of `v` for "y#", which gives None for a null pointer.
const char* chars_of(const std::vector<unsigned char>& v) noexcept {
    return v.empty() ? "" : reinterpret_cast<const char*>(v.data());
}

// Raises for a status of sidecar making; returns nullptr.
PyObject* raise_making(const lma::Status& st) noexcept {
    if (st.code == lma::Errc::no_memory) {
        return PyErr_NoMemory();
    }
    PyErr_SetString(PyExc_ValueError, "not a record index for a sidecar");
    return nullptr;
}

}  // namespace

// sidecar(etag, size=-1, modified=b"") -> bytes: the index as a
// sidecar, with the file as last scanned (size, modification time),
// `etag` and `modified` (the store's Last-Modified; both empty for local
// files). A file held elsewhere has no stamp of its own: the caller gives
// the size its store reported for the bytes indexed.
PyObject* nativefile_sidecar(PyObject* self, PyObject* args) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        PyObject* arg = nullptr;
        PyObject* modified_arg = nullptr;
        long long size = -1;
        BufferView etag, modified;
        if (!PyArg_ParseTuple(args, "O|LO:sidecar", &arg, &size,
                              &modified_arg) ||
            !take_bytes(arg, etag) ||
            (modified_arg != nullptr &&
             !take_bytes(modified_arg, modified))) {
            return nullptr;
        }
        if (s.remote && size < 0) {
            PyErr_SetString(PyExc_ValueError,
                            "a file held elsewhere needs its size");
            return nullptr;
        }
        lma::SidecarIndex sc;
        sc.etag.assign(bytes_of(etag), bytes_of(etag) + size_of(etag));
        if (modified_arg != nullptr) {
            sc.modified.assign(bytes_of(modified),
                               bytes_of(modified) + size_of(modified));
        }
        sc.header_bytes = s.header_bytes;
        lma::Status st;
        {
            ReadLock lock(s.lock);
            st = readable(s);
            if (st.ok()) {
                sc.index = s.index;
                sc.stop = s.stop;
                sc.file_size = s.remote ? size : s.stamp.size;
                sc.mtime_ns = s.remote ? 0 : s.stamp.mtime_ns;
            }
        }
        if (!st.ok()) {
            return raise_for_file(s, st);
        }
        std::vector<unsigned char> out;
        if (!(st = lma::serialise_sidecar(sc, out)).ok()) {
            return raise_making(st);
        }
        return PyBytes_FromStringAndSize(
            reinterpret_cast<const char*>(out.data()),
            static_cast<Py_ssize_t>(out.size()));
    });
}

namespace {

// The sidecar `source` stands for parsed into `sc`, believed only up to
// `most` records: an int is an open descriptor of the sidecar file, read
// here, straight into the memory that becomes the index; anything else
// exports its bytes. Called with the interpreter lock released, the
// bytes held in `data`.
lma::Status parse_source(int fd, const BufferView& data, std::uint64_t most,
                         lma::SidecarIndex& sc, lma::SidecarFault& fault) {
    if (fd < 0) {
        return lma::parse_sidecar(bytes_of(data), size_of(data), most, sc,
                                  fault);
    }
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) {
        return {lma::Errc::os, errno};
    }
    const lma::File f = lma::File::adopt(own);
    return lma::load_sidecar(f, most, sc, fault);
}

// The bytes of a sidecar of `index`: (offsets, tags, horpos) as native
// int64, int32 and float64 bytes.
PyObject* record_bytes(const lma::RecordIndex& index) noexcept {
    const auto& o = index.offsets;
    const auto& t = index.tags;
    const auto& p = index.horpos;
    return Py_BuildValue(
        "(y#y#y#)", o.empty() ? "" : reinterpret_cast<const char*>(o.data()),
        static_cast<Py_ssize_t>(o.size() * sizeof(o[0])),
        t.empty() ? "" : reinterpret_cast<const char*>(t.data()),
        static_cast<Py_ssize_t>(t.size() * sizeof(t[0])),
        p.empty() ? "" : reinterpret_cast<const char*>(p.data()),
        static_cast<Py_ssize_t>(p.size() * sizeof(p[0])));
}

}  // namespace

// The heads of a file held elsewhere, one bytes object per sampled
// record in order (its first bytes, up to a whole head), against the
// sidecar's. Checks the sidecar first, as adopt_sidecar does, so its
// offsets are known sound before they are believed here.
lma::Status remote_heads(const FileState& s, const BufferView* heads,
                         std::size_t nheads, std::int64_t size,
                         const lma::SidecarIndex& sc,
                         lma::SidecarFault& fault) noexcept {
    fault = lma::check_sidecar(sc, s.header, s.header_bytes, size);
    const std::size_t n = sc.index.size();
    for (std::size_t k = 0; fault == lma::SidecarFault::none &&
                            k < std::min(n, lma::kSampledRecords);
         ++k) {
        const std::size_t r = lma::sampled_record(k, n);
        if (k >= nheads) {
            fault = lma::SidecarFault::heads;
            break;
        }
        const lma::File f = lma::File::over(
            bytes_of(heads[k]), sc.index.offsets[r], size_of(heads[k]));
        const lma::Status st =
            lma::check_head(f, sc.index, r, sc.file_size, fault);
        if (!st.ok()) {
            return st;
        }
    }
    return lma::ok();
}

// use_sidecar(source, block=None, base=0, heads=()) -> None, or why not:
// takes the index from a sidecar (its bytes, or an open descriptor of its
// file) if it fits the file as it is now (lma::adopt_sidecar), scanning
// on from its end when the file has grown. A file held elsewhere gives in
// `block` its bytes from `base`, the sidecar's last record on: the walks
// read only those. Where the object goes on past them, the caller scans
// on from the index's end; else a record reaching past them is cut short.
// In `heads` it gives the first bytes of each sampled record
// (lma::sampled_record).
// The index is untouched when it does not fit; errors of reading the
// file raise, those of reading the sidecar give the reason.
PyObject* nativefile_use_sidecar(PyObject* self, PyObject* args) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        PyObject* arg = nullptr;
        PyObject* block = Py_None;
        PyObject* heads_arg = nullptr;
        long long base = 0;
        CallBytes bytes;
        if (!PyArg_ParseTuple(args, "O|OLO:use_sidecar", &arg, &block,
                              &base, &heads_arg) ||
            !bytes.take(s, block, base)) {
            return nullptr;
        }
        BufferView heads[lma::kSampledRecords];
        std::size_t nheads = 0;
        if (heads_arg != nullptr) {
            Ref seq = Ref::steal(
                PySequence_Fast(heads_arg, "heads must be a sequence"));
            if (!seq) {
                return nullptr;
            }
            const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
            if (n > static_cast<Py_ssize_t>(lma::kSampledRecords)) {
                PyErr_SetString(PyExc_ValueError, "too many heads");
                return nullptr;
            }
            for (; nheads < static_cast<std::size_t>(n); ++nheads) {
                if (!take_bytes(PySequence_Fast_GET_ITEM(
                                    seq.get(),
                                    static_cast<Py_ssize_t>(nheads)),
                                heads[nheads])) {
                    return nullptr;
                }
            }
        }
        BufferView data;
        int fd = -1;
        if (PyLong_Check(arg)) {
            if ((fd = PyObject_AsFileDescriptor(arg)) < 0) {
                return nullptr;
            }
        } else if (!take_bytes(arg, data)) {
            return nullptr;
        }
        lma::SidecarIndex sc;
        lma::SidecarFault fault = lma::SidecarFault::none;
        lma::Status read, st;
        {
            GilRelease released;
            std::unique_lock<lma::RwLock> lock(s.lock);
            lma::FileStamp now;
            st = readable(s);
            if (st.ok() && s.remote) {
                now.size = s.header.pos_end;
            } else if (st.ok()) {
                st = lma::stamp_of(s.file, now);
            }
            // Only the data file's size bounds what the sidecar may make
            // this reserve.
            if (st.ok()) {
                read = parse_source(fd, data,
                                    lma::most_records(s.header, now.size),
                                    sc, fault);
            }
            if (st.ok() && read.ok() && fault == lma::SidecarFault::none) {
                const lma::File& f = bytes.file(s);
                lma::RecordIndex index;
                lma::Stop stop;
                // Over a URL the caller holds only the last record's
                // bytes, and hands the sampled heads apart.
                if (s.remote) {
                    st = remote_heads(s, heads, nheads, now.size, sc,
                                      fault);
                }
                if (st.ok() && fault == lma::SidecarFault::none) {
                    st = lma::adopt_sidecar(f, s.header, s.header_bytes,
                                            now.size, !s.remote, sc, index,
                                            stop, fault);
                }
                if (st.ok() && fault == lma::SidecarFault::none) {
                    // Bytes given that end before the object does: a
                    // record cut short at their end is the caller's to
                    // scan on from the index's end, as scan_block does,
                    // not damage.
                    std::int64_t given_end = now.size;
                    (void)f.size(given_end);
                    const bool pending =
                        s.remote && given_end < now.size &&
                        (stop.ok() || stop.status.code == lma::Errc::read);
                    s.index = std::move(index);
                    s.stop = pending ? lma::Stop{} : stop;
                    s.fault = pending ? lma::RecordFault{}
                                      : lma::explain_stop(f, s.header,
                                                          now.size, stop);
                    s.stamp = now;
                }
            }
        }
        if (read.code == lma::Errc::os) {
            // A sidecar that cannot be read is not used, like one that
            // does not fit.
            return PyUnicode_FromFormat("it cannot be read: %s",
                                        std::strerror(
                                            static_cast<int>(read.value)));
        }
        if (!read.ok()) {
            return raise_for_file(s, read);
        }
        if (!st.ok()) {
            return raise_for_file(s, st);
        }
        if (fault == lma::SidecarFault::none) {
            Py_RETURN_NONE;
        }
        return PyUnicode_FromString(lma::sidecar_fault_text(fault));
    });
}

// sidecar_parts(data) -> (file_size, mtime_ns, header bytes, etag,
// offsets as int64 bytes, end, stop code, value, extra, stop offset,
// stop event, Last-Modified, tags as int32 bytes, horpos as float64
// bytes); ValueError saying why for bytes that are no sidecar.
PyObject* module_sidecar_parts(PyObject*, PyObject* arg) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        BufferView data;
        if (!take_bytes(arg, data)) {
            return nullptr;
        }
        lma::SidecarIndex sc;
        lma::SidecarFault fault = lma::SidecarFault::none;
        // Bytes in memory already: bounded by their own length only.
        const lma::Status st = lma::parse_sidecar(
            bytes_of(data), size_of(data), ~std::uint64_t{0}, sc, fault);
        if (!st.ok()) {
            return raise_making(st);
        }
        if (fault != lma::SidecarFault::none) {
            PyErr_SetString(PyExc_ValueError, lma::sidecar_fault_text(fault));
            return nullptr;
        }
        Ref records = Ref::steal(record_bytes(sc.index));
        if (!records) {
            return nullptr;
        }
        return Py_BuildValue(
            "(LLy#y#OLillLLy#OO)", static_cast<long long>(sc.file_size),
            static_cast<long long>(sc.mtime_ns),
            chars_of(sc.header_bytes),
            static_cast<Py_ssize_t>(sc.header_bytes.size()),
            chars_of(sc.etag), static_cast<Py_ssize_t>(sc.etag.size()),
            PyTuple_GET_ITEM(records.get(), 0),
            static_cast<long long>(sc.index.end),
            static_cast<int>(sc.stop.status.code), sc.stop.status.value,
            sc.stop.status.extra, static_cast<long long>(sc.stop.offset),
            static_cast<long long>(sc.stop.event), chars_of(sc.modified),
            static_cast<Py_ssize_t>(sc.modified.size()),
            PyTuple_GET_ITEM(records.get(), 1),
            PyTuple_GET_ITEM(records.get(), 2));
    });
}

// sidecar_from_parts(parts) -> bytes: the inverse of sidecar_parts,
// with the checksum computed; any values, so tests can make sidecars
// that lie.
PyObject* module_sidecar_from_parts(PyObject*, PyObject* arg) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        long long size = 0, mtime = 0, end = 0, stop_offset = 0,
                  stop_event = 0;
        const char *header = nullptr, *etag = nullptr, *offsets = nullptr,
                   *modified = nullptr, *tags = nullptr, *horpos = nullptr;
        Py_ssize_t nheader = 0, netag = 0, noffsets = 0, nmodified = 0,
                   ntags = 0, nhorpos = 0;
        int code = 0;
        long value = 0, extra = 0;
        if (!PyArg_ParseTuple(arg, "LLy#y#y#LillLLy#y#y#:sidecar_from_parts",
                              &size, &mtime, &header, &nheader, &etag,
                              &netag, &offsets, &noffsets, &end, &code,
                              &value, &extra, &stop_offset, &stop_event,
                              &modified, &nmodified, &tags, &ntags, &horpos,
                              &nhorpos)) {
            return nullptr;
        }
        const Py_ssize_t n = noffsets / 8;
        if (noffsets % 8 != 0 || ntags != 4 * n || nhorpos != 8 * n) {
            PyErr_SetString(PyExc_ValueError,
                            "offsets, tags and horpos are int64, int32 "
                            "and float64 bytes, one of each per record");
            return nullptr;
        }
        lma::SidecarIndex sc;
        sc.file_size = size;
        sc.mtime_ns = mtime;
        sc.header_bytes.assign(header, header + nheader);
        sc.etag.assign(etag, etag + netag);
        sc.modified.assign(modified, modified + nmodified);
        sc.index.offsets.resize(static_cast<std::size_t>(n));
        sc.index.tags.resize(static_cast<std::size_t>(n));
        sc.index.horpos.resize(static_cast<std::size_t>(n));
        if (n != 0) {
            std::memcpy(sc.index.offsets.data(), offsets,
                        static_cast<std::size_t>(noffsets));
            std::memcpy(sc.index.tags.data(), tags,
                        static_cast<std::size_t>(ntags));
            std::memcpy(sc.index.horpos.data(), horpos,
                        static_cast<std::size_t>(nhorpos));
        }
        sc.index.end = end;
        sc.stop.status = {static_cast<lma::Errc>(code), value, extra};
        sc.stop.offset = stop_offset;
        sc.stop.event = stop_event;
        std::vector<unsigned char> out;
        const lma::Status st = lma::serialise_sidecar(sc, out);
        if (!st.ok()) {
            return raise_making(st);
        }
        return PyBytes_FromStringAndSize(
            reinterpret_cast<const char*>(out.data()),
            static_cast<Py_ssize_t>(out.size()));
    });
}

// longest_sidecar(size) -> int: the most bytes a sidecar of this file,
// were it `size` bytes long, can have; a remote sidecar is fetched no
// further.
PyObject* nativefile_longest_sidecar(PyObject* self, PyObject* arg) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        const long long size = PyLong_AsLongLong(arg);
        if (size == -1 && PyErr_Occurred()) {
            return nullptr;
        }
        return PyLong_FromUnsignedLongLong(lma::longest_sidecar(
            lma::most_records(state(self).header, size)));
    });
}

// sidecar_checksum(data) -> int: the checksum a sidecar of those bytes
// ends with.
PyObject* module_sidecar_checksum(PyObject*, PyObject* arg) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        BufferView data;
        if (!take_bytes(arg, data)) {
            return nullptr;
        }
        return PyLong_FromUnsignedLongLong(
            lma::sidecar_checksum(bytes_of(data), size_of(data)));
    });
}

}  // namespace lmafile
