// src/core/reader.hpp: the javabin wire format, the byte cursor every decoder reads through, and DecodeError.
//
// Nothing here knows about the layers above it, which add failures of their own through ErrorLayer. The hot
// primitives are inline; building an error is cold and out of line.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "core/portable.hpp"

namespace velkora::wire {

inline constexpr uint8_t JAVABIN_VERSION = 2;
/// The top-level value is at depth 1; a part that would sit at depth 129 is refused.
inline constexpr uint32_t MAX_DEPTH = 128;

/// Tag bytes of group 0 (the whole byte is the tag).
enum Tag : uint8_t {
    NULL_TAG = 0x00,
    BOOL_TRUE = 0x01,
    BOOL_FALSE = 0x02,
    BYTE = 0x03,
    SHORT = 0x04,
    DOUBLE = 0x05,
    INT = 0x06,
    LONG = 0x07,
    FLOAT = 0x08,
    DATE = 0x09,
    MAP = 0x0A,
    SOLRDOC = 0x0B,
    SOLRDOCLST = 0x0C,
    BYTEARR = 0x0D,
    ITERATOR = 0x0E,
    END = 0x0F,
    SOLRINPUTDOC = 0x10,
    MAP_ENTRY_ITER = 0x11,
    ENUM_FIELD_VALUE = 0x12,
    MAP_ENTRY = 0x13,
    TYPED_ARR = 0x15,
};

/// Groups 1..7: the top three bits select the group, the low five carry a size or a small number.
enum Group : uint8_t {
    GROUP_STR = 1,
    GROUP_SINT = 2,
    GROUP_SLONG = 3,
    GROUP_ARR = 4,
    GROUP_ORDERED_MAP = 5,
    GROUP_NAMED_LST = 6,
    GROUP_EXTERN_STRING = 7,
};

/// A tag's group: its top three bits (0 for the whole-byte tags).
constexpr uint8_t group_of(uint8_t tag) { return tag >> 5; }
/// The low five bits of a group tag: a size, a small number or an extern-string index.
inline constexpr uint8_t SIZE_BITS = 0x1F;
/// Those bits at their highest: the size is 31 plus a varint that follows.
inline constexpr uint8_t SIZE_FOLLOWS = 31;

/// Element types of TYPED_ARR. Both bool types read a byte each; BYTES is one byte string, not an array.
enum TypedElement : uint8_t {
    TYPED_BOOL = 1,
    TYPED_BOOL_TOO = 2,
    TYPED_BYTES = 3,
    TYPED_SHORT = 4,
    TYPED_DOUBLE = 5,
    TYPED_INT = 6,
    TYPED_LONG = 7,
    TYPED_FLOAT = 8,
};

/// The failure kinds of the wire format, and two that come from outside it.
enum class ErrorKind : uint8_t {
    UnexpectedEof,
    InvalidVersion,
    InvalidUtf8,
    UnknownTag,
    UnexpectedValue,
    TrailingData,
    DepthExceeded,
    /// A failure of a layer above the reader: `layer` names the layer and `code` which of its failures.
    Layer,
    /// An allocation failed: a failure like the others, raised as MemoryError where the error is raised.
    OutOfMemory,
};

struct DecodeError;

/// The failures of one layer above the reader. A layer defines one of these, numbers its failures in
/// `DecodeError::code` and formats their messages, so the reader and DecodeError need to know none of them.
struct ErrorLayer {
    /// The failure's kind name, as the caller is told it.
    const char* (*kind_name)(uint8_t code);
    /// The exact message of a failure of this layer.
    std::string (*message)(const DecodeError& error);
};

/// Why a UTF-8 string was refused: how many bytes were valid before the fault, and the length of the
/// maximal invalid subpart (0 when the string ends inside a sequence).
struct Utf8Failure {
    uint64_t valid_up_to = 0;
    uint8_t error_len = 0;
};

/// The one error type of every decoder. Fields are filled per kind; the message is built only when asked.
struct DecodeError {
    ErrorKind kind = ErrorKind::UnexpectedEof;
    /// UnexpectedEof only: the failure was an extern-string reference beyond the table, not the input
    /// running out. Both read the same to the caller, but a chunk-fed decoder must not wait on the second:
    /// more bytes can never make such a reference valid.
    bool beyond_table = false;
    /// UnexpectedEof only: the input ended inside a varint, every byte from its first to the last one held
    /// having its continuation bit set. More input lets the read go on only from the first byte below 0x80.
    bool in_varint = false;
    uint8_t byte = 0;                  // InvalidVersion: the version found; UnknownTag: the tag byte
    uint64_t offset = 0;               // every offset-carrying kind; TrailingData: the unread count
    uint64_t needed = 0;               // UnexpectedEof: input length that would have let the read go on
    const char* expected = nullptr;    // UnexpectedValue; a layer's static texts
    const char* found = nullptr;       // UnexpectedValue; a layer's static texts
    Utf8Failure utf8;                  // InvalidUtf8
    /// Layer only: the layer, which of its failures this is, and the owned texts its message quotes.
    const ErrorLayer* layer = nullptr;
    uint8_t code = 0;
    std::string text;
    std::string text2;
    /// Where a decoder above the reader met the failure, for errors whose message alone cannot say: the
    /// result document (0-based, counted over the response), the field the failing value belongs to
    /// (empty: none), and `located`, set when `offset` holds the failing value's offset for a kind whose
    /// message names no offset.
    bool in_document = false;
    uint64_t document = 0;
    std::string field;
    bool located = false;

    /// The exact message the caller sees.
    std::string message() const;
    /// The kind's name as the caller is told it ("UnexpectedEof"; a layer's failures by the layer's names).
    const char* kind_name() const;
};

/// The "expected" text of UnexpectedValue for a document item that is neither a field name nor a child
/// document; every decoder that reports it uses the same words.
inline constexpr const char* kExpectedDocumentItem = "field name (string) or child SolrDocument";

/// Validates UTF-8 (overlong forms, surrogates and code points above U+10FFFF are invalid).
/// Returns true when valid; otherwise fills `failure`.
bool validate_utf8_slow(const uint8_t* s, size_t n, Utf8Failure* failure);

VELKORA_INLINE bool validate_utf8(const uint8_t* s, size_t n, Utf8Failure* failure) {
    // Field names and most values are ASCII: test eight bytes at a time before the full check.
    constexpr uint64_t kHigh = 0x8080808080808080ULL;
    size_t i = 0;
    uint64_t w = 0;
    for (; i + 8 <= n && !(w & kHigh); i += 8) std::memcpy(&w, s + i, 8);
    if (w & kHigh) {
        i -= 8;
    } else if (i != n) {
        // The last few bytes in one load that overlaps the words already checked (or, for a string shorter
        // than a word, two that overlap each other).
        if (n >= 8) {
            std::memcpy(&w, s + n - 8, 8);
        } else if (n >= 4) {
            uint32_t a, b;
            std::memcpy(&a, s, 4);
            std::memcpy(&b, s + n - 4, 4);
            w = a | b;
        } else {
            w = s[0] | s[n / 2] | s[n - 1];
        }
    }
    if (VELKORA_LIKELY(!(w & kHigh))) return true;
    // The bytes before `i` are ASCII, so a character starts there: the full check goes on from it.
    if (validate_utf8_slow(s + i, n - i, failure)) return true;
    failure->valid_up_to += i;
    return false;
}

/// A span of input bytes, borrowed from the reader's input.
struct ByteSpan {
    const uint8_t* data;
    size_t size;
};

/// The cursor over one borrowed, read-only input. Offsets count from `begin`. A failed read records its
/// DecodeError in `error` and returns false; the caller stops and hands the error up.
class Reader {
public:
    Reader(const uint8_t* data, size_t len) : begin_(data), p_(data), end_(data + len) {}

    uint64_t position() const { return static_cast<uint64_t>(p_ - begin_); }
    uint64_t length() const { return static_cast<uint64_t>(end_ - begin_); }
    uint64_t remaining() const { return static_cast<uint64_t>(end_ - p_); }
    bool at_end() const { return p_ == end_; }
    const uint8_t* cursor() const { return p_; }
    const uint8_t* data() const { return begin_; }
    void set_position(uint64_t pos) { p_ = begin_ + pos; }

    /// The byte at the cursor, not consumed; the caller checks at_end() first.
    uint8_t peek() const { return *p_; }

    [[nodiscard]] VELKORA_INLINE bool read_u8(uint8_t* out) {
        if (VELKORA_UNLIKELY(p_ == end_)) return fail_eof(position(), position() + 1);
        *out = *p_++;
        return true;
    }

    /// The next byte, left unread; false (and no error) at the end of the input.
    [[nodiscard]] VELKORA_INLINE bool peek_u8(uint8_t* out) const {
        if (VELKORA_UNLIKELY(p_ == end_)) return false;
        *out = *p_;
        return true;
    }
    /// Reads the byte peek_u8 has just shown.
    VELKORA_INLINE void skip_peeked() { ++p_; }

    /// Big-endian fixed-width read; on failure the position is unchanged and the offset is the field's start.
    template <typename T>
    [[nodiscard]] VELKORA_INLINE bool read_be(T* out) {
        if (VELKORA_UNLIKELY(static_cast<size_t>(end_ - p_) < sizeof(T)))
            return fail_eof(position(), position() + sizeof(T));
        T v;
        std::memcpy(&v, p_, sizeof(T));
        v = static_cast<T>(wire::from_big_endian(static_cast<std::make_unsigned_t<T>>(v)));
        *out = v;
        p_ += sizeof(T);
        return true;
    }

    /// Unsigned varint, 7 bits a byte, least significant group first. The shift count is taken modulo the
    /// accumulator's width and there is no byte limit: bits past the width fold back exactly as the shift
    /// gives, which is how the encoder's readers have always behaved.
    template <typename U>
    [[nodiscard]] VELKORA_INLINE bool read_varint(U* out) {
        constexpr unsigned mask = sizeof(U) * 8 - 1;
        if (VELKORA_UNLIKELY(p_ == end_)) return fail_eof(position(), position() + 1);
        uint8_t b = *p_++;
        U result = static_cast<U>(b & 0x7F);
        unsigned shift = 7;
        while (b & 0x80) {
            if (VELKORA_UNLIKELY(p_ == end_)) return fail_eof_in_varint();
            b = *p_++;
            result |= static_cast<U>(static_cast<U>(b & 0x7F) << (shift & mask));
            shift += 7;
        }
        *out = result;
        return true;
    }

    [[nodiscard]] VELKORA_INLINE bool read_vint(uint32_t* out) { return read_varint<uint32_t>(out); }
    [[nodiscard]] VELKORA_INLINE bool read_vlong(uint64_t* out) { return read_varint<uint64_t>(out); }

    /// The size carried by a tag's low five bits; 31 means 31 plus a varint (no overflow: at most 31 + 2^32 - 1).
    [[nodiscard]] VELKORA_INLINE bool read_size(uint8_t tag, uint64_t* out) {
        uint64_t s = tag & SIZE_BITS;
        if (VELKORA_LIKELY(s != SIZE_FOLLOWS)) {
            *out = s;
            return true;
        }
        uint32_t extra;
        if (!read_vint(&extra)) return false;
        *out = 31 + static_cast<uint64_t>(extra);
        return true;
    }

    /// `n` raw bytes, borrowed; UnexpectedEof at their first byte when the input is shorter.
    [[nodiscard]] VELKORA_INLINE bool take(uint64_t n, ByteSpan* out) {
        if (VELKORA_UNLIKELY(n > static_cast<uint64_t>(end_ - p_))) return fail_eof(position(), position() + n);
        out->data = p_;
        out->size = static_cast<size_t>(n);
        p_ += n;
        return true;
    }

    /// `n` bytes that must be valid UTF-8; InvalidUtf8 at the string's first byte otherwise.
    [[nodiscard]] VELKORA_INLINE bool take_utf8(uint64_t n, ByteSpan* out) {
        uint64_t start = position();
        if (!take(n, out)) return false;
        Utf8Failure failure;
        if (VELKORA_UNLIKELY(!validate_utf8(out->data, out->size, &failure))) return fail_utf8(start, failure);
        return true;
    }

    /// A string whose size the tag (or the varint after it) gives, then that many bytes of UTF-8.
    [[nodiscard]] VELKORA_INLINE bool read_str(uint8_t tag, ByteSpan* out) {
        uint64_t size;
        return read_size(tag, &size) && take_utf8(size, out);
    }

    // Cold error builders; each returns false so callers can `return r.fail_...(...)`.
    VELKORA_NOINLINE bool fail_eof(uint64_t offset, uint64_t needed);
    /// UnexpectedEof at the input length, inside a varint's continuation bytes.
    VELKORA_NOINLINE bool fail_eof_in_varint();
    VELKORA_NOINLINE bool fail_beyond_table(uint64_t offset);
    VELKORA_NOINLINE bool fail_utf8(uint64_t offset, Utf8Failure failure);
    VELKORA_NOINLINE bool fail_unknown_tag(uint64_t offset, uint8_t tag);
    VELKORA_NOINLINE bool fail_unexpected(const char* expected, uint64_t offset, const char* found);
    VELKORA_NOINLINE bool fail_depth(uint64_t offset);
    VELKORA_NOINLINE bool fail_trailing(uint64_t unread);
    VELKORA_NOINLINE bool fail_version(uint8_t found);
    /// OutOfMemory: an allocation of the decoder using this reader failed.
    VELKORA_NOINLINE bool fail_out_of_memory();

    DecodeError error;

private:
    const uint8_t* begin_;
    const uint8_t* p_;
    const uint8_t* end_;
};

/// Reads the version byte: UnexpectedEof at 0 on an empty body, InvalidVersion on anything but 2.
[[nodiscard]] inline bool read_version(Reader& r) {
    uint8_t v;
    if (!r.read_u8(&v)) return false;
    if (VELKORA_UNLIKELY(v != JAVABIN_VERSION)) return r.fail_version(v);
    return true;
}

/// Small integers: low four bits in the tag; bit 0x10 set means a varint of the higher bits follows.
[[nodiscard]] VELKORA_INLINE bool read_small_int(Reader& r, uint8_t tag, int32_t* out) {
    uint32_t v = tag & 0x0F;
    if (tag & 0x10) {
        uint32_t hi;
        if (!r.read_vint(&hi)) return false;
        v |= hi << 4;
    }
    *out = static_cast<int32_t>(v);
    return true;
}

[[nodiscard]] VELKORA_INLINE bool read_small_long(Reader& r, uint8_t tag, int64_t* out) {
    uint64_t v = tag & 0x0F;
    if (tag & 0x10) {
        uint64_t hi;
        if (!r.read_vlong(&hi)) return false;
        v |= hi << 4;
    }
    *out = static_cast<int64_t>(v);
    return true;
}

/// Element width of a typed array element type; 0 for the types that do not exist.
VELKORA_INLINE unsigned typed_element_width(uint8_t type) {
    switch (type) {
        case TYPED_BOOL: case TYPED_BOOL_TOO: case TYPED_BYTES: return 1;
        case TYPED_SHORT: return 2;
        case TYPED_INT: case TYPED_FLOAT: return 4;
        case TYPED_DOUBLE: case TYPED_LONG: return 8;
        default: return 0;
    }
}

/// A big-endian value of T's width at `p` (the caller has checked the bytes are there).
template <typename T>
VELKORA_INLINE T load_be(const uint8_t* p) {
    using U = std::conditional_t<sizeof(T) == 1, uint8_t,
              std::conditional_t<sizeof(T) == 2, uint16_t, std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>>;
    return std::bit_cast<T>(wire::load_big_endian<U>(p));
}

// The fixed-width scalar payloads, shared by every decoder: BYTE, SHORT and INT sign-extended, LONG and
// DATE as 64-bit, FLOAT and DOUBLE bit for bit. UnexpectedEof at the payload's first byte when it is short,
// `out` then left alone. The raw word starts at zero: as far as the compiler can tell, a failed read_be()
// may still return true, and an undefined word on that path makes it keep the value on the stack.
[[nodiscard]] VELKORA_INLINE bool read_byte(Reader& r, int32_t* out) {
    uint8_t v = 0;
    if (!r.read_be(&v)) return false;
    *out = static_cast<int8_t>(v);
    return true;
}
[[nodiscard]] VELKORA_INLINE bool read_short(Reader& r, int32_t* out) {
    uint16_t v = 0;
    if (!r.read_be(&v)) return false;
    *out = static_cast<int16_t>(v);
    return true;
}
[[nodiscard]] VELKORA_INLINE bool read_int(Reader& r, int32_t* out) {
    uint32_t v = 0;
    if (!r.read_be(&v)) return false;
    *out = static_cast<int32_t>(v);
    return true;
}
[[nodiscard]] VELKORA_INLINE bool read_long(Reader& r, int64_t* out) {
    uint64_t v = 0;
    if (!r.read_be(&v)) return false;
    *out = static_cast<int64_t>(v);
    return true;
}
[[nodiscard]] VELKORA_INLINE bool read_float(Reader& r, float* out) {
    uint32_t v = 0;
    if (!r.read_be(&v)) return false;
    *out = std::bit_cast<float>(v);
    return true;
}
[[nodiscard]] VELKORA_INLINE bool read_double(Reader& r, double* out) {
    uint64_t v = 0;
    if (!r.read_be(&v)) return false;
    *out = std::bit_cast<double>(v);
    return true;
}

/// A typed-array bool element (types 1 and 2): false only for the byte 2.
VELKORA_INLINE bool typed_bool(uint8_t b) { return b != 2; }

/// Reads a TYPED_ARR header (element type, count) and takes its payload. UnknownTag at the type byte for a
/// type outside 1..8 (also for a count of 0); UnexpectedEof at the first element that does not fit. Type 3
/// is a byte string: its payload is the N bytes, and like any byte string it is cut short at its first byte.
[[nodiscard]] VELKORA_INLINE bool read_typed_array_header(Reader& r, uint8_t* type, uint32_t* count, ByteSpan* payload) {
    uint64_t type_offset = r.position();
    if (!r.read_u8(type) || !r.read_vint(count)) return false;
    unsigned width = typed_element_width(*type);
    if (VELKORA_UNLIKELY(width == 0)) return r.fail_unknown_tag(type_offset, *type);
    uint64_t total = static_cast<uint64_t>(*count) * width;
    if (VELKORA_UNLIKELY(total > r.remaining())) {
        uint64_t at = *type == TYPED_BYTES ? r.position() : r.position() + r.remaining() / width * width;
        return r.fail_eof(at, r.position() + total);
    }
    return r.take(total, payload);
}

}  // namespace velkora::wire
