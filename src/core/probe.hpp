// src/core/probe.hpp: the completeness probe of the chunk-fed decoders: how long is the document at the
// start of the unread bytes, if all of it is there.
#pragma once

#include <cstdint>

#include "core/reader.hpp"

namespace velkora::wire {

enum class Probe : uint8_t { Complete, NeedMore, Failed };

/// Walks the document at the start of `bytes` without building anything, with a private extern-string
/// table (references to strings defined earlier in the stream are not looked up). A document is SOLRDOC
/// (its header byte's low bits count the items), ORDERED_MAP or NAMED_LST (the tag's), or MAP_ENTRY_ITER
/// (items until END); an item starting with the SOLRDOC tag is one value (a child), any other item a key
/// and a value. Complete: `*length` is the document's exact length. NeedMore: the bytes end inside it, and
/// `*needed` is how many bytes the walk would have needed to get further. Failed: `*error` (offsets from the
/// document's first byte), including "expected SolrDocument or map at byte offset 0, found other tag".
Probe probe_document(ByteSpan bytes, uint64_t* length, uint64_t* needed, DecodeError* error);

}  // namespace velkora::wire
