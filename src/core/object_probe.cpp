// src/core/object_probe.cpp: the probes by the Python-object decoder's rules.
#include "core/object_probe.hpp"

namespace velkora::wire {

void ObjectProbe::begin(uint64_t position, uint32_t depth, bool end_allowed) {
    restart(position);
    depth_ = depth;
    end_allowed_ = end_allowed;
    shape_ = Shape::Null;
    name_ = KeyName::Other;
}

SkipStep ObjectProbe::start(Reader& r) {
    uint8_t tag;
    if (!r.read_u8(&tag)) return SkipStep::Wait;
    if (tag == END) return end_allowed_ ? closed(Shape::End) : refuse(r, r.position() - 1);
    return open(r, tag, depth_);  // once a container, its frame is at the bottom
}

bool ObjectProbe::text(Reader& r, uint64_t size, KeyName* name) {
    ByteSpan text;
    if (!r.take_utf8(size, &text)) return false;
    *name = key_name(text);
    return true;
}

bool ObjectProbe::extern_string(Reader& r, uint8_t tag, KeyName* name) {
    uint64_t index;
    if (!r.read_size(tag, &index)) return false;
    if (index != 0) {
        // The table at this point is fixed by the bytes before it: no later chunk makes the reference valid.
        if (index - 1 >= tally_->count) return refuse_value(r, r.position());
        *name = tally_->definitions ? (*tally_->definitions)[index - 1].name : KeyName::Other;
        return true;
    }
    uint8_t header;  // only its low five bits count
    uint64_t size;
    if (!r.read_u8(&header) || !r.read_size(header, &size)) return false;
    uint64_t offset = r.position();
    if (!text(r, size, name)) return false;
    ++tally_->count;
    if (tally_->definitions) tally_->definitions->push_back({offset, size, *name});
    return true;
}

bool ObjectProbe::typed_array(Reader& r, Shape* shape) {
    uint8_t type;
    uint32_t count;
    ByteSpan bytes;
    if (!r.read_u8(&type) || !r.read_vint(&count)) return false;
    unsigned width = typed_element_width(type);
    // The decoder looks at the element type only when an element is due.
    if (width == 0) {
        *shape = Shape::List;
        return count == 0 || refuse_value(r, r.position());
    }
    if (!r.take(static_cast<uint64_t>(count) * width, &bytes)) return false;
    *shape = type == TYPED_BYTES ? Shape::Scalar : Shape::List;
    return true;
}

SkipStep ObjectProbe::item(Reader& r, SkipFrame& f) {
    uint8_t tag;
    if (!r.read_u8(&tag)) return SkipStep::Wait;
    if (f.flag && tag == FLOAT) {  // an input document's field boost: passed over without using up the count
        ByteSpan boost;
        return r.take(4, &boost) ? SkipStep::Next : SkipStep::Wait;
    }
    KeyName name;
    bool read;
    switch (group_of(tag)) {
        case GROUP_EXTERN_STRING: read = extern_string(r, tag, &name); break;
        case GROUP_STR: {
            uint64_t size;
            read = r.read_size(tag, &size) && text(r, size, &name);
            break;
        }
        default: {
            // Any other item is refused by its tag alone; a child document is one level deeper.
            if ((tag != SOLRDOC && tag != SOLRINPUTDOC) || f.depth > MAX_DEPTH) return refuse(r, r.position() - 1);
            SkipStep s = open(r, tag, f.depth);
            if (s == SkipStep::Next) f.phase = kChild;
            return s;
        }
    }
    if (!read) return failed(r);
    f.phase = kValue;  // a field name: its value comes next
    return SkipStep::Next;
}

// --- the envelope ------------------------------------------------------------------------------------------

Walked EnvelopeProbe::resume(ByteSpan bytes) {
    if (final_ != Walked::Wait) return final_;
    tally_.definitions = &definitions_;
    Reader r(bytes.data, bytes.size);
    for (;;) {
        if (in_value_) {
            Walked w = value_.resume(bytes, tally_);
            if (w == Walked::Wait) {
                needed_ = value_.needed();
                return w;
            }
            if (w == Walked::Refused) return final_ = w;
            in_value_ = false;
            pos_ = value_.end();
            switch (stage_) {
                case Stage::Key: {
                    ObjectProbe::Shape shape = value_.shape();
                    if (shape == ObjectProbe::Shape::End) return ended(pos_, StreamPhase::Done);  // the container ended
                    if (is_named_list(container_) && shape != ObjectProbe::Shape::Str &&
                        shape != ObjectProbe::Shape::Null)
                        return final_ = Walked::Refused;  // a named-list key neither str nor None
                    key_ = shape == ObjectProbe::Shape::Str ? value_.name() : KeyName::Other;
                    if (container_ != MAP_ENTRY_ITER) --remaining_;
                    stage_ = Stage::Value;
                    break;
                }
                case Stage::Value:
                case Stage::ResponseTag: stage_ = Stage::Key; break;  // a value passed over: the next entry
                case Stage::ListHeader: stage_ = Stage::ListDocsTag; break;
                // A top-level value that is no envelope, or "docs" that is no sequence: read and passed over.
                default: return ended(pos_, StreamPhase::Done);
            }
            continue;
        }
        r.set_position(pos_);
        uint8_t tag = 0;
        if (stage_ != Stage::Version && stage_ != Stage::Key && stage_ != Stage::Value) {
            if (r.at_end()) {
                needed_ = {pos_ + 1};
                return Walked::Wait;
            }
            tag = r.peek();
        }
        switch (stage_) {
            case Stage::Version: {
                uint8_t version;
                if (!r.read_u8(&version)) {
                    needed_ = {1};
                    return Walked::Wait;
                }
                if (version != JAVABIN_VERSION) return final_ = Walked::Refused;
                pos_ = 1;
                stage_ = Stage::TopTag;
                break;
            }
            case Stage::TopTag:
                if (!is_envelope(tag)) {
                    // Any other top-level value holds nothing to deliver, but is read whole, as deserialize
                    // reads it, so that a broken one is refused; the parse ends after it.
                    stage_ = Stage::TopValue;
                    walk_value(false);
                    break;
                }
                if (!keyed(r, false)) return Walked::Wait;
                break;
            case Stage::Key:
                if (container_ != MAP_ENTRY_ITER && remaining_ == 0) return ended(pos_, StreamPhase::Done);
                walk_value(container_ == MAP_ENTRY_ITER);
                break;
            case Stage::Value:
                if (key_ == (response_ ? KeyName::Docs : KeyName::Response))
                    stage_ = response_ ? Stage::DocsTag : Stage::ResponseTag;
                else
                    walk_value(false);
                break;
            case Stage::ResponseTag:
                if (is_response_container(tag)) {
                    if (!keyed(r, true)) return Walked::Wait;
                } else if (tag == SOLRDOCLST) {
                    pos_ += 1;
                    stage_ = Stage::ListHeader;
                    walk_value(false);
                } else {
                    walk_value(false);
                }
                break;
            case Stage::ListDocsTag:
            case Stage::DocsTag: {
                if (group_of(tag) == GROUP_ARR) {
                    uint64_t count;
                    r.set_position(pos_ + 1);
                    if (!r.read_size(tag, &count)) {
                        needed_ = InputWait::of(r.error);
                        return Walked::Wait;
                    }
                    return ended(r.position(), StreamPhase::CountedDocs, count);
                }
                if (tag == ITERATOR && stage_ == Stage::DocsTag) return ended(pos_ + 1, StreamPhase::IteratorDocs);
                if (stage_ == Stage::ListDocsTag) return ended(pos_, StreamPhase::Done);  // not read
                walk_value(false);  // read and passed over, then the parse ends
                break;
            }
            case Stage::ListHeader:
            case Stage::TopValue: return final_ = Walked::Refused;  // not reached: walked by value_
        }
    }
}

Walked EnvelopeProbe::ended(uint64_t end, StreamPhase phase, uint64_t count) {
    pos_ = end;
    phase_ = phase;
    count_ = count;
    return final_ = Walked::Complete;
}

bool EnvelopeProbe::keyed(Reader& r, bool response) {
    KeyedHeader header;
    if (!open_keyed(r, &header)) {
        needed_ = InputWait::of(r.error);
        return false;
    }
    pos_ = r.position();
    container_ = header.tag;
    remaining_ = header.count;
    response_ = response;
    stage_ = Stage::Key;
    return true;
}

void EnvelopeProbe::walk_value(bool end_allowed) {
    value_.begin(pos_, kObjectEnvelopeDepth, end_allowed);
    in_value_ = true;
}

}  // namespace velkora::wire
