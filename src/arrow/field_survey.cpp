// src/arrow/field_survey.cpp: counting the wire kinds of every document field, without building values.
//
// The envelope is walked by locate_docs' walk (envelope_walk.hpp), noting numFound and the like on the way;
// documents are read with the Arrow decoder's header and entry rules, so a body the survey accepts is laid
// out the way deserialize_arrow expects. Values are classified by their tag and skipped; only nested
// documents are descended into.
#include "arrow/field_survey.hpp"

#include "arrow/column_plan.hpp"
#include "arrow/envelope_walk.hpp"
#include "arrow/row_decoder.hpp"
#include "core/envelope.hpp"
#include "core/extern_strings.hpp"
#include "core/skip.hpp"

namespace velkora::arrow {

using wire::ByteSpan;
using wire::DecodeError;
using wire::kListHeaderItemDepth;
using wire::kResponseEntryDepth;
using wire::Reader;

const char* wire_kind_name(WireKind kind) {
    static constexpr const char* kNames[kWireKinds] = {
        "null", "bool", "byte", "short", "int", "long", "float", "double", "date", "string", "bytes",
        "array", "map", "named list", "solr document", "solr document list", "typed array", "extern reference",
    };
    return kNames[static_cast<size_t>(kind)];
}

namespace {

/// The kind a value will decode to, from its tag; false for tags that are not values (END, unknown).
bool classify(uint8_t tag, WireKind* out) {
    switch (wire::group_of(tag)) {
        case wire::GROUP_STR: *out = WireKind::String; return true;
        case wire::GROUP_EXTERN_STRING:
            *out = (tag & wire::SIZE_BITS) == 0 ? WireKind::String : WireKind::ExternReference;
            return true;
        case wire::GROUP_SINT: *out = WireKind::Int; return true;
        case wire::GROUP_SLONG: *out = WireKind::Long; return true;
        case wire::GROUP_ARR: *out = WireKind::Array; return true;
        case wire::GROUP_ORDERED_MAP:
        case wire::GROUP_NAMED_LST: *out = WireKind::NamedList; return true;
        default: break;
    }
    switch (tag) {
        case wire::NULL_TAG: *out = WireKind::Null; return true;
        case wire::BOOL_TRUE:
        case wire::BOOL_FALSE: *out = WireKind::Bool; return true;
        case wire::BYTE: *out = WireKind::Byte; return true;
        case wire::SHORT: *out = WireKind::Short; return true;
        case wire::INT: *out = WireKind::Int; return true;
        case wire::LONG: *out = WireKind::Long; return true;
        case wire::FLOAT: *out = WireKind::Float; return true;
        case wire::DOUBLE: *out = WireKind::Double; return true;
        case wire::DATE: *out = WireKind::Date; return true;
        case wire::BYTEARR: *out = WireKind::Bytes; return true;
        case wire::ITERATOR: *out = WireKind::Array; return true;
        case wire::MAP:
        case wire::MAP_ENTRY_ITER:
        case wire::MAP_ENTRY: *out = WireKind::Map; return true;
        case wire::ENUM_FIELD_VALUE: *out = WireKind::NamedList; return true;
        case wire::SOLRDOC:
        case wire::SOLRINPUTDOC: *out = WireKind::SolrDocument; return true;
        case wire::SOLRDOCLST: *out = WireKind::SolrDocumentList; return true;
        case wire::TYPED_ARR: *out = WireKind::TypedArray; return true;
        default: return false;
    }
}

bool is_scalar(WireKind kind) { return kind < WireKind::Array; }

class Surveyor {
public:
    Surveyor(Reader& r, std::optional<uint64_t> sample, FieldSurvey& out) : r_(r), sample_(sample), s_(out) {}

    bool body() {
        if (!wire::read_version(r_)) return false;
        EnvelopeStep step = ArrowEnvelopeWalk<Surveyor>(r_, table_, *this).walk();
        if (out_of_memory_) return r_.fail_out_of_memory();  // what was kept is not the whole finding
        if (step == EnvelopeStep::Failed) return false;
        return step == EnvelopeStep::Stop || finish();
    }

private:
    /// Notes a keeping that found no memory: the walk goes on, and the survey then fails.
    void kept(bool allocated) {
        if (VELKORA_UNLIKELY(!allocated)) out_of_memory_ = true;
    }

    /// The body was walked to its end: the table is whole, and nothing may follow the top-level value.
    bool finish() {
        if (!r_.at_end()) return r_.fail_trailing(r_.remaining());
        return true;
    }

    bool peek(uint8_t* tag) { return wire::peek_tag(r_, tag); }

    /// An EXTERN_STRING after its tag: `*index` is the 0-based entry it stands for, and has its place in
    /// `positions_`.
    bool extern_index(uint8_t tag, size_t* index) {
        uint64_t size;
        if (!r_.read_size(tag, &size)) return false;
        if (size != 0) {
            // positions_ is never longer than the table, so a reference within it is to a defined string.
            if (VELKORA_LIKELY(size - 1 < positions_.size())) {
                *index = static_cast<size_t>(size - 1);
                return true;
            }
            if (size - 1 >= table_.size()) return r_.fail_beyond_table(r_.position());
            *index = static_cast<size_t>(size - 1);
        } else {
            ByteSpan text;
            if (!wire::read_extern_definition(r_, &table_, &text)) return false;
            *index = table_.size() - 1;
        }
        // Strings a skipped value defined get their place too.
        if (!wire::allocates([&] { positions_.resize(table_.size(), kUnknown); })) return r_.fail_out_of_memory();
        return true;
    }

    /// A field name: STR or EXTERN_STRING (`*index` set for the latter); anything else is UnexpectedValue at
    /// the key (the envelope's keys are read_envelope_key's).
    bool name(std::string_view* text, size_t* index) {
        uint64_t key_offset = r_.position();
        uint8_t tag;
        if (!r_.read_u8(&tag)) return false;
        *index = SIZE_MAX;
        if (wire::group_of(tag) == wire::GROUP_STR) {
            ByteSpan bytes;
            if (!r_.read_str(tag, &bytes)) return false;
            *text = {reinterpret_cast<const char*>(bytes.data), bytes.size};
            return true;
        }
        if (wire::group_of(tag) == wire::GROUP_EXTERN_STRING) {
            if (!extern_index(tag, index)) return false;
            *text = table_.at(*index);
            return true;
        }
        return r_.fail_unexpected("field name or child document", key_offset, "other tag");
    }

    /// A scalar of the envelope (numFound and the like); anything else is stepped over.
    bool envelope_scalar(uint32_t depth, ScalarValue* v) {
        uint8_t tag;
        if (!peek(&tag)) return false;
        WireKind kind;
        v->kind = ScalarValue::Kind::Null;
        if (classify(tag, &kind) && is_scalar(kind)) return read_scalar(r_, table_, v);
        return wire::skip_value(r_, depth, &table_);
    }

    static std::optional<int64_t> as_integer(const ScalarValue& v) {
        if (v.kind == ScalarValue::Kind::Int32) return v.i32;
        if (v.kind == ScalarValue::Kind::Int64) return v.i64;
        return std::nullopt;
    }

    // The survey's part in the envelope walk: it notes what it meets, and walks on after the documents so that
    // the whole body is checked.
    friend class ArrowEnvelopeWalk<Surveyor>;

    void top(uint8_t tag) {
        WireKind kind;
        if (classify(tag, &kind)) s_.envelope.top = kind;
    }
    void without_response() { s_.complete = true; }
    void envelope_key(std::string_view key, bool present) {
        if (s_.envelope.keys.size() < kMaxEnvelopeKeys)
            kept(wire::allocates([&] { s_.envelope.keys.emplace_back(present ? key : std::string_view{}); }));
    }
    // The key's text may move when the response defines strings: it is kept until the response is walked.
    void response_key(std::string_view key) { kept(wire::allocates([&] { response_key_ = std::string(key); })); }
    void response(uint8_t tag) {
        WireKind kind;
        if (classify(tag, &kind)) s_.envelope.response = kind;
    }
    void response_decided() { s_.envelope.response_key = std::move(response_key_); }
    EnvelopeStep list_docs_not_array() { return other_docs(); }
    EnvelopeStep documents(uint8_t) {
        if (!documents()) return EnvelopeStep::Failed;
        return stopped_ ? EnvelopeStep::Stop : EnvelopeStep::Next;
    }
    EnvelopeStep other_docs() {
        s_.complete = true;
        return wire::skip_value(r_, kResponseEntryDepth, &table_) ? EnvelopeStep::Next : EnvelopeStep::Failed;
    }
    bool response_entry(std::string_view key, bool present) {
        if (!present || (key != wire::kNumFoundKey && key != wire::kStartKey))
            return wire::skip_value(r_, kResponseEntryDepth, &table_);
        bool num_found = key == wire::kNumFoundKey;  // the key's text may move when the value defines a string
        ScalarValue v;
        if (!envelope_scalar(kResponseEntryDepth, &v)) return false;
        (num_found ? s_.envelope.num_found : s_.envelope.start) = as_integer(v);
        return true;
    }
    EnvelopeStep response_ended(bool docs_seen) {
        if (!docs_seen) s_.complete = true;
        return EnvelopeStep::Next;
    }

    /// The document list header [numFound, start, maxScore, numFoundExact]; not an array: stepped over.
    bool list_header() {
        uint8_t tag;
        if (!peek(&tag)) return false;
        if (wire::group_of(tag) != wire::GROUP_ARR) return wire::skip_value(r_, kResponseEntryDepth, &table_);
        (void)r_.read_u8(&tag);
        uint64_t n;
        if (!r_.read_size(tag, &n)) return false;
        for (uint64_t i = 0; i < n; ++i) {
            ScalarValue v;
            if (!envelope_scalar(kListHeaderItemDepth, &v)) return false;
            if (i == 0) s_.envelope.num_found = as_integer(v);
            if (i == 1) s_.envelope.start = as_integer(v);
            if (i == 2 && v.kind == ScalarValue::Kind::Float32) s_.envelope.max_score = v.f32;
            if (i == 2 && v.kind == ScalarValue::Kind::Float64) s_.envelope.max_score = v.f64;
        }
        return true;
    }

    bool sample_full() const { return sample_ && s_.documents >= *sample_; }

    /// The documents sequence, the reader on its ARR or ITERATOR tag.
    bool documents() {
        uint8_t tag;
        (void)r_.read_u8(&tag);
        if (tag == wire::ITERATOR) {
            s_.envelope.docs = EnvelopeShape::Docs::Terminated;
            for (;;) {
                if (!peek(&tag)) return false;
                if (tag == wire::END) {
                    (void)r_.read_u8(&tag);
                    s_.complete = true;
                    return true;
                }
                if (sample_full()) return stop();
                if (!document(0, true)) return false;
            }
        }
        s_.envelope.docs = EnvelopeShape::Docs::Counted;
        uint64_t n;
        if (!r_.read_size(tag, &n)) return false;
        s_.envelope.declared = n;
        for (uint64_t i = 0; i < n; ++i) {
            if (sample_full()) return stop();
            if (!document(0, true)) return false;
        }
        s_.complete = true;
        return true;
    }

    bool stop() {
        stopped_ = true;
        return true;
    }

    /// The field's position in the tally (kUntallied past kMaxFields names); an extern name remembers it
    /// in `positions_`.
    size_t field(std::string_view text, size_t extern_index) {
        if (extern_index == SIZE_MAX) return position_of(text);
        uint32_t& word = positions_[extern_index];
        if (word != kUnknown) return word;
        size_t position = position_of(text);
        if (position != kUntallied) word = static_cast<uint32_t>(position);
        return position;
    }

    /// The field's place in the tallies, a new one for a name not met before; kUntallied past the bound,
    /// or when memory runs out (then also remembered, and the survey fails).
    size_t position_of(std::string_view text) {
        size_t position = kUntallied;
        kept(wire::allocates([&] {
            std::string name(text);
            auto it = s_.index.find(name);
            if (it != s_.index.end()) {
                position = it->second;
                return;
            }
            if (s_.fields.size() >= kMaxFields) return;
            // Room first, so that a name in the index always has its tally.
            if (s_.fields.size() == s_.fields.capacity()) s_.fields.reserve(s_.fields.size() * 2 + 8);
            s_.index.emplace(name, s_.fields.size());
            s_.fields.push_back(FieldTally{std::move(name)});  // room was reserved: cannot throw
            position = s_.fields.size() - 1;
        }));
        return position;
    }

    /// The tally of field `f`; values of untallied fields are counted apart and go to a scratch tally.
    FieldTally& tally(size_t f) {
        if (VELKORA_LIKELY(f != kUntallied)) return s_.fields[f];
        ++s_.untallied;
        return scratch_;
    }

    /// One document (the reader on its tag) and, through its fields and children, its whole tree. `depth`
    /// counts documents below the top-level one, as explode mode counts them: the same limit, the same
    /// place of failure. Field values are skipped from level 0, as the row decoders skip them.
    bool document(uint32_t depth, bool top) {
        if (VELKORA_UNLIKELY(depth > wire::MAX_DEPTH)) return r_.fail_depth(r_.position());
        uint64_t row = s_.rows++;
        if (top) ++s_.documents;
        return for_each_entry(r_, [&] VELKORA_INLINE_LAMBDA {
            uint8_t tag;
            if (!peek(&tag)) return false;
            if (tag == wire::SOLRDOC) {
                ++s_.children;
                return document(depth + 1, false);
            }
            std::string_view text;
            size_t index;
            if (!name(&text, &index)) return false;
            size_t f = field(text, index);
            FieldTally& t = tally(f);
            if (t.last_row != row) {
                t.last_row = row;
                ++t.rows;
            }
            return value(f, depth);
        });
    }

    /// A field's value: counted by kind; a list's items counted one by one; a document walked as a child
    /// row, and so is each item of a list whose first item is a document, as explode mode reads them.
    /// Documents later in a list of other values are skipped with it: explode mode makes no rows of them.
    /// The field is passed by position: walking a nested document may add fields and move the tally.
    bool value(size_t f, uint32_t document_depth) {
        uint8_t tag;
        if (!peek(&tag)) return false;
        WireKind kind;
        if (!classify(tag, &kind)) return wire::skip_value(r_, 0, &table_);  // refused or END: as the skipper says
        if (VELKORA_LIKELY(f != kUntallied)) ++s_.fields[f].values[static_cast<size_t>(kind)];
        if (tag == wire::SOLRDOC) {
            ++s_.nested_documents;
            return document(document_depth + 1, false);
        }
        if (kind != WireKind::Array) return wire::skip_value(r_, 0, &table_);
        (void)r_.read_u8(&tag);
        bool children = false;
        if (tag == wire::ITERATOR) {
            for (bool first = true;; first = false) {
                if (!peek(&tag)) return false;
                if (tag == wire::END) {
                    (void)r_.read_u8(&tag);
                    return true;
                }
                if (first) children = tag == wire::SOLRDOC;
                if (!item(f, document_depth, children)) return false;
            }
        }
        uint64_t n;
        if (!r_.read_size(tag, &n)) return false;
        for (uint64_t i = 0; i < n; ++i) {
            if (i == 0) {
                if (!peek(&tag)) return false;
                children = tag == wire::SOLRDOC;
            }
            if (!item(f, document_depth, children)) return false;
        }
        return true;
    }

    /// An item of a list value: a part of a value at level 0, or, in a list of `children`, a child document
    /// read as explode mode reads each of them: a map there is one too, any other kind fails.
    bool item(size_t f, uint32_t document_depth, bool children) {
        uint8_t tag;
        if (!peek(&tag)) return false;
        WireKind kind;
        bool known = classify(tag, &kind);
        if (known && VELKORA_LIKELY(f != kUntallied)) ++s_.fields[f].items[static_cast<size_t>(kind)];
        if (children) {
            ++s_.nested_documents;
            return document(document_depth + 1, false);
        }
        return wire::skip_value(r_, 1, &table_);
    }

    static constexpr size_t kUntallied = SIZE_MAX;

    Reader& r_;
    std::optional<uint64_t> sample_;
    FieldSurvey& s_;
    wire::ExternStrings table_;
    /// The tally position of each extern string met as a field name, indexed like `table_` and grown by
    /// extern_index() (kUnknown: not looked up yet, or untallied).
    std::vector<uint32_t> positions_;
    static constexpr uint32_t kUnknown = ~uint32_t{0};
    FieldTally scratch_;
    std::string response_key_;
    bool stopped_ = false;
    bool out_of_memory_ = false;

public:
    uint64_t table_size() const { return table_.size(); }
};

}  // namespace

bool survey_fields(ByteSpan data, std::optional<uint64_t> sample, FieldSurvey* out, DecodeError* error) {
    Reader r(data.data, data.size);
    Surveyor surveyor(r, sample, *out);
    bool ok = surveyor.body();
    out->extern_strings = surveyor.table_size();
    if (ok) return true;
    if (out->complete && r.error.kind != wire::ErrorKind::OutOfMemory) {  // running out of memory is no finding
        if (wire::allocates([&] { out->rest_error = r.error.message(); })) return true;
        (void)r.fail_out_of_memory();
    }
    *error = std::move(r.error);
    return false;
}

}  // namespace velkora::arrow
