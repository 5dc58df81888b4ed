// The key of a query's fingerprint: the text with what cannot change its
// lineage left out (literals, blanks, comments, the case of keywords).
#pragma once

#include "engine.hpp"

#include <string>
#include <string_view>

namespace keldra::engine {

// The bytes that texts with the same lineage share (see fingerprint.cpp).
std::string fingerprint_key(std::string_view text, const Dialect& d);

// keldra_lineage._engine.fingerprint_key(text, dialect) -> bytes
PyObject* fingerprint_key_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace keldra::engine
