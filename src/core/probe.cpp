// src/core/probe.cpp: the allocation-free completeness probe of the chunk-fed Arrow decoder.
//
// Every step reads one tag with what belongs to it (a whole scalar or string, or a container's header) and is
// kept only when all its bytes are there, so the next call starts that step again and the walk over a
// document is linear in its size however it is cut. Each fault is the one skip_value reports, at the same
// offset and in the same order.
#include "core/probe.hpp"

#include "core/extern_strings.hpp"
#include "core/skip.hpp"

namespace velkora::wire {

namespace {

// Phases of a document frame: what the next step reads.
constexpr uint8_t kItem = 0;   // the start of an item (or the END of a MAP_ENTRY_ITER document)
constexpr uint8_t kChild = 1;  // an anonymous child document standing as an item
constexpr uint8_t kKey = 2;    // an item's key
constexpr uint8_t kValue = 3;  // an item's value

}  // namespace

Walked DocumentProbe::resume(ByteSpan bytes, DecodeError* error) {
    if (final_ == Walked::Refused) *error = error_;
    if (final_ != Walked::Wait) return final_;
    Reader r(bytes.data, bytes.size);
    for (;;) {
        r.set_position(pos_);
        switch (step(r)) {
            case Step::Next: pos_ = r.position(); break;
            case Step::Wait: return Walked::Wait;
            case Step::Refused:
                *error = error_;
                return final_ = Walked::Refused;
            case Step::Complete: pos_ = r.position(); return final_ = Walked::Complete;
        }
    }
}

DocumentProbe::Step DocumentProbe::failed(Reader& r) {
    if (r.error.kind == ErrorKind::UnexpectedEof) {
        needed_ = InputWait::of(r.error);
        return Step::Wait;
    }
    error_ = std::move(r.error);
    return Step::Refused;
}

DocumentProbe::Step DocumentProbe::eof(Reader& r) {
    r.fail_eof(r.position(), r.position() + 1);
    return failed(r);
}

DocumentProbe::Step DocumentProbe::step(Reader& r) {
    if (stack_.empty() && value_) return value(r, depth_);  // the value's tag (once a container, its frame)
    if (stack_.empty()) {  // the document's tag and item count
        uint8_t tag;
        uint64_t count = 0;
        if (!r.read_u8(&tag)) return failed(r);
        uint8_t group = group_of(tag);
        if (tag == SOLRDOC) {
            uint8_t header;
            if (!r.read_u8(&header) || !r.read_size(header, &count)) return failed(r);
        } else if (group == GROUP_ORDERED_MAP || group == GROUP_NAMED_LST) {
            if (!r.read_size(tag, &count)) return failed(r);
        } else if (tag != MAP_ENTRY_ITER) {
            r.fail_unexpected("SolrDocument or map", 0, "other tag");
            return failed(r);
        }
        bool pushed = stack_.push({count, 0, Kind::Document, kItem, tag == MAP_ENTRY_ITER});
        return pushed ? Step::Next : Step::Refused;
    }
    Frame& f = stack_.top();
    switch (f.kind) {
        case Kind::Document: return items(r, f, false);
        case Kind::ChildDocument: return items(r, f, true);
        case Kind::Parts:
            if (f.remaining == 0) break;
            return part(r, f.depth);
        case Kind::Iterator:
        case Kind::MapEntryIter:
            if (f.kind == Kind::MapEntryIter && f.phase == kValue) return part(r, f.depth);
            if (r.at_end()) return eof(r);
            if (r.peek() != END) return part(r, f.depth);
            r.set_position(r.position() + 1);  // the END closing it, not depth-checked
            break;
        default: break;
    }
    stack_.pop();
    return closed();
}

/// The items of a document: at nesting level 0 for the document being probed (`checked` false), as parts of
/// the child document's level otherwise.
DocumentProbe::Step DocumentProbe::items(Reader& r, Frame& f, bool checked) {
    if (f.phase == kItem) {
        if (!f.until_end && f.remaining == 0) {
            stack_.pop();
            return closed();
        }
        if (r.at_end()) return eof(r);
        if (f.until_end && r.peek() == END) {
            r.set_position(r.position() + 1);
            stack_.pop();
            return closed();
        }
        f.phase = r.peek() == SOLRDOC ? kChild : kKey;  // a step that reads nothing: the next one reads the item
        return Step::Next;
    }
    return checked ? part(r, f.depth) : value(r, 0);
}

DocumentProbe::Step DocumentProbe::part(Reader& r, uint32_t depth) {
    if (VELKORA_UNLIKELY(depth + 1 > MAX_DEPTH)) {
        r.fail_depth(r.position());
        return failed(r);
    }
    return value(r, depth + 1);
}

DocumentProbe::Step DocumentProbe::push(Reader& r, Kind kind, uint32_t depth, uint64_t remaining) {
    if (stack_.push({remaining, depth, kind, kind == Kind::MapEntryIter ? kKey : kItem, false})) return Step::Next;
    r.fail_depth(r.position());  // not reached: the depth checks keep the stack within its size
    return failed(r);
}

DocumentProbe::Step DocumentProbe::value(Reader& r, uint32_t depth) {
    if (skip_short_value(r)) return closed();
    uint64_t tag_offset = r.position();
    uint8_t tag;
    if (!r.read_u8(&tag)) return failed(r);
    uint64_t size;
    ByteSpan bytes;
    switch (group_of(tag)) {
        case GROUP_STR: return r.read_size(tag, &size) && r.take(size, &bytes) ? closed() : failed(r);
        case GROUP_SINT:
        case GROUP_SLONG: {
            uint64_t ignored;  // a vint and a vlong take the same bytes
            return !(tag & 0x10) || r.read_vlong(&ignored) ? closed() : failed(r);
        }
        case GROUP_ARR: return r.read_size(tag, &size) ? push(r, Kind::Parts, depth, size) : failed(r);
        case GROUP_ORDERED_MAP:
        case GROUP_NAMED_LST: return r.read_size(tag, &size) ? push(r, Kind::Parts, depth, 2 * size) : failed(r);
        case GROUP_EXTERN_STRING:
            if (!r.read_size(tag, &size)) return failed(r);
            // A reference is not looked up here; a definition is checked as UTF-8.
            return size != 0 || read_extern_definition(r, table_, &bytes) ? closed() : failed(r);
        default: break;
    }
    uint32_t count;
    switch (tag) {
        case NULL_TAG:
        case BOOL_TRUE:
        case BOOL_FALSE:
        case END: return closed();
        case BYTE: return r.take(1, &bytes) ? closed() : failed(r);
        case SHORT: return r.take(2, &bytes) ? closed() : failed(r);
        case INT:
        case FLOAT: return r.take(4, &bytes) ? closed() : failed(r);
        case LONG:
        case DATE:
        case DOUBLE: return r.take(8, &bytes) ? closed() : failed(r);
        case BYTEARR: return r.read_vint(&count) && r.take(count, &bytes) ? closed() : failed(r);
        case MAP: return r.read_vint(&count) ? push(r, Kind::Parts, depth, 2 * static_cast<uint64_t>(count)) : failed(r);
        case SOLRDOC: {
            uint8_t header;
            if (!r.read_u8(&header) || !r.read_size(header, &size)) return failed(r);
            return push(r, Kind::ChildDocument, depth, size);
        }
        case SOLRDOCLST:
        case ENUM_FIELD_VALUE:
        case MAP_ENTRY: return push(r, Kind::Parts, depth, 2);
        case ITERATOR: return push(r, Kind::Iterator, depth, 0);
        case MAP_ENTRY_ITER: return push(r, Kind::MapEntryIter, depth, 0);
        case TYPED_ARR: {
            uint8_t type;
            return read_typed_array_header(r, &type, &count, &bytes) ? closed() : failed(r);
        }
        default: r.fail_unknown_tag(tag_offset, tag); return failed(r);  // SOLRINPUTDOC, 0x14, 0x16..0x1F
    }
}

DocumentProbe::Step DocumentProbe::closed() {
    if (stack_.empty()) return Step::Complete;
    Frame& f = stack_.top();
    switch (f.kind) {
        case Kind::Document:
        case Kind::ChildDocument:
            if (f.phase == kKey) {
                f.phase = kValue;
            } else {
                if (!f.until_end) --f.remaining;
                f.phase = kItem;
            }
            break;
        case Kind::Parts: --f.remaining; break;
        case Kind::MapEntryIter: f.phase = f.phase == kKey ? kValue : kKey; break;
        case Kind::Iterator: break;
    }
    return Step::Next;
}

}  // namespace velkora::wire
