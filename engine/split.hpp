// Splitting a text into statements at the semicolons that end them, with
// exact positions.  Strings, quoted identifiers, comments and dollar-quoted
// bodies are skipped whole, so a semicolon inside them ends nothing.
#pragma once

#include "engine.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keldra::engine {

// The text with lone carriage returns (the line ends of old Mac files, not
// those of CRLF) read as line feeds: the same length, so every offset stays,
// and the splitter and the parser count the same lines.  `storage` holds the
// copy when one is made.
std::string_view lf_lines(std::string_view text, std::string& storage);

// A quote, quoted name, dollar-quoted text or block comment that does not
// close where its statement should end.
struct Unclosed {
    size_t at = 0;   // byte offset of its opening character
    Pos pos;         // where it opens, in the whole text
    char open = 0;   // ' " ` [ $, or / for a block comment
    Pos closed;      // where its closing quote is; none when it never closes
};

struct Piece {
    size_t begin = 0;  // byte offset of the statement's first token
    size_t end = 0;    // byte offset of its terminating ';' (or the text's end)
    Pos start;         // position of the first token in the whole text
    // Set: the statement is this error.  What it names never closes, and the
    // statement ends at the first line after its opening whose last
    // non-blank character is ';', so that it swallows no statement after it.
    std::optional<Unclosed> unclosed;
    // Set: a quote that closes only past such a line, the first of the
    // statement.  Legitimate in a text over many lines, it is also what a
    // stray quote paired with a quote of a later statement looks like; the
    // caller decides (Splitter::cut) when the statement fails to parse.
    std::optional<Unclosed> doubtful;
};

// Splitting a text into statements one at a time, the ones holding only
// blanks and comments left out.  The dialect says what quotes and comments
// it has and whether block comments nest.
class Splitter {
public:
    Splitter(std::string_view text, const Dialect& d);
    // Over text[begin, text.size()), its first character at `start`.
    Splitter(std::string_view text, const Dialect& d, size_t begin, Pos start)
        : text_(text), d_(d), i_(begin), line_(start.line), column_(start.column) {}
    // The next statement; false at the end of the text.
    bool next(Piece& out);
    // Reads the piece that next() gave last, which has a doubtful quote, as
    // if that quote never closed: it becomes unclosed, ends at the first line
    // after the quote that ends a statement, and splitting resumes there.
    void cut(Piece& piece);

private:
    std::string_view text_;
    const Dialect& d_;
    size_t i_ = 0;
    int line_ = 1, column_ = 1;
};

// What an unclosed quote or comment is, and what was done, for its message.
std::string unclosed_message(const Unclosed& u, const Dialect& d);

// The statements of a whole text at once.
std::vector<Piece> split_statements(std::string_view text, const Dialect& d);

// The projection items of a select list as written: `begin` is just after
// the SELECT keyword.  Returns the byte ranges of the comma-separated items
// at nesting depth 0, up to the clause that ends the list.
std::vector<std::pair<size_t, size_t>> list_items(std::string_view text, size_t begin,
                                                  const Dialect& d);

}  // namespace keldra::engine
