// src/python/arrow_interchange.cpp: importing schemas from pyarrow (or any Arrow capsule provider) and
// handing schemas and record batches back, each C structure released exactly once.
#include "python/arrow_interchange.hpp"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "arrow/arrays.hpp"
#include "python/errors.hpp"

namespace velkora::py {

namespace {

/// An interned name, made once per process.
PyObject* interned(PyObject** cache, const char* text) {
    if (!*cache) *cache = PyUnicode_InternFromString(text);
    return *cache;
}

PyObject* g_arrow_c_schema = nullptr;
PyObject* g_export_to_c = nullptr;
PyObject* g_import_from_c = nullptr;
PyObject* g_read_next_batch = nullptr;

/// `pyarrow.<name>`, imported on first use and kept for the life of the process; a failed import caches
/// nothing. Borrowed reference, or nullptr with the import error set.
PyObject* pyarrow_class(PyObject** cache, const char* name) {
    if (*cache) return *cache;
    PyRef module_name = PyRef::steal(PyUnicode_FromString("pyarrow"));
    if (!module_name) return nullptr;
    PyRef module = PyRef::steal(PyImport_Import(module_name.get()));
    if (!module) return nullptr;
    PyObject* cls = PyObject_GetAttrString(module.get(), name);
    if (cls) *cache = cls;
    return cls;
}

PyObject* g_schema_class = nullptr;
PyObject* g_reader_class = nullptr;
PyObject* g_arrow_exception = nullptr;

/// Raises pyarrow.ArrowException with `text`; a pyarrow that cannot be imported now is an internal fault,
/// unless the import ran out of memory (MemoryError stays).
bool raise_arrow_exception(const std::string& text) {
    PyObject* cls = pyarrow_class(&g_arrow_exception, "ArrowException");
    if (!cls) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyRef reason = PyRef::steal(value ? PyObject_Str(value) : nullptr);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        const char* detail = reason ? PyUnicode_AsUTF8AndSize(reason.get(), nullptr) : nullptr;
        PyErr_Clear();
        throw Panic{std::string("failed to import exception pyarrow.ArrowException: ") + (detail ? detail : "?")};
    }
    PyErr_SetString(cls, text.c_str());
    return false;
}

/// Every field of an imported schema must be one nanoarrow can read.
bool check_fields(const ArrowSchema* schema, std::string* message) {
    ArrowSchemaView view;
    ArrowError error;
    if (ArrowSchemaViewInit(&view, schema, &error) != NANOARROW_OK) {
        *message = error.message;
        return false;
    }
    for (int64_t i = 0; i < schema->n_children; ++i)
        if (!check_fields(schema->children[i], message)) return false;
    return !schema->dictionary || check_fields(schema->dictionary, message);
}

/// The text of the error a failed ArrowSchemaDeepCopy raises: empty for ENOMEM (MemoryError).
std::string copy_failure(ArrowErrorCode code) {
    return code == ENOMEM ? std::string() : "Invalid argument error: the schema could not be copied";
}

/// Raises what a failed schema copy or check comes to: MemoryError for an empty `message`, else
/// pyarrow.ArrowException with it.
bool raise_schema_error(const std::string& message) {
    if (message.empty()) return PyErr_NoMemory(), false;
    return raise_arrow_exception(message);
}

/// Copies a C schema (not taking ownership of `source`) into a shared schema. False with the text of the
/// pyarrow.ArrowException to raise (empty when memory ran out); nothing is raised here, so the caller can
/// first release what it holds.
bool copy_schema(const ArrowSchema* source, arrow::SharedSchema* out, std::string* message) {
    auto copy = std::make_shared<nanoarrow::UniqueSchema>();
    if (ArrowErrorCode code = ArrowSchemaDeepCopy(source, copy->get()); code != NANOARROW_OK) {
        *message = copy_failure(code);
        return false;
    }
    if (!check_fields(copy->get(), message)) {
        *message = "Invalid argument error: " + *message;
        return false;
    }
    if (std::string(copy->get()->format) != "+s") {
        *message = "Invalid argument error: a schema must be a struct of fields, not format '" +
                   std::string(copy->get()->format) + "'";
        return false;
    }
    *out = std::move(copy);
    return true;
}

/// A C Data Interface array that reads a batch's buffers without owning them: each node (the struct
/// array, every column and list child) holds a reference to the batch, so a consumer may release or move
/// any of them in any order, and the batch itself lives on with its producer until that producer lets go.
struct SharedNode {
    std::shared_ptr<nanoarrow::UniqueArray> batch;
    std::unique_ptr<ArrowArray[]> children;
    std::unique_ptr<ArrowArray*[]> child_pointers;
    size_t n_children = 0;
    ArrowArray dictionary{};
    ~SharedNode() {
        for (size_t i = 0; i < n_children; ++i)
            if (children[i].release) children[i].release(&children[i]);  // not moved out by the consumer
        if (dictionary.release) dictionary.release(&dictionary);
    }
};

void release_shared_node(ArrowArray* array) {
    delete static_cast<SharedNode*>(array->private_data);
    array->release = nullptr;
}

/// Fills `out` as a view of `source` that keeps `batch` alive. False when memory runs out, `out` then left
/// unreleased (its release callback unset).
[[nodiscard]] bool share_array(const std::shared_ptr<nanoarrow::UniqueArray>& batch, const ArrowArray* source,
                               ArrowArray* out) {
    std::unique_ptr<SharedNode> node(new (std::nothrow) SharedNode);
    if (!node) return false;
    node->batch = batch;
    if (auto n = static_cast<size_t>(source->n_children); n > 0) {
        node->children.reset(new (std::nothrow) ArrowArray[n]());  // zeroed: no release callback yet
        node->child_pointers.reset(new (std::nothrow) ArrowArray*[n]);
        if (!node->children || !node->child_pointers) return false;
        node->n_children = n;
        for (size_t i = 0; i < n; ++i) {
            if (!share_array(batch, source->children[i], &node->children[i])) return false;
            node->child_pointers[i] = &node->children[i];
        }
    }
    if (source->dictionary && !share_array(batch, source->dictionary, &node->dictionary)) return false;
    *out = *source;  // lengths, offset, null count and the buffer pointers of the source
    out->children = node->n_children ? node->child_pointers.get() : nullptr;
    out->dictionary = source->dictionary ? &node->dictionary : nullptr;
    out->private_data = node.release();
    out->release = release_shared_node;
    return true;
}

PyObject* address_of(const void* pointer) {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
}

bool from_capsule_method(PyObject* method, arrow::SharedSchema* out) {
    PyRef capsule = PyRef::steal(PyObject_CallNoArgs(method));
    if (!capsule) return false;
    if (!PyCapsule_CheckExact(capsule.get())) {
        raise_not_an_instance(capsule.get(), "PyCapsule");
        return raise_type_error_from_pending("Expected __arrow_c_schema__ to return a capsule."), false;
    }
    auto* schema = static_cast<const ArrowSchema*>(PyCapsule_GetPointer(capsule.get(), "arrow_schema"));
    if (!schema) return raise_type_error_from_pending("Expected __arrow_c_schema__ to return a arrow_schema capsule."), false;
    std::string message;  // the capsule's destructor releases its own schema later
    return copy_schema(schema, out, &message) || raise_schema_error(message);
}

bool from_pyarrow_schema(PyObject* object, arrow::SharedSchema* out) {
    PyObject* schema_class = pyarrow_class(&g_schema_class, "Schema");
    if (!schema_class) return false;
    int is_schema = PyObject_IsInstance(object, schema_class);
    if (is_schema < 0) return false;
    if (!is_schema) {
        std::string message = "Expected instance of " + qualified_type_name(schema_class) + ", got " +
                              qualified_type_name(reinterpret_cast<PyObject*>(Py_TYPE(object)));
        return raise_type_error(message), false;
    }
    nanoarrow::UniqueSchema exported;  // zero-filled; released on every path if pyarrow filled it
    PyRef address = PyRef::steal(address_of(exported.get()));
    if (!address || !interned(&g_export_to_c, "_export_to_c")) return false;
    PyRef result = PyRef::steal(PyObject_CallMethodObjArgs(object, g_export_to_c, address.get(), nullptr));
    if (!result) return false;
    std::string message;
    bool copied = copy_schema(exported.get(), out, &message);
    exported.reset();  // released before any exception is raised: the producer's callback may run Python code
    return copied || raise_schema_error(message);
}

}  // namespace

bool import_schema(PyObject* object, arrow::SharedSchema* out) {
    if (!interned(&g_arrow_c_schema, "__arrow_c_schema__")) return false;
    PyRef method = PyRef::steal(PyObject_GetAttr(object, g_arrow_c_schema));
    if (method) return from_capsule_method(method.get(), out);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return from_pyarrow_schema(object, out);
}

PyObject* export_schema(const arrow::SharedSchema& schema) {
    nanoarrow::UniqueSchema copy;
    if (ArrowErrorCode code = ArrowSchemaDeepCopy(schema->get(), copy.get()); code != NANOARROW_OK) {
        raise_schema_error(copy_failure(code));
        return nullptr;
    }
    PyObject* schema_class = pyarrow_class(&g_schema_class, "Schema");
    if (!schema_class || !interned(&g_import_from_c, "_import_from_c")) return nullptr;
    PyRef address = PyRef::steal(address_of(copy.get()));
    if (!address) return nullptr;
    // pyarrow takes the structure over; if it fails before that, `copy` releases it.
    return PyObject_CallMethodObjArgs(schema_class, g_import_from_c, address.get(), nullptr);
}

PyObject* export_record_batch(arrow::RecordBatch& batch) {
    PyObject* reader_class = pyarrow_class(&g_reader_class, "RecordBatchReader");
    if (!reader_class || !interned(&g_import_from_c, "_import_from_c") ||
        !interned(&g_read_next_batch, "read_next_batch"))
        return nullptr;
    // The stream owns a schema copy and a view of the batch, which stays with the caller until pyarrow
    // has it: nothing is copied on the way, and a failure at any point below loses nothing.
    nanoarrow::UniqueArray view;
    nanoarrow::UniqueArrayStream stream;
    if (!share_array(batch.array, batch.array->get(), view.get()) ||
        !arrow::make_batch_stream(batch.schema->get(), view.get(), stream.get())) return PyErr_NoMemory();
    PyRef address = PyRef::steal(address_of(stream.get()));
    if (!address) return nullptr;
    // pyarrow takes the stream over; if the call fails first, `stream` releases it.
    PyRef reader = PyRef::steal(PyObject_CallMethodObjArgs(reader_class, g_import_from_c, address.get(), nullptr));
    if (!reader) return nullptr;
    return PyObject_CallMethodObjArgs(reader.get(), g_read_next_batch, nullptr);
}

}  // namespace velkora::py
