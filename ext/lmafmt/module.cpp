// The module kelvane.lmafmt: multi-phase initialisation with all state
// process-wide. Its one exported symbol is PyInit_lmafmt.
#include "checks.hpp"
#include "errors.hpp"
#include "generator.hpp"
#include "globals.hpp"
#include "reader.hpp"

namespace lmafmt {

namespace {

// ---- create slot -------------------------------------------------------

// Copies spec.<attr> to module.<name>; a missing attribute is skipped.
bool copy_spec_attr(PyObject* spec, PyObject* dict, const char* attr,
                    const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return true;
        }
        return false;
    }
    return PyDict_SetItemString(dict, name, value.get()) == 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    if (!interpreter_guard()) {
        return nullptr;
    }
    if (globals != nullptr && globals->module != nullptr) {
        return new_ref(globals->module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    Ref module = name ? Ref::steal(PyModule_NewObject(name.get())) : Ref();
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_spec_attr(spec, dict, "loader", "__loader__") ||
        !copy_spec_attr(spec, dict, "origin", "__file__") ||
        !copy_spec_attr(spec, dict, "parent", "__package__") ||
        !copy_spec_attr(spec, dict, "submodule_search_locations",
                        "__path__")) {
        return nullptr;
    }
    return module.release();
}

// ---- exec slot ---------------------------------------------------------

bool lookup_builtins(Globals& g) {
    const struct {
        PyObject*& slot;
        const char* name;
    } names[] = {
        {g.io_error, "IOError"},         {g.range, "range"},
        {g.type_error, "TypeError"},     {g.value_error, "ValueError"},
        {g.runtime_error, "RuntimeError"}, {g.import_error, "ImportError"},
    };
    for (const auto& n : names) {
        Ref value = Ref::steal(PyObject_GetAttrString(g.builtins, n.name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return false;
            }
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%s' is not defined",
                         n.name);
            return false;
        }
        Py_XSETREF(n.slot, value.release());
    }
    return true;
}

bool make_arg_tuples(Globals& g) {
    const struct {
        PyObject*& slot;
        PyObject* message;
    } tuples[] = {
        {g.args_closed, g.msg_closed},
        {g.args_reduce, g.msg_reduce},
        {g.args_setstate, g.msg_reduce},
    };
    for (const auto& t : tuples) {
        if (t.slot == nullptr &&
            (t.slot = PyTuple_Pack(1, t.message)) == nullptr) {
            return false;
        }
    }
    return true;
}

// Leaves __reduce__ and __setstate__ of the type as the refusing methods
// unless the type already has its own way of pickling.
// The attribute, or an empty Ref when there is none; false on other errors.
bool optional_attr(PyObject* obj, const char* name, Ref& out) {
    out = Ref::steal(PyObject_GetAttrString(obj, name));
    if (!out && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
    }
    return out || !PyErr_Occurred();
}

bool install_pickling_hooks(PyTypeObject* type) {
    Ref object_getstate, getstate;  // before 3.11, object has none
    if (!optional_attr(reinterpret_cast<PyObject*>(&PyBaseObject_Type),
                       "__getstate__", object_getstate) ||
        !optional_attr(reinterpret_cast<PyObject*>(type), "__getstate__",
                       getstate)) {
        return false;
    }
    // From 3.11 every type inherits object's __getstate__; only one of its
    // own would mean the type pickles its own way.
    if (getstate) {
        int inherited = object_getstate
                            ? PyObject_RichCompareBool(getstate.get(),
                                                       object_getstate.get(),
                                                       Py_EQ)
                            : 0;
        if (inherited < 0) {
            return false;
        }
        if (!inherited) {
            return true;
        }
    }
    PyObject* dict = type->tp_dict;
    if (PyDict_GetItemString(dict, "__reduce__") == nullptr ||
        PyDict_GetItemString(dict, "__setstate__") == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_RuntimeError,
                         "Unable to initialize pickling for %s",
                         type->tp_name);
        }
        return false;
    }
    PyType_Modified(type);
    return true;
}

bool ready_types(Globals& g, PyObject* module) {
    g.reader_methods.read_header = reader_read_header;
    g.reader_methods.next = reader_next;
    if (PyType_Ready(&ReaderType) < 0) {
        return false;
    }
    if (PyModule_AddObject(module, "LmaReader",
                           new_ref(reinterpret_cast<PyObject*>(&ReaderType)))
        < 0) {
        Py_DECREF(&ReaderType);
        return false;
    }
    return install_pickling_hooks(&ReaderType) &&
           PyType_Ready(&ScopeType) == 0;
}

bool check_types(Globals& g) {
    const ExpectedSizes size = expected_sizes();
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) {
        return false;
    }
    PyObject* type_type = import_type(builtins.get(), "builtins", "type",
                                      size.heap_type, SizePolicy::warn);
    if (type_type == nullptr) {
        return false;
    }
    Py_XSETREF(g.type_type, type_type);
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) {
        return false;
    }
    const struct {
        PyObject*& slot;
        const char* name;
        Py_ssize_t size;
        SizePolicy policy;
    } types[] = {
        {g.np_dtype, "dtype", size.dtype, SizePolicy::ignore},
        {g.np_flatiter, "flatiter", size.flatiter, SizePolicy::warn},
        {g.np_broadcast, "broadcast", size.broadcast, SizePolicy::warn},
        {g.np_ndarray, "ndarray", size.ndarray, SizePolicy::ignore},
        {g.np_ufunc, "ufunc", size.ufunc, SizePolicy::warn},
    };
    for (const auto& t : types) {
        PyObject* type =
            import_type(numpy.get(), "numpy", t.name, t.size, t.policy);
        if (type == nullptr) {
            return false;
        }
        Py_XSETREF(t.slot, type);
    }
    return true;
}

// Binds `zeros` and `empty` from numpy, preferring a numpy module inside
// the package itself.
bool bind_numpy_functions(Globals& g) {
    Ref fromlist = Ref::steal(Py_BuildValue("[ss]", "zeros", "empty"));
    if (!fromlist) {
        return false;
    }
    Ref numpy = Ref::steal(PyImport_ImportModuleLevel(
        "numpy", g.module_dict, nullptr, fromlist.get(), 1));
    if (!numpy) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
            return false;
        }
        PyErr_Clear();
        numpy = Ref::steal(PyImport_ImportModuleLevel(
            "numpy", g.module_dict, nullptr, fromlist.get(), 0));
        if (!numpy) {
            return false;
        }
    }
    PyObject** bound[] = {&g.bound_zeros, &g.bound_empty};
    PyObject* names[] = {g.s_zeros, g.s_empty};
    for (int i = 0; i < 2; ++i) {
        Ref fn = Ref::steal(PyObject_GetAttr(numpy.get(), names[i]));
        if (!fn) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name %S",
                             names[i]);
            }
            return false;
        }
        if (PyDict_SetItem(g.module_dict, names[i], fn.get()) != 0) {
            return false;
        }
        Py_XSETREF(*bound[i], fn.release());
    }
    return true;
}

bool set_namespace_tail(Globals& g) {
    Ref all = Ref::steal(Py_BuildValue("[s]", "LmaReader"));
    Ref test = Ref::steal(PyDict_New());
    return all && test &&
           PyDict_SetItemString(g.module_dict, "__all__", all.get()) == 0 &&
           PyDict_SetItemString(g.module_dict, "__test__", test.get()) == 0;
}

// Steps from storing the module on; a failure here unstores it.
bool exec_stored(Globals& g, PyObject* module) {
    if (g.builtins == nullptr) {
        PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
        if (builtins == nullptr) {
            return false;
        }
        g.builtins = new_ref(builtins);
    }
    if (PyDict_SetItemString(g.module_dict, "__builtins__", g.builtins) != 0 ||
        !make_constants(g)) {
        return false;
    }
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* entry = PyDict_GetItemString(modules, "kelvane.lmafmt");
    if (entry == nullptr &&
        PyDict_SetItemString(modules, "kelvane.lmafmt", module) != 0) {
        return false;
    }
    return lookup_builtins(g) && make_arg_tuples(g) &&
           ready_types(g, module) && check_types(g) &&
           register_with_abc(reinterpret_cast<PyObject*>(&GeneratorType)) &&
           bind_numpy_functions(g) && set_namespace_tail(g);
}

int module_exec(PyObject* module) {
    return at_border<int>([module]() -> int {
        if (globals == nullptr) {
            globals = new Globals();
        }
        Globals& g = *globals;
        if (g.module != nullptr) {
            if (g.module == module) {
                return 0;
            }
            PyErr_SetString(PyExc_RuntimeError,
                            "Module 'lmafmt' has already been imported. "
                            "Re-initialisation is not supported.");
            return -1;
        }
        if (!version_check() || PyType_Ready(&GeneratorType) < 0) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_ImportError, kInitName);
            }
            return -1;
        }
        g.module = new_ref(module);
        g.module_dict = PyModule_GetDict(module);
        if (exec_stored(g, module)) {
            return 0;
        }
        add_traceback(kInitName);
        Py_CLEAR(g.module);
        g.module_dict = nullptr;
        return -1;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "lmafmt",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace lmafmt

PyMODINIT_FUNC PyInit_lmafmt() {
    return PyModuleDef_Init(&lmafmt::module_def);
}
