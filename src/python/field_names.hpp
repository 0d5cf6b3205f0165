// src/python/field_names.hpp: the field names of earlier responses, remembered in a table of fixed size.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/portable.hpp"
#include "core/reader.hpp"
#include "python/pyref.hpp"

namespace velkora::py {

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
    static VELKORA_INLINE PyObject* get(const uint8_t* data, size_t size, Make&& make) {
        if (size > kMaxBytes) return make();
        uint64_t hash = hash_of(data, size);
        Slot& slot = slots_[hash >> (64 - kSlotBits)];
        if (VELKORA_LIKELY(slot.hash == hash && slot.size == size && slot.text && same_bytes(slot.utf8, data, size))) {
            Py_INCREF(slot.text);
            return slot.text;
        }
        return replace(slot, hash, data, size, make());
    }

private:
    struct Slot {
        uint64_t hash;
        PyObject* text;     // owned; null while the slot is empty
        const char* utf8;   // the UTF-8 of `text`, kept by `text` itself
        size_t size;
    };

    /// Eight bytes at a time, overlapping at the ends; only the top bits pick the slot.
    static VELKORA_INLINE uint64_t hash_of(const uint8_t* p, size_t size) {
        uint64_t a, b;
        if (size >= 8) {
            a = load8(p);
            b = load8(p + size - 8);
            for (size_t i = 8; i + 8 < size; i += 8) a = (a ^ load8(p + i)) * 0xC2B2AE3D27D4EB4Full;
        } else if (size >= 4) {
            a = load4(p);
            b = load4(p + size - 4);
        } else {
            a = size ? uint64_t{p[0]} | uint64_t{p[size / 2]} << 8 | uint64_t{p[size - 1]} << 16 : 0;
            b = 0;
        }
        uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ ((b ^ size) * 0x165667B19E3779F9ull);
        return h ^ (h >> 29);
    }
    static VELKORA_INLINE uint64_t load8(const uint8_t* p) { return wire::load_host<uint64_t>(p); }
    static VELKORA_INLINE uint64_t load4(const uint8_t* p) { return wire::load_host<uint32_t>(p); }
    /// Whether the `size` bytes at `a` and `b` are the same: two overlapping words up to 16 bytes.
    static VELKORA_INLINE bool same_bytes(const char* a, const uint8_t* b, size_t size) {
        auto x = reinterpret_cast<const uint8_t*>(a);
        if (size > 16) return std::memcmp(x, b, size) == 0;
        if (size >= 8) return load8(x) == load8(b) && load8(x + size - 8) == load8(b + size - 8);
        if (size >= 4) return load4(x) == load4(b) && load4(x + size - 4) == load4(b + size - 4);
        for (size_t i = 0; i < size; ++i)
            if (x[i] != b[i]) return false;
        return true;
    }
    /// Puts `text` (a new reference, or nullptr with the failure recorded by its maker), made of the `size`
    /// bytes at `data`, into `slot`. Returns `text`.
    static PyObject* replace(Slot& slot, uint64_t hash, const uint8_t* data, size_t size, PyObject* text);

    static Slot slots_[size_t{1} << kSlotBits];  // never released: a process-wide cache, like the type objects
};

}  // namespace velkora::py
