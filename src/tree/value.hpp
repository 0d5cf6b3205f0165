// src/tree/value.hpp: the in-memory tree of one decoded javabin body, with no Python objects in it.
//
// The tree lives in an arena owned by its Document: every string, array and entry block is carved from
// large chunks and the whole tree is released at once. A Value is 16 bytes (kind, a length, one word),
// which keeps a million-node response to a few allocations. Strings and byte arrays are not copied: they
// view the input, which outlives the tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>

#include "core/reader.hpp"
#include "core/stack.hpp"

namespace velkora::tree {

/// The sixteen kinds, in the order of their kind names.
enum class ValueKind : uint8_t {
    Null, Bool, Byte, Short, Int, Long, Float, Double, Date, Str, Bytes, Array, Map, NamedList,
    SolrDocument, SolrDocumentList,
};

struct Value;
struct Entry;
struct SolrDocument;
struct SolrDocumentList;

/// A counted block in the arena: the count, then `count` items of T right after it.
template <typename T>
struct Block {
    uint64_t count;
    const T* begin() const { return reinterpret_cast<const T*>(this + 1); }
    const T* end() const { return begin() + count; }
    const T& operator[](size_t i) const { return begin()[i]; }
    bool empty() const { return count == 0; }
    uint64_t size() const { return count; }
};

/// The bytes of a Str or Bytes too long for a Value's own length field.
struct LongText {
    const char* data;
    uint64_t size;
};

/// One decoded value. Scalars are held inline; Str and Bytes point to their bytes, Array to a block of
/// values, Map and NamedList to a block of entries, documents and lists to their own records.
struct Value {
    /// The length that says the bytes are described by a LongText.
    static constexpr uint32_t kLongText = UINT32_MAX;

    ValueKind kind = ValueKind::Null;
    uint32_t length = 0;  // Str, Bytes: the byte count, or kLongText
    union {
        bool boolean;
        int64_t integer;  // Byte, Short, Int, Long, Date (milliseconds since 1970-01-01T00:00:00Z, raw)
        float f32;
        double f64;
        const char* chars;           // Str (UTF-8), Bytes: `length` bytes
        const LongText* long_text;   // Str, Bytes whose length is kLongText
        const Block<Value>* items;
        const Block<Entry>* entries;
        const SolrDocument* document;
        const SolrDocumentList* list;
    };

    Value() : integer(0) {}
    std::string_view text() const {
        if (VELKORA_LIKELY(length != kLongText)) return {chars, length};
        return {long_text->data, static_cast<size_t>(long_text->size)};
    }
};
static_assert(sizeof(Value) == 16);

/// A key and its value. NamedList keys are Str, or Null when the wire key was null (absent); Map keys
/// may be of any kind; document field names are Str.
struct Entry {
    Value key;
    Value value;
};

struct SolrDocument {
    const Block<Entry>* fields;    // wire order, duplicates kept
    const Block<Value>* children;  // anonymous child documents, wire order
};

struct SolrDocumentList {
    int64_t num_found = 0;
    int64_t start = 0;
    double max_score = 0;
    bool has_max_score = false;
    bool has_num_found_exact = false;
    bool num_found_exact = false;
    const Block<Value>* docs = nullptr;  // whatever the docs array held
};

using wire::Stack;

/// Bump allocation in chunks that grow geometrically; everything is released with the arena.
class Arena {
public:
    explicit Arena(size_t first_chunk = 1 << 16) : next_chunk_(first_chunk < 4096 ? 4096 : first_chunk) {}
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena() {
        for (void* chunk : chunks_) std::free(chunk);
    }

    /// `n` bytes aligned to 8, or nullptr when memory is exhausted.
    [[nodiscard]] VELKORA_INLINE void* allocate(size_t n) {
        n = (n + 7) & ~size_t{7};
        if (VELKORA_UNLIKELY(static_cast<size_t>(end_ - cursor_) < n) && !grow(n)) return nullptr;
        void* p = cursor_;
        cursor_ += n;
        return p;
    }

    /// A block of `count` items copied from `items`, or nullptr when memory is exhausted.
    template <typename T>
    [[nodiscard]] const Block<T>* copy_block(const T* items, size_t count) {
        auto* block = static_cast<Block<T>*>(allocate(sizeof(Block<T>) + count * sizeof(T)));
        if (!block) return nullptr;
        block->count = count;
        if (count) std::memcpy(const_cast<T*>(block->begin()), items, count * sizeof(T));
        return block;
    }

private:
    bool grow(size_t n) {
        size_t size = next_chunk_ > n ? next_chunk_ : n;
        // Room for the chunk's entry first: a chunk allocated but not recorded would be lost.
        if (!chunks_.reserve(chunks_.size() + 1)) return false;
        void* chunk = std::malloc(size);
        // A chunk sized ahead of need may be refused where the tree itself would fit: then only what
        // is asked for now, and the chunks after it grow from there.
        if (!chunk && size > n) {
            size = n;
            next_chunk_ = n < 4096 ? 4096 : n;
            chunk = std::malloc(size);
        }
        if (!chunk) return false;
        (void)chunks_.push(chunk);  // cannot fail: reserved above
        cursor_ = static_cast<char*>(chunk);
        end_ = cursor_ + size;
        if (next_chunk_ < (size_t{1} << 26)) next_chunk_ *= 2;
        return true;
    }

    Stack<void*> chunks_;
    char* cursor_ = nullptr;
    char* end_ = nullptr;
    size_t next_chunk_;
};

/// One decoded body: the root value and the arena that holds the whole tree.
///
/// The first chunk is sized from the input so that a response's tree takes one chunk: a Solr /select
/// body makes about 3.5 bytes of tree per input byte (16 per value, 32 per field, most values a few
/// input bytes). Only the pages the tree touches become resident. A tree in several chunks leaves the
/// allocator a different set of large blocks on every call, which with glibc's default thresholds
/// are handed back to the system and faulted in again the next time.
struct Document {
    explicit Document(size_t input_size) : arena(input_size <= SIZE_MAX / 4 ? input_size * 4 : SIZE_MAX) {}
    Arena arena;
    Value root;
};

/// Decodes a whole body (version byte, one value, nothing after it) into `out`, whose strings and byte
/// arrays view `data`: it must outlive `out`. On failure returns false with the error in `error`.
[[nodiscard]] bool parse_document(const uint8_t* data, size_t len, Document* out, wire::DecodeError* error);

/// The kind name that fills the "found" part of UnexpectedValue messages.
const char* kind_name(const Value& v);

/// Every value counts one, plus its parts: keys of named lists and documents count one each, map keys
/// count as whole values, a document list's header counts nothing.
uint64_t node_count(const Value& v);

}  // namespace velkora::tree
