// src/python/py_decoder.cpp: the fast Python-object decoder, and document streaming of a whole body to a callback.
#include "python/py_decoder.hpp"

#include <cstring>
#include <string_view>

#include "python/envelope.hpp"

namespace velkora::pydecode {

using wire::ByteSpan;
using wire::Reader;

namespace {

Names g_names{};
// Only its address is used: END is never a real object.
char g_end_marker_storage;

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

bool is_str(PyObject* o) { return PyUnicode_Check(o); }

/// Fills the `count` slots of `list` from the big-endian elements of type T at `p`, each made by `make(element)`
/// (a new reference). False when making one failed, with the exception pending.
template <typename T, typename Make>
VELKORA_INLINE bool fill_typed(PyObject* list, uint32_t count, const uint8_t* p, Make make) {
    for (uint32_t i = 0; i < count; ++i, p += sizeof(T)) {
        PyObject* item = make(wire::load_be<T>(p));
        if (!item) return false;
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
    }
    return true;
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
            intern("docs"),     intern("_childDocuments_"), intern("int"),      intern("string")};
    if (!n.num_found || !n.start || !n.max_score || !n.num_found_exact || !n.docs || !n.child_documents ||
        !n.int_key || !n.string_key)
        return false;
    g_names = n;
    return true;
}

const Names& names() { return g_names; }

PyObject* end_marker() { return reinterpret_cast<PyObject*>(&g_end_marker_storage); }

PyObject* PyDecoder::python_failed() {
    reader.fail_python();
    return nullptr;
}

PyObject* PyDecoder::read_required() {
    PyObject* value = read_part_or_end();
    if (VELKORA_UNLIKELY(value == end_marker())) {
        reader.fail_unexpected("value", reader.position() - 1, "END marker");
        return nullptr;
    }
    return value;
}

PyObject* PyDecoder::read_part_or_end() {
    if (VELKORA_UNLIKELY(depth + 1 > wire::MAX_DEPTH)) {
        reader.fail_depth(reader.position());
        return nullptr;
    }
    ++depth;
    PyObject* value = read_value();
    --depth;
    return value;
}

PyObject* PyDecoder::read_named_key() {
    uint64_t key_offset = reader.position();
    PyObject* key = read_required();
    if (key && key != Py_None && !is_str(key)) {
        Py_DECREF(key);
        reader.fail_unexpected("string or null", key_offset, "non-string");
        return nullptr;
    }
    return key;
}

bool PyDecoder::store_pair(PyObject* dict, PyObject* key, PyObject* value) {
    if (VELKORA_LIKELY(PyDict_SetItem(dict, key, value) == 0)) return true;
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        return reader.fail_unexpected("hashable map key", reader.position(), "unhashable value");
    }
    return reader.fail_python();
}

PyObject* PyDecoder::read_string(uint64_t size) {
    uint64_t start = reader.position();
    ByteSpan s;
    if (!reader.take(size, &s)) return nullptr;
    if (s.size < ShortStrings::kMinBytes || s.size > ShortStrings::kMaxBytes) return make_string(s, start);
    return short_strings_.get(s.data, s.size, [&] { return make_string(s, start); });
}

/// The `str` of `s`, read from `start`; a new reference, or nullptr with the failure recorded.
PyObject* PyDecoder::make_string(ByteSpan s, uint64_t start) {
    // The interpreter's strict decoder accepts exactly the well-formed UTF-8 we accept, so it validates
    // while it copies; only a refused string is examined again, for the fault's exact place.
    PyObject* text = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(s.data), static_cast<Py_ssize_t>(s.size), nullptr);
    if (VELKORA_LIKELY(text != nullptr)) return text;
    wire::Utf8Failure failure;
    if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError) && !wire::validate_utf8_slow(s.data, s.size, &failure)) {
        PyErr_Clear();
        reader.fail_utf8(start, failure);
        return nullptr;
    }
    return python_failed();
}

PyObject* PyDecoder::read_extern(uint8_t tag) {
    uint64_t index;
    if (!reader.read_size(tag, &index)) return nullptr;
    if (VELKORA_LIKELY(index != 0)) {
        if (VELKORA_UNLIKELY(index - 1 >= table.size())) {
            reader.fail_beyond_table(reader.position());
            return nullptr;
        }
        PyObject* text = table.at(index - 1);
        Py_INCREF(text);
        return text;
    }
    // A new string: only the header byte's low five bits count; its top three bits are not checked.
    uint8_t header;
    uint64_t size;
    if (!reader.read_u8(&header) || !reader.read_size(header, &size)) return nullptr;
    uint64_t start = reader.position();
    ByteSpan s;
    if (!reader.take(size, &s)) return nullptr;
    PyObject* text = make_string(s, start);  // made once per response anyway: kept out of the short strings
    if (!text) return nullptr;
    PyUnicode_InternInPlace(&text);
    Py_INCREF(text);
    table.push(text);
    return text;
}

PyObject* PyDecoder::read_bytes() {
    uint32_t length;
    ByteSpan b;
    if (!reader.read_vint(&length) || !reader.take(length, &b)) return nullptr;
    PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data), static_cast<Py_ssize_t>(b.size));
    return bytes ? bytes : python_failed();
}

PyObject* PyDecoder::read_array(uint8_t tag) {
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
            PyObject* element = read_required();
            if (!element) {
                unfilled_ -= size - i;
                return nullptr;
            }
            --unfilled_;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), element);
        }
        return list.release();
    }
    // More than the input can fill: grow with the elements actually present until the input runs out.
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return python_failed();
    for (uint64_t i = 0; i < size; ++i) {
        PyRef element = PyRef::steal(read_required());
        if (!element) return nullptr;
        if (PyList_Append(list.get(), element.get()) != 0) return python_failed();
    }
    return list.release();
}

PyObject* PyDecoder::read_named_list(uint8_t tag) {
    uint64_t size;
    if (!reader.read_size(tag, &size)) return nullptr;
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return python_failed();
    for (uint64_t i = 0; i < size; ++i) {
        PyRef key = PyRef::steal(read_named_key());
        if (!key) return nullptr;
        PyRef value = PyRef::steal(read_required());
        if (!value) return nullptr;
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) return python_failed();
    }
    return dict.release();
}

PyObject* PyDecoder::read_map() {
    uint32_t count;
    if (!reader.read_vint(&count)) return nullptr;
    // Keys and values alternate; the reservation is clamped by the input, as every entry takes bytes.
    struct Pairs {
        std::vector<PyObject*> items;
        ~Pairs() {
            for (PyObject* o : items) Py_XDECREF(o);  // entries moved into pair lists are left null
        }
    } pairs;
    pairs.items.reserve(2 * std::min<uint64_t>(count, reader.remaining()));
    bool string_keys = true;
    for (uint32_t i = 0; i < count; ++i) {
        PyObject* key = read_required();
        if (!key) return nullptr;
        pairs.items.push_back(key);
        string_keys = string_keys && is_str(key);
        PyObject* value = read_required();
        if (!value) return nullptr;
        pairs.items.push_back(value);
    }
    if (string_keys) {
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) return python_failed();
        for (size_t i = 0; i < pairs.items.size(); i += 2)
            if (PyDict_SetItem(dict.get(), pairs.items[i], pairs.items[i + 1]) != 0) return python_failed();
        return dict.release();
    }
    // Some key is not a string: the entries become [key, value] lists, in wire order, duplicates kept.
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return python_failed();
    for (size_t i = 0; i < pairs.items.size(); i += 2) {
        PyObject* pair = PyList_New(2);
        if (!pair) return python_failed();
        PyList_SetItem(pair, 0, std::exchange(pairs.items[i], nullptr));
        PyList_SetItem(pair, 1, std::exchange(pairs.items[i + 1], nullptr));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i / 2), pair);
    }
    pairs.items.clear();
    return list.release();
}

PyObject* PyDecoder::read_map_entry_iter() {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return python_failed();
    for (;;) {
        PyRef key = PyRef::steal(read_part_or_end());
        if (!key) return nullptr;
        if (key.get() == end_marker()) {
            (void)key.release();
            return dict.release();
        }
        PyRef value = PyRef::steal(read_required());
        if (!value || !store_pair(dict.get(), key.get(), value.get())) return nullptr;
    }
}

PyObject* PyDecoder::read_map_entry() {
    PyRef key = PyRef::steal(read_required());
    if (!key) return nullptr;
    PyRef value = PyRef::steal(read_required());
    if (!value) return nullptr;
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return python_failed();
    if (!store_pair(dict.get(), key.get(), value.get())) return nullptr;
    return dict.release();
}

PyObject* PyDecoder::read_iterator() {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return python_failed();
    for (;;) {
        PyRef element = PyRef::steal(read_part_or_end());
        if (!element) return nullptr;
        if (element.get() == end_marker()) {
            (void)element.release();
            return list.release();
        }
        if (PyList_Append(list.get(), element.get()) != 0) return python_failed();
    }
}

PyObject* PyDecoder::read_enum() {
    PyRef first = PyRef::steal(read_required());
    if (!first) return nullptr;
    PyRef second = PyRef::steal(read_required());
    if (!second) return nullptr;
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict || PyDict_SetItem(dict.get(), names().int_key, first.get()) != 0 ||
        PyDict_SetItem(dict.get(), names().string_key, second.get()) != 0)
        return python_failed();
    return dict.release();
}

/// A document at the current depth. Each entry opens with an item classified by its tag byte alone: a
/// string names a field whose value follows; SOLRDOC or SOLRINPUTDOC is an anonymous child document one
/// level deeper (Solr writes a SolrInputDocument's children as SOLRINPUTDOC); in an input document, float
/// field boosts before a name are skipped.
PyObject* PyDecoder::read_document(bool input_document) {
    uint64_t count;
    if (input_document) {
        uint32_t n;
        if (!reader.read_vint(&n)) return nullptr;
        count = n;
        PyObject* boost = read_required();  // the document boost, of any kind, is dropped
        if (!boost) return nullptr;
        Py_DECREF(boost);
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
        switch (tag >> 5) {
            case wire::GROUP_EXTERN_STRING: {
                // The common case, a name referred to by a one-byte index, borrows the table's reference.
                size_t index = tag & 0x1F;
                if (VELKORA_LIKELY(index != 0 && index != 31 && index <= table.size())) {
                    key = PyRef::borrow(table.at(index - 1));
                    break;
                }
                key = PyRef::steal(read_extern(tag));
                break;
            }
            case wire::GROUP_STR: {
                uint64_t size;
                if (!reader.read_size(tag, &size)) return nullptr;
                key = PyRef::steal(read_string(size));
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
                PyRef child = PyRef::steal(read_document(tag == wire::SOLRINPUTDOC));
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
        PyRef value = PyRef::steal(read_required());
        if (!value) return nullptr;
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) return python_failed();
    }
    if (children && PyDict_SetItem(dict.get(), names().child_documents, children.get()) != 0) return python_failed();
    return dict.release();
}

/// The header items are stored as decoded, None where the header is short; "docs" whatever it is.
PyObject* PyDecoder::read_document_list_header() {
    PyRef header = PyRef::steal(read_required());
    if (!header) return nullptr;
    if (!PyList_Check(header.get())) {
        reader.fail_unexpected("SolrDocumentList header array", reader.position(), "non-array");
        return nullptr;
    }
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return python_failed();
    Py_ssize_t length = PyList_Size(header.get());
    PyObject* keys[] = {names().num_found, names().start, names().max_score, names().num_found_exact};
    for (Py_ssize_t i = 0; i < 4; ++i) {
        PyObject* item = i < length ? PyList_GetItem(header.get(), i) : Py_None;
        if (PyDict_SetItem(dict.get(), keys[i], item) != 0) return python_failed();
    }
    return dict.release();
}

PyObject* PyDecoder::read_document_list() {
    PyRef dict = PyRef::steal(read_document_list_header());
    if (!dict) return nullptr;
    PyRef docs = PyRef::steal(read_required());
    if (!docs) return nullptr;
    if (PyDict_SetItem(dict.get(), names().docs, docs.get()) != 0) return python_failed();
    return dict.release();
}

PyObject* PyDecoder::read_typed_array() {
    uint8_t type;
    uint32_t count = 0;
    ByteSpan payload;
    if (!read_typed_array_header(reader, &type, &count, &payload)) {
        // Unlike the reference rule, the element type is looked at only when an element is due: an unknown
        // type with no elements is an empty list. The header has read the count before refusing the type.
        if (count != 0 || reader.error.kind != wire::ErrorKind::UnknownTag) return nullptr;
        reader.error = wire::DecodeError{};
        PyObject* empty = PyList_New(0);
        return empty ? empty : python_failed();
    }
    if (type == 3) {
        PyObject* bytes =
            PyBytes_FromStringAndSize(reinterpret_cast<const char*>(payload.data), static_cast<Py_ssize_t>(payload.size));
        return bytes ? bytes : python_failed();
    }
    // The header has checked that the payload holds every element, so the list is never sized by a count
    // the input cannot fill.
    PyRef list = PyRef::steal(PyList_New(count));
    if (!list) return python_failed();
    PyObject* slots = list.get();
    const uint8_t* p = payload.data;
    auto boolean = [](uint8_t b) { return Py_NewRef(wire::typed_bool(b) ? Py_True : Py_False); };
    auto small = [](long x) { return PyLong_FromLong(x); };
    auto real = [](double x) { return PyFloat_FromDouble(x); };
    bool filled = false;
    switch (type) {
        case 1: case 2: filled = fill_typed<uint8_t>(slots, count, p, boolean); break;
        case 4: filled = fill_typed<int16_t>(slots, count, p, small); break;
        case 6: filled = fill_typed<int32_t>(slots, count, p, small); break;
        case 7: filled = fill_typed<int64_t>(slots, count, p, [](long long x) { return PyLong_FromLongLong(x); }); break;
        case 5: filled = fill_typed<double>(slots, count, p, real); break;
        case 8: filled = fill_typed<float>(slots, count, p, real); break;
    }
    return filled ? list.release() : python_failed();
}

PyObject* PyDecoder::read_value() {
    uint64_t tag_offset = reader.position();
    uint8_t tag;
    if (!reader.read_u8(&tag)) return nullptr;
    PyObject* result;
    switch (tag >> 5) {
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
        case wire::GROUP_ORDERED_MAP:
        case wire::GROUP_NAMED_LST: return read_named_list(tag);
        default:
            switch (tag) {
                case wire::NULL_TAG: Py_INCREF(Py_None); return Py_None;
                case wire::BOOL_TRUE: Py_INCREF(Py_True); return Py_True;
                case wire::BOOL_FALSE: Py_INCREF(Py_False); return Py_False;
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
                    result = PyLong_FromLongLong(v);
                    break;
                }
                case wire::FLOAT: {
                    float v;
                    if (!read_float(reader, &v)) return nullptr;
                    result = PyFloat_FromDouble(v);
                    break;
                }
                case wire::DOUBLE: {
                    double v;
                    if (!read_double(reader, &v)) return nullptr;
                    result = PyFloat_FromDouble(v);
                    break;
                }
                case wire::MAP: return read_map();
                case wire::SOLRDOC: return read_document(false);
                case wire::SOLRDOCLST: return read_document_list();
                case wire::BYTEARR: return read_bytes();
                case wire::ITERATOR: return read_iterator();
                case wire::END: return end_marker();
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
    return result ? result : python_failed();
}

PyObject* deserialize(wire::ByteSpan data, wire::DecodeError* error) {
    ExternTable table;
    PyDecoder decoder(data.data, data.size, table);
    Reader& r = decoder.reader;
    GcPause gc;
    if (!read_version(r)) {
        *error = std::move(r.error);
        return nullptr;
    }
    decoder.depth = 1;
    PyRef value = PyRef::steal(decoder.read_value());
    decoder.depth = 0;
    if (value.get() == end_marker()) {
        (void)value.release();
        r.fail_unexpected("value", r.position() - 1, "END marker");
    } else if (value && !r.at_end()) {
        value = PyRef();
        r.fail_trailing(r.remaining());
    }
    if (!value) *error = std::move(r.error);
    return value.release();
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
        return *out || decoder_.reader.fail_python();
    }
    /// Every container is a dict: unlike deserialize(), a MAP response container too, whatever its keys.
    bool store(PyRef& container, PyObject* key, PyRef value) {
        return decoder_.store_pair(container.get(), key, value.get());
    }
    Walk not_an_envelope(PyRef* out) {
        // Decoded whole, nothing delivered.
        Reader& r = decoder_.reader;
        decoder_.depth = 1;
        PyObject* value = decoder_.read_value();
        decoder_.depth = 0;
        if (value == end_marker()) {
            r.fail_unexpected("value", r.position() - 1, "END marker");
            return Walk::Failed;
        }
        *out = PyRef::steal(value);
        return *out ? Walk::Next : Walk::Failed;
    }
    Walk plain(PyRef* out) {
        *out = PyRef::steal(decoder_.read_required());
        return *out ? Walk::Next : Walk::Failed;
    }
    Walk response_ended() { return Walk::Next; }  // the envelope is returned whole, so the walk reads on
    bool list_header(PyRef* out) {
        *out = PyRef::steal(decoder_.read_document_list_header());
        return bool(*out);
    }
    // The two delivery loops stay out of line: inlined into the walk, they share its registers and run slower.
    VELKORA_OUT_OF_LINE Walk counted_docs(uint64_t count, PyRef* out) {
        for (uint64_t i = 0; i < count; ++i) {
            PyRef element = PyRef::steal(decoder_.read_required());
            if (!element) return Walk::Failed;
            if (!deliver(callback_, element.get(), gc_)) return python_failed();
        }
        return empty_list(out);
    }
    VELKORA_OUT_OF_LINE Walk iterator_docs(PyRef* out) {
        for (;;) {
            PyRef element = PyRef::steal(decoder_.read_part_or_end());
            if (!element) return Walk::Failed;
            if (element.get() == end_marker()) {
                (void)element.release();
                return empty_list(out);
            }
            if (!deliver(callback_, element.get(), gc_)) return python_failed();
        }
    }
    Walk other_docs(PyRef* out) { return plain(out); }  // kept as read
    Walk list_docs_not_array(PyRef* out) {
        PyRef other = PyRef::steal(decoder_.read_required());  // read and dropped, nothing delivered
        if (!other) return Walk::Failed;
        return empty_list(out);
    }

private:
    Walk python_failed() {
        decoder_.reader.fail_python();
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

}  // namespace velkora::pydecode
