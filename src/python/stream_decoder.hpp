// src/python/stream_decoder.hpp: chunk-fed document decoding with a buffer of about one document.
#pragma once

#include <cstdint>

#include "python/py_decoder.hpp"
#include "core/reader.hpp"

namespace velkora::stream {

/// Where a chunk-fed decoder stands in the response.
enum class StreamPhase : uint8_t { Header, CountedDocs, IteratorDocs, Done };

/// A growable byte buffer on the interpreter's allocator, so memory tools that watch it (tracemalloc)
/// see what the decoder holds. Used with the interpreter lock held only.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { PyMem_Free(data_); }

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    /// False with MemoryError set when the buffer cannot grow.
    [[nodiscard]] bool append(const uint8_t* bytes, size_t n);
    /// Drops the first `n` bytes, moving the rest to the front.
    void drop_front(size_t n);

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

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
    void compact();

    StreamPhase phase_ = StreamPhase::Header;
    uint64_t remaining_ = 0;
    ByteBuffer buffer_;
    pydecode::ExternTable table_;
    uint64_t cursor_ = 0;
    uint64_t delivered_ = 0;
    /// Bytes from the start of the unfinished parse (envelope or document) that the last attempt ran out
    /// at; until the buffer holds that many, a new attempt would fail at the same place.
    uint64_t needed_ = 0;
};

}  // namespace velkora::stream
