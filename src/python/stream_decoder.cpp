// src/python/stream_decoder.cpp: the chunk-fed document decoder.
//
// The envelope is walked across feeds without building anything, by the rules of the decoder that builds
// it, and decoded once, when the walk says the decoder would no longer run out of input: it then has the
// whole of it, or stops at a fault it reports at once, exactly as it would have at that feed. A document is
// decoded at once when it is first seen, as most arrive whole; one that does not is walked in the same way
// from then on. So a document or an envelope fed in many small chunks costs time linear in its size.
#include "python/stream_decoder.hpp"

#include <cstring>

#include "python/envelope.hpp"
#include "python/errors.hpp"

namespace velkora::py {

using wire::DecodeError;
using wire::ErrorKind;
using wire::Reader;

namespace {

/// Running out of input is worth waiting for; a reference beyond the extern-string table is not: the table
/// at that point of the stream is fixed by the bytes before it, so no later chunk can make it valid.
bool is_wait(const DecodeError& e) { return e.kind == ErrorKind::UnexpectedEof && !e.beyond_table; }

/// One attempt at the envelope prefix: the consumer of the envelope walk that stops where the documents
/// start and notes how they are laid out. What it passes is decoded only to be released; the extern
/// strings defined on the way go on to the documents.
class EnvelopeParser {
public:
    struct Value {};  // nothing read is kept

    EnvelopeParser(const uint8_t* data, size_t len) : decoder(data, len, table) {}

    /// True when the prefix is complete (phase, remaining and the end position are set).
    bool run() {
        Value envelope;
        Walk w = EnvelopeWalker<EnvelopeParser>(decoder, *this).walk(&envelope);
        if (w == Walk::Next) stop(StreamPhase::Done);  // the envelope ended without documents
        return w != Walk::Failed;
    }

    // The walk's consumer (see EnvelopeWalker). The envelope is never returned, so the walk stops as soon
    // as it is known where the documents are, or that there are none.

    bool open(Value*) { return true; }
    bool store(Value&, PyObject*, Value) { return true; }
    // Nothing is ever delivered from it, but it is read whole as deserialize reads it, so a broken one fails.
    Walk not_an_envelope(Value*) { return skip() ? stop(StreamPhase::Done) : Walk::Failed; }
    Walk plain(Value*) { return skip() ? Walk::Next : Walk::Failed; }
    Walk response_ended() { return stop(StreamPhase::Done); }  // a later response container is not looked for
    bool list_header(Value*) { return skip(); }  // not examined: no envelope is built from it
    Walk counted_docs(uint64_t count, Value*) { return stop(StreamPhase::CountedDocs, count); }
    Walk iterator_docs(Value*) { return stop(StreamPhase::IteratorDocs); }
    Walk other_docs(Value*) { return skip() ? stop(StreamPhase::Done) : Walk::Failed; }
    Walk list_docs_not_array(Value*) { return stop(StreamPhase::Done); }  // not read: nothing follows from it

    py::ExternTable table;
    PyDecoder decoder;
    StreamPhase phase = StreamPhase::Done;
    uint64_t remaining = 0;
    uint64_t end_position = 0;

private:
    Walk stop(StreamPhase p, uint64_t count = 0) {
        phase = p;
        remaining = count;
        end_position = decoder.reader.position();
        return Walk::Stop;
    }

    bool skip() { return bool(decoder.read_required()); }
};

}  // namespace

wire::Step StreamDecoder::envelope_found(wire::ByteSpan bytes, DecodeError* error) {
    // The walk has found what the envelope parse would (it reads by the same rules), so the values passed
    // over are not built only to be released: the documents need only the extern strings defined on the way,
    // made as the parse makes them.
    py::ExternTable table;
    for (const wire::ExternDefinition& d : envelope_.definitions()) {
        const uint8_t* at = bytes.data + d.offset;
        PyObject* text = py::FieldNames::get(at, d.size, [&] {
            return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(at), static_cast<Py_ssize_t>(d.size), nullptr);
        });
        if (!text) {
            fail_python(error);
            return wire::Step::Failed;  // the walk stays complete: the next feed tries again
        }
        if (!table.push(text)) {
            fail_python(error);
            return wire::Step::Failed;  // as above
        }
    }
    table_.swap(table);
    stream_.buffer.set_cursor(envelope_.end());
    stream_.phase = envelope_.phase();
    stream_.remaining = envelope_.count();
    needed_ = {};
    envelope_.reset();  // the stream never goes back to its envelope: let go of what the walk noted
    return wire::Step::Advanced;
}

wire::Step StreamDecoder::parse_envelope(DecodeError* error) {
    wire::ByteSpan bytes = stream_.buffer.all();
    if (!needed_.ready(bytes, work_)) return wire::Step::NeedMore;
    uint64_t before = envelope_.position();
    wire::Walked walked = envelope_.resume(bytes);
    work_.add(before, envelope_.position(), bytes.size, walked == wire::Walked::Wait);
    switch (walked) {
        case wire::Walked::Wait: needed_ = envelope_.needed(); return wire::Step::NeedMore;
        case wire::Walked::Complete: return envelope_found(bytes, error);
        case wire::Walked::Refused: break;
    }
    // The parse fails: run it for its exact error.
    EnvelopeParser parser(bytes.data, bytes.size);
    bool parsed = parser.run();
    work_.add(0, parser.decoder.reader.position(), bytes.size, !parsed && is_wait(parser.decoder.reader.error));
    if (parsed) {  // the walk and the parse disagree (they must not): trust the parse
        table_.swap(parser.table);  // strings defined in the envelope stay available to the documents
        stream_.buffer.set_cursor(parser.end_position);
        stream_.phase = parser.phase;
        stream_.remaining = parser.remaining;
        needed_ = {};
        return wire::Step::Advanced;
    }
    DecodeError& e = parser.decoder.reader.error;
    if (is_wait(e)) {
        // The walk and the parse disagree (they must not): trust the parse, and walk again from the start.
        envelope_.reset();
        needed_ = wire::InputWait::of(e);
        return wire::Step::NeedMore;
    }
    *error = std::move(e);
    return wire::Step::Failed;
}

wire::Step StreamDecoder::document_step(PyObject* callback, GcPause& gc, DecodeError* error) {
    wire::ByteSpan unread = stream_.buffer.unread();
    if (!needed_.ready(unread, work_)) return wire::Step::NeedMore;
    size_t table_length = table_.size();
    // A document seen for the first time has usually arrived whole, and is decoded at once. One that has not
    // is walked from then on, across feeds, and decoded again only when the walk has come to its end.
    if (probing_document_ && walk_document(unread) == wire::Walked::Wait) {
        needed_ = document_.needed();
        return wire::Step::NeedMore;
    }
    // After a failure the walk stays at its end, so the next feed decodes again at once and fails the same
    // way (or, after a callback error, delivers the document again).
    PyDecoder decoder(unread.data, unread.size, table_, &short_strings_);  // offsets count from the document
    decoder.depth = 1;
    PyRef document = decoder.read_value();
    Reader& r = decoder.reader;
    work_.add(0, r.position(), unread.size, !document && is_wait(r.error));
    if (document.get() == end_marker()) {
        document = PyRef();
        r.fail_unexpected("value", r.position() - 1, "END marker");
    }
    if (!document) {
        table_.truncate(table_length);  // the next attempt starts with the table as it was
        if (!is_wait(r.error)) {
            *error = std::move(r.error);
            return wire::Step::Failed;
        }
        if (!probing_document_) {
            // The document goes on in a later chunk: walk what there is of it.
            document_.begin(0, 1, false);  // the document stands at level 1
            document_externs_.count = table_length;
            probing_document_ = true;
            if (walk_document(unread) == wire::Walked::Wait) {
                needed_ = document_.needed();
                return wire::Step::NeedMore;
            }
        }
        // The walk and the decoder disagree (they must not): trust the decoder, and walk again.
        probing_document_ = false;
        needed_ = wire::InputWait::of(r.error);
        return wire::Step::NeedMore;
    }
    if (!py::deliver(callback, document.get(), gc)) {
        document = PyRef();
        table_.truncate(table_length);  // delivered again, from its first byte, by the next feed
        fail_python(error);
        return wire::Step::Failed;
    }
    stream_.buffer.consume(r.position());
    ++delivered_;
    probing_document_ = false;
    needed_ = {};
    return wire::Step::Advanced;
}

wire::Walked StreamDecoder::walk_document(wire::ByteSpan unread) {
    uint64_t before = document_.end();
    wire::Walked walked = document_.resume(unread, document_externs_);
    work_.add(before, document_.end(), unread.size, walked == wire::Walked::Wait);
    return walked;
}

bool StreamDecoder::feed(wire::ByteSpan chunk, PyObject* callback, DecodeError* error) {
    // A chunk that could not be kept leaves a hole in the stream: decoding on after it could deliver the
    // wrong documents, so from then on every feed and finish fails as it did.
    if (lost_chunk_ || !stream_.receive(chunk)) {
        lost_chunk_ = true;
        *error = DecodeError{};
        error->kind = ErrorKind::OutOfMemory;
        return false;
    }
    GcPause gc;
    wire::Step step = stream_.advance([&] { return parse_envelope(error); },
                                      [&] { return document_step(callback, gc, error); });
    stream_.drop_after_documents();
    stream_.buffer.compact();
    return step != wire::Step::Failed;
}

bool StreamDecoder::finish(DecodeError* error) const {
    if (lost_chunk_) {
        *error = DecodeError{};
        error->kind = ErrorKind::OutOfMemory;
        return false;
    }
    if (stream_.documents_ended()) return true;
    error->kind = ErrorKind::UnexpectedEof;
    error->offset = stream_.buffer.size();
    return false;
}

}  // namespace velkora::py
