// src/tree/json.cpp: JSON rendering of the Value tree.
//
// The tree is rendered in place: an object's entries are gathered as (key, value) views, sorted by key
// bytes and written with the last duplicate winning, so no second tree and no copy of any string is made.
#include "tree/json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
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

void write_string(std::string_view s, std::string& out) {
    out.push_back('"');
    size_t run = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        char escape = kEscapes[static_cast<unsigned char>(s[i])];
        if (VELKORA_LIKELY(escape == 0)) continue;
        out.append(s.data() + run, i - run);
        run = i + 1;
        out.push_back('\\');
        if (escape == 'u') {
            static constexpr char hex[] = "0123456789abcdef";
            unsigned char c = static_cast<unsigned char>(s[i]);
            out += "u00";
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0xF]);
        } else {
            out.push_back(escape);
        }
    }
    out.append(s.data() + run, s.size() - run);
    out.push_back('"');
}

void write_base64(std::string_view bytes, std::string& out) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out.push_back('"');
    size_t i = 0;
    auto byte = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[k])); };
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t v = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
        out.push_back(alphabet[v >> 18]);
        out.push_back(alphabet[(v >> 12) & 63]);
        out.push_back(alphabet[(v >> 6) & 63]);
        out.push_back(alphabet[v & 63]);
    }
    size_t rest = bytes.size() - i;
    if (rest == 1) {
        uint32_t v = byte(i) << 16;
        out.push_back(alphabet[v >> 18]);
        out.push_back(alphabet[(v >> 12) & 63]);
        out += "==";
    } else if (rest == 2) {
        uint32_t v = byte(i) << 16 | byte(i + 1) << 8;
        out.push_back(alphabet[v >> 18]);
        out.push_back(alphabet[(v >> 12) & 63]);
        out.push_back(alphabet[(v >> 6) & 63]);
        out.push_back('=');
    }
    out.push_back('"');
}

template <typename Int>
void write_integer(Int v, std::string& out) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

/// A double: finite values as numbers; NaN and the infinities as the strings JSON cannot hold otherwise.
void write_double(double v, std::string& out) {
    if (std::isnan(v)) {
        out += "\"NaN\"";
    } else if (std::isinf(v)) {
        out += v > 0 ? "\"Infinity\"" : "\"-Infinity\"";
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

void write_array(const Block<Value>& items, std::string& out);

/// Sorts by key bytes, keeps the last entry of every key, and writes the object.
void write_object(std::vector<Entry>& entries, std::string& out) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.key < b.key; });
    out.push_back('{');
    bool first = true;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i + 1 < entries.size() && entries[i + 1].key == entries[i].key) continue;  // a later one wins
        if (!first) out.push_back(',');
        first = false;
        write_string(entries[i].key, out);
        out.push_back(':');
        if (entries[i].children) write_array(*entries[i].children, out);
        else write_json(*entries[i].value, out);
    }
    out.push_back('}');
}

void write_array(const Block<Value>& items, std::string& out) {
    out.push_back('[');
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out.push_back(',');
        write_json(items[i], out);
    }
    out.push_back(']');
}

void write_map(const Block<tree::Entry>& map, std::string& out) {
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
    out.push_back('[');
    for (size_t i = 0; i < map.size(); ++i) {
        if (i) out.push_back(',');
        out.push_back('[');
        write_json(map[i].key, out);
        out.push_back(',');
        write_json(map[i].value, out);
        out.push_back(']');
    }
    out.push_back(']');
}

void write_document(const tree::SolrDocument& doc, std::string& out) {
    std::vector<Entry> entries;
    entries.reserve(doc.fields->size() + 1);
    for (const tree::Entry& field : *doc.fields) entries.push_back({field.key.text(), &field.value, nullptr});
    // Appended last, so it replaces any field of the same name.
    if (!doc.children->empty()) entries.push_back({"_childDocuments_", nullptr, doc.children});
    write_object(entries, out);
}

void write_document_list(const tree::SolrDocumentList& list, std::string& out) {
    out += "{\"docs\":";
    write_array(*list.docs, out);
    out += ",\"maxScore\":";
    if (list.has_max_score) write_double(list.max_score, out);
    else out += "null";
    out += ",\"numFound\":";
    write_integer(list.num_found, out);
    out += ",\"numFoundExact\":";
    if (list.has_num_found_exact) out += list.num_found_exact ? "true" : "false";
    else out += "null";
    out += ",\"start\":";
    write_integer(list.start, out);
    out.push_back('}');
}

}  // namespace

void write_float(double value, std::string& out) {
    if (value == 0) {
        out += std::signbit(value) ? "-0.0" : "0.0";
        return;
    }
    // Shortest round-trip digits in scientific form, "d[.ddd]e±XX"; then laid out by our own rules.
    char buf[40];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view text(buf, static_cast<size_t>(res.ptr - buf));
    if (text.front() == '-') {
        out.push_back('-');
        text.remove_prefix(1);
    }
    size_t e_pos = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e_pos))
        if (c != '.') digits.push_back(c);
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    int exponent = 0;
    std::string_view exp_text = text.substr(e_pos + 1);
    bool negative = exp_text.front() == '-';
    std::from_chars(exp_text.data() + 1, exp_text.data() + exp_text.size(), exponent);
    if (negative) exponent = -exponent;

    int n = static_cast<int>(digits.size());
    if (exponent >= -5 && exponent <= 15) {
        if (exponent >= n - 1) {
            out += digits;
            out.append(static_cast<size_t>(exponent - n + 1), '0');
            out += ".0";
        } else if (exponent >= 0) {
            out.append(digits, 0, static_cast<size_t>(exponent + 1));
            out.push_back('.');
            out.append(digits, static_cast<size_t>(exponent + 1));
        } else {
            out += "0.";
            out.append(static_cast<size_t>(-exponent - 1), '0');
            out += digits;
        }
        return;
    }
    out.push_back(digits[0]);
    if (n > 1) {
        out.push_back('.');
        out.append(digits, 1);
    }
    out.push_back('e');
    out.push_back(exponent < 0 ? '-' : '+');
    write_integer(exponent < 0 ? -exponent : exponent, out);
}

void write_json(const Value& value, std::string& out) {
    switch (value.kind) {
        case ValueKind::Null: out += "null"; break;
        case ValueKind::Bool: out += value.boolean ? "true" : "false"; break;
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
