// src/arrow/envelope_probe.hpp: where a response's documents start, found by the chunk-fed Arrow decoder with
// a walk that keeps its place between feeds.
#pragma once

#include <cstdint>

#include "arrow/row_decoder.hpp"
#include "core/envelope.hpp"
#include "core/probe.hpp"

namespace velkora::arrow {

/// locate_docs (row_decoder.hpp) from the version byte, as a walk that goes on where the last feed left it:
/// the same rules, the same faults at the same offsets, and the extern strings defined on the way appended
/// to the decoder's table as each is read whole. An envelope cut into many chunks is walked once in all.
class EnvelopeProbe {
public:
    /// Goes on over `bytes`, the stream from its first byte (what was given before, possibly followed by
    /// more). Complete: docs() and end(), where the reader of locate_docs would stand. Wait: needed() is how
    /// many bytes the walk needs to get further. Refused: `*error` (filled again at every later call).
    wire::Walked resume(ArrowRowDecoder& d, wire::ByteSpan bytes, wire::DecodeError* error);

    const DocsSequence& docs() const { return docs_; }
    uint64_t end() const { return pos_; }
    wire::InputWait needed() const { return needed_; }
    /// Where the walk stands, inside a value passed over too: the bytes before it have been walked.
    uint64_t position() const { return in_value_ ? value_.length() : pos_; }

private:
    enum class Stage : uint8_t { Version, Top, Entry, ResponseTag, ListDocsTag, DocsTag, Found };
    enum class Step : uint8_t { Next, Wait, Refused, Complete };

    Step step(ArrowRowDecoder& d, wire::Reader& r);
    Step failed(wire::Reader& r);
    /// Walks the value at the reader at `depth` (as skip_value), then goes on with `then`.
    Step skip(ArrowRowDecoder& d, wire::Reader& r, uint32_t depth, Stage then);
    /// Opens the envelope or (`response`) the response container at the reader; its entries come next.
    Step open(wire::Reader& r, bool response);
    Step found(wire::Reader& r, DocsSequence::Kind kind, uint64_t count = 0);

    wire::DocumentProbe value_;
    bool in_value_ = false;  // value_ walks a value passed over
    Stage stage_ = Stage::Version;
    Stage after_value_ = Stage::Entry;
    bool response_ = false;  // the entries are those of the response container, not the envelope
    wire::KeyedHeader header_;  // of the container whose entries are walked
    uint64_t index_ = 0;
    uint64_t pos_ = 0;
    wire::InputWait needed_;
    wire::Walked final_ = wire::Walked::Wait;
    wire::DecodeError error_;
    DocsSequence docs_;
};

}  // namespace velkora::arrow
