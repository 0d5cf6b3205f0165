// src/core/extern_strings.hpp: the extern-string table of one response, held without Python objects.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/reader.hpp"
#include "core/stack.hpp"

namespace velkora::wire {

/// The strings a response defines with EXTERN_STRING, entry i answering reference i + 1. The texts are
/// copied (a chunk-fed decoder's buffer moves under them) into blocks that never move, so a view from
/// `at()` stays valid until `clear()` however many strings are defined after it: a walker may hold a key
/// while the value it names defines more.
class ExternStrings {
public:
    ExternStrings() = default;
    ExternStrings(const ExternStrings&) = delete;
    ExternStrings& operator=(const ExternStrings&) = delete;
    ~ExternStrings() { release_blocks(); }

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

    /// Entry `index` (0-based); the caller checks the bound. The view is valid until `clear()`.
    std::string_view at(size_t index) const {
        const Entry& e = entries_[index];
        return {e.data, static_cast<size_t>(e.size)};
    }
    /// Appends a copy of `text` (already checked as UTF-8); false when memory runs out (the entries are
    /// then as they were).
    [[nodiscard]] bool push(ByteSpan text) {
        char* copy = next_;
        if (VELKORA_LIKELY(text.size <= left_)) {
            next_ += text.size;
            left_ -= text.size;
        } else {
            copy = room(text.size);
            if (!copy) return false;
        }
        if (text.size != 0) std::memcpy(copy, text.data, text.size);
        return entries_.push({copy, text.size});  // on failure the copy stays unreachable until clear()
    }
    void clear() {
        entries_.clear();
        release_blocks();
        next_ = nullptr;
        left_ = 0;
        block_size_ = kFirstBlock;
    }
    /// Keeps the first `n` entries (a decoder going back to a checkpoint). The texts of the others stay in
    /// their blocks, unreachable, until `clear()`: the views handed out must not move.
    void truncate(size_t n) {
        if (n < entries_.size()) entries_.truncate(n);
    }

private:
    // Blocks double from 4 KiB up to 1 MiB, so a small response makes one allocation and a large one
    // leaves at most a block's tail unused per block; a text longer than the next block gets a block of
    // its own, and the shared block keeps its room.
    static constexpr size_t kFirstBlock = size_t{4} << 10;
    static constexpr size_t kLargestBlock = size_t{1} << 20;

    struct Entry {
        const char* data;
        uint64_t size;
    };

    /// Room for `size` bytes that the shared block has not: in a new block; nullptr when memory runs out,
    /// nothing changed.
    VELKORA_NOINLINE char* room(uint64_t size) {
        bool alone = size > block_size_;
        if (size > SIZE_MAX) return nullptr;
        size_t length = alone ? static_cast<size_t>(size) : block_size_;
        auto* data = static_cast<char*>(std::malloc(length ? length : 1));  // uninitialised: the text is copied in
        if (!data) return nullptr;
        if (!blocks_.push(data)) {
            std::free(data);
            return nullptr;
        }
        if (alone) return data;
        next_ = data + size;
        left_ = length - size;
        if (block_size_ < kLargestBlock) block_size_ *= 2;
        return data;
    }

    void release_blocks() {
        for (char* block : blocks_) std::free(block);
        blocks_.clear();
    }

    Stack<Entry> entries_;
    Stack<char*> blocks_;  // owned
    char* next_ = nullptr;  // the free room of the shared block
    uint64_t left_ = 0;
    size_t block_size_ = kFirstBlock;  // the size of the next shared block
};

/// The string an EXTERN_STRING tag of size 0 defines: a header byte (only its low five bits count, as a
/// size), then that many bytes of UTF-8. It is appended to `table` when one is given.
/// Out of line: a response defines each name once, and inlined into the loops that meet references it
/// would cost them registers.
[[nodiscard]] VELKORA_NOINLINE inline bool read_extern_definition(Reader& r, ExternStrings* table, ByteSpan* text) {
    uint8_t header;
    if (!r.read_u8(&header) || !r.read_str(header, text)) return false;
    if (table && !table->push(*text)) return r.fail_out_of_memory();
    return true;
}

}  // namespace velkora::wire
