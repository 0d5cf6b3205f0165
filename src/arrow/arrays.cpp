// src/arrow/arrays.cpp: C Data Interface arrays of our own making (why: see arrays.hpp).
#include "arrow/arrays.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace velkora::arrow {

namespace {

/// Frees what an array's storage holds, children first, then the storage.
struct StorageDeleter {
    void operator()(ArrayStorage* s) const {
        for (ArrowArray* child : s->children) {
            if (child->release) child->release(child);
            delete child;
        }
        ArrowBitmapReset(&s->validity);
        ArrowBufferReset(&s->offsets);
        ArrowBufferReset(&s->data);
        delete s;
    }
};
using Storage = std::unique_ptr<ArrayStorage, StorageDeleter>;

/// The release callback of every array made here.
void release_array(ArrowArray* array) {
    StorageDeleter{}(static_cast<ArrayStorage*>(array->private_data));
    array->release = nullptr;
}

/// Empty storage of `layout`; null when memory runs out.
Storage new_storage(Layout layout) {
    Storage s(new (std::nothrow) ArrayStorage);
    if (!s) return s;
    s->layout = layout;
    ArrowBitmapInit(&s->validity);
    ArrowBufferInit(&s->offsets);
    ArrowBufferInit(&s->data);
    return s;
}

/// The array's C structure over `storage`, which it takes over. Never fails.
void attach(ArrowArray* out, Storage storage) {
    std::memset(out, 0, sizeof *out);
    ArrayStorage* s = storage.release();
    out->n_buffers = s->layout == Layout::Struct ? 1 : s->layout == Layout::Variable ? 3 : 2;
    out->n_children = static_cast<int64_t>(s->children.size());
    out->buffers = s->pointers;
    out->children = s->children.empty() ? nullptr : s->children.data();
    out->private_data = s;
    out->release = release_array;
}

/// Appends a null's value (zeroes, a clear bit, or the last offset again) to an array of `length` entries;
/// false when memory runs out.
bool append_null_value(ArrayStorage& s, int64_t length) {
    switch (s.layout) {
        case Layout::Fixed32: return append_fill(&s.data, 0, 4);
        case Layout::Fixed64: return append_fill(&s.data, 0, 8);
        case Layout::Bits:
            if ((length & 7) == 0) return append_to(&s.data, uint8_t{0});
            s.data.data[length >> 3] = static_cast<uint8_t>(s.data.data[length >> 3] & ~(1u << (length & 7)));
            return true;
        case Layout::Variable:
        case Layout::List: return append_to(&s.offsets, reinterpret_cast<const int32_t*>(s.offsets.data)[length]);
        case Layout::Struct: break;
    }
    return true;
}

/// The private data of a one-batch stream.
struct BatchStream {
    nanoarrow::UniqueSchema schema;
    nanoarrow::UniqueArray array;  // released once handed out
};

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    return ArrowSchemaDeepCopy(static_cast<BatchStream*>(stream->private_data)->schema.get(), out);
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
    ArrowArray* array = static_cast<BatchStream*>(stream->private_data)->array.get();
    if (array->release) {
        ArrowArrayMove(array, out);
    } else {
        out->release = nullptr;  // the end of the stream
    }
    return NANOARROW_OK;
}

const char* stream_last_error(ArrowArrayStream*) { return nullptr; }

void stream_release(ArrowArrayStream* stream) {
    delete static_cast<BatchStream*>(stream->private_data);
    stream->release = nullptr;
}

}  // namespace

bool make_batch_stream(const ArrowSchema* schema, ArrowArray* array, ArrowArrayStream* out) {
    std::unique_ptr<BatchStream> batch(new (std::nothrow) BatchStream);
    // A copy of a valid schema fails only for want of memory.
    if (!batch || ArrowSchemaDeepCopy(schema, batch->schema.get()) != NANOARROW_OK) return false;
    ArrowArrayMove(array, batch->array.get());
    out->get_schema = stream_schema;
    out->get_next = stream_next;
    out->get_last_error = stream_last_error;
    out->release = stream_release;
    out->private_data = batch.release();
    return true;
}

bool grow_buffer(ArrowBuffer* buffer, int64_t additional) {
    int64_t needed = buffer->size_bytes + additional;
    int64_t capacity = buffer->capacity_bytes * 2 > needed ? buffer->capacity_bytes * 2 : needed;
    uint8_t* data = buffer->allocator.reallocate(&buffer->allocator, buffer->data, buffer->capacity_bytes, capacity);
    if (!data) return false;
    buffer->data = data;
    buffer->capacity_bytes = capacity;
    return true;
}

namespace {

/// Room for `reserve` entries in an array's own buffers, the first offset written.
bool reserve_entries(ArrayStorage& s, int64_t reserve) {
    switch (s.layout) {
        case Layout::Fixed32: return reserve_bytes(&s.data, reserve * 4);
        case Layout::Fixed64: return reserve_bytes(&s.data, reserve * 8);
        case Layout::Bits: return reserve_bytes(&s.data, (reserve + 7) / 8);
        case Layout::Variable:
        case Layout::List:
            return reserve_bytes(&s.offsets, (reserve + 1) * 4) &&
                   append_to(&s.offsets, int32_t{0}) &&  // the first entry starts at 0
                   (s.layout != Layout::Variable || reserve_bytes(&s.data, reserve));
        case Layout::Struct: break;
    }
    return true;
}

}  // namespace

bool make_builder_array(ArrowArray* out, Layout layout, Layout item, int64_t reserve) {
    Storage s = new_storage(layout);
    if (!s || !reserve_entries(*s, reserve)) return false;
    if (layout == Layout::List) {
        if (!s->children.reserve(1)) return false;
        std::unique_ptr<ArrowArray> child(new (std::nothrow) ArrowArray{});
        if (!child || !make_builder_array(child.get(), item, item, reserve)) return false;
        (void)s->children.push(child.release());  // room was reserved: cannot fail
    }
    attach(out, std::move(s));
    return true;
}

bool grow_validity(ArrowBitmap* validity, int64_t bits) {
    ArrowBuffer* buffer = &validity->buffer;
    int64_t before = buffer->capacity_bytes;
    if (!grow_buffer(buffer, _ArrowBytesForBits(bits) - buffer->size_bytes)) return false;
    std::memset(buffer->data + before, 0xFF, static_cast<size_t>(buffer->capacity_bytes - before));
    buffer->size_bytes = buffer->capacity_bytes;
    return true;
}

namespace {

/// The entries an array has room for in its row-sized buffer without growing it.
int64_t entry_room(const ArrayStorage& s) {
    switch (s.layout) {
        case Layout::Fixed32: return s.data.capacity_bytes / 4;
        case Layout::Fixed64: return s.data.capacity_bytes / 8;
        case Layout::Bits: return s.data.capacity_bytes * 8;
        case Layout::Variable:
        case Layout::List: return s.offsets.capacity_bytes / 4 - 1;
        case Layout::Struct: break;
    }
    return 0;
}

/// The first null's bitmap: sized for the entries the array has room for (failing that, for the null),
/// all set. False when memory runs out.
bool allocate_validity(ArrayStorage& s, int64_t length) {
    ArrowBuffer* buffer = &s.validity.buffer;
    int64_t bytes = _ArrowBytesForBits(length + 1);
    if (!reserve_bytes(buffer, std::max(bytes, _ArrowBytesForBits(entry_room(s)))) && !reserve_bytes(buffer, bytes))
        return false;
    std::memset(buffer->data, 0xFF, static_cast<size_t>(buffer->capacity_bytes));
    buffer->size_bytes = buffer->capacity_bytes;
    return true;
}

}  // namespace

bool append_null_entry(ArrowArray* array) {
    ArrayStorage& s = storage_of(array);
    int64_t length = array->length;
    // The bit's room first: a bitmap allocated or grown for a null that then fails holds only set bits
    // past the array's length, as it must.
    bool room = s.validity.buffer.data == nullptr ? allocate_validity(s, length) : reserve_validity(&s.validity, length);
    if (!room || !append_null_value(s, length)) return false;
    clear_validity_bit(&s.validity, length);
    ++array->length;
    ++array->null_count;
    return true;
}

void truncate_entries(ArrowArray* array, int64_t length) {
    ArrayStorage& s = storage_of(array);
    if (s.validity.buffer.data != nullptr) {
        if (array->length > length) ArrowBitsSetTo(s.validity.buffer.data, length, array->length - length, 1);
        s.validity.size_bits = length;
        array->null_count = length - ArrowBitCountSet(s.validity.buffer.data, 0, length);
    } else {
        array->null_count = 0;  // without a bitmap the array holds no null
    }
    switch (s.layout) {
        case Layout::Fixed32: s.data.size_bytes = length * 4; break;
        case Layout::Fixed64: s.data.size_bytes = length * 8; break;
        case Layout::Bits: s.data.size_bytes = _ArrowBytesForBits(length); break;
        case Layout::Variable:
            s.offsets.size_bytes = (length + 1) * 4;
            s.data.size_bytes = reinterpret_cast<const int32_t*>(s.offsets.data)[length];
            break;
        case Layout::List:
            s.offsets.size_bytes = (length + 1) * 4;
            truncate_entries(s.children[0], reinterpret_cast<const int32_t*>(s.offsets.data)[length]);
            break;
        case Layout::Struct: break;
    }
    array->length = length;
}

void pop_last_entry(ArrowArray* array) { truncate_entries(array, array->length - 1); }

void seal_array(ArrowArray* array) {
    ArrayStorage& s = storage_of(array);
    s.validity.size_bits = array->length;
    s.pointers[0] = s.validity.buffer.data;
    switch (s.layout) {
        case Layout::Fixed32:
        case Layout::Fixed64:
        case Layout::Bits: s.pointers[1] = s.data.data; break;
        case Layout::Variable:
            s.pointers[1] = s.offsets.data;
            s.pointers[2] = s.data.data;
            break;
        case Layout::List: s.pointers[1] = s.offsets.data; break;
        case Layout::Struct: break;
    }
    for (ArrowArray* child : s.children)
        if (child->release == release_array) seal_array(child);
}

bool make_struct_array(std::vector<nanoarrow::UniqueArray>& fields, int64_t length, ArrowArray* out) {
    Storage s = new_storage(Layout::Struct);
    if (!s || !s->children.reserve(fields.size())) return false;
    for (size_t i = 0; i < fields.size(); ++i) {
        auto* child = new (std::nothrow) ArrowArray{};
        if (!child) return false;  // the storage's deleter frees the children made so far
        child->release = nullptr;
        (void)s->children.push(child);  // room was reserved: cannot fail
    }
    for (size_t i = 0; i < fields.size(); ++i) ArrowArrayMove(fields[i].get(), s->children[i]);
    attach(out, std::move(s));
    out->length = length;
    return true;
}

}  // namespace velkora::arrow
