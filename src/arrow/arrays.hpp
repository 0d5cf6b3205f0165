// src/arrow/arrays.hpp: the column builders' arrays and the record batch's struct array, made and released
// here rather than by nanoarrow's array functions.
//
// nanoarrow 0.8.0 initialises every array it makes through ArrowArrayInitFromType, which writes through an
// allocation it never checks (the table of buffer pointers): a malloc failing there is a crash, not ENOMEM.
// So the arrays are plain C Data Interface arrays with a release of our own, every allocation checked; their
// buffers are nanoarrow's ArrowBuffer and ArrowBitmap, whose growth does report ENOMEM, so the appends of
// the column plan work on them unchanged. The stream that hands a batch to pyarrow is made here too.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "arrow/nanoarrow.hpp"
#include "core/reader.hpp"
#include "core/stack.hpp"

namespace velkora::arrow {

/// Grows `buffer` to room for `additional` more bytes, at least doubling it. nanoarrow's own growth is not
/// used: when its reallocation fails it drops the buffer's contents (losing the block), where a failed growth
/// must leave the buffer as it was. False when memory runs out, the buffer as it was.
[[nodiscard]] VELKORA_NOINLINE bool grow_buffer(ArrowBuffer* buffer, int64_t additional);

/// Makes room for `additional` more bytes in `buffer`. False when memory runs out, the buffer as it was.
[[nodiscard]] VELKORA_INLINE bool reserve_bytes(ArrowBuffer* buffer, int64_t additional) {
    if (VELKORA_UNLIKELY(buffer->capacity_bytes - buffer->size_bytes < additional))
        return grow_buffer(buffer, additional);
    return true;
}

/// Appends `size` bytes (the appends below, likewise one value or `size` copies of a byte). False when
/// memory runs out, the buffer as it was.
[[nodiscard]] VELKORA_INLINE bool append_bytes(ArrowBuffer* buffer, const void* data, int64_t size) {
    if (!reserve_bytes(buffer, size)) return false;
    if (size != 0) std::memcpy(buffer->data + buffer->size_bytes, data, static_cast<size_t>(size));
    buffer->size_bytes += size;
    return true;
}
/// append_bytes for the short texts most values are: up to 32 bytes are copied by overlapping moves of 16,
/// 8 or 4 bytes (or single bytes) rather than by a call to memcpy, each move within the source and within
/// the room reserved.
[[nodiscard]] VELKORA_INLINE bool append_short_bytes(ArrowBuffer* buffer, const uint8_t* data, int64_t size) {
    if (size > 32) return append_bytes(buffer, data, size);
    if (!reserve_bytes(buffer, size)) return false;
    uint8_t* out = buffer->data + buffer->size_bytes;
    auto n = static_cast<size_t>(size);
    if (n > 16) {
        uint64_t a[2], b[2];
        std::memcpy(a, data, 16);
        std::memcpy(b, data + n - 16, 16);
        std::memcpy(out, a, 16);
        std::memcpy(out + n - 16, b, 16);
    } else if (n >= 8) {
        uint64_t head, tail;
        std::memcpy(&head, data, 8);
        std::memcpy(&tail, data + n - 8, 8);
        std::memcpy(out, &head, 8);
        std::memcpy(out + n - 8, &tail, 8);
    } else if (n >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, data, 4);
        std::memcpy(&tail, data + n - 4, 4);
        std::memcpy(out, &head, 4);
        std::memcpy(out + n - 4, &tail, 4);
    } else if (n != 0) {
        out[0] = data[0];
        out[n / 2] = data[n / 2];
        out[n - 1] = data[n - 1];
    }
    buffer->size_bytes += size;
    return true;
}
template <typename T>
[[nodiscard]] VELKORA_INLINE bool append_to(ArrowBuffer* buffer, T value) {
    return append_bytes(buffer, &value, sizeof value);
}
[[nodiscard]] VELKORA_INLINE bool append_fill(ArrowBuffer* buffer, uint8_t value, int64_t size) {
    if (!reserve_bytes(buffer, size)) return false;
    std::memset(buffer->data + buffer->size_bytes, value, static_cast<size_t>(size));
    buffer->size_bytes += size;
    return true;
}

/// The storage layouts of the arrays made here.
enum class Layout : uint8_t {
    Fixed32,   // 4-byte values: int32, float32
    Fixed64,   // 8-byte values: int64, float64, timestamp
    Bits,      // boolean
    Variable,  // 32-bit offsets and bytes: utf8, binary
    List,      // 32-bit offsets and one item array
    Struct,    // no buffer but validity, one child per field
};

/// What one of these arrays holds behind its C structure (its private data).
struct ArrayStorage {
    Layout layout;
    // Empty until the first null. Then every byte of its capacity is in use and every bit from the
    // array's length on is set, so a valid entry costs no store: only a null clears its bit.
    ArrowBitmap validity;
    ArrowBuffer offsets;               // Variable and List: one more offset than entries
    ArrowBuffer data;                  // the values, bits or bytes
    const void* pointers[3] = {};      // what `buffers` points to: filled by seal_array
    wire::Stack<ArrowArray*> children; // owned; a list's item array, or a struct's fields
};

/// The storage of an array made by make_builder_array or make_struct_array.
inline ArrayStorage& storage_of(ArrowArray* array) { return *static_cast<ArrayStorage*>(array->private_data); }

/// Makes `out` (empty: no release) an empty array of `layout` with room for `reserve` entries (a Variable
/// array for `reserve` bytes too); a List gets an empty item array of `item` layout with the same room.
/// False when memory runs out, `out` left empty.
[[nodiscard]] bool make_builder_array(ArrowArray* out, Layout layout, Layout item, int64_t reserve);

/// Appends a null entry to a builder array (the bitmap is allocated at the first null, with the earlier
/// entries valid). False when memory runs out, the array then as it was.
[[nodiscard]] bool append_null_entry(ArrowArray* array);

/// Grows an allocated validity bitmap to room for at least `bits` bits, the new ones set. False when
/// memory runs out, the bitmap as it was.
[[nodiscard]] VELKORA_NOINLINE bool grow_validity(ArrowBitmap* validity, int64_t bits);

/// Makes room in an allocated validity bitmap for the bit of entry `index`; false as grow_validity.
[[nodiscard]] VELKORA_INLINE bool reserve_validity(ArrowBitmap* validity, int64_t index) {
    if (VELKORA_UNLIKELY(index >= validity->buffer.capacity_bytes * 8)) return grow_validity(validity, index + 1);
    return true;
}

/// Clears the bit of entry `index` of an allocated validity bitmap with room for it.
VELKORA_INLINE void clear_validity_bit(ArrowBitmap* validity, int64_t index) {
    uint8_t& byte = validity->buffer.data[index >> 3];
    byte = static_cast<uint8_t>(byte & ~(1u << (index & 7)));
}

/// Cuts a builder array back to its first `length` entries (a list's items with them). Every size is set
/// from `length`, not from the current ones, so whatever a failed append left half-written goes too.
void truncate_entries(ArrowArray* array, int64_t length);

/// Removes the last entry of a non-empty builder array (a list's items with it).
void pop_last_entry(ArrowArray* array);

/// Points the array's `buffers` (and its children's) at the current buffer contents; called once the
/// appends are over, before the array is handed on. Never fails.
void seal_array(ArrowArray* array);

/// Makes `out` (empty) a struct array of `length` rows over `fields`, which it takes over (each is left
/// empty). False when memory runs out, `fields` then as they were and `out` empty.
[[nodiscard]] bool make_struct_array(std::vector<nanoarrow::UniqueArray>& fields, int64_t length, ArrowArray* out);

/// Makes `out` (empty) a stream of the one batch `array`, which it takes over (left empty), with a copy of
/// `schema`. nanoarrow's basic stream is not used: when its second allocation fails it loses the schema
/// it was given. False when memory runs out, `array` then as it was and `out` empty.
[[nodiscard]] bool make_batch_stream(const ArrowSchema* schema, ArrowArray* array, ArrowArrayStream* out);

}  // namespace velkora::arrow
