// Owning references to Python objects and the error convention shared by
// both extension modules.
//
// A CPython call that fails leaves a Python exception set and returns NULL
// (or -1).  Inside our C++ code such a failure is turned into a C++ exception
// of type PyErrorSet, which unwinds through our frames (releasing every Ref on
// the way) up to the entry point, where `guarded` turns it back into
// `return nullptr` with the Python exception still set.  A C++ exception never
// crosses a CPython frame.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <cassert>
#include <exception>
#include <new>
#include <utility>

namespace keldra {

// A Python exception is already set; unwind to the entry point.
struct PyErrorSet {};

// Whether this thread may touch Python objects.  It always may, but for one
// road: when the interpreter shuts down, a daemon thread that asks for the GIL
// is ended there (pthread_exit), and the unwind of that thread-exit runs our
// destructors without the GIL.  They must then leave Python alone: what they
// would release goes with the process.
inline bool python_usable() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return !Py_IsFinalizing() || PyGILState_Check();
#else
    return !_Py_IsFinalizing() || PyGILState_Check();
#endif
}

[[noreturn]] inline void raise_current() {
    assert(PyErr_Occurred());
    throw PyErrorSet{};
}

template <class... A>
[[noreturn]] inline void raise(PyObject* type, const char* fmt, A... args) {
    PyErr_Format(type, fmt, args...);
    throw PyErrorSet{};
}

// Owned reference.  Null only when default-constructed or moved from.
// A Ref returned by a call is a result to use: dropping one unnamed is
// flagged by the compiler, and `discard` says that it is dropped on purpose.
class [[nodiscard]] Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() {
        if (p_ && python_usable()) Py_DECREF(p_);
    }

    // Take over a new reference returned by a CPython call; NULL means the
    // call failed with an exception set.
    static Ref steal(PyObject* p) {
        if (!p) raise_current();
        return Ref(p);
    }
    // Add a reference to a borrowed object (which must not be NULL).
    static Ref borrow(PyObject* p) noexcept {
        Py_INCREF(p);
        return Ref(p);
    }
    static Ref none() noexcept { return borrow(Py_None); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Drop an owned result on purpose: the call was made for its effect.
inline void discard(Ref&&) noexcept {}

// -1 from a CPython call that reports errors that way means an exception.
inline int check(int rc) {
    if (rc < 0) raise_current();
    return rc;
}

inline Py_ssize_t check_size(Py_ssize_t n) {
    if (n < 0) raise_current();
    return n;
}

// Truth value, as `if x:` in Python.
inline bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

// Borrowed lookup in a dict that reports errors (never swallows them).
inline PyObject* dict_get(PyObject* dict, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (!v && PyErr_Occurred()) raise_current();
    return v;
}

// Run the body of an entry point: C++ exceptions become a NULL return with a
// Python exception set.  The unwind that ends a thread (pthread_exit, as the
// interpreter does to a daemon thread at shutdown) is not an exception of
// ours: it goes on through, as it must, or the process aborts.  That unwind
// carries no C++ object, so binding the handler's reference to it is what
// the undefined-behaviour sanitizer reports as a null reference: its checks
// are left out of this one function, where the binding is the documented way
// to catch that unwind.
template <class F>
__attribute__((no_sanitize("undefined"))) PyObject* guarded(F&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const PyErrorSet&) {
        assert(PyErr_Occurred());
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
        return nullptr;
    }
}

// Same, for slots that return an int (-1 on error).
template <class F>
int guarded_int(F&& body) {
    PyObject* r = guarded([&]() -> PyObject* {
        body();
        return Py_None;
    });
    return r ? 0 : -1;
}

// Call a callable with positional arguments.
template <class... A>
Ref call(PyObject* callable, A... args) {
    PyObject* argv[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(
        callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// type(*args, **kwargs) through the type's tp_call, from vectorcall arguments:
// the road a call takes when a type's own shortcut does not apply.
inline PyObject* call_through_type(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    PyObject* tuple = PyTuple_New(nargs);
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
    PyObject* kwargs = nullptr;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        kwargs = PyDict_New();
        for (Py_ssize_t i = 0; kwargs && i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(kwargs, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0)
                Py_CLEAR(kwargs);
        }
        if (!kwargs) {
            Py_DECREF(tuple);
            return nullptr;
        }
    }
    PyObject* r = PyType_Type.tp_call(type, tuple, kwargs);
    Py_DECREF(tuple);
    Py_XDECREF(kwargs);
    return r;
}

inline Ref getattr(PyObject* o, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(o, name));
}

inline void setattr(PyObject* o, PyObject* name, PyObject* v) {
    check(PyObject_SetAttr(o, name, v));
}

inline Ref intern(const char* s) { return Ref::steal(PyUnicode_InternFromString(s)); }

}  // namespace keldra
