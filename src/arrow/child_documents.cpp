// src/arrow/child_documents.cpp: explode mode: every document of a tree becomes a row of its own.
//
// A top-level document's whole tree is read first into pending rows (values borrowed from the input,
// not yet converted), then the rows are emitted in pre-order with their metadata columns: the parent's
// key, the depth, and the name of the field that held the child. A parent's key may come after its
// children on the wire, which is why nothing is emitted before the tree is complete.
#include <cstring>
#include <string_view>

#include "arrow/pending_rows.hpp"
#include "arrow/row_decoder.hpp"
#include "core/skip.hpp"

namespace velkora::arrow {

using wire::Reader;

namespace {

/// The name of the field that holds children, as copied into the tree's names.
struct HeldName {
    uint64_t offset;
    uint64_t size;
};

class TreeCollector {
public:
    TreeCollector(ArrowRowDecoder& d, Reader& r) : d_(d), r_(r), t_(*d.pending), width_(d.columns.size()) {}

    /// Reads the document at the reader as a row under `parent` (-1: top level), held under the field
    /// `field` (nullptr: anonymous or top level), at `depth` below the top-level document.
    bool collect(int64_t parent, const HeldName* field, uint32_t depth) {
        if (VELKORA_UNLIKELY(depth > wire::MAX_DEPTH)) return r_.fail_depth(r_.position());
        auto row = static_cast<int64_t>(t_.rows.size());
        PendingRow pending;
        pending.parent = parent;
        pending.depth = depth;
        if (field) {
            pending.has_child_field = true;
            pending.name_offset = field->offset;
            pending.name_size = field->size;
        }
        size_t values = t_.values.size();
        if (!t_.rows.push(pending) || !t_.values.resize(values + width_)) return r_.fail_out_of_memory();
        for (size_t i = values; i < values + width_; ++i) t_.values[i] = FieldValue{};
        return for_each_entry(r_, [&] VELKORA_INLINE_LAMBDA {
            int32_t column;
            std::string_view name;
            EntryKey key = read_entry_key(d_, r_, &column, &name);
            if (key == EntryKey::Failed) return false;
            if (key == EntryKey::Child) return collect(row, nullptr, depth + 1);
            bool held;
            if (!named_children(row, name, depth, &held)) return false;
            if (held) return true;
            if (column < 0) return wire::skip_value(r_, 0, &d_.externs);
            return read_value(row, static_cast<uint32_t>(column));
        });
    }

    /// Appends the collected rows in pre-order.
    bool emit() {
        for (size_t i = 0; i < t_.rows.size(); ++i)
            if (!emit_row(i)) return false;
        return true;
    }

private:
    /// A copy of `name` in the tree's names, for the children held under it; false when memory runs out.
    bool hold_name(std::string_view name, HeldName* out) {
        out->offset = t_.names.size();
        out->size = name.size();
        if (!t_.names.resize(t_.names.size() + name.size())) return r_.fail_out_of_memory();
        if (!name.empty()) std::memcpy(t_.names.data() + out->offset, name.data(), name.size());
        return true;
    }

    FieldValue& value(int64_t row, uint32_t column) { return t_.values[static_cast<size_t>(row) * width_ + column]; }

    bool peek_tag(uint8_t* tag) {
        if (VELKORA_UNLIKELY(r_.at_end())) return r_.fail_eof(r_.position(), r_.position() + 1);
        *tag = r_.peek();
        return true;
    }

    /// A field value holds children when it is a SOLRDOC, or an ITERATOR or non-empty ARR whose first
    /// element is a SOLRDOC; each element is then collected as a child held under `name`.
    bool named_children(int64_t row, std::string_view name, uint32_t depth, bool* held) {
        *held = false;
        uint8_t tag;
        if (!peek_tag(&tag)) return false;
        uint64_t start = r_.position();
        HeldName field;
        if (tag == wire::SOLRDOC) {
            *held = true;
            return hold_name(name, &field) && collect(row, &field, depth + 1);
        }
        if (tag == wire::ITERATOR) {
            if (r_.remaining() < 2) return r_.fail_eof(start + 1, start + 2);
            if (r_.data()[start + 1] != wire::SOLRDOC) return true;
            *held = true;
            if (!hold_name(name, &field)) return false;
            r_.set_position(start + 1);
            for (;;) {
                if (!peek_tag(&tag)) return false;
                if (tag == wire::END) {
                    r_.set_position(r_.position() + 1);
                    return true;
                }
                if (!collect(row, &field, depth + 1)) return false;
            }
        }
        if (wire::group_of(tag) == wire::GROUP_ARR) {
            uint64_t n;
            (void)r_.read_u8(&tag);
            if (!r_.read_size(tag, &n)) return false;
            if (n > 0) {
                if (!peek_tag(&tag)) return false;
                if (tag == wire::SOLRDOC) {
                    *held = true;
                    if (!hold_name(name, &field)) return false;
                    for (uint64_t i = 0; i < n; ++i)
                        if (!collect(row, &field, depth + 1)) return false;
                    return true;
                }
            }
            r_.set_position(start);  // a plain value: read again from its tag
        }
        return true;
    }

    /// Reads a schema field's value into the row by the routing rules, unconverted. A field named again
    /// replaces its earlier value.
    bool read_value(int64_t row, uint32_t column) {
        bool list = d_.columns[column].is_list;
        uint8_t tag;
        if (!peek_tag(&tag)) return false;
        FieldValue v;
        v.offset = r_.position();
        ScalarValue s;
        bool elements = wire::group_of(tag) == wire::GROUP_ARR || tag == wire::ITERATOR;
        if (!elements) {
            if (!read_scalar(r_, d_.externs, &s)) return false;
            if (!list) {
                v.kind = FieldValue::Kind::Scalar;
                v.scalar = s;
            } else if (s.kind != ScalarValue::Kind::Null) {  // NULL leaves a list column's value absent
                v.kind = FieldValue::Kind::List;
                v.first_item = static_cast<uint32_t>(t_.items.size());
                v.item_count = 1;
                if (!t_.items.push(s)) return r_.fail_out_of_memory();
            }
            value(row, column) = v;
            return true;
        }
        (void)r_.read_u8(&tag);
        uint64_t n = 0;
        bool terminated = tag == wire::ITERATOR;
        if (!terminated && !r_.read_size(tag, &n)) return false;
        v.kind = list ? FieldValue::Kind::List : FieldValue::Kind::Scalar;  // scalar: a null until a first value
        v.first_item = static_cast<uint32_t>(t_.items.size());
        for (uint64_t i = 0;; ++i) {
            bool more;
            if (!next_entry(r_, i, n, terminated, &more)) return false;
            if (!more) break;
            if (!read_scalar(r_, d_.externs, &s)) return false;
            if (list) {
                if (!t_.items.push(s)) return r_.fail_out_of_memory();
                ++v.item_count;
            } else if (i == 0) {
                v.scalar = s;  // a multi-valued field keeps its first value
            }
        }
        value(row, column) = v;
        return true;
    }

    bool emit_row(size_t i) {
        const PendingRow& row = t_.rows[i];
        d_.clear_seen();
        wire::DecodeError* error = &r_.error;
        const ColumnPlan& plan = d_.plan();
        if (plan.depth_column) {
            ScalarValue depth;
            depth.kind = plan.depth_is_int64 ? ScalarValue::Kind::Int64 : ScalarValue::Kind::Int32;
            if (plan.depth_is_int64) depth.i64 = row.depth;
            else depth.i32 = static_cast<int32_t>(row.depth);
            if (!d_.append_scalar(*plan.depth_column, depth, error)) return false;
            d_.seen[*plan.depth_column] = 1;
        }
        if (plan.child_field_column) {
            ScalarValue name;
            if (row.has_child_field) {
                name.kind = ScalarValue::Kind::Str;
                name.bytes = {reinterpret_cast<const uint8_t*>(t_.names.data() + row.name_offset),
                              static_cast<size_t>(row.name_size)};
            }
            if (!d_.append_scalar(*plan.child_field_column, name, error)) return false;
            d_.seen[*plan.child_field_column] = 1;
        }
        if (plan.parent_id_column) {
            ScalarValue key;  // null unless the parent's key is a single value
            if (row.parent >= 0) {
                const FieldValue& parent_key = value(row.parent, *plan.key_column);
                if (parent_key.kind == FieldValue::Kind::Scalar) key = parent_key.scalar;
            }
            if (!d_.append_scalar(*plan.parent_id_column, key, error)) return false;
            d_.seen[*plan.parent_id_column] = 1;
        }
        for (uint32_t c = 0; c < width_; ++c) {
            const FieldValue& v = value(static_cast<int64_t>(i), c);
            if (v.kind == FieldValue::Kind::Scalar) {
                if (!d_.append_scalar(c, v.scalar, error)) return locate(c, v);
            } else if (v.kind == FieldValue::Kind::List) {
                for (uint32_t k = 0; k < v.item_count; ++k)
                    if (!d_.append_item(c, t_.items[v.first_item + k], error)) return locate(c, v);
                if (!d_.close_list(c)) return r_.fail_out_of_memory();
            } else {
                continue;
            }
            d_.seen[c] = 1;
        }
        for (uint32_t c = 0; c < width_; ++c)
            if (!d_.seen[c] && !d_.append_null(c)) return r_.fail_out_of_memory();
        ++d_.rows;
        return true;
    }

    /// Values are converted only when their row is emitted: the error names the column and the value's
    /// offset (a list's, for one of its items).
    VELKORA_NOINLINE bool locate(uint32_t c, const FieldValue& v) {
        locate_failure(r_.error, d_.plan().columns[c].name, v.offset);
        return false;
    }

    ArrowRowDecoder& d_;
    Reader& r_;
    PendingTree& t_;
    size_t width_;
};

}  // namespace

bool decode_tree(ArrowRowDecoder& d, Reader& r) {
    d.pending->clear();
    TreeCollector collector(d, r);
    bool ok = collector.collect(-1, nullptr, 0) && collector.emit();
    d.pending->clear();
    return ok;
}

}  // namespace velkora::arrow
