// tests/native/arrow_builders.cpp: the Arrow column builders, tested without Python.
//
// What is cheaper to check here than through the module: the 32-bit offset limit of one batch, reached
// by lowering the decoder's limit instead of feeding it gigabytes. Exits non-zero on the first failure.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "arrow/batch_assembly.hpp"
#include "arrow/row_decoder.hpp"

using namespace velkora;

namespace {

int failures = 0;

void expect(bool condition, const std::string& what) {
    if (!condition) {
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
        ++failures;
    }
}

void expect_text(const std::string& actual, const std::string& expected, const std::string& what) {
    expect(actual == expected, what + ": got \"" + actual + "\", expected \"" + expected + "\"");
}

arrow::SharedSchema make_schema() {
    auto schema = std::make_shared<nanoarrow::UniqueSchema>();
    ArrowSchemaInit(schema->get());
    ArrowSchemaSetTypeStruct(schema->get(), 3);
    ArrowSchemaSetType(schema->get()->children[0], NANOARROW_TYPE_STRING);
    ArrowSchemaSetName(schema->get()->children[0], "text");
    ArrowSchemaSetType(schema->get()->children[1], NANOARROW_TYPE_BINARY);
    ArrowSchemaSetName(schema->get()->children[1], "blob");
    ArrowSchemaSetType(schema->get()->children[2], NANOARROW_TYPE_LIST);
    ArrowSchemaSetType(schema->get()->children[2]->children[0], NANOARROW_TYPE_INT64);
    ArrowSchemaSetName(schema->get()->children[2], "numbers");
    return schema;
}

arrow::ScalarValue text(const char* s, arrow::ScalarValue::Kind kind = arrow::ScalarValue::Kind::Str) {
    arrow::ScalarValue v;
    v.kind = kind;
    v.bytes = {reinterpret_cast<const uint8_t*>(s), std::strlen(s)};
    return v;
}

arrow::ScalarValue number(int64_t n) {
    arrow::ScalarValue v;
    v.kind = arrow::ScalarValue::Kind::Int64;
    v.i64 = n;
    return v;
}

std::string limit_message(const char* column) {
    return std::string("failed to build Arrow RecordBatch: Invalid argument error: column '") + column +
           "' exceeds the 32-bit offset limit of one batch";
}

void test_offset_limit() {
    std::unique_ptr<arrow::ArrowRowDecoder> d;
    wire::DecodeError error;
    expect(arrow::ArrowRowDecoder::build(make_schema(), arrow::ChildrenMode::Skip, {}, &d, &error), "plan builds");
    d->offset_limit = 10;

    // Character data: exactly the limit fits, one byte more does not, and the column is left unchanged.
    expect(d->append_scalar(0, text("12345"), &error) && d->append_scalar(0, text("67890"), &error), "10 bytes fit");
    expect(!d->append_scalar(0, text("x"), &error), "the 11th byte is refused");
    expect_text(error.message(), limit_message("text"), "utf8 limit message");
    expect(d->columns[0].values->length == 2, "a refused string leaves the column as it was");
    expect(d->append_scalar(0, text(""), &error), "an empty string still fits");

    error = {};
    expect(d->append_scalar(1, text("0123456789", arrow::ScalarValue::Kind::Bytes), &error), "10 binary bytes fit");
    expect(!d->append_scalar(1, text("!", arrow::ScalarValue::Kind::Bytes), &error), "binary: the 11th byte is refused");
    expect_text(error.message(), limit_message("blob"), "binary limit message");

    // List items: ten items in one batch, not eleven.
    error = {};
    for (int i = 0; i < 10; ++i) expect(d->append_item(2, number(i), &error), "item " + std::to_string(i) + " fits");
    expect(!d->append_item(2, number(10), &error), "the 11th item is refused");
    expect_text(error.message(), limit_message("numbers"), "list limit message");

    // A new batch starts from zero.
    expect(d->close_list(2) && d->append_null(1), "a list closes, a null appends");
    d->rows = 3;
    arrow::RecordBatch batch;
    error = {};
    expect(!arrow::assemble_batch(*d, &batch, &error), "unequal columns are refused");
    expect_text(error.message(),
                "failed to build Arrow RecordBatch: Invalid argument error: all columns in a record batch must have "
                "the same length",
                "length check");
    expect(d->columns[0].values->length == 3 && d->rows == 3, "a refused batch leaves its rows where they were");
    expect(d->append_null(1) && d->append_null(2) && d->append_null(2), "nulls append");
    error = {};
    expect(arrow::assemble_batch(*d, &batch, &error), "the same rows, made whole, assemble");
    expect(d->rows == 0 && d->columns[0].values->length == 0, "an assembled batch empties the builders");
    expect(d->append_scalar(0, text("0123456789"), &error), "after a batch, the limit counts again from zero");
}

/// A document that fails half-way is cut back to the checkpoint: every builder holds the rows before it,
/// its values (a half-written string, nulls, list items), its extern strings and their routes are gone.
void test_roll_back() {
    std::unique_ptr<arrow::ArrowRowDecoder> d;
    wire::DecodeError error;
    expect(arrow::ArrowRowDecoder::build(make_schema(), arrow::ChildrenMode::Skip, {}, &d, &error), "plan builds");
    auto row = [&](const char* s, bool null_blob, int items) {
        expect(d->append_scalar(0, text(s), &error), "text appends");
        if (null_blob) expect(d->append_null(1), "a null appends");
        else expect(d->append_scalar(1, text("b", arrow::ScalarValue::Kind::Bytes), &error), "blob appends");
        for (int i = 0; i < items; ++i) expect(d->append_item(2, number(i), &error), "item appends");
        expect(d->close_list(2), "the list closes");
        ++d->rows;
    };
    uint8_t name[] = {'a'};
    d->externs.push({name, 1});
    d->extern_columns.push_back(0);  // the name routes to column 0
    row("first", false, 2);
    arrow::RowCheckpoint checkpoint = d->checkpoint();
    d->externs.push({name, 1});
    d->extern_columns.push_back(0);
    expect(d->append_scalar(0, text("a long half row"), &error), "the failing row's text");
    expect(d->append_null(1), "a null appends");
    expect(d->append_item(2, number(7), &error) && d->append_item(2, number(8), &error), "its items");
    d->columns[0].data->size_bytes += 3;  // bytes an append wrote before failing, without their offset
    d->roll_back(checkpoint);
    expect(d->rows == 1 && d->externs.size() == 1 && d->extern_columns.size() == 1,
           "rows, extern strings and their routes as at the checkpoint");
    for (size_t i = 0; i < d->columns.size(); ++i) {
        const arrow::Column& c = d->columns[i];
        expect(c.builder->length == 1 && c.builder->null_count == 0,
               std::string("column cut back: ") + d->plan().columns[i].name);
    }
    expect(d->columns[0].data->size_bytes == 5 && d->columns[2].values->length == 2, "character data and items too");
    row("second", true, 1);
    arrow::RecordBatch batch;
    expect(arrow::assemble_batch(*d, &batch, &error), "the rows after a roll-back assemble");
    const ArrowArray* columns = batch.array->get();
    expect(columns->length == 2 && columns->children[1]->null_count == 1, "two rows, the second blob null");
    const auto* items = static_cast<const int32_t*>(columns->children[2]->buffers[1]);
    expect(items[1] == 2 && items[2] == 3, "list offsets continue from the rows kept");
    const auto* chars = static_cast<const char*>(columns->children[0]->buffers[2]);
    expect(std::string(chars, 11) == "firstsecond", "character data continues from the rows kept");
}

}  // namespace

int main() {
    test_offset_limit();
    test_roll_back();
    if (failures) return 1;
    std::puts("arrow builders: all checks passed");
    return 0;
}
