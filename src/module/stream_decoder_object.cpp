// src/module/stream_decoder_object.cpp: the StreamDecoder class: a chunk-fed document decoder behind the
// thread-affine, borrow-checked object of decoder_types.hpp.
#include <memory>

#include "module/arguments.hpp"
#include "module/decoder_types.hpp"
#include "module/entries.hpp"
#include "python/errors.hpp"
#include "python/stream_decoder.hpp"

namespace velkora::module {

using py::call_guard;
using py::StreamBase;
using py::to_python_error;

namespace {

constexpr const char* kChunkCallback[] = {"chunk", "callback"};
constexpr ArgumentSpec kStreamDecoderNewSpec{"__new__", "StreamDecoder", {}, 0};
constexpr ArgumentSpec kStreamDecoderFeedSpec{"feed", "StreamDecoder", kChunkCallback, 2};
constexpr const char* kStreamDecoderLabel = "_core::StreamDecoder";


struct StreamObject {
    py::StreamDecoder native;
    FedBytes fed;
};
using StreamCell = InstanceCell<StreamObject>;

PyObject* stream_decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_guard([&]() -> PyObject* {
        PyObject* slots[1];
        if (!bind_tuple(kStreamDecoderNewSpec, args, kwargs, slots)) return nullptr;
        return allocate(type, std::make_unique<StreamObject>());
    });
}

void stream_decoder_dealloc(PyObject* self) { deallocate<StreamObject>(self, kStreamDecoderLabel); }

PyObject* stream_decoder_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&]() -> PyObject* {
        PyObject* slots[2];
        if (!bind_fastcall(kStreamDecoderFeedSpec, args, nargs, kwnames, slots)) return nullptr;
        return access_feed<StreamObject>(
            self, kStreamDecoderLabel, slots[0], [&](StreamObject& object, wire::ByteSpan chunk) -> PyObject* {
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
        return access_exclusive<StreamObject>(
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
        return access_shared<StreamObject>(
            self, kStreamDecoderLabel,
            [](const StreamObject& object) { return PyLong_FromUnsignedLongLong(object.native.count()); });
    });
}

PyObject* stream_decoder_walked(PyObject* self, void*) {
    return call_guard([&]() -> PyObject* {
        return access_shared<StreamObject>(
            self, kStreamDecoderLabel,
            [](const StreamObject& object) { return PyLong_FromUnsignedLongLong(object.native.walked()); });
    });
}

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
    "MemoryError\n    When memory runs out. If the chunk itself could not be kept, every later ``feed``\n"
    "    and ``finish`` raises it again (the stream would have a hole); otherwise the next ``feed``\n"
    "    decodes again.\n"
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

}  // namespace

ClassSpec stream_decoder_class() {
    return {"builtins.StreamDecoder", kStreamDecoderDoc, static_cast<int>(sizeof(StreamCell)), stream_decoder_new,
            stream_decoder_dealloc, kStreamDecoderMethods, kStreamDecoderGetSet};
}

}  // namespace velkora::module
