// The module kelvane._lmafile: NativeFile, the engine under
// kelvane.LmaFile, the memory it hands over, and the sidecar's bytes as
// values. It keeps no state of its own beyond the types.
#include "native_file.hpp"

namespace lmafile {

PyTypeObject NativeFileType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "kelvane._lmafile.NativeFile",
    .tp_basicsize = sizeof(NativeFileObject),
    .tp_dealloc = nativefile_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "NativeFile(path): an open LMA file with a checked header and "
              "a record index, read by position from any thread.",
    .tp_methods = nativefile_methods,
    .tp_getset = nativefile_getset,
    .tp_new = nativefile_new,
};

namespace {

PyMethodDef module_methods[] = {
    {"sidecar_parts", module_sidecar_parts, METH_O,
     "sidecar_parts(data) -> the sidecar's fields; ValueError saying why "
     "for bytes that are none."},
    {"sidecar_from_parts", module_sidecar_from_parts, METH_O,
     "sidecar_from_parts(parts) -> sidecar bytes, checksum included."},
    {"sidecar_checksum", module_sidecar_checksum, METH_O,
     "sidecar_checksum(data) -> the checksum of those bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "kelvane._lmafile",
    .m_doc = "The native engine of kelvane.LmaFile.",
    .m_size = -1,
    .m_methods = module_methods,
};

}  // namespace

}  // namespace lmafile

// The import system finds a module's entry point by this exact name.
PyMODINIT_FUNC PyInit__lmafile() {
    using namespace lmafile;
    if (PyType_Ready(&NativeFileType) < 0 || PyType_Ready(&MemoryType) < 0) {
        return nullptr;
    }
    pyglue::Ref module = pyglue::Ref::steal(PyModule_Create(&module_def));
    if (!module) {
        return nullptr;
    }
    Py_INCREF(&NativeFileType);
    if (PyModule_AddObject(module.get(), "NativeFile",
                           reinterpret_cast<PyObject*>(&NativeFileType)) < 0) {
        Py_DECREF(&NativeFileType);
        return nullptr;
    }
    return module.release();
}
