// src/arrow/batch_assembly.hpp: turning the column builders into a record batch, and the whole-body
// Arrow decode.
#pragma once

#include "arrow/column_plan.hpp"
#include "core/reader.hpp"

namespace velkora::arrow {

/// A finished record batch: the caller's schema and one struct array whose children are the columns.
struct RecordBatch {
    SharedSchema schema;
    nanoarrow::UniqueArray array;
};

/// Finishes every builder (they start again empty), resets the row counter and checks the batch as
/// Arrow's validating record-batch constructor does: column count, at least one column, no nulls in a
/// non-nullable field, equal lengths, and each column's type equal to its field's. A failed check is
/// ArrowBuild ("Invalid argument error: ...").
[[nodiscard]] bool assemble_batch(ArrowRowDecoder& d, RecordBatch* out, wire::DecodeError* error);

/// Decodes a whole body into one batch: the column plan, the documents located in the envelope (nothing
/// after them is read) and the assembly. Touches no Python object.
[[nodiscard]] bool decode_body(wire::ByteSpan data, SharedSchema schema, ChildrenMode mode, const MetaNames& names,
                               RecordBatch* out, wire::DecodeError* error);

}  // namespace velkora::arrow
