// Splitting a text into statements at the semicolons that end them, with
// exact positions.  Strings, quoted identifiers, comments and dollar-quoted
// bodies are skipped whole, so a semicolon inside them ends nothing.
#pragma once

#include "engine.hpp"

#include <string_view>
#include <vector>

namespace keldra::engine {

struct Piece {
    size_t begin = 0;  // byte offset of the statement's first token
    size_t end = 0;    // byte offset of its terminating ';' (or the text's end)
    Pos start;         // position of the first token in the whole text
};

// Statements holding only blanks and comments are left out.
std::vector<Piece> split_statements(std::string_view text, const Dialect& d);

// The projection items of a select list as written: `begin` is just after
// the SELECT keyword.  Returns the byte ranges of the comma-separated items
// at nesting depth 0, up to the clause that ends the list.
std::vector<std::pair<size_t, size_t>> list_items(std::string_view text, size_t begin,
                                                  const Dialect& d);

}  // namespace keldra::engine
