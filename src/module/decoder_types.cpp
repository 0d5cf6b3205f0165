// src/module/decoder_types.cpp: heap type creation for the decoder classes.
#include "module/decoder_types.hpp"

namespace velkora::module {

uint64_t current_thread() {
    static std::atomic<uint64_t> next{1};
    thread_local const uint64_t token = next.fetch_add(1);
    return token;
}

PyObject* create_type(const ClassSpec& spec) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(spec.doc)},
        {Py_tp_new, reinterpret_cast<void*>(spec.constructor)},
        {Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)},
        {Py_tp_methods, spec.methods},
        {Py_tp_getset, spec.getset},
        {0, nullptr},
    };
    PyType_Spec type_spec = {spec.qualified_name, spec.basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
    return PyType_FromSpec(&type_spec);
}

}  // namespace velkora::module
