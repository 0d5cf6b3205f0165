// src/arrow/batch_assembly.hpp: turning the column builders into a record batch, and the whole-body
// Arrow decode.
#pragma once

#include "arrow/column_plan.hpp"
#include "arrow/row_decoder.hpp"
#include "core/reader.hpp"

namespace velkora::arrow {

/// A finished record batch: the caller's schema and one struct array whose children are the columns. The
/// array is shared so that handing it over can fail at any point without losing it: what goes out holds a
/// reference, and the batch is let go only once it has arrived.
struct RecordBatch {
    SharedSchema schema;
    std::shared_ptr<nanoarrow::UniqueArray> array;
};

/// Checks the batch as Arrow's validating record-batch constructor does (column count, at least one
/// column, no nulls in a non-nullable field, equal lengths, each column's type equal to its field's), then
/// finishes every builder (they start again empty) and resets the row counter. A failed check is
/// ArrowBuild ("Invalid argument error: ...", with the field named in `field` where there is one) and leaves
/// the builders and the row counter as they were; so does OutOfMemory, but when the batch's own
/// structure cannot be made after the columns are finished.
[[nodiscard]] bool assemble_batch(ArrowRowDecoder& d, RecordBatch* out, wire::DecodeError* error);

/// Marks an error as met inside result document `index`.
inline void in_document(wire::DecodeError* error, uint64_t index) {
    error->in_document = true;
    error->document = index;
}

/// Decodes a whole body into one batch: the column plan, the documents located in the envelope (nothing
/// after them is read) and the assembly. Touches no Python object.
[[nodiscard]] bool decode_body(wire::ByteSpan data, SharedSchema schema, ChildrenMode mode, const MetaNames& names,
                               RecordBatch* out, wire::DecodeError* error);

}  // namespace velkora::arrow
