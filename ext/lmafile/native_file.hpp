// The NativeFile object of kelvane._lmafile and what its parts share: an
// open LMA file, its header and its record index, read by any number of
// threads at once.
//
// Locking. `lock` guards `file`, `index`, `stop`, `stamp` and `replaced`;
// the header, its bytes and the paths are fixed once the object exists. Scanning and closing take it exclusively,
// everything else shared; a waiting writer holds new readers back. A thread
// waits for it only with the interpreter lock released (see
// LockHoldingGil), so whoever holds it and wants the interpreter lock back
// gets it, and the two locks cannot deadlock. No thread takes it twice.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "lma/check.hpp"
#include "lma/explain.hpp"
#include "lma/file.hpp"
#include "lma/file_stat.hpp"
#include "lma/header.hpp"
#include "lma/range.hpp"
#include "lma/replaced.hpp"
#include "lma/rw_lock.hpp"
#include "lma/scan.hpp"
#include "pyglue/compat.hpp"
#include "pyglue/pyref.hpp"

namespace lmafile {

using pyglue::at_border;
using pyglue::BufferView;
using pyglue::Ref;

struct FileState {
    mutable lma::RwLock lock;
    lma::File file;             // closed by close() or on destruction
    lma::Header header;         // fixed after construction
    std::vector<unsigned char> header_bytes;  // as parsed into `header`
    lma::RecordIndex index;
    lma::Stop stop;             // where the last scan stopped
    lma::RecordFault fault;     // why, when the record there is damaged
    lma::FileStamp stamp;       // the file as the last scan saw it
    std::uint64_t scans = 0;    // scans run, for tests of index reuse
    // Errc::replaced once a scan found the file replaced: from then on
    // the index and header describe another file, and nothing is read.
    lma::Status replaced;
    // The file is held elsewhere (a URL, a file object): the caller
    // fetches bytes and hands them to each call; `file` then stands only
    // for the header's bytes, and for being open.
    bool remote = false;
    std::string name;           // the path as given, for messages
    std::string where;          // absolute, for telling a replacement

    // Scratch buffers kept between reads, so a loop of small reads does
    // not allocate a fresh megabyte each time.
    std::mutex pool_lock;
    std::vector<std::unique_ptr<lma::Scratch>> pool;
};

struct NativeFileObject {
    PyObject_HEAD
    FileState s;  // built by placement new in nativefile_new
};

extern PyTypeObject NativeFileType;

inline FileState& state(PyObject* self) noexcept {
    return reinterpret_cast<NativeFileObject*>(self)->s;
}

// Gives up the interpreter lock for its lifetime; no Python object may be
// touched meanwhile.
class GilRelease {
public:
    GilRelease() noexcept : saved_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() { PyEval_RestoreThread(saved_); }

private:
    PyThreadState* saved_;
};

// Takes `m` (shared or exclusive, by Lock) from a thread holding the
// interpreter lock, waiting with the interpreter lock released.
template <class Lock>
class LockHoldingGil {
public:
    explicit LockHoldingGil(lma::RwLock& m) : lock_(m, std::defer_lock) {
        if (!lock_.try_lock()) {
            GilRelease released;
            lock_.lock();
        }
    }

private:
    Lock lock_;
};
using ReadLock = LockHoldingGil<std::shared_lock<lma::RwLock>>;
using WriteLock = LockHoldingGil<std::unique_lock<lma::RwLock>>;

// A scratch buffer from the pool, given back on destruction. Never throws:
// without memory for the pool the buffer is simply not kept.
class PooledScratch {
public:
    explicit PooledScratch(FileState& s) noexcept;
    PooledScratch(const PooledScratch&) = delete;
    PooledScratch& operator=(const PooledScratch&) = delete;
    ~PooledScratch();
    // Null when no memory was left for it.
    lma::Scratch* get() noexcept { return scratch_.get(); }

private:
    FileState& s_;
    std::unique_ptr<lma::Scratch> scratch_;
};

// ---- errors (errors.cpp) ----

// Raises the exception for a failed lma status: OSError with errno and
// `filename` for Errc::os and Errc::not_regular, kelvane.FileReplacedError
// for Errc::replaced, MemoryError, otherwise the kind and text the reader
// gives. Always returns nullptr.
PyObject* raise_status(const lma::Status& s, PyObject* filename) noexcept;

// A new exception instance for a status, as iterating LmaReader raises it
// at a damaged record; nullptr with an exception set on failure.
PyObject* damage_error(const lma::Status& s) noexcept;

// Raises the error for a range read that failed at `stop` (the file
// changed since it was indexed, or cannot be read). Returns nullptr.
PyObject* raise_read_failure(const FileState& s, const lma::Stop& stop)
    noexcept;

// Raises kelvane.DamagedHeaderError for `fault`, IncompleteHeaderError
// when the file only ends before its header does. Returns nullptr.
PyObject* raise_header_fault(PyObject* filename,
                             const lma::HeaderFault& fault) noexcept;

// ValueError "I/O operation on closed file.", as io raises it.
PyObject* raise_closed() noexcept;

// Whether the file may be read: ok, Errc::closed, or the replacement a
// scan found. The one check every read path makes, with `s.lock` held.
lma::Status readable(const FileState& s) noexcept;

// raise_status(st) with the file's name; returns nullptr.
PyObject* raise_for_file(const FileState& s, const lma::Status& st) noexcept;

using lma::is_record_damage;

// ---- buffers (buffers.cpp) ----

// What a caller's array must be: element format and size, and its shape.
struct ArraySpec {
    const char* what;          // its name in messages
    char kind;                 // 'i' signed int, 'f' float
    Py_ssize_t itemsize;
    Py_ssize_t min_rows;       // rows (or elements) at least
    Py_ssize_t ncols;          // -1: one-dimensional
};

// Acquires `obj` writable into `view` and checks it against `spec`: the
// element type, at least `min_rows` rows of exactly `ncols` contiguous
// elements (rows themselves may be spaced), aligned for the element.
// Returns the row stride in elements (1-D: 1), or -1 with TypeError or
// ValueError set.
std::int64_t take_array(PyObject* obj, const ArraySpec& spec,
                        BufferView& view) noexcept;

// Parses a tuple of row positions into `rows`, each within
// [0, nchannels) and none twice. False with an exception set.
bool parse_rows(PyObject* seq, std::int32_t nchannels,
                std::vector<std::size_t>& rows);

// Bytes of a file held elsewhere, handed to one call: a buffer and the
// file offset of its first byte. Without them a call reads the open file.
class CallBytes {
public:
    // Takes `block` (None: no bytes) at file offset `base`. False with an
    // exception set: not a buffer, a negative base, or a local file.
    bool take(const FileState& s, PyObject* block, long long base) noexcept;
    // The File a call reads: over the bytes when given, else the open one.
    const lma::File& file(const FileState& s) const noexcept {
        return given_ ? bytes_ : s.file;
    }

private:
    BufferView view_;
    lma::File bytes_;
    bool given_ = false;
};

// ---- memory handed over (memory.cpp) ----

extern PyTypeObject MemoryType;

// A buffer object owning `data`, `bytes` long, from std::malloc (null
// when `bytes` is 0), which it frees when the last view of it goes;
// freed at once when the object cannot be made (a null Ref, with
// MemoryError set).
Ref memory_of(void* data, std::size_t bytes) noexcept;

// ---- range reads (file_read.cpp) ----

// An lma operation on a range of records, given a scratch buffer.
using RangeOp = std::function<lma::Stop(lma::Scratch&)>;

// Runs `op` on records up to `last` under the shared lock with the
// interpreter lock released, once the file is known open and [0, last)
// indexed. False with the exception set when the range could not be read
// or the operation stopped early, as for LmaFile.read.
bool run_range(FileState& s, std::size_t last, const RangeOp& op);

// ---- methods (file_*.cpp) ----
extern PyMethodDef nativefile_methods[];
extern PyGetSetDef nativefile_getset[];
PyObject* nativefile_new(PyTypeObject* type, PyObject* args,
                         PyObject* kwds) noexcept;
void nativefile_dealloc(PyObject* self) noexcept;

PyObject* nativefile_decode(PyObject* self, PyObject* args) noexcept;
PyObject* nativefile_count_pulses(PyObject* self, PyObject* args) noexcept;
PyObject* nativefile_list_pulses(PyObject* self, PyObject* args) noexcept;
PyObject* nativefile_features(PyObject* self, PyObject* args) noexcept;
PyObject* nativefile_hits(PyObject* self, PyObject* args) noexcept;

// ---- the persistent index (file_sidecar.cpp) ----
PyObject* nativefile_sidecar(PyObject* self, PyObject* arg) noexcept;
PyObject* nativefile_use_sidecar(PyObject* self, PyObject* arg) noexcept;
PyObject* nativefile_longest_sidecar(PyObject* self, PyObject* arg) noexcept;
PyObject* module_sidecar_parts(PyObject* module, PyObject* arg) noexcept;
PyObject* module_sidecar_from_parts(PyObject* module, PyObject* arg) noexcept;
PyObject* module_sidecar_checksum(PyObject* module, PyObject* arg) noexcept;

}  // namespace lmafile
