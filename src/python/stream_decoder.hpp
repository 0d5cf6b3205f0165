// src/python/stream_decoder.hpp: chunk-fed document decoding with a buffer of about one document.
#pragma once

#include <cstdint>

#include "core/chunk_buffer.hpp"
#include "core/reader.hpp"
#include "python/py_decoder.hpp"

namespace velkora::stream {

using wire::StreamPhase;

/// The native state of a StreamDecoder object.
class StreamDecoder {
public:
    /// Appends `chunk`, hands every document that is now complete to `callback`, and compacts the buffer.
    /// Returns false with `error` filled (PythonApi when the callback or an interpreter call raised).
    [[nodiscard]] bool feed(wire::ByteSpan chunk, PyObject* callback, wire::DecodeError* error);
    /// False with UnexpectedEof at the buffer length when the documents sequence did not end.
    [[nodiscard]] bool finish(wire::DecodeError* error) const;
    uint64_t count() const { return delivered_; }

private:
    enum class Progress { Advanced, NeedMore, Failed };

    Progress parse_envelope(wire::DecodeError* error);
    Progress document_step(PyObject* callback, GcPause& gc, wire::DecodeError* error);

    StreamPhase phase_ = StreamPhase::Header;
    uint64_t remaining_ = 0;
    wire::ChunkBuffer buffer_;  // on the C allocator, shared with the chunk-fed Arrow decoder
    pydecode::ExternTable table_;
    uint64_t delivered_ = 0;
    /// Bytes from the start of the unfinished parse (envelope or document) that the last attempt ran out
    /// at; until the buffer holds that many, a new attempt would fail at the same place.
    uint64_t needed_ = 0;
};

}  // namespace velkora::stream
