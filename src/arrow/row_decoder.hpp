// src/arrow/row_decoder.hpp: reading a response's documents straight into the column builders.
#pragma once

#include <cstdint>

#include "arrow/column_plan.hpp"
#include "core/reader.hpp"

namespace velkora::arrow {

/// Where a response keeps its result documents.
struct DocsSequence {
    enum class Kind : uint8_t { NotFound, Counted, Terminated };
    Kind kind = Kind::NotFound;
    uint64_t count = 0;  // Counted: the ARR's size
};

/// Walks the envelope from just after the version byte to the documents: the "docs" of the first response
/// map (core/envelope.hpp names its keys), or the document array of a document list. For Counted and
/// Terminated the reader is left on the first document's tag (or on the closing END). A top-level value that
/// is no envelope is NotFound once skip_value has read it through at level 1, so its faults are refused as
/// they would be anywhere in an envelope. False with the error in `r.error`; extern strings defined on the way
/// go into the decoder's table.
[[nodiscard]] bool locate_docs(ArrowRowDecoder& d, wire::Reader& r, DocsSequence* out);

/// An envelope key: a string, an extern string (a definition goes into `table`), or NULL (no
/// key: `*present` false); any other tag is refused at its offset. `*key` is valid until the next definition.
[[nodiscard]] bool read_envelope_key(wire::ExternStrings& table, wire::Reader& r, std::string_view* key,
                                     bool* present);

/// Reads the document whose tag is at the reader and appends its row (skip mode) or the rows of its
/// whole tree (explode mode). False with the error in `r.error`; a failure may leave part of the row
/// appended.
[[nodiscard]] bool decode_document(ArrowRowDecoder& d, wire::Reader& r);

/// One scalar value; a definition of an extern string is appended to `table`.
[[nodiscard]] bool read_scalar(wire::Reader& r, wire::ExternStrings& table, ScalarValue* out);

// The parts below are shared with explode mode.

/// A document's tag and size: SOLRDOC (its header byte's low bits), ORDERED_MAP or NAMED_LST (the tag's),
/// or MAP_ENTRY_ITER (entries until END: `terminated`). Anything else is refused at the tag.
[[nodiscard]] bool read_document_header(wire::Reader& r, uint64_t* count, bool* terminated);

/// Before each entry of a document: false when there is none left (a closing END is consumed), with
/// `r.error` set when the input ran out first.
[[nodiscard]] bool next_entry(wire::Reader& r, uint64_t index, uint64_t count, bool terminated, bool* more);

/// A document entry's key. Field: `column` is the routed column (-1: not in the schema) and `name` its
/// text (valid until the next extern string is defined). Child: the reader stands on a SOLRDOC tag.
enum class EntryKey : uint8_t { Field, Child, Failed };
EntryKey read_entry_key(ArrowRowDecoder& d, wire::Reader& r, int32_t* column, std::string_view* name);

/// Names `column` as the place of a failure met in one of its values; a value that does not fit the
/// column (or its batch) also gets the value's offset, which its message does not name.
void locate_failure(wire::DecodeError& error, const char* column, uint64_t value_offset);

/// Cold: where the value starts that a document failed in, the reader having stood at `failed_at` when it
/// failed (at or before that value's end). The document (its tag at `start`) is walked again with the skip
/// rules: the entry whose value the position falls in, and within a multi-valued field the element (the
/// first, for a scalar column, which keeps only that one).
uint64_t failing_value_start(const uint8_t* data, uint64_t start, uint64_t failed_at);

/// Records ArrowTypeMismatch, or UnexpectedValue at `offset`, in the reader; returns false.
bool fail_mismatch(wire::Reader& r, const char* expected);

/// Decodes the tree of rows of one document in explode mode.
[[nodiscard]] bool decode_tree(ArrowRowDecoder& d, wire::Reader& r);

}  // namespace velkora::arrow
