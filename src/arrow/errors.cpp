// src/arrow/errors.cpp: the kind names and messages of the Arrow decoders' failures.
#include "arrow/errors.hpp"

#include <string>

namespace velkora::arrow {

namespace {

const char* kind_name(uint8_t code) {
    switch (static_cast<Failure>(code)) {
        case Failure::UnsupportedArrowType: return "UnsupportedArrowType";
        case Failure::ArrowTypeMismatch: return "ArrowTypeMismatch";
        case Failure::ChildDocumentsInFlatTable: return "ChildDocumentsInFlatTable";
        case Failure::ArrowBuild: return "ArrowBuild";
        case Failure::ChildColumnType: return "ChildColumnType";
        case Failure::MissingKeySource: return "MissingKeySource";
    }
    return "Unknown";
}

std::string message(const wire::DecodeError& e) {
    switch (static_cast<Failure>(e.code)) {
        case Failure::UnsupportedArrowType:
            return "unsupported Arrow column type: " + e.text;
        case Failure::ArrowTypeMismatch:
            return std::string("javabin value does not fit the Arrow column type (expected ") + e.expected + ")";
        case Failure::ChildDocumentsInFlatTable:
            return "document has child documents (_childDocuments_), which cannot be represented in a flat "
                   "Arrow table";
        case Failure::ArrowBuild:
            return "failed to build Arrow RecordBatch: " + e.text;
        case Failure::ChildColumnType:
            return "column '" + e.text + "' holds the " + e.expected + " of a child document, so it must be " +
                   e.found;
        case Failure::MissingKeySource:
            return "column '" + e.text + "' holds the parent's key, but the schema has no '" + e.text2 +
                   "' column to take that key from";
    }
    return "unknown decode error";
}

}  // namespace

const wire::ErrorLayer kArrowErrors{kind_name, message};

}  // namespace velkora::arrow
