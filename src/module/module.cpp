// src/module/module.cpp: the module surface: the entry table, each entry's binding and conversion, and start-up.
//
// Every entry runs inside call_guard, binds its arguments by its ArgumentSpec, converts them, calls one
// decoder and turns a DecodeError into its Python exception. Nothing else in the module meets Python's
// calling conventions.
#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>

#include "arrow/batch_assembly.hpp"
#include "arrow/column_plan.hpp"
#include "arrow/stream_decoder.hpp"
#include "arrow/types.hpp"
#include "module/arguments.hpp"
#include "module/decoder_types.hpp"
#include "python/errors.hpp"
#include "tree/json.hpp"
#include "python/arrow_interchange.hpp"
#include "python/py_decoder.hpp"
#include "python/pyref.hpp"
#include "python/safe_decoder.hpp"
#include "python/stream_decoder.hpp"
#include "python/survey_objects.hpp"
#include "tree/value.hpp"

namespace velkora {
namespace {

constexpr const char* kData[] = {"data"};
constexpr const char* kDataCallback[] = {"data", "callback"};
constexpr const char* kChunkCallback[] = {"chunk", "callback"};

constexpr ArgumentSpec kDeserializeSpec{"deserialize", nullptr, kData, 1};
constexpr ArgumentSpec kDeserializeJsonSpec{"deserialize_json", nullptr, kData, 1};
constexpr ArgumentSpec kBenchParseOnlySpec{"_bench_parse_only", nullptr, kData, 1};
constexpr ArgumentSpec kDeserializeSafeSpec{"_deserialize_safe", nullptr, kData, 1};
constexpr ArgumentSpec kDeserializeStreamSpec{"deserialize_stream", nullptr, kDataCallback, 2};
constexpr const char* kDataSchema[] = {"data", "schema"};
constexpr KeywordOnly kChildrenKeywords[] = {{"children", false}, {"child_columns", false}};
constexpr ArgumentSpec kDeserializeArrowSpec{"deserialize_arrow", nullptr, kDataSchema, 2, kChildrenKeywords};
constexpr const char* kSchemaBatchSize[] = {"schema", "batch_size"};
constexpr const char* kChunk[] = {"chunk"};
constexpr ArgumentSpec kArrowStreamDecoderNewSpec{"__new__", "ArrowStreamDecoder", kSchemaBatchSize, 1,
                                                  kChildrenKeywords};
constexpr ArgumentSpec kArrowStreamDecoderFeedSpec{"feed", "ArrowStreamDecoder", kChunk, 1};
constexpr ArgumentSpec kStreamDecoderNewSpec{"__new__", "StreamDecoder", {}, 0};
constexpr ArgumentSpec kStreamDecoderFeedSpec{"feed", "StreamDecoder", kChunkCallback, 2};

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
        PyObject* result = pydecode::deserialize(data, &error);
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
        PyObject* result = pydecode::deserialize_stream(data, slots[1], &error);
        return result ? result : to_python_error(error);
    });
}

PyObject* py_deserialize_safe(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&]() -> PyObject* {
        wire::ByteSpan data;
        if (!bind_data(kDeserializeSafeSpec, args, nargs, kwnames, &data)) return nullptr;
        return safe::deserialize_safe(data);
    });
}

PyObject* py_deserialize_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&]() -> PyObject* {
        wire::ByteSpan data;
        if (!bind_data(kDeserializeJsonSpec, args, nargs, kwnames, &data)) return nullptr;
        // Sized from the input once: grown block by block, the text would leave the allocator a chain
        // of freed blocks, which glibc hands back to the system and faults in again on the next call.
        json::TextBuffer text(json::text_capacity_for(data.size));
        {
            tree::Document document(data.size);
            wire::DecodeError error;
            if (!tree::parse_document(data.data, data.size, &document, &error)) return to_value_error(error);
            json::write_json(document.root, text);
        }  // the tree is released before the string is made, so the two are never held at once
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

/// The schema argument through the pyarrow interchange; its failures carry the note for `schema`.
bool convert_schema(PyObject* argument, arrow::SharedSchema* out) {
    if (pyarrow::import_schema(argument, out)) return true;
    add_processing_note("schema");
    return false;
}

/// The `children` and `child_columns` arguments (either may be left out: nullptr), converted and then
/// checked; a bad mode or role is ValueError.
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
        return pyarrow::export_record_batch(batch);
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
        return pysurvey::survey_to_python(survey);
    });
}

// ---------------------------------------------------------------------------------------------------------
// _deserialize_solr_json: the JSON writer's shapes, private to velkora.loads_solr_json and velkora.pysolr.

constexpr const char* kDataJsonNl[] = {"data", "json_nl"};
constexpr ArgumentSpec kDeserializeSolrJsonSpec{"_deserialize_solr_json", nullptr, kDataJsonNl, 1};

/// The `json_nl` argument: one of Solr's json.nl values, else ValueError.
bool convert_json_nl(PyObject* argument, pydecode::NamedListStyle* out) {
    using pydecode::NamedListStyle;
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
        pydecode::NamedListStyle style;
        if (!bind_fastcall(kDeserializeSolrJsonSpec, args, nargs, kwnames, slots) ||
            !convert_bytes(slots[0], "data", &data) || !convert_json_nl(slots[1], &style))
            return nullptr;
        wire::DecodeError error;
        PyObject* result = pydecode::deserialize_solr_json(data, style, &error);
        return result ? result : to_python_error(error);
    });
}

// ---------------------------------------------------------------------------------------------------------
// StreamDecoder

constexpr const char* kStreamDecoderLabel = "_core::StreamDecoder";

/// Counts the bytes a chunk-fed decoder has been given, so an error's offset can also be told from the
/// first byte ever fed.
struct FedBytes {
    uint64_t total = 0;

    /// Errors of a feed count from the start of the part that failed (the envelope at the stream's
    /// start, or the document at the cursor), which is where the unconsumed bytes begin.
    StreamBase at_failed_part(uint64_t unconsumed) const { return {total - unconsumed}; }
    /// finish reports the end of what it holds (`held` bytes), which is the end of all bytes fed.
    StreamBase at_end(uint64_t held) const { return {total - held}; }
};

struct StreamObject {
    stream::StreamDecoder native;
    FedBytes fed;
};
using StreamCell = objects::InstanceCell<StreamObject>;

PyObject* stream_decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_guard([&]() -> PyObject* {
        PyObject* slots[1];
        if (!bind_tuple(kStreamDecoderNewSpec, args, kwargs, slots)) return nullptr;
        return objects::allocate(type, std::make_unique<StreamObject>());
    });
}

void stream_decoder_dealloc(PyObject* self) {
    call_guard([&]() -> PyObject* {
        objects::deallocate<StreamObject>(self, kStreamDecoderLabel);
        return nullptr;
    });
}

PyObject* stream_decoder_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&]() -> PyObject* {
        PyObject* slots[2];
        if (!bind_fastcall(kStreamDecoderFeedSpec, args, nargs, kwnames, slots)) return nullptr;
        return objects::access_exclusive<StreamObject>(
            self, kStreamDecoderLabel, [&](StreamObject& object) -> PyObject* {
                wire::ByteSpan chunk;
                if (!convert_bytes(slots[0], "chunk", &chunk)) return nullptr;
                object.fed.total += chunk.size;
                wire::DecodeError error;
                if (!object.native.feed(chunk, slots[1], &error)) {
                    StreamBase base = object.fed.at_failed_part(object.native.unconsumed());
                    return to_python_error(error, &base);
                }
                Py_RETURN_NONE;
            });
    });
}

PyObject* stream_decoder_finish(PyObject* self, PyObject*) {
    return call_guard([&]() -> PyObject* {
        return objects::access_exclusive<StreamObject>(
            self, kStreamDecoderLabel, [&](StreamObject& object) -> PyObject* {
                wire::DecodeError error;
                if (!object.native.finish(&error)) {
                    StreamBase base = object.fed.at_end(error.offset);
                    return to_python_error(error, &base);
                }
                Py_RETURN_NONE;
            });
    });
}

PyObject* stream_decoder_count(PyObject* self, void*) {
    return call_guard([&]() -> PyObject* {
        return objects::access_shared<StreamObject>(
            self, kStreamDecoderLabel,
            [](const StreamObject& object) { return PyLong_FromUnsignedLongLong(object.native.count()); });
    });
}

PyObject* stream_decoder_walked(PyObject* self, void*) {
    return call_guard([&]() -> PyObject* {
        return objects::access_shared<StreamObject>(
            self, kStreamDecoderLabel,
            [](const StreamObject& object) { return PyLong_FromUnsignedLongLong(object.native.walked()); });
    });
}

// ---------------------------------------------------------------------------------------------------------
// ArrowStreamDecoder

constexpr const char* kArrowStreamDecoderLabel = "_core::ArrowStreamDecoder";
constexpr uint64_t kDefaultBatchSize = 65536;

/// The object's state: the native decoder, and batches already turned into pyarrow objects whose return
/// was cut short by a failed export of a later batch (they go out first with the next result).
struct ArrowStreamObject {
    std::unique_ptr<arrow::ArrowStreamState> native;
    std::vector<PyRef> exported;
    FedBytes fed;
    /// Where the kept failure's offsets count from, fixed when it happened: the same error each time.
    std::optional<StreamBase> failure_base;

    /// Raises a failed feed or finish; `base` is where its offsets count from if it is new.
    PyObject* raise(const wire::DecodeError& error, StreamBase base) {
        if (native->has_failed()) {
            if (!failure_base) failure_base = base;
            base = *failure_base;
        }
        return to_value_error(error, &base);
    }
};
using ArrowStreamCell = objects::InstanceCell<ArrowStreamObject>;

/// Hands every completed batch over as a new list of pyarrow.RecordBatch, oldest first. When an export
/// fails, nothing is lost: the batches exported so far wait in the object, the rest go back to the queue
/// (the one that failed included: pyarrow only ever held a reference to it).
PyObject* hand_over_batches(ArrowStreamObject& object) {
    std::vector<arrow::RecordBatch> batches = object.native->take_batches();
    for (size_t i = 0; i < batches.size(); ++i) {
        PyRef exported;
        try {
            exported = PyRef::steal(pyarrow::export_record_batch(batches[i]));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
        if (!exported) {
            object.native->restore_batches(std::move(batches), i);
            return nullptr;
        }
        object.exported.push_back(std::move(exported));
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(object.exported.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < object.exported.size(); ++i)
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), object.exported[i].release());
    object.exported.clear();
    return list.release();
}

PyObject* arrow_stream_decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_guard([&]() -> PyObject* {
        PyObject* slots[4];
        arrow::SharedSchema schema;
        uint64_t batch_size = kDefaultBatchSize;
        arrow::ChildrenMode mode;
        arrow::MetaNames names;
        if (!bind_tuple(kArrowStreamDecoderNewSpec, args, kwargs, slots) || !convert_schema(slots[0], &schema) ||
            (slots[1] && !convert_u64(slots[1], "batch_size", &batch_size)) ||
            !convert_children(slots[2], slots[3], &mode, &names))
            return nullptr;
        auto object = std::make_unique<ArrowStreamObject>();
        wire::DecodeError error;
        if (!arrow::ArrowStreamState::build(std::move(schema), batch_size, mode, names, &object->native, &error))
            return to_value_error(error);
        return objects::allocate(type, std::move(object));
    });
}

void arrow_stream_decoder_dealloc(PyObject* self) {
    call_guard([&]() -> PyObject* {
        objects::deallocate<ArrowStreamObject>(self, kArrowStreamDecoderLabel);
        return nullptr;
    });
}

PyObject* arrow_stream_decoder_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&]() -> PyObject* {
        PyObject* slots[1];
        if (!bind_fastcall(kArrowStreamDecoderFeedSpec, args, nargs, kwnames, slots)) return nullptr;
        return objects::access_exclusive<ArrowStreamObject>(
            self, kArrowStreamDecoderLabel, [&](ArrowStreamObject& object) -> PyObject* {
                wire::ByteSpan chunk;
                if (!convert_bytes(slots[0], "chunk", &chunk)) return nullptr;
                object.fed.total += chunk.size;
                wire::DecodeError error;
                bool ok;
                {
                    LockRelease unlocked;  // the chunk is immutable and kept alive by the caller
                    ok = object.native->feed(chunk, &error);
                }
                if (!ok) return object.raise(error, object.fed.at_failed_part(object.native->unconsumed()));
                return hand_over_batches(object);
            });
    });
}

PyObject* arrow_stream_decoder_finish(PyObject* self, PyObject*) {
    return call_guard([&]() -> PyObject* {
        return objects::access_exclusive<ArrowStreamObject>(
            self, kArrowStreamDecoderLabel, [&](ArrowStreamObject& object) -> PyObject* {
                wire::DecodeError error;
                bool ok;
                {
                    LockRelease unlocked;
                    ok = object.native->finish(&error);
                }
                if (!ok) return object.raise(error, object.fed.at_end(error.offset));
                return hand_over_batches(object);
            });
    });
}

PyObject* arrow_stream_decoder_schema(PyObject* self, PyObject*) {
    return call_guard([&]() -> PyObject* {
        return objects::access_shared<ArrowStreamObject>(
            self, kArrowStreamDecoderLabel,
            [](const ArrowStreamObject& object) { return pyarrow::export_schema(object.native->schema()); });
    });
}

PyObject* arrow_stream_decoder_walked(PyObject* self, void*) {
    return call_guard([&]() -> PyObject* {
        return objects::access_shared<ArrowStreamObject>(
            self, kArrowStreamDecoderLabel,
            [](const ArrowStreamObject& object) { return PyLong_FromUnsignedLongLong(object.native->walked()); });
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

constexpr const char kStreamDecoderDoc[] =
    "StreamDecoder()\n--\n\n"
    "Decode a javabin response fed in chunks, one callback per complete document.\n\n"
    "Pass each chunk of the body to ``feed`` as it arrives; every document completed by the bytes\n"
    "received so far is decoded, handed to the callback and dropped from the buffer, which stays\n"
    "about one document long whatever the size of the response. Call ``finish`` when the body has\n"
    "ended. A decoder belongs to the thread that created it.\n\n"
    "Example\n-------\n"
    ">>> import velkora\n"
    ">>> dec = velkora.StreamDecoder()\n"
    ">>> docs = []\n"
    ">>> for chunk in response.iter_content(65536):  # doctest: +SKIP\n"
    "...     dec.feed(chunk, docs.append)\n"
    ">>> dec.finish()  # doctest: +SKIP\n"
    ">>> dec.count  # doctest: +SKIP\n"
    "1000\n";

constexpr const char kFeedDoc[] =
    "feed($self, chunk, callback)\n--\n\n"
    "Append a chunk of the body and deliver every document it completes.\n\n"
    "Parameters\n----------\n"
    "chunk : bytes\n    The next bytes of the response (``bytes`` or a subclass; may be empty).\n"
    "callback : callable\n    Called with one positional argument per completed document.\n\n"
    "Returns\n-------\n"
    "None\n\n"
    "Raises\n------\n"
    "TypeError\n    If ``chunk`` is not ``bytes``.\n"
    "ValueError\n    If the bytes are not valid javabin.\n"
    "RuntimeError\n    \"Already borrowed\" when called from inside its own callback.\n"
    "Exception\n    Whatever ``callback`` raises, unchanged; that document is delivered again by the\n"
    "    next ``feed``.\n";

constexpr const char kFinishDoc[] =
    "finish($self)\n--\n\n"
    "Check that the response ended after its documents sequence.\n\n"
    "Returns\n-------\n"
    "None\n\n"
    "Raises\n------\n"
    "ValueError\n    \"unexpected end of input\" at the buffered length when the stream stopped inside\n"
    "    the envelope, inside a document or before the end of the documents sequence.\n";

constexpr const char kArrowStreamDecoderDoc[] =
    "ArrowStreamDecoder(schema, batch_size=65536, *, children=\"skip\", child_columns=None)\n--\n\n"
    "Decode a javabin response fed in chunks into Arrow record batches of ``batch_size`` rows.\n\n"
    "Pass each chunk of the body to ``feed`` as it arrives: every document the bytes complete is\n"
    "decoded into typed columns, and each batch is returned as soon as it is full. ``finish`` returns the\n"
    "last, partial batch. About one document of bytes and one batch of columns are held at a time,\n"
    "whatever the size of the response; decoding runs with the interpreter lock released. The rows are\n"
    "exactly those ``deserialize_arrow`` gives for the whole body. A decoder belongs to the thread that\n"
    "created it.\n\n"
    "Parameters\n----------\n"
    "schema : pyarrow.Schema\n    The target schema, or any object offering ``__arrow_c_schema__``.\n"
    "batch_size : int, default 65536\n    Rows per batch (0 means 1). With ``children=\"explode\"`` a\n"
    "    document's rows never split, so a batch may hold a few more.\n"
    "children : {\"skip\", \"explode\"}, default \"skip\"\n    As for ``deserialize_arrow``.\n"
    "child_columns : dict of str to str, optional\n    As for ``deserialize_arrow``.\n\n"
    "Raises\n------\n"
    "TypeError\n    If an argument has the wrong type.\n"
    "OverflowError\n    If ``batch_size`` is negative or 2**64 or more.\n"
    "ValueError\n    If the schema has an unsupported type or misdeclared metadata columns.\n\n"
    "Example\n-------\n"
    ">>> import polars, velkora\n"
    ">>> dec = velkora.ArrowStreamDecoder(schema, batch_size=8192)\n"
    ">>> frames = []\n"
    ">>> for chunk in response.iter_content(65536):  # doctest: +SKIP\n"
    "...     frames += [polars.from_arrow(b) for b in dec.feed(chunk)]\n"
    ">>> frames += [polars.from_arrow(b) for b in dec.finish()]  # doctest: +SKIP\n";

constexpr const char kArrowFeedDoc[] =
    "feed($self, chunk)\n--\n\n"
    "Append a chunk of the body and return the batches it completes.\n\n"
    "Parameters\n----------\n"
    "chunk : bytes\n    The next bytes of the response (``bytes`` or a subclass; may be empty).\n\n"
    "Returns\n-------\n"
    "list of pyarrow.RecordBatch\n    The batches completed by this chunk, oldest first (often none).\n\n"
    "Raises\n------\n"
    "TypeError\n    If ``chunk`` is not ``bytes``.\n"
    "ValueError\n    If the bytes are not valid javabin, a value does not fit its column, or a batch\n"
    "    does not satisfy the schema; offsets in documents count from the document's first byte.\n";

constexpr const char kArrowFinishDoc[] =
    "finish($self)\n--\n\n"
    "End the response and return the last, partial batch.\n\n"
    "Returns\n-------\n"
    "list of pyarrow.RecordBatch\n    The batches not yet returned (empty when there are none).\n\n"
    "Raises\n------\n"
    "ValueError\n    \"unexpected end of input\" at the buffered length when the response stopped before\n"
    "    its documents ended (in the envelope, before any byte, or inside the documents): a cut\n"
    "    download never passes for a complete table.\n";

constexpr const char kArrowSchemaDoc[] = "schema($self)\n--\n\nThe Arrow schema this decoder produces.";

// ---------------------------------------------------------------------------------------------------------
// The entry table, in registration order.

#define VELKORA_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef kFunctions[] = {
    {"deserialize", VELKORA_FASTCALL(py_deserialize), METH_FASTCALL | METH_KEYWORDS, kDeserializeDoc},
    {"deserialize_stream", VELKORA_FASTCALL(py_deserialize_stream), METH_FASTCALL | METH_KEYWORDS,
     kDeserializeStreamDoc},
    {"_deserialize_safe", VELKORA_FASTCALL(py_deserialize_safe), METH_FASTCALL | METH_KEYWORDS, kDeserializeSafeDoc},
    {"deserialize_json", VELKORA_FASTCALL(py_deserialize_json), METH_FASTCALL | METH_KEYWORDS, kDeserializeJsonDoc},
    {"_bench_parse_only", VELKORA_FASTCALL(py_bench_parse_only), METH_FASTCALL | METH_KEYWORDS, kBenchParseOnlyDoc},
    {"deserialize_arrow", VELKORA_FASTCALL(py_deserialize_arrow), METH_FASTCALL | METH_KEYWORDS, kDeserializeArrowDoc},
};

constexpr const char kSurveyDoc[] =
    "_survey(data, sample=None)\n--\n\n"
    "Walk the documents of a javabin response without building values, and count each field's values by\n"
    "wire kind (the items of lists apart). Surveys the first `sample` top-level documents, or all of them\n"
    "and then the rest of the body when `sample` is None. Returns a dict describing the envelope, the\n"
    "counts and the fields. Private: the helper behind velkora.schema.infer and `velkora inspect`.\n";

PyMethodDef kSurveyDef = {"_survey", VELKORA_FASTCALL(py_survey), METH_FASTCALL | METH_KEYWORDS, kSurveyDoc};

constexpr const char kWalkedDoc[] =
    "Private: bytes gone over so far by every walk and decode attempt, for the tests that prove chunked\n"
    "feeding linear by counting work.";

constexpr const char kDeserializeSolrJsonDoc[] =
    "_deserialize_solr_json(data, json_nl='flat')\n--\n\n"
    "Decode a javabin response body into what json.loads gives for the text Solr's JSON response writer\n"
    "writes for the same answer: dates as ISO-8601 instant text, floats read back from Java's\n"
    "Float.toString, NaN and infinities as strings, bytes as Base64, enums as their string, maps with text\n"
    "keys, NamedLists as `json_nl` (\"flat\", \"map\", \"arrarr\", \"arrmap\" or \"arrntv\") says, and\n"
    "document lists without a null maxScore or numFoundExact. Fails exactly as ``deserialize`` does.\n"
    "Private: the decoder behind velkora.loads_solr_json and velkora.pysolr.\n";

PyMethodDef kDeserializeSolrJsonDef = {"_deserialize_solr_json", VELKORA_FASTCALL(py_deserialize_solr_json),
                                       METH_FASTCALL | METH_KEYWORDS, kDeserializeSolrJsonDoc};

PyMethodDef kStreamDecoderMethods[] = {
    {"feed", VELKORA_FASTCALL(stream_decoder_feed), METH_FASTCALL | METH_KEYWORDS, kFeedDoc},
    {"finish", VELKORA_FASTCALL(stream_decoder_finish), METH_NOARGS, kFinishDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kStreamDecoderGetSet[] = {
    {"count", stream_decoder_count, nullptr, "Total number of documents streamed so far.", nullptr},
    {"_walked", stream_decoder_walked, nullptr, kWalkedDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kArrowStreamDecoderMethods[] = {
    {"feed", VELKORA_FASTCALL(arrow_stream_decoder_feed), METH_FASTCALL | METH_KEYWORDS, kArrowFeedDoc},
    {"finish", VELKORA_FASTCALL(arrow_stream_decoder_finish), METH_NOARGS, kArrowFinishDoc},
    {"schema", VELKORA_FASTCALL(arrow_stream_decoder_schema), METH_NOARGS, kArrowSchemaDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kArrowStreamDecoderGetSet[] = {
    {"_walked", arrow_stream_decoder_walked, nullptr, kWalkedDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

struct ClassEntry {
    const char* name;
    objects::ClassSpec spec;
    PyObject* type;  // created on first request, kept for the life of the process
};

ClassEntry kClasses[] = {
    {"StreamDecoder",
     {"builtins.StreamDecoder", kStreamDecoderDoc, static_cast<int>(sizeof(StreamCell)), stream_decoder_new,
      stream_decoder_dealloc, kStreamDecoderMethods, kStreamDecoderGetSet},
     nullptr},
    {"ArrowStreamDecoder",
     {"builtins.ArrowStreamDecoder", kArrowStreamDecoderDoc, static_cast<int>(sizeof(ArrowStreamCell)),
      arrow_stream_decoder_new, arrow_stream_decoder_dealloc, kArrowStreamDecoderMethods, kArrowStreamDecoderGetSet},
     nullptr},
};

// ---------------------------------------------------------------------------------------------------------
// Start-up

/// Appends `name` to the module's __all__ (creating it if needed), then sets the attribute.
bool add_export(PyObject* module, PyObject* name, PyObject* value) {
    static PyObject* all_name = PyUnicode_InternFromString("__all__");
    if (!all_name) return false;
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name, all.get()) != 0) return false;
    }
    return PyList_Append(all.get(), name) == 0 && PyObject_SetAttr(module, name, value) == 0;
}

bool register_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
    PyRef function = PyRef::steal(PyCMethod_New(def, module, module_name, nullptr));
    if (!function) return false;
    PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    return name && add_export(module, name.get(), function.get());
}

bool register_class(PyObject* module, ClassEntry& entry) {
    if (!entry.type) {
        entry.type = objects::create_type(entry.spec);
        if (!entry.type) return false;
    }
    PyRef name = PyRef::steal(PyUnicode_FromString(entry.name));
    return name && add_export(module, name.get(), entry.type);
}

/// Names the package uses that stay out of __all__: the DecodeError class (the package exports it itself)
/// and private helpers.
bool add_private_names(PyObject* module) {
    PyObject* decode_error = decode_error_type();
    if (!decode_error || PyObject_SetAttrString(module, "DecodeError", decode_error) != 0) return false;
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    PyRef survey = PyRef::steal(PyCMethod_New(&kSurveyDef, module, module_name.get(), nullptr));
    if (!survey || PyObject_SetAttrString(module, "_survey", survey.get()) != 0) return false;
    PyRef solr_json = PyRef::steal(PyCMethod_New(&kDeserializeSolrJsonDef, module, module_name.get(), nullptr));
    return solr_json && PyObject_SetAttrString(module, "_deserialize_solr_json", solr_json.get()) == 0;
}

int module_exec(PyObject* module) {
    PyObject* result = call_guard([&]() -> PyObject* {
        if (!PyModule_Check(module)) return raise_type_error("expected a module object");
        if (!pydecode::init_names()) return nullptr;
        PyObject* panic = panic_exception_type();
        if (!panic) return nullptr;
        Py_INCREF(panic);
        if (PyModule_AddObject(module, "PanicException", panic) != 0) {
            Py_DECREF(panic);
            return nullptr;
        }
        if (!add_private_names(module)) return nullptr;
        PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
        if (!module_name) return nullptr;
        for (PyMethodDef& def : kFunctions)
            if (!register_function(module, module_name.get(), &def)) return nullptr;
        for (ClassEntry& entry : kClasses)
            if (!register_class(module, entry)) return nullptr;
        Py_RETURN_NONE;
    });
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
}

// The caches are process-wide, so the module cannot be loaded into a second interpreter. From Python
// 3.12 a module without a multiple-interpreters slot counts as supporting them; the slot (id 3, value 0:
// not supported) is added at start-up on 3.12 and newer only, since 3.11 refuses slot ids it does not know.
constexpr int kMultipleInterpretersSlot = 3;
void* const kMultipleInterpretersNotSupported = nullptr;

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "Compiled extension that decodes Apache Solr javabin responses natively.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velkora

PyMODINIT_FUNC PyInit__core() {
    if (Py_Version >= 0x030C0000)
        velkora::kSlots[1] = {velkora::kMultipleInterpretersSlot, velkora::kMultipleInterpretersNotSupported};
    return PyModuleDef_Init(&velkora::kModule);
}
