// src/python/arrow_interchange.hpp: the whole exchange with pyarrow, through the Arrow C Data Interface.
//
// pyarrow is never linked: it is imported on first use and reached through attribute calls, so the module
// imports and the non-Arrow functions work without it.
#pragma once

#include "arrow/batch_assembly.hpp"
#include "arrow/column_plan.hpp"
#include "python/pyref.hpp"

namespace velkora::py {

/// Reads a schema object: anything with `__arrow_c_schema__` returning an "arrow_schema" capsule, or a
/// `pyarrow.Schema` through `_export_to_c`. The schema is copied; the capsule keeps its own. False with
/// the Python exception set (import errors, TypeError, pyarrow.ArrowException for a schema nanoarrow
/// rejects).
[[nodiscard]] bool import_schema(PyObject* object, arrow::SharedSchema* out);

/// A new `pyarrow.Schema` equal to `schema`, metadata included. New reference, or nullptr with an exception.
PyObject* export_schema(const arrow::SharedSchema& schema);

/// A `pyarrow.RecordBatch` sharing the batch's buffers (no copy), through a one-batch ArrowArrayStream.
/// New reference, or nullptr with the exception pyarrow raised. The batch is moved out only once pyarrow
/// is there to take it: when the failure came first (pyarrow cannot be imported), `batch` still holds it.
PyObject* export_record_batch(arrow::RecordBatch& batch);

}  // namespace velkora::py
