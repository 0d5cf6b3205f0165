// src/arrow/column_plan.hpp: the column plan: what is fixed once the schema is known (each field's column
// kind and data type, the routes by field name, the metadata columns of child documents). It is built
// once and never changed after, so every response and stream decoded against the schema shares it.
//
// Nothing here touches Python: the plan is built with the interpreter lock released.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "arrow/errors.hpp"
#include "arrow/nanoarrow.hpp"
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

/// The expected-name of a kind in ArrowTypeMismatch messages ("int32", "list<utf8>", ...).
const char* expected_name(ColumnKind kind);

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

/// One schema field as the plan has it.
struct PlannedColumn {
    ColumnKind kind;
    ColumnKind item;               // the scalar kind of the values: the kind itself, or a list's item kind
    bool is_list;
    const char* name;              // the schema field's name (owned by the schema)
    nanoarrow::UniqueSchema type;  // the data type the column's builder produces
};

class ColumnPlan;
using SharedPlan = std::shared_ptr<const ColumnPlan>;

/// The columns of a schema, their routes by name and the child-document layout; immutable once built.
class ColumnPlan {
public:
    /// Resolves the metadata columns and chooses each field's kind. Fails with ChildColumnType /
    /// MissingKeySource (metadata columns, checked first) or UnsupportedArrowType; OutOfMemory.
    [[nodiscard]] static bool build(SharedSchema schema, ChildrenMode mode, const MetaNames& names, SharedPlan* out,
                                    wire::DecodeError* error);

    /// The column a document field name routes to, or -1 when the schema has none.
    int32_t lookup(std::string_view name) const {
        auto it = name_index_.find(name);
        return it == name_index_.end() ? -1 : static_cast<int32_t>(it->second);
    }

    SharedSchema schema;
    ChildrenMode mode = ChildrenMode::Skip;
    std::vector<PlannedColumn> columns;
    std::optional<uint32_t> parent_id_column;
    std::optional<uint32_t> depth_column;
    bool depth_is_int64 = false;
    std::optional<uint32_t> child_field_column;
    std::optional<uint32_t> key_column;
    bool has_metadata = false;

private:
    /// build's work, but for its standard containers, which throw std::bad_alloc when memory runs out.
    static bool make(SharedSchema schema, ChildrenMode mode, const MetaNames& names, SharedPlan* out,
                     wire::DecodeError* error);

    std::unordered_map<std::string_view, uint32_t> name_index_;
};

}  // namespace velkora::arrow
