// src/arrow/stream_decoder.cpp: the chunk-fed Arrow decoder.
//
// The envelope is walked to the documents, the walk going on where the last feed left it. Each document is
// decoded straight from the bytes held; one that fails so (most often: it has not all arrived) is rolled
// back and probed (walked without building anything, likewise across feeds) until its last byte is there,
// then decoded once more, so a document that arrived whole is walked once and a cut one about twice. Between
// two documents the builders and the extern-string table hold complete documents only. A document that
// fails is rolled back, and the failure is kept: every later call reports it again, so no row after a
// lost one ever goes out.
#include "arrow/stream_decoder.hpp"

#include <algorithm>

#include "arrow/row_decoder.hpp"

namespace velkora::arrow {

using wire::DecodeError;
using wire::ErrorKind;
using wire::Reader;
using wire::StreamPhase;

bool ArrowStreamState::build(SharedSchema schema, uint64_t batch_size, ChildrenMode mode, const MetaNames& names,
                             std::unique_ptr<ArrowStreamState>* out, DecodeError* error) {
    std::unique_ptr<ArrowStreamState> state;
    if (!wire::allocates([&] { state = std::make_unique<ArrowStreamState>(); })) return out_of_memory(error);
    if (!ArrowRowDecoder::build(std::move(schema), mode, names, &state->decoder_, error)) return false;
    state->batch_size_ = batch_size == 0 ? 1 : batch_size;
    state->reserve_batch();
    *out = std::move(state);
    return true;
}

template <typename Walk>
wire::Step ArrowStreamState::settle(const Walk& walk, wire::Walked walked, uint64_t before, uint64_t after,
                                    uint64_t held) {
    work_.add(before, after, held, walked == wire::Walked::Wait);
    switch (walked) {
        case wire::Walked::Wait: needed_ = walk.needed(); return wire::Step::NeedMore;
        case wire::Walked::Refused: return wire::Step::Failed;  // and again at every later feed
        case wire::Walked::Complete: break;
    }
    needed_ = {};
    return wire::Step::Advanced;
}

wire::Step ArrowStreamState::parse_envelope(DecodeError* error) {
    wire::ByteSpan bytes = stream_.buffer.all();  // the cursor is 0 in this phase: offsets from the stream's start
    if (!needed_.ready(bytes, work_)) return wire::Step::NeedMore;
    uint64_t before = envelope_.position();
    wire::Walked walked = envelope_.resume(*decoder_, bytes, error);
    if (wire::Step step = settle(envelope_, walked, before, envelope_.position(), bytes.size);
        step != wire::Step::Advanced)
        return step;
    // The extern strings the envelope defined stay for the documents.
    stream_.buffer.set_cursor(envelope_.end());
    const DocsSequence& docs = envelope_.docs();
    switch (docs.kind) {
        case DocsSequence::Kind::Counted:
            stream_.phase = StreamPhase::CountedDocs;
            stream_.remaining = docs.count;
            break;
        case DocsSequence::Kind::Terminated: stream_.phase = StreamPhase::IteratorDocs; break;
        case DocsSequence::Kind::NotFound: stream_.phase = StreamPhase::Done; break;
    }
    return wire::Step::Advanced;
}

wire::Step ArrowStreamState::document_step(DecodeError* error) {
    wire::ByteSpan unread = stream_.buffer.unread();
    if (unread.size == 0 || !needed_.ready(unread, work_)) return wire::Step::NeedMore;
    // A document seen for the first time has usually arrived whole and is sound: it is decoded straight from
    // the bytes held, in one pass. If that fails in any way it is rolled back and read the careful way:
    // probed (the walk going on where the last feed stopped until the document is complete or refused),
    // then decoded over its exact length. So the outcome, and at which feed a fault is reported,
    // never depends on where the chunks were cut: a decode that succeeds over the bytes held reads exactly
    // the bytes the probe would have measured, the decoder refusing whatever the probe refuses.
    if (!probing_) {
        if (decode_at_cursor(unread, unread.size, error)) return wire::Step::Advanced;
        if (error->kind == ErrorKind::OutOfMemory) return wire::Step::Failed;  // more bytes would not help
        probing_ = true;
        probe_.reset();
    }
    uint64_t before = probe_.length();
    wire::Walked walked = probe_.resume(unread, error);
    if (wire::Step step = settle(probe_, walked, before, probe_.length(), unread.size); step != wire::Step::Advanced)
        return step;
    if (decode_at_cursor(unread, probe_.length(), error)) return wire::Step::Advanced;
    if (error->kind != ErrorKind::OutOfMemory) in_document(error, documents_);
    return wire::Step::Failed;
}

bool ArrowStreamState::decode_at_cursor(wire::ByteSpan unread, uint64_t length, DecodeError* error) {
    Reader r(unread.data, static_cast<size_t>(length));  // offsets count from the document's first byte
    RowCheckpoint before = decoder_->checkpoint();
    bool decoded = decode_document(*decoder_, r);
    bool ran_out = !decoded && r.error.kind == ErrorKind::UnexpectedEof && !r.error.beyond_table;
    work_.add(0, r.position(), length, ran_out);
    if (VELKORA_UNLIKELY(!decoded)) {
        // Whatever the document appended or defined goes.
        decoder_->roll_back(before);
        *error = std::move(r.error);
        return false;
    }
    stream_.buffer.consume(r.position());
    ++documents_;
    probing_ = false;
    return true;
}

bool ArrowStreamState::cut_batch_if_full(DecodeError* error) {
    // In explode mode a document's rows all land in one batch, so a batch can pass the batch size.
    if (decoder_->rows < batch_size_) return true;
    RecordBatch batch;
    if (!assemble_batch(*decoder_, &batch, error)) return false;
    if (!wire::allocates([&] { completed_.push_back(std::move(batch)); })) return out_of_memory(error);
    reserve_batch();
    return true;
}

void ArrowStreamState::reserve_batch() {
    // The rows of one batch are known in advance; a huge batch size only grows the builders as rows come.
    decoder_->reserve_rows(std::min<uint64_t>(batch_size_, kReservedRows));
}

bool ArrowStreamState::feed(wire::ByteSpan chunk, DecodeError* error) {
    if (failure_) return failed(error);  // nothing is read after a failure, not even the new bytes
    wire::Step step = wire::Step::Failed;
    if (!stream_.receive(chunk)) return out_of_memory(error), keep_failure(error);
    // The batch is cut right after the document that filled it, in the same step, so a failed cut finds
    // the document consumed and counted, as any decoded document is.
    step = stream_.advance([&] { return parse_envelope(error); },
                           [&] {
                               wire::Step s = document_step(error);
                               if (s == wire::Step::Advanced && !cut_batch_if_full(error)) {
                                   if (stream_.phase == StreamPhase::CountedDocs) --stream_.remaining;
                                   return wire::Step::Failed;
                               }
                               return s;
                           });
    if (step == wire::Step::Failed) return keep_failure(error);  // no compaction: the failing part stays
    stream_.drop_after_documents();
    stream_.buffer.compact();
    return true;
}

bool ArrowStreamState::finish(DecodeError* error) {
    if (failure_) return failed(error);
    // A response that stopped before its documents sequence ended (in the envelope, with no bytes at all,
    // or inside the documents) is a broken download, never a complete table. This is not kept: more
    // bytes may still come.
    if (!stream_.documents_ended()) {
        *error = DecodeError{};
        error->kind = ErrorKind::UnexpectedEof;
        error->offset = stream_.buffer.size();
        return false;
    }
    if (decoder_->rows == 0) return true;
    RecordBatch batch;
    if (!assemble_batch(*decoder_, &batch, error)) return keep_failure(error);
    if (!wire::allocates([&] { completed_.push_back(std::move(batch)); })) return out_of_memory(error), keep_failure(error);
    return true;
}

bool ArrowStreamState::keep_failure(DecodeError* error) {
    // A copy of the error's texts may find no memory: OutOfMemory is kept then, which has none.
    if (!wire::allocates([&] { failure_ = *error; })) {
        out_of_memory(error);
        failure_ = *error;
    }
    return false;
}

bool ArrowStreamState::failed(DecodeError* error) const {
    if (!wire::allocates([&] { *error = *failure_; })) out_of_memory(error);
    return false;
}

std::vector<RecordBatch> ArrowStreamState::take_batches() {
    std::vector<RecordBatch> out;
    out.reserve(completed_.size());
    for (RecordBatch& b : completed_) out.push_back(std::move(b));
    completed_.clear();
    return out;
}

void ArrowStreamState::restore_batches(std::vector<RecordBatch> batches, size_t from) {
    for (size_t i = batches.size(); i > from; --i) completed_.push_front(std::move(batches[i - 1]));
}

}  // namespace velkora::arrow
