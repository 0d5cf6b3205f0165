// src/core/probe.cpp: the first step of the skip rules: a document's tag and item count, or the value.
#include "core/probe.hpp"

namespace velkora::wire {

SkipStep SkipRules::start(Reader& r) {
    if (!document_) return value(r, depth_);  // once a container, its frame is at the bottom
    uint8_t tag;
    uint64_t count = 0;
    if (!r.read_u8(&tag)) return SkipStep::Wait;
    if (tag == SOLRDOC) {
        uint8_t header;
        if (!r.read_u8(&header) || !r.read_size(header, &count)) return SkipStep::Wait;
    } else if (group_of(tag) == GROUP_ORDERED_MAP || group_of(tag) == GROUP_NAMED_LST) {
        if (!r.read_size(tag, &count)) return SkipStep::Wait;
    } else if (tag != MAP_ENTRY_ITER) {
        r.fail_unexpected("SolrDocument or map", 0, "other tag");
        return SkipStep::Refused;
    }
    // The document's items stand at level 0.
    if (!stack_.push({count, 0, Container::Document, kKey, false, tag == MAP_ENTRY_ITER})) return refuse_depth(r);
    return SkipStep::Next;
}

}  // namespace velkora::wire
