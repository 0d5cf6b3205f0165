// src/module/functions.cpp: the whole-body module functions: each binds its arguments by its ArgumentSpec,
// converts them, calls one decoder and turns a DecodeError into its Python exception.
#include <optional>
#include <string>

#include "arrow/batch_assembly.hpp"
#include "arrow/column_plan.hpp"
#include "arrow/types.hpp"
#include "module/arguments.hpp"
#include "module/entries.hpp"
#include "python/errors.hpp"
#include "python/arrow_interchange.hpp"
#include "python/py_decoder.hpp"
#include "python/pyref.hpp"
#include "python/safe_decoder.hpp"
#include "python/survey_objects.hpp"
#include "tree/json.hpp"
#include "tree/value.hpp"

namespace velkora::module {

using py::add_processing_note;
using py::call_guard;
using py::LockRelease;
using py::to_python_error;
using py::to_value_error;

namespace {

constexpr const char* kData[] = {"data"};
constexpr const char* kDataCallback[] = {"data", "callback"};

constexpr ArgumentSpec kDeserializeSpec{"deserialize", nullptr, kData, 1};
constexpr ArgumentSpec kDeserializeJsonSpec{"deserialize_json", nullptr, kData, 1};
constexpr ArgumentSpec kBenchParseOnlySpec{"_bench_parse_only", nullptr, kData, 1};
constexpr ArgumentSpec kDeserializeSafeSpec{"_deserialize_safe", nullptr, kData, 1};
constexpr ArgumentSpec kDeserializeStreamSpec{"deserialize_stream", nullptr, kDataCallback, 2};
constexpr const char* kDataSchema[] = {"data", "schema"};
constexpr ArgumentSpec kDeserializeArrowSpec{"deserialize_arrow", nullptr, kDataSchema, 2, kChildrenKeywords};

/// Binds and converts the single `data` argument of the whole-body functions.
bool bind_data(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, wire::ByteSpan* data) {
    PyObject* slots[1];
    return bind_fastcall(spec, args, nargs, kwnames, slots) && convert_bytes(slots[0], "data", data);
}

// ---------------------------------------------------------------------------------------------------------
// Module functions

PyObject* py_deserialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&]() -> PyObject* {
        wire::ByteSpan data;
        if (!bind_data(kDeserializeSpec, args, nargs, kwnames, &data)) return nullptr;
        wire::DecodeError error;
        PyObject* result = py::deserialize(data, &error);
        return result ? result : to_python_error(error);
    });
}

PyObject* py_deserialize_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&]() -> PyObject* {
        PyObject* slots[2];
        wire::ByteSpan data;
        if (!bind_fastcall(kDeserializeStreamSpec, args, nargs, kwnames, slots) ||
            !convert_bytes(slots[0], "data", &data))
            return nullptr;
        wire::DecodeError error;
        PyObject* result = py::deserialize_stream(data, slots[1], &error);
        return result ? result : to_python_error(error);
    });
}

PyObject* py_deserialize_safe(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&]() -> PyObject* {
        wire::ByteSpan data;
        if (!bind_data(kDeserializeSafeSpec, args, nargs, kwnames, &data)) return nullptr;
        return py::deserialize_safe(data);
    });
}

PyObject* py_deserialize_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&]() -> PyObject* {
        wire::ByteSpan data;
        if (!bind_data(kDeserializeJsonSpec, args, nargs, kwnames, &data)) return nullptr;
        // Sized from the input once: grown block by block, the text would leave the allocator a chain
        // of freed blocks, which glibc hands back to the system and faults in again on the next call.
        tree::TextBuffer text(tree::text_capacity_for(data.size));
        {
            tree::Document document(data.size);
            wire::DecodeError error;
            if (!tree::parse_document(data.data, data.size, &document, &error)) return to_value_error(error);
            if (!tree::write_json(document.root, text)) return PyErr_NoMemory();
        }  // the tree is released before the string is made, so the two are never held at once
        if (text.to_latin1()) return PyUnicode_DecodeLatin1(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* py_bench_parse_only(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&]() -> PyObject* {
        wire::ByteSpan data;
        if (!bind_data(kBenchParseOnlySpec, args, nargs, kwnames, &data)) return nullptr;
        tree::Document document(data.size);
        wire::DecodeError error;
        if (!tree::parse_document(data.data, data.size, &document, &error)) return to_value_error(error);
        return PyLong_FromUnsignedLongLong(tree::node_count(document.root));
    });
}

PyObject* py_deserialize_arrow(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&]() -> PyObject* {
        PyObject* slots[4];
        wire::ByteSpan data;
        arrow::SharedSchema schema;
        arrow::ChildrenMode mode;
        arrow::MetaNames names;
        if (!bind_fastcall(kDeserializeArrowSpec, args, nargs, kwnames, slots) ||
            !convert_bytes(slots[0], "data", &data) || !convert_schema(slots[1], &schema) ||
            !convert_children(slots[2], slots[3], &mode, &names))
            return nullptr;
        arrow::RecordBatch batch;
        wire::DecodeError error;
        bool ok;
        {
            LockRelease unlocked;  // the bytes are immutable and kept alive by the caller
            ok = arrow::decode_body(data, std::move(schema), mode, names, &batch, &error);
        }
        if (!ok) return to_value_error(error);
        return py::export_record_batch(batch);
    });
}

// ---------------------------------------------------------------------------------------------------------
// _survey: a private helper of velkora.schema and the command line, left out of __all__.

constexpr const char* kDataSample[] = {"data", "sample"};
constexpr ArgumentSpec kSurveySpec{"_survey", nullptr, kDataSample, 1};

PyObject* py_survey(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&]() -> PyObject* {
        PyObject* slots[2];
        wire::ByteSpan data;
        std::optional<uint64_t> sample;
        if (!bind_fastcall(kSurveySpec, args, nargs, kwnames, slots) || !convert_bytes(slots[0], "data", &data))
            return nullptr;
        if (slots[1] && slots[1] != Py_None) {
            uint64_t n;
            if (!convert_u64(slots[1], "sample", &n)) return nullptr;
            sample = n;
        }
        arrow::FieldSurvey survey;
        wire::DecodeError error;
        bool ok;
        {
            LockRelease unlocked;  // the bytes are immutable and kept alive by the caller
            ok = arrow::survey_fields(data, sample, &survey, &error);
        }
        if (!ok) return to_value_error(error);
        return py::survey_to_python(survey);
    });
}

// ---------------------------------------------------------------------------------------------------------
// _deserialize_solr_json: the JSON writer's shapes, private to velkora.loads_solr_json and velkora.pysolr.

constexpr const char* kDataJsonNl[] = {"data", "json_nl"};
constexpr ArgumentSpec kDeserializeSolrJsonSpec{"_deserialize_solr_json", nullptr, kDataJsonNl, 1};

/// The `json_nl` argument: one of Solr's json.nl values, else ValueError.
bool convert_json_nl(PyObject* argument, py::NamedListStyle* out) {
    using py::NamedListStyle;
    std::string text = "flat";
    if (argument && !convert_text(argument, "json_nl", &text)) return false;
    static constexpr std::pair<const char*, NamedListStyle> kStyles[] = {
        {"flat", NamedListStyle::Flat},     {"map", NamedListStyle::Map},       {"arrarr", NamedListStyle::ArrArr},
        {"arrmap", NamedListStyle::ArrMap}, {"arrntv", NamedListStyle::ArrNtv},
    };
    for (const auto& [name, style] : kStyles) {
        if (text == name) {
            *out = style;
            return true;
        }
    }
    std::string message = "json_nl must be \"flat\", \"map\", \"arrarr\", \"arrmap\" or \"arrntv\", not " +
                          arrow::quote_literal(text);
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
}

PyObject* py_deserialize_solr_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&]() -> PyObject* {
        PyObject* slots[2];
        wire::ByteSpan data;
        py::NamedListStyle style;
        if (!bind_fastcall(kDeserializeSolrJsonSpec, args, nargs, kwnames, slots) ||
            !convert_bytes(slots[0], "data", &data) || !convert_json_nl(slots[1], &style))
            return nullptr;
        wire::DecodeError error;
        PyObject* result = py::deserialize_solr_json(data, style, &error);
        return result ? result : to_python_error(error);
    });
}

// ---------------------------------------------------------------------------------------------------------
// Docstrings: the signature line, "--", then the body, so the interpreter exposes __text_signature__.

constexpr const char kDeserializeDoc[] =
    "deserialize(data)\n--\n\n"
    "Decode a javabin response body into Python objects.\n\n"
    "Named lists and documents become dicts in wire order, each field name is one str per call\n"
    "(and, for names of up to 128 bytes, usually the str an earlier call made),\n"
    "dates come back as integer milliseconds since the epoch, a SolrDocumentList becomes a dict with\n"
    "\"numFound\", \"start\", \"maxScore\", \"numFoundExact\" and \"docs\".\n\n"
    "Parameters\n----------\n"
    "data : bytes\n    The whole response body (``bytes`` or a subclass; read in place, not copied).\n\n"
    "Returns\n-------\n"
    "object\n    The decoded top-level value.\n\n"
    "Raises\n------\n"
    "TypeError\n    If ``data`` is not ``bytes``.\n"
    "ValueError\n    If the body is not valid javabin; the message names the byte offset.\n";

constexpr const char kDeserializeStreamDoc[] =
    "deserialize_stream(data, callback)\n--\n\n"
    "Decode a javabin response, handing each result document to ``callback`` as it is decoded.\n\n"
    "Understands the envelopes of Solr's /select, /export and /stream handlers: the documents under\n"
    "\"response\" or \"result-set\" are passed to ``callback`` one at a time and released when it\n"
    "returns, so about one document is alive at a time. A body without such an envelope is\n"
    "decoded whole and ``callback`` is never called.\n\n"
    "Parameters\n----------\n"
    "data : bytes\n    The whole response body (``bytes`` or a subclass).\n"
    "callback : callable\n    Called with one positional argument per document; its result is ignored.\n\n"
    "Returns\n-------\n"
    "object\n    The response envelope, shaped as by ``deserialize``, with \"docs\" an empty list.\n\n"
    "Raises\n------\n"
    "TypeError\n    If ``data`` is not ``bytes``.\n"
    "ValueError\n    If the body is not valid javabin (documents before the fault stay delivered).\n"
    "Exception\n    Whatever ``callback`` raises, unchanged; decoding stops there.\n";

constexpr const char kDeserializeSafeDoc[] =
    "_deserialize_safe(data)\n--\n\n"
    "Decode a javabin response body by the reference path (for comparison with ``deserialize``).\n\n"
    "Builds the same objects as ``deserialize`` through checked object wrappers; slower.\n\n"
    "Parameters\n----------\n"
    "data : bytes\n    The whole response body.\n\n"
    "Returns\n-------\n"
    "object\n    The decoded top-level value, equal to what ``deserialize`` returns.\n\n"
    "Raises\n------\n"
    "TypeError\n    If ``data`` is not ``bytes``.\n"
    "ValueError\n    If the body is not valid javabin.\n";

constexpr const char kDeserializeJsonDoc[] =
    "deserialize_json(data)\n--\n\n"
    "Decode a javabin response body straight into compact JSON text.\n\n"
    "Object keys are sorted by their UTF-8 bytes (the last duplicate wins), bytes become Base64\n"
    "strings, dates integer milliseconds, NaN and infinities the strings \"NaN\", \"Infinity\" and\n"
    "\"-Infinity\", and floats use the shortest digits that read back exactly.\n\n"
    "Parameters\n----------\n"
    "data : bytes\n    The whole response body.\n\n"
    "Returns\n-------\n"
    "str\n    The JSON text.\n\n"
    "Raises\n------\n"
    "TypeError\n    If ``data`` is not ``bytes``.\n"
    "ValueError\n    If the body is not valid javabin.\n";

constexpr const char kBenchParseOnlyDoc[] =
    "_bench_parse_only(data)\n--\n\n"
    "Parse a javabin body without building Python objects and return its node count.\n\n"
    "Measures the byte parser alone: the same decoding work as ``deserialize_json`` up to the\n"
    "finished value tree.\n\n"
    "Parameters\n----------\n"
    "data : bytes\n    The whole response body.\n\n"
    "Returns\n-------\n"
    "int\n    The number of nodes in the decoded tree.\n\n"
    "Raises\n------\n"
    "TypeError\n    If ``data`` is not ``bytes``.\n"
    "ValueError\n    If the body is not valid javabin.\n";

constexpr const char kDeserializeArrowDoc[] =
    "deserialize_arrow(data, schema, *, children=\"skip\", child_columns=None)\n--\n\n"
    "Decode the result documents of a javabin response into one Arrow record batch.\n\n"
    "The documents of a /select (\"response\" document list), /export or /stream (\"result-set\")\n"
    "response become rows of typed columns, one per schema field, without any Python object per value\n"
    "and with the interpreter lock released. Fields outside the schema are skipped; a field missing\n"
    "from a document is null; a multi-valued field keeps its first value in a scalar column and all of\n"
    "them in a list column.\n\n"
    "Supported column types: int32, int64, float32, float64, bool, utf8, binary, timestamp(\"ms\"),\n"
    "and lists (32-bit offsets) of all of these but binary. Integers fill integer columns (a long\n"
    "only where it fits int32), floats fill float columns, dates and longs fill timestamp columns.\n\n"
    "Parameters\n----------\n"
    "data : bytes\n    The whole response body (``bytes`` or a subclass; read in place, not copied).\n"
    "schema : pyarrow.Schema\n    The target schema, or any object offering ``__arrow_c_schema__``.\n"
    "children : {\"skip\", \"explode\"}, default \"skip\"\n"
    "    ``\"skip\"``: one row per top-level document; anonymous child documents are an error.\n"
    "    ``\"explode\"``: every document of a tree is a row, in pre-order, described by the columns\n"
    "    \"_parent_id\" (the parent's \"id\"), \"_depth\" and \"_child_field\" where the schema has them.\n"
    "child_columns : dict of str to str, optional\n"
    "    Other names for those columns, by role: \"parent_id\", \"depth\", \"child_field\" and \"key\"\n"
    "    (the column whose value children copy as their parent id).\n\n"
    "Returns\n-------\n"
    "pyarrow.RecordBatch\n    One row per document (per tree node with ``children=\"explode\"``), with\n"
    "    exactly the given schema, metadata included; its buffers are handed over without a copy.\n\n"
    "Raises\n------\n"
    "TypeError\n    If an argument has the wrong type, or ``schema`` is not a schema.\n"
    "ImportError\n    If pyarrow is not installed.\n"
    "ValueError\n    If the body is not valid javabin, a value does not fit its column, the schema has\n"
    "    an unsupported type, or the batch does not satisfy the schema (for example a null in a\n"
    "    non-nullable field).\n\n"
    "Example\n-------\n"
    ">>> import pyarrow as pa, velkora\n"
    ">>> schema = pa.schema([(\"id\", pa.utf8()), (\"price\", pa.float64())])\n"
    ">>> batch = velkora.deserialize_arrow(body, schema)  # doctest: +SKIP\n"
    ">>> polars.from_arrow(batch)  # doctest: +SKIP\n";

constexpr const char kSurveyDoc[] =
    "_survey(data, sample=None)\n--\n\n"
    "Walk the documents of a javabin response without building values, and count each field's values by\n"
    "wire kind (the items of lists apart). Surveys the first `sample` top-level documents, or all of them\n"
    "and then the rest of the body when `sample` is None. Returns a dict describing the envelope, the\n"
    "counts and the fields. Private: the helper behind velkora.schema.infer and `velkora inspect`.\n";

constexpr const char kDeserializeSolrJsonDoc[] =
    "_deserialize_solr_json(data, json_nl='flat')\n--\n\n"
    "Decode a javabin response body into what json.loads gives for the text Solr's JSON response writer\n"
    "writes for the same answer: dates as ISO-8601 instant text, floats read back from Java's\n"
    "Float.toString, NaN and infinities as strings, bytes as Base64, enums as their string, maps with text\n"
    "keys, NamedLists as `json_nl` (\"flat\", \"map\", \"arrarr\", \"arrmap\" or \"arrntv\") says, and\n"
    "document lists without a null maxScore or numFoundExact. Fails exactly as ``deserialize`` does.\n"
    "Private: the decoder behind velkora.loads_solr_json and velkora.pysolr.\n";

PyMethodDef kExported[] = {
    {"deserialize", VELKORA_FASTCALL(py_deserialize), METH_FASTCALL | METH_KEYWORDS, kDeserializeDoc},
    {"deserialize_stream", VELKORA_FASTCALL(py_deserialize_stream), METH_FASTCALL | METH_KEYWORDS,
     kDeserializeStreamDoc},
    {"_deserialize_safe", VELKORA_FASTCALL(py_deserialize_safe), METH_FASTCALL | METH_KEYWORDS, kDeserializeSafeDoc},
    {"deserialize_json", VELKORA_FASTCALL(py_deserialize_json), METH_FASTCALL | METH_KEYWORDS, kDeserializeJsonDoc},
    {"_bench_parse_only", VELKORA_FASTCALL(py_bench_parse_only), METH_FASTCALL | METH_KEYWORDS, kBenchParseOnlyDoc},
    {"deserialize_arrow", VELKORA_FASTCALL(py_deserialize_arrow), METH_FASTCALL | METH_KEYWORDS, kDeserializeArrowDoc},
};

PyMethodDef kUnexported[] = {
    {"_survey", VELKORA_FASTCALL(py_survey), METH_FASTCALL | METH_KEYWORDS, kSurveyDoc},
    {"_deserialize_solr_json", VELKORA_FASTCALL(py_deserialize_solr_json), METH_FASTCALL | METH_KEYWORDS,
     kDeserializeSolrJsonDoc},
};

}  // namespace

bool convert_schema(PyObject* argument, arrow::SharedSchema* out) {
    if (py::import_schema(argument, out)) return true;
    add_processing_note("schema");
    return false;
}

bool convert_children(PyObject* children, PyObject* child_columns, arrow::ChildrenMode* mode, arrow::MetaNames* names) {
    std::string text = "skip";
    std::vector<std::pair<std::string, std::string>> roles;
    if (children && !convert_text(children, "children", &text)) return false;
    if (child_columns && !convert_text_map(child_columns, "child_columns", &roles)) return false;
    std::string message = arrow::parse_children_arguments(text, roles, mode, names);
    if (message.empty()) return true;
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
}

std::span<PyMethodDef> exported_functions() { return kExported; }
std::span<PyMethodDef> unexported_functions() { return kUnexported; }

}  // namespace velkora::module
