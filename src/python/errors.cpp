// src/python/errors.cpp: conversion of DecodeError, argument faults and internal faults into Python exceptions.
#include "python/errors.hpp"

namespace velkora::py {

namespace {

const char* python_kind_name(uint8_t) { return "PythonApi"; }
std::string python_message(const wire::DecodeError&) { return "python C-API call failed"; }

}  // namespace

const wire::ErrorLayer kPythonErrors{python_kind_name, python_message};

bool fail_python(wire::DecodeError* error) {
    *error = wire::DecodeError{};
    error->kind = wire::ErrorKind::Layer;
    error->layer = &kPythonErrors;
    return false;
}

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;  // process-wide, made once with the interpreter lock held
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "velkora.PanicException",
            "An internal fault of the velkora extension (a broken invariant, or a decoder object used\n"
            "from a thread other than the one that created it). Derives from BaseException, so\n"
            "`except Exception` does not catch it.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

PyObject* decode_error_type() {
    static PyObject* type = nullptr;  // process-wide, made once with the interpreter lock held
    if (!type) {
        PyRef defaults = PyRef::steal(PyDict_New());
        if (!defaults) return nullptr;
        for (const char* name : {"kind", "offset", "stream_offset", "column", "document"})
            if (PyDict_SetItemString(defaults.get(), name, Py_None) != 0) return nullptr;
        type = PyErr_NewExceptionWithDoc(
            "velkora.DecodeError",
            "A javabin body (or a chunk-fed stream) could not be decoded. A ValueError, so `except\n"
            "ValueError` catches it. Attributes: `kind`, the failure's kind name (\"UnexpectedEof\",\n"
            "\"InvalidUtf8\", \"ArrowTypeMismatch\", ...); `offset`, the byte offset named in the message, or\n"
            "None when it names none; `stream_offset`, for StreamDecoder and ArrowStreamDecoder, that offset\n"
            "counted from the first byte ever fed, else None; `column`, for a failure the Arrow decoders met\n"
            "in a value of a schema field, that field's name, else None; `document`, for a failure they met\n"
            "inside a result document, its 0-based index in the response, else None. The Arrow decoders\n"
            "also give the offset of a value that does not fit its column, and say all three in a note.",
            PyExc_ValueError, defaults.get());
    }
    return type;
}

namespace {

/// Whether the kind's message names a byte offset (TrailingData's number is a count, not an offset; no
/// failure of a layer above the reader names one).
bool names_offset(wire::ErrorKind kind) {
    using K = wire::ErrorKind;
    return kind == K::UnexpectedEof || kind == K::InvalidUtf8 || kind == K::UnknownTag ||
           kind == K::UnexpectedValue || kind == K::DepthExceeded;
}

/// Sets `column` and `document` on an error an Arrow decoder met inside a result document, and says
/// the same in a note ("in column 'price' of document 1234, at byte offset 5678"), so that a traceback
/// shows where in a long stream the failure is. False with an exception set.
bool add_location(PyObject* instance, const wire::DecodeError& error, bool has_offset, const StreamBase* stream) {
    if (!error.in_document && error.field.empty()) return true;
    std::string note;
    if (!error.field.empty()) {
        PyRef column = PyRef::steal(
            PyUnicode_FromStringAndSize(error.field.data(), static_cast<Py_ssize_t>(error.field.size())));
        if (!column || PyObject_SetAttrString(instance, "column", column.get()) != 0) return false;
        note = "in column '" + error.field + "'";
    }
    if (error.in_document) {
        PyRef document = PyRef::steal(PyLong_FromUnsignedLongLong(error.document));
        if (!document || PyObject_SetAttrString(instance, "document", document.get()) != 0) return false;
        note += (note.empty() ? "in document " : " of document ") + std::to_string(error.document);
    }
    if (has_offset) {
        note += ", at byte offset " + std::to_string(error.offset);
        if (stream) note += " of the document (" + std::to_string(stream->base + error.offset) + " of the stream)";
    }
    static PyObject* add_note = PyUnicode_InternFromString("add_note");
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    if (!add_note || !text) return false;
    PyRef result = PyRef::steal(PyObject_CallMethodObjArgs(instance, add_note, text.get(), nullptr));
    return static_cast<bool>(result);
}

/// Builds the DecodeError instance; nullptr with an exception set when the interpreter refuses.
PyObject* make_decode_error(const wire::DecodeError& error, const StreamBase* stream) {
    PyObject* type = decode_error_type();
    if (!type) return nullptr;
    std::string text = error.message();
    PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!message) return nullptr;
    PyRef instance = PyRef::steal(PyObject_CallFunctionObjArgs(type, message.get(), nullptr));
    if (!instance) return nullptr;
    PyRef kind = PyRef::steal(PyUnicode_FromString(error.kind_name()));
    if (!kind || PyObject_SetAttrString(instance.get(), "kind", kind.get()) != 0) return nullptr;
    bool has_offset = names_offset(error.kind) || error.located;
    if (has_offset) {
        PyRef offset = PyRef::steal(PyLong_FromUnsignedLongLong(error.offset));
        if (!offset || PyObject_SetAttrString(instance.get(), "offset", offset.get()) != 0) return nullptr;
        if (stream) {
            PyRef in_stream = PyRef::steal(PyLong_FromUnsignedLongLong(stream->base + error.offset));
            if (!in_stream || PyObject_SetAttrString(instance.get(), "stream_offset", in_stream.get()) != 0)
                return nullptr;
        }
    }
    if (!add_location(instance.get(), error, has_offset, stream)) return nullptr;
    return instance.release();
}

}  // namespace

PyObject* to_value_error(const wire::DecodeError& error, const StreamBase* stream) {
    PyErr_Clear();  // PythonApi here: the failed call's exception gives way to the decode error
    if (error.kind == wire::ErrorKind::OutOfMemory) return PyErr_NoMemory();
    PyRef instance = PyRef::steal(make_decode_error(error, stream));
    if (instance) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
    return nullptr;
}

PyObject* to_python_error(const wire::DecodeError& error, const StreamBase* stream) {
    if (!is_python_api(error)) return to_value_error(error, stream);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;  // the pending exception goes through unchanged, traceback included
}

PyObject* raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return nullptr;
}

PyObject* raise_runtime_error(const char* message) {
    PyErr_SetString(PyExc_RuntimeError, message);
    return nullptr;
}

namespace {

/// A string attribute of `object` as UTF-8 text; "?" when it cannot be read.
std::string text_attribute(PyObject* object, const char* attribute) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(object, attribute));
    Py_ssize_t size;
    const char* text = value && PyUnicode_Check(value.get()) ? PyUnicode_AsUTF8AndSize(value.get(), &size) : nullptr;
    if (!text) {
        PyErr_Clear();
        return "?";
    }
    return std::string(text, static_cast<size_t>(size));
}

/// `__qualname__` of an object's type.
std::string type_qualname(PyObject* object) {
    return text_attribute(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__");
}

}  // namespace

std::string qualified_type_name(PyObject* type) {
    std::string module = text_attribute(type, "__module__");
    std::string name = text_attribute(type, "__qualname__");
    if (module == "builtins" || module == "__main__") return name;
    return module + "." + name;
}

PyObject* raise_type_error_from_pending(const std::string& message) {
    PyObject *cause_type, *cause, *cause_traceback;
    PyErr_Fetch(&cause_type, &cause, &cause_traceback);
    PyErr_NormalizeException(&cause_type, &cause, &cause_traceback);
    if (cause && cause_traceback) PyException_SetTraceback(cause, cause_traceback);
    Py_XDECREF(cause_type);
    Py_XDECREF(cause_traceback);
    PyErr_SetString(PyExc_TypeError, message.c_str());
    if (!cause) return nullptr;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value) PyException_SetCause(value, cause);  // takes the reference to the cause
    else Py_DECREF(cause);
    PyErr_Restore(type, value, traceback);
    return nullptr;
}

PyObject* raise_not_an_instance(PyObject* argument, const char* required) {
    std::string message = "'";
    message.append(argument == Py_None ? "None'" : type_qualname(argument) + "' object");
    message.append(" is not an instance of '").append(required).append("'");
    return raise_type_error(message);
}

void add_processing_note(const char* name) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value) {
        if (traceback) PyException_SetTraceback(value, traceback);
        std::string text = std::string("while processing '") + name + "'";
        PyRef note = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        static PyObject* add_note = PyUnicode_InternFromString("add_note");
        if (note && add_note) {
            PyRef result = PyRef::steal(PyObject_CallMethodObjArgs(value, add_note, note.get(), nullptr));
        }
        PyErr_Clear();  // a failed note call is discarded; the original exception stands
    }
    PyErr_Restore(type, value, traceback);
}

void report_unraisable_runtime_error(const std::string& message) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    PyErr_WriteUnraisable(nullptr);
    PyErr_Restore(type, value, traceback);
}

}  // namespace velkora::py
