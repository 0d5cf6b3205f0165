// src/arrow/types.hpp: Arrow data types as this module shows and compares them.
#pragma once

#include <string>
#include <string_view>

#include "arrow/nanoarrow.hpp"

namespace velkora::arrow {

/// The display text of a field's data type, as messages show it: "Int64", "LargeUtf8",
/// "Timestamp(ms)", "Timestamp(ns, \"UTC\")", "List<Binary>". A list item field other than the usual
/// nullable "item" without metadata is spelled out, so two list types that differ only there read
/// differently.
std::string type_display(const ArrowSchema* field);

/// Arrow data type equality: format, parameters, and for nested types the child fields' names,
/// nullability, metadata and types. The field's own name, nullability and metadata play no part.
bool same_type(const ArrowSchema* a, const ArrowSchema* b);

/// `text` as a quoted string literal: double quotes around it; `"` and `\` escaped with a backslash;
/// tab, carriage return, line feed and NUL as \t, \r, \n, \0; other control characters as \u{hex}.
std::string quote_literal(std::string_view text);

}  // namespace velkora::arrow
