// The module's state and the session: what one run of the engine knows
// across the texts it is given.
#pragma once

#include "ast.hpp"
#include "results.hpp"

namespace keldra::engine {

// Per module: the dict keys the reader looks up, the result types, the
// parser, and the session type.
struct State {
    Names names;
    ResultTypes types;
    PyObject* parse_sql = nullptr;
    PyObject* resolve = nullptr;  // "resolve", the catalog's method
    PyTypeObject* session_type = nullptr;
};

State* state_of(PyObject* module);

// A session's C++ side: the dialect, the catalog, and the tables that its
// texts created or filled so far.
struct Session {
    const Dialect* dialect = nullptr;
    Ref dialect_name;
    Ref catalog;  // None or an object with resolve(parts)
    Tables tables;
    bool busy = false;  // a call is under way: the catalog may run Python code
};

// The dialect named by `name` (a str), or a ValueError listing the valid ones.
const Dialect* dialect_of(PyObject* name);

// The statements of one text as a list of keldra_lineage.Statement.  With a
// `name` (a table name as SQL writes it, None for none), the text's last
// query defines that table, as `CREATE VIEW name AS` would.
Ref analyse_text(State& state, Session& session, PyObject* sql, PyObject* name);

// The type keldra_lineage._engine.Session, made for `module`.
PyTypeObject* make_session_type(PyObject* module);

}  // namespace keldra::engine
