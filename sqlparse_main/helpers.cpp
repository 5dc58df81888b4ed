// Small operations shared by the analyzer files: the column record of a
// column, the interpreter's print, `in`, the dot split and the unpacking of
// a lineage triple.
#include "sqlparse_main.hpp"

namespace sqlparse_main {

Ref record_of(const Ctx& c, PyObject* self, PyObject* column) {
    Ref var = var_of(c, self);
    Ref result = keldra::getattr(var.get(), c.st->s_result);
    return call_method(c, result.get(), c.st->s_get, column);
}

void print_values(const Ctx& c, PyObject* a, PyObject* b) {
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* print = builtins ? keldra::dict_get(builtins, c.st->s_print) : nullptr;
    if (!print) keldra::raise(PyExc_NameError, "name 'print' is not defined");
    Ref keep = Ref::borrow(print);
    if (b)
        keldra::discard(keldra::call(print, a, b));
    else
        keldra::discard(keldra::call(print, a));
}

bool contains(PyObject* container, PyObject* item) {
    return keldra::check(PySequence_Contains(container, item)) != 0;
}

void dot_split(const Ctx& c, PyObject* value, Ref* first, Ref* second) {
    if (PyUnicode_Check(value)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(value);
        Py_ssize_t d1 = PyUnicode_FindChar(value, '.', 0, n, 1);
        if (d1 == -2) keldra::raise_current();
        if (d1 < 0) keldra::raise(PyExc_IndexError, "list index out of range");
        Py_ssize_t d2 = PyUnicode_FindChar(value, '.', d1 + 1, n, 1);
        if (d2 == -2) keldra::raise_current();
        if (d2 < 0) d2 = n;
        *first = Ref::steal(PyUnicode_Substring(value, 0, d1));
        *second = Ref::steal(PyUnicode_Substring(value, d1 + 1, d2));
        return;
    }
    Ref parts = call_method(c, value, c.st->s_split, c.st->s_dot);
    *first = Ref::steal(PySequence_GetItem(parts.get(), 0));
    *second = Ref::steal(PySequence_GetItem(parts.get(), 1));
}

void unpack3(PyObject* item, Ref out[3]) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 3) {
        for (int i = 0; i < 3; ++i) out[i] = Ref::borrow(PyTuple_GET_ITEM(item, i));
        return;
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    int got = 0;
    for (;; ++got) {
        PyObject* v = PyIter_Next(it.get());
        if (!v) {
            if (PyErr_Occurred()) keldra::raise_current();
            break;
        }
        if (got == 3) {
            Py_DECREF(v);
            keldra::raise(PyExc_ValueError, "too many values to unpack (expected 3)");
        }
        out[got] = Ref::steal(v);
    }
    if (got < 3)
        keldra::raise(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)", got);
}

}  // namespace sqlparse_main
