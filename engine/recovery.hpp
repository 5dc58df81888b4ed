// Parser recovery: a statement that sqloxide rejects, rewritten by another
// parser (keldra_lineage/recovery.py) into a form sqloxide accepts.
#pragma once

#include "engine.hpp"

#include <string>

namespace keldra::engine {

struct Recovery {
    std::string text;  // the rewritten statement that parsed (UTF-8)
    std::string note;  // the warning that says so
};

// With the parser's exception on `text` pending: the parse of a rewriting
// (a new reference, `out` filled), or nullptr with that exception pending
// again when no rewriting parses.  A failure of the recovery itself raises.
PyObject* recover(const Source& src, PyObject* parse, PyObject* text, const Dialect& d, PyObject* parser_dialect,
                  Recovery& out);

}  // namespace keldra::engine
