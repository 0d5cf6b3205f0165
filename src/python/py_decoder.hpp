// src/python/py_decoder.hpp: javabin straight into Python objects, one pass, no intermediate tree.
#pragma once

#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "python/pyref.hpp"
#include "python/field_names.hpp"
#include "python/short_strings.hpp"
#include "core/reader.hpp"

namespace velkora::py {

/// The extern strings of one decode (or one stream): `str` objects (from FieldNames), entry i answering
/// reference i + 1, so every reference to an entry is the same object. Owns one reference per entry. The
/// first entries live in the table itself, so a response of a few dozen names allocates nothing for them.
class ExternTable {
public:
    ExternTable() = default;
    ExternTable(const ExternTable&) = delete;
    ExternTable& operator=(const ExternTable&) = delete;
    ~ExternTable() {
        truncate(0);
        if (entries_ != inline_) std::free(entries_);
    }

    size_t size() const { return size_; }
    /// Borrowed reference to entry `index` (0-based); the caller checks the bound.
    PyObject* at(size_t index) const { return entries_[index]; }
    /// Takes over one reference to `text`. False when memory runs out: the reference is then released and
    /// MemoryError set.
    [[nodiscard]] bool push(PyObject* text) {
        if (VELKORA_UNLIKELY(size_ == capacity_) && !grow()) {
            Py_DECREF(text);
            PyErr_NoMemory();
            return false;
        }
        entries_[size_++] = text;
        return true;
    }
    /// Releases the entries from `length` on (a document that must be decoded again later).
    void truncate(size_t length) {
        while (size_ > length) Py_DECREF(entries_[--size_]);
    }
    void swap(ExternTable& other) noexcept {
        ExternTable held;
        held.take(*this);
        take(other);
        other.take(held);
    }

private:
    static constexpr size_t kInline = 32;

    bool grow() {
        size_t capacity = capacity_ * 2;
        auto entries = static_cast<PyObject**>(std::malloc(capacity * sizeof(PyObject*)));
        if (!entries) return false;
        std::memcpy(entries, entries_, size_ * sizeof(PyObject*));
        if (entries_ != inline_) std::free(entries_);
        entries_ = entries;
        capacity_ = capacity;
        return true;
    }
    /// Moves the entries of `from` into this table, which is empty and inline; `from` is left so.
    void take(ExternTable& from) noexcept {
        if (from.entries_ == from.inline_) {
            std::memcpy(inline_, from.inline_, from.size_ * sizeof(PyObject*));
        } else {
            entries_ = from.entries_;
            capacity_ = from.capacity_;
        }
        size_ = from.size_;
        from.entries_ = from.inline_;
        from.capacity_ = kInline;
        from.size_ = 0;
    }

    PyObject* inline_[kInline];
    PyObject** entries_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = kInline;
};

/// The type names Solr's JSON writer gives the values of a NamedList written as `json.nl=arrntv`.
enum class JsonType : uint8_t { Null, Bool, Int, Long, Float, Double, Date, Str, List, Map, Array, Doc, DocList, Count };

/// The dict keys and texts the decoders write themselves, interned once per process.
struct Names {
    PyObject* num_found;
    PyObject* start;
    PyObject* max_score;
    PyObject* num_found_exact;
    PyObject* docs;
    PyObject* child_documents;
    PyObject* int_key;
    PyObject* string_key;
    // The JSON writer's shape: non-finite numbers as strings, the arrntv keys, the key a null name becomes.
    PyObject* nan;
    PyObject* infinity;
    PyObject* minus_infinity;
    PyObject* name_key;
    PyObject* type_key;
    PyObject* value_key;
    PyObject* empty;
    PyObject* json_types[static_cast<size_t>(JsonType::Count)];
};
/// Creates the names on first call (interpreter lock held). False with an exception set on failure.
[[nodiscard]] bool init_names();
const Names& names();

/// True when `key` is a `str` whose UTF-8 text is exactly `text`.
bool key_is(PyObject* key, std::string_view text);

/// Stands for the END marker among read results; never a real object, never released.
PyObject* end_marker();

/// How Solr's JSON writer writes a NamedList (NAMED_LST), as the request's `json.nl` chooses: `flat`
/// [name, value, ...], `map` {name: value}, `arrarr` [[name, value], ...], `arrmap` [{name: value}, ...],
/// `arrntv` [{"name": n, "type": t, "value": v}, ...].
enum class NamedListStyle : uint8_t { Flat, Map, ArrArr, ArrMap, ArrNtv };

/// The objects deserialize() builds: the Python shape of every javabin value as such.
struct ObjectShape {
    static constexpr bool solr_json = false;
};
/// What json.loads gives for the text Solr's JSON writer writes for the same Java objects: dates as
/// Instant text, floats read back from Float.toString, NaN and infinities as strings, bytes as Base64,
/// enums as their string, SimpleOrderedMap and maps as dicts with string keys, NamedLists by NamedListStyle,
/// SolrDocumentList without its null maxScore and numFoundExact. Errors are those of ObjectShape.
struct SolrJsonShape {
    static constexpr bool solr_json = true;
};

/// The per-call context of the fast decoder, building the objects of `Shape` (fixed per call, so the value
/// loop never asks which). Every read returns the value it made, end_marker(), or nothing with the failure
/// in `reader.error` (PythonApi when an interpreter call failed and left its exception pending).
template <class Shape>
class BasicPyDecoder {
public:
    /// `short_strings` is what a stream remembers across its documents; without it the decoder keeps its own.
    BasicPyDecoder(const uint8_t* data, size_t len, ExternTable& table, ShortStrings* short_strings = nullptr)
        : reader(data, len), table(table), short_strings_(short_strings ? *short_strings : own_short_strings_) {}

    /// Reads one value at the current depth.
    PyRef read_value();
    /// Reads one part of the current value, one level deeper; END is an error here.
    PyRef read_required();
    /// Reads one part that may be END (a key of MAP_ENTRY_ITER, an element of ITERATOR), one level deeper.
    PyRef read_part_or_end();
    /// Reads a named-list key one level deeper: `str` or None, else the "non-string" error at its first byte.
    PyRef read_named_key();
    /// Reads a SolrDocumentList header (a list, else the "non-array" error just after it) into a dict of
    /// "numFound", "start", "maxScore", "numFoundExact", stored as decoded, None where the header is short.
    PyRef read_document_list_header();
    /// Stores key -> value in `dict` (both borrowed); a key Python cannot hash becomes the
    /// "hashable map key" error at the current position.
    [[nodiscard]] bool store_pair(PyObject* dict, PyObject* key, PyObject* value);
    /// store_pair for a MAP_ENTRY_ITER or MAP_ENTRY entry whose key began with `key_tag` (read in the JSON
    /// shape only): there the key becomes its text first, after the same unhashable check.
    [[nodiscard]] bool store_entry(PyObject* dict, uint8_t key_tag, PyRef& key, PyObject* value);

    wire::Reader reader;
    ExternTable& table;
    uint32_t depth = 0;
    NamedListStyle named_lists = NamedListStyle::Flat;  // read by SolrJsonShape only

private:
    ShortStrings own_short_strings_;  // declared before `short_strings_`, which may refer to it
    ShortStrings& short_strings_;
    /// List slots reserved up front and not yet filled, summed over every list being read.
    uint64_t unfilled_ = 0;
    /// In the JSON shape: the last map read had a key deserialize() would not make a `str` (it would then
    /// make the map a list of pairs).
    bool map_was_pairs_ = false;

    VELKORA_INLINE PyRef read_string(uint64_t size);
    PyRef make_string(wire::ByteSpan s, uint64_t start);
    VELKORA_INLINE PyRef read_extern(uint8_t tag);
    PyRef read_array(uint8_t tag);
    PyRef read_named_list(uint8_t tag);
    PyRef read_styled_named_list(uint8_t tag);
    PyRef map_key(PyObject* key);
    PyRef json_float(double value);
    PyRef json_float32(float value);
    PyRef json_date(int64_t epoch_ms);
    PyRef json_bytes(wire::ByteSpan b);
    PyRef read_map();
    /// The [key, value] lists of a dict's items, in order.
    PyRef pairs_of(PyObject* dict);
    PyRef read_map_entry_iter();
    PyRef read_map_entry();
    PyRef read_iterator();
    PyRef read_enum();
    PyRef read_document(bool input_document);
    PyRef read_document_list();
    PyRef read_typed_array();
    PyRef read_bytes();
    PyRef python_failed();
    /// `value` owned, or the failure of the interpreter call that returned nullptr.
    PyRef made(PyObject* value);
};

using PyDecoder = BasicPyDecoder<ObjectShape>;
using SolrJsonDecoder = BasicPyDecoder<SolrJsonShape>;
extern template class BasicPyDecoder<ObjectShape>;
extern template class BasicPyDecoder<SolrJsonShape>;

/// Decodes a whole body. New reference, or nullptr with `error` filled.
PyObject* deserialize(wire::ByteSpan data, wire::DecodeError* error);

/// Decodes a whole body into what json.loads gives for Solr's JSON writer's text, NamedLists by `style`.
/// New reference, or nullptr with `error` filled, exactly as deserialize() fails.
PyObject* deserialize_solr_json(wire::ByteSpan data, NamedListStyle style, wire::DecodeError* error);

/// Decodes a whole body, handing each result document to `callback` and returning the envelope with an
/// empty "docs". New reference, or nullptr with `error` filled (PythonApi when the callback raised).
PyObject* deserialize_stream(wire::ByteSpan data, PyObject* callback, wire::DecodeError* error);

/// Calls `callback(element)` with the collector at the caller's setting; false with the exception pending.
[[nodiscard]] bool deliver(PyObject* callback, PyObject* element, GcPause& gc);

}  // namespace velkora::py
