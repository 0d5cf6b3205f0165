// src/python/survey_objects.cpp: building the dicts of a field survey; a handful of objects per field.
#include "python/survey_objects.hpp"

#include <string>

namespace velkora::py {

using arrow::EnvelopeShape;
using arrow::FieldSurvey;
using arrow::WireKind;

namespace {

PyRef text(std::string_view s) {
    return PyRef::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

PyRef count(uint64_t n) { return PyRef::steal(PyLong_FromUnsignedLongLong(n)); }

PyRef none() { return PyRef::borrow(Py_None); }

/// Sets `dict[key] = value`, consuming nothing; false (exception set) when `value` is null or the set fails.
bool put(PyObject* dict, const char* key, const PyRef& value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyRef kind_or_none(const std::optional<WireKind>& kind) {
    return kind ? text(arrow::wire_kind_name(*kind)) : none();
}

PyRef integer_or_none(const std::optional<int64_t>& v) {
    return v ? PyRef::steal(PyLong_FromLongLong(*v)) : none();
}

/// kind name -> count, for the kinds that were seen.
PyRef kind_counts(const std::array<uint64_t, arrow::kWireKinds>& counts) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return dict;
    for (size_t k = 0; k < counts.size(); ++k) {
        if (counts[k] == 0) continue;
        if (!put(dict.get(), arrow::wire_kind_name(static_cast<WireKind>(k)), count(counts[k]))) return PyRef();
    }
    return dict;
}

PyRef envelope_keys(const std::vector<std::string>& keys) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return list;
    for (const std::string& key : keys) {
        PyRef item = text(key);
        if (!item || PyList_Append(list.get(), item.get()) != 0) return PyRef();
    }
    return list;
}

PyRef fields(const FieldSurvey& survey) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return dict;
    for (const arrow::FieldTally& f : survey.fields) {
        PyRef entry = PyRef::steal(PyDict_New());
        if (!entry || !put(entry.get(), "rows", count(f.rows)) || !put(entry.get(), "values", kind_counts(f.values)) ||
            !put(entry.get(), "items", kind_counts(f.items)))
            return PyRef();
        PyRef name = text(f.name);
        if (!name || PyDict_SetItem(dict.get(), name.get(), entry.get()) != 0) return PyRef();
    }
    return dict;
}

const char* docs_name(EnvelopeShape::Docs docs) {
    switch (docs) {
        case EnvelopeShape::Docs::Counted: return "array";
        case EnvelopeShape::Docs::Terminated: return "iterator";
        case EnvelopeShape::Docs::None: break;
    }
    return nullptr;
}

}  // namespace

PyObject* survey_to_python(const FieldSurvey& survey) {
    const EnvelopeShape& e = survey.envelope;
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    const char* docs = docs_name(e.docs);
    bool ok = put(dict.get(), "top", kind_or_none(e.top)) && put(dict.get(), "keys", envelope_keys(e.keys)) &&
              put(dict.get(), "response_key", e.response_key.empty() ? none() : text(e.response_key)) &&
              put(dict.get(), "response", kind_or_none(e.response)) &&
              put(dict.get(), "docs", docs ? text(docs) : none()) &&
              put(dict.get(), "numFound", integer_or_none(e.num_found)) &&
              put(dict.get(), "start", integer_or_none(e.start)) &&
              put(dict.get(), "maxScore", e.max_score ? PyRef::steal(PyFloat_FromDouble(*e.max_score)) : none()) &&
              put(dict.get(), "declared", e.declared ? count(*e.declared) : none()) &&
              put(dict.get(), "documents", count(survey.documents)) &&
              put(dict.get(), "complete", PyRef::borrow(survey.complete ? Py_True : Py_False)) &&
              put(dict.get(), "rows", count(survey.rows)) && put(dict.get(), "children", count(survey.children)) &&
              put(dict.get(), "nested_documents", count(survey.nested_documents)) &&
              put(dict.get(), "extern_strings", count(survey.extern_strings)) &&
              put(dict.get(), "untallied", count(survey.untallied)) &&
              put(dict.get(), "rest_error", survey.rest_error.empty() ? none() : text(survey.rest_error)) &&
              put(dict.get(), "fields", fields(survey));
    return ok ? dict.release() : nullptr;
}

}  // namespace velkora::py
