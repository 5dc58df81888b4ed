// Turning a resolved statement into the Python result objects.
#pragma once

#include "engine.hpp"

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

Ref build_statement(const ResultTypes& t, Statement& st);
Ref kind_tuple();  // the names of the statement kinds, in order (keldra_lineage.KINDS)

// The names of the message kinds, in order, as a tuple of str.
Ref message_kinds();

}  // namespace keldra::engine
