// src/arrow/row_decoder.cpp: locating the documents of a response and decoding each into one row.
//
// Values travel from the input bytes into the builders: strings are borrowed until the builder copies
// them, field names are looked up straight from the input (or once per extern string), and the values of
// fields outside the schema are skipped without being decoded into anything.
#include "arrow/row_decoder.hpp"

#include <algorithm>
#include <bit>
#include <string_view>

#include "arrow/envelope_walk.hpp"
#include "arrow/pending_rows.hpp"
#include "core/envelope.hpp"
#include "core/skip.hpp"

namespace velkora::arrow {

using wire::ByteSpan;
using wire::DecodeError;
using wire::kEnvelopeEntryDepth;
using wire::KeyName;
using wire::kResponseEntryDepth;
using wire::peek_tag;
using wire::Reader;

namespace {

/// The entries of ArrowRowDecoder::extern_columns besides column numbers: a name not looked up yet, and
/// one the schema has no column for.
constexpr uint32_t kUnrouted = ~uint32_t{0};
constexpr uint32_t kNoColumn = kUnrouted - 1;

std::string_view as_text(ByteSpan s) { return {reinterpret_cast<const char*>(s.data), s.size}; }

/// Reads the size after an EXTERN_STRING tag; for a definition also the string, which is appended to
/// `table`. `*index` is the 0-based table entry the value stands for. A reference beyond the table is
/// UnexpectedEof just after its size.
VELKORA_INLINE bool read_extern(Reader& r, uint8_t tag, wire::ExternStrings& table, size_t* index) {
    uint64_t size;
    if (!r.read_size(tag, &size)) return false;
    if (VELKORA_LIKELY(size != 0)) {
        if (VELKORA_UNLIKELY(size - 1 >= table.size())) return r.fail_beyond_table(r.position());
        *index = static_cast<size_t>(size - 1);
        return true;
    }
    ByteSpan text;
    if (!wire::read_extern_definition(r, &table, &text)) return false;
    *index = table.size() - 1;
    return true;
}

/// locate_docs' part in the envelope walk: the walk stops where the documents start, or where it is clear
/// that there are none.
class DocsLocator {
public:
    DocsLocator(Reader& r, wire::ExternStrings& table, DocsSequence* out) : r_(r), table_(table), out_(out) {}

    void top(uint8_t) {}
    void without_response() {}
    void envelope_key(std::string_view, bool) {}
    void response_key(std::string_view) {}
    void response(uint8_t) {}
    void response_decided() {}
    bool list_header() { return skip(); }  // whatever it is
    EnvelopeStep list_docs_not_array() { return EnvelopeStep::Stop; }
    /// An ARR counts the documents, an ITERATOR ends with END.
    EnvelopeStep documents(uint8_t tag) {
        (void)r_.read_u8(&tag);
        if (tag == wire::ITERATOR) {
            out_->kind = DocsSequence::Kind::Terminated;
            return EnvelopeStep::Stop;
        }
        out_->kind = DocsSequence::Kind::Counted;
        return r_.read_size(tag, &out_->count) ? EnvelopeStep::Stop : EnvelopeStep::Failed;
    }
    EnvelopeStep other_docs() { return skip() ? EnvelopeStep::Stop : EnvelopeStep::Failed; }
    bool response_entry(std::string_view, bool) { return skip(); }
    EnvelopeStep response_ended(bool) { return EnvelopeStep::Stop; }

private:
    bool skip() { return wire::skip_value(r_, kResponseEntryDepth, &table_); }

    Reader& r_;
    wire::ExternStrings& table_;
    DocsSequence* out_;
};

/// read_scalar, inlined into the row loop.
VELKORA_INLINE bool scalar_value(Reader& r, wire::ExternStrings& table, ScalarValue* out) {
    using K = ScalarValue::Kind;
    uint64_t tag_offset = r.position();
    uint8_t tag;
    if (!r.read_u8(&tag)) return false;
    switch (wire::group_of(tag)) {
        case wire::GROUP_STR: out->kind = K::Str; return r.read_str(tag, &out->bytes);
        case wire::GROUP_SINT: out->kind = K::Int32; return wire::read_small_int(r, tag, &out->i32);
        case wire::GROUP_SLONG: out->kind = K::Int64; return wire::read_small_long(r, tag, &out->i64);
        case wire::GROUP_ARR:
        case wire::GROUP_ORDERED_MAP:
        case wire::GROUP_NAMED_LST: return r.fail_unexpected("scalar value", tag_offset, "container");
        case wire::GROUP_EXTERN_STRING: {
            uint64_t size;
            if (!r.read_size(tag, &size)) return false;
            if (size != 0) return fail_mismatch(r, "inline value (unexpected extern-string reference)");
            out->kind = K::Str;
            return wire::read_extern_definition(r, &table, &out->bytes);
        }
        default: break;
    }
    switch (tag) {
        case wire::NULL_TAG: out->kind = K::Null; return true;
        case wire::BOOL_TRUE:
        case wire::BOOL_FALSE:
            out->kind = K::Bool;
            out->boolean = tag == wire::BOOL_TRUE;
            return true;
        case wire::BYTE: out->kind = K::Int32; return wire::read_byte(r, &out->i32);
        case wire::SHORT: out->kind = K::Int32; return wire::read_short(r, &out->i32);
        case wire::INT: out->kind = K::Int32; return wire::read_int(r, &out->i32);
        case wire::LONG: out->kind = K::Int64; return wire::read_long(r, &out->i64);
        case wire::DATE: out->kind = K::Date; return wire::read_long(r, &out->i64);
        case wire::FLOAT: out->kind = K::Float32; return wire::read_float(r, &out->f32);
        case wire::DOUBLE: out->kind = K::Float64; return wire::read_double(r, &out->f64);
        case wire::BYTEARR: {
            uint32_t length;
            out->kind = K::Bytes;
            return r.read_vint(&length) && r.take(length, &out->bytes);
        }
        default: return r.fail_unexpected("scalar value", tag_offset, "container/other");
    }
}

/// Records a scalar's value as the first of a multi-valued field keeps it, or a null.
struct FirstValue {
    ScalarValue value;
    bool found = false;
};

/// The storage layout of a scalar kind's values.
Layout layout_of(ColumnKind kind) {
    switch (kind) {
        case ColumnKind::Int32:
        case ColumnKind::Float32: return Layout::Fixed32;
        case ColumnKind::Boolean: return Layout::Bits;
        case ColumnKind::Utf8:
        case ColumnKind::Binary: return Layout::Variable;
        default: return Layout::Fixed64;
    }
}

/// An empty builder for a column (its arrays made by arrays.hpp, not by nanoarrow: see there why), with
/// room for 1024 values. False when memory runs out.
bool new_builder(const Column& c, nanoarrow::UniqueArray* out) {
    return make_builder_array(out->get(), c.is_list ? Layout::List : layout_of(c.item), layout_of(c.item), 1024);
}

}  // namespace

ArrowRowDecoder::ArrowRowDecoder(SharedPlan plan) : pending(std::make_unique<PendingTree>()), plan_(std::move(plan)) {
    columns.reserve(plan_->columns.size());
    for (const PlannedColumn& planned : plan_->columns) {
        Column& c = columns.emplace_back();
        c.kind = planned.kind;
        c.item = planned.item;
        c.is_list = planned.is_list;
    }
    seen.assign((columns.size() + 7) / 8 * 8, 0);
}
ArrowRowDecoder::~ArrowRowDecoder() = default;

bool ArrowRowDecoder::start_builders() {
    for (Column& c : columns) {
        nanoarrow::UniqueArray builder;
        if (!new_builder(c, &builder)) return false;
        adopt_builder(c, std::move(builder));
    }
    return true;
}

bool ArrowRowDecoder::build(SharedSchema schema, ChildrenMode mode, const MetaNames& names,
                            std::unique_ptr<ArrowRowDecoder>* out, DecodeError* error) {
    SharedPlan plan;
    if (!ColumnPlan::build(std::move(schema), mode, names, &plan, error)) return false;
    std::unique_ptr<ArrowRowDecoder> decoder;
    // Made once, before any document: the standard containers report running out of memory here.
    if (!wire::allocates([&] { decoder = std::make_unique<ArrowRowDecoder>(std::move(plan)); }) ||
        !decoder->start_builders())
        return out_of_memory(error);
    *out = std::move(decoder);
    return true;
}

void ArrowRowDecoder::adopt_builder(Column& c, nanoarrow::UniqueArray builder) {
    c.builder = std::move(builder);
    c.values = c.is_list ? c.builder->children[0] : c.builder.get();
    ArrayStorage& values = storage_of(c.values);
    bool variable = c.item == ColumnKind::Utf8 || c.item == ColumnKind::Binary;
    c.data = &values.data;
    c.offsets = variable ? &values.offsets : nullptr;
    c.validity = &values.validity;
    c.list_offsets = c.is_list ? &storage_of(c.builder.get()).offsets : nullptr;
}

bool ArrowRowDecoder::offset_limit_error(const Column& c, DecodeError* error) const {
    const char* name = plan_->columns[static_cast<size_t>(&c - columns.data())].name;
    bool written = wire::allocates([&] {
        error->text = std::string("Invalid argument error: column '") + name +
                      "' exceeds the 32-bit offset limit of one batch";
    });
    return written ? fail(error, Failure::ArrowBuild) : out_of_memory(error);
}

bool ArrowRowDecoder::mismatch(const char* expected, DecodeError* error) {
    error->expected = expected;
    return fail(error, Failure::ArrowTypeMismatch);
}

void ArrowRowDecoder::drop_last(uint32_t column) { pop_last_entry(columns[column].builder.get()); }

void ArrowRowDecoder::roll_back(const RowCheckpoint& checkpoint) {
    for (Column& c : columns) truncate_entries(c.builder.get(), static_cast<int64_t>(checkpoint.rows));
    rows = checkpoint.rows;
    externs.truncate(checkpoint.externs);
    if (extern_columns.size() > checkpoint.externs) extern_columns.resize(checkpoint.externs);
    for (size_t i = checkpoint.externs + 1; i < short_routes.size(); ++i) short_routes[i] = kUnrouted;
}

void ArrowRowDecoder::reserve_rows(uint64_t rows) {
    auto n = static_cast<int64_t>(rows);
    for (Column& c : columns) {
        bool reserved;  // a refusal leaves the buffer as it was, to grow as it fills
        if (c.is_list) {
            reserved = reserve_bytes(c.list_offsets, n * 4);
        } else if (c.offsets) {
            reserved = reserve_bytes(c.offsets, n * 4);
        } else if (c.kind == ColumnKind::Boolean) {
            reserved = reserve_bytes(c.data, (n + 7) / 8);
        } else {
            reserved = reserve_bytes(c.data, n * (c.kind == ColumnKind::Int32 || c.kind == ColumnKind::Float32 ? 4 : 8));
        }
        if (!reserved) return;
    }
}

bool ArrowRowDecoder::finish_columns(std::vector<nanoarrow::UniqueArray>* out) {
    // Everything that allocates comes first: running out of memory leaves every column as it was.
    std::vector<nanoarrow::UniqueArray> fresh;
    if (!wire::allocates([&] {
            fresh.resize(columns.size());
            out->clear();
            out->reserve(columns.size());
        }))
        return false;
    for (size_t i = 0; i < columns.size(); ++i)
        if (!new_builder(columns[i], &fresh[i])) return false;
    for (size_t i = 0; i < columns.size(); ++i) {
        seal_array(columns[i].builder.get());
        out->push_back(std::move(columns[i].builder));  // room was reserved: cannot throw
        adopt_builder(columns[i], std::move(fresh[i]));
    }
    return true;
}

void locate_failure(DecodeError& error, const char* column, uint64_t value_offset) {
    if (error.kind == wire::ErrorKind::OutOfMemory) return;  // raised as MemoryError, which names no place
    if (!wire::allocates([&] { error.field = column; })) {
        out_of_memory(&error);
        return;
    }
    if (is_failure(error, Failure::ArrowTypeMismatch) || is_failure(error, Failure::ArrowBuild)) {
        error.offset = value_offset;
        error.located = true;
    }
}

namespace {

/// Where the failure at `failed_at` lies in the field value that starts at `value`: the value itself, or
/// within a multi-valued one the element the failure ends in (past the last, the first: a scalar column's
/// ITERATOR fails at its END, keeping only its first element).
uint64_t value_or_element(Reader& w, uint64_t value, uint64_t failed_at, wire::ExternStrings& scratch) {
    w.set_position(value);
    uint8_t tag = w.at_end() ? uint8_t{wire::NULL_TAG} : w.peek();
    bool terminated_elements = tag == wire::ITERATOR;
    if (wire::group_of(tag) != wire::GROUP_ARR && !terminated_elements) return value;
    uint64_t n = 0;
    (void)w.read_u8(&tag);
    if (!terminated_elements && !w.read_size(tag, &n)) return value;
    uint64_t first = w.position();
    for (uint64_t k = 0; terminated_elements || k < n; ++k) {
        if (w.at_end() || w.peek() == wire::END) return first;
        uint64_t element = w.position();
        if (!wire::skip_value(w, 2, &scratch) || w.position() >= failed_at) return element;
    }
    return first;
}

}  // namespace

uint64_t failing_value_start(const uint8_t* data, uint64_t start, uint64_t failed_at) {
    // Everything before `failed_at` was read once already; reading stops there. Extern strings defined on
    // the way go into a table of this walk's own.
    Reader w(data, static_cast<size_t>(failed_at));
    w.set_position(start);
    wire::ExternStrings scratch;
    uint64_t found = failed_at;
    (void)for_each_entry(w, [&] VELKORA_INLINE_LAMBDA {
        if (!wire::skip_value(w, 1, &scratch)) return false;
        uint64_t value = w.position();
        if (wire::skip_value(w, 1, &scratch) && w.position() < failed_at) return true;  // ends before: not this one
        found = value_or_element(w, value, failed_at, scratch);
        return false;
    });
    return found;
}

bool fail_mismatch(Reader& r, const char* expected) {
    r.error = DecodeError{};
    r.error.expected = expected;
    return fail(&r.error, Failure::ArrowTypeMismatch);
}

bool read_envelope_key(wire::ExternStrings& table, Reader& r, std::string_view* key, bool* present) {
    uint64_t tag_offset = r.position();
    uint8_t tag;
    if (!r.read_u8(&tag)) return false;
    *present = true;
    switch (wire::group_of(tag)) {
        case wire::GROUP_STR: {
            ByteSpan text;
            if (!r.read_str(tag, &text)) return false;
            *key = as_text(text);
            return true;
        }
        case wire::GROUP_EXTERN_STRING: {
            size_t index;
            if (!read_extern(r, tag, table, &index)) return false;
            *key = table.at(index);
            return true;
        }
        default:
            if (tag == wire::NULL_TAG) {
                *present = false;
                return true;
            }
            return r.fail_unexpected("field name (string or null)", tag_offset, "other tag");
    }
}

bool next_entry(Reader& r, uint64_t index, uint64_t count, bool terminated, bool* more) {
    if (!terminated) {
        *more = index < count;
        return true;
    }
    if (VELKORA_UNLIKELY(r.at_end())) return r.fail_eof(r.position(), r.position() + 1);
    *more = r.peek() != wire::END;
    if (!*more) r.set_position(r.position() + 1);
    return true;
}

bool locate_docs(ArrowRowDecoder& d, Reader& r, DocsSequence* out) {
    out->kind = DocsSequence::Kind::NotFound;
    DocsLocator locator(r, d.externs, out);
    return ArrowEnvelopeWalk<DocsLocator>(r, d.externs, locator).walk() != EnvelopeStep::Failed;
}

bool read_scalar(Reader& r, wire::ExternStrings& table, ScalarValue* out) { return scalar_value(r, table, out); }

bool read_document_header(Reader& r, uint64_t* count, bool* terminated) {
    uint64_t tag_offset = r.position();
    uint8_t tag;
    if (!r.read_u8(&tag)) return false;
    *terminated = false;
    *count = 0;
    uint8_t group = wire::group_of(tag);
    if (tag == wire::SOLRDOC) {
        uint8_t header;  // its top three bits are not checked
        return r.read_u8(&header) && r.read_size(header, count);
    }
    if (group == wire::GROUP_ORDERED_MAP || group == wire::GROUP_NAMED_LST) return r.read_size(tag, count);
    if (tag == wire::MAP_ENTRY_ITER) {
        *terminated = true;
        return true;
    }
    return r.fail_unexpected("SolrDocument or map", tag_offset, "other tag");
}

EntryKey read_entry_key(ArrowRowDecoder& d, Reader& r, int32_t* column, std::string_view* name) {
    uint64_t key_offset = r.position();
    uint8_t tag;
    if (!r.read_u8(&tag)) return EntryKey::Failed;
    switch (wire::group_of(tag)) {
        case wire::GROUP_EXTERN_STRING: {
            size_t index;
            if (!read_extern(r, tag, d.externs, &index)) return EntryKey::Failed;
            *name = d.externs.at(index);
            if (index >= d.extern_columns.size() &&
                !wire::allocates([&] { d.extern_columns.resize(d.externs.size(), kUnrouted); })) {
                r.fail_out_of_memory();
                return EntryKey::Failed;
            }
            uint32_t& word = d.extern_columns[index];
            if (VELKORA_UNLIKELY(word == kUnrouted)) {
                int32_t c = d.plan().lookup(*name);
                word = c < 0 ? kNoColumn : static_cast<uint32_t>(c);
            }
            *column = word == kNoColumn ? -1 : static_cast<int32_t>(word);
            return EntryKey::Field;
        }
        case wire::GROUP_STR: {
            ByteSpan text;
            if (!r.read_str(tag, &text)) return EntryKey::Failed;
            *name = as_text(text);
            *column = d.plan().lookup(*name);
            return EntryKey::Field;
        }
        default:
            if (tag == wire::SOLRDOC) {
                r.set_position(key_offset);
                return EntryKey::Child;
            }
            r.fail_unexpected("field name or child document", key_offset, "other tag");
            return EntryKey::Failed;
    }
}

namespace {

/// Skip mode: routes one field value into its column. A field named again in the same document replaces
/// its earlier value, so every row keeps exactly one value per column. With kNarrow (up to 64 columns),
/// which columns have their value is kept in a mask alone, and the seen flags are neither cleared nor set.
template <bool kNarrow>
class FlatRow {
public:
    /// `start`: where the document's tag is.
    FlatRow(ArrowRowDecoder& d, Reader& r, uint64_t start) : d_(d), r_(r), start_(start) {}

    VELKORA_INLINE bool route(int32_t column) {
        if (column < 0) return wire::skip_value(r_, 0, &d_.externs);
        auto c = static_cast<uint32_t>(column);
        bool ok = d_.columns[c].is_list ? route_list(c) : route_scalar(c);
        if (VELKORA_UNLIKELY(!ok)) return locate(c);
        mark(c);
        return true;
    }

    /// Column `c` has its value in this row.
    VELKORA_INLINE void mark(uint32_t c) {
        if (!kNarrow) d_.seen[c] = 1;
        present_ |= uint64_t{1} << (c & 63);
    }

    /// Ends the row: a null in every column without a value. Up to 64 columns the missing ones are found
    /// from a mask, without going over the others. False when memory runs out.
    VELKORA_INLINE bool fill_missing() {
        size_t n = d_.columns.size();
        if constexpr (kNarrow) {
            uint64_t all = n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
            for (uint64_t missing = all & ~present_; missing != 0; missing &= missing - 1)
                if (!d_.append_null(static_cast<uint32_t>(std::countr_zero(missing)))) return r_.fail_out_of_memory();
            return true;
        }
        for (size_t c = 0; c < n; ++c)
            if (!d_.seen[c] && !d_.append_null(static_cast<uint32_t>(c))) return r_.fail_out_of_memory();
        return true;
    }

private:
    VELKORA_INLINE bool has_value(uint32_t c) const {
        return kNarrow ? (present_ >> c & 1) != 0 : d_.seen[c] != 0;
    }

    /// Names the column of a failed value, and for a kind whose message has no offset, where the value
    /// starts: found again from the document's start, so that the row loop keeps no position for it.
    VELKORA_NOINLINE bool locate(uint32_t c) {
        if (r_.error.kind == wire::ErrorKind::OutOfMemory) return false;  // no place to name: nothing is walked again
        locate_failure(r_.error, d_.plan().columns[c].name, failing_value_start(r_.data(), start_, r_.position()));
        return false;
    }

    VELKORA_INLINE bool store(uint32_t c, const ScalarValue& v) {
        if (VELKORA_UNLIKELY(has_value(c))) d_.drop_last(c);
        return d_.append_scalar(c, v, &r_.error);
    }

    /// The tag Solr writes for the column's kind, read straight into a value of that kind (no dispatch
    /// over every tag). False: not that tag, nothing read.
    VELKORA_INLINE bool expected_value(ColumnKind kind, uint8_t tag, ScalarValue* v) {
        using K = ScalarValue::Kind;
        uint8_t group = wire::group_of(tag);
        switch (kind) {
            case ColumnKind::Utf8:
                if (group != wire::GROUP_STR) return false;
                v->kind = K::Str;
                return true;
            case ColumnKind::Int32: return group == wire::GROUP_SINT && (v->kind = K::Int32, true);
            case ColumnKind::Int64: return group == wire::GROUP_SLONG && (v->kind = K::Int64, true);
            case ColumnKind::Float32: return tag == wire::FLOAT && (v->kind = K::Float32, true);
            case ColumnKind::Float64: return tag == wire::DOUBLE && (v->kind = K::Float64, true);
            case ColumnKind::TimestampMs: return tag == wire::DATE && (v->kind = K::Date, true);
            case ColumnKind::Boolean: return (tag == wire::BOOL_TRUE || tag == wire::BOOL_FALSE) && (v->kind = K::Bool, true);
            default: return false;
        }
    }

    /// Reads the payload of a value whose tag `expected_value` matched (the tag is at the reader).
    VELKORA_INLINE bool read_expected(uint8_t tag, ScalarValue* v) {
        using K = ScalarValue::Kind;
        r_.set_position(r_.position() + 1);
        switch (v->kind) {
            case K::Str: {
                uint64_t size;
                return r_.read_size(tag, &size) && r_.take_utf8(size, &v->bytes);
            }
            case K::Int32: return wire::read_small_int(r_, tag, &v->i32);
            case K::Int64: return wire::read_small_long(r_, tag, &v->i64);
            case K::Float32: return wire::read_float(r_, &v->f32);
            case K::Float64: return wire::read_double(r_, &v->f64);
            case K::Date: return wire::read_long(r_, &v->i64);
            case K::Bool: v->boolean = tag == wire::BOOL_TRUE; return true;
            default: return false;
        }
    }

    /// What append_expected came to. Other: the value is not of the tag Solr writes for the kind; nothing
    /// was read, and the general reader takes it.
    enum class Fast : uint8_t { Done, Failed, Other };

    /// A number of the column's own width whose tag matched, read by `read` and appended to the column.
    template <bool kItem, typename T, typename Read>
    VELKORA_INLINE Fast append_read(Column& col, Read&& read) {
        r_.skip_peeked();
        T v;
        if (!read(&v) || (kItem && !d_.room_for_item(col, &r_.error))) return Fast::Failed;
        if (VELKORA_UNLIKELY(!d_.append_number(col, v))) return r_.fail_out_of_memory(), Fast::Failed;
        return Fast::Done;
    }

    /// The tag Solr writes for a column's kind (a list's item kind, `kItem`), read straight into the
    /// column's buffers: no ScalarValue, one dispatch. The reads are those of the general reader, so a value
    /// that runs out or is not UTF-8 fails as it would there; an item is refused past the batch's offset
    /// limit only once it has been read.
    template <bool kItem>
    VELKORA_INLINE Fast append_expected(Column& col, ColumnKind kind, uint8_t tag) {
        uint8_t group = wire::group_of(tag);
        auto room = [&] { return !kItem || d_.room_for_item(col, &r_.error); };
        switch (kind) {
            case ColumnKind::Utf8: {
                if (group != wire::GROUP_STR) return Fast::Other;
                r_.skip_peeked();
                uint64_t size;
                ByteSpan text;
                if (!r_.read_size(tag, &size) || !r_.take_utf8(size, &text) || !room()) return Fast::Failed;
                return d_.append_text(col, text, &r_.error) ? Fast::Done : Fast::Failed;
            }
            case ColumnKind::Int32:
                if (group != wire::GROUP_SINT) return Fast::Other;
                return append_read<kItem, int32_t>(
                    col, [&](int32_t* v) VELKORA_INLINE_LAMBDA { return wire::read_small_int(r_, tag, v); });
            case ColumnKind::Int64:
                if (group != wire::GROUP_SLONG) return Fast::Other;
                return append_read<kItem, int64_t>(
                    col, [&](int64_t* v) VELKORA_INLINE_LAMBDA { return wire::read_small_long(r_, tag, v); });
            case ColumnKind::Float32:
                if (tag != wire::FLOAT) return Fast::Other;
                return append_read<kItem, float>(
                    col, [&](float* v) VELKORA_INLINE_LAMBDA { return wire::read_float(r_, v); });
            case ColumnKind::Float64:
                if (tag != wire::DOUBLE) return Fast::Other;
                return append_read<kItem, double>(
                    col, [&](double* v) VELKORA_INLINE_LAMBDA { return wire::read_double(r_, v); });
            case ColumnKind::TimestampMs:
                if (tag != wire::DATE) return Fast::Other;
                return append_read<kItem, int64_t>(
                    col, [&](int64_t* v) VELKORA_INLINE_LAMBDA { return wire::read_long(r_, v); });
            case ColumnKind::Boolean: {
                if (tag != wire::BOOL_TRUE && tag != wire::BOOL_FALSE) return Fast::Other;
                r_.skip_peeked();
                if (!room()) return Fast::Failed;
                if (VELKORA_UNLIKELY(!d_.append_boolean(col, tag == wire::BOOL_TRUE)))
                    return r_.fail_out_of_memory(), Fast::Failed;
                return Fast::Done;
            }
            default: return Fast::Other;
        }
    }

    /// One scalar for a column of (item) kind `kind`, kept for the caller: the expected tag straight, anything
    /// else by the general reader.
    VELKORA_INLINE bool read_item(ColumnKind kind, ScalarValue* v) {
        if (!r_.at_end()) {
            uint8_t tag = r_.peek();
            if (expected_value(kind, tag, v)) return read_expected(tag, v);
        }
        return scalar_value(r_, d_.externs, v);
    }

    /// One item appended to the list being built in column `c`.
    VELKORA_INLINE bool list_item(Column& col, uint32_t c) {
        if (VELKORA_LIKELY(!r_.at_end())) {
            Fast f = append_expected<true>(col, col.item, r_.peek());
            if (f != Fast::Other) return f == Fast::Done;
        }
        ScalarValue v;
        return scalar_value(r_, d_.externs, &v) && d_.append_item(c, v, &r_.error);
    }

    VELKORA_INLINE bool route_scalar(uint32_t c) {
        uint8_t tag;
        if (!peek_tag(r_, &tag)) return false;
        Column& col = d_.columns[c];
        if (VELKORA_UNLIKELY(has_value(c))) {  // named again: the new value replaces the old
            d_.drop_last(c);
            if (kNarrow) present_ &= ~(uint64_t{1} << c);
            else d_.seen[c] = 0;
        }
        Fast f = append_expected<false>(col, col.kind, tag);
        if (f != Fast::Other) return f == Fast::Done;
        ScalarValue v;
        if (wire::group_of(tag) == wire::GROUP_ARR) {
            // A multi-valued field keeps its first value; the rest are still read.
            uint64_t n;
            (void)r_.read_u8(&tag);
            if (!r_.read_size(tag, &n)) return false;
            if (n == 0) return store(c, v);
            ColumnKind kind = col.kind;
            if (!read_item(kind, &v) || !store(c, v)) return false;
            for (uint64_t i = 1; i < n; ++i)
                if (!read_item(kind, &v)) return false;
            return true;
        }
        if (tag == wire::ITERATOR) {
            (void)r_.read_u8(&tag);
            FirstValue first;
            for (;;) {
                if (!peek_tag(r_, &tag)) return false;
                if (tag == wire::END) {
                    (void)r_.read_u8(&tag);
                    return store(c, first.value);
                }
                if (!read_item(col.kind, first.found ? &v : &first.value)) return false;
                first.found = true;
            }
        }
        return scalar_value(r_, d_.externs, &v) && store(c, v);
    }

    bool route_list(uint32_t c) {
        uint8_t tag;
        if (!peek_tag(r_, &tag)) return false;
        if (VELKORA_UNLIKELY(has_value(c))) d_.drop_last(c);
        if (tag == wire::NULL_TAG) {
            (void)r_.read_u8(&tag);
            return d_.append_null(c) || r_.fail_out_of_memory();
        }
        Column& col = d_.columns[c];
        if (wire::group_of(tag) == wire::GROUP_ARR) {
            uint64_t n;
            (void)r_.read_u8(&tag);
            if (!r_.read_size(tag, &n)) return false;
            for (uint64_t i = 0; i < n; ++i)
                if (!list_item(col, c)) return false;
        } else if (tag == wire::ITERATOR) {
            (void)r_.read_u8(&tag);
            for (;;) {
                if (!peek_tag(r_, &tag)) return false;
                if (tag == wire::END) {
                    (void)r_.read_u8(&tag);
                    break;
                }
                if (!list_item(col, c)) return false;
            }
        } else if (!list_item(col, c)) {
            return false;
        }
        return d_.close_list(c) || r_.fail_out_of_memory();
    }

    ArrowRowDecoder& d_;
    Reader& r_;
    uint64_t start_;
    uint64_t present_ = 0;  // bit c: column c has its value (columns 0 to 63; the seen flags say it for all)
};

/// The reader stands on the child document's tag.
bool fail_children(Reader& r) {
    r.error = DecodeError{};
    r.error.offset = r.position();
    r.error.located = true;
    return fail(&r.error, Failure::ChildDocumentsInFlatTable);
}

/// The common key: a name referred to by a one-byte extern index whose column is already known.
VELKORA_INLINE bool cached_extern_key(ArrowRowDecoder& d, Reader& r, int32_t* column) {
    if (VELKORA_UNLIKELY(r.at_end())) return false;
    uint8_t tag = r.peek();
    if (wire::group_of(tag) != wire::GROUP_EXTERN_STRING) return false;
    int32_t route = d.short_routes[tag & wire::SIZE_BITS];
    if (route == ArrowRowDecoder::kUnrouted) return false;
    r.skip_peeked();
    *column = route;
    return true;
}

/// After a key read the long way (its tag `tag`, the extern table `before` entries long before it): its
/// column, when the name is an extern string that a one-byte reference reaches.
void remember_route(ArrowRowDecoder& d, uint8_t tag, size_t before, int32_t column) {
    if (wire::group_of(tag) != wire::GROUP_EXTERN_STRING) return;
    size_t reference = tag & wire::SIZE_BITS;
    if (reference == 0 && d.externs.size() == before + 1) reference = before + 1;  // just defined
    if (reference != 0 && reference < 31) d.short_routes[reference] = column;
}

/// Mode skip: one document, one row.
template <bool kNarrow>
bool decode_flat(ArrowRowDecoder& d, Reader& r) {
    FlatRow<kNarrow> row(d, r, r.position());
    if (!kNarrow) d.clear_seen();
    const ColumnPlan& plan = d.plan();
    if (plan.has_metadata) {
        // A document read in this mode is always a top-level row: depth 0, no parent, no field.
        ScalarValue null_value;
        if (plan.depth_column) {
            ScalarValue zero;
            zero.kind = plan.depth_is_int64 ? ScalarValue::Kind::Int64 : ScalarValue::Kind::Int32;
            if (!d.append_scalar(*plan.depth_column, zero, &r.error)) return false;
            row.mark(*plan.depth_column);
        }
        if (plan.child_field_column) {
            if (!d.append_scalar(*plan.child_field_column, null_value, &r.error)) return false;
            row.mark(*plan.child_field_column);
        }
        if (plan.parent_id_column) {
            if (!d.append_scalar(*plan.parent_id_column, null_value, &r.error)) return false;
            row.mark(*plan.parent_id_column);
        }
    }
    bool read = for_each_entry(r, [&] VELKORA_INLINE_LAMBDA {
        int32_t column;
        if (!cached_extern_key(d, r, &column)) {
            uint8_t tag = r.at_end() ? 0 : r.peek();
            size_t before = d.externs.size();
            std::string_view name;
            switch (read_entry_key(d, r, &column, &name)) {
                case EntryKey::Failed: return false;
                case EntryKey::Child: return fail_children(r);
                case EntryKey::Field: break;
            }
            remember_route(d, tag, before, column);
        }
        return row.route(column);
    });
    if (!read || !row.fill_missing()) return false;
    ++d.rows;
    return true;
}

}  // namespace

bool decode_document(ArrowRowDecoder& d, Reader& r) {
    if (d.plan().mode == ChildrenMode::Explode) return decode_tree(d, r);
    return d.columns.size() <= 64 ? decode_flat<true>(d, r) : decode_flat<false>(d, r);
}

}  // namespace velkora::arrow
