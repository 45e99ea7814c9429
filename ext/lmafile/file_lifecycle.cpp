// Opening, scanning, closing and destroying a NativeFile, and carrying its
// index across processes.
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "lma/check.hpp"
#include "lma/refresh.hpp"
#include "native_file.hpp"

namespace lmafile {

namespace {

// Codes a pickled index may carry as its stop; anything else is refused.
bool valid_stop_code(long code) noexcept {
    return code >= static_cast<long>(lma::Errc::ok) &&
           code <= static_cast<long>(lma::Errc::changed);
}

// Opens `path` and checks its header with the interpreter lock released.
// Fills `fault` for a damaged header; returns a failed status for an
// error of the opening itself.
lma::Status open_and_check(const char* path, FileState& s,
                           lma::HeaderFault& fault) {
    GilRelease released;
    lma::Status st = lma::absolute_path(s.name, s.where);
    if (!st.ok() || !(st = lma::File::open(path, s.file)).ok()) {
        return st;
    }
    const lma::Status header_status =
        lma::read_header_and_bytes(s.file, s.header, s.header_bytes);
    if (header_status.code == lma::Errc::os ||
        header_status.code == lma::Errc::no_memory) {
        return header_status;
    }
    std::int64_t size = 0;
    if (!(st = s.file.size(size)).ok()) {
        return st;
    }
    fault = lma::check_header(s.header, header_status, size);
    return lma::ok();
}

// NativeFile(name, block, size) for a file held elsewhere: `block` holds
// its first bytes (all of the header, or all of a shorter file), `size`
// is its size. The header is checked as for a local file; reads then
// take their bytes from the caller.
PyObject* open_remote(PyTypeObject* type, PyObject* name, PyObject* block,
                      long long size) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &length);
    if (text == nullptr) {
        return nullptr;
    }
    BufferView view;
    if (!view.acquire(block, PyBUF_SIMPLE)) {
        return nullptr;
    }
    if (size < view.view().len) {
        PyErr_SetString(PyExc_ValueError, "more bytes than the file has");
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    FileState& s = *new (&state(self.get())) FileState();
    s.remote = true;
    s.name.assign(text, static_cast<std::size_t>(length));
    lma::Status header_status;
    {
        GilRelease released;
        const lma::File first = lma::File::over(
            static_cast<const unsigned char*>(view.view().buf), 0,
            static_cast<std::size_t>(view.view().len));
        header_status =
            lma::read_header_and_bytes(first, s.header, s.header_bytes);
    }
    if (header_status.code == lma::Errc::os ||
        header_status.code == lma::Errc::no_memory) {
        return raise_status(header_status, name);
    }
    s.header.pos_end = size;
    const lma::HeaderFault fault =
        lma::check_header(s.header, header_status, size);
    if (!fault.ok()) {
        return raise_header_fault(name, fault);
    }
    // Fixed from here on, so the File may borrow them.
    s.file = lma::File::over(s.header_bytes.data(), 0,
                             s.header_bytes.size());
    return self.release();
}

}  // namespace

lma::Status readable(const FileState& s) noexcept {
    return lma::readable(s);
}

PooledScratch::PooledScratch(FileState& s) noexcept : s_(s) {
    std::lock_guard<std::mutex> guard(s_.pool_lock);
    if (!s_.pool.empty()) {
        scratch_ = std::move(s_.pool.back());
        s_.pool.pop_back();
        return;
    }
    scratch_.reset(new (std::nothrow) lma::Scratch());
}

PooledScratch::~PooledScratch() {
    if (!scratch_) {
        return;
    }
    std::lock_guard<std::mutex> guard(s_.pool_lock);
    try {
        s_.pool.push_back(std::move(scratch_));
    } catch (const std::bad_alloc&) {
        // Not kept: the next read makes a new one.
    }
}

PyObject* nativefile_new(PyTypeObject* type, PyObject* args,
                         PyObject* kwds) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        PyObject* path = nullptr;
        PyObject* block = Py_None;
        long long size = 0;
        if ((kwds != nullptr && PyDict_GET_SIZE(kwds) != 0) ||
            !PyArg_ParseTuple(args, "O|OL:NativeFile", &path, &block,
                              &size)) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_TypeError,
                                "NativeFile() takes no keyword arguments");
            }
            return nullptr;
        }
        if (block != Py_None) {
            return open_remote(type, path, block, size);
        }
        PyObject* encoded_raw = nullptr;
        if (!PyUnicode_FSConverter(path, &encoded_raw)) {
            return nullptr;
        }
        Ref encoded = Ref::steal(encoded_raw);
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        if (!self) {
            return nullptr;
        }
        FileState& s = *new (&state(self.get())) FileState();
        const Py_ssize_t length = PyBytes_GET_SIZE(encoded.get());
        s.name.assign(PyBytes_AS_STRING(encoded.get()),
                      static_cast<std::size_t>(length));
        if (std::strlen(s.name.c_str()) != s.name.size()) {
            PyErr_SetString(PyExc_ValueError, "embedded null byte");
            return nullptr;
        }
        lma::HeaderFault fault;
        lma::Status st;
        // An interrupted open is tried again unless a signal handler
        // raises, so Ctrl-C stops it.
        while ((st = open_and_check(s.name.c_str(), s, fault)).code ==
                   lma::Errc::os &&
               st.value == EINTR) {
            if (PyErr_CheckSignals() < 0) {
                return nullptr;
            }
        }
        if (!st.ok()) {
            return raise_status(st, path);
        }
        if (!fault.ok()) {
            s.file.close();
            return raise_header_fault(path, fault);
        }
        return self.release();
    });
}

void nativefile_dealloc(PyObject* self) noexcept {
    // Nobody else can hold the object now, so no lock is needed; the
    // File's destructor closes the descriptor.
    state(self).~FileState();
    Py_TYPE(self)->tp_free(self);
}

namespace {

PyObject* nativefile_close(PyObject* self, PyObject*) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        lma::Status st;
        {
            // Waits for reads in other threads to finish.
            WriteLock lock(s.lock);
            st = s.file.close();
        }
        if (!st.ok()) {
            return raise_for_file(s, st);
        }
        Py_RETURN_NONE;
    });
}

// Raises what a read would raise now: ValueError on a closed file,
// FileReplacedError on a replaced one.
PyObject* nativefile_check(PyObject* self, PyObject*) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        lma::Status st;
        {
            ReadLock lock(s.lock);
            st = readable(s);
        }
        if (!st.ok()) {
            return raise_for_file(s, st);
        }
        Py_RETURN_NONE;
    });
}

// Extends the index over the records the file holds now, or rebuilds it
// for a file that shrank. Returns the change in the number of records;
// damage where the scan stopped is kept, not raised. A file replaced
// since it was opened raises FileReplacedError, now and at every read.
PyObject* nativefile_scan(PyObject* self, PyObject*) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        if (s.remote) {
            PyErr_SetString(PyExc_ValueError,
                            "a file held elsewhere is scanned by blocks");
            return nullptr;
        }
        lma::Refreshed done;
        {
            GilRelease released;
            done = lma::refresh_index(s);
        }
        if (!done.failure.ok()) {
            return raise_for_file(s, done.failure);
        }
        return PyLong_FromLongLong(done.added);
    });
}

// Everything the index holds, as plain values: (offsets as bytes, end,
// scanned, stop code, value, extra, stop offset, stop event, the file as
// scanned: size, mtime_ns, device, inode, then tags and horpos as bytes,
// and the header bytes last). restore_index takes it back.
PyObject* nativefile_index_state(PyObject* self, PyObject*) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        Ref bytes, tags, horpos;
        std::int64_t end = 0;
        bool scanned = false;
        lma::Stop stop;
        lma::FileStamp stamp;
        {
            // Nothing that can start a garbage collection under the lock:
            // a finaliser reading this file would take it a second time.
            ReadLock lock(s.lock);
            const auto& offsets = s.index.offsets;
            bytes = Ref::steal(PyBytes_FromStringAndSize(
                reinterpret_cast<const char*>(offsets.data()),
                static_cast<Py_ssize_t>(offsets.size() *
                                        sizeof(offsets[0]))));
            tags = Ref::steal(PyBytes_FromStringAndSize(
                reinterpret_cast<const char*>(s.index.tags.data()),
                static_cast<Py_ssize_t>(s.index.tags.size() *
                                        sizeof(std::int32_t))));
            horpos = Ref::steal(PyBytes_FromStringAndSize(
                reinterpret_cast<const char*>(s.index.horpos.data()),
                static_cast<Py_ssize_t>(s.index.horpos.size() *
                                        sizeof(double))));
            end = s.index.end;
            scanned = s.index.scanned;
            stop = s.stop;
            stamp = s.stamp;
        }
        if (!bytes || !tags || !horpos) {
            return nullptr;
        }
        return Py_BuildValue(
            "(OLOillLLLLKKOOy#)", bytes.get(), static_cast<long long>(end),
            scanned ? Py_True : Py_False,
            static_cast<int>(stop.status.code), stop.status.value,
            stop.status.extra, static_cast<long long>(stop.offset),
            static_cast<long long>(stop.event),
            static_cast<long long>(stamp.size),
            static_cast<long long>(stamp.mtime_ns),
            static_cast<unsigned long long>(stamp.device),
            static_cast<unsigned long long>(stamp.inode), tags.get(),
            horpos.get(),
            reinterpret_cast<const char*>(s.header_bytes.data()),
            static_cast<Py_ssize_t>(s.header_bytes.size()));
    });
}

// Takes back an index from index_state when the file is still the one it
// was made for: the same size, modification time, device and inode, and
// check_not_replaced passing on the pickled header bytes. Returns whether
// it did; the index is left as it was when not.
PyObject* nativefile_restore_index(PyObject* self, PyObject* args) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        PyObject* arg = nullptr;
        PyObject* block = Py_None;
        long long base = 0;
        CallBytes bytes;
        if (!PyArg_ParseTuple(args, "O!|OL:restore_index", &PyTuple_Type,
                              &arg, &block, &base)) {
            return nullptr;
        }
        // A file held elsewhere was compared with the state by the
        // caller (size, header bytes, its store's identity); its bytes
        // from the damaged record on, if any, explain the damage again.
        if (s.remote && block != Py_None && !bytes.take(s, block, base)) {
            return nullptr;
        }
        const char* data = nullptr;
        const char* header_data = nullptr;
        const char* tags = nullptr;
        const char* horpos = nullptr;
        Py_ssize_t nbytes = 0, header_nbytes = 0, ntags = 0, nhorpos = 0;
        long long end = 0, stop_offset = 0, stop_event = 0, size = 0,
                  mtime = 0;
        unsigned long long device = 0, inode = 0;
        int scanned = 0, code = 0;
        long value = 0, extra = 0;
        if (!PyArg_ParseTuple(arg, "y#LpillLLLLKKy#y#y#:restore_index",
                              &data, &nbytes, &end, &scanned, &code, &value,
                              &extra, &stop_offset, &stop_event, &size,
                              &mtime, &device, &inode, &tags, &ntags,
                              &horpos, &nhorpos, &header_data,
                              &header_nbytes)) {
            return nullptr;
        }
        const auto count = static_cast<std::size_t>(nbytes) /
                           sizeof(std::int64_t);
        lma::RecordIndex index;
        const auto n = static_cast<Py_ssize_t>(count);
        bool sound = nbytes % static_cast<Py_ssize_t>(sizeof(std::int64_t))
                         == 0 &&
                     ntags == n * 4 && nhorpos == n * 8 &&
                     valid_stop_code(code);
        index.offsets.resize(count);
        index.tags.resize(count);
        index.horpos.resize(count);
        if (sound && count != 0) {
            std::memcpy(index.offsets.data(), data,
                        count * sizeof(std::int64_t));
            std::memcpy(index.tags.data(), tags, count * 4);
            std::memcpy(index.horpos.data(), horpos, count * 8);
        }
        index.end = end;
        index.scanned = scanned != 0;
        for (std::size_t i = 0; sound && i < count; ++i) {
            sound = index.offsets[i] >= s.header.pos_begin &&
                    index.offsets[i] < index.record_end(i);
        }
        if (!sound) {
            PyErr_SetString(PyExc_ValueError, "not a record index");
            return nullptr;
        }
        const std::vector<unsigned char> header_bytes(
            header_data, header_data + header_nbytes);
        const lma::FileStamp was{size, mtime, device, inode};
        lma::Stop stop;
        stop.status = {static_cast<lma::Errc>(code), value, extra};
        stop.offset = stop_offset;
        stop.event = stop_event;
        lma::Status st;
        bool taken = false;
        {
            GilRelease released;
            std::unique_lock<lma::RwLock> lock(s.lock);
            lma::FileStamp now;
            st = readable(s);
            if (st.ok() && s.remote) {
                taken = header_bytes == s.header_bytes;
            } else {
                if (st.ok()) {
                    st = lma::stamp_of(s.file, now);
                }
                if (st.ok() && now == was) {
                    st = lma::check_not_replaced(s.file, s.where.c_str(),
                                                 now, s.header, header_bytes,
                                                 index);
                    taken = st.ok();
                }
            }
            if (taken) {
                s.index = std::move(index);
                s.stop = stop;
                // Why the record there is damaged is not carried: the
                // file is the one it was found in, so it is found again,
                // by reading that one record.
                s.fault = lma::explain_stop(bytes.file(s), s.header,
                                            s.remote ? s.header.pos_end
                                                     : size,
                                            stop);
                s.stamp = was;
            }
        }
        if (!st.ok() && st.code != lma::Errc::replaced) {
            return raise_for_file(s, st);
        }
        return PyBool_FromLong(taken);
    });
}

// scan_block(block, base, final) -> (added, end, done), for a file held
// elsewhere: indexes the records in `block`, the file's bytes from `base`
// (where the index ends). A record cut short at the end of a block that
// is not the file's last (`final`) is left for the next block, which
// starts at `end`; `done` once the scan has stopped for good, at the end
// of the file or at a damaged record, kept as for a local scan.
PyObject* nativefile_scan_block(PyObject* self, PyObject* args) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        PyObject* block = nullptr;
        long long base = 0;
        int final = 0;
        CallBytes bytes;
        if (!PyArg_ParseTuple(args, "OLp:scan_block", &block, &base,
                              &final) ||
            !bytes.take(s, block, base)) {
            return nullptr;
        }
        std::int64_t added = 0, end = 0;
        bool done = false;
        lma::Status failure;
        {
            GilRelease released;
            std::unique_lock<lma::RwLock> lock(s.lock);
            failure = readable(s);
            if (failure.ok()) {
                const lma::File& f = bytes.file(s);
                std::int64_t limit = 0;
                (void)f.size(limit);
                const auto before = static_cast<std::int64_t>(s.index.size());
                lma::Stop stop =
                    lma::scan_records(f, s.header, limit, s.index);
                // Before the file's last block, a record cut short at the
                // block's end is read whole from the next one. (A record
                // counted though cut inside its head, with no channel in
                // use, already ends where it would in the file.)
                const bool pending =
                    !final &&
                    (stop.ok() || stop.status.code == lma::Errc::read);
                if (!pending) {
                    s.stop = stop;
                    s.fault = lma::explain_stop(f, s.header, limit, stop);
                    ++s.scans;
                    done = true;
                    if (!is_record_damage(stop.status.code)) {
                        failure = stop.status;
                    }
                }
                added = static_cast<std::int64_t>(s.index.size()) - before;
                end = s.index.end;
            }
        }
        if (!failure.ok()) {
            return raise_for_file(s, failure);
        }
        return Py_BuildValue("(LLO)", static_cast<long long>(added),
                             static_cast<long long>(end),
                             done ? Py_True : Py_False);
    });
}

// Forgets the index of a file held elsewhere that is now shorter than
// it, so that the next scan starts from the first record.
PyObject* nativefile_clear_index(PyObject* self, PyObject*) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        WriteLock lock(s.lock);
        s.index = lma::RecordIndex{};
        s.stop = lma::Stop{};
        s.fault = lma::RecordFault{};
        Py_RETURN_NONE;
    });
}

// Walks record `r` again over `block`, its bytes from `base` to exactly
// its end, for a file held elsewhere. Returns whether it still ends
// there; if not the file is taken as replaced (see `replace`).
PyObject* nativefile_rewalk(PyObject* self, PyObject* args) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        Py_ssize_t r = 0;
        PyObject* block = nullptr;
        long long base = 0;
        CallBytes bytes;
        if (!PyArg_ParseTuple(args, "nOL:rewalk", &r, &block, &base) ||
            !bytes.take(s, block, base)) {
            return nullptr;
        }
        lma::Status st;
        {
            GilRelease released;
            std::unique_lock<lma::RwLock> lock(s.lock);
            st = readable(s);
            if (st.ok()) {
                const lma::File& f = bytes.file(s);
                std::int64_t limit = 0;
                (void)f.size(limit);
                st = r < 0 || static_cast<std::size_t>(r) >= s.index.size()
                         ? lma::Status{lma::Errc::changed, 0}
                         : lma::rewalk_record(f, s.header, s.index,
                                              static_cast<std::size_t>(r),
                                              limit);
                if (st.code == lma::Errc::changed) {
                    st = s.replaced =
                        lma::replaced(lma::Replacement::records);
                }
            }
        }
        if (st.code == lma::Errc::replaced) {
            Py_RETURN_FALSE;
        }
        if (!st.ok()) {
            return raise_for_file(s, st);
        }
        Py_RETURN_TRUE;
    });
}

// replace(why): takes a file held elsewhere as replaced, `why` a
// lma::Replacement, as a local scan does on finding it so.
PyObject* nativefile_replace(PyObject* self, PyObject* arg) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        const long why = PyLong_AsLong(arg);
        if (why == -1 && PyErr_Occurred()) {
            return nullptr;
        }
        WriteLock lock(s.lock);
        s.replaced = lma::replaced(static_cast<lma::Replacement>(why));
        Py_RETURN_NONE;
    });
}

}  // namespace

PyMethodDef nativefile_methods[] = {
    {"close", nativefile_close, METH_NOARGS,
     "Closes the file, after reads in other threads have finished."},
    {"scan", nativefile_scan, METH_NOARGS,
     "Extends the index; returns the number of records added."},
    {"check", nativefile_check, METH_NOARGS,
     "Raises what a read would raise now: closed, or replaced."},
    {"index_state", nativefile_index_state, METH_NOARGS,
     "The index as plain values, for restore_index."},
    {"restore_index", nativefile_restore_index, METH_VARARGS,
     "restore_index(state, block=None, base=0): takes back an index from "
     "index_state, without a scan, if the file is unchanged; returns "
     "whether it did."},
    {"sidecar", nativefile_sidecar, METH_VARARGS,
     "sidecar(etag, size=-1, modified=b'') -> the index as sidecar "
     "bytes."},
    {"use_sidecar", nativefile_use_sidecar, METH_VARARGS,
     "use_sidecar(data, block=None, base=0) -> None if the index was taken "
     "from sidecar bytes, else why not."},
    {"longest_sidecar", nativefile_longest_sidecar, METH_O,
     "longest_sidecar(size) -> the most bytes a sidecar can have."},
    {"scan_block", nativefile_scan_block, METH_VARARGS,
     "scan_block(block, base, final) -> (added, end, done)"},
    {"clear_index", nativefile_clear_index, METH_NOARGS,
     "Forgets the index, for a scan from the first record."},
    {"rewalk", nativefile_rewalk, METH_VARARGS,
     "rewalk(r, block, base) -> whether record r still ends there."},
    {"replace", nativefile_replace, METH_O,
     "replace(why): the file is taken as replaced."},
    {"decode", nativefile_decode, METH_VARARGS,
     "decode(start, stop, kind, rows, tags, horpos, traces, exact=False, "
     "fresh=False)"},
    {"count_pulses", nativefile_count_pulses, METH_VARARGS,
     "count_pulses(start, stop, rows) -> (pulses, samples)"},
    {"list_pulses", nativefile_list_pulses, METH_VARARGS,
     "list_pulses(start, stop, rows, event, channel, first, length, "
     "offset, samples) -> (pulses, samples)"},
    {"features", nativefile_features, METH_VARARGS,
     "features(start, stop, rows, tags, horpos, values, first, stop_at, "
     "threshold, fraction, polarity, merge)"},
    {"hits", nativefile_hits, METH_VARARGS,
     "hits(start, stop, rows, tags, horpos, settings) -> columns"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace lmafile
