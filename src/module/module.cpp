// src/module/module.cpp: start-up: the module's functions and classes registered, the names the package
// uses set, and the module definition.
//
// Every entry (functions.cpp, stream_decoder_object.cpp, arrow_stream_decoder_object.cpp) runs inside
// call_guard, binds its arguments by its ArgumentSpec, converts them, calls one decoder and turns a
// DecodeError into its Python exception. Nothing else in the module meets Python's calling conventions.
#include "module/decoder_types.hpp"
#include "module/entries.hpp"
#include "python/errors.hpp"
#include "python/py_decoder.hpp"
#include "python/pyref.hpp"

namespace velkora::module {

using py::call_guard;
using py::decode_error_type;
using py::panic_exception_type;
using py::PyRef;
using py::raise_type_error;

namespace {

struct ClassEntry {
    const char* name;
    ClassSpec spec;
    PyObject* type;  // created on first request, kept for the life of the process
};

ClassEntry kClasses[] = {
    {"StreamDecoder", stream_decoder_class(), nullptr},
    {"ArrowStreamDecoder", arrow_stream_decoder_class(), nullptr},
};

// ---------------------------------------------------------------------------------------------------------
// Start-up

/// Appends `name` to the module's __all__ (creating it if needed), then sets the attribute.
bool add_export(PyObject* module, PyObject* name, PyObject* value) {
    static PyObject* all_name = PyUnicode_InternFromString("__all__");
    if (!all_name) return false;
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name, all.get()) != 0) return false;
    }
    return PyList_Append(all.get(), name) == 0 && PyObject_SetAttr(module, name, value) == 0;
}

bool register_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
    PyRef function = PyRef::steal(PyCMethod_New(def, module, module_name, nullptr));
    if (!function) return false;
    PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    return name && add_export(module, name.get(), function.get());
}

bool register_class(PyObject* module, ClassEntry& entry) {
    if (!entry.type) {
        entry.type = create_type(entry.spec);
        if (!entry.type) return false;
    }
    PyRef name = PyRef::steal(PyUnicode_FromString(entry.name));
    return name && add_export(module, name.get(), entry.type);
}

/// Names the package uses that stay out of __all__: the DecodeError class (the package exports it itself)
/// and private helpers.
bool add_private_names(PyObject* module) {
    PyObject* decode_error = decode_error_type();
    if (!decode_error || PyObject_SetAttrString(module, "DecodeError", decode_error) != 0) return false;
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    for (PyMethodDef& def : unexported_functions()) {
        PyRef function = PyRef::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
        if (!function || PyObject_SetAttrString(module, def.ml_name, function.get()) != 0) return false;
    }
    return true;
}

int module_exec(PyObject* module) {
    PyObject* result = call_guard([&]() -> PyObject* {
        if (!PyModule_Check(module)) return raise_type_error("expected a module object");
        if (!py::init_names()) return nullptr;
        PyObject* panic = panic_exception_type();
        if (!panic) return nullptr;
        Py_INCREF(panic);
        if (PyModule_AddObject(module, "PanicException", panic) != 0) {
            Py_DECREF(panic);
            return nullptr;
        }
        if (!add_private_names(module)) return nullptr;
        PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
        if (!module_name) return nullptr;
        for (PyMethodDef& def : exported_functions())
            if (!register_function(module, module_name.get(), &def)) return nullptr;
        for (ClassEntry& entry : kClasses)
            if (!register_class(module, entry)) return nullptr;
        Py_RETURN_NONE;
    });
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
}

// The caches are process-wide, so the module cannot be loaded into a second interpreter. From Python
// 3.12 a module without a multiple-interpreters slot counts as supporting them; the slot (id 3, value 0:
// not supported) is added at start-up on 3.12 and newer only, since 3.11 refuses slot ids it does not know.
constexpr int kMultipleInterpretersSlot = 3;
void* const kMultipleInterpretersNotSupported = nullptr;

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "Compiled extension that decodes Apache Solr javabin responses natively.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velkora::module

PyMODINIT_FUNC PyInit__core() {
    if (Py_Version >= 0x030C0000)
        velkora::module::kSlots[1] = {velkora::module::kMultipleInterpretersSlot,
                                      velkora::module::kMultipleInterpretersNotSupported};
    return PyModuleDef_Init(&velkora::module::kModule);
}
