// src/core/envelope.hpp: what every walk over a response's envelope knows of it: the keys it looks for, the
// containers it opens, and the nesting levels at which it reads their values.
//
// A response is an envelope (a named list or MAP_ENTRY_ITER) whose "response" or "result-set" entry holds the
// response container: a named list, MAP or MAP_ENTRY_ITER whose "docs" entry holds the documents, or a
// SOLRDOCLST whose header precedes them. The walks differ in what they make of it, not in these words.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/reader.hpp"

namespace velkora::wire {

inline constexpr std::string_view kResponseKey = "response";
inline constexpr std::string_view kResultSetKey = "result-set";  // what /stream names it
inline constexpr std::string_view kDocsKey = "docs";
// What the survey notes of a response container besides its documents.
inline constexpr std::string_view kNumFoundKey = "numFound";
inline constexpr std::string_view kStartKey = "start";

/// Which entry of an envelope a string key names, as far as an envelope walk cares.
enum class KeyName : uint8_t { Other, Response, Docs };  // Response: either of its two names

/// Every string the chunk-fed walks meet goes through here, document values too: keep it to these two.
inline KeyName key_name(std::string_view key) {
    if (key == kResponseKey || key == kResultSetKey) return KeyName::Response;
    if (key == kDocsKey) return KeyName::Docs;
    return KeyName::Other;
}
inline KeyName key_name(ByteSpan key) { return key_name({reinterpret_cast<const char*>(key.data), key.size}); }

/// ORDERED_MAP and NAMED_LST: entries of a key and a value, counted in the tag.
inline bool is_named_list(uint8_t tag) {
    uint8_t group = group_of(tag);
    return group == GROUP_ORDERED_MAP || group == GROUP_NAMED_LST;
}
/// The containers a top-level value is an envelope in.
inline bool is_envelope(uint8_t tag) { return is_named_list(tag) || tag == MAP_ENTRY_ITER; }
/// The containers a response entry holds its entries in (a SOLRDOCLST holds documents instead).
inline bool is_response_container(uint8_t tag) { return is_envelope(tag) || tag == MAP; }

/// What a response entry's value is to a walk looking for the documents, by its tag: anything but a
/// container or a document list is passed over, and the search goes on.
enum class ResponseKind : uint8_t { Container, DocumentList, Other };
inline ResponseKind response_kind(uint8_t tag) {
    if (is_response_container(tag)) return ResponseKind::Container;
    return tag == SOLRDOCLST ? ResponseKind::DocumentList : ResponseKind::Other;
}

/// What holds the documents, by its tag: a counted ARR, or an ITERATOR up to END (after a SOLRDOCLST's
/// header only the first), or anything else, which holds none.
enum class DocsKind : uint8_t { Counted, Iterator, Other };
inline DocsKind docs_kind(uint8_t tag) {
    if (group_of(tag) == GROUP_ARR) return DocsKind::Counted;
    return tag == ITERATOR ? DocsKind::Iterator : DocsKind::Other;
}

/// What the Python-object decoders take for a key of the envelope or response container `tag` opens: a
/// `str` or None in a named list, any value in a MAP, any value or the END closing a MAP_ENTRY_ITER.
enum class ObjectKey : uint8_t { StrOrNone, Value, ValueOrEnd };
inline ObjectKey object_key(uint8_t tag) {
    if (tag == MAP_ENTRY_ITER) return ObjectKey::ValueOrEnd;
    return tag == MAP ? ObjectKey::Value : ObjectKey::StrOrNone;
}

/// The tag of the next value, not consumed; UnexpectedEof when the input ends here.
[[nodiscard]] inline bool peek_tag(Reader& r, uint8_t* tag) {
    if (VELKORA_UNLIKELY(r.at_end())) return r.fail_eof(r.position(), r.position() + 1);
    *tag = r.peek();
    return true;
}

/// The header of a keyed container: how many entries it declares, or that they run to an END.
struct KeyedHeader {
    uint8_t tag = 0;
    uint64_t count = 0;
    bool until_end = false;  // MAP_ENTRY_ITER
};

/// Reads the tag and count of the named list, MAP or MAP_ENTRY_ITER at the reader. False with the error in
/// `r.error` when the count is cut short or malformed.
[[nodiscard]] inline bool open_keyed(Reader& r, KeyedHeader* out) {
    (void)r.read_u8(&out->tag);  // the caller has seen it
    out->count = 0;
    out->until_end = out->tag == MAP_ENTRY_ITER;
    if (out->tag == MAP) {
        uint32_t n;
        if (!r.read_vint(&n)) return false;
        out->count = n;
        return true;
    }
    return out->until_end || r.read_size(out->tag, &out->count);
}

/// The levels at which the Arrow decoders and the survey read what they pass over: the top-level value at
/// level 1, as deserialize counts, an envelope entry's value one deeper, and so on down.
inline constexpr uint32_t kTopLevelDepth = 1;
inline constexpr uint32_t kEnvelopeEntryDepth = 2;
inline constexpr uint32_t kResponseEntryDepth = 3;
inline constexpr uint32_t kListHeaderItemDepth = 4;
/// The Python-object decoders read every key and value of the envelope, a list's header and each document
/// at level 1: they keep no level for the containers they only walk through, and build none of them deeper.
inline constexpr uint32_t kObjectEnvelopeDepth = 1;

}  // namespace velkora::wire
