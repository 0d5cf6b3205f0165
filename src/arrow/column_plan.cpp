// src/arrow/column_plan.cpp: choosing column kinds, building and filling the Arrow builders, the
// children arguments and the metadata columns.
#include "arrow/column_plan.hpp"

#include <cstring>
#include <new>
#include <stdexcept>

#include "arrow/pending_rows.hpp"
#include "arrow/types.hpp"

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

/// The time zone of a timestamp field (or of a list field's items), or null for none.
const char* time_zone_of(const ArrowSchema* field) {
    ArrowSchemaView view;
    if (field->n_children == 1 && view_of(field, &view) && view.type == NANOARROW_TYPE_LIST) field = field->children[0];
    if (!view_of(field, &view) || view.type != NANOARROW_TYPE_TIMESTAMP) return nullptr;
    return view.timezone && view.timezone[0] ? view.timezone : nullptr;
}

/// The data type a kind's builder produces for the schema field `field`: a timestamp keeps the field's time
/// zone (the values are UTC instants either way) and list items the name of the field's item field, so that
/// the batch carries the schema's own type. List items are nullable and carry no metadata.
void make_type(ColumnKind kind, const ArrowSchema* field, ArrowSchema* out) {
    ArrowSchemaInit(out);
    const char* zone = time_zone_of(field);
    auto set_scalar = [zone](ArrowSchema* s, ColumnKind k) {
        switch (k) {
            case ColumnKind::Int32: check(ArrowSchemaSetType(s, NANOARROW_TYPE_INT32)); break;
            case ColumnKind::Int64: check(ArrowSchemaSetType(s, NANOARROW_TYPE_INT64)); break;
            case ColumnKind::Float32: check(ArrowSchemaSetType(s, NANOARROW_TYPE_FLOAT)); break;
            case ColumnKind::Float64: check(ArrowSchemaSetType(s, NANOARROW_TYPE_DOUBLE)); break;
            case ColumnKind::Boolean: check(ArrowSchemaSetType(s, NANOARROW_TYPE_BOOL)); break;
            case ColumnKind::Utf8: check(ArrowSchemaSetType(s, NANOARROW_TYPE_STRING)); break;
            case ColumnKind::Binary: check(ArrowSchemaSetType(s, NANOARROW_TYPE_BINARY)); break;
            case ColumnKind::TimestampMs:
                check(ArrowSchemaSetTypeDateTime(s, NANOARROW_TYPE_TIMESTAMP, NANOARROW_TIME_UNIT_MILLI, zone));
                break;
            default: break;
        }
    };
    if (!is_list_kind(kind)) {
        set_scalar(out, kind);
        return;
    }
    check(ArrowSchemaSetType(out, NANOARROW_TYPE_LIST));  // one nullable child, named as the field's
    set_scalar(out->children[0], item_of(kind));
    const char* item_name = field->children[0]->name;
    if (item_name) check(ArrowSchemaSetName(out->children[0], item_name));
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
bool resolve_meta_columns(const ArrowSchema* schema, const MetaNames& names, ArrowRowDecoder& d, DecodeError* error) {
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

bool arrow_mismatch(const char* expected, DecodeError* error) {
    error->expected = expected;
    return fail(error, Failure::ArrowTypeMismatch);
}

/// The storage layout of a scalar kind's values.
Layout layout_of(ColumnKind kind) {
    switch (kind) {
        case ColumnKind::Int32:
        case ColumnKind::Float32: return Layout::Fixed32;
        case ColumnKind::Boolean: return Layout::Bits;
        case ColumnKind::Utf8:
        case ColumnKind::Binary: return Layout::Variable;
        default: return Layout::Fixed64;
    }
}

/// An empty builder for a column (its arrays made by arrays.hpp, not by nanoarrow: see there why), with
/// room for 1024 values. Throws std::bad_alloc.
nanoarrow::UniqueArray new_builder(const Column& c) {
    nanoarrow::UniqueArray builder;
    make_builder_array(builder.get(), c.is_list ? Layout::List : layout_of(c.item), layout_of(c.item), 1024);
    return builder;
}

}  // namespace

void builder_failed(ArrowErrorCode code) {
    if (code == ENOMEM) throw std::bad_alloc();
    throw std::logic_error("Arrow builder rejected an append (error " + std::to_string(code) + ")");
}

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

ArrowRowDecoder::ArrowRowDecoder() : pending(std::make_unique<PendingTree>()) {}
ArrowRowDecoder::~ArrowRowDecoder() = default;

bool ArrowRowDecoder::build(SharedSchema schema, ChildrenMode mode, const MetaNames& names,
                            std::unique_ptr<ArrowRowDecoder>* out, DecodeError* error) {
    auto d = std::make_unique<ArrowRowDecoder>();
    const ArrowSchema* s = schema->get();
    if (!resolve_meta_columns(s, names, *d, error)) return false;
    d->columns.reserve(static_cast<size_t>(s->n_children));
    for (int64_t i = 0; i < s->n_children; ++i) {
        const ArrowSchema* field = s->children[i];
        ColumnKind kind;
        if (!choose_kind(field, &kind, error)) return false;
        Column& c = d->columns.emplace_back();
        c.kind = kind;
        c.is_list = is_list_kind(kind);
        c.item = item_of(kind);
        c.name = field->name ? field->name : "";
        make_type(kind, field, c.type.get());
        start_builder(c);
        auto index = static_cast<uint32_t>(i);
        if (index != d->parent_id_column && index != d->depth_column && index != d->child_field_column)
            d->name_index_[std::string_view(c.name)] = index;  // a later field of the same name wins
    }
    d->seen.assign((d->columns.size() + 7) / 8 * 8, 0);
    d->schema = std::move(schema);
    d->mode = mode;
    *out = std::move(d);
    return true;
}

void ArrowRowDecoder::start_builder(Column& c) { adopt_builder(c, new_builder(c)); }

void ArrowRowDecoder::adopt_builder(Column& c, nanoarrow::UniqueArray builder) {
    c.builder = std::move(builder);
    c.values = c.is_list ? c.builder->children[0] : c.builder.get();
    ArrayStorage& values = storage_of(c.values);
    bool variable = c.item == ColumnKind::Utf8 || c.item == ColumnKind::Binary;
    c.data = &values.data;
    c.offsets = variable ? &values.offsets : nullptr;
    c.validity = &values.validity;
    c.list_offsets = c.is_list ? &storage_of(c.builder.get()).offsets : nullptr;
    c.list_validity = c.is_list ? &storage_of(c.builder.get()).validity : nullptr;
}

bool ArrowRowDecoder::offset_limit_error(const Column& c, DecodeError* error) const {
    error->text = std::string("Invalid argument error: column '") + c.name +
                  "' exceeds the 32-bit offset limit of one batch";
    return fail(error, Failure::ArrowBuild);
}

bool ArrowRowDecoder::mismatch(const char* expected, DecodeError* error) { return arrow_mismatch(expected, error); }

void ArrowRowDecoder::drop_last(uint32_t column) { pop_last_entry(columns[column].builder.get()); }

void ArrowRowDecoder::roll_back(const RowCheckpoint& checkpoint) {
    for (Column& c : columns) truncate_entries(c.builder.get(), static_cast<int64_t>(checkpoint.rows));
    rows = checkpoint.rows;
    externs.truncate(checkpoint.externs);
    if (extern_columns.size() > checkpoint.externs) extern_columns.resize(checkpoint.externs);
    for (size_t i = checkpoint.externs + 1; i < short_routes.size(); ++i) short_routes[i] = kUnrouted;
}

void ArrowRowDecoder::reserve_rows(uint64_t rows) {
    auto n = static_cast<int64_t>(rows);
    for (Column& c : columns) {
        if (c.is_list) {
            reserve_bytes(c.list_offsets, n * 4);
        } else if (c.offsets) {
            reserve_bytes(c.offsets, n * 4);
        } else if (c.kind == ColumnKind::Boolean) {
            reserve_bytes(c.data, (n + 7) / 8);
        } else {
            reserve_bytes(c.data, n * (c.kind == ColumnKind::Int32 || c.kind == ColumnKind::Float32 ? 4 : 8));
        }
    }
}

void ArrowRowDecoder::finish_columns(std::vector<nanoarrow::UniqueArray>* out) {
    // Everything that allocates comes first: running out of memory leaves every column as it was.
    std::vector<nanoarrow::UniqueArray> fresh;
    fresh.reserve(columns.size());
    for (const Column& c : columns) fresh.push_back(new_builder(c));
    out->clear();
    out->reserve(columns.size());
    for (size_t i = 0; i < columns.size(); ++i) {
        seal_array(columns[i].builder.get());
        out->push_back(std::move(columns[i].builder));
        adopt_builder(columns[i], std::move(fresh[i]));
    }
}

}  // namespace velkora::arrow
