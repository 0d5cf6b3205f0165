// src/python/pyref.hpp: PyRef, the one owned-reference type, and the interpreter-lock and collector guards.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

#include "core/portable.hpp"

namespace velkora::py {

/// A move-only owned reference. Built only through steal() (take a new reference) or borrow()
/// (add one to a borrowed reference); releases its reference when destroyed.
class PyRef {
public:
    PyRef() = default;
    PyRef(std::nullptr_t) {}  // nothing, as a failed read returns
    static VELKORA_INLINE PyRef steal(PyObject* p) { return PyRef(p); }
    static VELKORA_INLINE PyRef borrow(PyObject* p) {
        Py_XINCREF(p);
        return PyRef(p);
    }
    VELKORA_INLINE PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    VELKORA_INLINE PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    // Inlined everywhere: out of line, every owned reference a decode drops would cost a call.
    VELKORA_INLINE ~PyRef() { Py_XDECREF(p_); }

    /// Lends the reference; the PyRef keeps owning it.
    PyObject* get() const { return p_; }
    /// Gives the reference away, for calls that steal it (PyList_SetItem, PyTuple_SetItem) or a return.
    [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit PyRef(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

/// Releases the interpreter lock for its lifetime; the stretch it covers must touch no Python object.
/// Takes the lock back on every exit, unwinding included.
class LockRelease {
public:
    LockRelease() : state_(PyEval_SaveThread()) {}
    ~LockRelease() { PyEval_RestoreThread(state_); }
    LockRelease(const LockRelease&) = delete;
    LockRelease& operator=(const LockRelease&) = delete;

private:
    PyThreadState* state_;
};

/// Keeps the cyclic garbage collector out of a decode. The objects a decode builds cannot form cycles,
/// and collections during the build would walk its growing result again and again, old generation
/// included. The walk is deferred, not removed: the caller's next young collection, and the middle-
/// generation one after it, visit every tracked container of the result. Only lists and the dicts that
/// hold a container are tracked: the interpreter leaves a dict of scalars untracked until a container
/// is stored in it, so dicts are filled only through PyDict_SetItem, never copied from a tracked one.
/// Restores the caller's setting on every exit; never held across a user callback (see resume()).
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable() != 0) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

    /// Runs `call` with the caller's collector setting (for user callbacks), then pauses again. A
    /// callback that switches the collector on or off changes the setting restored at the end.
    template <typename F>
    auto resume(F&& call) {
        struct Repause {
            bool& was_enabled;
            ~Repause() { was_enabled = PyGC_Disable() != 0; }
        } repause{was_enabled_};
        if (was_enabled_) PyGC_Enable();
        return call();
    }

private:
    bool was_enabled_;
};

}  // namespace velkora::py
