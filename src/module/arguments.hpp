// src/module/arguments.hpp: binding of call arguments by name and position, and their conversion.
#pragma once

#include "core/reader.hpp"
#include "python/pyref.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace velkora::module {

struct KeywordOnly {
    const char* name;
    bool required;
};

/// The binding record of one entry. Parameters are never positional-only or variadic.
struct ArgumentSpec {
    const char* function;
    const char* class_name;  // nullptr for module functions
    std::span<const char* const> positional;
    size_t required;
    std::span<const KeywordOnly> keyword_only = {};

    size_t parameter_count() const { return positional.size() + keyword_only.size(); }
};

/// Binds a vectorcall (fast-call-with-keywords) argument list into `slots`: one borrowed reference per
/// parameter, positional parameters first, nullptr where left out. False with TypeError set on failure.
[[nodiscard]] bool bind_fastcall(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames, PyObject** slots);

/// The same for the (tuple, dict) convention of constructors.
[[nodiscard]] bool bind_tuple(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots);

/// `bytes` or a subclass, read in place (the span is valid while the object lives); anything else fails with the not-an-instance TypeError and the
/// note "while processing '{name}'".
[[nodiscard]] bool convert_bytes(PyObject* argument, const char* name, wire::ByteSpan* out);

/// `str` or a subclass, read as UTF-8 text (the interpreter's encoding error otherwise); anything else
/// fails with the not-an-instance TypeError. Failures carry the note "while processing '{name}'".
[[nodiscard]] bool convert_text(PyObject* argument, const char* name, std::string* out);

/// An `int` (or subclass, bool included) or any object with `__index__`, as an unsigned 64-bit number:
/// the interpreter's TypeError for non-integers, OverflowError for negatives and values of 2**64 or more.
/// Failures carry the note "while processing '{name}'".
[[nodiscard]] bool convert_u64(PyObject* argument, const char* name, uint64_t* out);

/// None (no entries), or a `dict` or subclass whose keys and values are all `str`, copied in iteration
/// order. Failures carry the note "while processing '{name}'".
[[nodiscard]] bool convert_text_map(PyObject* argument, const char* name,
                                    std::vector<std::pair<std::string, std::string>>* out);

}  // namespace velkora::module
