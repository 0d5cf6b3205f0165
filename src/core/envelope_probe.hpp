// src/core/envelope_probe.hpp: where the Python-object decoder's envelope parse would stop, found without
// building anything, by a walk that keeps its place between feeds.
#pragma once

#include <cstdint>
#include <utility>

#include "core/envelope.hpp"
#include "core/envelope_search.hpp"
#include "core/object_probe.hpp"

namespace velkora::wire {

/// The Python-object decoders' reading of the envelope, for EnvelopeSearch: what it passes over is walked by
/// an ObjectProbe, which says only whether the parse would fail (the parse, run then, says how).
class ObjectEnvelopeRules {
public:
    // Those decoders keep no level for the containers they walk through: the Arrow levels do not count here.
    void pass_over(uint64_t position, uint32_t /*depth*/, bool end_allowed) {
        value_.begin(position, kObjectEnvelopeDepth, end_allowed);
    }
    Walked resume(ByteSpan bytes) {
        tally_.definitions = &definitions_;
        return value_.resume(bytes, tally_);
    }
    uint64_t end() const { return value_.end(); }
    InputWait needed() const { return value_.needed(); }

    // A key is a value like any other to these decoders (object_key: a MAP's may be a list), so it is walked
    // as one, and judged once it has been.
    KeyRead key(Reader&, const KeyedHeader& header, uint64_t index, KeyName*) const {
        return !header.until_end && index == header.count ? KeyRead::Ended : KeyRead::Walking;
    }
    KeyRead walked_key(const KeyedHeader& header, KeyName* name) const {
        ObjectProbe::Shape shape = value_.shape();
        if (shape == ObjectProbe::Shape::End) return KeyRead::Ended;
        bool str = shape == ObjectProbe::Shape::Str;
        if (object_key(header.tag) == ObjectKey::StrOrNone && !str && shape != ObjectProbe::Shape::Null)
            return KeyRead::Failed;
        *name = str ? value_.name() : KeyName::Other;
        return KeyRead::Named;
    }
    void refuse(DecodeError&&) {}  // the parse, run on a refusal, reports the fault itself

    const Stack<ExternDefinition>& definitions() const { return definitions_; }

private:
    ObjectProbe value_;
    Stack<ExternDefinition> definitions_;
    ExternTally tally_;
};

extern template class EnvelopeSearch<ObjectEnvelopeRules>;

/// A resumable walk over a response from its version byte to where its documents start (or to where the
/// envelope parse stops without documents), by the rules of the chunk-fed decoder's envelope parse. Refused
/// means "run that parse now": it fails with its exact error. Complete means the parse would succeed, and
/// says with what: where it stops, the phase and document count it finds, and the extern strings defined.
class EnvelopeProbe : public EnvelopeSearch<ObjectEnvelopeRules> {
public:
    /// Forgets everything and starts again from the stream's first byte.
    void reset() { *this = EnvelopeProbe(); }
    /// After Complete: the extern strings the envelope defined, in order, offsets from the stream's start.
    const Stack<ExternDefinition>& definitions() const { return rules().definitions(); }
};

}  // namespace velkora::wire
