// src/arrow/envelope_walk.hpp: the one walk over a whole response's envelope by the Arrow reading, shared by
// locate_docs and the field survey.
#pragma once

#include <cstdint>
#include <string_view>

#include "arrow/row_decoder.hpp"
#include "core/envelope.hpp"
#include "core/extern_strings.hpp"
#include "core/skip.hpp"

namespace velkora::arrow {

/// Before entry `index` of the envelope or response container `header` opened: `*more` false when none is
/// left (a closing END consumed), else the entry's key read by read_envelope_key. False with the error in
/// `r.error`.
[[nodiscard]] inline bool next_envelope_key(wire::Reader& r, wire::ExternStrings& table,
                                            const wire::KeyedHeader& header, uint64_t index, bool* more,
                                            std::string_view* key, bool* present) {
    if (!next_entry(r, index, header.count, header.until_end, more)) return false;
    return !*more || read_envelope_key(table, r, key, present);
}

/// How the walk goes on after a hook: with what comes next, stopped because the visitor has what it came
/// for, or failed with the error in the reader.
enum class EnvelopeStep : uint8_t { Next, Stop, Failed };

/// Walks from the top-level value (the version byte read) to the end of the envelope. The documents are
/// those of the first response entry that holds a response container or a document list; a response entry
/// holding anything else is passed over and the search goes on. In a response container the first "docs"
/// entry holds them. What the walk passes over is read through with skip_value at its level, extern strings
/// defined on the way going into `table`. The visitor decides what becomes of what is found, through these
/// members, called without virtual dispatch (the reader stands where each says):
///   void top(uint8_t tag)                       the top-level value's tag, not read
///   void without_response()                     the body holds no response: no envelope, or none in it
///   void envelope_key(std::string_view, bool)   an envelope entry's key (present false: NULL)
///   void response_key(std::string_view)         the key of a response entry, before its value
///   void response(uint8_t tag)                  the response container (header read) or list (tag read)
///   void response_decided()                     its walk ended without failing, stopped or not
///   bool list_header()                          a SOLRDOCLST's header, the reader on it
///   EnvelopeStep list_docs_not_array()          a SOLRDOCLST's documents that are not an ARR (not read)
///   EnvelopeStep documents(uint8_t tag)         an ARR or ITERATOR of documents (not read)
///   EnvelopeStep other_docs()                   "docs" that is neither (not read)
///   bool response_entry(std::string_view, bool) another entry of the response container, the reader on its value
///   EnvelopeStep response_ended(bool docs_seen) the response container ended
template <typename Visitor>
class ArrowEnvelopeWalk {
public:
    ArrowEnvelopeWalk(wire::Reader& r, wire::ExternStrings& table, Visitor& v) : r_(r), table_(table), v_(v) {}

    EnvelopeStep walk() {
        uint8_t tag;
        if (!wire::peek_tag(r_, &tag)) return EnvelopeStep::Failed;
        v_.top(tag);
        if (!wire::is_envelope(tag)) {
            // Not an envelope: no documents, but the value is read through as any value passed over, so a
            // body that is broken is refused rather than taken for one without documents.
            if (!wire::skip_top_level_value(r_, &table_)) return EnvelopeStep::Failed;
            v_.without_response();
            return EnvelopeStep::Next;
        }
        wire::KeyedHeader header;
        if (!wire::open_keyed(r_, &header)) return EnvelopeStep::Failed;
        bool decided = false;
        EnvelopeStep step = entries(header, [&](std::string_view key, bool present) {
            v_.envelope_key(key, present);
            if (decided || !present || wire::key_name(key) != wire::KeyName::Response)
                return skip(wire::kEnvelopeEntryDepth);
            v_.response_key(key);
            EnvelopeStep s = response(&decided);
            if (s != EnvelopeStep::Failed && decided) v_.response_decided();
            return s;
        });
        if (step != EnvelopeStep::Next) return step;
        if (!decided) v_.without_response();
        return EnvelopeStep::Next;
    }

private:
    /// A response entry's value. `*decided` false: it was neither a container nor a list, and was passed over.
    EnvelopeStep response(bool* decided) {
        uint8_t tag;
        if (!wire::peek_tag(r_, &tag)) return EnvelopeStep::Failed;
        *decided = true;
        switch (wire::response_kind(tag)) {
            case wire::ResponseKind::Container: break;
            case wire::ResponseKind::DocumentList:
                v_.response(tag);
                (void)r_.read_u8(&tag);
                if (!v_.list_header()) return EnvelopeStep::Failed;
                if (!wire::peek_tag(r_, &tag)) return EnvelopeStep::Failed;
                return wire::docs_kind(tag) == wire::DocsKind::Counted ? v_.documents(tag) : v_.list_docs_not_array();
            case wire::ResponseKind::Other:
                *decided = false;
                return skip(wire::kEnvelopeEntryDepth);
        }
        wire::KeyedHeader header;
        if (!wire::open_keyed(r_, &header)) return EnvelopeStep::Failed;
        v_.response(header.tag);
        bool docs_seen = false;
        EnvelopeStep step = entries(header, [&](std::string_view key, bool present) {
            if (docs_seen || !present || wire::key_name(key) != wire::KeyName::Docs)
                return v_.response_entry(key, present) ? EnvelopeStep::Next : EnvelopeStep::Failed;
            docs_seen = true;
            uint8_t docs_tag;
            if (!wire::peek_tag(r_, &docs_tag)) return EnvelopeStep::Failed;
            return wire::docs_kind(docs_tag) != wire::DocsKind::Other ? v_.documents(docs_tag) : v_.other_docs();
        });
        return step == EnvelopeStep::Next ? v_.response_ended(docs_seen) : step;
    }

    /// Each entry of the container `header` opened: its key read, `entry(key, present)` stands on its value.
    /// Next once the container has ended; any other step of an entry ends the walk over it at once.
    template <typename Entry>
    EnvelopeStep entries(const wire::KeyedHeader& header, Entry&& entry) {
        for (uint64_t i = 0;; ++i) {
            bool more;
            std::string_view key;
            bool present;
            if (!next_envelope_key(r_, table_, header, i, &more, &key, &present)) return EnvelopeStep::Failed;
            if (!more) return EnvelopeStep::Next;
            EnvelopeStep step = entry(key, present);
            if (step != EnvelopeStep::Next) return step;
        }
    }

    EnvelopeStep skip(uint32_t depth) {
        return wire::skip_value(r_, depth, &table_) ? EnvelopeStep::Next : EnvelopeStep::Failed;
    }

    wire::Reader& r_;
    wire::ExternStrings& table_;
    Visitor& v_;
};

}  // namespace velkora::arrow
