// src/module/decoder_types.hpp: the Python types of the decoder objects: InstanceCell, thread affinity, borrowing.
//
// A decoder object belongs to the thread that created it and is never used by two calls at once: every
// method first checks the thread, then takes the borrow flag (exclusive for calls that change the state,
// shared for reads), and releases it on every exit.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "module/arguments.hpp"
#include "python/errors.hpp"
#include "python/pyref.hpp"

namespace velkora::module {

/// Counts the bytes a chunk-fed decoder has been given, so an error's offset can also be told from the
/// first byte ever fed.
struct FedBytes {
    uint64_t total = 0;

    /// Errors of a feed count from the start of the part that failed (the envelope at the stream's
    /// start, or the document at the cursor), which is where the unconsumed bytes begin.
    py::StreamBase at_failed_part(uint64_t unconsumed) const { return {total - unconsumed}; }
    /// finish reports the end of what it holds (`held` bytes), which is the end of all bytes fed.
    py::StreamBase at_end(uint64_t held) const { return {total - held}; }
};

/// The docstring of both chunk-fed decoders' `_walked`.
inline constexpr const char kWalkedDoc[] =
    "Private: bytes gone over so far by every walk and decode attempt, for the tests that prove chunked\n"
    "feeding linear by counting work.";

/// The borrow flag value of one exclusive borrow; 1..n count shared borrows; 0 is free.
inline constexpr uint64_t EXCLUSIVE = ~uint64_t{0};

/// The layout of every decoder object: native state, borrow flag, owner thread.
template <typename State>
struct InstanceCell {
    PyObject_HEAD
    State* state;  // owned; destroyed on the owner thread only
    std::atomic<uint64_t> borrow_flag;
    uint64_t owner_thread;
};

/// What a decoder class is made of; the method and attribute tables come from the module's entry table.
struct ClassSpec {
    const char* qualified_name;  // "builtins.StreamDecoder": __module__ reads "builtins"
    const char* doc;             // signature line, "--", body
    int basicsize;
    newfunc constructor;
    destructor dealloc;
    PyMethodDef* methods;
    PyGetSetDef* getset;
};

/// Creates a heap type from `spec`. New reference, or nullptr with an exception set.
PyObject* create_type(const ClassSpec& spec);

/// The current thread's token: unique for the life of the process, so a thread that starts after the
/// owner has exited never passes for it (operating-system thread ids are reused).
uint64_t current_thread();

/// Wraps freshly built native state in a new object of `type` owned by the current thread. New reference,
/// or nullptr with an exception set (the state is then destroyed).
template <typename State>
PyObject* allocate(PyTypeObject* type, std::unique_ptr<State> state) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    auto* cell = reinterpret_cast<InstanceCell<State>*>(self);
    cell->state = state.release();
    new (&cell->borrow_flag) std::atomic<uint64_t>(0);
    cell->owner_thread = current_thread();
    return self;
}

template <typename State>
void check_thread(const InstanceCell<State>* cell, const char* label) {
    if (cell->owner_thread != current_thread())
        throw py::Panic{std::string(label) + " is unsendable, but sent to another thread"};
}

/// Runs `body(State&)` under an exclusive borrow ("Already borrowed" when the object is in use).
template <typename State, typename F>
PyObject* access_exclusive(PyObject* self, const char* label, F&& body) {
    auto* cell = reinterpret_cast<InstanceCell<State>*>(self);
    check_thread(cell, label);
    uint64_t expected = 0;
    if (!cell->borrow_flag.compare_exchange_strong(expected, EXCLUSIVE))
        return py::raise_runtime_error("Already borrowed");
    struct Release {
        std::atomic<uint64_t>& flag;
        ~Release() { flag.store(0); }
    } release{cell->borrow_flag};
    return body(*cell->state);
}

/// Runs `body(const State&)` under a shared borrow ("Already mutably borrowed" during an exclusive one).
template <typename State, typename F>
PyObject* access_shared(PyObject* self, const char* label, F&& body) {
    auto* cell = reinterpret_cast<InstanceCell<State>*>(self);
    check_thread(cell, label);
    uint64_t current = cell->borrow_flag.load();
    do {
        if (current == EXCLUSIVE) return py::raise_runtime_error("Already mutably borrowed");
    } while (!cell->borrow_flag.compare_exchange_weak(current, current + 1));
    struct Release {
        std::atomic<uint64_t>& flag;
        ~Release() { flag.fetch_sub(1); }
    } release{cell->borrow_flag};
    return body(static_cast<const State&>(*cell->state));
}

/// Runs `body(State&, ByteSpan)` for a feed: under an exclusive borrow, with the bytes of `chunk` (TypeError
/// unless it is bytes) counted as fed.
template <typename State, typename F>
PyObject* access_feed(PyObject* self, const char* label, PyObject* chunk, F&& body) {
    return access_exclusive<State>(self, label, [&](State& object) -> PyObject* {
        wire::ByteSpan bytes;
        if (!convert_bytes(chunk, "chunk", &bytes)) return nullptr;
        object.fed.total += bytes.size;
        return body(object, bytes);
    });
}

/// Destroys the native state and frees the object. A drop on another thread than the owner's is reported
/// as unraisable, and the state is still freed: nothing in it is bound to a thread, and deallocation
/// runs with the interpreter lock held.
template <typename State>
void deallocate(PyObject* self, const char* label) {
    py::call_guard([&]() -> PyObject* {
        auto* cell = reinterpret_cast<InstanceCell<State>*>(self);
        if (cell->owner_thread != current_thread())
            py::report_unraisable_runtime_error(std::string(label) +
                                            " is unsendable, but is being dropped on another thread");
        delete cell->state;
        cell->state = nullptr;
        cell->borrow_flag.~atomic();
        PyTypeObject* type = Py_TYPE(self);
        auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_slot(self);
        Py_DECREF(reinterpret_cast<PyObject*>(type));  // instances of heap types hold their type
        return nullptr;
    });
}

}  // namespace velkora::module
