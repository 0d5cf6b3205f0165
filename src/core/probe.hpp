// src/core/probe.hpp: the skip rules, and the completeness probe of the chunk-fed Arrow decoder: how long is
// the document at the start of the unread bytes, if all of it is there.
#pragma once

#include <cstdint>

#include "core/chunk_buffer.hpp"
#include "core/extern_strings.hpp"
#include "core/reader.hpp"
#include "core/skipper.hpp"

namespace velkora::wire {

/// The rules of skip_value (skip.hpp), over one value or over a document: SOLRDOC (its header byte's low
/// bits count the items), ORDERED_MAP or NAMED_LST (the tag's), or MAP_ENTRY_ITER (items until END); an item
/// starting with the SOLRDOC tag is one value (a child), any other item a key and a value, each at nesting
/// level 0.
class SkipRules : public Skipper<SkipRules> {
public:
    static constexpr bool kJudges = false;
    static constexpr bool kShortValues = true;

    /// A skip: extern strings the value defines are appended to `table` when given, each as soon as it has
    /// been read whole.
    explicit SkipRules(ExternStrings* table) : Skipper(Straight{}), table_(table) {}
    /// A probe, started by begin().
    SkipRules() : table_(nullptr), depth_(0), document_(false) {}

    /// Starts again at `position`, over the value standing at level `depth` or (`document`) over a document.
    void begin(uint64_t position, uint32_t depth, ExternStrings* table, bool document) {
        restart(position);
        table_ = table;
        depth_ = depth;
        document_ = document;
    }

private:
    friend class Skipper<SkipRules>;

    SkipStep start(Reader& r);
    VELKORA_INLINE SkipStep item(Reader& r, SkipFrame& f) {
        if (r.at_end()) return eof(r);
        if (f.until_end && r.peek() == END) {
            r.set_position(r.position() + 1);
            return close_container();
        }
        f.phase = r.peek() == SOLRDOC ? kChild : kName;
        return part(r, f, false);
    }
    VELKORA_INLINE bool text(Reader& r, uint64_t size, KeyName*) {
        ByteSpan bytes;
        return r.take(size, &bytes);
    }
    VELKORA_INLINE bool extern_string(Reader& r, uint8_t tag, KeyName*) {
        uint64_t index;
        ByteSpan text;
        if (!r.read_size(tag, &index)) return false;
        return index != 0 || read_extern_definition(r, table_, &text);  // a reference is not looked up here
    }
    VELKORA_INLINE bool typed_array(Reader& r, Shape* shape) {
        uint8_t type;
        uint32_t count;
        ByteSpan payload;
        *shape = Shape::List;
        return read_typed_array_header(r, &type, &count, &payload);
    }
    void completed(Shape, KeyName) {}

    ExternStrings* table_;
    uint32_t depth_;  // and document_: read by the first step of a probe only
    bool document_;
};

/// Probes the document at the start of the unread bytes by the skip rules, with no extern-string table
/// (references to strings defined earlier are not looked up); or one value, as skip_value reads it (the
/// envelope's values, which a large response may fill). A document fed in many chunks is probed once in all.
/// (StreamDecoder probes by the Python-object decoder's rules instead, object_probe.hpp: the two decoders
/// accept different documents and report their faults differently.)
class DocumentProbe {
public:
    /// Starts again, for the document at offset 0.
    void reset() { rules_.begin(0, 0, nullptr, true); }
    /// Starts over the one value at `position`, as skip_value(r, depth, table) reads it.
    void begin_value(uint64_t position, uint32_t depth, ExternStrings* table) {
        rules_.begin(position, depth, table, false);
    }
    /// Goes on over `bytes`, the document from its first byte (what was given before, possibly followed by
    /// more). Complete: length() is the document's exact length. Wait: the bytes end inside it, needed() is
    /// what the probe needs to get further. Refused: `*error` (offsets from the document's first byte),
    /// including "expected SolrDocument or map at byte offset 0, found other tag". Complete and Refused are
    /// final (Refused fills `*error` again at every call).
    Walked resume(ByteSpan bytes, DecodeError* error) {
        Walked walked = rules_.probe(bytes, &error_);
        if (walked == Walked::Refused) *error = error_;
        return walked;
    }

    /// After Complete: the document's length. Before, where the probe stands (the bytes before it are passed).
    uint64_t length() const { return rules_.position(); }
    InputWait needed() const { return rules_.needed(); }

private:
    SkipRules rules_;
    DecodeError error_;
};

}  // namespace velkora::wire
