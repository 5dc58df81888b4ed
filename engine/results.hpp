// Turning a resolved statement into the Python result objects.
#pragma once

#include "engine.hpp"

#include <string_view>
#include <vector>

namespace keldra::engine {

// The result types (tuple subclasses defined in Python) and the strings they
// hold, bound once per module.
struct ResultTypes {
    PyTypeObject* source = nullptr;
    PyTypeObject* column = nullptr;
    PyTypeObject* statement = nullptr;
    PyObject* message = nullptr;  // keldra_lineage.Message, called as Message(kind, line, column, text)
    PyObject* direct = nullptr;
    PyObject* indirect = nullptr;
    PyObject* subtypes[9] = {};
    PyObject* kinds[static_cast<int>(Kind::other) + 1] = {};
    PyObject* message_kinds[message_kind_count] = {};
    void init(PyObject* module_with_types);  // raises on failure
    void clear();
};

// A tuple none of whose items the cyclic collector follows (strings,
// numbers, None, tuples like this one) can be part of no cycle: it is left
// out of the collector's work, as CPython leaves its own such tuples.  A run
// holds many thousands of results, and a collection would walk them all.
inline void untrack_if_flat(PyObject* tuple) noexcept {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i)
        if (PyObject_GC_IsTracked(PyTuple_GET_ITEM(tuple, i))) return;
    if (PyObject_GC_IsTracked(tuple)) PyObject_GC_UnTrack(tuple);
}

// A tuple (or list) of `items`, made once they are all built: no Python code
// (a collection's callbacks, a constructor) ever sees it with empty slots.
inline Ref tuple_of(std::vector<Ref>& items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i) PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
    untrack_if_flat(tuple.get());
    return tuple;
}

inline Ref list_of(std::vector<Ref>& items) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return list;
}

// An instance of one of our tuple subclasses, filled with new references.
// The types are ours and add no fields, so the tuple's own layout is theirs.
template <size_t N>
Ref make(PyTypeObject* type, Ref (&&values)[N]) {
    PyObject* o = type->tp_alloc(type, static_cast<Py_ssize_t>(N));
    if (!o) raise_current();
#if PY_VERSION_HEX >= 0x030E0000
    reinterpret_cast<PyTupleObject*>(o)->ob_hash = -1;  // no hash cached yet
#endif
    for (size_t i = 0; i < N; ++i) PyTuple_SET_ITEM(o, static_cast<Py_ssize_t>(i), values[i].release());
    untrack_if_flat(o);
    return Ref::steal(o);
}

// A str from UTF-8 that may hold lone surrogates (as the engine's texts may).
inline Ref text(std::string_view s) {
    return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass"));
}

// The UTF-8 bytes of a str, lone surrogates written as "surrogatepass"
// writes them (the inverse of `text`); `keep` holds them when they had to be
// encoded anew, so the view lives as long as `s` and `keep`.
inline std::string_view utf8_of(PyObject* s, Ref& keep) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(s, &size)) return {utf8, static_cast<size_t>(size)};
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) raise_current();
    PyErr_Clear();
    keep = Ref::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    return {PyBytes_AS_STRING(keep.get()), static_cast<size_t>(PyBytes_GET_SIZE(keep.get()))};
}

Ref build_statement(const ResultTypes& t, Statement& st);
Ref kind_tuple();  // the names of the statement kinds, in order (keldra_lineage.KINDS)

// The names of the message kinds, in order, as a tuple of str.
Ref message_kinds();

}  // namespace keldra::engine
