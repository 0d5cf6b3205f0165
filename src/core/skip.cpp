// src/core/skip.cpp: the allocation-free value skipper shared by the Arrow decoders.
#include "core/skip.hpp"

namespace velkora::wire {

namespace {

class Skipper {
public:
    Skipper(Reader& r, ExternStrings* table) : r_(r), table_(table) {}

    bool value(uint32_t depth);

private:
    /// A part of the value at `depth`, one level deeper.
    VELKORA_INLINE bool part(uint32_t depth) {
        if (VELKORA_UNLIKELY(depth + 1 > MAX_DEPTH)) return r_.fail_depth(r_.position());
        return skip_short_value(r_) || value(depth + 1);
    }
    VELKORA_INLINE bool parts(uint64_t n, uint32_t depth) {
        for (uint64_t i = 0; i < n; ++i)
            if (!part(depth)) return false;
        return true;
    }
    /// True (consumed) when the next byte is END; UnexpectedEof when no byte is left.
    VELKORA_INLINE bool at_end_marker(bool* found) {
        if (VELKORA_UNLIKELY(r_.at_end())) return r_.fail_eof(r_.position(), r_.position() + 1);
        *found = r_.peek() == END;
        if (*found) r_.set_position(r_.position() + 1);
        return true;
    }
    bool skip_bytes(uint64_t n) {
        ByteSpan s;
        return r_.take(n, &s);
    }
    bool extern_string(uint8_t tag) {
        uint64_t index;
        ByteSpan text;
        if (!r_.read_size(tag, &index)) return false;
        return index != 0 || read_extern_definition(r_, table_, &text);  // a reference is not looked up here
    }
    bool document(uint32_t depth) {
        uint8_t header;
        uint64_t count;
        if (!r_.read_u8(&header) || !r_.read_size(header, &count)) return false;
        for (uint64_t i = 0; i < count; ++i) {
            if (VELKORA_UNLIKELY(r_.at_end())) return r_.fail_eof(r_.position(), r_.position() + 1);
            if (r_.peek() == SOLRDOC) {
                if (!part(depth)) return false;
            } else if (!part(depth) || !part(depth)) {
                return false;
            }
        }
        return true;
    }

    Reader& r_;
    ExternStrings* table_;
};

bool Skipper::value(uint32_t depth) {
    uint64_t tag_offset = r_.position();
    uint8_t tag;
    if (!r_.read_u8(&tag)) return false;
    uint64_t size;
    switch (group_of(tag)) {
        case GROUP_STR: return r_.read_size(tag, &size) && skip_bytes(size);
        case GROUP_SINT:
        case GROUP_SLONG: {
            if (!(tag & 0x10)) return true;
            uint64_t ignored;
            return r_.read_vlong(&ignored);  // a vint and a vlong take the same bytes
        }
        case GROUP_ARR: return r_.read_size(tag, &size) && parts(size, depth);
        case GROUP_ORDERED_MAP:
        case GROUP_NAMED_LST: return r_.read_size(tag, &size) && parts(2 * size, depth);
        case GROUP_EXTERN_STRING: return extern_string(tag);
        default: break;
    }
    switch (tag) {
        case NULL_TAG:
        case BOOL_TRUE:
        case BOOL_FALSE:
        case END: return true;
        case BYTE: return skip_bytes(1);
        case SHORT: return skip_bytes(2);
        case INT:
        case FLOAT: return skip_bytes(4);
        case LONG:
        case DATE:
        case DOUBLE: return skip_bytes(8);
        case BYTEARR: {
            uint32_t n;
            return r_.read_vint(&n) && skip_bytes(n);
        }
        case MAP: {
            uint32_t n;
            return r_.read_vint(&n) && parts(2 * static_cast<uint64_t>(n), depth);
        }
        case SOLRDOC: return document(depth);
        case SOLRDOCLST:
        case ENUM_FIELD_VALUE:
        case MAP_ENTRY: return parts(2, depth);
        case ITERATOR:
            for (;;) {
                bool end;
                if (!at_end_marker(&end)) return false;
                if (end) return true;
                if (!part(depth)) return false;
            }
        case MAP_ENTRY_ITER:
            for (;;) {
                bool end;
                if (!at_end_marker(&end)) return false;
                if (end) return true;
                if (!part(depth) || !part(depth)) return false;
            }
        case TYPED_ARR: {
            uint8_t type;
            uint32_t count;
            ByteSpan payload;
            return read_typed_array_header(r_, &type, &count, &payload);
        }
        default: return r_.fail_unknown_tag(tag_offset, tag);  // SOLRINPUTDOC, 0x14, 0x16..0x1F
    }
}

}  // namespace

bool skip_value_slow(Reader& r, uint32_t depth, ExternStrings* table) {
    Skipper skipper(r, table);
    return skipper.value(depth);
}

}  // namespace velkora::wire
