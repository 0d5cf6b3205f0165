// src/core/probe.hpp: the completeness probe of the chunk-fed Arrow decoder: how long is the document at the
// start of the unread bytes, if all of it is there; a walk that goes on across feeds.
#pragma once

#include <cstdint>

#include "core/chunk_buffer.hpp"
#include "core/extern_strings.hpp"
#include "core/reader.hpp"
#include "core/walk_stack.hpp"

namespace velkora::wire {

/// Walks the document at the start of the unread bytes without building anything, with no extern-string
/// table (references to strings defined earlier are not looked up), by the rules of skip_value (skip.hpp):
/// a document is SOLRDOC (its header byte's low bits count the items), ORDERED_MAP or NAMED_LST (the tag's),
/// or MAP_ENTRY_ITER (items until END); an item starting with the SOLRDOC tag is one value (a child), any
/// other item a key and a value, each at nesting level 0.
///
/// The walk keeps its place between calls, so a document fed in many chunks is walked once in all. It can
/// also walk one value as skip_value does (the envelope's values, which a large response may fill).
/// (StreamDecoder walks by the Python-object decoder's rules instead, object_probe.hpp: the two decoders
/// accept different documents and report their faults differently.)
class DocumentProbe {
public:
    /// Starts again, for the document at offset 0.
    void reset() { begin(0, 0, nullptr, false); }
    /// Starts a walk over the one value at `position`, as skip_value(r, depth, table) reads it: extern
    /// strings it defines are appended to `table` when given, each as soon as it has been read whole.
    void begin_value(uint64_t position, uint32_t depth, ExternStrings* table) { begin(position, depth, table, true); }
    /// Goes on over `bytes`, the document from its first byte (what was given before, possibly followed by
    /// more). Complete: length() is the document's exact length. Wait: the bytes end inside it, needed() is
    /// what the walk needs to get further. Refused: `*error` (offsets from the document's first byte),
    /// including "expected SolrDocument or map at byte offset 0, found other tag". Complete and Refused are
    /// final (Refused fills `*error` again at every call).
    Walked resume(ByteSpan bytes, DecodeError* error);

    /// After Complete: the document's length. Before, where the walk stands (the bytes before it are walked).
    uint64_t length() const { return pos_; }
    InputWait needed() const { return needed_; }

private:
    enum class Kind : uint8_t { Document, Parts, Iterator, MapEntryIter, ChildDocument };
    struct Frame {
        uint64_t remaining;  // parts or items still to come, where counted
        uint32_t depth;      // the container's own level (its parts one deeper)
        Kind kind;
        uint8_t phase;
        bool until_end;  // Document: items until END (MAP_ENTRY_ITER)
    };
    enum class Step : uint8_t { Next, Wait, Refused, Complete };

    void begin(uint64_t position, uint32_t depth, ExternStrings* table, bool value) {
        stack_.clear();
        pos_ = position;
        needed_ = {};
        final_ = Walked::Wait;
        depth_ = depth;
        table_ = table;
        value_ = value;
    }
    Step step(Reader& r);
    Step items(Reader& r, Frame& f, bool checked);
    Step part(Reader& r, uint32_t depth);
    Step value(Reader& r, uint32_t depth);
    Step push(Reader& r, Kind kind, uint32_t depth, uint64_t remaining);
    Step closed();
    Step failed(Reader& r);
    /// UnexpectedEof where the next byte should be.
    Step eof(Reader& r);

    WalkStack<Frame> stack_;
    uint64_t pos_ = 0;
    InputWait needed_;
    Walked final_ = Walked::Wait;
    DecodeError error_;
    uint32_t depth_ = 0;
    ExternStrings* table_ = nullptr;
    bool value_ = false;  // walking one value, not a document
};

}  // namespace velkora::wire
