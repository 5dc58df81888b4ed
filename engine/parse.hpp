// The parser's call on one statement's text, and what its failures mean.
#pragma once

#include "engine.hpp"

namespace keldra::engine {

// Longer runs of operators than this are refused before parsing.
constexpr int max_operator_run = 10000;

// parse_sql(text, dialect): a new reference, or nullptr with the parser's
// exception set.  A failure to run the parser at all raises.  `length` is the
// text's size in bytes.
PyObject* call_parser(PyObject* parse, PyObject* text, PyObject* dialect, size_t length);

// Whether the pending exception is the parser's verdict on the statement
// (its error record) rather than an interrupt, a lack of memory or a fault.
bool parser_failure();

// The pending exception, taken; None when there is none.
Ref take_exception();

// The parser's exception as the statement's error, positioned in the whole
// text.
Message parse_error(const Source& src, PyObject* exc);

}  // namespace keldra::engine
