// src/python/stream_decoder.hpp: chunk-fed document decoding with a buffer of about one document.
#pragma once

#include <cstdint>

#include "core/chunk_buffer.hpp"
#include "core/envelope_probe.hpp"
#include "core/reader.hpp"
#include "python/py_decoder.hpp"

namespace velkora::py {

using wire::StreamPhase;

/// The native state of a StreamDecoder object.
class StreamDecoder {
public:
    /// Appends `chunk`, hands every document that is now complete to `callback`, and compacts the buffer.
    /// Returns false with `error` filled (PythonApi when the callback or an interpreter call raised).
    [[nodiscard]] bool feed(wire::ByteSpan chunk, PyObject* callback, wire::DecodeError* error);
    /// False with UnexpectedEof at the buffer length when the documents sequence did not end, or with
    /// OutOfMemory after a chunk could not be kept.
    [[nodiscard]] bool finish(wire::DecodeError* error) const;
    uint64_t count() const { return delivered_; }
    /// Bytes received and not yet consumed: after a failed feed, those from the failing part onwards.
    uint64_t unconsumed() const { return stream_.buffer.unread().size; }
    /// The bytes gone over so far (WorkCount).
    uint64_t walked() const { return work_.bytes; }

private:
    wire::Step parse_envelope(wire::DecodeError* error);
    /// Takes what a complete envelope walk found: the extern strings, the phase, the cursor.
    wire::Step envelope_found(wire::ByteSpan bytes, wire::DecodeError* error);
    wire::Step document_step(PyObject* callback, GcPause& gc, wire::DecodeError* error);
    /// Goes on with the walk over the document at the cursor (`unread`), counting what it goes over.
    wire::Walked walk_document(wire::ByteSpan unread);

    wire::ChunkedStream stream_;  // phases and buffer (on the C allocator), as the chunk-fed Arrow decoder has them
    py::ExternTable table_;
    py::ShortStrings short_strings_;  // recurring short strings, remembered across documents
    uint64_t delivered_ = 0;
    bool lost_chunk_ = false;  // a chunk could not be kept: the stream has a hole
    /// Walk the envelope, then each document, across feeds, so that each is decoded once, when it is there.
    wire::EnvelopeProbe envelope_;
    wire::ObjectProbe document_;
    wire::ExternTally document_externs_;  // the table's size when the document started, plus its definitions
    bool probing_document_ = false;       // document_ walks the document at the cursor
    /// Where the unfinished walk (envelope or document) last ran out, counted from its start: until the
    /// buffer lets it get further, it would stop at the same place.
    wire::InputWait needed_;
    wire::WorkCount work_;
};

}  // namespace velkora::py
