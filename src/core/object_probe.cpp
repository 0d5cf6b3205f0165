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
    // Out of memory, the walk is refused, and the decoder, run at once, reads the bytes itself.
    if (tally_->definitions && !tally_->definitions->push({offset, size, *name})) return r.fail_out_of_memory();
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

}  // namespace velkora::wire
