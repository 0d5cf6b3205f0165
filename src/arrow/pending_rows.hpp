// src/arrow/pending_rows.hpp: the rows of one document tree, held until the whole tree has been read.
#pragma once

#include <cstdint>

#include "arrow/column_plan.hpp"
#include "core/stack.hpp"

namespace velkora::arrow {

/// A column's value in a pending row: absent, one scalar, or a list of scalars (a run of `items`).
struct FieldValue {
    enum class Kind : uint8_t { Absent, Scalar, List };
    Kind kind = Kind::Absent;
    ScalarValue scalar;
    uint32_t first_item = 0;
    uint32_t item_count = 0;
    uint64_t offset = 0;  // where the value starts in the input, for an error that must say
};

/// One document of a tree. Its values are a run of one FieldValue per column in `PendingTree::values`.
struct PendingRow {
    int64_t parent = -1;          // index of the parent's row, -1 for the top-level document
    uint32_t depth = 0;
    bool has_child_field = false; // held under a field name (copied into `names`)
    uint64_t name_offset = 0;
    uint64_t name_size = 0;
};

/// The buffers of one tree, reused from document to document so that explode mode allocates only when a
/// tree is larger than any before it. Strings and bytes in the values borrow from the input. Growth that
/// finds no memory is reported, not thrown.
struct PendingTree {
    wire::Stack<PendingRow> rows;
    wire::Stack<FieldValue> values;  // rows.size() × column count
    wire::Stack<ScalarValue> items;  // list items of every row
    wire::Stack<char> names;         // child-field names, one copy per field that holds children

    void clear() {
        rows.clear();
        values.clear();
        items.clear();
        names.clear();
    }
};

}  // namespace velkora::arrow
