// src/python/safe_decoder.cpp: the reference Python-object decoder, kept apart from the fast one on purpose.
//
// It produces the same objects as the fast decoder by a deliberately plainer route: every object is
// created through a checked wrapper that owns it, every list grows by appending, and every decode error
// is raised as a Python exception where it is detected. The two are compared against each other in the
// tests, so they share the reader primitives and nothing else but the process-wide table of field names
// (FieldNames), through which both hand out the same `str` for a name that recurs across responses.
#include "python/safe_decoder.hpp"

#include <new>
#include <string_view>
#include <vector>

#include "python/errors.hpp"
#include "python/py_decoder.hpp"

namespace velkora::py {

using wire::ByteSpan;
using wire::Reader;

namespace {

/// What one read produced: an object, the END marker, or a raised Python exception.
struct Read {
    enum class Kind { Object, End, Raised } kind;
    PyRef object;

    static Read value(PyRef o) { return {Kind::Object, std::move(o)}; }
    static Read end() { return {Kind::End, PyRef()}; }
    static Read raised() { return {Kind::Raised, PyRef()}; }
    bool ok() const { return kind == Kind::Object; }
};

/// Owns a freshly created object. The constructors used here fail only when memory runs out, which is
/// MemoryError (std::bad_alloc, raised as such by the call guard); any other failure is an internal fault.
PyRef created(PyObject* object) {
    if (!object) {
        bool memory = PyErr_ExceptionMatches(PyExc_MemoryError);
        PyErr_Clear();
        if (memory) throw std::bad_alloc();
        throw Panic{"the interpreter could not create an object"};
    }
    return PyRef::steal(object);
}

class SafeDecoder {
public:
    SafeDecoder(const uint8_t* data, size_t len) : r_(data, len) {}

    Read top_level() {
        if (!read_version(r_)) return raise();
        depth_ = 1;
        Read value = read_value();
        depth_ = 0;
        if (value.kind == Read::Kind::End) return fail_unexpected("value", r_.position() - 1, "END marker");
        if (value.ok() && !r_.at_end()) {
            r_.fail_trailing(r_.remaining());
            return raise();
        }
        return value;
    }

private:
    /// Raises the reader's pending DecodeError as ValueError.
    Read raise() {
        to_value_error(r_.error);
        return Read::raised();
    }
    Read fail_unexpected(const char* expected, uint64_t offset, const char* found) {
        r_.fail_unexpected(expected, offset, found);
        return raise();
    }

    Read required() {
        Read value = part_or_end();
        if (value.kind == Read::Kind::End) return fail_unexpected("value", r_.position() - 1, "END marker");
        return value;
    }

    Read part_or_end() {
        if (depth_ + 1 > wire::MAX_DEPTH) {
            r_.fail_depth(r_.position());
            return raise();
        }
        ++depth_;
        Read value = read_value();
        --depth_;
        return value;
    }

    bool append(const PyRef& list, const PyRef& item) { return PyList_Append(list.get(), item.get()) == 0; }

    /// Stores a pair; an unhashable key becomes the "hashable map key" error, other failures pass through.
    bool store(const PyRef& dict, const PyRef& key, const PyRef& value) {
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) == 0) return true;
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            fail_unexpected("hashable map key", r_.position(), "unhashable value");
        }
        return false;
    }

    Read text(uint64_t size) {
        ByteSpan s;
        if (!r_.take_utf8(size, &s)) return raise();
        return Read::value(created(
            PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(s.data), static_cast<Py_ssize_t>(s.size))));
    }

    Read extern_string(uint8_t tag) {
        uint64_t index;
        if (!r_.read_size(tag, &index)) return raise();
        if (index > 0) {
            if (index - 1 >= table_.size()) {
                r_.fail_beyond_table(r_.position());
                return raise();
            }
            return Read::value(PyRef::borrow(table_[index - 1].get()));
        }
        uint8_t header;
        uint64_t size;
        if (!r_.read_u8(&header) || !r_.read_size(header, &size)) return raise();
        ByteSpan s;
        if (!r_.take_utf8(size, &s)) return raise();  // checked here even when the name is remembered
        PyRef owned = created(py::FieldNames::get(s.data, s.size, [&] {
            return PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(s.data), static_cast<Py_ssize_t>(s.size));
        }));
        table_.push_back(PyRef::borrow(owned.get()));
        return Read::value(std::move(owned));
    }

    Read list_of(uint64_t count) {
        PyRef list = created(PyList_New(0));
        for (uint64_t i = 0; i < count; ++i) {
            Read element = required();
            if (!element.ok()) return element;
            if (!append(list, element.object)) return Read::raised();
        }
        return Read::value(std::move(list));
    }

    Read named_list(uint64_t count) {
        PyRef dict = created(PyDict_New());
        for (uint64_t i = 0; i < count; ++i) {
            uint64_t key_offset = r_.position();
            Read key = required();
            if (!key.ok()) return key;
            if (key.object.get() != Py_None && !PyUnicode_Check(key.object.get()))
                return fail_unexpected("string or null", key_offset, "non-string");
            Read value = required();
            if (!value.ok()) return value;
            if (!store(dict, key.object, value.object)) return Read::raised();
        }
        return Read::value(std::move(dict));
    }

    Read map(uint32_t count) {
        std::vector<std::pair<PyRef, PyRef>> entries;
        bool string_keys = true;
        for (uint32_t i = 0; i < count; ++i) {
            Read key = required();
            if (!key.ok()) return key;
            Read value = required();
            if (!value.ok()) return value;
            string_keys = string_keys && PyUnicode_Check(key.object.get());
            entries.emplace_back(std::move(key.object), std::move(value.object));
        }
        if (string_keys) {
            PyRef dict = created(PyDict_New());
            for (auto& [k, v] : entries)
                if (!store(dict, k, v)) return Read::raised();
            return Read::value(std::move(dict));
        }
        PyRef pairs = created(PyList_New(0));
        for (auto& [k, v] : entries) {
            PyRef pair = created(PyList_New(0));
            if (!append(pair, k) || !append(pair, v) || !append(pairs, pair)) return Read::raised();
        }
        return Read::value(std::move(pairs));
    }

    Read map_entry_iter() {
        PyRef dict = created(PyDict_New());
        for (;;) {
            Read key = part_or_end();
            if (key.kind == Read::Kind::End) return Read::value(std::move(dict));
            if (!key.ok()) return key;
            Read value = required();
            if (!value.ok()) return value;
            if (!store(dict, key.object, value.object)) return Read::raised();
        }
    }

    Read iterator() {
        PyRef list = created(PyList_New(0));
        for (;;) {
            Read element = part_or_end();
            if (element.kind == Read::Kind::End) return Read::value(std::move(list));
            if (!element.ok()) return element;
            if (!append(list, element.object)) return Read::raised();
        }
    }

    Read document(bool input_document) {
        uint64_t count;
        if (input_document) {
            uint32_t n;
            if (!r_.read_vint(&n)) return raise();
            count = n;
            Read boost = required();
            if (!boost.ok()) return boost;
        } else {
            uint8_t header;
            if (!r_.read_u8(&header) || !r_.read_size(header, &count)) return raise();
        }
        PyRef dict = created(PyDict_New());
        PyRef children;
        for (uint64_t i = 0; i < count; ++i) {
            uint64_t tag_offset = r_.position();
            uint8_t tag;
            if (!r_.read_u8(&tag)) return raise();
            while (input_document && tag == wire::FLOAT) {  // field boosts of older writers
                uint32_t boost;
                tag_offset = r_.position() + 4;
                if (!r_.read_be(&boost) || !r_.read_u8(&tag)) return raise();
            }
            Read key = Read::raised();
            if (wire::group_of(tag) == wire::GROUP_EXTERN_STRING) {
                key = extern_string(tag);
            } else if (wire::group_of(tag) == wire::GROUP_STR) {
                uint64_t size;
                if (!r_.read_size(tag, &size)) return raise();
                key = text(size);
            } else if (tag == wire::SOLRDOC || tag == wire::SOLRINPUTDOC) {
                if (depth_ + 1 > wire::MAX_DEPTH) {
                    r_.fail_depth(tag_offset);
                    return raise();
                }
                ++depth_;
                Read child = document(tag == wire::SOLRINPUTDOC);
                --depth_;
                if (!child.ok()) return child;
                if (!children) children = created(PyList_New(0));
                if (!append(children, child.object)) return Read::raised();
                continue;
            } else {
                return fail_unexpected(wire::kExpectedDocumentItem, tag_offset, "other");
            }
            if (!key.ok()) return key;
            Read value = required();
            if (!value.ok()) return value;
            if (!store(dict, key.object, value.object)) return Read::raised();
        }
        if (children) {
            PyRef name = created(PyUnicode_InternFromString("_childDocuments_"));
            if (!store(dict, name, children)) return Read::raised();
        }
        return Read::value(std::move(dict));
    }

    Read document_list() {
        Read header = required();
        if (!header.ok()) return header;
        if (!PyList_Check(header.object.get()))
            return fail_unexpected("SolrDocumentList header array", r_.position(), "non-array");
        PyRef dict = created(PyDict_New());
        static constexpr const char* keys[] = {"numFound", "start", "maxScore", "numFoundExact"};
        Py_ssize_t length = PyList_Size(header.object.get());
        for (Py_ssize_t i = 0; i < 4; ++i) {
            PyRef item = PyRef::borrow(i < length ? PyList_GetItem(header.object.get(), i) : Py_None);
            PyRef key = created(PyUnicode_InternFromString(keys[i]));
            if (!store(dict, key, item)) return Read::raised();
        }
        Read docs = required();
        if (!docs.ok()) return docs;
        PyRef key = created(PyUnicode_InternFromString("docs"));
        if (!store(dict, key, docs.object)) return Read::raised();
        return Read::value(std::move(dict));
    }

    Read typed_array() {
        uint64_t type_offset = r_.position();
        uint8_t type;
        uint32_t count;
        if (!r_.read_u8(&type) || !r_.read_vint(&count)) return raise();
        // The element type is checked before any element, also when there are none.
        if (wire::typed_element_width(type) == 0) {
            r_.fail_unknown_tag(type_offset, type);
            return raise();
        }
        if (type == wire::TYPED_BYTES) {
            ByteSpan b;
            if (!r_.take(count, &b)) return raise();
            return Read::value(created(
                PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data), static_cast<Py_ssize_t>(b.size))));
        }
        PyRef list = created(PyList_New(0));
        for (uint32_t i = 0; i < count; ++i) {
            PyRef item;
            if (type == wire::TYPED_BOOL || type == wire::TYPED_BOOL_TOO) {
                uint8_t b;
                if (!r_.read_u8(&b)) return raise();
                item = PyRef::borrow(b == 2 ? Py_False : Py_True);
            } else if (type == wire::TYPED_SHORT) {
                uint16_t x;
                if (!r_.read_be(&x)) return raise();
                item = created(PyLong_FromLong(static_cast<int16_t>(x)));
            } else if (type == wire::TYPED_INT) {
                uint32_t x;
                if (!r_.read_be(&x)) return raise();
                item = created(PyLong_FromLong(static_cast<int32_t>(x)));
            } else if (type == wire::TYPED_LONG) {
                uint64_t x;
                if (!r_.read_be(&x)) return raise();
                item = created(PyLong_FromLongLong(static_cast<int64_t>(x)));
            } else if (type == wire::TYPED_DOUBLE) {
                uint64_t x;
                if (!r_.read_be(&x)) return raise();
                item = created(PyFloat_FromDouble(std::bit_cast<double>(x)));
            } else {
                uint32_t x;
                if (!r_.read_be(&x)) return raise();
                item = created(PyFloat_FromDouble(std::bit_cast<float>(x)));
            }
            if (!append(list, item)) return Read::raised();
        }
        return Read::value(std::move(list));
    }

    Read read_value() {
        uint64_t tag_offset = r_.position();
        uint8_t tag;
        if (!r_.read_u8(&tag)) return raise();
        uint64_t size;
        switch (wire::group_of(tag)) {
            case wire::GROUP_STR:
                if (!r_.read_size(tag, &size)) return raise();
                return text(size);
            case wire::GROUP_SINT: {
                int32_t v;
                if (!read_small_int(r_, tag, &v)) return raise();
                return Read::value(created(PyLong_FromLong(v)));
            }
            case wire::GROUP_SLONG: {
                int64_t v;
                if (!read_small_long(r_, tag, &v)) return raise();
                return Read::value(created(PyLong_FromLongLong(v)));
            }
            case wire::GROUP_ARR:
                if (!r_.read_size(tag, &size)) return raise();
                return list_of(size);
            case wire::GROUP_ORDERED_MAP:
            case wire::GROUP_NAMED_LST:
                if (!r_.read_size(tag, &size)) return raise();
                return named_list(size);
            case wire::GROUP_EXTERN_STRING: return extern_string(tag);
            default: break;
        }
        switch (tag) {
            case wire::NULL_TAG: return Read::value(PyRef::borrow(Py_None));
            case wire::BOOL_TRUE: return Read::value(PyRef::borrow(Py_True));
            case wire::BOOL_FALSE: return Read::value(PyRef::borrow(Py_False));
            case wire::BYTE: {
                uint8_t v;
                if (!r_.read_be(&v)) return raise();
                return Read::value(created(PyLong_FromLong(static_cast<int8_t>(v))));
            }
            case wire::SHORT: {
                uint16_t v;
                if (!r_.read_be(&v)) return raise();
                return Read::value(created(PyLong_FromLong(static_cast<int16_t>(v))));
            }
            case wire::INT: {
                uint32_t v;
                if (!r_.read_be(&v)) return raise();
                return Read::value(created(PyLong_FromLong(static_cast<int32_t>(v))));
            }
            case wire::LONG:
            case wire::DATE: {
                uint64_t v;
                if (!r_.read_be(&v)) return raise();
                return Read::value(created(PyLong_FromLongLong(static_cast<int64_t>(v))));
            }
            case wire::FLOAT: {
                uint32_t v;
                if (!r_.read_be(&v)) return raise();
                return Read::value(created(PyFloat_FromDouble(std::bit_cast<float>(v))));
            }
            case wire::DOUBLE: {
                uint64_t v;
                if (!r_.read_be(&v)) return raise();
                return Read::value(created(PyFloat_FromDouble(std::bit_cast<double>(v))));
            }
            case wire::MAP: {
                uint32_t count;
                if (!r_.read_vint(&count)) return raise();
                return map(count);
            }
            case wire::SOLRDOC: return document(false);
            case wire::SOLRDOCLST: return document_list();
            case wire::BYTEARR: {
                uint32_t length;
                ByteSpan b;
                if (!r_.read_vint(&length) || !r_.take(length, &b)) return raise();
                return Read::value(created(
                    PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data), static_cast<Py_ssize_t>(b.size))));
            }
            case wire::ITERATOR: return iterator();
            case wire::END: return Read::end();
            case wire::SOLRINPUTDOC: return document(true);
            case wire::MAP_ENTRY_ITER: return map_entry_iter();
            case wire::ENUM_FIELD_VALUE: {
                Read first = required();
                if (!first.ok()) return first;
                Read second = required();
                if (!second.ok()) return second;
                PyRef dict = created(PyDict_New());
                PyRef int_key = created(PyUnicode_InternFromString("int"));
                PyRef string_key = created(PyUnicode_InternFromString("string"));
                if (!store(dict, int_key, first.object) || !store(dict, string_key, second.object))
                    return Read::raised();
                return Read::value(std::move(dict));
            }
            case wire::MAP_ENTRY: {
                Read key = required();
                if (!key.ok()) return key;
                Read value = required();
                if (!value.ok()) return value;
                PyRef dict = created(PyDict_New());
                if (!store(dict, key.object, value.object)) return Read::raised();
                return Read::value(std::move(dict));
            }
            case wire::TYPED_ARR: return typed_array();
            default:
                r_.fail_unknown_tag(tag_offset, tag);
                return raise();
        }
    }

    Reader r_;
    std::vector<PyRef> table_;
    uint32_t depth_ = 0;
};

}  // namespace

PyObject* deserialize_safe(wire::ByteSpan data) {
    SafeDecoder decoder(data.data, data.size);
    Read result = decoder.top_level();
    return result.ok() ? result.object.release() : nullptr;
}

}  // namespace velkora::py
