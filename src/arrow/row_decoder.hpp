// src/arrow/row_decoder.hpp: the Arrow row decoder, a response's state over a column plan, and reading
// the response's documents straight into its column builders.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "arrow/arrays.hpp"
#include "arrow/column_plan.hpp"
#include "core/extern_strings.hpp"
#include "core/reader.hpp"
#include "core/stack.hpp"

namespace velkora::arrow {

/// One column's builder. The plan's kinds are copied in, so an append reads one place. Its size is a power
/// of two (a list's validity is found through its builder), so that finding a column by number is a shift.
struct Column {
    ColumnKind kind;
    ColumnKind item;
    bool is_list;
    nanoarrow::UniqueArray builder;
    ArrowArray* values;           // where scalars go: the builder, or a list builder's child
    // The builders' own buffers, for appends without a dispatch on the storage type per value.
    ArrowBuffer* data;            // the values' fixed-width data, or their character data
    ArrowBuffer* offsets;         // the values' offsets (Utf8, Binary), else nullptr
    ArrowBitmap* validity;        // the values' validity (allocated by the builder at the first null)
    ArrowBuffer* list_offsets;    // a list column's offsets, else nullptr
};
static_assert(sizeof(void*) != 8 || sizeof(Column) == 128, "a column's size is a power of two on 64-bit hosts");

struct PendingTree;

/// What a document may change in the decoder, taken before it is decoded: after every complete document
/// each builder holds exactly `rows` entries, so the row count says how far to cut them back.
struct RowCheckpoint {
    uint64_t rows;
    size_t externs;
};

/// What one response (or one stream) changes while it is decoded against a plan: the builders, the rows
/// and extern strings met so far, the routes of those strings and explode mode's pending tree.
///
/// Running out of memory is a failure like the others: an append that cannot grow its buffers returns
/// false (those taking an error make it OutOfMemory), and no exception leaves a decode.
class ArrowRowDecoder {
public:
    /// The columns of `plan`, their builders not made yet. Only build makes one, which reports the
    /// std::bad_alloc of these containers as OutOfMemory.
    explicit ArrowRowDecoder(SharedPlan plan);
    ~ArrowRowDecoder();
    ArrowRowDecoder(const ArrowRowDecoder&) = delete;
    ArrowRowDecoder& operator=(const ArrowRowDecoder&) = delete;

    /// A plan for the schema and a decoder over it, with empty builders: ColumnPlan::build's failures, or
    /// OutOfMemory.
    [[nodiscard]] static bool build(SharedSchema schema, ChildrenMode mode, const MetaNames& names,
                                    std::unique_ptr<ArrowRowDecoder>* out, wire::DecodeError* error);

    const ColumnPlan& plan() const { return *plan_; }

    /// Appends one value to a scalar column, converting it; ArrowTypeMismatch leaves the column unchanged.
    [[nodiscard]] VELKORA_INLINE bool append_scalar(uint32_t column, const ScalarValue& value,
                                                    wire::DecodeError* error) {
        Column& c = columns[column];
        if (VELKORA_UNLIKELY(c.is_list)) return mismatch("list", error);
        return append_value(c, c.kind, value, error);
    }
    /// Appends one item to the list value being built in a list column.
    [[nodiscard]] VELKORA_INLINE bool append_item(uint32_t column, const ScalarValue& value,
                                                  wire::DecodeError* error) {
        Column& c = columns[column];
        if (VELKORA_UNLIKELY(!c.is_list)) return mismatch("scalar", error);
        if (VELKORA_UNLIKELY(c.values->length + 1 > offset_limit)) return offset_limit_error(c, error);
        return append_value(c, c.item, value, error);
    }
    /// Ends the list value being built (no items: an empty list, not a null). False when memory runs out.
    [[nodiscard]] VELKORA_INLINE bool close_list(uint32_t column) {
        Column& c = columns[column];
        return append_to(c.list_offsets, static_cast<int32_t>(c.values->length)) &&
               mark_valid(c.builder.get(), &storage_of(c.builder.get()).validity);
    }
    /// A null row entry: a null value, or a null list. False when memory runs out.
    [[nodiscard]] VELKORA_INLINE bool append_null(uint32_t column) {
        Column& c = columns[column];
        if (c.is_list)
            return append_null_entry(c.builder.get(), &storage_of(c.builder.get()).validity, c.list_offsets, nullptr, 0);
        return append_null_entry(c.values, c.validity, c.offsets, c.data,
                                 c.item == ColumnKind::Boolean ? 0 : fixed_width(c.item));
    }
    // The appends of a value already known to be of the column's (item) kind: the row decoder reads the
    // tag Solr writes for a kind straight into these, with no ScalarValue and no dispatch on its kind.
    /// Text or bytes into a Utf8 or Binary column (or a list's items of that kind).
    [[nodiscard]] VELKORA_INLINE bool append_text(Column& c, wire::ByteSpan bytes, wire::DecodeError* error) {
        return append_bytes(c, bytes, error);
    }
    /// A value of the column's own width: int32, int64, float, double, timestamp. False when memory runs out
    /// (and append_boolean likewise).
    template <typename T>
    [[nodiscard]] VELKORA_INLINE bool append_number(Column& c, T value) { return append_fixed(c, value); }
    [[nodiscard]] VELKORA_INLINE bool append_boolean(Column& c, bool value) {
        return append_bit_at(c.data, c.values->length, value) && mark_valid(c.values, c.validity);
    }
    /// Whether a list column can take one more item in this batch (false: the error is set).
    [[nodiscard]] VELKORA_INLINE bool room_for_item(Column& c, wire::DecodeError* error) const {
        if (VELKORA_UNLIKELY(c.values->length + 1 > offset_limit)) return offset_limit_error(c, error);
        return true;
    }

    /// Removes the last row entry of a column (a field named again in the same document replaces it).
    void drop_last(uint32_t column);

    /// The state after the last complete document, and the way back to it: a document that fails
    /// leaves no entry in any builder and no extern string behind.
    RowCheckpoint checkpoint() const { return {rows, externs.size()}; }
    void roll_back(const RowCheckpoint& checkpoint);

    /// Makes room for `rows` more rows in every builder's row-sized buffers (values of fixed width, offsets),
    /// so a response whose document count is known does not regrow them. Item and character buffers grow
    /// as they fill. The caller bounds `rows` by the input left. Room that cannot be had is not an error:
    /// the buffers then grow as they fill.
    void reserve_rows(uint64_t rows);

    /// Finishes every builder into an array and starts them afresh. The arrays are moved into `out`. False
    /// when memory runs out, every column then as it was.
    [[nodiscard]] bool finish_columns(std::vector<nanoarrow::UniqueArray>* out);

    std::vector<Column> columns;
    wire::ExternStrings externs;
    /// The column each extern string routes to as a field name, indexed like `externs` (see row_decoder.cpp
    /// for its values). It may be shorter than the table, which walks that know nothing of it extend too: it
    /// grows when a name is routed, and is cut back with the table.
    std::vector<uint32_t> extern_columns;
    /// The column of the field name that is extern string i (1 to 30, the references of one byte), -1 for
    /// none, or kUnrouted while the name has not been routed: a row decoder finds the common key's column
    /// from its tag alone.
    static constexpr int32_t kUnrouted = INT32_MIN;
    std::array<int32_t, 32> short_routes = unrouted();
    std::vector<uint8_t> seen;  // one byte per column, padded to whole words so a row clears them in a few stores

    VELKORA_INLINE void clear_seen() {
        for (size_t i = 0; i < seen.size(); i += 8) {
            uint64_t zero = 0;
            std::memcpy(seen.data() + i, &zero, 8);
        }
    }
    uint64_t rows = 0;
    /// The most bytes of character data, or items, one batch of a 32-bit-offset column may hold. Only a
    /// unit test lowers it, to reach the limit without gigabytes of input.
    int64_t offset_limit = INT32_MAX;
    /// Explode mode: the rows of the document tree being read.
    std::unique_ptr<PendingTree> pending;

private:
    /// Sets bit `bit` of a bit buffer that holds exactly `bit` bits, growing it by a byte when needed.
    [[nodiscard]] static VELKORA_INLINE bool append_bit_at(ArrowBuffer* bits, int64_t bit, bool value) {
        if ((bit & 7) == 0) return append_to(bits, static_cast<uint8_t>(value ? 1 : 0));
        uint8_t mask = static_cast<uint8_t>(1u << (bit & 7));
        uint8_t& byte = bits->data[bit >> 3];
        byte = value ? static_cast<uint8_t>(byte | mask) : static_cast<uint8_t>(byte & ~mask);
        return true;
    }

    /// Counts one more valid entry in an array whose value buffers were just appended to. Its bit is
    /// already set (see ArrayStorage): only the bitmap's room is checked.
    [[nodiscard]] static VELKORA_INLINE bool mark_valid(ArrowArray* array, ArrowBitmap* validity) {
        if (validity->buffer.data != nullptr && !reserve_validity(validity, array->length)) return false;
        ++array->length;
        return true;
    }

    static VELKORA_INLINE int64_t fixed_width(ColumnKind kind) {
        return kind == ColumnKind::Int32 || kind == ColumnKind::Float32 ? 4 : 8;
    }

    /// A null entry: zeroed value bytes, or the last offset again, and a clear validity bit. The first
    /// null of a builder goes through arrow::append_null_entry, which allocates the bitmap with the earlier bits set.
    [[nodiscard]] static VELKORA_INLINE bool append_null_entry(ArrowArray* array, ArrowBitmap* validity,
                                                               ArrowBuffer* offsets, ArrowBuffer* data, int64_t width) {
        if (VELKORA_UNLIKELY(validity->buffer.data == nullptr || (offsets == nullptr && width == 0 && data)))
            return arrow::append_null_entry(array);
        if (!reserve_validity(validity, array->length)) return false;
        if (offsets) {
            int32_t last = reinterpret_cast<const int32_t*>(offsets->data)[array->length];
            if (!append_to(offsets, last)) return false;
        } else if (width && !append_fill(data, 0, width)) {
            return false;
        }
        clear_validity_bit(validity, array->length);
        ++array->length;
        ++array->null_count;
        return true;
    }

    /// What an append of append_value came to: `appended` false is memory run out.
    static VELKORA_INLINE bool stored(bool appended, wire::DecodeError* error) {
        return VELKORA_LIKELY(appended) || out_of_memory(error);
    }

    /// Converts `v` for a column of scalar kind `kind` (a list's item kind for items) and appends it.
    [[nodiscard]] VELKORA_INLINE bool append_value(Column& c, ColumnKind kind, const ScalarValue& v,
                                                   wire::DecodeError* error) {
        using K = ScalarValue::Kind;
        ArrowArray* a = c.values;
        switch (kind) {
            case ColumnKind::Int32:
                if (v.kind == K::Int32) return stored(append_fixed(c, v.i32), error);
                if (v.kind == K::Int64 && v.i64 >= INT32_MIN && v.i64 <= INT32_MAX)
                    return stored(append_fixed(c, static_cast<int32_t>(v.i64)), error);
                break;
            case ColumnKind::Int64:
                if (v.kind == K::Int64) return stored(append_fixed(c, v.i64), error);
                if (v.kind == K::Int32) return stored(append_fixed(c, static_cast<int64_t>(v.i32)), error);
                break;
            case ColumnKind::Float32:
                if (v.kind == K::Float32) return stored(append_fixed(c, v.f32), error);
                // Rounded to the nearest float; a double beyond float range becomes an infinity.
                if (v.kind == K::Float64) return stored(append_fixed(c, static_cast<float>(v.f64)), error);
                break;
            case ColumnKind::Float64:
                if (v.kind == K::Float64) return stored(append_fixed(c, v.f64), error);
                if (v.kind == K::Float32) return stored(append_fixed(c, static_cast<double>(v.f32)), error);
                break;
            case ColumnKind::Boolean:
                if (v.kind == K::Bool)
                    return stored(append_bit_at(c.data, a->length, v.boolean) && mark_valid(a, c.validity), error);
                break;
            case ColumnKind::Utf8:
                if (v.kind == K::Str) return append_bytes(c, v.bytes, error);
                break;
            case ColumnKind::Binary:
                if (v.kind == K::Bytes) return append_bytes(c, v.bytes, error);
                break;
            case ColumnKind::TimestampMs:
                if (v.kind == K::Int64 || v.kind == K::Date) return stored(append_fixed(c, v.i64), error);
                break;
            default: break;
        }
        if (v.kind == K::Null) return stored(arrow::append_null_entry(a), error);
        return mismatch(expected_name(c.kind), error);
    }

    /// False when memory runs out.
    template <typename T>
    [[nodiscard]] static VELKORA_INLINE bool append_fixed(Column& c, T value) {
        return append_to(c.data, value) && mark_valid(c.values, c.validity);
    }

    [[nodiscard]] VELKORA_INLINE bool append_bytes(Column& c, wire::ByteSpan bytes, wire::DecodeError* error) {
        int64_t end = c.data->size_bytes + static_cast<int64_t>(bytes.size);  // the character data ends at the last offset
        if (VELKORA_UNLIKELY(end > offset_limit)) return offset_limit_error(c, error);
        return stored(arrow::append_short_bytes(c.data, bytes.data, static_cast<int64_t>(bytes.size)) &&
                          append_to(c.offsets, static_cast<int32_t>(end)) && mark_valid(c.values, c.validity),
                      error);
    }

    VELKORA_NOINLINE static bool mismatch(const char* expected, wire::DecodeError* error);
    VELKORA_NOINLINE bool offset_limit_error(const Column& c, wire::DecodeError* error) const;
    /// Makes `builder` the column's builder and points the column at its buffers.
    static void adopt_builder(Column& c, nanoarrow::UniqueArray builder);
    /// Gives every column an empty builder; false when memory runs out.
    [[nodiscard]] bool start_builders();

    static constexpr std::array<int32_t, 32> unrouted() {
        std::array<int32_t, 32> routes{};
        routes.fill(kUnrouted);
        return routes;
    }

    SharedPlan plan_;
};


/// Where a response keeps its result documents.
struct DocsSequence {
    enum class Kind : uint8_t { NotFound, Counted, Terminated };
    Kind kind = Kind::NotFound;
    uint64_t count = 0;  // Counted: the ARR's size
};

/// Walks the envelope from just after the version byte to the documents: the "docs" of the first response
/// map (core/envelope.hpp names its keys), or the document array of a document list. For Counted and
/// Terminated the reader is left on the first document's tag (or on the closing END). A top-level value that
/// is no envelope is NotFound once skip_value has read it through at level 1, so its faults are refused as
/// they would be anywhere in an envelope. False with the error in `r.error`; extern strings defined on the way
/// go into the decoder's table.
[[nodiscard]] bool locate_docs(ArrowRowDecoder& d, wire::Reader& r, DocsSequence* out);

/// An envelope key: a string, an extern string (a definition goes into `table`), or NULL (no
/// key: `*present` false); any other tag is refused at its offset. `*key` is valid until the next definition.
[[nodiscard]] bool read_envelope_key(wire::ExternStrings& table, wire::Reader& r, std::string_view* key,
                                     bool* present);

/// Reads the document whose tag is at the reader and appends its row (skip mode) or the rows of its
/// whole tree (explode mode). False with the error in `r.error`; a failure may leave part of the row
/// appended.
[[nodiscard]] bool decode_document(ArrowRowDecoder& d, wire::Reader& r);

/// One scalar value; a definition of an extern string is appended to `table`.
[[nodiscard]] bool read_scalar(wire::Reader& r, wire::ExternStrings& table, ScalarValue* out);

// The parts below are shared with explode mode.

/// A document's tag and size: SOLRDOC (its header byte's low bits), ORDERED_MAP or NAMED_LST (the tag's),
/// or MAP_ENTRY_ITER (entries until END: `terminated`). Anything else is refused at the tag.
[[nodiscard]] bool read_document_header(wire::Reader& r, uint64_t* count, bool* terminated);

/// Before each entry of a document: false when there is none left (a closing END is consumed), with
/// `r.error` set when the input ran out first.
[[nodiscard]] bool next_entry(wire::Reader& r, uint64_t index, uint64_t count, bool terminated, bool* more);

/// Reads the header of the document whose tag is at the reader, then calls `entry()` with the reader on
/// each entry's key. True once the entries are all read; false as soon as the header, an entry's start or
/// `entry` fails (the error in `r.error`).
template <typename Entry>
[[nodiscard]] VELKORA_INLINE bool for_each_entry(wire::Reader& r, Entry&& entry) {
    uint64_t count;
    bool terminated;
    if (!read_document_header(r, &count, &terminated)) return false;
    for (uint64_t i = 0;; ++i) {
        bool more;
        if (!next_entry(r, i, count, terminated, &more)) return false;
        if (!more) return true;
        if (!entry()) return false;
    }
}

/// A document entry's key. Field: `column` is the routed column (-1: not in the schema) and `name` its
/// text (valid until the next extern string is defined). Child: the reader stands on a SOLRDOC tag.
enum class EntryKey : uint8_t { Field, Child, Failed };
EntryKey read_entry_key(ArrowRowDecoder& d, wire::Reader& r, int32_t* column, std::string_view* name);

/// Names `column` as the place of a failure met in one of its values; a value that does not fit the
/// column (or its batch) also gets the value's offset, which its message does not name.
void locate_failure(wire::DecodeError& error, const char* column, uint64_t value_offset);

/// Cold: where the value starts that a document failed in, the reader having stood at `failed_at` when it
/// failed (at or before that value's end). The document (its tag at `start`) is walked again with the skip
/// rules: the entry whose value the position falls in, and within a multi-valued field the element (the
/// first, for a scalar column, which keeps only that one).
uint64_t failing_value_start(const uint8_t* data, uint64_t start, uint64_t failed_at);

/// Records ArrowTypeMismatch, or UnexpectedValue at `offset`, in the reader; returns false.
bool fail_mismatch(wire::Reader& r, const char* expected);

/// Decodes the tree of rows of one document in explode mode.
[[nodiscard]] bool decode_tree(ArrowRowDecoder& d, wire::Reader& r);

}  // namespace velkora::arrow
