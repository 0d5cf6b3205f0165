// src/arrow/column_plan.hpp: the column plan: one typed Arrow builder per schema field, the name index,
// the metadata columns of child documents, and the per-response decoding state (ArrowRowDecoder).
//
// Nothing here touches Python: the plan is built and filled with the interpreter lock released.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "arrow/nanoarrow.hpp"
#include "core/extern_strings.hpp"
#include "core/reader.hpp"

namespace velkora::arrow {

/// The caller's schema, shared by the decoder and every batch cut from it.
using SharedSchema = std::shared_ptr<const nanoarrow::UniqueSchema>;

/// What becomes of child documents: refused (one row per top-level document) or one row each.
enum class ChildrenMode : uint8_t { Skip, Explode };

/// The column name of each metadata role, and of the key column whose value children copy.
struct MetaNames {
    std::string parent_id = "_parent_id";
    std::string depth = "_depth";
    std::string child_field = "_child_field";
    std::string key = "id";
};

/// Checks the `children` text and the `child_columns` role overrides (in the given order; the first
/// unknown role is reported). Returns an empty string and fills `mode` and `names`, or the message of
/// the ValueError to raise.
std::string parse_children_arguments(std::string_view children,
                                     const std::vector<std::pair<std::string, std::string>>& roles,
                                     ChildrenMode* mode, MetaNames* names);

/// The fifteen column kinds: eight scalar kinds, then the seven list kinds over them.
enum class ColumnKind : uint8_t {
    Int32, Int64, Float32, Float64, Boolean, Utf8, Binary, TimestampMs,
    ListInt32, ListInt64, ListFloat32, ListFloat64, ListBoolean, ListUtf8, ListTimestampMs,
};

/// One javabin scalar as the Arrow path reads it. Str and Bytes borrow from the input.
struct ScalarValue {
    enum class Kind : uint8_t { Null, Bool, Int32, Int64, Float32, Float64, Date, Str, Bytes };
    Kind kind = Kind::Null;
    union {
        bool boolean;
        int32_t i32;
        int64_t i64;  // Int64, Date (milliseconds since the epoch)
        float f32;
        double f64;
    };
    wire::ByteSpan bytes{nullptr, 0};

    ScalarValue() : i64(0) {}
};

/// One schema field's builder. A list column builds its items in the child of its list builder.
struct Column {
    ColumnKind kind;
    ColumnKind item;              // the scalar kind of the values: the kind itself, or a list's item kind
    bool is_list;
    const char* name;             // the schema field's name (owned by the schema)
    nanoarrow::UniqueSchema type; // the data type the builder produces
    nanoarrow::UniqueArray builder;
    ArrowArray* values;           // where scalars go: the builder, or a list builder's child
};

struct PendingTree;

/// The column plan and all per-response decoding state.
class ArrowRowDecoder {
public:
    ArrowRowDecoder();
    ~ArrowRowDecoder();
    ArrowRowDecoder(const ArrowRowDecoder&) = delete;
    ArrowRowDecoder& operator=(const ArrowRowDecoder&) = delete;

    /// Resolves the metadata columns, chooses each field's kind and creates its builder. Fails with
    /// ChildColumnType / MissingKeySource (metadata columns, checked first) or UnsupportedArrowType.
    [[nodiscard]] static bool build(SharedSchema schema, ChildrenMode mode, const MetaNames& names,
                                    std::unique_ptr<ArrowRowDecoder>* out, wire::DecodeError* error);

    /// The column a document field name routes to, or -1 when the schema has none.
    int32_t lookup(std::string_view name) const {
        auto it = name_index_.find(name);
        return it == name_index_.end() ? -1 : static_cast<int32_t>(it->second);
    }

    /// Appends one value to a scalar column, converting it; ArrowTypeMismatch leaves the column unchanged.
    [[nodiscard]] bool append_scalar(uint32_t column, const ScalarValue& value, wire::DecodeError* error);
    /// Appends one item to the list value being built in a list column.
    [[nodiscard]] bool append_item(uint32_t column, const ScalarValue& value, wire::DecodeError* error);
    /// Ends the list value being built (no items: an empty list, not a null).
    void close_list(uint32_t column);
    /// A null row entry: a null value, or a null list.
    void append_null(uint32_t column);
    /// Removes the last row entry of a column (a field named again in the same document replaces it).
    void drop_last(uint32_t column);

    /// Finishes every builder into an array and starts them afresh. The arrays are moved into `out`.
    void finish_columns(std::vector<nanoarrow::UniqueArray>* out);

    std::optional<uint32_t> parent_id_column;
    std::optional<uint32_t> depth_column;
    bool depth_is_int64 = false;
    std::optional<uint32_t> child_field_column;
    std::optional<uint32_t> key_column;
    bool has_metadata = false;
    std::vector<Column> columns;
    wire::ExternStrings externs;
    std::vector<uint8_t> seen;
    SharedSchema schema;
    uint64_t rows = 0;
    ChildrenMode mode = ChildrenMode::Skip;
    /// The most bytes of character data, or items, one batch of a 32-bit-offset column may hold. Only a
    /// unit test lowers it, to reach the limit without gigabytes of input.
    int64_t offset_limit = INT32_MAX;
    /// Explode mode: the rows of the document tree being read.
    std::unique_ptr<PendingTree> pending;

private:
    [[nodiscard]] bool append_value(Column& c, ColumnKind kind, const ScalarValue& value, wire::DecodeError* error);
    [[nodiscard]] bool offset_limit_error(const Column& c, wire::DecodeError* error) const;
    static void start_builder(Column& c);

    std::unordered_map<std::string_view, uint32_t> name_index_;
};

/// The expected-name of a kind in ArrowTypeMismatch messages ("int32", "list<utf8>", ...).
const char* expected_name(ColumnKind kind);

}  // namespace velkora::arrow
