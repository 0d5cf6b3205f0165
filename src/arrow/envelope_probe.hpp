// src/arrow/envelope_probe.hpp: where a response's documents start, found by the chunk-fed Arrow decoder with
// a walk that keeps its place between feeds.
#pragma once

#include <cstdint>
#include <utility>

#include "arrow/row_decoder.hpp"
#include "core/envelope.hpp"
#include "core/envelope_search.hpp"
#include "core/extern_strings.hpp"
#include "core/probe.hpp"

namespace velkora::arrow {

/// The Arrow reading of the envelope, for wire::EnvelopeSearch: what it passes over is walked as skip_value
/// walks it, at the levels the Arrow decoders count, and a fault is kept to be reported as it stands.
class ArrowEnvelopeRules {
public:
    /// The decoder's table, which the extern strings defined on the way go into: set before each resume.
    wire::ExternStrings* table = nullptr;

    void pass_over(uint64_t position, uint32_t depth, bool /*end_allowed*/) {
        value_.begin_value(position, depth, table);
    }
    wire::Walked resume(wire::ByteSpan bytes) { return value_.resume(bytes, &error_); }
    uint64_t end() const { return value_.length(); }
    wire::InputWait needed() const { return value_.needed(); }

    // Keys are read_envelope_key's, read whole: a string or NULL in any container, anything else refused.
    wire::KeyRead key(wire::Reader& r, const wire::KeyedHeader& header, uint64_t index, wire::KeyName* name);
    wire::KeyRead walked_key(const wire::KeyedHeader&, wire::KeyName*) const { return wire::KeyRead::Failed; }
    void refuse(wire::DecodeError&& error) { error_ = std::move(error); }

    const wire::DecodeError& error() const { return error_; }

private:
    wire::DocumentProbe value_;
    wire::DecodeError error_;
};

}  // namespace velkora::arrow

namespace velkora::wire {
extern template class EnvelopeSearch<arrow::ArrowEnvelopeRules>;
}  // namespace velkora::wire

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
    uint64_t end() const { return search_.end(); }
    wire::InputWait needed() const { return search_.needed(); }
    /// Where the walk stands, inside a value passed over too: the bytes before it have been walked.
    uint64_t position() const { return search_.position(); }

private:
    wire::EnvelopeSearch<ArrowEnvelopeRules> search_;
    DocsSequence docs_;
};

}  // namespace velkora::arrow
