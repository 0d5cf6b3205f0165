// src/arrow/stream_decoder.hpp: the chunk-fed Arrow decoder's native state: record batches of a fixed row
// count out of a response that arrives in chunks, holding about one document of bytes and one batch of
// columns at a time. Nothing here touches Python: feed and finish run with the interpreter lock released.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "arrow/batch_assembly.hpp"
#include "arrow/column_plan.hpp"
#include "arrow/row_decoder.hpp"
#include "arrow/envelope_probe.hpp"
#include "core/chunk_buffer.hpp"
#include "core/probe.hpp"

namespace velkora::arrow {

class ArrowStreamState {
public:
    /// Builds the row decoder (ValueError-worthy DecodeErrors: unsupported type, metadata columns).
    /// A batch size of 0 means 1.
    [[nodiscard]] static bool build(SharedSchema schema, uint64_t batch_size, ChildrenMode mode, const MetaNames& names,
                                    std::unique_ptr<ArrowStreamState>* out, wire::DecodeError* error);

    /// Appends a chunk and decodes every document it completes, cutting a batch whenever the rows reach the
    /// batch size. On failure (OutOfMemory when an allocation failed) the error is returned and kept: a
    /// failed document leaves no row and no extern string behind, the cursor stays on it, and every later
    /// feed and finish return the same error without reading anything.
    [[nodiscard]] bool feed(wire::ByteSpan chunk, wire::DecodeError* error);

    /// The response has ended: fails (UnexpectedEof at the buffered length, not kept) unless the documents
    /// sequence ended or was never there; otherwise cuts the last, partial batch (a failure is kept).
    [[nodiscard]] bool finish(wire::DecodeError* error);

    /// Whether a failure is kept.
    bool has_failed() const { return failure_.has_value(); }

    /// Moves the completed batches out, oldest first.
    std::vector<RecordBatch> take_batches();
    /// Puts batches that could not be handed over back at the front of the queue, in order.
    void restore_batches(std::vector<RecordBatch> batches, size_t from);

    const SharedSchema& schema() const { return decoder_->plan().schema; }
    /// Bytes received and not yet consumed: after a failed feed, those from the failing part onwards.
    uint64_t unconsumed() const { return stream_.buffer.unread().size; }
    /// The bytes gone over so far (WorkCount).
    uint64_t walked() const { return work_.bytes; }

private:
    /// Counts the work of `walk`, resumed from `before` to `after` over `held` bytes, and gives its outcome
    /// as the step's: NeedMore (what it waits for noted), Failed, or Advanced when it came to its end.
    template <typename Walk>
    wire::Step settle(const Walk& walk, wire::Walked walked, uint64_t before, uint64_t after, uint64_t held);
    wire::Step parse_envelope(wire::DecodeError* error);
    wire::Step document_step(wire::DecodeError* error);
    /// Decodes the document at the start of `unread` from its first `length` bytes (all of them: it may be
    /// cut; fewer: its exact length, known by the probe). True: consumed and counted. False: rolled back,
    /// the error in `*error`.
    bool decode_at_cursor(wire::ByteSpan unread, uint64_t length, wire::DecodeError* error);
    bool cut_batch_if_full(wire::DecodeError* error);
    /// Keeps `*error` as the decoder's failure; returns false.
    bool keep_failure(wire::DecodeError* error);
    /// Copies the kept failure into `*error`; returns false.
    bool failed(wire::DecodeError* error) const;
    /// Makes room in the builders for the rows of the next batch.
    void reserve_batch();

    static constexpr uint64_t kReservedRows = 65536;

    std::unique_ptr<ArrowRowDecoder> decoder_;
    wire::ChunkedStream stream_;  // phases and buffer, as StreamDecoder has them
    std::deque<RecordBatch> completed_;
    uint64_t batch_size_ = 1;
    /// Walk the envelope, then the document at the cursor, across feeds: each is walked once however it is cut.
    EnvelopeProbe envelope_;
    wire::DocumentProbe probe_;
    bool probing_ = false;  // decoding the document at the cursor failed once: probe_ is walking it
    /// Where the last attempt (envelope or probe) ran out, in unread bytes: until the buffer lets it get
    /// further, trying again would stop at the same place, so a byte-at-a-time feed stays linear.
    wire::InputWait needed_;
    uint64_t documents_ = 0;  // top-level documents decoded: the index of the next one
    std::optional<wire::DecodeError> failure_;
    wire::WorkCount work_;
};

}  // namespace velkora::arrow
