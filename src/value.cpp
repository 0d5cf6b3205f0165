// src/value.cpp: the reference decoder that turns a javabin body into a Value tree, and the node count.
#include "value.hpp"

namespace velkora::tree {

using wire::ByteSpan;
using wire::Reader;

namespace {

enum class Step { Value, End, Error };

constexpr const char* kExpectedItem = "field name (string) or child SolrDocument";

/// One decode of one body: the reader, the nesting depth and the extern-string table.
class ValueParser {
public:
    explicit ValueParser(Reader& r) : r_(r) {}

    /// Parses one value at the current depth: a value, the END marker, or an error left in the reader.
    Step parse_value(Value* out);

    /// A part of the current value (one level deeper) that must be a value, not END.
    [[nodiscard]] bool read_part(Value* out) {
        if (!enter()) return false;
        Step step = parse_value(out);
        --depth_;
        if (VELKORA_LIKELY(step == Step::Value)) return true;
        if (step == Step::End) return r_.fail_unexpected("value", r_.position() - 1, "END marker");
        return false;
    }

    uint32_t depth_ = 1;

private:
    [[nodiscard]] VELKORA_INLINE bool enter() {
        if (VELKORA_UNLIKELY(depth_ + 1 > wire::MAX_DEPTH)) return r_.fail_depth(r_.position());
        ++depth_;
        return true;
    }
    /// A part that may be the END marker (ITERATOR elements, MAP_ENTRY_ITER keys).
    Step read_part_or_end(Value* out) {
        if (!enter()) return Step::Error;
        Step step = parse_value(out);
        --depth_;
        return step;
    }

    bool read_string(uint64_t size, Value* out) {
        ByteSpan s;
        if (!r_.take_utf8(size, &s)) return false;
        out->payload.emplace<std::string>(reinterpret_cast<const char*>(s.data), s.size);
        return true;
    }
    bool read_extern(uint8_t tag, Value* out);
    bool read_named_list(uint8_t tag, Value* out);
    bool read_map(Value* out);
    bool read_map_entry_iter(Value* out);
    bool read_iterator(Value* out);
    bool read_document(Value* out);
    bool read_input_document(Value* out);
    bool read_document_item(Value&& item, uint64_t item_end, SolrDocument& doc);
    bool read_document_list(Value* out);
    bool read_typed_array(Value* out);

    Reader& r_;
    std::vector<std::string> table_;
};

Step ValueParser::parse_value(Value* out) {
    uint64_t tag_offset = r_.position();
    uint8_t tag;
    if (!r_.read_u8(&tag)) return Step::Error;
    bool ok = true;
    switch (tag >> 5) {
        case 0:
            switch (tag) {
                case wire::NULL_TAG: out->payload.emplace<std::monostate>(); break;
                case wire::BOOL_TRUE: out->payload.emplace<bool>(true); break;
                case wire::BOOL_FALSE: out->payload.emplace<bool>(false); break;
                case wire::BYTE: {
                    uint8_t v;
                    if ((ok = r_.read_be(&v))) out->payload.emplace<int8_t>(static_cast<int8_t>(v));
                    break;
                }
                case wire::SHORT: {
                    uint16_t v;
                    if ((ok = r_.read_be(&v))) out->payload.emplace<int16_t>(static_cast<int16_t>(v));
                    break;
                }
                case wire::INT: {
                    uint32_t v;
                    if ((ok = r_.read_be(&v))) out->payload.emplace<int32_t>(static_cast<int32_t>(v));
                    break;
                }
                case wire::LONG: {
                    uint64_t v;
                    if ((ok = r_.read_be(&v))) out->payload.emplace<int64_t>(static_cast<int64_t>(v));
                    break;
                }
                case wire::DATE: {
                    uint64_t v;
                    if ((ok = r_.read_be(&v))) out->payload.emplace<Date>(Date{static_cast<int64_t>(v)});
                    break;
                }
                case wire::FLOAT: {
                    uint32_t v;
                    if ((ok = r_.read_be(&v))) out->payload.emplace<float>(std::bit_cast<float>(v));
                    break;
                }
                case wire::DOUBLE: {
                    uint64_t v;
                    if ((ok = r_.read_be(&v))) out->payload.emplace<double>(std::bit_cast<double>(v));
                    break;
                }
                case wire::MAP: ok = read_map(out); break;
                case wire::SOLRDOC: ok = read_document(out); break;
                case wire::SOLRDOCLST: ok = read_document_list(out); break;
                case wire::BYTEARR: {
                    uint32_t n;
                    ByteSpan b;
                    if ((ok = r_.read_vint(&n) && r_.take(n, &b)))
                        out->payload.emplace<Bytes>(Bytes{std::string(reinterpret_cast<const char*>(b.data), b.size)});
                    break;
                }
                case wire::ITERATOR: ok = read_iterator(out); break;
                case wire::END: return Step::End;
                case wire::SOLRINPUTDOC: ok = read_input_document(out); break;
                case wire::MAP_ENTRY_ITER: ok = read_map_entry_iter(out); break;
                case wire::ENUM_FIELD_VALUE: {
                    NamedList list;
                    list.reserve(2);
                    list.emplace_back(std::string("int"), Value{});
                    list.emplace_back(std::string("string"), Value{});
                    if ((ok = read_part(&list[0].second) && read_part(&list[1].second)))
                        out->payload.emplace<NamedList>(std::move(list));
                    break;
                }
                case wire::MAP_ENTRY: {
                    Map map(1);
                    if ((ok = read_part(&map[0].first) && read_part(&map[0].second)))
                        out->payload.emplace<Map>(std::move(map));
                    break;
                }
                case wire::TYPED_ARR: ok = read_typed_array(out); break;
                default: ok = r_.fail_unknown_tag(tag_offset, tag); break;
            }
            break;
        case wire::GROUP_STR: {
            uint64_t size;
            ok = r_.read_size(tag, &size) && read_string(size, out);
            break;
        }
        case wire::GROUP_SINT: {
            int32_t v;
            if ((ok = read_small_int(r_, tag, &v))) out->payload.emplace<int32_t>(v);
            break;
        }
        case wire::GROUP_SLONG: {
            int64_t v;
            if ((ok = read_small_long(r_, tag, &v))) out->payload.emplace<int64_t>(v);
            break;
        }
        case wire::GROUP_ARR: {
            uint64_t size;
            if (!r_.read_size(tag, &size)) return Step::Error;
            Array array;
            // A forged count must not reserve memory the input cannot fill: each element takes a byte at least.
            array.reserve(std::min(size, r_.remaining()));
            for (uint64_t i = 0; i < size; ++i) {
                array.emplace_back();
                if (!read_part(&array.back())) return Step::Error;
            }
            out->payload.emplace<Array>(std::move(array));
            break;
        }
        case wire::GROUP_ORDERED_MAP:
        case wire::GROUP_NAMED_LST: ok = read_named_list(tag, out); break;
        case wire::GROUP_EXTERN_STRING: ok = read_extern(tag, out); break;
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
        if (!r_.read_u8(&header) || !r_.read_size(header, &size) || !read_string(size, out)) return false;
        table_.push_back(std::get<std::string>(out->payload));
        return true;
    }
    if (index - 1 >= table_.size()) return r_.fail_beyond_table(r_.position());
    out->payload.emplace<std::string>(table_[index - 1]);
    return true;
}

bool ValueParser::read_named_list(uint8_t tag, Value* out) {
    uint64_t size;
    if (!r_.read_size(tag, &size)) return false;
    NamedList list;
    list.reserve(std::min(size, r_.remaining()));
    for (uint64_t i = 0; i < size; ++i) {
        uint64_t key_offset = r_.position();
        Value key;
        if (!read_part(&key)) return false;
        auto& entry = list.emplace_back();
        if (key.kind() == ValueKind::Str) {
            entry.first.emplace(std::move(std::get<std::string>(key.payload)));
        } else if (key.kind() != ValueKind::Null) {
            return r_.fail_unexpected("string or null", key_offset, kind_name(key));
        }
        if (!read_part(&entry.second)) return false;
    }
    out->payload.emplace<NamedList>(std::move(list));
    return true;
}

bool ValueParser::read_map(Value* out) {
    uint32_t count;
    if (!r_.read_vint(&count)) return false;
    Map map;
    map.reserve(std::min<uint64_t>(count, r_.remaining()));
    for (uint32_t i = 0; i < count; ++i) {
        auto& entry = map.emplace_back();
        if (!read_part(&entry.first) || !read_part(&entry.second)) return false;
    }
    out->payload.emplace<Map>(std::move(map));
    return true;
}

bool ValueParser::read_map_entry_iter(Value* out) {
    Map map;
    for (;;) {
        Value key;
        Step step = read_part_or_end(&key);
        if (step == Step::Error) return false;
        if (step == Step::End) break;
        auto& entry = map.emplace_back(std::move(key), Value{});
        if (!read_part(&entry.second)) return false;
    }
    out->payload.emplace<Map>(std::move(map));
    return true;
}

bool ValueParser::read_iterator(Value* out) {
    Array array;
    for (;;) {
        Value element;
        Step step = read_part_or_end(&element);
        if (step == Step::Error) return false;
        if (step == Step::End) break;
        array.push_back(std::move(element));
    }
    out->payload.emplace<Array>(std::move(array));
    return true;
}

/// A document item that decoded to a string names a field whose value follows; a solr document is an
/// anonymous child; anything else is refused at the offset just after the item.
bool ValueParser::read_document_item(Value&& item, uint64_t item_end, SolrDocument& doc) {
    if (item.kind() == ValueKind::Str) {
        auto& field = doc.fields.emplace_back(std::move(std::get<std::string>(item.payload)), Value{});
        return read_part(&field.second);
    }
    if (item.kind() == ValueKind::SolrDocument) {
        doc.children.push_back(std::move(item));
        return true;
    }
    return r_.fail_unexpected(kExpectedItem, item_end, kind_name(item));
}

bool ValueParser::read_document(Value* out) {
    uint8_t header;
    uint64_t size;
    if (!r_.read_u8(&header) || !r_.read_size(header, &size)) return false;
    auto doc = std::make_unique<SolrDocument>();
    doc->fields.reserve(std::min(size, r_.remaining()));
    for (uint64_t i = 0; i < size; ++i) {
        Value item;
        if (!read_part(&item) || !read_document_item(std::move(item), r_.position(), *doc)) return false;
    }
    out->payload.emplace<std::unique_ptr<SolrDocument>>(std::move(doc));
    return true;
}

bool ValueParser::read_input_document(Value* out) {
    uint32_t count;
    if (!r_.read_vint(&count)) return false;
    Value boost;  // the document boost, of any kind, is dropped
    if (!read_part(&boost)) return false;
    auto doc = std::make_unique<SolrDocument>();
    doc->fields.reserve(std::min<uint64_t>(count, r_.remaining()));
    for (uint32_t i = 0; i < count; ++i) {
        Value item;
        if (!read_part(&item)) return false;
        // Older writers put a field boost (a float) before the field name; one is skipped.
        if (item.kind() == ValueKind::Float && !read_part(&item)) return false;
        if (!read_document_item(std::move(item), r_.position(), *doc)) return false;
    }
    out->payload.emplace<std::unique_ptr<SolrDocument>>(std::move(doc));
    return true;
}

bool ValueParser::read_document_list(Value* out) {
    Value header;
    if (!read_part(&header)) return false;
    if (header.kind() != ValueKind::Array)
        return r_.fail_unexpected("SolrDocumentList header array", r_.position(), kind_name(header));
    auto list = std::make_unique<SolrDocumentList>();
    const Array& items = header.as<Array>();
    auto integer = [&](size_t i) -> int64_t {
        if (i >= items.size()) return 0;
        if (items[i].kind() == ValueKind::Long) return items[i].as<int64_t>();
        if (items[i].kind() == ValueKind::Int) return items[i].as<int32_t>();
        return 0;
    };
    list->num_found = integer(0);
    list->start = integer(1);
    if (items.size() > 2) {
        if (items[2].kind() == ValueKind::Double) list->max_score = items[2].as<double>();
        if (items[2].kind() == ValueKind::Float) list->max_score = items[2].as<float>();
    }
    if (items.size() > 3 && items[3].kind() == ValueKind::Bool) list->num_found_exact = items[3].as<bool>();
    Value docs;
    if (!read_part(&docs)) return false;
    if (docs.kind() != ValueKind::Array)
        return r_.fail_unexpected("SolrDocumentList docs array", r_.position(), kind_name(docs));
    list->docs = std::move(std::get<Array>(docs.payload));
    out->payload.emplace<std::unique_ptr<SolrDocumentList>>(std::move(list));
    return true;
}

bool ValueParser::read_typed_array(Value* out) {
    uint64_t type_offset = r_.position();
    uint8_t type;
    uint32_t count;
    if (!r_.read_u8(&type) || !r_.read_vint(&count)) return false;
    unsigned width = wire::typed_element_width(type);
    if (width == 0) return r_.fail_unknown_tag(type_offset, type);
    ByteSpan payload;
    if (type == 3) {
        if (!r_.take(count, &payload)) return false;
        out->payload.emplace<Bytes>(Bytes{std::string(reinterpret_cast<const char*>(payload.data), payload.size)});
        return true;
    }
    uint64_t total = static_cast<uint64_t>(count) * width;
    if (total > r_.remaining()) {
        // Report the first element that does not fit, as an element-by-element read would.
        return r_.fail_eof(r_.position() + r_.remaining() / width * width, r_.position() + total);
    }
    if (!r_.take(total, &payload)) return false;
    Reader elements(payload.data, payload.size);
    Array array;
    array.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        Value& v = array.emplace_back();
        switch (type) {
            case 1: case 2: {
                uint8_t b;
                (void)elements.read_u8(&b);
                v.payload.emplace<bool>(b != 2);
                break;
            }
            case 4: { uint16_t x; (void)elements.read_be(&x); v.payload.emplace<int16_t>(static_cast<int16_t>(x)); break; }
            case 6: { uint32_t x; (void)elements.read_be(&x); v.payload.emplace<int32_t>(static_cast<int32_t>(x)); break; }
            case 7: { uint64_t x; (void)elements.read_be(&x); v.payload.emplace<int64_t>(static_cast<int64_t>(x)); break; }
            case 5: { uint64_t x; (void)elements.read_be(&x); v.payload.emplace<double>(std::bit_cast<double>(x)); break; }
            case 8: { uint32_t x; (void)elements.read_be(&x); v.payload.emplace<float>(std::bit_cast<float>(x)); break; }
        }
    }
    out->payload.emplace<Array>(std::move(array));
    return true;
}

}  // namespace

bool parse_document(const uint8_t* data, size_t len, Value* out, wire::DecodeError* error) {
    Reader r(data, len);
    ValueParser parser(r);
    bool ok = wire::read_version(r);
    if (ok) {
        Step step = parser.parse_value(out);
        if (step == Step::End) ok = r.fail_unexpected("value", r.position() - 1, "END marker");
        else if (step == Step::Error) ok = false;
        else if (!r.at_end()) ok = r.fail_trailing(r.remaining());
    }
    if (!ok) {
        *out = Value{};
        *error = std::move(r.error);
    }
    return ok;
}

const char* kind_name(const Value& v) {
    static constexpr const char* names[] = {
        "null", "bool", "byte", "short", "int", "long", "float", "double", "date", "string", "bytes",
        "array", "map", "named list", "solr document", "solr document list",
    };
    return names[v.payload.index()];
}

uint64_t node_count(const Value& v) {
    uint64_t n = 1;
    switch (v.kind()) {
        case ValueKind::Array:
            for (const Value& e : v.as<Array>()) n += node_count(e);
            break;
        case ValueKind::Map:
            for (const auto& [key, value] : v.as<Map>()) n += node_count(key) + node_count(value);
            break;
        case ValueKind::NamedList:
            for (const auto& entry : v.as<NamedList>()) n += 1 + node_count(entry.second);
            break;
        case ValueKind::SolrDocument: {
            const SolrDocument& doc = *v.as<std::unique_ptr<SolrDocument>>();
            for (const auto& field : doc.fields) n += 1 + node_count(field.second);
            for (const Value& child : doc.children) n += node_count(child);
            break;
        }
        case ValueKind::SolrDocumentList:
            for (const Value& d : v.as<std::unique_ptr<SolrDocumentList>>()->docs) n += node_count(d);
            break;
        default:
            break;
    }
    return n;
}

}  // namespace velkora::tree
