// src/core/skip.hpp: walking over one javabin value without building anything.
#pragma once

#include <cstdint>

#include "core/extern_strings.hpp"
#include "core/reader.hpp"

namespace velkora::wire {

/// Reads one complete value standing at nesting level `depth` and discards it; its parts stand one level
/// deeper, and a part that would stand deeper than MAX_DEPTH is DepthExceeded at its first byte.
///
/// It walks structure only, allocating nothing: tags (16, 20 and 22..31 are UnknownTag, and so is a
/// typed-array element type outside 1..8), sizes and counts against the input, and the depth limit. Every
/// extern-string definition is checked as UTF-8 and appended to `table` (when given), so later references
/// stay numbered as the sender numbered them. Plain strings are not checked as UTF-8, references are not
/// looked up, and the kinds of keys and document items are not examined. An END byte in value position is
/// a one-byte value; the END closing an ITERATOR or MAP_ENTRY_ITER is not depth-checked. Document items
/// are told apart by their first byte: SOLRDOC opens one value (a child), anything else a key and a value.
[[nodiscard]] bool skip_value(Reader& r, uint32_t depth, ExternStrings* table);

}  // namespace velkora::wire
