// src/core/object_probe.hpp: where the Python-object decoder would stop, found without building anything:
// a resumable walk over one value by that decoder's rules (envelope_probe.hpp walks a response's envelope
// with it).
//
// The chunk-fed document decoder runs the real decoder only once these walks say "go", so a document or an
// envelope that arrives in many chunks is decoded once, and the work of the walks is linear in the bytes fed.
#pragma once

#include <cstdint>

#include "core/chunk_buffer.hpp"
#include "core/envelope.hpp"
#include "core/reader.hpp"
#include "core/skipper.hpp"
#include "core/stack.hpp"
#include "core/walk_stack.hpp"

namespace velkora::wire {

/// An extern string a walk has met: where its text lies (offsets as the walk's), and which key it names.
struct ExternDefinition {
    uint64_t offset;
    uint64_t size;
    KeyName name;
};

/// The extern strings a walk knows of: how many the decoder's table holds at this point of the stream (a
/// reference beyond them is an error the decoder reports at once), and, for the envelope walk, the ones it
/// defined (keys are often references to the response's or the documents' key, and the documents refer to
/// them all).
struct ExternTally {
    uint64_t count = 0;
    Stack<ExternDefinition>* definitions = nullptr;  // one per definition met, when kept
};

/// A probe over one value by the Python-object decoder's rules. It stops exactly where that decoder would
/// stop on the same bytes: Wait where the decoder would run out of input (never earlier), Refused where it
/// would fail for another reason (the decoder is then run to report the exact error), Complete where it
/// would have the whole value. Depth checks, END where a value is required, UTF-8, extern references against
/// the table, named-list key kinds, document items, SolrDocumentList headers and unhashable map keys are all
/// judged as the decoder judges them; what it builds is tracked only as far as those checks need (the shape).
class ObjectProbe : public Skipper<ObjectProbe> {
public:
    using Shape = wire::Shape;
    static constexpr bool kJudges = true;
    static constexpr bool kShortValues = false;

    /// Starts over the value at `position`, read at nesting level `depth` (its own depth check is the
    /// caller's); `end_allowed` when an END there ends the enclosing container instead of being an error.
    void begin(uint64_t position, uint32_t depth, bool end_allowed);
    /// Goes on from where the last call stopped, over `bytes` (offsets as in begin(); the bytes given before,
    /// possibly followed by more). Refused and Complete are final.
    Walked resume(ByteSpan bytes, ExternTally& tally) {
        tally_ = &tally;
        return probe(bytes, nullptr);
    }

    /// After Complete: the offset just after the value, its shape, and (a string) which key it names. Before,
    /// end() is where the probe stands: the bytes before it have been passed over.
    uint64_t end() const { return position(); }
    Shape shape() const { return shape_; }
    KeyName name() const { return name_; }

private:
    friend class Skipper<ObjectProbe>;

    SkipStep start(Reader& r);
    SkipStep item(Reader& r, SkipFrame& f);
    bool text(Reader& r, uint64_t size, KeyName* name);
    bool extern_string(Reader& r, uint8_t tag, KeyName* name);
    bool typed_array(Reader& r, Shape* shape);
    void completed(Shape shape, KeyName name) {
        shape_ = shape;
        name_ = name;
    }

    ExternTally* tally_ = nullptr;
    uint32_t depth_ = 1;
    bool end_allowed_ = false;
    Shape shape_ = Shape::Null;
    KeyName name_ = KeyName::Other;
};

}  // namespace velkora::wire
