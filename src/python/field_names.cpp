// src/python/field_names.cpp: the hash and the comparison behind FieldNames.
#include "python/field_names.hpp"

namespace velkora::pydecode {

FieldNames::Slot FieldNames::slots_[size_t{1} << FieldNames::kSlotBits] = {};

uint64_t FieldNames::hash_of(const uint8_t* p, size_t size) {
    // Eight bytes at a time, each word multiplied in: names are short, and only the top bits pick the slot.
    uint64_t h = 0x9E3779B97F4A7C15ull ^ size;
    for (; size >= 8; p += 8, size -= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0xC2B2AE3D27D4EB4Full;
        h ^= h >> 29;
    }
    uint64_t tail = 0;
    if (size) std::memcpy(&tail, p, size);
    h = (h ^ tail) * 0x165667B19E3779F9ull;
    return h ^ (h >> 32);
}

bool FieldNames::same_text(PyObject* text, const uint8_t* data, size_t size) {
    Py_ssize_t length;
    // An ASCII str hands out its own bytes; another keeps the UTF-8 made here, once, with the object.
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &length);
    if (!utf8) {
        PyErr_Clear();
        return false;
    }
    return static_cast<size_t>(length) == size && std::memcmp(utf8, data, size) == 0;
}

}  // namespace velkora::pydecode
