// src/python/py_decoder.cpp: the fast Python-object decoder, and document streaming of a whole body to a callback.
#include "python/py_decoder.hpp"

#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "core/java_text.hpp"
#include "python/envelope.hpp"
#include "python/errors.hpp"

namespace velkora::py {

using wire::ByteSpan;
using wire::Reader;

namespace {

Names g_names{};
// What a read of END returns: an object of its own, never part of a result.
PyObject* g_end_marker = nullptr;

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

// The strings the decoder makes are exact `str`s: the exact test, an inline compare, settles them without a call.
bool is_str(PyObject* o) { return PyUnicode_CheckExact(o) || PyUnicode_Check(o); }

/// Fills the `count` slots of `list` from the big-endian elements of type T at `p`, each made by `make(element)`.
/// False when making one failed, with the exception pending.
template <typename T, typename Make>
VELKORA_INLINE bool fill_typed(PyObject* list, uint32_t count, const uint8_t* p, Make make) {
    for (uint32_t i = 0; i < count; ++i, p += sizeof(T)) {
        PyRef item = make(wire::load_be<T>(p));
        if (!item) return false;
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), item.release());
    }
    return true;
}

/// The arrntv type name of the value whose tag is `tag` (a TYPED_ARR of bytes is told apart by its result).
JsonType json_type(uint8_t tag) {
    switch (wire::group_of(tag)) {
        case wire::GROUP_EXTERN_STRING:
        case wire::GROUP_STR: return JsonType::Str;
        case wire::GROUP_SINT: return JsonType::Int;
        case wire::GROUP_SLONG: return JsonType::Long;
        case wire::GROUP_ARR: return JsonType::Array;
        case wire::GROUP_ORDERED_MAP: return JsonType::Map;  // a SimpleOrderedMap is written as a map
        case wire::GROUP_NAMED_LST: return JsonType::List;
        default: break;
    }
    switch (tag) {
        case wire::BOOL_TRUE:
        case wire::BOOL_FALSE: return JsonType::Bool;
        case wire::BYTE:
        case wire::SHORT:
        case wire::INT: return JsonType::Int;
        case wire::LONG: return JsonType::Long;
        case wire::FLOAT: return JsonType::Float;
        case wire::DOUBLE: return JsonType::Double;
        case wire::DATE: return JsonType::Date;
        case wire::BYTEARR:
        case wire::ENUM_FIELD_VALUE: return JsonType::Str;
        case wire::ITERATOR:
        case wire::TYPED_ARR: return JsonType::Array;
        case wire::MAP:
        case wire::MAP_ENTRY_ITER:
        case wire::MAP_ENTRY: return JsonType::Map;
        case wire::SOLRDOC:
        case wire::SOLRINPUTDOC: return JsonType::Doc;
        case wire::SOLRDOCLST: return JsonType::DocList;
        default: return JsonType::Null;
    }
}

/// True for the tags whose value deserialize() makes a `str` or None: the only named-list keys it accepts.
bool is_name_tag(uint8_t tag) {
    return wire::group_of(tag) == wire::GROUP_STR || wire::group_of(tag) == wire::GROUP_EXTERN_STRING || tag == wire::NULL_TAG;
}

}  // namespace

bool key_is(PyObject* key, std::string_view text) {
    if (!key || !is_str(key)) return false;
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (!utf8) {
        PyErr_Clear();
        return false;
    }
    return std::string_view(utf8, static_cast<size_t>(size)) == text;
}

bool init_names() {
    if (g_names.num_found) return true;
    Names n{intern("numFound"), intern("start"),            intern("maxScore"), intern("numFoundExact"),
            intern("docs"),     intern("_childDocuments_"), intern("int"),      intern("string"),
            intern("NaN"),      intern("Infinity"),         intern("-Infinity"), intern("name"),
            intern("type"),     intern("value"),            intern(""),         {}};
    static constexpr const char* kJsonTypes[] = {"null", "bool", "int", "long", "float", "double", "date",
                                                 "str",  "lst",  "map", "array", "doc", "doclist"};
    static_assert(std::size(kJsonTypes) == std::size(Names{}.json_types));
    bool made = n.num_found && n.start && n.max_score && n.num_found_exact && n.docs && n.child_documents &&
                n.int_key && n.string_key && n.nan && n.infinity && n.minus_infinity && n.name_key && n.type_key &&
                n.value_key && n.empty;
    for (size_t i = 0; i < std::size(kJsonTypes); ++i) made = made && (n.json_types[i] = intern(kJsonTypes[i]));
    if (!made) return false;
    g_end_marker = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    if (!g_end_marker) return false;
    g_names = n;
    return true;
}

const Names& names() { return g_names; }

PyObject* end_marker() { return g_end_marker; }

template <class Shape>
PyRef BasicPyDecoder<Shape>::python_failed() {
    fail_python(&reader.error);
    return nullptr;
}

template <class Shape>
PyRef BasicPyDecoder<Shape>::made(PyObject* value) {
    return value ? PyRef::steal(value) : python_failed();
}

template <class Shape>
VELKORA_INLINE PyRef BasicPyDecoder<Shape>::read_required() {
    // One named result on every path, so it is built where the caller wants it.
    PyRef value = read_part_or_end();
    if (VELKORA_UNLIKELY(value.get() == end_marker())) {
        value = PyRef();
        reader.fail_unexpected("value", reader.position() - 1, "END marker");
    }
    return value;
}

template <class Shape>
VELKORA_INLINE PyRef BasicPyDecoder<Shape>::read_part_or_end() {
    if (VELKORA_UNLIKELY(depth + 1 > wire::MAX_DEPTH)) {
        reader.fail_depth(reader.position());
        return nullptr;
    }
    struct Deeper {
        uint32_t& depth;
        ~Deeper() { --depth; }
    } deeper{++depth};
    return read_value();
}

template <class Shape>
PyRef BasicPyDecoder<Shape>::read_named_key() {
    uint64_t key_offset = reader.position();
    uint8_t tag = 0;
    if constexpr (Shape::solr_json) (void)reader.peek_u8(&tag);  // none left: the read below fails
    PyRef key = read_required();
    // The JSON shape makes a `str` of a date, bytes or an enum too, so it judges a key by its tag, as
    // deserialize() judges what it made of it.
    bool refused;
    if constexpr (Shape::solr_json) refused = key && !is_name_tag(tag);
    else refused = key && key.get() != Py_None && !is_str(key.get());
    if (refused) {
        reader.fail_unexpected("string or null", key_offset, "non-string");
        return nullptr;
    }
    return key;
}

template <class Shape>
bool BasicPyDecoder<Shape>::store_pair(PyObject* dict, PyObject* key, PyObject* value) {
    if (VELKORA_LIKELY(PyDict_SetItem(dict, key, value) == 0)) return true;
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        return reader.fail_unexpected("hashable map key", reader.position(), "unhashable value");
    }
    return fail_python(&reader.error);
}

template <class Shape>
VELKORA_INLINE PyRef BasicPyDecoder<Shape>::read_string(uint64_t size) {
    uint64_t start = reader.position();
    ByteSpan s;
    if (!reader.take(size, &s)) return nullptr;
    if (s.size < ShortStrings::kMinBytes || s.size > ShortStrings::kMaxBytes) return make_string(s, start);
    return PyRef::steal(short_strings_.get(s.data, s.size, [&] { return make_string(s, start).release(); }));
}

/// The `str` of `s`, read from `start`; a new reference, or nullptr with the failure recorded.
template <class Shape>
PyRef BasicPyDecoder<Shape>::make_string(ByteSpan s, uint64_t start) {
    // The interpreter's strict decoder accepts exactly the well-formed UTF-8 we accept, so it validates
    // while it copies; only a refused string is examined again, for the fault's exact place.
    PyObject* text = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(s.data), static_cast<Py_ssize_t>(s.size), nullptr);
    if (VELKORA_LIKELY(text != nullptr)) return PyRef::steal(text);
    wire::Utf8Failure failure;
    if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError) && !wire::validate_utf8_slow(s.data, s.size, &failure)) {
        PyErr_Clear();
        reader.fail_utf8(start, failure);
        return nullptr;
    }
    return python_failed();
}

template <class Shape>
PyRef BasicPyDecoder<Shape>::json_float(double value) {
    if (VELKORA_LIKELY(std::isfinite(value))) {
        return made(PyFloat_FromDouble(value));
    }
    // Solr writes NaN and the infinities as JSON strings.
    return PyRef::borrow(std::isnan(value) ? names().nan : value > 0 ? names().infinity : names().minus_infinity);
}

template <class Shape>
PyRef BasicPyDecoder<Shape>::json_float32(float value) {
    if (VELKORA_UNLIKELY(!std::isfinite(value))) return json_float(value);
    return made(PyFloat_FromDouble(wire::float_text_value(value)));
}

template <class Shape>
PyRef BasicPyDecoder<Shape>::json_date(int64_t epoch_ms) {
    char text[wire::kInstantTextMax];
    size_t length = wire::instant_text(epoch_ms, text);
    return made(PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(length)));
}

template <class Shape>
PyRef BasicPyDecoder<Shape>::json_bytes(ByteSpan b) {
    // The text of a short array on the stack; a longer one's in a block left uninitialised until written.
    size_t length = wire::base64_length(b.size);
    char small[512];
    std::unique_ptr<char[]> large;
    char* text = small;
    if (length > sizeof small) {
        large.reset(new (std::nothrow) char[length]);
        if (!large) {
            PyErr_NoMemory();
            return python_failed();
        }
        text = large.get();
    }
    wire::base64_text(b.data, b.size, text);
    return made(PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(length)));
}

/// The JSON object key Solr writes for a map key (`key` borrowed): a string as it is, null as "", a
/// boolean as true or false, anything else as its text.
template <class Shape>
PyRef BasicPyDecoder<Shape>::map_key(PyObject* key) {
    if (VELKORA_LIKELY(is_str(key))) return PyRef::borrow(key);
    if (key == Py_None) return PyRef::borrow(names().empty);
    if (PyBool_Check(key)) return made(PyUnicode_FromString(key == Py_True ? "true" : "false"));
    return made(PyObject_Str(key));
}

template <class Shape>
VELKORA_INLINE PyRef BasicPyDecoder<Shape>::read_extern(uint8_t tag) {
    uint64_t index;
    if (!reader.read_size(tag, &index)) return nullptr;
    if (VELKORA_LIKELY(index != 0)) {
        if (VELKORA_UNLIKELY(index - 1 >= table.size())) {
            reader.fail_beyond_table(reader.position());
            return nullptr;
        }
        return PyRef::borrow(table.at(index - 1));
    }
    // A new string: only the header byte's low five bits count; its top three bits are not checked.
    uint8_t header;
    uint64_t size;
    if (!reader.read_u8(&header) || !reader.read_size(header, &size)) return nullptr;
    uint64_t start = reader.position();
    ByteSpan s;
    if (!reader.take(size, &s)) return nullptr;
    // A name the process has met before comes back as the same object (and its bytes are known to be valid).
    PyRef text = PyRef::steal(FieldNames::get(s.data, s.size, [&] { return make_string(s, start).release(); }));
    if (!text) return nullptr;
    if (!table.push(Py_NewRef(text.get()))) return python_failed();
    return text;
}

template <class Shape>
PyRef BasicPyDecoder<Shape>::read_bytes() {
    uint32_t length;
    ByteSpan b;
    if (!reader.read_vint(&length) || !reader.take(length, &b)) return nullptr;
    if constexpr (Shape::solr_json) return json_bytes(b);
    return made(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data), static_cast<Py_ssize_t>(b.size)));
}

template <class Shape>
PyRef BasicPyDecoder<Shape>::read_array(uint8_t tag) {
    uint64_t size;
    if (!reader.read_size(tag, &size)) return nullptr;
    // Each element takes at least one byte. The slots reserved and not yet filled, over every open list,
    // never exceed the bytes left: nested forged counts must not multiply what the input could fill.
    uint64_t left = reader.remaining();
    if (VELKORA_LIKELY(unfilled_ <= left && size <= left - unfilled_)) {
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size)));
        if (!list) return python_failed();
        unfilled_ += size;
        for (uint64_t i = 0; i < size; ++i) {
            PyRef element = read_required();
            if (!element) {
                unfilled_ -= size - i;
                return nullptr;
            }
            --unfilled_;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), element.release());
        }
        return list;
    }
    // More than the input can fill: grow with the elements actually present until the input runs out.
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return python_failed();
    for (uint64_t i = 0; i < size; ++i) {
        PyRef element = read_required();
        if (!element) return nullptr;
        if (PyList_Append(list.get(), element.get()) != 0) return python_failed();
    }
    return list;
}

template <class Shape>
PyRef BasicPyDecoder<Shape>::read_named_list(uint8_t tag) {
    uint64_t size;
    if (!reader.read_size(tag, &size)) return nullptr;
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return python_failed();
    for (uint64_t i = 0; i < size; ++i) {
        PyRef key = read_named_key();
        if (!key) return nullptr;
        if constexpr (Shape::solr_json)
            if (key.get() == Py_None) key = PyRef::borrow(names().empty);  // a null name is written as ""
        PyRef value = read_required();
        if (!value) return nullptr;
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) return python_failed();
    }
    return dict;
}

/// A NamedList in the JSON shape, by `named_lists` (a map style goes to read_named_list).
template <class Shape>
PyRef BasicPyDecoder<Shape>::read_styled_named_list(uint8_t tag) {
    NamedListStyle style = named_lists;
    if (style == NamedListStyle::Map) return read_named_list(tag);
    uint64_t size;
    if (!reader.read_size(tag, &size)) return nullptr;
    // Grown as entries arrive: a declared count is not trusted for memory.
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return python_failed();
    for (uint64_t i = 0; i < size; ++i) {
        PyRef key = read_named_key();
        if (!key) return nullptr;
        uint8_t value_tag = 0;
        (void)reader.peek_u8(&value_tag);  // none left: the read below fails
        PyRef value = read_required();
        if (!value) return nullptr;
        PyRef entry;
        switch (style) {
            case NamedListStyle::Flat:
                if (PyList_Append(list.get(), key.get()) != 0) return python_failed();
                entry = std::move(value);
                break;
            case NamedListStyle::ArrArr:
                entry = PyRef::steal(PyList_New(2));
                if (!entry) return python_failed();
                PyList_SetItem(entry.get(), 0, key.release());
                PyList_SetItem(entry.get(), 1, value.release());
                break;
            case NamedListStyle::ArrMap:
                if (key.get() == Py_None) {  // a null name gives the bare value
                    entry = std::move(value);
                    break;
                }
                entry = PyRef::steal(PyDict_New());
                if (!entry || PyDict_SetItem(entry.get(), key.get(), value.get()) != 0) return python_failed();
                break;
            default: {
                JsonType type = value_tag == wire::TYPED_ARR && is_str(value.get()) ? JsonType::Str : json_type(value_tag);
                entry = PyRef::steal(PyDict_New());
                if (!entry || PyDict_SetItem(entry.get(), names().name_key, key.get()) != 0 ||
                    PyDict_SetItem(entry.get(), names().type_key, names().json_types[static_cast<size_t>(type)]) != 0 ||
                    PyDict_SetItem(entry.get(), names().value_key, value.get()) != 0)
                    return python_failed();
                break;
            }
        }
        if (PyList_Append(list.get(), entry.get()) != 0) return python_failed();
    }
    return list;
}

template <class Shape>
PyRef BasicPyDecoder<Shape>::read_map() {
    uint32_t count;
    if (!reader.read_vint(&count)) return nullptr;
    // Keys and values alternate. Every key and every value takes a byte, so the bytes left bound what can
    // be read, and the room is reserved once, clamped by them: a forged count reserves no more.
    struct Pairs {
        PyObject** items = nullptr;
        size_t size = 0;
        ~Pairs() {
            for (size_t i = 0; i < size; ++i) Py_XDECREF(items[i]);  // entries moved into pair lists are null
            std::free(items);
        }
    } pairs;
    size_t room = 2 * static_cast<size_t>(std::min<uint64_t>(count, reader.remaining()));
    if (room != 0 && !(pairs.items = static_cast<PyObject**>(std::malloc(room * sizeof(PyObject*))))) {
        PyErr_NoMemory();
        return python_failed();
    }
    bool string_keys = true;  // in the JSON shape every key becomes text, so the map is always a dict
    bool object_string_keys = true;  // in the JSON shape: whether deserialize() would make a dict of it
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t key_tag = 0;
        if constexpr (Shape::solr_json) (void)reader.peek_u8(&key_tag);
        PyRef key = read_required();
        if (!key) return nullptr;
        if constexpr (Shape::solr_json) {
            object_string_keys = object_string_keys && (wire::group_of(key_tag) == wire::GROUP_STR ||
                                                        wire::group_of(key_tag) == wire::GROUP_EXTERN_STRING);
            key = map_key(key.get());
            if (!key) return nullptr;
        } else {
            string_keys = string_keys && is_str(key.get());
        }
        pairs.items[pairs.size++] = key.release();
        PyRef value = read_required();
        if (!value) return nullptr;
        pairs.items[pairs.size++] = value.release();
    }
    if (string_keys) {
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) return python_failed();
        for (size_t i = 0; i < pairs.size; i += 2)
            if (PyDict_SetItem(dict.get(), pairs.items[i], pairs.items[i + 1]) != 0) return python_failed();
        map_was_pairs_ = !object_string_keys;  // the outermost map sets it last
        return dict;
    }
    // Some key is not a string: the entries become [key, value] lists, in wire order, duplicates kept.
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return python_failed();
    for (size_t i = 0; i < pairs.size; i += 2) {
        PyObject* pair = PyList_New(2);
        if (!pair) return python_failed();
        PyList_SetItem(pair, 0, std::exchange(pairs.items[i], nullptr));
        PyList_SetItem(pair, 1, std::exchange(pairs.items[i + 1], nullptr));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i / 2), pair);
    }
    pairs.size = 0;
    return list;
}

template <class Shape>
PyRef BasicPyDecoder<Shape>::pairs_of(PyObject* dict) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return python_failed();
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        PyRef pair = PyRef::steal(PyList_New(2));
        if (!pair) return python_failed();
        Py_INCREF(key);
        Py_INCREF(value);
        PyList_SetItem(pair.get(), 0, key);
        PyList_SetItem(pair.get(), 1, value);
        if (PyList_Append(list.get(), pair.get()) != 0) return python_failed();
    }
    return list;
}

template <class Shape>
bool BasicPyDecoder<Shape>::store_entry(PyObject* dict, uint8_t key_tag, PyRef& key, PyObject* value) {
    if constexpr (Shape::solr_json) {
        // The key becomes text, but fails where deserialize() could not hash what it made of it: a list or
        // dict, or an enum (a dict there, a string here).
        if (PyList_Check(key.get()) || PyDict_Check(key.get()) || key_tag == wire::ENUM_FIELD_VALUE) {
            reader.fail_unexpected("hashable map key", reader.position(), "unhashable value");
            return false;
        }
        key = map_key(key.get());
        if (!key) return false;
    }
    return store_pair(dict, key.get(), value);
}

template <class Shape>
PyRef BasicPyDecoder<Shape>::read_map_entry_iter() {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return python_failed();
    for (;;) {
        uint8_t key_tag = 0;
        if constexpr (Shape::solr_json) (void)reader.peek_u8(&key_tag);
        PyRef key = read_part_or_end();
        if (!key) return nullptr;
        if (key.get() == end_marker()) return dict;
        PyRef value = read_required();
        if (!value || !store_entry(dict.get(), key_tag, key, value.get())) return nullptr;
    }
}

template <class Shape>
PyRef BasicPyDecoder<Shape>::read_map_entry() {
    uint8_t key_tag = 0;
    if constexpr (Shape::solr_json) (void)reader.peek_u8(&key_tag);
    PyRef key = read_required();
    if (!key) return nullptr;
    PyRef value = read_required();
    if (!value) return nullptr;
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return python_failed();
    if (!store_entry(dict.get(), key_tag, key, value.get())) return nullptr;
    return dict;
}

template <class Shape>
PyRef BasicPyDecoder<Shape>::read_iterator() {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return python_failed();
    for (;;) {
        PyRef element = read_part_or_end();
        if (!element) return nullptr;
        if (element.get() == end_marker()) return list;
        if (PyList_Append(list.get(), element.get()) != 0) return python_failed();
    }
}

template <class Shape>
PyRef BasicPyDecoder<Shape>::read_enum() {
    PyRef first = read_required();
    if (!first) return nullptr;
    PyRef second = read_required();
    if (!second) return nullptr;
    if constexpr (Shape::solr_json) return second;  // written as its string
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict || PyDict_SetItem(dict.get(), names().int_key, first.get()) != 0 ||
        PyDict_SetItem(dict.get(), names().string_key, second.get()) != 0)
        return python_failed();
    return dict;
}

/// A document at the current depth. Each entry opens with an item classified by its tag byte alone: a
/// string names a field whose value follows; SOLRDOC or SOLRINPUTDOC is an anonymous child document one
/// level deeper (Solr writes a SolrInputDocument's children as SOLRINPUTDOC); in an input document, float
/// field boosts before a name are skipped.
template <class Shape>
PyRef BasicPyDecoder<Shape>::read_document(bool input_document) {
    uint64_t count;
    if (input_document) {
        uint32_t n;
        if (!reader.read_vint(&n)) return nullptr;
        count = n;
        if (!read_required()) return nullptr;  // the document boost, of any kind, is dropped
    } else {
        uint8_t header;  // its top three bits are not checked
        if (!reader.read_u8(&header) || !reader.read_size(header, &count)) return nullptr;
    }
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return python_failed();
    PyRef children;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t tag_offset;
        uint8_t tag;
        for (;;) {
            tag_offset = reader.position();
            if (!reader.read_u8(&tag)) return nullptr;
            if (!(input_document && tag == wire::FLOAT)) break;
            uint32_t skipped_boost;
            if (!reader.read_be(&skipped_boost)) return nullptr;
        }
        PyRef key;
        switch (wire::group_of(tag)) {
            case wire::GROUP_EXTERN_STRING: {
                // The common case, a name referred to by a one-byte index, borrows the table's reference.
                size_t index = tag & wire::SIZE_BITS;
                if (VELKORA_LIKELY(index != 0 && index != 31 && index <= table.size())) {
                    key = PyRef::borrow(table.at(index - 1));
                    break;
                }
                key = read_extern(tag);
                break;
            }
            case wire::GROUP_STR: {
                uint64_t size;
                if (!reader.read_size(tag, &size)) return nullptr;
                key = read_string(size);
                break;
            }
            default: {
                if (tag != wire::SOLRDOC && tag != wire::SOLRINPUTDOC) {
                    reader.fail_unexpected(wire::kExpectedDocumentItem, tag_offset, "other");
                    return nullptr;
                }
                if (depth + 1 > wire::MAX_DEPTH) {
                    reader.fail_depth(tag_offset);
                    return nullptr;
                }
                ++depth;
                PyRef child = read_document(tag == wire::SOLRINPUTDOC);
                --depth;
                if (!child) return nullptr;
                if (!children) {
                    children = PyRef::steal(PyList_New(0));
                    if (!children) return python_failed();
                }
                if (PyList_Append(children.get(), child.get()) != 0) return python_failed();
                continue;
            }
        }
        if (!key) return nullptr;
        PyRef value = read_required();
        if (!value) return nullptr;
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) return python_failed();
    }
    if (children && PyDict_SetItem(dict.get(), names().child_documents, children.get()) != 0) return python_failed();
    return dict;
}

/// The header items are stored as decoded, None where the header is short; "docs" whatever it is.
template <class Shape>
PyRef BasicPyDecoder<Shape>::read_document_list_header() {
    uint8_t tag = 0;
    if constexpr (Shape::solr_json) (void)reader.peek_u8(&tag);  // none left: the read below fails
    PyRef header = read_required();
    if (!header) return nullptr;
    bool array = PyList_Check(header.get());
    if constexpr (Shape::solr_json) {
        // Refused exactly where deserialize() refuses it, by what that makes of it: a NamedList and an enum
        // are dicts there (here a list in most styles, and the enum's string part), and a map with a key
        // other than a string its [key, value] pairs, taken here from the dict the keys' texts made.
        if (wire::group_of(tag) == wire::GROUP_NAMED_LST || tag == wire::ENUM_FIELD_VALUE) {
            array = false;
        } else if (tag == wire::MAP && map_was_pairs_) {
            header = pairs_of(header.get());
            if (!header) return nullptr;
            array = true;
        }
    }
    if (!array) {
        reader.fail_unexpected("SolrDocumentList header array", reader.position(), "non-array");
        return nullptr;
    }
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return python_failed();
    Py_ssize_t length = PyList_Size(header.get());
    PyObject* keys[] = {names().num_found, names().start, names().max_score, names().num_found_exact};
    for (Py_ssize_t i = 0; i < 4; ++i) {
        PyObject* item = i < length ? PyList_GetItem(header.get(), i) : Py_None;
        if constexpr (Shape::solr_json)
            if (i >= 2 && item == Py_None) continue;  // maxScore and numFoundExact are written only when set
        if (PyDict_SetItem(dict.get(), keys[i], item) != 0) return python_failed();
    }
    return dict;
}

template <class Shape>
PyRef BasicPyDecoder<Shape>::read_document_list() {
    PyRef dict = read_document_list_header();
    if (!dict) return nullptr;
    PyRef docs = read_required();
    if (!docs) return nullptr;
    if (PyDict_SetItem(dict.get(), names().docs, docs.get()) != 0) return python_failed();
    return dict;
}

template <class Shape>
PyRef BasicPyDecoder<Shape>::read_typed_array() {
    uint8_t type;
    uint32_t count = 0;
    ByteSpan payload;
    if (!read_typed_array_header(reader, &type, &count, &payload)) {
        // Unlike the reference rule, the element type is looked at only when an element is due: an unknown
        // type with no elements is an empty list. The header has read the count before refusing the type.
        if (count != 0 || reader.error.kind != wire::ErrorKind::UnknownTag) return nullptr;
        reader.error = wire::DecodeError{};
        return made(PyList_New(0));
    }
    if (type == wire::TYPED_BYTES) {
        if constexpr (Shape::solr_json) return json_bytes(payload);
        return made(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(payload.data),
                                              static_cast<Py_ssize_t>(payload.size)));
    }
    // The header has checked that the payload holds every element, so the list is never sized by a count
    // the input cannot fill.
    PyRef list = PyRef::steal(PyList_New(count));
    if (!list) return python_failed();
    PyObject* slots = list.get();
    const uint8_t* p = payload.data;
    auto boolean = [](uint8_t b) { return PyRef::borrow(wire::typed_bool(b) ? Py_True : Py_False); };
    auto small = [](long x) { return PyRef::steal(PyLong_FromLong(x)); };
    auto real = [this](double x) {
        if constexpr (Shape::solr_json) return json_float(x);
        return PyRef::steal(PyFloat_FromDouble(x));
    };
    auto real32 = [this](float x) {
        if constexpr (Shape::solr_json) return json_float32(x);
        return PyRef::steal(PyFloat_FromDouble(x));
    };
    bool filled = false;
    switch (type) {
        case wire::TYPED_BOOL: case wire::TYPED_BOOL_TOO: filled = fill_typed<uint8_t>(slots, count, p, boolean); break;
        case wire::TYPED_SHORT: filled = fill_typed<int16_t>(slots, count, p, small); break;
        case wire::TYPED_INT: filled = fill_typed<int32_t>(slots, count, p, small); break;
        case wire::TYPED_LONG: filled = fill_typed<int64_t>(slots, count, p, [](long long x) { return PyRef::steal(PyLong_FromLongLong(x)); }); break;
        case wire::TYPED_DOUBLE: filled = fill_typed<double>(slots, count, p, real); break;
        case wire::TYPED_FLOAT: filled = fill_typed<float>(slots, count, p, real32); break;
    }
    return filled ? std::move(list) : python_failed();
}

template <class Shape>
PyRef BasicPyDecoder<Shape>::read_value() {
    uint64_t tag_offset = reader.position();
    uint8_t tag;
    if (!reader.read_u8(&tag)) return nullptr;
    PyObject* result;
    switch (wire::group_of(tag)) {
        case wire::GROUP_EXTERN_STRING: return read_extern(tag);
        case wire::GROUP_STR: {
            uint64_t size;
            if (!reader.read_size(tag, &size)) return nullptr;
            return read_string(size);
        }
        case wire::GROUP_SINT: {
            int32_t v;
            if (!read_small_int(reader, tag, &v)) return nullptr;
            result = PyLong_FromLong(v);
            break;
        }
        case wire::GROUP_SLONG: {
            int64_t v;
            if (!read_small_long(reader, tag, &v)) return nullptr;
            result = PyLong_FromLongLong(v);
            break;
        }
        case wire::GROUP_ARR: return read_array(tag);
        case wire::GROUP_ORDERED_MAP: return read_named_list(tag);
        case wire::GROUP_NAMED_LST:
            if constexpr (Shape::solr_json) return read_styled_named_list(tag);
            return read_named_list(tag);
        default:
            switch (tag) {
                case wire::NULL_TAG: return PyRef::borrow(Py_None);
                case wire::BOOL_TRUE: return PyRef::borrow(Py_True);
                case wire::BOOL_FALSE: return PyRef::borrow(Py_False);
                case wire::BYTE: {
                    int32_t v;
                    if (!read_byte(reader, &v)) return nullptr;
                    result = PyLong_FromLong(v);
                    break;
                }
                case wire::SHORT: {
                    int32_t v;
                    if (!read_short(reader, &v)) return nullptr;
                    result = PyLong_FromLong(v);
                    break;
                }
                case wire::INT: {
                    int32_t v;
                    if (!read_int(reader, &v)) return nullptr;
                    result = PyLong_FromLong(v);
                    break;
                }
                case wire::LONG:
                case wire::DATE: {
                    int64_t v;
                    if (!read_long(reader, &v)) return nullptr;
                    if constexpr (Shape::solr_json)
                        if (tag == wire::DATE) return json_date(v);
                    result = PyLong_FromLongLong(v);
                    break;
                }
                case wire::FLOAT: {
                    float v;
                    if (!read_float(reader, &v)) return nullptr;
                    if constexpr (Shape::solr_json) return json_float32(v);
                    result = PyFloat_FromDouble(v);
                    break;
                }
                case wire::DOUBLE: {
                    double v;
                    if (!read_double(reader, &v)) return nullptr;
                    if constexpr (Shape::solr_json) return json_float(v);
                    result = PyFloat_FromDouble(v);
                    break;
                }
                case wire::MAP: return read_map();
                case wire::SOLRDOC: return read_document(false);
                case wire::SOLRDOCLST: return read_document_list();
                case wire::BYTEARR: return read_bytes();
                case wire::ITERATOR: return read_iterator();
                case wire::END: return PyRef::borrow(end_marker());
                case wire::SOLRINPUTDOC: return read_document(true);
                case wire::MAP_ENTRY_ITER: return read_map_entry_iter();
                case wire::ENUM_FIELD_VALUE: return read_enum();
                case wire::MAP_ENTRY: return read_map_entry();
                case wire::TYPED_ARR: return read_typed_array();
                default:
                    reader.fail_unknown_tag(tag_offset, tag);
                    return nullptr;
            }
    }
    return made(result);
}

template class BasicPyDecoder<ObjectShape>;
template class BasicPyDecoder<SolrJsonShape>;

namespace {

template <class Shape>
PyObject* decode_body(wire::ByteSpan data, NamedListStyle style, wire::DecodeError* error) {
    ExternTable table;
    BasicPyDecoder<Shape> decoder(data.data, data.size, table);
    decoder.named_lists = style;
    Reader& r = decoder.reader;
    GcPause gc;
    if (!read_version(r)) {
        *error = std::move(r.error);
        return nullptr;
    }
    decoder.depth = 1;
    PyRef value = decoder.read_value();
    decoder.depth = 0;
    if (value.get() == end_marker()) {
        value = PyRef();
        r.fail_unexpected("value", r.position() - 1, "END marker");
    } else if (value && !r.at_end()) {
        value = PyRef();
        r.fail_trailing(r.remaining());
    }
    if (!value) *error = std::move(r.error);
    return value.release();
}

}  // namespace

PyObject* deserialize(wire::ByteSpan data, wire::DecodeError* error) {
    return decode_body<ObjectShape>(data, NamedListStyle::Flat, error);
}

PyObject* deserialize_solr_json(wire::ByteSpan data, NamedListStyle style, wire::DecodeError* error) {
    return decode_body<SolrJsonShape>(data, style, error);
}

bool deliver(PyObject* callback, PyObject* element, GcPause& gc) {
    PyObject* result = gc.resume([&] { return PyObject_CallFunctionObjArgs(callback, element, nullptr); });
    if (!result) return false;
    Py_DECREF(result);
    return true;
}

namespace {

/// Streams the documents of one whole body: the consumer of the envelope walk that builds the envelope as
/// deserialize() would, except that each document goes to the callback as soon as it is read and every
/// "docs" it came from is left an empty list.
class DocumentStreamer {
public:
    using Value = PyRef;

    DocumentStreamer(wire::ByteSpan data, PyObject* callback) : decoder_(data.data, data.size, table_), callback_(callback) {}

    PyObject* run(wire::DecodeError* error) {
        PyRef envelope;
        Reader& r = decoder_.reader;
        if (EnvelopeWalker<DocumentStreamer>(decoder_, *this).walk(&envelope) != Walk::Next) {
            envelope = PyRef();
        } else if (!r.at_end()) {
            envelope = PyRef();
            r.fail_trailing(r.remaining());  // only after every document has been delivered
        }
        if (!envelope) *error = std::move(r.error);
        return envelope.release();
    }

    // The walk's consumer (see EnvelopeWalker).

    bool open(PyRef* out) {
        *out = PyRef::steal(PyDict_New());
        return *out || fail_python(&decoder_.reader.error);
    }
    /// Every container is a dict: unlike deserialize(), a MAP response container too, whatever its keys.
    bool store(PyRef& container, PyObject* key, PyRef value) {
        return decoder_.store_pair(container.get(), key, value.get());
    }
    Walk not_an_envelope(PyRef* out) {
        // Decoded whole, nothing delivered.
        Reader& r = decoder_.reader;
        decoder_.depth = 1;
        PyRef value = decoder_.read_value();
        decoder_.depth = 0;
        if (value.get() == end_marker()) {
            r.fail_unexpected("value", r.position() - 1, "END marker");
            return Walk::Failed;
        }
        *out = std::move(value);
        return *out ? Walk::Next : Walk::Failed;
    }
    Walk plain(PyRef* out) {
        *out = decoder_.read_required();
        return *out ? Walk::Next : Walk::Failed;
    }
    Walk response_ended() { return Walk::Next; }  // the envelope is returned whole, so the walk reads on
    bool list_header(PyRef* out) {
        *out = decoder_.read_document_list_header();
        return bool(*out);
    }
    // The two delivery loops stay out of line: inlined into the walk, they share its registers and run slower.
    VELKORA_OUT_OF_LINE Walk counted_docs(uint64_t count, PyRef* out) {
        for (uint64_t i = 0; i < count; ++i) {
            PyRef element = decoder_.read_required();
            if (!element) return Walk::Failed;
            if (!deliver(callback_, element.get(), gc_)) return python_failed();
        }
        return empty_list(out);
    }
    VELKORA_OUT_OF_LINE Walk iterator_docs(PyRef* out) {
        for (;;) {
            PyRef element = decoder_.read_part_or_end();
            if (!element) return Walk::Failed;
            if (element.get() == end_marker()) return empty_list(out);
            if (!deliver(callback_, element.get(), gc_)) return python_failed();
        }
    }
    Walk other_docs(PyRef* out) { return plain(out); }  // kept as read
    Walk list_docs_not_array(PyRef* out) {
        PyRef other = decoder_.read_required();  // read and dropped, nothing delivered
        if (!other) return Walk::Failed;
        return empty_list(out);
    }

private:
    Walk python_failed() {
        fail_python(&decoder_.reader.error);
        return Walk::Failed;
    }
    Walk empty_list(PyRef* out) {
        *out = PyRef::steal(PyList_New(0));
        return *out ? Walk::Next : python_failed();
    }

    ExternTable table_;
    PyDecoder decoder_;
    PyObject* callback_;
    GcPause gc_;
};

}  // namespace

PyObject* deserialize_stream(wire::ByteSpan data, PyObject* callback, wire::DecodeError* error) {
    DocumentStreamer streamer(data, callback);
    return streamer.run(error);
}

}  // namespace velkora::py
