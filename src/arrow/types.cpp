// src/arrow/types.cpp: display text and equality of Arrow data types, and quoted literals for messages.
#include "arrow/types.hpp"

#include <cstdio>
#include <cstring>

namespace velkora::arrow {

namespace {

const char* unit_text(ArrowTimeUnit unit) {
    switch (unit) {
        case NANOARROW_TIME_UNIT_SECOND: return "s";
        case NANOARROW_TIME_UNIT_MILLI: return "ms";
        case NANOARROW_TIME_UNIT_MICRO: return "\xC2\xB5s";  // µs
        case NANOARROW_TIME_UNIT_NANO: return "ns";
    }
    return "?";
}

bool same_metadata(const char* a, const char* b) {
    int64_t na = a ? ArrowMetadataSizeOf(a) : 0;
    int64_t nb = b ? ArrowMetadataSizeOf(b) : 0;
    // An empty metadata blob (no pairs) and no metadata are the same.
    if (na <= 4 && nb <= 4) return true;
    return na == nb && std::memcmp(a, b, static_cast<size_t>(na)) == 0;
}

bool has_metadata(const char* metadata) { return metadata && ArrowMetadataSizeOf(metadata) > 4; }

bool same_name(const char* a, const char* b) { return std::strcmp(a ? a : "", b ? b : "") == 0; }

/// A nested type's child as it appears inside the parent's display text.
std::string child_display(const ArrowSchema* child, const char* usual_name) {
    std::string inner = type_display(child);
    bool usual = same_name(child->name, usual_name) && (child->flags & ARROW_FLAG_NULLABLE) &&
                 !has_metadata(child->metadata);
    if (usual) return inner;
    std::string out = quote_literal(child->name ? child->name : "") + ": " + inner;
    if (!(child->flags & ARROW_FLAG_NULLABLE)) out += " not null";
    if (has_metadata(child->metadata)) out += " with metadata";
    return out;
}

}  // namespace

std::string quote_literal(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case '\0': out += "\\0"; continue;
            default: break;
        }
        uint32_t code = c;
        if (c == 0xC2 && i + 1 < text.size()) {
            // C1 control characters (U+0080..U+009F) are two bytes: C2 80..C2 9F.
            unsigned char next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0x9F) {
                code = next;
                ++i;
            } else {
                out += static_cast<char>(c);
                continue;
            }
        } else if (c >= 0x20 && c != 0x7F) {
            out += static_cast<char>(c);
            continue;
        }
        char buf[16];
        std::snprintf(buf, sizeof buf, "\\u{%x}", code);
        out += buf;
    }
    out += '"';
    return out;
}

std::string type_display(const ArrowSchema* field) {
    ArrowSchemaView view;
    ArrowError error;
    if (ArrowSchemaViewInit(&view, field, &error) != NANOARROW_OK) return field->format ? field->format : "?";
    auto child = [&](int64_t i, const char* usual) { return child_display(field->children[i], usual); };
    switch (view.type) {
        case NANOARROW_TYPE_NA: return "Null";
        case NANOARROW_TYPE_BOOL: return "Boolean";
        case NANOARROW_TYPE_INT8: return "Int8";
        case NANOARROW_TYPE_INT16: return "Int16";
        case NANOARROW_TYPE_INT32: return "Int32";
        case NANOARROW_TYPE_INT64: return "Int64";
        case NANOARROW_TYPE_UINT8: return "UInt8";
        case NANOARROW_TYPE_UINT16: return "UInt16";
        case NANOARROW_TYPE_UINT32: return "UInt32";
        case NANOARROW_TYPE_UINT64: return "UInt64";
        case NANOARROW_TYPE_HALF_FLOAT: return "Float16";
        case NANOARROW_TYPE_FLOAT: return "Float32";
        case NANOARROW_TYPE_DOUBLE: return "Float64";
        case NANOARROW_TYPE_STRING: return "Utf8";
        case NANOARROW_TYPE_LARGE_STRING: return "LargeUtf8";
        case NANOARROW_TYPE_STRING_VIEW: return "Utf8View";
        case NANOARROW_TYPE_BINARY: return "Binary";
        case NANOARROW_TYPE_LARGE_BINARY: return "LargeBinary";
        case NANOARROW_TYPE_BINARY_VIEW: return "BinaryView";
        case NANOARROW_TYPE_FIXED_SIZE_BINARY: return "FixedSizeBinary(" + std::to_string(view.fixed_size) + ")";
        case NANOARROW_TYPE_DATE32: return "Date32";
        case NANOARROW_TYPE_DATE64: return "Date64";
        case NANOARROW_TYPE_TIME32: return std::string("Time32(") + unit_text(view.time_unit) + ")";
        case NANOARROW_TYPE_TIME64: return std::string("Time64(") + unit_text(view.time_unit) + ")";
        case NANOARROW_TYPE_DURATION: return std::string("Duration(") + unit_text(view.time_unit) + ")";
        case NANOARROW_TYPE_TIMESTAMP: {
            std::string out = std::string("Timestamp(") + unit_text(view.time_unit);
            if (view.timezone && view.timezone[0]) out += ", " + quote_literal(view.timezone);
            return out + ")";
        }
        case NANOARROW_TYPE_INTERVAL_MONTHS: return "Interval(YearMonth)";
        case NANOARROW_TYPE_INTERVAL_DAY_TIME: return "Interval(DayTime)";
        case NANOARROW_TYPE_INTERVAL_MONTH_DAY_NANO: return "Interval(MonthDayNano)";
        case NANOARROW_TYPE_DECIMAL32:
        case NANOARROW_TYPE_DECIMAL64:
        case NANOARROW_TYPE_DECIMAL128:
        case NANOARROW_TYPE_DECIMAL256:
            return "Decimal" + std::to_string(view.decimal_bitwidth) + "(" + std::to_string(view.decimal_precision) +
                   ", " + std::to_string(view.decimal_scale) + ")";
        case NANOARROW_TYPE_LIST: return "List<" + child(0, "item") + ">";
        case NANOARROW_TYPE_LARGE_LIST: return "LargeList<" + child(0, "item") + ">";
        case NANOARROW_TYPE_LIST_VIEW: return "ListView<" + child(0, "item") + ">";
        case NANOARROW_TYPE_LARGE_LIST_VIEW: return "LargeListView<" + child(0, "item") + ">";
        case NANOARROW_TYPE_FIXED_SIZE_LIST:
            return "FixedSizeList(" + std::to_string(view.fixed_size) + ")<" + child(0, "item") + ">";
        case NANOARROW_TYPE_MAP: {
            const ArrowSchema* entries = field->children[0];
            if (entries->n_children != 2) return "Map";
            return "Map<" + type_display(entries->children[0]) + ", " + type_display(entries->children[1]) + ">";
        }
        case NANOARROW_TYPE_STRUCT: {
            std::string out = "Struct(";
            for (int64_t i = 0; i < field->n_children; ++i) {
                if (i) out += ", ";
                out += quote_literal(field->children[i]->name ? field->children[i]->name : "") + ": " +
                       type_display(field->children[i]);
            }
            return out + ")";
        }
        case NANOARROW_TYPE_SPARSE_UNION: return "Union(Sparse)";
        case NANOARROW_TYPE_DENSE_UNION: return "Union(Dense)";
        case NANOARROW_TYPE_RUN_END_ENCODED:
            return "RunEndEncoded(" + type_display(field->children[0]) + ", " + type_display(field->children[1]) + ")";
        case NANOARROW_TYPE_DICTIONARY: {
            ArrowSchema index = *field;  // the same field read as its index type
            index.dictionary = nullptr;
            return "Dictionary(" + type_display(&index) + ", " + type_display(field->dictionary) + ")";
        }
        default: return field->format ? field->format : "?";
    }
}

bool same_type(const ArrowSchema* a, const ArrowSchema* b) {
    if (std::strcmp(a->format, b->format) != 0) return false;
    constexpr int64_t kTypeFlags = ARROW_FLAG_DICTIONARY_ORDERED | ARROW_FLAG_MAP_KEYS_SORTED;
    if ((a->flags & kTypeFlags) != (b->flags & kTypeFlags)) return false;
    if (a->n_children != b->n_children) return false;
    for (int64_t i = 0; i < a->n_children; ++i) {
        const ArrowSchema* ca = a->children[i];
        const ArrowSchema* cb = b->children[i];
        if (!same_name(ca->name, cb->name) || (ca->flags & ARROW_FLAG_NULLABLE) != (cb->flags & ARROW_FLAG_NULLABLE) ||
            !same_metadata(ca->metadata, cb->metadata) || !same_type(ca, cb))
            return false;
    }
    if ((a->dictionary == nullptr) != (b->dictionary == nullptr)) return false;
    return !a->dictionary || same_type(a->dictionary, b->dictionary);
}

}  // namespace velkora::arrow
