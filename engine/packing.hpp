// Statements as bytes and back, for the pipe between the command and its
// worker processes: pickling the result tuples field by field costs more than
// a third of an analysis, this a few microseconds.
#pragma once

#include "engine.hpp"

namespace keldra::engine {

// keldra_lineage._engine.pack_statements(statements) -> bytes
PyObject* pack_statements_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// keldra_lineage._engine.unpack_statements(data) -> list of Statement
PyObject* unpack_statements_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace keldra::engine
