// src/python/errors.hpp: the one place where failures become Python exceptions.
//
// Decoders report failure as a DecodeError value; entry points hand it to to_python_error or
// to_value_error, which set the Python exception and return nullptr for the entry to return.
#pragma once

#include "python/pyref.hpp"
#include "core/reader.hpp"

#include <string>

namespace velkora::py {

/// An internal fault (a broken invariant, a thread-affinity violation). Thrown inside an entry only;
/// call_guard turns it into PanicException, so it never unwinds into the interpreter.
struct Panic {
    std::string message;
};

/// Creates PanicException once per process (a direct subclass of BaseException). Returns a borrowed
/// reference, or nullptr with an exception set.
PyObject* panic_exception_type();

/// Creates velkora.DecodeError once per process: a subclass of ValueError whose instances carry `kind`
/// (the failure's kind name), `offset` (the byte offset the message names, or None) and `stream_offset`
/// (for the chunk-fed decoders: that offset counted from the first byte ever fed, or None). Returns a
/// borrowed reference, or nullptr with an exception set.
PyObject* decode_error_type();

/// The failures of the Python layer: PythonApi, an interpreter call (a user callback included) that failed
/// and left its exception pending.
extern const wire::ErrorLayer kPythonErrors;

/// Makes `error` PythonApi (cold: the decoders call it where an interpreter call failed). Returns false
/// so that a caller can `return fail_python(...)`.
VELKORA_NOINLINE bool fail_python(wire::DecodeError* error);

inline bool is_python_api(const wire::DecodeError& error) {
    return error.kind == wire::ErrorKind::Layer && error.layer == &kPythonErrors;
}

/// Where the bytes an error's offset counts from begin in a chunk-fed stream: `offset + base` is the
/// position from the first byte ever fed. Absent for the whole-body entries.
struct StreamBase {
    uint64_t base = 0;
};

/// PythonApi passes the pending interpreter exception through unchanged (SystemError when none is
/// pending); every other kind raises DecodeError with the error's message. Always returns nullptr.
PyObject* to_python_error(const wire::DecodeError& error, const StreamBase* stream = nullptr);

/// Every kind, PythonApi included, raises DecodeError with the error's message. Always returns nullptr.
PyObject* to_value_error(const wire::DecodeError& error, const StreamBase* stream = nullptr);

/// Raises TypeError / RuntimeError with `message`. Always return nullptr.
PyObject* raise_type_error(const std::string& message);
PyObject* raise_runtime_error(const char* message);

/// Raises the argument-type TypeError: "'T' object is not an instance of 'R'", or "'None' is not an
/// instance of 'R'" for None. Returns nullptr.
PyObject* raise_not_an_instance(PyObject* argument, const char* required);

/// Raises TypeError `message` whose __cause__ is the exception pending now. Returns nullptr.
PyObject* raise_type_error_from_pending(const std::string& message);

/// The fully qualified name of an object's type: `__module__`, a dot and `__qualname__`, without the
/// module for builtins and __main__.
std::string qualified_type_name(PyObject* type);

/// Attaches "while processing '{name}'" to the pending exception through its add_note method; a
/// failure of the note call is discarded and the original exception stays pending.
void add_processing_note(const char* name);

/// Reports `message` as RuntimeError through the unraisable hook, keeping any pending exception.
void report_unraisable_runtime_error(const std::string& message);

/// Runs an entry implementation and turns every internal fault into a Python exception. `body`
/// returns a new reference, or nullptr with an exception set.
template <typename F>
PyObject* call_guard(F&& body) noexcept {
    PyObject* fault_type = nullptr;
    std::string message;
    try {
        return body();
    } catch (const Panic& panic) {
        message = panic.message;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "unknown internal fault";
    }
    fault_type = panic_exception_type();
    if (fault_type) PyErr_SetString(fault_type, message.c_str());
    return nullptr;
}

}  // namespace velkora::py
