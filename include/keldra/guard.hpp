// Scope guards for the pieces of interpreter state that C++ code has to put
// back on every road out of a scope, exceptions included: the pending Python
// exception, the interpreter's recursion depth and the cyclic garbage
// collector's switch.
#pragma once

#include "keldra/ref.hpp"
#include "keldra/stack.hpp"

namespace keldra {

// The cyclic garbage collector paused for the life of the scope, and switched
// on again at its end if it was on before.  For work that allocates many
// container objects none of which can be cyclic garbage yet, such as a
// parser's tree built, read and released in one go: a collection started by
// those allocations would only traverse the tree and promote it.  Objects
// freed meanwhile by their reference counts go at once, as ever; cycles wait
// for the next collection after the scope.
class CollectorPaused {
public:
    CollectorPaused() noexcept : was_on_(PyGC_Disable() != 0) {}
    ~CollectorPaused() {
        if (was_on_) PyGC_Enable();
    }
    CollectorPaused(const CollectorPaused&) = delete;
    CollectorPaused& operator=(const CollectorPaused&) = delete;

private:
    bool was_on_;
};

// Takes the pending Python exception (if any) aside for the life of the
// scope and sets it again when the scope ends, so that clean-up calls made
// while an error unwinds neither see it nor lose it.  Whatever the clean-up
// itself raises is dropped in favour of the saved exception.
class SavedError {
public:
    SavedError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exc_, &tb_);
#endif
    }
    ~SavedError() {
        if (!active_ || !python_usable()) return;
        PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
#else
        PyErr_Restore(type_, exc_, tb_);
#endif
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

    // The saved exception as one normalised object (with its traceback),
    // owned by the caller; it will not be set again.  Null when none was
    // pending.
    Ref take() noexcept {
        active_ = false;
#if PY_VERSION_HEX < 0x030C0000
        PyErr_NormalizeException(&type_, &exc_, &tb_);
        if (exc_ && tb_) PyException_SetTraceback(exc_, tb_);
        Py_XDECREF(type_);
        Py_XDECREF(tb_);
#endif
        PyObject* e = exc_;
        exc_ = nullptr;
        return e ? Ref::steal(e) : Ref();
    }

private:
    bool active_ = true;
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
    PyObject* exc_ = nullptr;
};

// One level of recursion over data the caller controls: counts against the
// interpreter's recursion limit, as the interpreter's own recursive C code
// does, and raises RecursionError when the thread's C stack runs low, which
// the limit alone cannot promise.  `where` completes the message, as in
// "maximum recursion depth exceeded while encoding a JSON object".
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        check_stack(where[0] == ' ' ? where + 1 : where);
        if (Py_EnterRecursiveCall(where)) raise_current();
    }
    ~RecursionGuard() {
        if (python_usable()) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace keldra
