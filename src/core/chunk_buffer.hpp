// src/core/chunk_buffer.hpp: what the chunk-fed decoders keep between feeds: the bytes received and not yet
// released, the cursor over them, and where in the response they stand.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/reader.hpp"

namespace velkora::wire {

/// Where a chunk-fed decoder stands in the response.
enum class StreamPhase : uint8_t { Header, CountedDocs, IteratorDocs, Done };

/// A growable byte buffer on the C allocator (it grows while the interpreter lock is released, where the
/// interpreter's allocator must not be called), with a cursor: the bytes before it are consumed.
class ChunkBuffer {
public:
    ChunkBuffer() = default;
    ChunkBuffer(const ChunkBuffer&) = delete;
    ChunkBuffer& operator=(const ChunkBuffer&) = delete;
    ~ChunkBuffer() { std::free(data_); }

    size_t size() const { return size_; }
    uint64_t cursor() const { return cursor_; }
    /// The unconsumed bytes; valid until the next append or compaction.
    ByteSpan unread() const { return {data_ + cursor_, size_ - static_cast<size_t>(cursor_)}; }
    /// The whole buffer, consumed prefix included (offsets from its first byte).
    ByteSpan all() const { return {data_, size_}; }

    void consume(uint64_t n) { cursor_ += n; }
    void set_cursor(uint64_t position) { cursor_ = position; }

    /// Appends a copy of `bytes`; false when the buffer cannot grow, the buffer then as it was.
    [[nodiscard]] bool append(ByteSpan bytes) {
        if (bytes.size == 0) return true;
        if (bytes.size > capacity_ - size_) {
            if (bytes.size > SIZE_MAX / 2 - size_) return false;
            size_t capacity = capacity_ ? capacity_ : 4096;
            while (capacity < size_ + bytes.size) capacity *= 2;
            void* grown = std::realloc(data_, capacity);
            if (!grown) return false;
            data_ = static_cast<uint8_t*>(grown);
            capacity_ = capacity;
        }
        std::memcpy(data_ + size_, bytes.data, bytes.size);
        size_ += bytes.size;
        return true;
    }

    /// Releases the consumed prefix when it is at least as long as the unread tail, so a compaction moves
    /// at most as many bytes as it frees; gives memory back after an unusually large document (a buffer
    /// of a few chunks keeps its size, or every feed would shrink and grow it again).
    void compact() {
        if (cursor_ == 0) return;
        size_t tail = size_ - static_cast<size_t>(cursor_);
        if (tail != 0 && cursor_ < tail) return;
        std::memmove(data_, data_ + cursor_, tail);
        size_ = tail;
        cursor_ = 0;
        if (capacity_ > kKeep * 4 && size_ < capacity_ / 8) {
            size_t capacity = size_ * 2 > kKeep ? size_ * 2 : kKeep;
            if (void* shrunk = std::realloc(data_, capacity)) {
                data_ = static_cast<uint8_t*>(shrunk);
                capacity_ = capacity;
            }
        }
    }

private:
    static constexpr size_t kKeep = size_t{1} << 20;

    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    uint64_t cursor_ = 0;
};

/// The bytes a chunk-fed decoder has gone over, summed over all its walks and decode attempts: each counts
/// from where it started to where it stopped, or to the end of the bytes held when it ran out of them. A
/// decoder that goes on where the last feed left it counts a few times the body, however the body is cut;
/// one that started again at every feed would count about the body's square over the chunk size. The tests
/// read it to prove the former without a clock.
struct WorkCount {
    uint64_t bytes = 0;

    /// A walk or decode that started at `before` and stopped at `after`, over `held` bytes; `ran_out` when
    /// it stopped for want of more.
    void add(uint64_t before, uint64_t after, uint64_t held, bool ran_out) {
        uint64_t end = ran_out ? held : after;
        if (end > before) bytes += end - before;
    }
};

/// What a walk or decode that ran out of input waits for before it is worth trying again.
struct InputWait {
    uint64_t length = 0;     // the input length that lets it get further
    bool in_varint = false;  // it ran out inside a varint, the byte at length - 2 continuing it

    static InputWait of(const DecodeError& e) { return {e.needed, e.in_varint}; }

    /// Whether `bytes` (the same input as at the last try, possibly longer) may let the walk get further.
    /// A varint has no byte limit, so a peer can send one of any length: a walk that started again over it
    /// at every feed would cost its square. So only the bytes come since are looked at: while all of them
    /// continue the varint, the walk would run out inside it again, and the wait moves on past them.
    bool ready(ByteSpan bytes, WorkCount& work) {
        if (bytes.size < length) return false;
        if (!in_varint) return true;
        const uint8_t* from = bytes.data + (length - 1);
        const uint8_t* end = bytes.data + bytes.size;
        const uint8_t* p = from;
        while (p != end && (*p & 0x80)) ++p;
        work.bytes += static_cast<uint64_t>(p - from);
        if (p != end) return true;
        length = bytes.size + 1;
        return false;
    }
};

/// What one step of a chunk-fed decoder came to.
enum class Step : uint8_t { Advanced, NeedMore, Failed };

/// The phases of a chunk-fed decoder over its buffer: the envelope, then the documents (a counted array,
/// or an ITERATOR closed by END), then nothing more. Both chunk-fed decoders walk them with this.
struct ChunkedStream {
    StreamPhase phase = StreamPhase::Header;
    uint64_t remaining = 0;  // documents still to come in CountedDocs
    ChunkBuffer buffer;

    /// Appends a chunk, unless the documents sequence has ended: what comes after it is never read, so it
    /// is not kept either. False when memory runs out, the buffer then as it was.
    [[nodiscard]] bool receive(ByteSpan chunk) { return phase == StreamPhase::Done || buffer.append(chunk); }

    /// Once the documents sequence has ended, lets go of the bytes after it.
    void drop_after_documents() {
        if (phase == StreamPhase::Done) buffer.consume(buffer.unread().size);
    }

    /// The documents sequence has ended (or the response has none).
    bool documents_ended() const {
        return phase == StreamPhase::Done || (phase == StreamPhase::CountedDocs && remaining == 0);
    }

    /// Takes steps until one needs more bytes or fails. `envelope()` parses the envelope from the stream's
    /// first byte and sets the phase, the count and the cursor; `document()` decodes the document at the
    /// cursor and consumes it. Bytes after the documents are never parsed.
    template <typename Envelope, typename Document>
    Step advance(Envelope&& envelope, Document&& document) {
        Step step = Step::Advanced;
        while (step == Step::Advanced) {
            switch (phase) {
                case StreamPhase::Header: step = envelope(); break;
                case StreamPhase::CountedDocs:
                    if (remaining == 0) {
                        phase = StreamPhase::Done;
                        break;
                    }
                    step = document();
                    if (step == Step::Advanced) --remaining;
                    break;
                case StreamPhase::IteratorDocs: {
                    ByteSpan unread = buffer.unread();
                    if (unread.size == 0) {
                        step = Step::NeedMore;
                    } else if (unread.data[0] == END) {
                        buffer.consume(1);
                        phase = StreamPhase::Done;
                    } else {
                        step = document();
                    }
                    break;
                }
                case StreamPhase::Done: step = Step::NeedMore; break;
            }
        }
        return step;
    }
};

}  // namespace velkora::wire
