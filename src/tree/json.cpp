// src/tree/json.cpp: JSON rendering of the Value tree.
//
// The tree is rendered in place: an object's entries are gathered as (key, value) views, sorted by key
// bytes and written with the last duplicate winning, so no second tree and no copy of any string is made.
#include "tree/json.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <new>
#include <string_view>
#include <vector>

namespace velkora::json {

using tree::Block;
using tree::Value;
using tree::ValueKind;

namespace {

/// How each byte is written inside a JSON string: 0 verbatim, 'u' as \u00XX, otherwise the escape letter.
constexpr auto kEscapes = [] {
    std::array<char, 256> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = 'u';
    table['"'] = '"';
    table['\\'] = '\\';
    table['\b'] = 'b';
    table['\t'] = 't';
    table['\n'] = 'n';
    table['\f'] = 'f';
    table['\r'] = 'r';
    return table;
}();

constexpr uint64_t kOnes = 0x0101010101010101;
constexpr uint64_t kHighBits = 0x8080808080808080;

/// The high bit of every byte of `word` that needs an escape (below 0x20, '"' or '\'). A byte above a
/// flagged one may be flagged falsely by the borrow, so only the lowest flag is exact, which is all the
/// caller uses.
VELKORA_INLINE uint64_t escape_flags(uint64_t word) {
    uint64_t control = (word - kOnes * 0x20) & ~word;
    uint64_t quote = word ^ (kOnes * '"');
    quote = (quote - kOnes) & ~quote;
    uint64_t backslash = word ^ (kOnes * '\\');
    backslash = (backslash - kOnes) & ~backslash;
    return (control | quote | backslash) & kHighBits;
}

/// The escape of one byte that needs it (kEscapes is not 0), at most six bytes written at `o`.
VELKORA_INLINE char* write_escape(unsigned char c, char* o) {
    static constexpr char hex[] = "0123456789abcdef";
    char escape = kEscapes[c];
    *o++ = '\\';
    if (escape != 'u') {
        *o++ = escape;
        return o;
    }
    std::memcpy(o, "u00", 3);
    o[3] = hex[c >> 4];
    o[4] = hex[c & 0xF];
    return o + 5;
}

void write_string(std::string_view s, TextBuffer& out) {
    const char* p = s.data();
    const char* end = p + s.size();
    // Room for the quotes, the text, and the 8 bytes a word store may write past it.
    char* o = out.reserve(s.size() + 2 + 8);
    *o++ = '"';
    for (;;) {
        // Eight bytes at a time, stored before they are checked: a clean word is then already written.
        while (end - p >= 8) {
            uint64_t word;
            std::memcpy(&word, p, 8);
            std::memcpy(o, &word, 8);
            uint64_t flags = escape_flags(word);
            if (VELKORA_UNLIKELY(flags)) {
                size_t clean = static_cast<size_t>(std::countr_zero(flags)) / 8;
                p += clean;
                o += clean;
                goto escape;
            }
            p += 8;
            o += 8;
        }
        while (p < end) {
            if (VELKORA_UNLIKELY(kEscapes[static_cast<unsigned char>(*p)])) goto escape;
            *o++ = *p++;
        }
        break;
    escape:
        // An escape is up to six bytes where one was reserved: reserve again for it and the rest.
        out.commit(o);
        o = out.reserve(6 + static_cast<size_t>(end - p) + 1 + 8);
        o = write_escape(static_cast<unsigned char>(*p++), o);
    }
    *o++ = '"';
    out.commit(o);
}

void write_base64(std::string_view bytes, TextBuffer& out) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    char* o = out.reserve((bytes.size() + 2) / 3 * 4 + 2);
    *o++ = '"';
    size_t i = 0;
    auto byte = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[k])); };
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t v = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
        o[0] = alphabet[v >> 18];
        o[1] = alphabet[(v >> 12) & 63];
        o[2] = alphabet[(v >> 6) & 63];
        o[3] = alphabet[v & 63];
        o += 4;
    }
    size_t rest = bytes.size() - i;
    if (rest == 1) {
        uint32_t v = byte(i) << 16;
        o[0] = alphabet[v >> 18];
        o[1] = alphabet[(v >> 12) & 63];
        o[2] = '=';
        o[3] = '=';
        o += 4;
    } else if (rest == 2) {
        uint32_t v = byte(i) << 16 | byte(i + 1) << 8;
        o[0] = alphabet[v >> 18];
        o[1] = alphabet[(v >> 12) & 63];
        o[2] = alphabet[(v >> 6) & 63];
        o[3] = '=';
        o += 4;
    }
    *o++ = '"';
    out.commit(o);
}

template <typename Int>
VELKORA_INLINE void write_integer(Int v, TextBuffer& out) {
    char* o = out.reserve(24);
    out.commit(std::to_chars(o, o + 24, v).ptr);
}

VELKORA_INLINE void write_bool(bool v, TextBuffer& out) {
    if (v) out.append("true");
    else out.append("false");
}

/// A double: finite values as numbers; NaN and the infinities as the strings JSON cannot hold otherwise.
void write_double(double v, TextBuffer& out) {
    if (std::isnan(v)) {
        out.append("\"NaN\"");
    } else if (std::isinf(v)) {
        if (v > 0) out.append("\"Infinity\"");
        else out.append("\"-Infinity\"");
    } else {
        write_float(v, out);
    }
}

/// One entry of an object being written: a value, or (for "_childDocuments_") a list of child documents.
struct Entry {
    std::string_view key;
    const Value* value;
    const Block<Value>* children;
};

void write_array(const Block<Value>& items, TextBuffer& out);

/// Sorts by key bytes, keeps the last entry of every key, and writes the object.
void write_object(std::vector<Entry>& entries, TextBuffer& out) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.key < b.key; });
    out.put('{');
    bool first = true;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i + 1 < entries.size() && entries[i + 1].key == entries[i].key) continue;  // a later one wins
        if (!first) out.put(',');
        first = false;
        write_string(entries[i].key, out);
        out.put(':');
        if (entries[i].children) write_array(*entries[i].children, out);
        else write_json(*entries[i].value, out);
    }
    out.put('}');
}

void write_array(const Block<Value>& items, TextBuffer& out) {
    out.put('[');
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out.put(',');
        write_json(items[i], out);
    }
    out.put(']');
}

void write_map(const Block<tree::Entry>& map, TextBuffer& out) {
    bool string_keys = std::all_of(map.begin(), map.end(),
                                   [](const tree::Entry& e) { return e.key.kind == ValueKind::Str; });
    if (string_keys) {
        std::vector<Entry> entries;
        entries.reserve(map.size());
        for (const tree::Entry& e : map) entries.push_back({e.key.text(), &e.value, nullptr});
        write_object(entries, out);
        return;
    }
    // Keys JSON cannot hold as object keys: every pair becomes a [key, value] array, in wire order.
    out.put('[');
    for (size_t i = 0; i < map.size(); ++i) {
        if (i) out.put(',');
        out.put('[');
        write_json(map[i].key, out);
        out.put(',');
        write_json(map[i].value, out);
        out.put(']');
    }
    out.put(']');
}

void write_document(const tree::SolrDocument& doc, TextBuffer& out) {
    std::vector<Entry> entries;
    entries.reserve(doc.fields->size() + 1);
    for (const tree::Entry& field : *doc.fields) entries.push_back({field.key.text(), &field.value, nullptr});
    // Appended last, so it replaces any field of the same name.
    if (!doc.children->empty()) entries.push_back({"_childDocuments_", nullptr, doc.children});
    write_object(entries, out);
}

void write_document_list(const tree::SolrDocumentList& list, TextBuffer& out) {
    out.append("{\"docs\":");
    write_array(*list.docs, out);
    out.append(",\"maxScore\":");
    if (list.has_max_score) write_double(list.max_score, out);
    else out.append("null");
    out.append(",\"numFound\":");
    write_integer(list.num_found, out);
    out.append(",\"numFoundExact\":");
    if (list.has_num_found_exact) write_bool(list.num_found_exact, out);
    else out.append("null");
    out.append(",\"start\":");
    write_integer(list.start, out);
    out.put('}');
}

}  // namespace

TextBuffer::TextBuffer(size_t capacity) {
    if (capacity == 0) capacity = 1;
    begin_ = static_cast<char*>(std::malloc(capacity));
    if (!begin_) throw std::bad_alloc();
    cursor_ = begin_;
    end_ = begin_ + capacity;
}

void TextBuffer::grow(size_t n) {
    size_t size = this->size();
    size_t capacity = static_cast<size_t>(end_ - begin_);
    size_t wanted = std::max(capacity * 2, size + n);
    auto* grown = static_cast<char*>(std::realloc(begin_, wanted));
    if (!grown) throw std::bad_alloc();
    begin_ = grown;
    cursor_ = grown + size;
    end_ = grown + wanted;
}

void write_float(double value, TextBuffer& out) {
    // The longest text is "-0.0000" and 17 digits, or "-d.", 16 digits and "e-308".
    char* o = out.reserve(32);
    if (value == 0) {
        if (std::signbit(value)) *o++ = '-';
        std::memcpy(o, "0.0", 3);
        out.commit(o + 3);
        return;
    }
    // Shortest round-trip digits in scientific form, "[-]d[.ddd]e(+|-)XX"; then laid out by our own rules.
    char text[40];
    const char* text_end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
    const char* p = text;
    if (*p == '-') {
        *o++ = '-';
        ++p;
    }
    char digits[24];
    int n = 0;
    digits[n++] = *p++;
    if (*p == '.')
        for (++p; *p != 'e'; ++p) digits[n++] = *p;
    while (n > 1 && digits[n - 1] == '0') --n;
    ++p;  // 'e'
    bool negative = *p++ == '-';
    int exponent = 0;
    for (; p < text_end; ++p) exponent = exponent * 10 + (*p - '0');
    if (negative) exponent = -exponent;

    if (exponent >= -5 && exponent <= 15) {
        if (exponent >= n - 1) {
            std::memcpy(o, digits, static_cast<size_t>(n));
            o += n;
            std::memset(o, '0', static_cast<size_t>(exponent - n + 1));
            o += exponent - n + 1;
            std::memcpy(o, ".0", 2);
            o += 2;
        } else if (exponent >= 0) {
            std::memcpy(o, digits, static_cast<size_t>(exponent + 1));
            o += exponent + 1;
            *o++ = '.';
            std::memcpy(o, digits + exponent + 1, static_cast<size_t>(n - exponent - 1));
            o += n - exponent - 1;
        } else {
            std::memcpy(o, "0.", 2);
            o += 2;
            std::memset(o, '0', static_cast<size_t>(-exponent - 1));
            o += -exponent - 1;
            std::memcpy(o, digits, static_cast<size_t>(n));
            o += n;
        }
        out.commit(o);
        return;
    }
    *o++ = digits[0];
    if (n > 1) {
        *o++ = '.';
        std::memcpy(o, digits + 1, static_cast<size_t>(n - 1));
        o += n - 1;
    }
    *o++ = 'e';
    *o++ = exponent < 0 ? '-' : '+';
    out.commit(std::to_chars(o, o + 4, exponent < 0 ? -exponent : exponent).ptr);
}

void write_json(const Value& value, TextBuffer& out) {
    switch (value.kind) {
        case ValueKind::Null: out.append("null"); break;
        case ValueKind::Bool: write_bool(value.boolean, out); break;
        case ValueKind::Byte:
        case ValueKind::Short:
        case ValueKind::Int:
        case ValueKind::Long:
        case ValueKind::Date: write_integer(value.integer, out); break;
        case ValueKind::Float: write_double(static_cast<double>(value.f32), out); break;
        case ValueKind::Double: write_double(value.f64, out); break;
        case ValueKind::Str: write_string(value.text(), out); break;
        case ValueKind::Bytes: write_base64(value.text(), out); break;
        case ValueKind::Array: write_array(*value.items, out); break;
        case ValueKind::Map: write_map(*value.entries, out); break;
        case ValueKind::NamedList: {
            std::vector<Entry> entries;
            entries.reserve(value.entries->size());
            for (const tree::Entry& e : *value.entries)
                entries.push_back({e.key.kind == ValueKind::Str ? e.key.text() : std::string_view(), &e.value, nullptr});
            write_object(entries, out);
            break;
        }
        case ValueKind::SolrDocument: write_document(*value.document, out); break;
        case ValueKind::SolrDocumentList: write_document_list(*value.list, out); break;
    }
}

}  // namespace velkora::json
