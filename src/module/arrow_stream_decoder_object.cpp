// src/module/arrow_stream_decoder_object.cpp: the ArrowStreamDecoder class: a chunk-fed Arrow decoder behind
// the thread-affine, borrow-checked object of decoder_types.hpp, handing out pyarrow record batches.
#include <memory>
#include <optional>
#include <vector>

#include "arrow/stream_decoder.hpp"
#include "module/arguments.hpp"
#include "module/decoder_types.hpp"
#include "module/entries.hpp"
#include "python/errors.hpp"
#include "python/arrow_interchange.hpp"
#include "python/pyref.hpp"

namespace velkora::module {

using py::call_guard;
using py::LockRelease;
using py::PyRef;
using py::StreamBase;
using py::to_value_error;

namespace {

constexpr const char* kSchemaBatchSize[] = {"schema", "batch_size"};
constexpr const char* kChunk[] = {"chunk"};
constexpr ArgumentSpec kArrowStreamDecoderNewSpec{"__new__", "ArrowStreamDecoder", kSchemaBatchSize, 1,
                                                  kChildrenKeywords};
constexpr ArgumentSpec kArrowStreamDecoderFeedSpec{"feed", "ArrowStreamDecoder", kChunk, 1};


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
using ArrowStreamCell = InstanceCell<ArrowStreamObject>;

/// Hands every completed batch over as a new list of pyarrow.RecordBatch, oldest first. When an export
/// fails, nothing is lost: the batches exported so far wait in the object, the rest go back to the queue
/// (the one that failed included: pyarrow only ever held a reference to it).
PyObject* hand_over_batches(ArrowStreamObject& object) {
    std::vector<arrow::RecordBatch> batches = object.native->take_batches();
    for (size_t i = 0; i < batches.size(); ++i) {
        PyRef exported;
        try {
            exported = PyRef::steal(py::export_record_batch(batches[i]));
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
        return allocate(type, std::move(object));
    });
}

void arrow_stream_decoder_dealloc(PyObject* self) {
    deallocate<ArrowStreamObject>(self, kArrowStreamDecoderLabel);
}

PyObject* arrow_stream_decoder_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&]() -> PyObject* {
        PyObject* slots[1];
        if (!bind_fastcall(kArrowStreamDecoderFeedSpec, args, nargs, kwnames, slots)) return nullptr;
        return access_feed<ArrowStreamObject>(
            self, kArrowStreamDecoderLabel, slots[0],
            [&](ArrowStreamObject& object, wire::ByteSpan chunk) -> PyObject* {
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
        return access_exclusive<ArrowStreamObject>(
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
        return access_shared<ArrowStreamObject>(
            self, kArrowStreamDecoderLabel,
            [](const ArrowStreamObject& object) { return py::export_schema(object.native->schema()); });
    });
}

PyObject* arrow_stream_decoder_walked(PyObject* self, void*) {
    return call_guard([&]() -> PyObject* {
        return access_shared<ArrowStreamObject>(
            self, kArrowStreamDecoderLabel,
            [](const ArrowStreamObject& object) { return PyLong_FromUnsignedLongLong(object.native->walked()); });
    });
}

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

}  // namespace

ClassSpec arrow_stream_decoder_class() {
    return {"builtins.ArrowStreamDecoder", kArrowStreamDecoderDoc, static_cast<int>(sizeof(ArrowStreamCell)),
            arrow_stream_decoder_new, arrow_stream_decoder_dealloc, kArrowStreamDecoderMethods,
            kArrowStreamDecoderGetSet};
}

}  // namespace velkora::module
