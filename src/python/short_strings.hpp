// src/python/short_strings.hpp: short strings that recur within a response, made once.
#pragma once

#include <cstdint>
#include <memory>

#include "core/portable.hpp"
#include "core/reader.hpp"
#include "python/pyref.hpp"

namespace velkora::py {

/// Short strings that recur in a response (the values of a category or status field) are made once. A
/// direct-mapped table keyed on the UTF-8 bytes hands out the `str` made the first time; a string that
/// misses takes its slot. A `str` is immutable, so sharing one object is invisible to callers.
class ShortStrings {
public:
    /// Strings of kMinBytes to kMaxBytes bytes go through the table: shorter ones the interpreter shares
    /// itself, and longer ones rarely recur (an identifier, a title) while costing more to compare.
    static constexpr size_t kMinBytes = 2;
    static constexpr size_t kMaxBytes = 24;

    ShortStrings() = default;
    ShortStrings(const ShortStrings&) = delete;
    ShortStrings& operator=(const ShortStrings&) = delete;
    ~ShortStrings();

    /// The `str` of the `size` bytes at `data` (kMinBytes <= size <= kMaxBytes): the remembered one, else
    /// the one `make()` returns (a new reference, or nullptr with the failure recorded by `make`). New reference.
    template <typename Make>
    VELKORA_INLINE PyObject* get(const uint8_t* data, size_t size, Make&& make) {
        if (VELKORA_UNLIKELY(!slots_)) {
            // A small response pays nothing for the table: it is set up only once strings keep coming.
            if (++unremembered_ <= kWarmup || !allocate()) return make();
        }
        Key key = key_of(data, size);
        Slot& slot = slots_[slot_index(key)];
        if (slot.text && slot.key.size == key.size && slot.key.words[0] == key.words[0] &&
            slot.key.words[1] == key.words[1] && slot.key.words[2] == key.words[2]) {
            Py_INCREF(slot.text);
            return slot.text;
        }
        PyObject* text = make();
        if (!text) return nullptr;
        Py_XDECREF(slot.text);
        Py_INCREF(text);
        slot = Slot{key, text};
        return text;
    }

private:
    struct Key {
        uint64_t words[3];
        uint64_t size;
    };
    struct Slot {
        Key key;
        PyObject* text;  // owned; null while the slot is empty
    };
    static constexpr unsigned kSlotBits = 10;
    static constexpr uint32_t kWarmup = 64;

    /// Words that, with the size, tell any two strings of up to kMaxBytes apart; loads stay within the string.
    static VELKORA_INLINE Key key_of(const uint8_t* p, size_t size) {
        auto load8 = [](const uint8_t* q) { return wire::load_host<uint64_t>(q); };
        auto load4 = [](const uint8_t* q) { return uint64_t{wire::load_host<uint32_t>(q)}; };
        if (size >= 8) return Key{{load8(p), load8(p + size - 8), size > 16 ? load8(p + 8) : 0}, size};
        if (size >= 4) return Key{{load4(p) | load4(p + size - 4) << 32, 0, 0}, size};
        return Key{{uint64_t{p[0]} | uint64_t{p[size / 2]} << 8 | uint64_t{p[size - 1]} << 16, 0, 0}, size};
    }
    static VELKORA_INLINE size_t slot_index(const Key& k) {
        uint64_t h = (k.words[0] * 0x9E3779B97F4A7C15ull) ^ (k.words[1] * 0xC2B2AE3D27D4EB4Full) ^
                     (k.words[2] * 0x165667B19E3779F9ull) ^ k.size;
        return static_cast<size_t>((h * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
    }
    bool allocate();

    std::unique_ptr<Slot[]> slots_;
    uint32_t unremembered_ = 0;
};

}  // namespace velkora::py
