// src/core/envelope_search.hpp: the walk from a response's version byte to where its documents start, as the
// chunk-fed decoders make it: it keeps its place between feeds, and each reading of the envelope brings the
// few rules in which it differs from the other as a policy.
//
// Each step reads a container's header, a tag it looks at, or (where the policy reads keys whole) an entry's
// key, and is kept only when all its bytes are there; what is passed over, the policy walks with a value walk
// that keeps its own place, so an envelope cut into many chunks is walked once in all.
#pragma once

#include <cstdint>
#include <utility>

#include "core/chunk_buffer.hpp"
#include "core/envelope.hpp"
#include "core/reader.hpp"
#include "core/walk_stack.hpp"

namespace velkora::wire {

/// What a policy made of the key of an entry.
enum class KeyRead : uint8_t {
    Named,    // read: the entry's value comes next
    Ended,    // the container has ended (its END consumed, or its count used up)
    Walking,  // to be walked as a value passed over (END allowed where the container ends with one)
    Failed,   // the reader's error; after a walked key, refused
};

/// Walks the envelope core/envelope.hpp describes: the documents are those of the first response entry that
/// holds a response container (its "docs") or a SOLRDOCLST (after its header); a response entry holding
/// anything else is passed over and the search goes on. It ends where the documents start (CountedDocs, IteratorDocs)
/// or where the envelope reading stops without them (Done): after a top-level value that is no envelope, at
/// the end of the envelope or of the response container, after a "docs" that is no sequence, or before a
/// SOLRDOCLST's documents that are no ARR. `Rules` holds the reading's own rules (members called without
/// virtual dispatch):
///   void pass_over(uint64_t position, uint32_t depth, bool end_allowed)
///                                      starts its value walk over the value at `position`, which the Arrow
///                                      reading's levels put at `depth`
///   Walked resume(ByteSpan bytes)      goes on with that walk (Refused: the policy keeps why)
///   uint64_t end() const               where that walk stands, after its value once it is Complete
///   InputWait needed() const           after Wait: what it needs to get further
///   KeyRead key(Reader&, const KeyedHeader&, uint64_t index, KeyName*)
///                                      entry `index` of the container `header` opened, the reader on it
///   KeyRead walked_key(const KeyedHeader&, KeyName*)
///                                      what a key that key() had walked names
///   void refuse(DecodeError&&)         the walk is refused with the reader's error
template <typename Rules>
class EnvelopeSearch {
public:
    /// Goes on over `bytes`, the stream from its first byte (what was given before, possibly followed by
    /// more). Complete and Refused are final.
    Walked resume(ByteSpan bytes);

    Rules& rules() { return rules_; }
    const Rules& rules() const { return rules_; }

    /// After Wait: how many bytes the walk needs to get further.
    InputWait needed() const { return needed_; }
    /// Where the walk stands, inside a key or value passed over too: the bytes before it have been walked.
    uint64_t position() const { return in_value_ ? rules_.end() : pos_; }
    /// After Complete: where the documents start (or the reading stops), the phase, and the documents counted.
    uint64_t end() const { return pos_; }
    StreamPhase phase() const { return phase_; }
    uint64_t count() const { return count_; }

private:
    enum class Stage : uint8_t { Version, Top, Key, WalkedKey, Value, ResponseTag, ListDocsTag, DocsTag, Ended };
    enum class Step : uint8_t { Next, Wait, Refused, Complete };

    Step step(Reader& r);
    /// The value walk has come to the end of its value.
    Step walked();
    Step failed(Reader& r);
    /// Passes over the value at `position` at `depth`, then goes on with `then`.
    Step pass_over(uint64_t position, uint32_t depth, Stage then, bool end_allowed = false);
    /// Opens the envelope or (`response`) the response container at the reader; its entries come next.
    Step open(Reader& r, bool response);
    Step named(KeyName name);
    Step found(uint64_t end, StreamPhase phase, uint64_t count = 0);
    uint32_t entry_depth() const { return response_ ? kResponseEntryDepth : kEnvelopeEntryDepth; }

    Rules rules_;
    bool in_value_ = false;  // the policy's value walk is on a key or value passed over
    Stage stage_ = Stage::Version;
    Stage after_value_ = Stage::Key;
    bool response_ = false;  // the entries are those of the response container, not the envelope
    KeyedHeader header_;     // of the container whose entries are walked
    uint64_t index_ = 0;
    KeyName key_ = KeyName::Other;
    uint64_t pos_ = 0;
    InputWait needed_;
    Walked final_ = Walked::Wait;
    StreamPhase phase_ = StreamPhase::Done;
    uint64_t count_ = 0;
};

template <typename Rules>
Walked EnvelopeSearch<Rules>::resume(ByteSpan bytes) {
    if (final_ != Walked::Wait) return final_;
    Reader r(bytes.data, bytes.size);
    for (;;) {
        Step s;
        if (in_value_) {
            Walked w = rules_.resume(bytes);
            if (w == Walked::Wait) {
                needed_ = rules_.needed();
                return w;
            }
            if (w == Walked::Refused) return final_ = w;
            in_value_ = false;
            pos_ = rules_.end();
            s = walked();
        } else {
            r.set_position(pos_);
            s = step(r);
            if (s == Step::Next) pos_ = r.position();
        }
        switch (s) {
            case Step::Next: break;
            case Step::Wait: return Walked::Wait;
            case Step::Refused: return final_ = Walked::Refused;
            case Step::Complete: return final_ = Walked::Complete;
        }
    }
}

template <typename Rules>
typename EnvelopeSearch<Rules>::Step EnvelopeSearch<Rules>::walked() {
    if (after_value_ == Stage::WalkedKey) {
        KeyName name = KeyName::Other;
        switch (rules_.walked_key(header_, &name)) {
            case KeyRead::Named: return named(name);
            case KeyRead::Ended: return found(pos_, StreamPhase::Done);
            default: return Step::Refused;
        }
    }
    // A top-level value that is no envelope, or "docs" that is no sequence: the reading ends after it.
    if (after_value_ == Stage::Ended) return found(pos_, StreamPhase::Done);
    stage_ = after_value_;
    return Step::Next;
}

template <typename Rules>
typename EnvelopeSearch<Rules>::Step EnvelopeSearch<Rules>::failed(Reader& r) {
    if (r.error.kind == ErrorKind::UnexpectedEof && !r.error.beyond_table) {
        needed_ = InputWait::of(r.error);
        return Step::Wait;
    }
    rules_.refuse(std::move(r.error));
    return Step::Refused;
}

template <typename Rules>
typename EnvelopeSearch<Rules>::Step EnvelopeSearch<Rules>::pass_over(uint64_t position, uint32_t depth, Stage then,
                                                                      bool end_allowed) {
    rules_.pass_over(position, depth, end_allowed);
    in_value_ = true;
    after_value_ = then;
    return Step::Next;
}

template <typename Rules>
typename EnvelopeSearch<Rules>::Step EnvelopeSearch<Rules>::open(Reader& r, bool response) {
    if (!open_keyed(r, &header_)) return failed(r);
    index_ = 0;
    response_ = response;
    stage_ = Stage::Key;
    return Step::Next;
}

template <typename Rules>
typename EnvelopeSearch<Rules>::Step EnvelopeSearch<Rules>::named(KeyName name) {
    key_ = name;
    ++index_;
    stage_ = Stage::Value;
    return Step::Next;
}

template <typename Rules>
typename EnvelopeSearch<Rules>::Step EnvelopeSearch<Rules>::found(uint64_t end, StreamPhase phase, uint64_t count) {
    pos_ = end;
    phase_ = phase;
    count_ = count;
    return Step::Complete;
}

template <typename Rules>
typename EnvelopeSearch<Rules>::Step EnvelopeSearch<Rules>::step(Reader& r) {
    uint8_t tag = 0;
    if (stage_ != Stage::Version && stage_ != Stage::Key && stage_ != Stage::Value && !peek_tag(r, &tag))
        return failed(r);
    switch (stage_) {
        case Stage::Version:
            if (!read_version(r)) return failed(r);
            stage_ = Stage::Top;
            return Step::Next;
        case Stage::Top:
            if (tag == END) {  // no value at all here (a value walk may take it for the end of a sequence)
                r.fail_unexpected("value", r.position(), "END marker");
                return failed(r);
            }
            // Any other value that is no envelope holds no documents, but is read whole, as deserialize reads
            // it, so that a broken body is refused rather than taken for one without documents.
            if (!is_envelope(tag)) return pass_over(r.position(), kTopLevelDepth, Stage::Ended);
            return open(r, false);
        case Stage::Key: {
            KeyName name = KeyName::Other;
            switch (rules_.key(r, header_, index_, &name)) {
                case KeyRead::Named: return named(name);
                case KeyRead::Ended: return found(r.position(), StreamPhase::Done);  // the container ended
                case KeyRead::Walking:
                    return pass_over(r.position(), entry_depth(), Stage::WalkedKey, header_.until_end);
                case KeyRead::Failed: break;
            }
            return failed(r);
        }
        case Stage::Value:
            if (key_ == (response_ ? KeyName::Docs : KeyName::Response)) {
                stage_ = response_ ? Stage::DocsTag : Stage::ResponseTag;
                return Step::Next;
            }
            return pass_over(r.position(), entry_depth(), Stage::Key);
        case Stage::ResponseTag:
            switch (response_kind(tag)) {
                case ResponseKind::Container: return open(r, true);
                case ResponseKind::DocumentList:
                    r.set_position(r.position() + 1);
                    return pass_over(r.position(), kResponseEntryDepth, Stage::ListDocsTag);  // the header
                case ResponseKind::Other: break;
            }
            return pass_over(r.position(), kEnvelopeEntryDepth, Stage::Key);
        case Stage::ListDocsTag:
        case Stage::DocsTag: {
            DocsKind kind = docs_kind(tag);
            if (kind == DocsKind::Counted) {
                uint64_t count;
                r.set_position(r.position() + 1);
                if (!r.read_size(tag, &count)) return failed(r);
                return found(r.position(), StreamPhase::CountedDocs, count);
            }
            if (stage_ == Stage::ListDocsTag) return found(r.position(), StreamPhase::Done);  // not read
            if (kind == DocsKind::Iterator) return found(r.position() + 1, StreamPhase::IteratorDocs);
            return pass_over(r.position(), kResponseEntryDepth, Stage::Ended);
        }
        case Stage::WalkedKey:
        case Stage::Ended: break;  // reached only after a value walk
    }
    return Step::Refused;
}

}  // namespace velkora::wire
