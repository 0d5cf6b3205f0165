// src/arrow/envelope_probe.cpp: locate_docs as a walk that goes on across feeds.
//
// Each step reads an entry's key, a container's header or a tag it looks at, and is kept only when all its
// bytes are there; the values passed over are walked by a DocumentProbe that keeps its own place.
#include "arrow/envelope_probe.hpp"

#include <string_view>

#include "arrow/envelope_walk.hpp"
#include "core/envelope.hpp"

namespace velkora::arrow {

using wire::kEnvelopeEntryDepth;
using wire::kResponseEntryDepth;
using wire::KeyName;
using wire::Reader;
using wire::Walked;

Walked EnvelopeProbe::resume(ArrowRowDecoder& d, wire::ByteSpan bytes, wire::DecodeError* error) {
    if (final_ == Walked::Refused) *error = error_;
    if (final_ != Walked::Wait) return final_;
    Reader r(bytes.data, bytes.size);
    for (;;) {
        if (in_value_) {
            Walked w = value_.resume(bytes, error);
            if (w == Walked::Wait) {
                needed_ = value_.needed();
                return w;
            }
            if (w == Walked::Refused) {
                error_ = *error;
                return final_ = w;
            }
            in_value_ = false;
            pos_ = value_.length();
            stage_ = after_value_;
            if (stage_ == Stage::Found) return final_ = Walked::Complete;  // "docs" that is no sequence
            continue;
        }
        r.set_position(pos_);
        switch (step(d, r)) {
            case Step::Next: pos_ = r.position(); break;
            case Step::Wait: return Walked::Wait;
            case Step::Refused: *error = error_; return final_ = Walked::Refused;
            case Step::Complete: return final_ = Walked::Complete;
        }
    }
}

EnvelopeProbe::Step EnvelopeProbe::failed(Reader& r) {
    if (r.error.kind == wire::ErrorKind::UnexpectedEof && !r.error.beyond_table) {
        needed_ = wire::InputWait::of(r.error);
        return Step::Wait;
    }
    error_ = std::move(r.error);
    return Step::Refused;
}

EnvelopeProbe::Step EnvelopeProbe::skip(ArrowRowDecoder& d, Reader& r, uint32_t depth, Stage then) {
    value_.begin_value(r.position(), depth, &d.externs);
    in_value_ = true;
    after_value_ = then;
    return Step::Next;
}

EnvelopeProbe::Step EnvelopeProbe::open(Reader& r, bool response) {
    if (!wire::open_keyed(r, &header_)) return failed(r);
    index_ = 0;
    response_ = response;
    stage_ = Stage::Entry;
    return Step::Next;
}

EnvelopeProbe::Step EnvelopeProbe::found(Reader& r, DocsSequence::Kind kind, uint64_t count) {
    docs_.kind = kind;
    docs_.count = count;
    pos_ = r.position();
    return Step::Complete;
}

EnvelopeProbe::Step EnvelopeProbe::step(ArrowRowDecoder& d, Reader& r) {
    uint8_t tag = 0;
    if (stage_ != Stage::Version && stage_ != Stage::Entry && !wire::peek_tag(r, &tag)) return failed(r);
    switch (stage_) {
        case Stage::Version:
            if (!wire::read_version(r)) return failed(r);
            stage_ = Stage::Top;
            return Step::Next;
        case Stage::Top:
            if (tag == wire::END) {  // no value at all here (the resumable skip would take it for one)
                r.fail_unexpected("value", r.position(), "END marker");
                return failed(r);
            }
            if (!wire::is_envelope(tag))  // not an envelope: read through, no documents
                return skip(d, r, wire::kTopLevelDepth, Stage::Found);
            return open(r, false);
        case Stage::Entry: {
            bool more;
            std::string_view key;
            bool present;
            if (!next_envelope_key(r, d.externs, header_, index_, &more, &key, &present)) return failed(r);
            if (!more) return found(r, DocsSequence::Kind::NotFound);  // the envelope or the response ended
            ++index_;
            if (present && wire::key_name(key) == (response_ ? KeyName::Docs : KeyName::Response)) {
                stage_ = response_ ? Stage::DocsTag : Stage::ResponseTag;
                return Step::Next;
            }
            return skip(d, r, response_ ? kResponseEntryDepth : kEnvelopeEntryDepth, Stage::Entry);
        }
        case Stage::ResponseTag:
            if (tag == wire::SOLRDOCLST) {
                r.set_position(r.position() + 1);
                return skip(d, r, kResponseEntryDepth, Stage::ListDocsTag);  // the header, whatever it is
            }
            if (!wire::is_response_container(tag))
                return skip(d, r, kEnvelopeEntryDepth, Stage::Entry);  // not a response container: search on
            return open(r, true);
        case Stage::ListDocsTag:
        case Stage::DocsTag: {
            if (wire::group_of(tag) == wire::GROUP_ARR) {
                uint64_t count;
                r.set_position(r.position() + 1);
                if (!r.read_size(tag, &count)) return failed(r);
                return found(r, DocsSequence::Kind::Counted, count);
            }
            if (stage_ == Stage::ListDocsTag) return found(r, DocsSequence::Kind::NotFound);
            if (tag == wire::ITERATOR) {
                r.set_position(r.position() + 1);
                return found(r, DocsSequence::Kind::Terminated);
            }
            docs_.kind = DocsSequence::Kind::NotFound;
            return skip(d, r, kResponseEntryDepth, Stage::Found);
        }
        case Stage::Found: break;
    }
    return Step::Complete;
}

}  // namespace velkora::arrow
