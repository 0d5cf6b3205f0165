// src/core/skipper.hpp: passing over one javabin value without building anything, by the rules of one of the
// decoders. The same loop runs straight (the whole value is there: skip) or resumable (the bytes may end
// inside it: probe, which stops there and goes on when more have come).
//
// Every step reads one tag with what belongs to it (a whole scalar or string, or a container's header) and is
// kept only when all its bytes are there, so a probe that runs out starts that step again at the next call
// and its work over a value is linear in the value's size however the value is cut.
#pragma once

#include <cstdint>

#include "core/chunk_buffer.hpp"
#include "core/envelope.hpp"
#include "core/reader.hpp"
#include "core/skip.hpp"
#include "core/walk_stack.hpp"

namespace velkora::wire {

/// What one step of a skip or probe came to.
enum class SkipStep : uint8_t {
    Next,      // it read what it was to read; the next step goes on from there
    Wait,      // the bytes end inside what it was to read (the reader's error says where)
    Refused,   // the reader's error says why
    Complete,  // the value is over
};

/// The kind of Python object a value becomes, as far as the object rules judge it.
enum class Shape : uint8_t { Null, Str, Scalar, List, Dict, End };

/// A container a skipper is inside. The skip rules read every counted container as Array (its parts
/// counted), the object rules tell apart those whose parts they judge.
enum class Container : uint8_t { Array, Enum, NamedList, Map, MapEntry, DocList, Iterator, MapEntryIter, Document };

// What a container reads next: an entry's key or its value; in a document also a child document, a name read
// as any value (skip rules) and an input document's boost (object rules); nothing more (MAP_ENTRY, SOLRDOCLST).
inline constexpr uint8_t kKey = 0;  // also the start of a document's item and a list's header
inline constexpr uint8_t kValue = 1;
inline constexpr uint8_t kDone = 2;
inline constexpr uint8_t kBoost = 3;
inline constexpr uint8_t kChild = 4;
inline constexpr uint8_t kName = 5;

struct SkipFrame {
    uint64_t remaining;  // parts, entries or items still to come, where counted
    uint32_t depth;      // the level its parts stand at
    Container kind;
    uint8_t phase;
    bool flag;       // Map: a key is not a str; MapEntryIter, MapEntry: the key is unhashable; Document: input document
    bool until_end;  // Document: items until END
};

/// The loop shared by the rule sets. `Rules` derives from it and supplies the checks that differ:
///   start(r)                       the first step, with no container open;
///   item(r, f)                     the start of a document's item (f.phase is kKey, an item is due);
///   text(r, size, &name)           a string's bytes, and which key it names;
///   extern_string(r, tag, &name)   an extern-string reference or definition;
///   typed_array(r, &shape)         a TYPED_ARR after its tag;
///   completed(shape, name)         the value is over;
/// and the constants kJudges (the object rules: containers told apart, keys and entries judged, input
/// documents read, END refused where a value is required) and kShortValues (values whose length their tag
/// fixes are stepped over before their tag is read).
template <class Rules>
class Skipper {
public:
    /// Passes over the whole value at the reader, standing at level `depth`, as open() reads it (an END is a
    /// one-byte value); false with the reader's error (running out is a fault).
    bool skip(Reader& r, uint32_t depth) {
        uint8_t tag;
        if (!r.read_u8(&tag)) return false;
        SkipStep s = open(r, tag, depth);
        while (s == SkipStep::Next) s = step<true>(r);
        return s == SkipStep::Complete;
    }

    /// Goes on over `bytes` from where the last call stopped (the bytes given before, possibly followed by
    /// more). Wait: needed() says what lets it get further. Refused: the fault is moved to `*error` when given.
    /// Refused and Complete are final.
    Walked probe(ByteSpan bytes, DecodeError* error) {
        if (final_ != Walked::Wait) return final_;
        Reader r(bytes.data, bytes.size);
        r.set_position(pos_);
        for (;;) {
            switch (step<false>(r)) {
                case SkipStep::Next: pos_ = r.position(); break;
                case SkipStep::Wait:
                    needed_length_ = r.error.needed;
                    needed_in_varint_ = r.error.in_varint;
                    return Walked::Wait;
                case SkipStep::Refused:
                    if (error) *error = std::move(r.error);
                    return final_ = Walked::Refused;
                case SkipStep::Complete: pos_ = r.position(); return final_ = Walked::Complete;
            }
        }
    }

    /// After Complete: the offset just after the value. Before, where the probe stands (the bytes before it
    /// have been passed over).
    uint64_t position() const { return pos_; }
    InputWait needed() const { return {needed_length_, needed_in_varint_}; }

protected:
    /// For a probe. A skip uses the stack alone and starts with Straight{}, which leaves the rest unset.
    Skipper() { restart(0); }
    struct Straight {};
    explicit Skipper(Straight) {}

    /// Starts again at `position`, with no container open.
    void restart(uint64_t position) {
        stack_.clear();
        pos_ = position;
        needed_length_ = 0;
        needed_in_varint_ = false;
        final_ = Walked::Wait;
    }

    SkipStep failed(const Reader& r) const {
        return r.error.kind == ErrorKind::UnexpectedEof ? SkipStep::Wait : SkipStep::Refused;
    }
    /// UnexpectedEof where the next byte should be.
    SkipStep eof(Reader& r) {
        r.fail_eof(r.position(), r.position() + 1);
        return SkipStep::Wait;
    }

    /// A part of `f`, at its parts' level; `end_allowed` where an END closes `f`.
    VELKORA_INLINE SkipStep part(Reader& r, SkipFrame& f, bool end_allowed) {
        if constexpr (!Rules::kJudges) {
            if (end_allowed) {  // the END closing a sequence is not depth-checked
                if (VELKORA_UNLIKELY(r.at_end())) return eof(r);
                if (r.peek() == END) {
                    r.set_position(r.position() + 1);
                    return close_container();
                }
            }
        }
        if (VELKORA_UNLIKELY(f.depth > MAX_DEPTH)) {
            r.fail_depth(r.position());
            return SkipStep::Refused;
        }
        if constexpr (Rules::kJudges) {
            uint8_t tag;
            if (!r.read_u8(&tag)) return SkipStep::Wait;
            if (tag == END) {
                if (!end_allowed) return refuse(r, r.position() - 1);
                return close_container();
            }
            return open(r, tag, f.depth);
        } else {
            return value(r, f.depth);
        }
    }

    /// The value at the reader, standing at level `depth`.
    VELKORA_INLINE SkipStep value(Reader& r, uint32_t depth) {
        if constexpr (Rules::kShortValues) {
            if (skip_short_value(r)) return closed(Shape::Scalar);
        }
        uint8_t tag;
        if (!r.read_u8(&tag)) return SkipStep::Wait;
        return open(r, tag, depth);
    }

    /// The value whose tag has been read, standing at level `depth`.
    VELKORA_INLINE SkipStep open(Reader& r, uint8_t tag, uint32_t depth) {
        uint64_t size;
        KeyName name = KeyName::Other;
        switch (group_of(tag)) {
            case GROUP_STR:
                if (!r.read_size(tag, &size) || !self().text(r, size, &name)) return failed(r);
                return closed(Shape::Str, name);
            case GROUP_SINT:
            case GROUP_SLONG: {
                uint64_t ignored;  // a vint and a vlong take the same bytes
                return !(tag & 0x10) || r.read_vlong(&ignored) ? closed(Shape::Scalar) : SkipStep::Wait;
            }
            case GROUP_ARR: return r.read_size(tag, &size) ? counted(r, depth, size) : SkipStep::Wait;
            case GROUP_ORDERED_MAP:
            case GROUP_NAMED_LST:
                if (!r.read_size(tag, &size)) return SkipStep::Wait;
                return Rules::kJudges ? push(r, Container::NamedList, depth, size) : counted(r, depth, 2 * size);
            case GROUP_EXTERN_STRING:
                return self().extern_string(r, tag, &name) ? closed(Shape::Str, name) : failed(r);
            default: break;
        }
        ByteSpan bytes;
        uint32_t count;
        switch (tag) {
            case NULL_TAG: return closed(Shape::Null);
            case BOOL_TRUE:
            case BOOL_FALSE:
            case END: return closed(Shape::Scalar);  // END is opened by the skip rules only: a one-byte value
            case BYTE: return r.take(1, &bytes) ? closed(Shape::Scalar) : SkipStep::Wait;
            case SHORT: return r.take(2, &bytes) ? closed(Shape::Scalar) : SkipStep::Wait;
            case INT:
            case FLOAT: return r.take(4, &bytes) ? closed(Shape::Scalar) : SkipStep::Wait;
            case LONG:
            case DATE:
            case DOUBLE: return r.take(8, &bytes) ? closed(Shape::Scalar) : SkipStep::Wait;
            case BYTEARR: return r.read_vint(&count) && r.take(count, &bytes) ? closed(Shape::Scalar) : SkipStep::Wait;
            case MAP:
                if (!r.read_vint(&count)) return SkipStep::Wait;
                return Rules::kJudges ? push(r, Container::Map, depth, count)
                                      : counted(r, depth, 2 * static_cast<uint64_t>(count));
            case SOLRDOC: {
                uint8_t header;  // its top three bits are not checked
                if (!r.read_u8(&header) || !r.read_size(header, &size)) return SkipStep::Wait;
                return push(r, Container::Document, depth, size);
            }
            case SOLRINPUTDOC:
                if constexpr (!Rules::kJudges) break;
                if (!r.read_vint(&count)) return SkipStep::Wait;
                return push(r, Container::Document, depth, count, kBoost, true);
            case SOLRDOCLST: return Rules::kJudges ? push(r, Container::DocList, depth, 2) : counted(r, depth, 2);
            case ENUM_FIELD_VALUE: return Rules::kJudges ? push(r, Container::Enum, depth, 2) : counted(r, depth, 2);
            case MAP_ENTRY: return Rules::kJudges ? push(r, Container::MapEntry, depth, 2) : counted(r, depth, 2);
            case ITERATOR: return push(r, Container::Iterator, depth, 0);
            case MAP_ENTRY_ITER: return push(r, Container::MapEntryIter, depth, 0);
            case TYPED_ARR: {
                Shape shape;
                return self().typed_array(r, &shape) ? closed(shape) : failed(r);
            }
            default: break;
        }
        r.fail_unknown_tag(r.position() - 1, tag);  // 0x14 and 0x16..0x1F (and SOLRINPUTDOC for the skip rules)
        return SkipStep::Refused;
    }

    /// An array of `n` parts standing at level `depth` (for the skip rules, any container of counted parts):
    /// the parts whose length their first bytes fix are passed at once, a frame is opened for the rest.
    VELKORA_INLINE SkipStep counted(Reader& r, uint32_t depth, uint64_t n) {
        if constexpr (Rules::kShortValues) {
            if (VELKORA_LIKELY(depth < MAX_DEPTH))
                while (n != 0 && short_part(r, depth + 1)) --n;
            if (n == 0) return closed(Shape::List);
        }
        return push(r, Container::Array, depth, n);
    }

    /// Opens a container standing at level `depth`.
    SkipStep push(Reader& r, Container kind, uint32_t depth, uint64_t remaining, uint8_t phase = kKey,
                  bool flag = false, bool until_end = false) {
        if (VELKORA_LIKELY(stack_.push({remaining, depth + 1, kind, phase, flag, until_end}))) return SkipStep::Next;
        return refuse_depth(r);
    }

    /// A value is over: the container it stands in takes it, or the whole value is.
    VELKORA_INLINE SkipStep closed(Shape shape, KeyName name = KeyName::Other) {
        if (VELKORA_LIKELY(!stack_.empty())) return taken(shape);
        self().completed(shape, name);
        return SkipStep::Complete;
    }

    /// The container on top takes a value that is over.
    SkipStep taken(Shape shape) {
        SkipFrame& f = stack_.top();
        bool unhashable = shape == Shape::List || shape == Shape::Dict;
        switch (f.kind) {
            case Container::Array:
            case Container::Enum: --f.remaining; break;
            case Container::NamedList:
            case Container::Map:
                if (f.phase == kKey) {
                    if (f.kind == Container::NamedList && shape != Shape::Str && shape != Shape::Null)
                        return SkipStep::Refused;  // a key neither str nor None
                    f.flag = f.flag || shape != Shape::Str;  // a MAP's entries then become [key, value] lists
                    f.phase = kValue;
                } else {
                    --f.remaining;
                    f.phase = kKey;
                }
                break;
            case Container::MapEntryIter:
            case Container::MapEntry:
                if (f.phase == kKey) {
                    f.flag = Rules::kJudges && unhashable;
                    f.phase = kValue;
                } else {
                    if (f.flag) return SkipStep::Refused;  // the entry cannot be stored under that key
                    f.phase = f.kind == Container::MapEntry ? kDone : kKey;
                }
                break;
            case Container::Iterator: break;
            case Container::DocList:
                if (f.phase == kKey) {
                    if (shape != Shape::List) return SkipStep::Refused;  // the header must be a list
                    f.phase = kValue;
                } else {
                    f.phase = kDone;
                }
                break;
            case Container::Document:
                if (f.phase == kName) {
                    f.phase = kValue;
                    break;
                }
                if (f.phase != kBoost && !f.until_end) --f.remaining;  // a field's value, or a child document
                f.phase = kKey;
                break;
        }
        return SkipStep::Next;
    }

    /// The container on top is over.
    SkipStep close_container() {
        Container kind = stack_.top().kind;
        bool list = kind == Container::Array || kind == Container::Iterator ||
                    (kind == Container::Map && stack_.top().flag);
        stack_.pop();
        return closed(list ? Shape::List : Shape::Dict);
    }

    /// A refusal of the object rules, which only need to stop there: the decoder, run over the same bytes,
    /// reports the exact fault.
    static bool refuse_value(Reader& r, uint64_t offset) {
        return r.fail_unexpected("value", offset, "a value the decoder refuses");
    }
    SkipStep refuse(Reader& r, uint64_t offset) {
        refuse_value(r, offset);
        return SkipStep::Refused;
    }
    /// Not reached: the depth checks keep the stack within its size.
    SkipStep refuse_depth(Reader& r) {
        r.fail_depth(r.position());
        return SkipStep::Refused;
    }

    WalkStack<SkipFrame> stack_;

private:
    Rules& self() { return static_cast<Rules&>(*this); }

    /// A value whose length its first bytes fix, or a short array of such values, as a part of `f`.
    VELKORA_INLINE bool short_part(Reader& r, uint32_t depth) {
        return skip_short_value(r) || skip_short_array(r, depth);
    }

    /// One step; inlined into the loop of each form, which so sets up its registers once per value.
    template <bool kStraight>
    VELKORA_INLINE SkipStep step(Reader& r) {
        if (stack_.empty()) return self().start(r);
        SkipFrame& f = stack_.top();
        bool end_allowed = false;
        switch (f.kind) {
            case Container::Array:
                if constexpr (Rules::kShortValues) {
                    if (VELKORA_LIKELY(f.depth <= MAX_DEPTH)) {
                        for (;;) {
                            bool progress = false;
                            while (f.remaining != 0 && short_part(r, f.depth)) {
                                --f.remaining;
                                progress = true;
                            }
                            if (f.remaining == 0) return close_container();
                            // A probe keeps what it has passed before reading a part the bytes may cut.
                            if (!kStraight && progress) return SkipStep::Next;
                            uint8_t tag;
                            if (!r.read_u8(&tag)) return SkipStep::Wait;
                            SkipStep s = open(r, tag, f.depth);
                            // A skip goes on here while the part was passed whole, opening no frame.
                            if (!kStraight || s != SkipStep::Next || &stack_.top() != &f) return s;
                        }
                    }
                }
                [[fallthrough]];
            case Container::Enum:
                if (f.remaining == 0) return close_container();
                break;
            case Container::NamedList:
            case Container::Map:
                if (f.phase == kKey && f.remaining == 0) return close_container();
                break;
            case Container::MapEntryIter:
                if constexpr (Rules::kShortValues) {
                    bool progress = false;
                    while (f.depth <= MAX_DEPTH) {
                        if (f.phase == kKey) {
                            if (r.at_end() || r.peek() == END || !short_part(r, f.depth)) break;
                            f.phase = kValue;
                        } else {
                            if (!short_part(r, f.depth)) break;
                            f.phase = kKey;
                        }
                        progress = true;
                    }
                    if (!kStraight && progress) return SkipStep::Next;
                }
                end_allowed = f.phase == kKey;
                break;
            case Container::Iterator:
                if constexpr (Rules::kShortValues) {
                    bool progress = false;
                    while (f.depth <= MAX_DEPTH && !r.at_end() && r.peek() != END && short_part(r, f.depth))
                        progress = true;
                    if (!kStraight && progress) return SkipStep::Next;
                }
                end_allowed = true;
                break;
            case Container::MapEntry:
            case Container::DocList:
                if (f.phase == kDone) return close_container();
                break;
            case Container::Document:
                if (f.phase != kKey) break;  // a field's value, a child, a name, the boost
                if (!f.until_end && f.remaining == 0) return close_container();
                return self().item(r, f);
        }
        return part(r, f, end_allowed);
    }

    uint64_t pos_;
    uint64_t needed_length_;
    bool needed_in_varint_;
    Walked final_;
};

}  // namespace velkora::wire
