// src/tree/json.hpp: renders a Value tree as compact JSON text with key-sorted objects.
#pragma once

#include <string>

#include "tree/value.hpp"

namespace velkora::json {

/// Appends the JSON text of `value` to `out`. Objects list their keys in ascending byte order with the
/// last duplicate winning; documents, document lists, bytes and non-finite floats have fixed renderings.
void write_json(const tree::Value& value, std::string& out);

/// The float text used for every JSON number that is not an integer: shortest round-trip digits, plain
/// notation for decimal exponents -5..15, exponent notation otherwise. `value` must be finite.
void write_float(double value, std::string& out);

}  // namespace velkora::json
