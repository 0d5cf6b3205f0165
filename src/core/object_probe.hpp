// src/core/object_probe.hpp: where the Python-object decoder would stop, found without building anything:
// resumable walks over one value, and over a response's envelope up to its documents, by that decoder's rules.
//
// The chunk-fed document decoder runs the real decoder only once these walks say "go", so a document or an
// envelope that arrives in many chunks is decoded once, and the work of the walks is linear in the bytes fed.
#pragma once

#include <cstdint>
#include <vector>

#include "core/chunk_buffer.hpp"
#include "core/envelope.hpp"
#include "core/reader.hpp"
#include "core/skipper.hpp"
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
    std::vector<ExternDefinition>* definitions = nullptr;  // one per definition met, when kept
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

/// A resumable walk over a response from its version byte to where its documents start (or to where the
/// envelope parse stops without documents), by the rules of the chunk-fed decoder's envelope parse. Refused
/// means "run that parse now": it fails with its exact error. Complete means the parse would succeed, and
/// says with what: where it stops, the phase and document count it finds, and the extern strings defined.
class EnvelopeProbe {
public:
    /// Goes on over `bytes`, the stream from its first byte (what was given before, possibly followed by more).
    Walked resume(ByteSpan bytes);
    InputWait needed() const { return needed_; }
    /// Where the walk stands, inside a key or value too: the bytes before it have been walked.
    uint64_t position() const { return in_value_ ? value_.end() : pos_; }
    /// Forgets everything and starts again from the stream's first byte.
    void reset() { *this = EnvelopeProbe(); }

    /// After Complete: where the documents start (or the parse stops), the phase, and the documents counted.
    uint64_t end() const { return pos_; }
    StreamPhase phase() const { return phase_; }
    uint64_t count() const { return count_; }
    /// After Complete: the extern strings the envelope defined, in order, offsets from the stream's start.
    const std::vector<ExternDefinition>& definitions() const { return definitions_; }

private:
    enum class Stage : uint8_t { Version, TopTag, TopValue, Key, Value, ResponseTag, ListHeader, ListDocsTag, DocsTag };

    /// Opens the named list, MAP or MAP_ENTRY_ITER at the reader; false (needed_ set) when its count is cut.
    bool keyed(Reader& r, bool response);
    /// Starts value_ over the key or value at pos_.
    void walk_value(bool end_allowed);
    /// The walk is over, the parse would end at `end` with `phase`.
    Walked ended(uint64_t end, StreamPhase phase, uint64_t count = 0);

    ObjectProbe value_;
    bool in_value_ = false;  // value_ is walking a key or a value the envelope does not look into
    std::vector<ExternDefinition> definitions_;
    ExternTally tally_;
    Stage stage_ = Stage::Version;
    bool response_ = false;   // the keyed container is the response container, not the envelope
    uint8_t container_ = 0;   // its tag
    uint64_t remaining_ = 0;  // its entries still to come, unless it is a MAP_ENTRY_ITER
    KeyName key_ = KeyName::Other;
    uint64_t pos_ = 0;
    InputWait needed_;
    Walked final_ = Walked::Wait;
    StreamPhase phase_ = StreamPhase::Done;
    uint64_t count_ = 0;
};

}  // namespace velkora::wire
