// src/tree/json.hpp: renders a Value tree as compact JSON text with key-sorted objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tree/value.hpp"

namespace velkora::tree {

/// The text being written: bytes on the C allocator, growing geometrically through realloc, so a large
/// buffer is extended by remapping its pages rather than copied. Writers reserve room first and then
/// store through the returned pointer, with no check per byte.
class TextBuffer {
public:
    /// An empty buffer with room for `capacity` bytes (at least one), or for 128 when that much is
    /// refused (it grows as needed); failed() when even that is refused.
    explicit TextBuffer(size_t capacity);
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer() { std::free(begin_); }

    /// Where the next byte goes, with room for at least `n` bytes from there, valid until the next reserve;
    /// nullptr when memory runs out, and for every reserve after that (failed() tells).
    VELKORA_INLINE char* reserve(size_t n) {
        if (VELKORA_UNLIKELY(static_cast<size_t>(end_ - cursor_) < n)) return grow(n);
        return cursor_;
    }
    /// Marks everything before `cursor` (a pointer from the last reserve, moved forward) as written.
    VELKORA_INLINE void commit(char* cursor) { cursor_ = cursor; }

    VELKORA_INLINE void put(char c) {
        if (char* o = reserve(1)) {
            *o = c;
            ++cursor_;
        }
    }
    VELKORA_INLINE void append(const char* text, size_t n) {
        if (char* o = reserve(n)) {
            std::memcpy(o, text, n);
            cursor_ += n;
        }
    }
    template <size_t N>
    VELKORA_INLINE void append(const char (&literal)[N]) { append(literal, N - 1); }

    /// Forgets what was written, keeping the room (not a failure).
    void clear() { cursor_ = begin_; }
    /// Whether memory ran out: what was written is then incomplete, and nothing more is.
    bool failed() const { return failed_; }
    /// Marks the text failed, for a writer that ran out of memory for something else.
    void fail() {
        failed_ = true;
        end_ = cursor_;
    }

    const char* data() const { return begin_; }
    size_t size() const { return static_cast<size_t>(cursor_ - begin_); }

    /// Notes string bytes written, or-ed together (in any grouping): only their high bits are kept, to
    /// tell a text that is all ASCII, which to_latin1 leaves alone at no cost.
    VELKORA_INLINE void note_bytes(uint64_t bytes) { seen_ |= bytes; }
    uint64_t bytes_seen() const { return seen_; }

    /// The UTF-8 text rewritten in place as Latin-1 when it has a character above U+007F and none above
    /// U+00FF: a str of one byte per character is then made by copying, where decoding its UTF-8 costs
    /// several times more. False, with the text as it was, otherwise (or when note_bytes never saw a
    /// high bit).
    bool to_latin1();

private:
    char* grow(size_t n);

    char* begin_;
    char* cursor_;
    char* end_;
    uint64_t seen_ = 0;
    bool failed_ = false;
};

/// The room first given to the text of a body of `input_size` bytes. A Solr response's text runs to
/// about twice its javabin (10.98 MB for the 5.32 MB of a /select of 50,000 documents, 12.7 MB for
/// 5.6 MB), so three times the input holds nearly every response in one block allocated once, and the
/// text is never copied to a larger one. Room never written is never touched: it takes address space,
/// not memory.
inline size_t text_capacity_for(size_t input_size) {
    return input_size <= (SIZE_MAX - 4096) / 3 ? input_size * 3 + 4096 : SIZE_MAX;
}

/// Appends the JSON text of `value` to `out`. Objects list their keys in ascending byte order with the
/// last duplicate winning; documents, document lists, bytes and non-finite floats have fixed renderings.
/// False when memory runs out, `out` then failed() with an incomplete text.
[[nodiscard]] bool write_json(const tree::Value& value, TextBuffer& out);

/// The float text used for every JSON number that is not an integer: shortest round-trip digits, plain
/// notation for decimal exponents -5..15, exponent notation otherwise. `value` must be finite.
void write_float(double value, TextBuffer& out);

}  // namespace velkora::tree
