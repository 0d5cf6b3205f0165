// src/arrow/batch_assembly.cpp: record batches from the column builders, and the whole-body driver.
#include "arrow/batch_assembly.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "arrow/arrays.hpp"
#include "arrow/row_decoder.hpp"
#include "arrow/types.hpp"
#include "core/stack.hpp"

namespace velkora::arrow {

using wire::DecodeError;
using wire::Reader;

namespace {

bool invalid_argument(const std::string& message, DecodeError* error) {
    error->text = "Invalid argument error: " + message;
    return fail(error, Failure::ArrowBuild);
}

/// The checks of Arrow's validating record-batch constructor, in its order, made on the builders before
/// anything is finished: a batch that fails them leaves every row where it was.
bool check_batch(const ArrowRowDecoder& d, DecodeError* error) {
    const ArrowSchema* schema = d.plan().schema->get();
    int64_t fields = schema->n_children;
    if (static_cast<int64_t>(d.columns.size()) != fields)
        return invalid_argument("number of columns(" + std::to_string(d.columns.size()) +
                                    ") must match number of fields(" + std::to_string(fields) + ") in schema",
                                error);
    if (d.columns.empty()) return invalid_argument("must either specify a row count or at least one column", error);
    for (int64_t i = 0; i < fields; ++i) {
        const ArrowSchema* field = schema->children[i];
        if (!(field->flags & ARROW_FLAG_NULLABLE) && d.columns[i].builder->null_count > 0) {
            error->field = field->name ? field->name : "";
            return invalid_argument("Column '" + error->field + "' is declared as non-nullable but contains null values",
                                    error);
        }
    }
    int64_t length = d.columns[0].builder->length;
    for (const Column& c : d.columns)
        if (c.builder->length != length)
            return invalid_argument("all columns in a record batch must have the same length", error);
    for (int64_t i = 0; i < fields; ++i) {
        const ArrowSchema* field = schema->children[i];
        const ArrowSchema* built = d.plan().columns[i].type.get();
        if (!same_type(field, built)) {
            error->field = field->name ? field->name : "";
            return invalid_argument("column types must match schema types, expected " + type_display(field) +
                                        " but found " + type_display(built) + " at column index " +
                                        std::to_string(i),
                                    error);
        }
    }
    return true;
}

}  // namespace

bool assemble_batch(ArrowRowDecoder& d, RecordBatch* out, DecodeError* error) {
    bool checked = false;
    std::shared_ptr<nanoarrow::UniqueArray> batch;
    std::vector<nanoarrow::UniqueArray> arrays;
    // The checks' messages and the batch's holder are the standard library's, reporting a want of memory here.
    if (!wire::allocates([&] {
            checked = check_batch(d, error);
            if (checked) batch = std::make_shared<nanoarrow::UniqueArray>();
        }))
        return out_of_memory(error);
    if (!checked) return false;
    int64_t length = d.columns[0].builder->length;
    if (!d.finish_columns(&arrays)) return out_of_memory(error);  // every row still in its builder
    d.rows = 0;
    // Made by arrays.hpp, not by nanoarrow: see there why. Failing here loses the rows just finished; the
    // failure is reported (and a chunk-fed decoder keeps it), so no batch goes out short.
    if (!make_struct_array(arrays, length, batch->get())) return out_of_memory(error);
    out->schema = d.plan().schema;
    out->array = std::move(batch);
    return true;
}

bool decode_body(wire::ByteSpan data, SharedSchema schema, ChildrenMode mode, const MetaNames& names,
                 RecordBatch* out, DecodeError* error) {
    std::unique_ptr<ArrowRowDecoder> decoder;
    if (!ArrowRowDecoder::build(std::move(schema), mode, names, &decoder, error)) return false;
    Reader r(data.data, data.size);
    DocsSequence docs;
    bool ok = wire::read_version(r) && locate_docs(*decoder, r, &docs);
    uint64_t document = 0;  // the index of the document being decoded, for the error's place
    if (ok && docs.kind == DocsSequence::Kind::Counted) {
        decoder->reserve_rows(std::min(docs.count, r.remaining()));  // a forged count reserves no more than the input
        for (; ok && document < docs.count; ++document)
            if (!(ok = decode_document(*decoder, r))) in_document(&r.error, document);
    } else if (ok && docs.kind == DocsSequence::Kind::Terminated) {
        for (;; ++document) {
            if (r.at_end()) {
                ok = r.fail_eof(r.position(), r.position() + 1);
                break;
            }
            if (r.peek() == wire::END) break;  // not consumed: nothing after the documents is read
            if (!(ok = decode_document(*decoder, r))) {
                in_document(&r.error, document);
                break;
            }
        }
    }
    if (!ok) {
        *error = std::move(r.error);
        return false;
    }
    return assemble_batch(*decoder, out, error);
}

}  // namespace velkora::arrow
