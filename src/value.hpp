// src/value.hpp: the in-memory tree of one decoded javabin body, with no Python objects in it.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "reader.hpp"

namespace velkora::tree {

struct Value;
struct SolrDocument;
struct SolrDocumentList;

/// Raw milliseconds since 1970-01-01T00:00:00Z; no calendar conversion happens in the tree.
struct Date {
    int64_t millis;
};
/// An owned byte sequence (kept apart from Str so the two kinds stay distinct).
struct Bytes {
    std::string data;
};
using Array = std::vector<Value>;
using Map = std::vector<std::pair<Value, Value>>;
/// A named-list key is absent exactly when the wire key was null.
using NamedList = std::vector<std::pair<std::optional<std::string>, Value>>;

/// The sixteen kinds, in the order of their kind names; the variant index is the kind.
enum class ValueKind : uint8_t {
    Null, Bool, Byte, Short, Int, Long, Float, Double, Date, Str, Bytes, Array, Map, NamedList,
    SolrDocument, SolrDocumentList,
};

/// One decoded value. Owns its whole subtree; no sharing, no cycles, at most MAX_DEPTH levels deep.
struct Value {
    using Payload = std::variant<std::monostate, bool, int8_t, int16_t, int32_t, int64_t, float, double, Date,
                                 std::string, Bytes, Array, Map, NamedList, std::unique_ptr<SolrDocument>,
                                 std::unique_ptr<SolrDocumentList>>;
    Payload payload;

    ValueKind kind() const { return static_cast<ValueKind>(payload.index()); }
    template <typename T>
    const T& as() const { return std::get<T>(payload); }
};

struct SolrDocument {
    std::vector<std::pair<std::string, Value>> fields;
    std::vector<Value> children;  // always SolrDocument values
};

struct SolrDocumentList {
    int64_t num_found = 0;
    int64_t start = 0;
    std::optional<double> max_score;
    std::optional<bool> num_found_exact;
    std::vector<Value> docs;  // whatever the docs array held
};

/// Decodes a whole body (version byte, one value, nothing after it). On failure returns false and
/// leaves the error in `error`; nothing partial is kept.
[[nodiscard]] bool parse_document(const uint8_t* data, size_t len, Value* out, wire::DecodeError* error);

/// The kind name that fills the "found" part of UnexpectedValue messages.
const char* kind_name(const Value& v);

/// Every value counts one, plus its parts: keys of named lists and documents count one each, map keys
/// count as whole values, a document list's header counts nothing.
uint64_t node_count(const Value& v);

}  // namespace velkora::tree
