// src/core/walk_stack.hpp: what the resumable walks of the chunk-fed decoders share: their outcome and the
// fixed stack of open containers that lets a walk stop at the end of the bytes and go on at the next chunk.
#pragma once

#include <array>
#include <cstdint>

#include "core/reader.hpp"

namespace velkora::wire {

/// What a resumable walk has come to over the bytes it has been given so far.
enum class Walked : uint8_t {
    Wait,      // the bytes end inside it; more bytes are needed to get further
    Complete,  // all of it is there
    Refused,   // it cannot be read as it stands, and more bytes will not change that
};

/// The containers a walk is inside, innermost last. Depth checks bound the nesting, so a fixed array holds
/// every level (a document's own frame, then one per level up to MAX_DEPTH) and a walk never allocates.
template <typename Frame>
class WalkStack {
public:
    bool empty() const { return size_ == 0; }
    Frame& top() { return frames_[size_ - 1]; }
    void clear() { size_ = 0; }
    void pop() { --size_; }
    /// False when full, which the depth checks make unreachable; the walk then refuses rather than overrun.
    [[nodiscard]] bool push(const Frame& frame) {
        if (VELKORA_UNLIKELY(size_ == frames_.size())) return false;
        frames_[size_++] = frame;
        return true;
    }

private:
    std::array<Frame, MAX_DEPTH + 2> frames_;
    uint32_t size_ = 0;
};

}  // namespace velkora::wire
