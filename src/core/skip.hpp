// src/core/skip.hpp: skipping one javabin value: passing over it whole without building anything.
#pragma once

#include <cstdint>

#include "core/extern_strings.hpp"
#include "core/reader.hpp"

namespace velkora::wire {

/// Reads one complete value standing at nesting level `depth` and discards it; its parts stand one level
/// deeper, and a part that would stand deeper than MAX_DEPTH is DepthExceeded at its first byte.
///
/// It reads structure only, allocating nothing: tags (16, 20 and 22..31 are UnknownTag, and so is a
/// typed-array element type outside 1..8), sizes and counts against the input, and the depth limit. Every
/// extern-string definition is checked as UTF-8 and appended to `table` (when given), so later references
/// stay numbered as the sender numbered them. Plain strings are not checked as UTF-8, references are not
/// looked up, and the kinds of keys and document items are not examined. An END byte in value position is
/// a one-byte value; the END closing an ITERATOR or MAP_ENTRY_ITER is not depth-checked. Document items
/// are told apart by their first byte: SOLRDOC opens one value (a child), anything else a key and a value.
[[nodiscard]] bool skip_value_slow(Reader& r, uint32_t depth, ExternStrings* table);

/// The whole length of a value that its tag byte alone fixes, 0 for every other tag: one-byte names,
/// short strings, small numbers and fixed-width scalars, which make up most of a document.
inline constexpr auto kShortValueLength = [] {
    struct Table {
        uint8_t length[256] = {};
    } t;
    for (int tag = 0; tag < 256; ++tag) {
        int group = group_of(tag), low = tag & SIZE_BITS;
        uint8_t n = 0;
        if (group == GROUP_STR && low != SIZE_FOLLOWS) n = static_cast<uint8_t>(1 + low);
        else if ((group == GROUP_SINT || group == GROUP_SLONG) && !(tag & 0x10)) n = 1;
        else if (group == GROUP_EXTERN_STRING && low != 0 && low != SIZE_FOLLOWS) n = 1;  // definitions go to the table
        else if (tag == NULL_TAG || tag == BOOL_TRUE || tag == BOOL_FALSE || tag == END) n = 1;
        else if (tag == INT || tag == FLOAT) n = 5;
        else if (tag == LONG || tag == DATE || tag == DOUBLE) n = 9;
        t.length[tag] = n;
    }
    return t;
}();

/// Steps over a value whose length its first bytes fix (also a string of 31 to 158 bytes); false, having
/// read nothing, for every other value and whenever the input is short.
VELKORA_INLINE bool skip_short_value(Reader& r) {
    uint64_t left = r.remaining();
    if (VELKORA_UNLIKELY(left == 0)) return false;
    const uint8_t* p = r.cursor();
    uint64_t length = kShortValueLength.length[p[0]];
    if (VELKORA_UNLIKELY(length == 0)) {
        if (p[0] != (GROUP_STR << 5 | SIZE_FOLLOWS) || left < 2 || p[1] >= 0x80) return false;
        length = 2 + 31 + p[1];
    }
    if (VELKORA_UNLIKELY(length > left)) return false;
    r.set_position(r.position() + length);
    return true;
}

/// A short array of such values (a multi-valued field); false, having read nothing, for anything else.
VELKORA_INLINE bool skip_short_array(Reader& r, uint32_t depth) {
    if (VELKORA_UNLIKELY(r.at_end())) return false;
    uint8_t tag = r.peek();
    if (group_of(tag) != GROUP_ARR || (tag & SIZE_BITS) == SIZE_FOLLOWS || depth + 1 > MAX_DEPTH) return false;
    uint64_t start = r.position();
    r.set_position(start + 1);
    for (unsigned i = tag & SIZE_BITS; i > 0; --i) {
        if (!skip_short_value(r)) {
            r.set_position(start);
            return false;
        }
    }
    return true;
}

[[nodiscard]] VELKORA_INLINE bool skip_value(Reader& r, uint32_t depth, ExternStrings* table) {
    return skip_short_value(r) || skip_short_array(r, depth) || skip_value_slow(r, depth, table);
}

/// A top-level value that is no envelope, read through as any value passed over, so that a broken body is
/// refused rather than taken for one without documents. An END marker is no value at all there (the skip
/// rules take it as one only where a sequence may end).
[[nodiscard]] inline bool skip_top_level_value(Reader& r, ExternStrings* table) {
    if (!r.at_end() && r.peek() == END) return r.fail_unexpected("value", r.position(), "END marker");
    return skip_value(r, 1, table);
}

}  // namespace velkora::wire
