// src/arrow/errors.hpp: the failures of the Arrow decoders, carried in a DecodeError of kind Layer.
#pragma once

#include <cstdint>

#include "core/reader.hpp"

namespace velkora::arrow {

/// What went wrong in the column plan, a row or a batch. The names are the kind names the caller sees;
/// the fields each one fills are listed beside it.
enum class Failure : uint8_t {
    UnsupportedArrowType,       // text: the field's type as Arrow displays it
    ArrowTypeMismatch,          // expected: the column kind's name
    ChildDocumentsInFlatTable,  // none
    ArrowBuild,                 // text: the check's message
    ChildColumnType,            // text: the column; expected: its role; found: the type it must have
    MissingKeySource,           // text: the column; text2: the key column
};

/// The layer whose failures the Arrow decoders report.
extern const wire::ErrorLayer kArrowErrors;

/// Makes `error` the failure `failure`; the fields it quotes are the caller's to fill. Returns false so
/// that a caller can `return fail(...)`.
inline bool fail(wire::DecodeError* error, Failure failure) {
    error->kind = wire::ErrorKind::Layer;
    error->layer = &kArrowErrors;
    error->code = static_cast<uint8_t>(failure);
    return false;
}

/// Makes `error` OutOfMemory (an allocation failed); returns false.
inline bool out_of_memory(wire::DecodeError* error) {
    *error = wire::DecodeError{};
    error->kind = wire::ErrorKind::OutOfMemory;
    return false;
}

/// Whether `error` is the Arrow failure `failure`.
inline bool is_failure(const wire::DecodeError& error, Failure failure) {
    return error.kind == wire::ErrorKind::Layer && error.layer == &kArrowErrors &&
           error.code == static_cast<uint8_t>(failure);
}

}  // namespace velkora::arrow
