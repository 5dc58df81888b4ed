// The parser's call on one statement's text, and what its failures mean.
#pragma once

#include "engine.hpp"

namespace keldra::engine {

// A statement refused before parsing: the stack its parse may need cannot be
// mapped, or it nests brackets deeper than the parser reads.  `why` is the
// statement's error, `at` where in the statement's text (1-based; line 0 for
// the statement's start).
struct ParseRefused {
    std::string why;
    Pos at;
};

// How deep the parser reads nested brackets (the argument is in parse.cpp).
inline constexpr int max_nesting = 48;

// The bytes of stack that the parse of `text` may need at most (the argument
// is in parse.cpp).
size_t parser_stack_for(std::string_view text);

// parse_sql(text, dialect): a new reference, or nullptr with the parser's
// exception set; `body` is the text as UTF-8, written in `d`.  Throws
// ParseRefused when the text nests too deeply for the parser or no stack can
// hold the parse; a failure to run the parser at all raises.
PyObject* call_parser(PyObject* parse, PyObject* text, PyObject* dialect, std::string_view body, const Dialect& d);

// Whether the pending exception is the parser's verdict on the statement
// (its error record) rather than an interrupt, a lack of memory or a fault.
bool parser_failure();

// The pending exception, taken; None when there is none.
Ref take_exception();

// The parser's exception as the statement's error, positioned in the whole
// text.
Message parse_error(const Source& src, PyObject* exc);

}  // namespace keldra::engine
