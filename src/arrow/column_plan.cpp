// src/arrow/column_plan.cpp: choosing column kinds and their data types, the children arguments and the
// metadata columns.
#include "arrow/column_plan.hpp"

#include <new>

#include "arrow/types.hpp"
#include "core/stack.hpp"

namespace velkora::arrow {

using wire::DecodeError;

namespace {

bool is_list_kind(ColumnKind k) { return k >= ColumnKind::ListInt32; }

ColumnKind list_of(ColumnKind item) {
    return static_cast<ColumnKind>(static_cast<int>(ColumnKind::ListInt32) + static_cast<int>(item) -
                                   (item == ColumnKind::TimestampMs ? 1 : 0));
}

ColumnKind item_of(ColumnKind list) {
    switch (list) {
        case ColumnKind::ListInt32: return ColumnKind::Int32;
        case ColumnKind::ListInt64: return ColumnKind::Int64;
        case ColumnKind::ListFloat32: return ColumnKind::Float32;
        case ColumnKind::ListFloat64: return ColumnKind::Float64;
        case ColumnKind::ListBoolean: return ColumnKind::Boolean;
        case ColumnKind::ListUtf8: return ColumnKind::Utf8;
        case ColumnKind::ListTimestampMs: return ColumnKind::TimestampMs;
        default: return list;
    }
}

/// The scalar kind a field type selects, if any.
std::optional<ColumnKind> scalar_kind(const ArrowSchemaView& view) {
    switch (view.type) {
        case NANOARROW_TYPE_INT32: return ColumnKind::Int32;
        case NANOARROW_TYPE_INT64: return ColumnKind::Int64;
        case NANOARROW_TYPE_FLOAT: return ColumnKind::Float32;
        case NANOARROW_TYPE_DOUBLE: return ColumnKind::Float64;
        case NANOARROW_TYPE_BOOL: return ColumnKind::Boolean;
        case NANOARROW_TYPE_STRING: return ColumnKind::Utf8;
        case NANOARROW_TYPE_BINARY: return ColumnKind::Binary;
        case NANOARROW_TYPE_TIMESTAMP:
            if (view.time_unit == NANOARROW_TIME_UNIT_MILLI) return ColumnKind::TimestampMs;
            return std::nullopt;
        default: return std::nullopt;
    }
}

bool view_of(const ArrowSchema* field, ArrowSchemaView* view) {
    ArrowError error;
    return ArrowSchemaViewInit(view, field, &error) == NANOARROW_OK;
}

/// The column kind of a schema field, or UnsupportedArrowType with the type's display text.
bool choose_kind(const ArrowSchema* field, ColumnKind* out, DecodeError* error) {
    ArrowSchemaView view;
    if (view_of(field, &view)) {
        if (auto k = scalar_kind(view)) {
            *out = *k;
            return true;
        }
        if (view.type == NANOARROW_TYPE_LIST) {
            const ArrowSchema* item = field->children[0];
            ArrowSchemaView item_view;
            auto k = view_of(item, &item_view) ? scalar_kind(item_view) : std::nullopt;
            if (k && *k != ColumnKind::Binary) {  // there is no list-of-binary kind
                *out = list_of(*k);
                return true;
            }
            error->text = "List<" + type_display(item) + ">";
            return fail(error, Failure::UnsupportedArrowType);
        }
    }
    error->text = type_display(field);
    return fail(error, Failure::UnsupportedArrowType);
}

/// The format of a timestamp field (or of a list field's items): "tsm:" and the field's time zone. It is
/// copied as it stands, so that a time zone of any length is kept.
const char* timestamp_format_of(const ArrowSchema* field) {
    ArrowSchemaView view;
    if (field->n_children == 1 && view_of(field, &view) && view.type == NANOARROW_TYPE_LIST) field = field->children[0];
    return field->format;
}

/// The data type a kind's builder produces for the schema field `field`: a timestamp keeps the field's time
/// zone (the values are UTC instants either way) and list items the name of the field's item field, so that
/// the batch carries the schema's own type. List items are nullable and carry no metadata. Each step can
/// fail only for want of memory: false then.
bool make_type(ColumnKind kind, const ArrowSchema* field, ArrowSchema* out) {
    ArrowSchemaInit(out);
    auto set_scalar = [field](ArrowSchema* s, ColumnKind k) {
        switch (k) {
            case ColumnKind::Int32: return ArrowSchemaSetType(s, NANOARROW_TYPE_INT32);
            case ColumnKind::Int64: return ArrowSchemaSetType(s, NANOARROW_TYPE_INT64);
            case ColumnKind::Float32: return ArrowSchemaSetType(s, NANOARROW_TYPE_FLOAT);
            case ColumnKind::Float64: return ArrowSchemaSetType(s, NANOARROW_TYPE_DOUBLE);
            case ColumnKind::Boolean: return ArrowSchemaSetType(s, NANOARROW_TYPE_BOOL);
            case ColumnKind::Utf8: return ArrowSchemaSetType(s, NANOARROW_TYPE_STRING);
            case ColumnKind::Binary: return ArrowSchemaSetType(s, NANOARROW_TYPE_BINARY);
            case ColumnKind::TimestampMs: return ArrowSchemaSetFormat(s, timestamp_format_of(field));
            default: return NANOARROW_OK;
        }
    };
    if (!is_list_kind(kind)) return set_scalar(out, kind) == NANOARROW_OK;
    // One nullable child, named as the field's.
    if (ArrowSchemaSetType(out, NANOARROW_TYPE_LIST) != NANOARROW_OK) return false;
    if (set_scalar(out->children[0], item_of(kind)) != NANOARROW_OK) return false;
    const char* item_name = field->children[0]->name;
    return !item_name || ArrowSchemaSetName(out->children[0], item_name) == NANOARROW_OK;
}

const ArrowSchema* find_field(const ArrowSchema* schema, const std::string& name, uint32_t* index) {
    for (int64_t i = 0; i < schema->n_children; ++i) {
        const ArrowSchema* f = schema->children[i];
        if (name == (f->name ? f->name : "")) {
            *index = static_cast<uint32_t>(i);
            return f;
        }
    }
    return nullptr;
}

bool child_column_type(const std::string& column, const char* role, const char* required, DecodeError* error) {
    error->text = column;
    error->expected = role;
    error->found = required;
    return fail(error, Failure::ChildColumnType);
}

/// Finds each role's column (the first field of that name) and checks its type.
bool resolve_meta_columns(const ArrowSchema* schema, const MetaNames& names, ColumnPlan& d, DecodeError* error) {
    uint32_t index;
    const ArrowSchema* parent = find_field(schema, names.parent_id, &index);
    if (parent) d.parent_id_column = index;
    const ArrowSchema* depth = find_field(schema, names.depth, &index);
    if (depth) d.depth_column = index;
    const ArrowSchema* child_field = find_field(schema, names.child_field, &index);
    if (child_field) d.child_field_column = index;
    const ArrowSchema* key = find_field(schema, names.key, &index);
    if (key) d.key_column = index;

    ArrowSchemaView view;
    if (depth) {
        bool ok = view_of(depth, &view) && (view.type == NANOARROW_TYPE_INT32 || view.type == NANOARROW_TYPE_INT64);
        if (!ok) return child_column_type(names.depth, "depth", "of type int32 or int64", error);
        d.depth_is_int64 = view.type == NANOARROW_TYPE_INT64;
    }
    if (child_field && !(view_of(child_field, &view) && view.type == NANOARROW_TYPE_STRING))
        return child_column_type(names.child_field, "nesting field name", "of type utf8", error);
    if (parent) {
        if (!key) {
            error->text = names.parent_id;
            error->text2 = names.key;
            return fail(error, Failure::MissingKeySource);
        }
        if (!same_type(parent, key))
            return child_column_type(names.parent_id, "parent key", "the same type as the key column", error);
    }
    d.has_metadata = parent || depth || child_field;
    return true;
}

}  // namespace

const char* expected_name(ColumnKind kind) {
    static constexpr const char* names[] = {
        "int32", "int64", "float32", "float64", "boolean", "utf8", "binary", "timestamp(ms)",
        "list<int32>", "list<int64>", "list<float32>", "list<float64>", "list<boolean>", "list<utf8>",
        "list<timestamp(ms)>",
    };
    return names[static_cast<size_t>(kind)];
}

std::string parse_children_arguments(std::string_view children,
                                     const std::vector<std::pair<std::string, std::string>>& roles,
                                     ChildrenMode* mode, MetaNames* names) {
    if (children == "skip") *mode = ChildrenMode::Skip;
    else if (children == "explode") *mode = ChildrenMode::Explode;
    else return "children must be \"skip\" or \"explode\", not " + quote_literal(children);
    *names = MetaNames{};
    for (const auto& [role, column] : roles) {
        if (role == "parent_id") names->parent_id = column;
        else if (role == "depth") names->depth = column;
        else if (role == "child_field") names->child_field = column;
        else if (role == "key") names->key = column;
        else
            return "unknown child_columns role " + quote_literal(role) +
                   "; expected one of \"parent_id\", \"depth\", \"child_field\", \"key\"";
    }
    return {};
}

bool ColumnPlan::build(SharedSchema schema, ChildrenMode mode, const MetaNames& names, SharedPlan* out,
                       DecodeError* error) {
    bool built = false;
    // The plan is made once per decoder, before any document: its standard containers and the texts of its
    // errors report running out of memory here, as OutOfMemory.
    if (!wire::allocates([&] { built = make(std::move(schema), mode, names, out, error); })) return out_of_memory(error);
    return built;
}

bool ColumnPlan::make(SharedSchema schema, ChildrenMode mode, const MetaNames& names, SharedPlan* out,
                      DecodeError* error) {
    auto plan = std::make_shared<ColumnPlan>();
    const ArrowSchema* s = schema->get();
    if (!resolve_meta_columns(s, names, *plan, error)) return false;
    plan->columns.reserve(static_cast<size_t>(s->n_children));
    for (int64_t i = 0; i < s->n_children; ++i) {
        const ArrowSchema* field = s->children[i];
        ColumnKind kind;
        if (!choose_kind(field, &kind, error)) return false;
        PlannedColumn& c = plan->columns.emplace_back();
        c.kind = kind;
        c.is_list = is_list_kind(kind);
        c.item = item_of(kind);
        c.name = field->name ? field->name : "";
        if (!make_type(kind, field, c.type.get())) return out_of_memory(error);
        auto index = static_cast<uint32_t>(i);
        if (index != plan->parent_id_column && index != plan->depth_column && index != plan->child_field_column)
            plan->name_index_[std::string_view(c.name)] = index;  // a later field of the same name wins
    }
    plan->schema = std::move(schema);
    plan->mode = mode;
    *out = std::move(plan);
    return true;
}

}  // namespace velkora::arrow
