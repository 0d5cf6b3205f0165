// src/core/probe.cpp: the allocation-free completeness probe.
#include "core/probe.hpp"

#include "core/skip.hpp"

namespace velkora::wire {

namespace {

bool probe_item(Reader& r) {
    if (r.at_end()) return r.fail_eof(r.position(), r.position() + 1);
    if (r.peek() == SOLRDOC) return skip_value(r, 0, nullptr);
    return skip_value(r, 0, nullptr) && skip_value(r, 0, nullptr);
}

bool walk(Reader& r) {
    uint8_t tag;
    if (!r.read_u8(&tag)) return false;
    uint64_t count;
    uint8_t group = tag >> 5;
    if (tag == SOLRDOC) {
        uint8_t header;
        if (!r.read_u8(&header) || !r.read_size(header, &count)) return false;
    } else if (group == GROUP_ORDERED_MAP || group == GROUP_NAMED_LST) {
        if (!r.read_size(tag, &count)) return false;
    } else if (tag == MAP_ENTRY_ITER) {
        for (;;) {
            if (r.at_end()) return r.fail_eof(r.position(), r.position() + 1);
            if (r.peek() == END) {
                r.set_position(r.position() + 1);
                return true;
            }
            if (!probe_item(r)) return false;
        }
    } else {
        return r.fail_unexpected("SolrDocument or map", 0, "other tag");
    }
    for (uint64_t i = 0; i < count; ++i)
        if (!probe_item(r)) return false;
    return true;
}

}  // namespace

Probe probe_document(ByteSpan bytes, uint64_t* length, uint64_t* needed, DecodeError* error) {
    Reader r(bytes.data, bytes.size);
    if (walk(r)) {
        *length = r.position();
        return Probe::Complete;
    }
    if (r.error.kind == ErrorKind::UnexpectedEof) {
        *needed = r.error.needed;
        return Probe::NeedMore;
    }
    *error = std::move(r.error);
    return Probe::Failed;
}

}  // namespace velkora::wire
