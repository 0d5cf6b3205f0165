// src/core/extern_strings.hpp: the extern-string table of one response, held without Python objects.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/reader.hpp"

namespace velkora::wire {

/// The strings a response defines with EXTERN_STRING, entry i answering reference i + 1. The texts are
/// copied into one pool, since a chunk-fed decoder's buffer moves under them; each entry also carries a
/// word its decoder may use (the Arrow decoder remembers which column a field name routes to).
class ExternStrings {
public:
    static constexpr uint32_t kUnset = ~uint32_t{0};

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

    /// Entry `index` (0-based); the caller checks the bound.
    std::string_view at(size_t index) const {
        const Entry& e = entries_[index];
        return {pool_.data() + e.offset, static_cast<size_t>(e.size)};
    }
    uint32_t& word(size_t index) { return entries_[index].word; }

    /// Appends a copy of `text` (already checked as UTF-8) with its word unset.
    void push(ByteSpan text) {
        entries_.push_back({pool_.size(), text.size, kUnset});
        pool_.insert(pool_.end(), reinterpret_cast<const char*>(text.data),
                     reinterpret_cast<const char*>(text.data) + text.size);
    }
    void clear() {
        entries_.clear();
        pool_.clear();
    }
    /// Keeps the first `n` entries (a decoder going back to a checkpoint).
    void truncate(size_t n) {
        if (n >= entries_.size()) return;
        pool_.resize(static_cast<size_t>(entries_[n].offset));
        entries_.resize(n);
    }

private:
    struct Entry {
        uint64_t offset;
        uint64_t size;
        uint32_t word;
    };
    std::vector<char> pool_;
    std::vector<Entry> entries_;
};

/// The string an EXTERN_STRING tag of size 0 defines: a header byte (only its low five bits count, as a
/// size), then that many bytes of UTF-8. It is appended to `table` when one is given.
[[nodiscard]] inline bool read_extern_definition(Reader& r, ExternStrings* table, ByteSpan* text) {
    uint8_t header;
    uint64_t size;
    if (!r.read_u8(&header) || !r.read_size(header, &size) || !r.take_utf8(size, text)) return false;
    if (table) table->push(*text);
    return true;
}

}  // namespace velkora::wire
