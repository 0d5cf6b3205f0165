// src/module/entries.hpp: what each part of the module surface hands to start-up, and what they share.
#pragma once

#include <span>

#include "arrow/column_plan.hpp"
#include "arrow/types.hpp"
#include "module/arguments.hpp"
#include "module/decoder_types.hpp"
#include "python/pyref.hpp"

/// A fast-call entry as the method table stores it.
#define VELKORA_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

namespace velkora::module {

/// The keyword-only arguments of both Arrow entries.
inline constexpr KeywordOnly kChildrenKeywords[] = {{"children", false}, {"child_columns", false}};

/// The module functions listed in __all__, in registration order.
std::span<PyMethodDef> exported_functions();
/// The private helpers of the package: set on the module, left out of __all__.
std::span<PyMethodDef> unexported_functions();

/// The decoder classes.
ClassSpec stream_decoder_class();
ClassSpec arrow_stream_decoder_class();

/// The schema argument through the pyarrow interchange; its failures carry the note for `schema`.
bool convert_schema(PyObject* argument, arrow::SharedSchema* out);
/// The `children` and `child_columns` arguments (either may be left out: nullptr), converted and then
/// checked; a bad mode or role is ValueError.
bool convert_children(PyObject* children, PyObject* child_columns, arrow::ChildrenMode* mode, arrow::MetaNames* names);

}  // namespace velkora::module
