// src/python/field_names.cpp: the table behind FieldNames, and how a name takes its slot.
#include "python/field_names.hpp"

namespace velkora::py {

FieldNames::Slot FieldNames::slots_[size_t{1} << FieldNames::kSlotBits] = {};

PyObject* FieldNames::replace(Slot& slot, uint64_t hash, const uint8_t* data, size_t size, PyObject* text) {
    if (!text) return nullptr;
    // The slot compares bytes against the name's own UTF-8: an ASCII str hands out its storage, another makes
    // its UTF-8 once and keeps it with the object. Without it (memory ran out) the name is not remembered.
    Py_ssize_t length;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &length);
    if (!utf8) {
        PyErr_Clear();
        return text;
    }
    if (static_cast<size_t>(length) != size || std::memcmp(utf8, data, size) != 0) return text;
    Py_INCREF(text);
    PyObject* old = slot.text;
    slot = Slot{hash, text, utf8, size};
    Py_XDECREF(old);  // once the slot is set, so the table is whole whatever the release does
    return text;
}

}  // namespace velkora::py
