// src/python/stream_decoder.cpp: the chunk-fed document decoder.
//
// The envelope is parsed afresh from the first byte at every feed until it is complete; each document is
// decoded from its first byte once its bytes may all be there. Running out of input means "wait for the
// next chunk"; every other failure is reported at once.
#include "python/stream_decoder.hpp"

#include <cstring>
#include <string_view>

namespace velkora::stream {

using pydecode::end_marker;
using pydecode::key_is;
using pydecode::PyDecoder;
using wire::DecodeError;
using wire::ErrorKind;
using wire::Reader;

namespace {

/// Running out of input is worth waiting for; a reference beyond the extern-string table is not: the table
/// at that point of the stream is fixed by the bytes before it, so no later chunk can make it valid.
bool is_wait(const DecodeError& e) { return e.kind == ErrorKind::UnexpectedEof && !e.beyond_table; }

/// One attempt at the envelope prefix: finds where the documents start and how they are laid out. Its
/// values are decoded only to be skipped; the extern strings they define go on to the documents.
class EnvelopeParser {
public:
    EnvelopeParser(const uint8_t* data, size_t len) : decoder(data, len, table) {}

    enum class Entry { Next, Ended, Failed };

    /// True when the prefix is complete (phase, remaining and the end position are set).
    bool run() {
        Reader& r = decoder.reader;
        if (!read_version(r)) return false;
        uint8_t tag;
        if (!r.read_u8(&tag)) return false;
        uint8_t group = tag >> 5;
        if (group == wire::GROUP_ORDERED_MAP || group == wire::GROUP_NAMED_LST) {
            uint64_t size;
            if (!r.read_size(tag, &size)) return false;
            for (uint64_t i = 0; i < size; ++i) {
                PyRef key = PyRef::steal(decoder.read_named_key());
                if (!key) return false;
                Entry e = envelope_entry(key.get());
                if (e != Entry::Next) return e == Entry::Ended;
            }
            return end(StreamPhase::Done);
        }
        if (tag == wire::MAP_ENTRY_ITER) {
            for (;;) {
                EndTag t = end_tag();
                if (t == EndTag::Found) return end(StreamPhase::Done);
                if (t == EndTag::OutOfInput) return false;
                PyRef key = PyRef::steal(decoder.read_required());
                if (!key) return false;
                Entry e = envelope_entry(key.get());
                if (e != Entry::Next) return e == Entry::Ended;
            }
        }
        return end(StreamPhase::Done);  // not an envelope: nothing is ever delivered
    }

    pydecode::ExternTable table;
    PyDecoder decoder;
    StreamPhase phase = StreamPhase::Done;
    uint64_t remaining = 0;
    uint64_t end_position = 0;

private:
    bool end(StreamPhase p, uint64_t count = 0) {
        phase = p;
        remaining = count;
        end_position = decoder.reader.position();
        return true;
    }

    enum class EndTag { Found, NotEnd, OutOfInput };

    /// Consumes an END tag at the cursor; OutOfInput (with the reader's error set) when no byte is left.
    EndTag end_tag() {
        Reader& r = decoder.reader;
        if (r.at_end()) {
            r.fail_eof(r.position(), r.position() + 1);
            return EndTag::OutOfInput;
        }
        if (r.peek() != wire::END) return EndTag::NotEnd;
        uint8_t tag;
        (void)r.read_u8(&tag);
        return EndTag::Found;
    }

    bool skip_value() {
        PyObject* value = decoder.read_required();
        if (!value) return false;
        Py_DECREF(value);
        return true;
    }

    Entry skip_entry() { return skip_value() ? Entry::Next : Entry::Failed; }

    Entry envelope_entry(PyObject* key) {
        if (!key_is(key, "response") && !key_is(key, "result-set")) return skip_entry();
        Reader& r = decoder.reader;
        if (r.at_end()) {
            r.fail_eof(r.position(), r.position() + 1);
            return Entry::Failed;
        }
        uint8_t tag = r.peek();
        uint8_t group = tag >> 5;
        if (group == wire::GROUP_ORDERED_MAP || group == wire::GROUP_NAMED_LST) {
            uint64_t size;
            (void)r.read_u8(&tag);
            if (!r.read_size(tag, &size)) return Entry::Failed;
            return response_entries(size, [this] { return decoder.read_named_key(); });
        }
        if (tag == wire::MAP) {
            uint32_t count;
            (void)r.read_u8(&tag);
            if (!r.read_vint(&count)) return Entry::Failed;
            return response_entries(count, [this] { return decoder.read_required(); });
        }
        if (tag == wire::MAP_ENTRY_ITER) {
            (void)r.read_u8(&tag);
            for (;;) {
                EndTag t = end_tag();
                if (t == EndTag::Found) return end(StreamPhase::Done) ? Entry::Ended : Entry::Failed;
                if (t == EndTag::OutOfInput) return Entry::Failed;
                PyRef k = PyRef::steal(decoder.read_required());
                if (!k) return Entry::Failed;
                Entry e = response_entry(k.get());
                if (e != Entry::Next) return e;
            }
        }
        if (tag == wire::SOLRDOCLST) {
            (void)r.read_u8(&tag);
            if (!skip_value()) return Entry::Failed;  // the header, not examined here
            if (r.at_end()) {
                r.fail_eof(r.position(), r.position() + 1);
                return Entry::Failed;
            }
            return counted_or_done();
        }
        return skip_entry();
    }

    /// `count` entries of the response container, each key read by `read_key`; the container ending
    /// without "docs" ends the parse.
    template <typename ReadKey>
    Entry response_entries(uint64_t count, ReadKey read_key) {
        for (uint64_t i = 0; i < count; ++i) {
            PyRef key = PyRef::steal(read_key());
            if (!key) return Entry::Failed;
            Entry e = response_entry(key.get());
            if (e != Entry::Next) return e;
        }
        return end(StreamPhase::Done) ? Entry::Ended : Entry::Failed;
    }

    /// An ARR of documents starts the counted phase; anything else ends the response.
    Entry counted_or_done() {
        Reader& r = decoder.reader;
        uint8_t tag = r.peek();
        if ((tag >> 5) != wire::GROUP_ARR) return end(StreamPhase::Done) ? Entry::Ended : Entry::Failed;
        uint64_t count;
        (void)r.read_u8(&tag);
        if (!r.read_size(tag, &count)) return Entry::Failed;
        end(StreamPhase::CountedDocs, count);
        return Entry::Ended;
    }

    Entry response_entry(PyObject* key) {
        if (!key_is(key, "docs")) return skip_entry();
        Reader& r = decoder.reader;
        if (r.at_end()) {
            r.fail_eof(r.position(), r.position() + 1);
            return Entry::Failed;
        }
        uint8_t tag = r.peek();
        if ((tag >> 5) == wire::GROUP_ARR) return counted_or_done();
        if (tag == wire::ITERATOR) {
            (void)r.read_u8(&tag);
            end(StreamPhase::IteratorDocs);
            return Entry::Ended;
        }
        if (!skip_value()) return Entry::Failed;
        return end(StreamPhase::Done) ? Entry::Ended : Entry::Failed;
    }
};

}  // namespace

bool ByteBuffer::append(const uint8_t* bytes, size_t n) {
    if (n == 0) return true;
    if (size_ + n > capacity_) {
        size_t capacity = capacity_ ? capacity_ : 4096;
        while (capacity < size_ + n) capacity *= 2;
        auto* grown = static_cast<uint8_t*>(PyMem_Realloc(data_, capacity));
        if (!grown) {
            PyErr_NoMemory();
            return false;
        }
        data_ = grown;
        capacity_ = capacity;
    }
    std::memcpy(data_ + size_, bytes, n);
    size_ += n;
    return true;
}

void ByteBuffer::drop_front(size_t n) {
    std::memmove(data_, data_ + n, size_ - n);
    size_ -= n;
    // Give memory back once the buffer is far larger than what it holds (after one very large document).
    if (capacity_ > 65536 && size_ < capacity_ / 8) {
        size_t capacity = std::max<size_t>(size_ * 2, 4096);
        if (auto* shrunk = static_cast<uint8_t*>(PyMem_Realloc(data_, capacity))) {
            data_ = shrunk;
            capacity_ = capacity;
        }
    }
}

StreamDecoder::Progress StreamDecoder::parse_envelope(DecodeError* error) {
    if (buffer_.size() < needed_) return Progress::NeedMore;
    EnvelopeParser parser(buffer_.data(), buffer_.size());
    if (parser.run()) {
        table_.swap(parser.table);  // strings defined in the envelope stay available to the documents
        cursor_ = parser.end_position;
        phase_ = parser.phase;
        remaining_ = parser.remaining;
        needed_ = 0;
        return Progress::Advanced;
    }
    DecodeError& e = parser.decoder.reader.error;
    if (is_wait(e)) {
        needed_ = e.needed;
        return Progress::NeedMore;
    }
    *error = std::move(e);
    return Progress::Failed;
}

StreamDecoder::Progress StreamDecoder::document_step(PyObject* callback, GcPause& gc, DecodeError* error) {
    uint64_t available = buffer_.size() - cursor_;
    if (available < needed_) return Progress::NeedMore;
    size_t table_length = table_.size();
    PyDecoder decoder(buffer_.data() + cursor_, available, table_);  // offsets count from the document
    decoder.depth = 1;
    PyRef document = PyRef::steal(decoder.read_value());
    Reader& r = decoder.reader;
    if (document.get() == end_marker()) {
        (void)document.release();
        r.fail_unexpected("value", r.position() - 1, "END marker");
    }
    if (!document) {
        table_.truncate(table_length);  // the next attempt starts with the table as it was
        if (is_wait(r.error)) {
            needed_ = r.error.needed;
            return Progress::NeedMore;
        }
        *error = std::move(r.error);
        return Progress::Failed;
    }
    if (!pydecode::deliver(callback, document.get(), gc)) {
        document = PyRef();
        table_.truncate(table_length);  // delivered again, from its first byte, by the next feed
        error->kind = ErrorKind::PythonApi;
        return Progress::Failed;
    }
    cursor_ += r.position();
    ++delivered_;
    needed_ = 0;
    return Progress::Advanced;
}

bool StreamDecoder::feed(wire::ByteSpan chunk, PyObject* callback, DecodeError* error) {
    if (!buffer_.append(chunk.data, chunk.size)) {
        error->kind = ErrorKind::PythonApi;
        return false;
    }
    GcPause gc;
    Progress progress = Progress::Advanced;
    while (progress == Progress::Advanced) {
        switch (phase_) {
            case StreamPhase::Header: progress = parse_envelope(error); break;
            case StreamPhase::CountedDocs:
                if (remaining_ == 0) {
                    phase_ = StreamPhase::Done;
                    break;
                }
                progress = document_step(callback, gc, error);
                if (progress == Progress::Advanced) --remaining_;
                break;
            case StreamPhase::IteratorDocs:
                if (cursor_ == buffer_.size()) {
                    progress = Progress::NeedMore;
                } else if (buffer_.data()[cursor_] == wire::END) {
                    ++cursor_;
                    phase_ = StreamPhase::Done;
                } else {
                    progress = document_step(callback, gc, error);
                }
                break;
            case StreamPhase::Done: progress = Progress::NeedMore; break;  // later bytes are never parsed
        }
    }
    compact();
    return progress != Progress::Failed;
}

void StreamDecoder::compact() {
    if (cursor_ == 0) return;
    uint64_t tail = buffer_.size() - cursor_;
    // Moves at most as many bytes as it frees: the consumed prefix never outgrows the unread tail.
    if (tail == 0 || cursor_ >= tail) {
        buffer_.drop_front(static_cast<size_t>(cursor_));
        cursor_ = 0;
    }
}

bool StreamDecoder::finish(DecodeError* error) const {
    if (phase_ == StreamPhase::Done || (phase_ == StreamPhase::CountedDocs && remaining_ == 0)) return true;
    error->kind = ErrorKind::UnexpectedEof;
    error->offset = buffer_.size();
    return false;
}

}  // namespace velkora::stream
