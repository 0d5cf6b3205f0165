// src/core/object_probe.cpp: the resumable walks by the Python-object decoder's rules.
//
// Every step reads one tag with what belongs to it (a whole scalar or string, or a container's header) and is
// kept only when all its bytes are there; a step that runs out leaves the walk as it was, so the next call
// starts that step again and no byte is walked twice beyond one step's worth.
#include "core/object_probe.hpp"

namespace velkora::wire {

namespace {

// Frame phases: which part of an entry comes next.
constexpr uint8_t kKey = 0;    // a key, an item of a document, a list's header
constexpr uint8_t kValue = 1;  // the value after a key, a field's value, a list's documents
constexpr uint8_t kDone = 2;   // nothing more (MAP_ENTRY, SOLRDOCLST)
constexpr uint8_t kBoost = 3;  // an input document's boost

}  // namespace

void ObjectProbe::begin(uint64_t position, uint32_t depth, bool end_allowed) {
    stack_.clear();
    pos_ = position;
    needed_ = {};
    depth_ = depth;
    end_allowed_ = end_allowed;
    final_ = Walked::Wait;
    shape_ = Shape::Null;
    name_ = KeyName::Other;
}

Walked ObjectProbe::resume(ByteSpan bytes, ExternTally& tally) {
    if (final_ != Walked::Wait) return final_;
    Reader r(bytes.data, bytes.size);
    for (;;) {
        r.set_position(pos_);
        switch (step(r, tally)) {
            case Step::Next: pos_ = r.position(); break;
            case Step::Wait: return Walked::Wait;
            case Step::Refused: return final_ = Walked::Refused;
            case Step::Complete: pos_ = r.position(); return final_ = Walked::Complete;
        }
    }
}

ObjectProbe::Step ObjectProbe::wait(const Reader& r) {
    needed_ = InputWait::of(r.error);
    return Step::Wait;
}

ObjectProbe::Step ObjectProbe::step(Reader& r, ExternTally& tally) {
    if (stack_.empty()) {  // the value itself (once it is a container, its frame is at the bottom)
        uint8_t tag;
        if (!r.read_u8(&tag)) return wait(r);
        if (tag == END) return end_allowed_ ? closed(Shape::End) : Step::Refused;
        return open(r, tally, tag, depth_);
    }
    Frame& f = stack_.top();
    switch (f.kind) {
        case Kind::Array:
        case Kind::Enum:
            if (f.remaining == 0) break;
            return part(r, tally, f.depth, false);
        case Kind::NamedList:
        case Kind::Map:
            if (f.phase == kKey && f.remaining == 0) break;
            return part(r, tally, f.depth, false);
        case Kind::MapEntryIter: return part(r, tally, f.depth, f.phase == kKey);
        case Kind::Iterator: return part(r, tally, f.depth, true);
        case Kind::MapEntry:
        case Kind::DocList:
            if (f.phase == kDone) break;
            return part(r, tally, f.depth, false);
        case Kind::Document:
            if (f.phase != kKey) return part(r, tally, f.depth, false);  // the boost, or a field's value
            if (f.remaining == 0) break;
            return item(r, tally, f);
    }
    // The container is complete.
    Shape shape = f.kind == Kind::Array || (f.kind == Kind::Map && f.flag) ? Shape::List : Shape::Dict;
    stack_.pop();
    return closed(shape);
}

ObjectProbe::Step ObjectProbe::part(Reader& r, ExternTally& tally, uint32_t depth, bool end_allowed) {
    if (depth + 1 > MAX_DEPTH) return Step::Refused;  // DepthExceeded, before any byte of the part is read
    uint8_t tag;
    if (!r.read_u8(&tag)) return wait(r);
    if (tag == END) {
        if (!end_allowed) return Step::Refused;  // END where a value is required
        Shape shape = stack_.top().kind == Kind::Iterator ? Shape::List : Shape::Dict;
        stack_.pop();
        return closed(shape);
    }
    return open(r, tally, tag, depth + 1);
}

ObjectProbe::Step ObjectProbe::push(Kind kind, uint32_t depth, uint64_t remaining, uint8_t phase, bool flag) {
    return stack_.push({remaining, depth, kind, phase, flag}) ? Step::Next : Step::Refused;
}

ObjectProbe::Step ObjectProbe::string(Reader& r, uint64_t size, KeyName* name) {
    ByteSpan text;
    if (!r.take(size, &text)) return wait(r);
    Utf8Failure failure;
    if (!validate_utf8(text.data, text.size, &failure)) return Step::Refused;
    *name = key_name(text);
    return Step::Next;
}

ObjectProbe::Step ObjectProbe::extern_string(Reader& r, ExternTally& tally, uint8_t tag, KeyName* name) {
    uint64_t index;
    if (!r.read_size(tag, &index)) return wait(r);
    if (index != 0) {
        // The table at this point is fixed by the bytes before it: no later chunk makes the reference valid.
        if (index - 1 >= tally.count) return Step::Refused;
        *name = tally.definitions ? (*tally.definitions)[index - 1].name : KeyName::Other;
        return Step::Next;
    }
    uint8_t header;  // only its low five bits count
    uint64_t size;
    if (!r.read_u8(&header) || !r.read_size(header, &size)) return wait(r);
    uint64_t offset = r.position();
    Step s = string(r, size, name);
    if (s != Step::Next) return s;
    ++tally.count;
    if (tally.definitions) tally.definitions->push_back({offset, size, *name});
    return Step::Next;
}

ObjectProbe::Step ObjectProbe::open(Reader& r, ExternTally& tally, uint8_t tag, uint32_t depth) {
    uint64_t size;
    KeyName name = KeyName::Other;
    switch (group_of(tag)) {
        case GROUP_STR: {
            if (!r.read_size(tag, &size)) return wait(r);
            Step s = string(r, size, &name);
            return s == Step::Next ? closed(Shape::Str, name) : s;
        }
        case GROUP_SINT: {
            int32_t v;
            return read_small_int(r, tag, &v) ? closed(Shape::Scalar) : wait(r);
        }
        case GROUP_SLONG: {
            int64_t v;
            return read_small_long(r, tag, &v) ? closed(Shape::Scalar) : wait(r);
        }
        case GROUP_ARR: return r.read_size(tag, &size) ? push(Kind::Array, depth, size) : wait(r);
        case GROUP_ORDERED_MAP:
        case GROUP_NAMED_LST: return r.read_size(tag, &size) ? push(Kind::NamedList, depth, size) : wait(r);
        case GROUP_EXTERN_STRING: {
            Step s = extern_string(r, tally, tag, &name);
            return s == Step::Next ? closed(Shape::Str, name) : s;
        }
        default: break;
    }
    ByteSpan bytes;
    uint32_t count;
    switch (tag) {
        case NULL_TAG: return closed(Shape::Null);
        case BOOL_TRUE:
        case BOOL_FALSE: return closed(Shape::Scalar);
        case BYTE: return r.take(1, &bytes) ? closed(Shape::Scalar) : wait(r);
        case SHORT: return r.take(2, &bytes) ? closed(Shape::Scalar) : wait(r);
        case INT:
        case FLOAT: return r.take(4, &bytes) ? closed(Shape::Scalar) : wait(r);
        case LONG:
        case DATE:
        case DOUBLE: return r.take(8, &bytes) ? closed(Shape::Scalar) : wait(r);
        case BYTEARR: return r.read_vint(&count) && r.take(count, &bytes) ? closed(Shape::Scalar) : wait(r);
        case MAP: return r.read_vint(&count) ? push(Kind::Map, depth, count) : wait(r);
        case SOLRDOC: {
            uint8_t header;  // its top three bits are not checked
            if (!r.read_u8(&header) || !r.read_size(header, &size)) return wait(r);
            return push(Kind::Document, depth, size, kKey, false);
        }
        case SOLRINPUTDOC: return r.read_vint(&count) ? push(Kind::Document, depth, count, kBoost, true) : wait(r);
        case SOLRDOCLST: return push(Kind::DocList, depth, 0);
        case ITERATOR: return push(Kind::Iterator, depth, 0);
        case MAP_ENTRY_ITER: return push(Kind::MapEntryIter, depth, 0);
        case MAP_ENTRY: return push(Kind::MapEntry, depth, 0);
        case ENUM_FIELD_VALUE: return push(Kind::Enum, depth, 2);
        case TYPED_ARR: {
            uint8_t type;
            if (!r.read_u8(&type) || !r.read_vint(&count)) return wait(r);
            unsigned width = typed_element_width(type);
            // The decoder looks at the element type only when an element is due.
            if (width == 0) return count == 0 ? closed(Shape::List) : Step::Refused;
            if (!r.take(static_cast<uint64_t>(count) * width, &bytes)) return wait(r);
            return closed(type == TYPED_BYTES ? Shape::Scalar : Shape::List);
        }
        default: return Step::Refused;  // 0x14 and 0x16..0x1F (END is never opened)
    }
}

ObjectProbe::Step ObjectProbe::item(Reader& r, ExternTally& tally, Frame& f) {
    uint8_t tag;
    if (!r.read_u8(&tag)) return wait(r);
    if (f.flag && tag == FLOAT) {  // an input document's field boost: skipped without using up the count
        ByteSpan boost;
        return r.take(4, &boost) ? Step::Next : wait(r);
    }
    KeyName name;
    Step s;
    switch (group_of(tag)) {
        case GROUP_EXTERN_STRING: s = extern_string(r, tally, tag, &name); break;
        case GROUP_STR: {
            uint64_t size;
            if (!r.read_size(tag, &size)) return wait(r);
            s = string(r, size, &name);
            break;
        }
        default:
            // Any other item is refused by its tag alone; a child document is one level deeper.
            if ((tag != SOLRDOC && tag != SOLRINPUTDOC) || f.depth + 1 > MAX_DEPTH) return Step::Refused;
            return open(r, tally, tag, f.depth + 1);
    }
    if (s == Step::Next) f.phase = kValue;  // a field name: its value comes next
    return s;
}

ObjectProbe::Step ObjectProbe::closed(Shape shape, KeyName name) {
    if (stack_.empty()) {
        shape_ = shape;
        name_ = name;
        return Step::Complete;
    }
    Frame& f = stack_.top();
    bool unhashable = shape == Shape::List || shape == Shape::Dict;
    switch (f.kind) {
        case Kind::Array:
        case Kind::Enum: --f.remaining; break;
        case Kind::NamedList:
            if (f.phase == kKey) {
                if (shape != Shape::Str && shape != Shape::Null) return Step::Refused;  // a key neither str nor None
                f.phase = kValue;
            } else {
                --f.remaining;
                f.phase = kKey;
            }
            break;
        case Kind::Map:
            if (f.phase == kKey) {
                f.flag = f.flag || shape != Shape::Str;  // the entries become [key, value] lists
                f.phase = kValue;
            } else {
                --f.remaining;
                f.phase = kKey;
            }
            break;
        case Kind::MapEntryIter:
        case Kind::MapEntry:
            if (f.phase == kKey) {
                f.flag = unhashable;
                f.phase = kValue;
            } else {
                if (f.flag) return Step::Refused;  // the entry cannot be stored under that key
                f.phase = f.kind == Kind::MapEntry ? kDone : kKey;
            }
            break;
        case Kind::Iterator: break;
        case Kind::DocList:
            if (f.phase == kKey) {
                if (shape != Shape::List) return Step::Refused;  // the header must be a list
                f.phase = kValue;
            } else {
                f.phase = kDone;
            }
            break;
        case Kind::Document:
            if (f.phase != kBoost) --f.remaining;  // a field's value, or a child document standing as an item
            f.phase = kKey;
            break;
    }
    return Step::Next;
}

}  // namespace velkora::wire
