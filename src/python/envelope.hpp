// src/python/envelope.hpp: the one walk from a response's version byte to its documents, shared by document
// streaming and the chunk-fed decoder.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

#include "core/envelope.hpp"
#include "core/reader.hpp"
#include "python/py_decoder.hpp"

namespace velkora::py {

/// How a walk goes on after a step: with the next entry, stopped because the consumer has what it came
/// for, or failed with the error in the decoder's reader.
enum class Walk : uint8_t { Next, Stop, Failed };

/// Walks a response with a PyDecoder, through the envelope core/envelope.hpp describes: the "docs" of a
/// response container hold the documents as an ARR or an ITERATOR, a SOLRDOCLST's follow its header. Keys,
/// values, the header and each document stand at nesting level 1 (the decoder's depth stays 0). Unlike the
/// Arrow reading, every entry of the envelope is walked and kept, as deserialize keeps them: a response
/// entry that is no container is a plain value, and the walk goes on after the response container.
///
/// The walker holds these rules; the consumer decides what becomes of what is read, through the members
/// below, called without virtual dispatch. `Value` is what a value passed by the walk becomes (an object,
/// or nothing). A hook returning Walk may stop the walk; one returning false has failed.
///   bool open(Value*)                          a new envelope or response container
///   bool store(Value&, PyObject* key, Value)   one of its entries (the key borrowed), or a list's documents
///   Walk not_an_envelope(Value*)               a top-level value that is no envelope (not read)
///   Walk plain(Value*)                         a value the walk does not look into
///   Walk response_ended()                      a response container ended and the walk was not stopped
///   bool list_header(Value*)                   a SOLRDOCLST header, read into the list's container
///   Walk counted_docs(uint64_t count, Value*)  an ARR of `count` documents (its size read)
///   Walk iterator_docs(Value*)                 an ITERATOR of documents up to END (its tag read)
///   Walk other_docs(Value*)                    a "docs" value that is neither (not read)
///   Walk list_docs_not_array(Value*)           a SOLRDOCLST's documents that are not an ARR (not read)
template <typename Consumer>
class EnvelopeWalker {
public:
    using Value = typename Consumer::Value;

    EnvelopeWalker(PyDecoder& decoder, Consumer& consumer) : d_(decoder), c_(consumer) {}

    /// Walks from the version byte. Next when the walk reached the envelope's end, with the envelope in `out`.
    Walk walk(Value* out) {
        if (!read_version(d_.reader)) return Walk::Failed;
        uint8_t tag;
        if (!peek_tag(&tag)) return Walk::Failed;
        if (wire::is_envelope(tag)) return keyed(Level::Envelope, out);
        return c_.not_an_envelope(out);
    }

private:
    /// Whose entries a keyed container holds.
    enum class Level { Envelope, Response };

    /// Which envelope entry a decoded key names: a `str` by its UTF-8 text, anything else none.
    static wire::KeyName name_of(PyObject* key) {
        if (!key || !PyUnicode_Check(key)) return wire::KeyName::Other;
        Py_ssize_t size;
        const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
        if (!utf8) {
            PyErr_Clear();
            return wire::KeyName::Other;
        }
        return wire::key_name(std::string_view(utf8, static_cast<size_t>(size)));
    }

    bool peek_tag(uint8_t* tag) { return wire::peek_tag(d_.reader, tag); }
    /// Consumes the tag peek_tag() has seen.
    uint8_t take_tag() {
        uint8_t tag;
        (void)d_.reader.read_u8(&tag);
        return tag;
    }

    /// A key of the container that `tag` opened, as wire::object_key says: end_marker() at END, nothing
    /// when the read failed.
    PyRef read_key(uint8_t tag) {
        switch (wire::object_key(tag)) {
            case wire::ObjectKey::ValueOrEnd: return d_.read_part_or_end();
            case wire::ObjectKey::Value: return d_.read_required();
            case wire::ObjectKey::StrOrNone: break;
        }
        return d_.read_named_key();
    }

    /// The named list, MAP or MAP_ENTRY_ITER at the cursor, its values by the rule of `level`.
    Walk keyed(Level level, Value* out) {
        wire::KeyedHeader header;
        if (!wire::open_keyed(d_.reader, &header)) return Walk::Failed;
        Value container;
        if (!c_.open(&container)) return Walk::Failed;
        for (uint64_t i = 0; header.until_end || i < header.count; ++i) {
            PyRef key = read_key(header.tag);
            if (!key) return Walk::Failed;
            if (key.get() == end_marker()) break;
            Value value;
            Walk w = level == Level::Envelope ? envelope_value(key.get(), &value) : response_value(key.get(), &value);
            if (w != Walk::Next) return w;
            if (!c_.store(container, key.get(), std::move(value))) return Walk::Failed;
        }
        *out = std::move(container);
        return Walk::Next;
    }

    /// An envelope entry: the response entry holds the response container.
    Walk envelope_value(PyObject* key, Value* out) {
        if (name_of(key) == wire::KeyName::Response) return response(out);
        return c_.plain(out);
    }

    /// An entry of the response container: "docs" holds the documents.
    Walk response_value(PyObject* key, Value* out) {
        if (name_of(key) == wire::KeyName::Docs) return documents(out);
        return c_.plain(out);
    }

    Walk response(Value* out) {
        uint8_t tag;
        if (!peek_tag(&tag)) return Walk::Failed;
        switch (wire::response_kind(tag)) {
            case wire::ResponseKind::Container: {
                Walk w = keyed(Level::Response, out);
                return w == Walk::Next ? c_.response_ended() : w;
            }
            case wire::ResponseKind::DocumentList: return document_list(out);
            case wire::ResponseKind::Other: break;
        }
        return c_.plain(out);
    }

    Walk documents(Value* out) {
        uint8_t tag;
        if (!peek_tag(&tag)) return Walk::Failed;
        switch (wire::docs_kind(tag)) {
            case wire::DocsKind::Counted: return counted(out);
            case wire::DocsKind::Iterator:
                (void)take_tag();
                return c_.iterator_docs(out);
            case wire::DocsKind::Other: break;
        }
        return c_.other_docs(out);
    }

    /// The ARR at the cursor: its size, then its documents.
    Walk counted(Value* out) {
        uint8_t tag = take_tag();
        uint64_t count;
        if (!d_.reader.read_size(tag, &count)) return Walk::Failed;
        return c_.counted_docs(count, out);
    }

    /// The SOLRDOCLST at the cursor: its header, then its documents, stored under "docs".
    Walk document_list(Value* out) {
        (void)take_tag();
        Value list;
        if (!c_.list_header(&list)) return Walk::Failed;
        uint8_t tag;
        if (!peek_tag(&tag)) return Walk::Failed;
        Value docs;
        Walk w = wire::docs_kind(tag) == wire::DocsKind::Counted ? counted(&docs) : c_.list_docs_not_array(&docs);
        if (w != Walk::Next) return w;
        if (!c_.store(list, names().docs, std::move(docs))) return Walk::Failed;
        *out = std::move(list);
        return Walk::Next;
    }

    PyDecoder& d_;
    Consumer& c_;
};

}  // namespace velkora::py
