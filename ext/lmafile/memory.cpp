// Memory the engine filled, handed to Python without copying: an object
// owning one std::malloc block and showing it through the buffer
// protocol, so that NumPy views it and the last view frees it.
#include <cstdlib>

#include "native_file.hpp"

namespace lmafile {

namespace {

struct MemoryObject {
    PyObject_HEAD
    void* data;
    Py_ssize_t bytes;
};

void memory_dealloc(PyObject* self) noexcept {
    std::free(reinterpret_cast<MemoryObject*>(self)->data);
    Py_TYPE(self)->tp_free(self);
}

int memory_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    auto* m = reinterpret_cast<MemoryObject*>(self);
    return PyBuffer_FillInfo(view, self, m->data, m->bytes, 0, flags);
}

PyBufferProcs memory_buffer = {
    .bf_getbuffer = memory_getbuffer,
    .bf_releasebuffer = nullptr,
};

}  // namespace

PyTypeObject MemoryType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvane._lmafile.Memory",
    .tp_basicsize = sizeof(MemoryObject),
    .tp_dealloc = memory_dealloc,
    .tp_as_buffer = &memory_buffer,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Memory the engine filled, as a writable buffer of bytes.",
};

Ref memory_of(void* data, std::size_t bytes) noexcept {
    auto* m = PyObject_New(MemoryObject, &MemoryType);
    if (m == nullptr) {
        std::free(data);
        return Ref();
    }
    m->data = data;
    m->bytes = static_cast<Py_ssize_t>(bytes);
    return Ref::steal(reinterpret_cast<PyObject*>(m));
}

}  // namespace lmafile
