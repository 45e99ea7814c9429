// Ownership of Python references in types. A raw PyObject* is always
// borrowed; an owned reference is a Ref, a held buffer a BufferView, a
// stashed exception an ErrorStash.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

#include "pyglue/compat.hpp"

namespace pyglue {

class Ref {  // owns one strong reference, or none; move-only
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref new_ref(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        Ref old(std::exchange(p_, std::exchange(o.p_, nullptr)));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Drops the reference now (the destructor of the old value may run
    // arbitrary code, so the slot is emptied first).
    void reset() noexcept { Ref old(std::exchange(p_, nullptr)); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A buffer acquired with PyObject_GetBuffer, released on destruction.
class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    // Returns false with an exception set.
    bool acquire(PyObject* obj, int flags) noexcept {
        release();
        if (PyObject_GetBuffer(obj, &view_, flags) != 0) {
            return false;
        }
        held_ = true;
        return true;
    }
    void release() noexcept {
        if (held_) {
            held_ = false;
            PyBuffer_Release(&view_);
        }
    }
    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Takes the pending exception (if any) out of the way and puts it back on
// destruction, so cleanup code may call the C API safely.
class ErrorStash {
public:
    ErrorStash() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ErrorStash(const ErrorStash&) = delete;
    ErrorStash& operator=(const ErrorStash&) = delete;
    ~ErrorStash() { PyErr_Restore(type_, value_, tb_); }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// Runs an entry point's body so that no C++ exception reaches the
// interpreter. R is PyObject* (failure: nullptr) or int (failure: -1).
template <class R, class F>
R at_border(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        return -1;
    }
}

}  // namespace pyglue
