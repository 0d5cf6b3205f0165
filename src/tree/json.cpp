// src/tree/json.cpp: JSON rendering of the Value tree.
//
// The tree is rendered in place: an object's entries are written in the order of their key bytes with the
// last duplicate winning, an order worked out once per distinct key sequence, so no second tree and no
// copy of any string is made.
#include "tree/json.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>

namespace velkora::tree {


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

VELKORA_INLINE uint64_t load64(const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
VELKORA_INLINE uint32_t load32(const char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void write_string(std::string_view s, TextBuffer& out) {
    const char* p = s.data();
    const char* end = p + s.size();
    // Room for the quotes, the text, and the 8 bytes a word store may write past it.
    char* o = out.reserve(s.size() + 2 + 8);
    if (!o) return;
    *o++ = '"';
    uint64_t seen = 0;  // every byte read, or-ed together: its high bit tells a text that is not ASCII
    for (;;) {
        // Eight bytes at a time, stored before they are checked: a clean word is then already written.
        while (end - p >= 8) {
            uint64_t word;
            std::memcpy(&word, p, 8);
            std::memcpy(o, &word, 8);
            seen |= word;
            uint64_t flags = escape_flags(wire::little_endian(word));
            if (VELKORA_UNLIKELY(flags)) {
                size_t clean = static_cast<size_t>(std::countr_zero(flags)) / 8;
                p += clean;
                o += clean;
                goto escape;
            }
            p += 8;
            o += 8;
        }
        // The last few bytes as whole words too: the string's last word, stored over what its first bytes
        // were written as (if one of them was escaped, the word is flagged and the bytes go one by
        // one), or, in a short string, two overlapping halves of at least four bytes.
        if (size_t rest = static_cast<size_t>(end - p); rest != 0) {
            if (s.size() >= 8) {
                uint64_t word;
                std::memcpy(&word, end - 8, 8);
                seen |= word;
                if (!escape_flags(word)) {
                    std::memcpy(o - (8 - rest), &word, 8);
                    o += rest;
                    break;
                }
            } else if (rest >= 4) {
                uint32_t low = load32(p);
                uint32_t high = load32(end - 4);
                seen |= low | high;
                if (!escape_flags(low | uint64_t{high} << 32)) {
                    std::memcpy(o, &low, 4);
                    std::memcpy(o + rest - 4, &high, 4);
                    o += rest;
                    break;
                }
            }
        }
        while (p < end) {
            if (VELKORA_UNLIKELY(kEscapes[static_cast<unsigned char>(*p)])) goto escape;
            seen |= static_cast<unsigned char>(*p);
            *o++ = *p++;
        }
        break;
    escape:
        // An escape is up to six bytes where one was reserved: reserve again for it and the rest.
        out.commit(o);
        o = out.reserve(6 + static_cast<size_t>(end - p) + 1 + 8);
        if (!o) return;
        o = write_escape(static_cast<unsigned char>(*p++), o);
    }
    *o++ = '"';
    out.commit(o);
    out.note_bytes(seen);
}

void write_base64(std::string_view bytes, TextBuffer& out) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    char* o = out.reserve((bytes.size() + 2) / 3 * 4 + 2);
    if (!o) return;
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

/// The eight decimal digits of `v` (below 10^8), leading zeros included, as a word whose bytes, from the
/// least significant up, run from the most significant digit: memory order once stored through
/// wire::little_endian. Each byte holds the digit's value, not yet its character.
/// Two four-digit halves are split into digit pairs and then digits in parallel, each division by 100 or
/// 10 done as a multiplication and shift that is exact in this range.
VELKORA_INLINE uint64_t eight_digits(uint32_t v) {
    uint64_t merged = (v / 10000) | uint64_t{v % 10000} << 32;
    uint64_t top = ((merged * 10486) >> 20) & (uint64_t{0x7F} << 32 | 0x7F);
    uint64_t bottom = merged - 100 * top;
    uint64_t hundreds = (bottom << 16) + top;
    uint64_t tens = (hundreds * 103) >> 10;
    tens &= uint64_t{0xF} << 48 | uint64_t{0xF} << 32 | uint64_t{0xF} << 16 | 0xF;
    tens += (hundreds - 10 * tens) << 8;
    return tens;
}

constexpr uint64_t kZeroDigits = 0x3030303030303030;
constexpr char kZeros[] = "0000000000000000";

/// Writes `v` (below 10^8) in decimal at `o`, without leading zeros, and returns the end; stores a whole
/// word, so up to 7 bytes past the end may be overwritten.
VELKORA_INLINE char* write_up_to_eight(uint32_t v, char* o) {
    uint64_t digits = eight_digits(v);
    int leading = v == 0 ? 7 : std::countr_zero(digits) / 8;  // zero digits are zero bytes
    digits = wire::little_endian((digits >> (8 * leading)) + kZeroDigits);
    std::memcpy(o, &digits, 8);
    return o + 8 - leading;
}

/// Writes `v` (below 10^8) as exactly eight digits at `o` and returns the end.
VELKORA_INLINE char* write_eight(uint32_t v, char* o) {
    uint64_t digits = wire::little_endian(eight_digits(v) + kZeroDigits);
    std::memcpy(o, &digits, 8);
    return o + 8;
}

/// Writes `v` in decimal at `o` and returns the end. Up to 7 bytes past the end may be overwritten, so the
/// caller reserves 27 bytes.
VELKORA_INLINE char* write_decimal(uint64_t v, char* o) {
    constexpr uint64_t kEight = 100000000;
    if (v < kEight) return write_up_to_eight(static_cast<uint32_t>(v), o);
    uint64_t high = v / kEight;
    auto low = static_cast<uint32_t>(v - high * kEight);
    if (high < kEight) {
        o = write_up_to_eight(static_cast<uint32_t>(high), o);
    } else {
        uint64_t top = high / kEight;  // below 1845
        o = write_up_to_eight(static_cast<uint32_t>(top), o);
        o = write_eight(static_cast<uint32_t>(high - top * kEight), o);
    }
    return write_eight(low, o);
}

/// The room any scalar but a string needs: the longest float text is "-0.0000" and 17 digits, or "-d.",
/// 16 digits and "e-308", and the layout's stores reach 33 bytes; an integer's reach 28.
constexpr size_t kScalarRoom = 48;

/// Writes the float text of the finite `value` at `o` (kScalarRoom bytes of room) and returns the end.
char* float_at(double value, char* o);

VELKORA_INLINE char* integer_at(int64_t v, char* o) {
    uint64_t magnitude = static_cast<uint64_t>(v);
    if (v < 0) {
        *o++ = '-';
        magnitude = 0 - magnitude;
    }
    return write_decimal(magnitude, o);
}

VELKORA_INLINE void write_integer(int64_t v, TextBuffer& out) {
    if (char* o = out.reserve(kScalarRoom)) out.commit(integer_at(v, o));
}

VELKORA_INLINE char* bool_at(bool v, char* o) {
    if (v) {
        std::memcpy(o, "true", 4);
        return o + 4;
    }
    std::memcpy(o, "false", 5);
    return o + 5;
}

VELKORA_INLINE void write_bool(bool v, TextBuffer& out) {
    if (char* o = out.reserve(5)) out.commit(bool_at(v, o));
}

/// A double: finite values as numbers; NaN and the infinities as the strings JSON cannot hold otherwise.
char* double_at(double v, char* o) {
    if (VELKORA_LIKELY(std::isfinite(v))) return float_at(v, o);
    if (std::isnan(v)) {
        std::memcpy(o, "\"NaN\"", 5);
        return o + 5;
    }
    if (v > 0) {
        std::memcpy(o, "\"Infinity\"", 10);
        return o + 10;
    }
    std::memcpy(o, "\"-Infinity\"", 11);
    return o + 11;
}

void write_double(double v, TextBuffer& out) {
    if (char* o = out.reserve(kScalarRoom)) out.commit(double_at(v, o));
}

/// The key the entries of a document's children are written under, after its fields.
constexpr std::string_view kChildDocuments = "_childDocuments_";

/// The entries of one object as the tree holds them: a map's, a named list's or a document's fields,
/// and for a document with children one more entry after them, "_childDocuments_".
struct Fields {
    const Block<tree::Entry>* entries;
    const Block<Value>* children;  // nullptr unless a document has children

    size_t size() const { return entries->size() + (children != nullptr); }
    /// An entry's key; an absent named-list key reads as "".
    static std::string_view key_of(const tree::Entry& entry) {
        return entry.key.kind == ValueKind::Str ? entry.key.text() : std::string_view();
    }
    std::string_view key(size_t i) const { return i == entries->size() ? kChildDocuments : key_of((*entries)[i]); }
};


/// Whether `n` bytes at `a` and `b` are equal; keys are short, so the common lengths take two overlapping
/// loads instead of a call.
VELKORA_INLINE bool same_bytes(const char* a, const char* b, size_t n) {
    if (n >= 8) {
        if (n > 16) return std::memcmp(a, b, n) == 0;
        return load64(a) == load64(b) && load64(a + n - 8) == load64(b + n - 8);
    }
    if (n >= 4) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
    if (n == 0) return true;
    return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
}

bool same_keys(const Stack<std::string_view>& a, const Stack<std::string_view>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].size() != b[i].size() || !same_bytes(a[i].data(), b[i].data(), a[i].size())) return false;
    return true;
}

/// Walks the tree once, writing as it goes. Objects are written in key order with the last duplicate
/// winning; that order depends only on the sequence of keys, and a response repeats a few sequences many
/// times (the documents of a result list usually carry the same fields in the same order), so it is
/// worked out once per sequence and kept in a small table for the rest of the call.
class Writer {
public:
    explicit Writer(TextBuffer& out) : out_(out) {
        if (!slots_ || !shortcuts_) out_.fail();
    }
    ~Writer() {
        for (KeyOrder* order : spill_) delete order;
    }

    /// Scalars are written here, in the loop that meets them; containers and the longer scalar texts go
    /// to functions of their own.
    VELKORA_INLINE void value(const Value& value) {
        switch (value.kind) {
            case ValueKind::Null: out_.append("null"); break;
            case ValueKind::Bool: write_bool(value.boolean, out_); break;
            case ValueKind::Byte:
            case ValueKind::Short:
            case ValueKind::Int:
            case ValueKind::Long:
            case ValueKind::Date: write_integer(value.integer, out_); break;
            case ValueKind::Float: write_double(static_cast<double>(value.f32), out_); break;
            case ValueKind::Double: write_double(value.f64, out_); break;
            case ValueKind::Str: write_string(value.text(), out_); break;
            default: container(value); break;
        }
    }

private:
    /// Writes `value` where `o` (a pointer from the last reserve, with kScalarRoom bytes of room) points:
    /// a scalar but a string there, under the check of the room already made; anything else after it.
    VELKORA_INLINE void value_at(const Value& value, char* o) {
        switch (value.kind) {
            case ValueKind::Null:
                std::memcpy(o, "null", 4);
                out_.commit(o + 4);
                break;
            case ValueKind::Bool: out_.commit(bool_at(value.boolean, o)); break;
            case ValueKind::Byte:
            case ValueKind::Short:
            case ValueKind::Int:
            case ValueKind::Long:
            case ValueKind::Date: out_.commit(integer_at(value.integer, o)); break;
            case ValueKind::Float: out_.commit(double_at(static_cast<double>(value.f32), o)); break;
            case ValueKind::Double: out_.commit(double_at(value.f64, o)); break;
            case ValueKind::Str:
                out_.commit(o);
                write_string(value.text(), out_);
                break;
            default:
                out_.commit(o);
                container(value);
                break;
        }
    }

    void container(const Value& value) {
        switch (value.kind) {
            case ValueKind::Bytes: write_base64(value.text(), out_); break;
            case ValueKind::Array: array(*value.items); break;
            case ValueKind::Map: map(*value.entries); break;
            case ValueKind::NamedList: object({value.entries, nullptr}); break;
            case ValueKind::SolrDocument: {
                const tree::SolrDocument& doc = *value.document;
                object({doc.fields, doc.children->empty() ? nullptr : doc.children});
                break;
            }
            case ValueKind::SolrDocumentList: document_list(*value.list); break;
            default: break;  // the scalars, written by value()
        }
    }

    /// How to write an object with a given key sequence: for each entry to write (ascending key, and of
    /// equal keys only the last) its index and where its text ends; the text before each value is
    /// `{"key":` for the first and `,"key":` for the others, escaped once here instead of once per object.
    /// The keys view the tree's bytes, which outlive the writer.
    struct Step {
        size_t index;
        size_t text_end;
    };
    /// A key Value as it is held, which is the same for every object whose key views the same bytes
    /// (an extern string's references copy its definition).
    struct HeldKey {
        int64_t word;
        uint32_t length;
        ValueKind kind;
        static HeldKey of(const tree::Entry& entry) { return {entry.key.integer, entry.key.length, entry.key.kind}; }
        bool is(const tree::Entry& entry) const {
            return entry.key.integer == word && entry.key.length == length && entry.key.kind == kind;
        }
    };
    struct KeyOrder {
        Stack<std::string_view> keys;
        Stack<HeldKey> held;    // the keys of the object the order was made for, as they are held
        bool children = false;  // whether that object had children
        Stack<Step> steps;
        Stack<char> text;
        uint32_t pins = 0;  // objects being written with this order; it must not change under them
    };
    /// Orders are kept in a direct-mapped table on a hash of the key bytes; a collision costs only a sort.
    /// Longer sequences than kMaxCachedKeys are sorted every time, which bounds the table's memory.
    static constexpr size_t kSlotBits = 9;
    static constexpr size_t kMaxCachedKeys = 256;
    static constexpr size_t kKeyTextSlack = 32;
    /// Keys that are extern strings view the bytes of their one definition, so the objects of a result
    /// list share their key pointers, and a second table, on a hash of those pointers, finds their order
    /// without reading a key byte. A stale entry fails its check against the order's keys.
    static constexpr size_t kShortcutBits = 8;

    void array(const Block<Value>& items) {
        out_.put('[');
        for (size_t i = 0; i < items.size(); ++i) {
            // The comma and a scalar under one check of the room.
            char* o = out_.reserve(1 + kScalarRoom);
            if (!o) return;
            *o = ',';
            value_at(items[i], o + (i != 0));
        }
        out_.put(']');
    }

    void map(const Block<tree::Entry>& map) {
        bool string_keys = std::all_of(map.begin(), map.end(),
                                       [](const tree::Entry& e) { return e.key.kind == ValueKind::Str; });
        if (string_keys) {
            object({&map, nullptr});
            return;
        }
        // Keys JSON cannot hold as object keys: every pair becomes a [key, value] array, in wire order.
        out_.put('[');
        for (size_t i = 0; i < map.size(); ++i) {
            if (i) out_.put(',');
            out_.put('[');
            value(map[i].key);
            out_.put(',');
            value(map[i].value);
            out_.put(']');
        }
        out_.put(']');
    }

    void object(Fields fields) {
        if (fields.size() == 0) {
            out_.append("{}");
            return;
        }
        // Once memory has run out nothing more is written, and the orders are left as they are.
        if (VELKORA_UNLIKELY(out_.failed())) return;
        KeyOrder* order = find_order(fields);
        if (VELKORA_UNLIKELY(out_.failed())) return;
        bool spilled = order == nullptr;
        if (spilled) {
            // Not to be kept: ordered into the spill level of this nesting depth, which nothing nested
            // touches.
            if (spill_depth_ == spill_.size()) {
                auto* level = new (std::nothrow) KeyOrder();
                if (!level || !spill_.push(level)) {
                    delete level;
                    out_.fail();
                    return;
                }
            }
            order = spill_[spill_depth_];
            if (!order_keys(fields, *order)) return;  // keys_ still holds this object's keys
            ++spill_depth_;
        }
        ++order->pins;
        const char* text = order->text.data();
        const tree::Entry* entries = fields.entries->begin();
        size_t count = fields.entries->size();
        size_t from = 0;
        for (const Step& step : order->steps) {
            // The key's text and a scalar value under one check of the room; the order's text keeps
            // kKeyTextSlack bytes after its last key, so a short key is one fixed-size copy, not a call.
            size_t n = step.text_end - from;
            char* o = out_.reserve(n + kKeyTextSlack + kScalarRoom);
            if (!o) break;  // the order is unpinned below all the same
            if (VELKORA_LIKELY(n <= kKeyTextSlack)) std::memcpy(o, text + from, kKeyTextSlack);
            else std::memcpy(o, text + from, n);
            o += n;
            from = step.text_end;
            if (VELKORA_UNLIKELY(step.index == count)) {
                out_.commit(o);
                array(*fields.children);
            } else {
                value_at(entries[step.index].value, o);
            }
        }
        out_.put('}');
        --order->pins;
        if (spilled) --spill_depth_;
    }

    /// Whether `order` was made for keys held as those of `fields` are: the very same bytes, in order.
    static bool same_key_pointers(const KeyOrder& order, Fields fields) {
        if (order.held.size() != fields.entries->size() || order.children != (fields.children != nullptr))
            return false;
        const HeldKey* kept = order.held.data();
        for (const tree::Entry& entry : *fields.entries) {
            if (!kept->is(entry)) return false;
            ++kept;
        }
        return true;
    }

    /// Copies the keys of `fields` into keys_; false when memory runs out.
    [[nodiscard]] bool keys_of(Fields fields) {
        size_t n = fields.size();
        if (!keys_.resize(n)) return false;
        for (size_t i = 0; i < n; ++i) keys_[i] = fields.key(i);
        return true;
    }

    /// The remembered order of the key sequence of `fields`, worked out now if it is new; nullptr when it
    /// cannot be kept (too long, or its slot is pinned by an object being written), with keys_ holding the
    /// keys, or when memory runs out, with the text failed.
    KeyOrder* find_order(Fields fields) {
        // The objects of a result list follow one another with the same keys: the order of the last
        // object is tried first, with no hash to compute.
        if (last_ && same_key_pointers(*last_, fields)) return last_;
        size_t n = fields.size();
        uint64_t pointer_hash = n;  // the children's key, always last, is counted in n
        for (const tree::Entry& entry : *fields.entries) {
            uint64_t word = static_cast<uint64_t>(entry.key.integer) ^ uint64_t{entry.key.length} << 48;
            pointer_hash = (pointer_hash ^ word) * 0x9E3779B97F4A7C15;
        }
        KeyOrder*& shortcut = shortcuts_[pointer_hash >> (64 - kShortcutBits)];
        if (shortcut && same_key_pointers(*shortcut, fields)) return last_ = shortcut;

        if (!keys_of(fields)) {
            out_.fail();
            return nullptr;
        }
        uint64_t hash = n;
        for (std::string_view key : keys_) {
            uint64_t word = key.size();
            if (!key.empty())
                word |= uint64_t{static_cast<unsigned char>(key.front())} << 32 |
                        uint64_t{static_cast<unsigned char>(key.back())} << 40;
            hash = (hash ^ word) * 0x9E3779B97F4A7C15;
        }
        KeyOrder& slot = slots_[hash >> (64 - kSlotBits)];
        if (!same_keys(slot.keys, keys_)) {
            if (n > kMaxCachedKeys || slot.pins) return nullptr;
            // Emptied first: a slot left half made by a failure below then matches no key sequence.
            slot.keys.clear();
            slot.held.clear();
            if (!slot.held.reserve(fields.entries->size())) {
                out_.fail();
                return nullptr;
            }
            for (const tree::Entry& entry : *fields.entries) (void)slot.held.push(HeldKey::of(entry));
            slot.children = fields.children != nullptr;
            if (!order_keys(fields, slot) || !slot.keys.resize(n)) {
                slot.held.clear();
                out_.fail();
                return nullptr;
            }
            std::memcpy(slot.keys.data(), keys_.data(), n * sizeof(std::string_view));
        }
        shortcut = &slot;
        return last_ = &slot;
    }

    /// Fills `order` for the sequence in keys_: sorted by key bytes, equal keys by position, so the last
    /// of each run is the one that wins. False when memory runs out, with the text failed.
    [[nodiscard]] bool order_keys(Fields fields, KeyOrder& order) {
        size_t n = keys_.size();
        order.steps.clear();
        if (!sorted_.resize(n) || !order.steps.reserve(n)) {
            out_.fail();
            return false;
        }
        for (size_t i = 0; i < n; ++i) sorted_[i] = i;
        std::sort(sorted_.begin(), sorted_.end(), [this](size_t a, size_t b) {
            int c = keys_[a].compare(keys_[b]);
            return c < 0 || (c == 0 && a < b);
        });
        rendered_.clear();
        for (size_t k = 0; k < n; ++k) {
            if (k + 1 < n && keys_[sorted_[k + 1]] == keys_[sorted_[k]]) continue;
            rendered_.put(order.steps.empty() ? '{' : ',');
            write_string(fields.key(sorted_[k]), rendered_);
            rendered_.put(':');
            (void)order.steps.push({sorted_[k], rendered_.size()});  // room reserved above
        }
        size_t length = rendered_.size();
        if (rendered_.failed() || !order.text.resize(length + kKeyTextSlack)) {
            order.steps.clear();
            out_.fail();
            return false;
        }
        std::memcpy(order.text.data(), rendered_.data(), length);
        std::memset(order.text.data() + length, 0, kKeyTextSlack);
        return true;
    }

    void document_list(const tree::SolrDocumentList& list) {
        out_.append("{\"docs\":");
        array(*list.docs);
        out_.append(",\"maxScore\":");
        if (list.has_max_score) write_double(list.max_score, out_);
        else out_.append("null");
        out_.append(",\"numFound\":");
        write_integer(list.num_found, out_);
        out_.append(",\"numFoundExact\":");
        if (list.has_num_found_exact) write_bool(list.num_found_exact, out_);
        else out_.append("null");
        out_.append(",\"start\":");
        write_integer(list.start, out_);
        out_.put('}');
    }

    TextBuffer& out_;
    Stack<std::string_view> keys_;  // the keys of the object being ordered
    Stack<size_t> sorted_;          // its entry indices while they are sorted
    TextBuffer rendered_{256};      // its key texts while they are escaped
public:
    /// The bytes of every key text made, or-ed together as TextBuffer::note_bytes takes them.
    uint64_t key_bytes() const { return rendered_.bytes_seen(); }
private:
    std::unique_ptr<KeyOrder[]> slots_{new (std::nothrow) KeyOrder[size_t{1} << kSlotBits]};
    std::unique_ptr<KeyOrder*[]> shortcuts_{new (std::nothrow) KeyOrder* [size_t{1} << kShortcutBits]()};
    KeyOrder* last_ = nullptr;  // the order found for the last object that has one
    Stack<KeyOrder*> spill_;    // orders not kept, one level per nesting depth (owned)
    size_t spill_depth_ = 0;
};

/// Powers of ten up to 10^22, all of which a double holds exactly.
constexpr auto kPowersOfTen = [] {
    std::array<double, 23> table{};
    double p = 1;
    for (double& t : table) {
        t = p;
        p *= 10;
    }
    return table;
}();

/// The shortest round-trip digits of `value` (positive, finite) and the decimal exponent of the first,
/// when they are at most 15 digits and the exponent is -5..14; false otherwise, leaving the outputs
/// unchanged. Most response floats are short decimals, and this spares them the general conversion.
///
/// Why it is exact: a decimal of 15 significant digits is spaced more widely than the doubles around
/// it (10^15 < 2^53), so at most one such decimal reads back as `value`, and if any shorter one does,
/// that one padded with zeros is it. A candidate is made by scaling, which may round wrongly, and is
/// then checked by reading it back: the candidate is an integer below 2^53 and the scale an exact power
/// of ten, so one division rounds it correctly, exactly as parsing the decimal would.
bool short_digits(double value, char* digits, int* n, int* exponent) {
    if (!(value >= 1e-5 && value < 1e15)) return false;
    uint64_t bits;
    std::memcpy(&bits, &value, 8);
    int binary_exponent = static_cast<int>((bits >> 52) & 0x7FF) - 1023;
    int e = (binary_exponent * 1233) >> 12;  // floor(log10(2^binary_exponent)), may be one short
    int shift = 14 - e;
    if (shift < 0 || shift > 22) return false;
    uint64_t candidate = static_cast<uint64_t>(value * kPowersOfTen[shift] + 0.5);
    if (candidate >= 1000000000000000) {  // e was one short
        ++e;
        --shift;
        if (shift < 0) return false;
        candidate = static_cast<uint64_t>(value * kPowersOfTen[shift] + 0.5);
    }
    if (candidate < 100000000000000 || candidate >= 1000000000000000) return false;
    if (static_cast<double>(candidate) / kPowersOfTen[shift] != value) return false;
    // Fifteen digits: seven, then eight, which for the common short decimals are all zeros.
    uint64_t high = candidate / 100000000;
    auto low = static_cast<uint32_t>(candidate - high * 100000000);
    char* rest = write_up_to_eight(static_cast<uint32_t>(high), digits);
    if (low == 0) std::memcpy(rest, kZeros, 8);
    else write_eight(low, rest);
    // The trailing zeros dropped, counted a word at a time (zero digits are zero bytes once '0' is taken
    // off); the first digit is not zero.
    int count;
    if (uint64_t low = wire::little_endian(load64(digits + 7) ^ kZeroDigits); low != 0) {
        count = 15 - std::countl_zero(low) / 8;
    } else {
        count = 8 - std::countl_zero(wire::little_endian(load64(digits) ^ kZeroDigits)) / 8;
    }
    *n = count;
    *exponent = e;
    return true;
}

/// Powers of ten as 128-bit integers, up to 10^22.
constexpr auto kPowersOfTen128 = [] {
    std::array<wire::uint128, 23> table{};
    wire::uint128 p = 1;
    for (auto& t : table) {
        t = p;
        p *= 10;
    }
    return table;
}();

/// The shortest round-trip digits of `value` (positive, finite) when short_digits has found none of 15 or
/// fewer: 16 or 17 digits, and the decimal exponent of the first. False, leaving the outputs unchanged,
/// outside 1e-5..1e15 and for a power of two (whose interval is lopsided); the general conversion takes
/// those.
///
/// Why it is exact: with value = m * 2^-s, the scaled value m * 10^k * 2^-s is held as the integer
/// N = m * 10^k over 2^s, which 128 bits hold in this range, so every rounding and comparison is done
/// on integers. A decimal C * 10^-k reads back as `value` when it is nearer than half the gap between
/// doubles, that is 2 * |C * 2^s - N| < 10^k (equal rounds to the even mantissa). Among the decimals of
/// one length the nearest is taken, as the shortest round-trip rule asks; the interval being symmetric,
/// if any of that length reads back, the nearest does.
bool long_digits(double value, char* digits, int* n, int* exponent) {
    using u128 = wire::uint128;
    if (!(value >= 1e-5 && value < 1e15)) return false;
    uint64_t bits;
    std::memcpy(&bits, &value, 8);
    int biased = static_cast<int>((bits >> 52) & 0x7FF);
    uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    if (fraction == 0) return false;
    uint64_t m = fraction | uint64_t{1} << 52;
    int s = 1075 - biased;                 // 3..69 in this range
    int e = ((biased - 1023) * 1233) >> 12;  // the first digit's exponent, or one short
    int k = 16 - e;                        // 2..22
    u128 scaled = u128{m} * kPowersOfTen128[k];
    uint64_t q = static_cast<uint64_t>(scaled >> s);
    if (q >= 100000000000000000) {  // e was one short
        ++e;
        --k;
        scaled = u128{m} * kPowersOfTen128[k];
        q = static_cast<uint64_t>(scaled >> s);
    }
    if (q < 10000000000000000 || q >= 100000000000000000) return false;
    u128 unit = u128{1} << s;
    u128 rest = scaled - (u128{q} << s);
    // The nearest decimals of 16 and 17 digits, on the 17-digit scale.
    u128 half16 = u128{5} << s;
    u128 tail16 = (u128{q % 10} << s) + rest;
    // An exact tie, common for singles widened to double, goes to the even neighbour, as the shortest
    // round-trip conversions do.
    uint64_t c16 = q / 10 + (tail16 > half16 || (tail16 == half16 && (q / 10) % 2 == 1));
    uint64_t c17 = q + (2 * rest > unit || (2 * rest == unit && q % 2 == 1));
    auto reads_back = [&](uint64_t c) {
        u128 at = u128{c} << s;
        u128 distance = at > scaled ? at - scaled : scaled - at;
        u128 twice = 2 * distance;
        return twice < kPowersOfTen128[k] || (twice == kPowersOfTen128[k] && (m & 1) == 0);
    };
    uint64_t chosen;
    if (c16 < 10000000000000000 && reads_back(c16 * 10)) chosen = c16;
    else if (c17 < 100000000000000000 && reads_back(c17)) chosen = c17;
    else return false;
    int count = static_cast<int>(write_decimal(chosen, digits) - digits);  // 16 or 17
    if (uint64_t tail = wire::little_endian(load64(digits + count - 8) ^ kZeroDigits); tail != 0)
        count -= std::countl_zero(tail) / 8;
    else
        while (count > 1 && digits[count - 1] == '0') --count;
    *n = count;
    *exponent = e;
    return true;
}

}  // namespace

TextBuffer::TextBuffer(size_t capacity) {
    if (capacity == 0) capacity = 1;
    begin_ = static_cast<char*>(std::malloc(capacity));
    if (!begin_ && capacity > 128) {
        capacity = 128;
        begin_ = static_cast<char*>(std::malloc(capacity));
    }
    cursor_ = begin_;
    end_ = begin_ ? begin_ + capacity : nullptr;
    failed_ = !begin_;
}

char* TextBuffer::grow(size_t n) {
    if (failed_) return nullptr;
    size_t size = this->size();
    size_t capacity = static_cast<size_t>(end_ - begin_);
    char* grown = nullptr;
    if (n <= SIZE_MAX - size) {
        size_t wanted = std::max(capacity <= SIZE_MAX / 2 ? capacity * 2 : SIZE_MAX, size + n);
        grown = static_cast<char*>(std::realloc(begin_, wanted));
        if (grown) {
            begin_ = grown;
            cursor_ = grown + size;
            end_ = grown + wanted;
            return cursor_;
        }
    }
    // Every reserve from here on comes this way and is refused: the writer stops where it stands.
    failed_ = true;
    end_ = cursor_;
    return nullptr;
}

namespace {

char* float_at(double value, char* o) {
    if (value == 0) {
        if (std::signbit(value)) *o++ = '-';
        std::memcpy(o, "0.0", 3);
        return o + 3;
    }
    if (value < 0) {
        *o++ = '-';
        value = -value;
    }
    char digits[40] = {};  // 17 digits, the slack of word stores, and what the layout's copies read past them
    int n = 0;
    int exponent = 0;
    if (!short_digits(value, digits, &n, &exponent) && !long_digits(value, digits, &n, &exponent)) {
        // Shortest round-trip digits in scientific form, "d[.ddd]e(+|-)XX"; then laid out by our own rules.
        char text[40];
        const char* text_end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
        const char* p = text;
        digits[n++] = *p++;
        if (*p == '.')
            for (++p; *p != 'e'; ++p) digits[n++] = *p;
        while (n > 1 && digits[n - 1] == '0') --n;
        ++p;  // 'e'
        bool negative = *p++ == '-';
        for (; p < text_end; ++p) exponent = exponent * 10 + (*p - '0');
        if (negative) exponent = -exponent;
    }

    // Laid out with stores of fixed size (whole runs of digits and zeros, written past the end and then
    // overwritten or left beyond the committed text), which compile to a few moves where copies of the
    // exact lengths would be calls. The furthest store ends 32 bytes after the sign.
    if (exponent >= -5 && exponent <= 15) {
        if (exponent >= n - 1) {
            // The digits, then zeros up to the units digit (at most 15), then ".0".
            std::memcpy(o, digits, 24);
            std::memcpy(o + n, kZeros, 16);
            std::memcpy(o + exponent + 1, ".0", 2);
            return o + exponent + 3;
        } else if (exponent >= 0) {
            // The first exponent + 1 digits, the point, and the (at most 16) others after it.
            std::memcpy(o, digits, 24);
            std::memcpy(o + exponent + 2, digits + exponent + 1, 16);
            o[exponent + 1] = '.';
            return o + n + 1;
        } else {
            // "0.", -exponent - 1 zeros (at most 4), the digits.
            std::memcpy(o, kZeros, 8);
            o[1] = '.';
            std::memcpy(o + 1 - exponent, digits, 24);
            return o + 1 - exponent + n;
        }
    }
    *o = digits[0];
    o[1] = '.';
    std::memcpy(o + 2, digits + 1, 16);
    o += n > 1 ? n + 1 : 1;
    *o++ = 'e';
    *o++ = exponent < 0 ? '-' : '+';
    return std::to_chars(o, o + 4, exponent < 0 ? -exponent : exponent).ptr;
}

}  // namespace

void write_float(double value, TextBuffer& out) {
    if (char* o = out.reserve(kScalarRoom)) out.commit(float_at(value, o));
}

bool write_json(const Value& value, TextBuffer& out) {
    Writer writer(out);
    writer.value(value);
    out.note_bytes(writer.key_bytes());
    return !out.failed();
}

bool TextBuffer::to_latin1() {
    if (!(seen_ & kHighBits)) return false;
    char* const text = begin_;
    const char* const end = cursor_;
    const char* from = text;
    while (end - from >= 8 && !(load64(from) & kHighBits)) from += 8;  // the ASCII start stays where it is
    char* to = const_cast<char*>(from);
    for (;;) {
        while (end - from >= 32) {
            uint64_t a = load64(from);
            uint64_t b = load64(from + 8);
            uint64_t c = load64(from + 16);
            uint64_t d = load64(from + 24);
            if ((a | b | c | d) & kHighBits) break;
            std::memcpy(to, &a, 8);
            std::memcpy(to + 8, &b, 8);
            std::memcpy(to + 16, &c, 8);
            std::memcpy(to + 24, &d, 8);
            from += 32;
            to += 32;
        }
        for (uint64_t word; end - from >= 8 && !((word = load64(from)) & kHighBits); from += 8, to += 8)
            std::memcpy(to, &word, 8);
        while (from < end && static_cast<unsigned char>(*from) < 0x80) *to++ = *from++;
        if (from == end) break;
        auto lead = static_cast<unsigned char>(*from);
        // Two bytes, C2 or C3 and a continuation, make U+0080..U+00FF; anything else puts the text back.
        if ((lead & 0xFE) != 0xC2 || end - from < 2 || (static_cast<unsigned char>(from[1]) & 0xC0) != 0x80) {
            // Backwards, every character as it was: each widened one takes back the byte it gave up.
            char* back = const_cast<char*>(from);
            while (to > text) {
                auto ch = static_cast<unsigned char>(*--to);
                if (ch < 0x80) {
                    *--back = static_cast<char>(ch);
                } else {
                    *--back = static_cast<char>(0x80 | (ch & 0x3F));
                    *--back = static_cast<char>(0xC0 | (ch >> 6));
                }
            }
            return false;
        }
        *to++ = static_cast<char>(lead << 6 | (static_cast<unsigned char>(from[1]) & 0x3F));
        from += 2;
    }
    cursor_ = to;
    return true;
}

}  // namespace velkora::tree
