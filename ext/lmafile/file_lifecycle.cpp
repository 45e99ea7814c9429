// Opening, scanning, closing and destroying a NativeFile, and carrying its
// index across processes.
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "lma/check.hpp"
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

}  // namespace

lma::Status readable(const FileState& s) noexcept {
    if (!s.file.is_open()) {
        return {lma::Errc::closed, 0};
    }
    return s.replaced;
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
        if ((kwds != nullptr && PyDict_GET_SIZE(kwds) != 0) ||
            !PyArg_ParseTuple(args, "O:NativeFile", &path)) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_TypeError,
                                "NativeFile() takes no keyword arguments");
            }
            return nullptr;
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

// Whether the file is still the one the index was made for; a replacement
// found is kept in s.replaced. Called with the lock held exclusively.
lma::Status check_still_same(FileState& s, const lma::FileStamp& now) {
    const lma::Status st =
        lma::check_not_replaced(s.file, s.where.c_str(), now, s.header,
                                s.header_bytes, s.index);
    if (st.code == lma::Errc::replaced) {
        s.replaced = st;
    }
    return st;
}

// Extends the index over the records the file holds now, or rebuilds it
// for a file that shrank. Returns the change in the number of records;
// damage where the scan stopped is kept, not raised. A file replaced
// since it was opened raises FileReplacedError, now and at every read.
PyObject* nativefile_scan(PyObject* self, PyObject*) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        std::int64_t added = 0;
        lma::Status failure;
        {
            GilRelease released;
            std::unique_lock<lma::RwLock> lock(s.lock);
            failure = readable(s);
            lma::FileStamp stamp;
            if (failure.ok()) {
                failure = lma::stamp_of(s.file, stamp);
            }
            if (failure.ok()) {
                failure = check_still_same(s, stamp);
            }
            if (failure.ok()) {
                const auto before = static_cast<std::int64_t>(s.index.size());
                // A file cut shorter than its index no longer holds those
                // records: index it again from the start.
                if (s.index.scanned && stamp.size < s.index.end) {
                    s.index = lma::RecordIndex{};
                }
                s.stop = lma::scan_records(s.file, s.header, stamp.size,
                                           s.index);
                s.fault = lma::explain_stop(s.file, s.header, stamp.size,
                                            s.stop);
                s.stamp = stamp;
                ++s.scans;
                added = static_cast<std::int64_t>(s.index.size()) - before;
                if (!is_record_damage(s.stop.status.code)) {
                    failure = s.stop.status;
                }
            }
        }
        if (!failure.ok()) {
            return raise_for_file(s, failure);
        }
        return PyLong_FromLongLong(added);
    });
}

// Everything the index holds, as plain values: (offsets as bytes, end,
// scanned, stop code, value, extra, stop offset, stop event, and the
// file as scanned: size, mtime_ns, device, inode, header bytes).
// restore_index takes it back.
PyObject* nativefile_index_state(PyObject* self, PyObject*) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        Ref bytes;
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
            end = s.index.end;
            scanned = s.index.scanned;
            stop = s.stop;
            stamp = s.stamp;
        }
        if (!bytes) {
            return nullptr;
        }
        return Py_BuildValue(
            "(OLOillLLLLKKy#)", bytes.get(), static_cast<long long>(end),
            scanned ? Py_True : Py_False,
            static_cast<int>(stop.status.code), stop.status.value,
            stop.status.extra, static_cast<long long>(stop.offset),
            static_cast<long long>(stop.event),
            static_cast<long long>(stamp.size),
            static_cast<long long>(stamp.mtime_ns),
            static_cast<unsigned long long>(stamp.device),
            static_cast<unsigned long long>(stamp.inode),
            reinterpret_cast<const char*>(s.header_bytes.data()),
            static_cast<Py_ssize_t>(s.header_bytes.size()));
    });
}

// Takes back an index from index_state when the file is still the one it
// was made for: the same size, modification time, device and inode, and
// check_not_replaced passing on the pickled header bytes. Returns whether
// it did; the index is left as it was when not.
PyObject* nativefile_restore_index(PyObject* self, PyObject* arg) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        const char* data = nullptr;
        const char* header_data = nullptr;
        Py_ssize_t nbytes = 0, header_nbytes = 0;
        long long end = 0, stop_offset = 0, stop_event = 0, size = 0,
                  mtime = 0;
        unsigned long long device = 0, inode = 0;
        int scanned = 0, code = 0;
        long value = 0, extra = 0;
        if (!PyArg_ParseTuple(arg, "y#LpillLLLLKKy#:restore_index", &data,
                              &nbytes, &end, &scanned, &code, &value, &extra,
                              &stop_offset, &stop_event, &size, &mtime,
                              &device, &inode, &header_data,
                              &header_nbytes)) {
            return nullptr;
        }
        const auto count = static_cast<std::size_t>(nbytes) /
                           sizeof(std::int64_t);
        lma::RecordIndex index;
        index.offsets.resize(count);
        if (count != 0) {
            std::memcpy(index.offsets.data(), data,
                        count * sizeof(std::int64_t));
        }
        index.end = end;
        index.scanned = scanned != 0;
        bool sound = nbytes % static_cast<Py_ssize_t>(sizeof(std::int64_t))
                         == 0 &&
                     valid_stop_code(code);
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
            if (st.ok()) {
                st = lma::stamp_of(s.file, now);
            }
            if (st.ok() && now == was) {
                st = lma::check_not_replaced(s.file, s.where.c_str(), now,
                                             s.header, header_bytes, index);
                taken = st.ok();
            }
            if (taken) {
                s.index = std::move(index);
                s.stop = stop;
                // Why the record there is damaged is not carried: the
                // file is the one it was found in, so it is found again,
                // by reading that one record.
                s.fault = lma::explain_stop(s.file, s.header, size, stop);
                s.stamp = was;
            }
        }
        if (!st.ok() && st.code != lma::Errc::replaced) {
            return raise_for_file(s, st);
        }
        return PyBool_FromLong(taken);
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
    {"restore_index", nativefile_restore_index, METH_O,
     "Takes back an index from index_state, without a scan, if the file "
     "is unchanged; returns whether it did."},
    {"sidecar", nativefile_sidecar, METH_O,
     "sidecar(etag) -> the index as sidecar bytes."},
    {"use_sidecar", nativefile_use_sidecar, METH_O,
     "use_sidecar(data) -> None if the index was taken from sidecar bytes, "
     "else why not."},
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
     "threshold, fraction, polarity)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace lmafile
