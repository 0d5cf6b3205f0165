// src/python/survey_objects.hpp: a field survey handed to Python as plain dicts, one per field.
#pragma once

#include "arrow/field_survey.hpp"
#include "python/pyref.hpp"

namespace velkora::py {

/// The survey as a dict: the envelope's shape ("top", "keys", "response_key", "response", "docs",
/// "numFound", "start", "maxScore", "declared"), the counts ("documents", "complete", "rows", "children",
/// "nested_documents", "extern_strings") and "fields": name -> {"rows", "values", "items"}, the last two
/// mapping kind names to counts (kinds never seen left out). New reference, or nullptr with an exception.
PyObject* survey_to_python(const arrow::FieldSurvey& survey);

}  // namespace velkora::py
