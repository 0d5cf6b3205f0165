// src/python/field_names.hpp: the field names of earlier responses, remembered in a table of fixed size.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/reader.hpp"
#include "python/pyref.hpp"

namespace velkora::pydecode {

/// Extern strings (field names, mostly) of one response share one `str` through the response's table. Across
/// responses a process-wide direct-mapped table keyed on the UTF-8 bytes hands out the `str` made before, so
/// a service decoding the same schema again and again gets the same key objects. The table replaces the
/// interpreter's interning, whose strings are never freed on some versions: names a process meets once
/// (dynamic or per-tenant fields) would stay with it for good. A name that misses takes its slot and evicts
/// what was there, so the memory held is bounded whatever the names are.
///
/// Process-global mutable state: touched only with the interpreter lock held (every caller decodes into
/// Python objects, which it holds the lock for), so the lock is what serialises it. The module declares no
/// support for interpreters with a lock of their own, so there is one lock for all that import it.
class FieldNames {
public:
    /// Names up to kMaxBytes go through the table; longer ones are rare and would make it hold more.
    static constexpr size_t kMaxBytes = 128;
    static constexpr unsigned kSlotBits = 12;

    /// The `str` of the `size` bytes at `data`: the one in its slot when its text is the same bytes, else the
    /// one `make()` returns (a new reference, or nullptr with the failure recorded by `make`), which then
    /// takes the slot. New reference.
    template <typename Make>
    static PyObject* get(const uint8_t* data, size_t size, Make&& make) {
        if (size > kMaxBytes) return make();
        uint64_t hash = hash_of(data, size);
        Slot& slot = slots_[hash >> (64 - kSlotBits)];
        if (slot.text && slot.hash == hash && same_text(slot.text, data, size)) {
            Py_INCREF(slot.text);
            return slot.text;
        }
        PyObject* text = make();
        if (!text) return nullptr;
        Py_INCREF(text);
        PyObject* old = slot.text;
        slot = Slot{hash, text};
        Py_XDECREF(old);  // once the slot is set, so the table is whole whatever the release does
        return text;
    }

private:
    struct Slot {
        uint64_t hash;
        PyObject* text;  // owned; null while the slot is empty
    };

    static uint64_t hash_of(const uint8_t* p, size_t size);
    /// Whether `text` (a str made from well-formed UTF-8) has exactly the `size` bytes at `data` as UTF-8.
    static bool same_text(PyObject* text, const uint8_t* data, size_t size);

    static Slot slots_[size_t{1} << kSlotBits];  // never released: a process-wide cache, like the type objects
};

}  // namespace velkora::pydecode
