// src/module/errors.cpp: conversion of DecodeError, argument faults and internal faults into Python exceptions.
#include "module/errors.hpp"

namespace velkora {

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

PyObject* to_value_error(const wire::DecodeError& error) {
    PyErr_SetString(PyExc_ValueError, error.message().c_str());
    return nullptr;
}

PyObject* to_python_error(const wire::DecodeError& error) {
    if (error.kind != wire::ErrorKind::PythonApi) return to_value_error(error);
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

}  // namespace velkora
