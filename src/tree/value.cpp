// src/tree/value.cpp: the reference decoder that turns a javabin body into a Value tree, and the node count.
//
// Containers are assembled on a scratch stack: a container notes the stack height, its parts are pushed
// as they are read, and when it is complete they are copied into one arena block and popped. Nested
// containers finish before their parents continue, so one stack serves the whole tree.
#include "tree/value.hpp"

#include <algorithm>

namespace velkora::tree {

using wire::ByteSpan;
using wire::Reader;

namespace {

enum class Step { Value, End, Error };

/// Constructs `count` values of `kind` in `items` from the big-endian elements of type T at `p`, each
/// stored by `set(value, element)`.
template <typename T, typename Set>
VELKORA_INLINE void fill_typed(Value* items, uint32_t count, const uint8_t* p, ValueKind kind, Set set) {
    for (uint32_t i = 0; i < count; ++i, p += sizeof(T)) {
        Value& v = *new (&items[i]) Value();
        v.kind = kind;
        set(v, wire::load_be<T>(p));
    }
}

class ValueParser {
public:
    ValueParser(Reader& r, Arena& arena) : r_(r), arena_(arena) {
        // Room up front for the usual depth of parts; refused, the stacks grow when they must.
        (void)values_.reserve(256);
        (void)children_.reserve(16);
    }

    /// Parses one value at the current depth: a value, the END marker, or an error left in the reader.
    Step parse_value(Value* out);

private:
    /// A part of the current value, one level deeper, that must be a value (END is an error).
    [[nodiscard]] VELKORA_INLINE bool read_part(Value* out) {
        Step step = read_part_or_end(out);
        if (VELKORA_LIKELY(step == Step::Value)) return true;
        if (step == Step::End) return r_.fail_unexpected("value", r_.position() - 1, "END marker");
        return false;
    }
    /// A part that may be the END marker (ITERATOR elements, MAP_ENTRY_ITER keys).
    VELKORA_INLINE Step read_part_or_end(Value* out) {
        if (VELKORA_UNLIKELY(depth_ + 1 > wire::MAX_DEPTH)) {
            r_.fail_depth(r_.position());
            return Step::Error;
        }
        Leaf leaf = read_leaf(out);
        if (VELKORA_LIKELY(leaf != Leaf::Other)) return leaf == Leaf::Read ? Step::Value : Step::Error;
        ++depth_;
        Step step = parse_value(out);
        --depth_;
        return step;
    }
    enum class Leaf { Read, Error, Other };
    /// The commonest parts, read here without the general dispatch: a string whose size is in its tag, a
    /// reference to an extern string, a small int or long. Anything else is left unread (Other) for
    /// parse_value. The reads are the ones parse_value makes, so values and errors are the same.
    VELKORA_INLINE Leaf read_leaf(Value* out) {
        uint8_t tag;
        if (VELKORA_UNLIKELY(!r_.peek_u8(&tag))) return Leaf::Other;
        uint8_t low = tag & wire::SIZE_BITS;
        switch (wire::group_of(tag)) {
            case wire::GROUP_EXTERN_STRING: {
                // A reference whose index is in the tag: 1..30, to a string already defined. The index
                // 0 (a definition) wraps round to the largest.
                size_t index = size_t{low} - 1;
                if (index >= 30 || index >= table_.size()) return Leaf::Other;
                r_.skip_peeked();
                *out = table_[index];
                return Leaf::Read;
            }
            case wire::GROUP_STR: {
                if (low == 31) return Leaf::Other;
                r_.skip_peeked();
                return read_string(low, ValueKind::Str, out) ? Leaf::Read : Leaf::Error;
            }
            case wire::GROUP_SINT:
            case wire::GROUP_SLONG:
                r_.skip_peeked();
                return read_small_number(tag, out) ? Leaf::Read : Leaf::Error;
            default:
                return Leaf::Other;
        }
    }

    /// SINT or SLONG (whose tag has been read): the low bits of the value are in the tag.
    VELKORA_INLINE bool read_small_number(uint8_t tag, Value* out) {
        if (wire::group_of(tag) == wire::GROUP_SINT) {
            int32_t v;
            if (!read_small_int(r_, tag, &v)) return false;
            out->kind = ValueKind::Int;
            out->integer = v;
            return true;
        }
        int64_t v;
        if (!read_small_long(r_, tag, &v)) return false;
        out->kind = ValueKind::Long;
        out->integer = v;
        return true;
    }

    /// Where the parts of one container go while it is read. A count known up front and small (most
    /// containers: a document's fields, a short list) gets the container's arena block at once and its
    /// parts are stored straight into it. A longer or unknown count collects them on the scratch stack and
    /// copies them into a block when complete, so a forged count reserves nothing.
    struct Parts {
        Block<Value>* block;  // nullptr: the scratch stack, from `mark`
        Value* next;          // in the block, where the next part goes
        size_t mark;
    };
    static constexpr uint64_t kDirectParts = 64;

    /// Room for `values` parts (an entry counts two). A block the arena refuses leaves the parts to the
    /// scratch stack, which says so itself if it cannot take them either.
    VELKORA_INLINE Parts begin_parts(uint64_t values) {
        if (values <= kDirectParts) {
            void* room = arena_.allocate(sizeof(Block<Value>) + values * sizeof(Value));
            if (VELKORA_LIKELY(room != nullptr)) {
                auto* block = static_cast<Block<Value>*>(room);
                return {block, const_cast<Value*>(block->begin()), 0};
            }
        }
        return {nullptr, nullptr, values_.size()};
    }
    [[nodiscard]] VELKORA_INLINE bool add(Parts& parts, const Value& v) {
        if (parts.block) {
            *parts.next++ = v;
            return true;
        }
        return values_.push(v) || r_.fail_out_of_memory();
    }
    /// Reads a part into `parts`.
    [[nodiscard]] VELKORA_INLINE bool push_part(Parts& parts) {
        Value v;  // read first: the stack may grow (and move) while the part's own parts are pushed
        return read_part(&v) && add(parts, v);
    }
    /// The container's block of parts, as values or entries; nullptr (the failure recorded) when memory runs out.
    template <typename T>
    const Block<T>* finish(Parts& parts) {
        if (parts.block) {
            parts.block->count = static_cast<uint64_t>(parts.next - parts.block->begin()) * sizeof(Value) / sizeof(T);
            return reinterpret_cast<const Block<T>*>(parts.block);
        }
        size_t n = (values_.size() - parts.mark) * sizeof(Value) / sizeof(T);
        const Block<T>* block = arena_.copy_block(reinterpret_cast<const T*>(values_.data() + parts.mark), n);
        values_.truncate(parts.mark);
        if (!block) r_.fail_out_of_memory();
        return block;
    }

    bool read_string(uint64_t size, ValueKind kind, Value* out) {
        ByteSpan s;
        if (kind == ValueKind::Str ? !r_.take_utf8(size, &s) : !r_.take(size, &s)) return false;
        return set_text(s, kind, out);
    }
    /// Points `out` at bytes of the input.
    [[nodiscard]] bool set_text(ByteSpan s, ValueKind kind, Value* out) {
        out->kind = kind;
        if (VELKORA_LIKELY(s.size < Value::kLongText)) {
            out->length = static_cast<uint32_t>(s.size);
            out->chars = reinterpret_cast<const char*>(s.data);
            return true;
        }
        auto* text = static_cast<tree::LongText*>(arena_.allocate(sizeof(tree::LongText)));
        if (!text) return r_.fail_out_of_memory();
        *text = {reinterpret_cast<const char*>(s.data), s.size};
        out->length = Value::kLongText;
        out->long_text = text;
        return true;
    }
    bool read_extern(uint8_t tag, Value* out);
    bool read_array(uint64_t size, Value* out);
    bool read_named_list(uint64_t size, Value* out);
    bool read_map(Value* out);
    bool read_map_entry_iter(Value* out);
    bool read_iterator(Value* out);
    bool read_pair(ValueKind kind, Value* out);
    bool read_enum(Value* out);
    bool read_document(bool input_document, Value* out);
    bool read_document_list(Value* out);
    bool read_typed_array(Value* out);

    Reader& r_;
    Arena& arena_;
    uint32_t depth_ = 1;
    Stack<Value> values_;    // scratch stack of parts (entries are two consecutive values)
    Stack<Value> children_;  // scratch stack of anonymous child documents
    Stack<Value> table_;     // the extern strings defined so far
};

Step ValueParser::parse_value(Value* out) {
    uint64_t tag_offset = r_.position();
    uint8_t tag;
    if (!r_.read_u8(&tag)) return Step::Error;
    bool ok = true;
    uint64_t size;
    switch (wire::group_of(tag)) {
        case wire::GROUP_STR:
            ok = r_.read_size(tag, &size) && read_string(size, ValueKind::Str, out);
            break;
        case wire::GROUP_SINT:
        case wire::GROUP_SLONG: ok = read_small_number(tag, out); break;
        case wire::GROUP_ARR: ok = r_.read_size(tag, &size) && read_array(size, out); break;
        case wire::GROUP_ORDERED_MAP:
        case wire::GROUP_NAMED_LST: ok = r_.read_size(tag, &size) && read_named_list(size, out); break;
        case wire::GROUP_EXTERN_STRING: ok = read_extern(tag, out); break;
        default:
            switch (tag) {
                case wire::NULL_TAG: out->kind = ValueKind::Null; break;
                case wire::BOOL_TRUE:
                case wire::BOOL_FALSE:
                    out->kind = ValueKind::Bool;
                    out->boolean = tag == wire::BOOL_TRUE;
                    break;
                case wire::BYTE: {
                    int32_t v;
                    if (!read_byte(r_, &v)) return Step::Error;
                    out->kind = ValueKind::Byte;
                    out->integer = v;
                    break;
                }
                case wire::SHORT: {
                    int32_t v;
                    if (!read_short(r_, &v)) return Step::Error;
                    out->kind = ValueKind::Short;
                    out->integer = v;
                    break;
                }
                case wire::INT: {
                    int32_t v;
                    if (!read_int(r_, &v)) return Step::Error;
                    out->kind = ValueKind::Int;
                    out->integer = v;
                    break;
                }
                case wire::LONG: {
                    int64_t v;
                    if (!read_long(r_, &v)) return Step::Error;
                    out->kind = ValueKind::Long;
                    out->integer = v;
                    break;
                }
                case wire::DATE: {
                    int64_t v;
                    if (!read_long(r_, &v)) return Step::Error;
                    out->kind = ValueKind::Date;
                    out->integer = v;
                    break;
                }
                case wire::FLOAT: {
                    float v;
                    if (!read_float(r_, &v)) return Step::Error;
                    out->kind = ValueKind::Float;
                    out->f32 = v;
                    break;
                }
                case wire::DOUBLE: {
                    double v;
                    if (!read_double(r_, &v)) return Step::Error;
                    out->kind = ValueKind::Double;
                    out->f64 = v;
                    break;
                }
                case wire::MAP: ok = read_map(out); break;
                case wire::SOLRDOC: ok = read_document(false, out); break;
                case wire::SOLRDOCLST: ok = read_document_list(out); break;
                case wire::BYTEARR: {
                    uint32_t n;
                    ok = r_.read_vint(&n) && read_string(n, ValueKind::Bytes, out);
                    break;
                }
                case wire::ITERATOR: ok = read_iterator(out); break;
                case wire::END: return Step::End;
                case wire::SOLRINPUTDOC: ok = read_document(true, out); break;
                case wire::MAP_ENTRY_ITER: ok = read_map_entry_iter(out); break;
                case wire::ENUM_FIELD_VALUE: ok = read_enum(out); break;
                case wire::MAP_ENTRY: ok = read_pair(ValueKind::Map, out); break;
                case wire::TYPED_ARR: ok = read_typed_array(out); break;
                default: ok = r_.fail_unknown_tag(tag_offset, tag); break;
            }
    }
    return ok ? Step::Value : Step::Error;
}

bool ValueParser::read_extern(uint8_t tag, Value* out) {
    uint64_t index;
    if (!r_.read_size(tag, &index)) return false;
    if (index == 0) {
        // A new string: only the header byte's low five bits count; its top three bits are not checked.
        uint8_t header;
        uint64_t size;
        if (!r_.read_u8(&header) || !r_.read_size(header, &size) || !read_string(size, ValueKind::Str, out))
            return false;
        return table_.push(*out) || r_.fail_out_of_memory();
    }
    if (index - 1 >= table_.size()) return r_.fail_beyond_table(r_.position());
    *out = table_[index - 1];  // a reference views the bytes of the definition
    return true;
}

bool ValueParser::read_array(uint64_t size, Value* out) {
    Parts parts = begin_parts(size);
    for (uint64_t i = 0; i < size; ++i)
        if (!push_part(parts)) return false;
    out->kind = ValueKind::Array;
    return (out->items = finish<Value>(parts)) != nullptr;
}

bool ValueParser::read_named_list(uint64_t size, Value* out) {
    Parts parts = begin_parts(2 * size);
    for (uint64_t i = 0; i < size; ++i) {
        uint64_t key_offset = r_.position();
        Value key;
        if (!read_part(&key)) return false;
        if (key.kind != ValueKind::Str && key.kind != ValueKind::Null)
            return r_.fail_unexpected("string or null", key_offset, kind_name(key));
        if (!add(parts, key) || !push_part(parts)) return false;
    }
    out->kind = ValueKind::NamedList;
    return (out->entries = finish<Entry>(parts)) != nullptr;
}

bool ValueParser::read_map(Value* out) {
    uint32_t count;
    if (!r_.read_vint(&count)) return false;
    Parts parts = begin_parts(2 * uint64_t{count});
    for (uint32_t i = 0; i < count; ++i)
        if (!push_part(parts) || !push_part(parts)) return false;
    out->kind = ValueKind::Map;
    return (out->entries = finish<Entry>(parts)) != nullptr;
}

bool ValueParser::read_map_entry_iter(Value* out) {
    Parts parts = begin_parts(UINT64_MAX);  // closed by END: the count is not known
    for (;;) {
        Value key;
        Step step = read_part_or_end(&key);
        if (step == Step::Error) return false;
        if (step == Step::End) break;
        if (!add(parts, key) || !push_part(parts)) return false;
    }
    out->kind = ValueKind::Map;
    return (out->entries = finish<Entry>(parts)) != nullptr;
}

bool ValueParser::read_iterator(Value* out) {
    Parts parts = begin_parts(UINT64_MAX);  // closed by END: the count is not known
    for (;;) {
        Value element;
        Step step = read_part_or_end(&element);
        if (step == Step::Error) return false;
        if (step == Step::End) break;
        if (!add(parts, element)) return false;
    }
    out->kind = ValueKind::Array;
    return (out->items = finish<Value>(parts)) != nullptr;
}

/// MAP_ENTRY: a map of exactly one entry.
bool ValueParser::read_pair(ValueKind kind, Value* out) {
    Parts parts = begin_parts(2);
    if (!push_part(parts) || !push_part(parts)) return false;
    out->kind = kind;
    return (out->entries = finish<Entry>(parts)) != nullptr;
}

/// ENUM_FIELD_VALUE: a named list {"int": first, "string": second}; neither value's kind is checked.
bool ValueParser::read_enum(Value* out) {
    Parts parts = begin_parts(4);
    Value key;
    key.kind = ValueKind::Str;
    key.length = 3;
    key.chars = "int";
    if (!add(parts, key) || !push_part(parts)) return false;
    key.length = 6;
    key.chars = "string";
    if (!add(parts, key) || !push_part(parts)) return false;
    out->kind = ValueKind::NamedList;
    return (out->entries = finish<Entry>(parts)) != nullptr;
}

/// Document items: a string names a field whose value follows; a solr document (SOLRDOC or SOLRINPUTDOC)
/// is an anonymous child; anything else is refused at the offset just after the item. In an input
/// document one float item before a name (an older writer's field boost) is skipped.
bool ValueParser::read_document(bool input_document, Value* out) {
    uint64_t count;
    if (input_document) {
        uint32_t n;
        Value boost;  // the document boost, of any kind, is dropped
        if (!r_.read_vint(&n) || !read_part(&boost)) return false;
        count = n;
    } else {
        uint8_t header;  // its top three bits are not checked
        if (!r_.read_u8(&header) || !r_.read_size(header, &count)) return false;
    }
    Parts parts = begin_parts(2 * count);  // room for every item as a field; children go aside
    size_t child_mark = children_.size();
    for (uint64_t i = 0; i < count; ++i) {
        Value item;
        if (!read_part(&item)) return false;
        if (input_document && item.kind == ValueKind::Float && !read_part(&item)) return false;
        if (item.kind == ValueKind::Str) {
            if (!add(parts, item) || !push_part(parts)) return false;
        } else if (item.kind == ValueKind::SolrDocument) {
            if (!children_.push(item)) return r_.fail_out_of_memory();
        } else {
            return r_.fail_unexpected(wire::kExpectedDocumentItem, r_.position(), kind_name(item));
        }
    }
    auto* doc = static_cast<SolrDocument*>(arena_.allocate(sizeof(SolrDocument)));
    if (!doc) return r_.fail_out_of_memory();
    if (!(doc->fields = finish<Entry>(parts))) return false;
    doc->children = arena_.copy_block(children_.data() + child_mark, children_.size() - child_mark);
    children_.truncate(child_mark);
    if (!doc->children) return r_.fail_out_of_memory();
    out->kind = ValueKind::SolrDocument;
    out->document = doc;
    return true;
}

bool ValueParser::read_document_list(Value* out) {
    Value header;
    if (!read_part(&header)) return false;
    if (header.kind != ValueKind::Array)
        return r_.fail_unexpected("SolrDocumentList header array", r_.position(), kind_name(header));
    void* room = arena_.allocate(sizeof(SolrDocumentList));
    if (!room) return r_.fail_out_of_memory();
    auto* list = new (room) SolrDocumentList();
    const Block<Value>& items = *header.items;
    auto integer = [&](size_t i) -> int64_t {
        if (i >= items.size()) return 0;
        ValueKind k = items[i].kind;
        return k == ValueKind::Long || k == ValueKind::Int ? items[i].integer : 0;
    };
    list->num_found = integer(0);
    list->start = integer(1);
    if (items.size() > 2 && items[2].kind == ValueKind::Double) {
        list->has_max_score = true;
        list->max_score = items[2].f64;
    } else if (items.size() > 2 && items[2].kind == ValueKind::Float) {
        list->has_max_score = true;
        list->max_score = items[2].f32;
    }
    if (items.size() > 3 && items[3].kind == ValueKind::Bool) {
        list->has_num_found_exact = true;
        list->num_found_exact = items[3].boolean;
    }
    Value docs;
    if (!read_part(&docs)) return false;
    if (docs.kind != ValueKind::Array)
        return r_.fail_unexpected("SolrDocumentList docs array", r_.position(), kind_name(docs));
    list->docs = docs.items;
    out->kind = ValueKind::SolrDocumentList;
    out->list = list;
    return true;
}

bool ValueParser::read_typed_array(Value* out) {
    uint8_t type;
    uint32_t count;
    ByteSpan payload;
    if (!read_typed_array_header(r_, &type, &count, &payload)) return false;
    if (type == wire::TYPED_BYTES) return set_text(payload, ValueKind::Bytes, out);
    auto* block = static_cast<Block<Value>*>(arena_.allocate(sizeof(Block<Value>) + count * sizeof(Value)));
    if (!block) return r_.fail_out_of_memory();
    block->count = count;
    auto* items = const_cast<Value*>(block->begin());
    const uint8_t* p = payload.data;
    auto integer = [](Value& v, int64_t x) { v.integer = x; };
    switch (type) {
        case wire::TYPED_BOOL: case wire::TYPED_BOOL_TOO:
            fill_typed<uint8_t>(items, count, p, ValueKind::Bool, [](Value& v, uint8_t b) { v.boolean = wire::typed_bool(b); });
            break;
        case wire::TYPED_SHORT: fill_typed<int16_t>(items, count, p, ValueKind::Short, integer); break;
        case wire::TYPED_INT: fill_typed<int32_t>(items, count, p, ValueKind::Int, integer); break;
        case wire::TYPED_LONG: fill_typed<int64_t>(items, count, p, ValueKind::Long, integer); break;
        case wire::TYPED_DOUBLE: fill_typed<double>(items, count, p, ValueKind::Double, [](Value& v, double x) { v.f64 = x; }); break;
        case wire::TYPED_FLOAT: fill_typed<float>(items, count, p, ValueKind::Float, [](Value& v, float x) { v.f32 = x; }); break;
    }
    out->kind = ValueKind::Array;
    out->items = block;
    return true;
}

}  // namespace

bool parse_document(const uint8_t* data, size_t len, Document* out, wire::DecodeError* error) {
    Reader r(data, len);
    ValueParser parser(r, out->arena);
    bool ok = wire::read_version(r);
    if (ok) {
        Step step = parser.parse_value(&out->root);
        if (step == Step::End) ok = r.fail_unexpected("value", r.position() - 1, "END marker");
        else if (step == Step::Error) ok = false;
        else if (!r.at_end()) ok = r.fail_trailing(r.remaining());
    }
    if (!ok) {
        out->root = Value();
        *error = std::move(r.error);
    }
    return ok;
}

const char* kind_name(const Value& v) {
    static constexpr const char* names[] = {
        "null", "bool", "byte", "short", "int", "long", "float", "double", "date", "string", "bytes",
        "array", "map", "named list", "solr document", "solr document list",
    };
    return names[static_cast<size_t>(v.kind)];
}

uint64_t node_count(const Value& v) {
    uint64_t n = 1;
    switch (v.kind) {
        case ValueKind::Array:
            for (const Value& e : *v.items) n += node_count(e);
            break;
        case ValueKind::Map:
            for (const Entry& e : *v.entries) n += node_count(e.key) + node_count(e.value);
            break;
        case ValueKind::NamedList:
            for (const Entry& e : *v.entries) n += 1 + node_count(e.value);
            break;
        case ValueKind::SolrDocument:
            for (const Entry& field : *v.document->fields) n += 1 + node_count(field.value);
            for (const Value& child : *v.document->children) n += node_count(child);
            break;
        case ValueKind::SolrDocumentList:
            for (const Value& d : *v.list->docs) n += node_count(d);
            break;
        default:
            break;
    }
    return n;
}

}  // namespace velkora::tree
