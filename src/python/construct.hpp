// src/python/construct.hpp: the few object constructions that differ between the two builds, side by side.
//
// The abi3 build (Py_LIMITED_API) makes a `str` only by decoding UTF-8 and a `dict` only empty, and reaches
// list slots through functions. The version-specific build, for the running interpreter alone, writes a
// string of known kind straight into its storage, sizes a dict for the entries the wire announces and fills
// list slots in place. Everything that depends on the build or the interpreter's version is here; the
// decoders call these helpers and never see the difference.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/portable.hpp"
#include "python/pyref.hpp"

namespace velkora::construct {

#if defined(Py_LIMITED_API)
inline constexpr bool kFullApi = false;
#else
inline constexpr bool kFullApi = true;
#endif

namespace detail {

/// The length of the ASCII prefix of `size` bytes at `p`, eight bytes at a time.
VELKORA_INLINE size_t ascii_prefix(const uint8_t* p, size_t size) {
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080ull) break;
    }
    while (i < size && p[i] < 0x80) ++i;
    return i;
}

}  // namespace detail

/// The `str` of the `size` bytes of UTF-8 at `data`. New reference, or nullptr with the interpreter's
/// exception set: UnicodeDecodeError for ill-formed UTF-8 (strict, as PyUnicode_DecodeUTF8 judges it).
inline PyObject* str_from_utf8(const uint8_t* data, size_t size) {
#if !defined(Py_LIMITED_API)
    // Text of one byte per character (ASCII, and Latin-1, whose UTF-8 is a lead byte C2 or C3 and one
    // continuation byte) is written straight into a new string of that kind. One character or none is left
    // to the decoder, which hands out the interpreter's shared strings for them.
    if (size > 1) {
        size_t ascii = detail::ascii_prefix(data, size);
        if (ascii == size) {
            PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
            if (text) std::memcpy(PyUnicode_1BYTE_DATA(text), data, size);
            return text;
        }
        size_t chars = ascii;
        bool latin1 = true;
        for (size_t i = ascii; i < size; ++chars) {
            uint8_t b = data[i];
            if (b < 0x80) {
                ++i;
            } else if ((b == 0xC2 || b == 0xC3) && i + 1 < size && (data[i + 1] & 0xC0) == 0x80) {
                i += 2;
            } else {
                latin1 = false;
                break;
            }
        }
        if (latin1) {
            PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(chars), 255);
            if (!text) return nullptr;
            Py_UCS1* out = PyUnicode_1BYTE_DATA(text);
            std::memcpy(out, data, ascii);
            out += ascii;
            for (size_t i = ascii; i < size; ++out) {
                uint8_t b = data[i];
                if (b < 0x80) {
                    *out = b;
                    ++i;
                } else {
                    *out = static_cast<Py_UCS1>((b & 0x1F) << 6 | (data[i + 1] & 0x3F));
                    i += 2;
                }
            }
            return text;
        }
    }
#endif
    // Wider text as the interpreter decodes it, validating while it copies.
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size), nullptr);
}

/// An empty `dict` that will receive about `entries` entries; the caller has bounded `entries` by what the
/// input can fill. New reference, or nullptr with the exception set.
VELKORA_INLINE PyObject* dict_for(uint64_t entries) {
#if !defined(Py_LIMITED_API) && PY_VERSION_HEX < 0x030E0000
    // Declared in the interpreter's cpython/ headers up to 3.13 (there is no public form): one table of the
    // right size instead of the growth from 8 slots with a rehash at each step. It makes no table for 5
    // entries or fewer, which fit the first one anyway.
    return _PyDict_NewPresized(static_cast<Py_ssize_t>(entries));
#else
    (void)entries;
    return PyDict_New();
#endif
}

/// Stores `item` (a new reference, taken over) in slot `index` of `list`, a list made by PyList_New whose
/// slot is still empty.
VELKORA_INLINE void list_fill(PyObject* list, Py_ssize_t index, PyObject* item) {
#if defined(Py_LIMITED_API)
    PyList_SetItem(list, index, item);  // cannot fail: the index is in range and the object a list
#else
    PyList_SET_ITEM(list, index, item);
#endif
}

/// Borrowed reference to item `index` of `list` (a list, the index in range).
VELKORA_INLINE PyObject* list_item(PyObject* list, Py_ssize_t index) {
#if defined(Py_LIMITED_API)
    return PyList_GetItem(list, index);
#else
    return PyList_GET_ITEM(list, index);
#endif
}

/// The length of `list` (a list).
VELKORA_INLINE Py_ssize_t list_size(PyObject* list) {
#if defined(Py_LIMITED_API)
    return PyList_Size(list);
#else
    return PyList_GET_SIZE(list);
#endif
}

/// The module's slot for its stance on the free-threaded interpreter (3.13 and newer, version-specific build
/// only): the module needs the interpreter lock. The process-wide tables of field names and cached objects
/// rely on the lock to serialise them, so a free-threaded interpreter must keep its lock on while the module
/// is loaded. Where the slot does not exist, an empty slot that ends the table where it stands.
constexpr PyModuleDef_Slot gil_slot() {
#if !defined(Py_LIMITED_API) && PY_VERSION_HEX >= 0x030D0000
    return {Py_mod_gil, Py_MOD_GIL_USED};
#else
    return {0, nullptr};
#endif
}

}  // namespace velkora::construct
