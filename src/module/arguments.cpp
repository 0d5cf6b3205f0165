// src/module/arguments.cpp: argument binding with the interpreter's own TypeError wording, and conversions.
#include "module/arguments.hpp"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "python/errors.hpp"

namespace velkora::module {

using py::add_processing_note;
using py::PyRef;
using py::raise_not_an_instance;
using py::raise_type_error;

namespace {

std::string display_name(const ArgumentSpec& spec) {
    if (spec.class_name) return std::string(spec.class_name) + "." + spec.function + "()";
    return std::string(spec.function) + "()";
}

bool too_many_positional(const ArgumentSpec& spec, size_t given) {
    std::string verb = given == 1 ? "was" : "were";
    std::string count = spec.required == spec.positional.size()
                            ? std::to_string(spec.positional.size())
                            : "from " + std::to_string(spec.required) + " to " + std::to_string(spec.positional.size());
    raise_type_error(display_name(spec) + " takes " + count + " positional arguments but " + std::to_string(given) +
                     " " + verb + " given");
    return false;
}

/// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) out += " and ";
            else if (i + 1 == names.size()) out += ", and ";
            else out += ", ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

bool missing(const ArgumentSpec& spec, const std::vector<const char*>& names, const char* kind) {
    raise_type_error(display_name(spec) + " missing " + std::to_string(names.size()) + " required " + kind + " " +
                     (names.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(names));
    return false;
}

/// Places one keyword argument; false with TypeError set when it names nothing or a filled slot.
bool bind_keyword(const ArgumentSpec& spec, PyObject* key, PyObject* value, size_t positional_given,
                  PyObject** slots) {
    // The interpreter checks the keyword names of a vectorcall, but hands a constructor's keyword dict
    // over as the caller built it, so a key may be any object here.
    if (!PyUnicode_Check(key)) return raise_type_error(display_name(spec) + " keywords must be strings"), false;
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(key, &size);
    if (!name) {
        // A str that UTF-8 cannot encode (a lone surrogate) names no parameter.
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", display_name(spec).c_str(), key);
        return false;
    }
    std::string_view wanted(name, static_cast<size_t>(size));
    for (size_t i = 0; i < spec.positional.size(); ++i) {
        if (wanted != spec.positional[i]) continue;
        if (i < positional_given || slots[i])
            return raise_type_error(display_name(spec) + " got multiple values for argument '" + std::string(wanted) +
                                    "'"),
                   false;
        slots[i] = value;
        return true;
    }
    for (size_t i = 0; i < spec.keyword_only.size(); ++i) {
        if (wanted != spec.keyword_only[i].name) continue;
        size_t slot = spec.positional.size() + i;
        if (slots[slot])
            return raise_type_error(display_name(spec) + " got multiple values for argument '" + std::string(wanted) +
                                    "'"),
                   false;
        slots[slot] = value;
        return true;
    }
    raise_type_error(display_name(spec) + " got an unexpected keyword argument '" + std::string(wanted) + "'");
    return false;
}

bool check_required(const ArgumentSpec& spec, PyObject** slots) {
    std::vector<const char*> absent;
    for (size_t i = 0; i < spec.required; ++i)
        if (!slots[i]) absent.push_back(spec.positional[i]);
    if (!absent.empty()) return missing(spec, absent, "positional");
    for (size_t i = 0; i < spec.keyword_only.size(); ++i)
        if (spec.keyword_only[i].required && !slots[spec.positional.size() + i])
            absent.push_back(spec.keyword_only[i].name);
    if (!absent.empty()) return missing(spec, absent, "keyword");
    return true;
}

}  // namespace

bool bind_fastcall(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots) {
    size_t given = static_cast<size_t>(nargs);  // METH_FASTCALL receives the plain count
    for (size_t i = 0; i < spec.parameter_count(); ++i) slots[i] = nullptr;
    if (given > spec.positional.size()) return too_many_positional(spec, given);
    for (size_t i = 0; i < given; ++i) slots[i] = args[i];
    if (kwnames) {
        Py_ssize_t n = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < n; ++k)
            if (!bind_keyword(spec, PyTuple_GetItem(kwnames, k), args[given + static_cast<size_t>(k)], given, slots))
                return false;
    }
    return check_required(spec, slots);
}

bool bind_tuple(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots) {
    size_t given = args ? static_cast<size_t>(PyTuple_Size(args)) : 0;
    for (size_t i = 0; i < spec.parameter_count(); ++i) slots[i] = nullptr;
    if (given > spec.positional.size()) return too_many_positional(spec, given);
    for (size_t i = 0; i < given; ++i) slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!bind_keyword(spec, key, value, given, slots)) return false;
    }
    return check_required(spec, slots);
}

bool convert_bytes(PyObject* argument, const char* name, wire::ByteSpan* out) {
    if (!PyBytes_Check(argument)) {
        raise_not_an_instance(argument, "bytes");
        add_processing_note(name);
        return false;
    }
    char* data = PyBytes_AsString(argument);
    if (!data) return false;
    out->data = reinterpret_cast<const uint8_t*>(data);
    out->size = static_cast<size_t>(PyBytes_Size(argument));
    return true;
}

namespace {

/// The UTF-8 text of a `str` (or subclass); the not-an-instance TypeError for anything else.
bool read_text(PyObject* object, std::string* out) {
    if (!PyUnicode_Check(object)) return raise_not_an_instance(object, "str"), false;
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (!text) return false;
    out->assign(text, static_cast<size_t>(size));
    return true;
}

}  // namespace

bool convert_text(PyObject* argument, const char* name, std::string* out) {
    if (read_text(argument, out)) return true;
    add_processing_note(name);
    return false;
}

bool convert_u64(PyObject* argument, const char* name, uint64_t* out) {
    PyRef index = PyRef::steal(PyNumber_Index(argument));
    unsigned long long value = index ? PyLong_AsUnsignedLongLong(index.get()) : 0;
    if (!index || (value == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        add_processing_note(name);
        return false;
    }
    *out = value;
    return true;
}

bool convert_text_map(PyObject* argument, const char* name, std::vector<std::pair<std::string, std::string>>* out) {
    out->clear();
    if (argument == Py_None) return true;
    bool ok = PyDict_Check(argument) || (raise_not_an_instance(argument, "dict"), false);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (ok && PyDict_Next(argument, &pos, &key, &value)) {
        auto& entry = out->emplace_back();
        ok = read_text(key, &entry.first) && read_text(value, &entry.second);
    }
    if (!ok) add_processing_note(name);
    return ok;
}

}  // namespace velkora::module
