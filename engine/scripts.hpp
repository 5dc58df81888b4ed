// Scripts and procedures: what a piece of text between two statement ends
// holds besides one statement.  Blocks (BEGIN ... END), control flow (IF,
// ELSEIF, ELSE, WHILE, FOR, LOOP, REPEAT, exception handlers), declarations
// and assignments, procedure and function headers with their bodies
// ($$ ... $$, '...' or BEGIN ... END) and EXECUTE IMMEDIATE of a literal are
// read off the text here, so that every statement inside them is parsed and
// analysed as a statement of its own, at its own position in the whole text.
#pragma once

#include "split.hpp"

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace keldra::engine {

struct Unit {
    enum class Kind : std::uint8_t {
        statement,  // a statement for the parser
        procedure,  // CREATE PROCEDURE / FUNCTION: a statement of its own, without columns
        construct,  // a construct that is not read for lineage: a warning of its own
        unclosed,   // a quote or comment of a body that never closes: an error
    } kind = Kind::statement;
    // The unit's text: [begin, end) of the whole text, or of `owner` when the
    // statement is a string literal's unescaped content.
    size_t begin = 0, end = 0;
    std::shared_ptr<const std::string> owner;
    Pos start;                // where it starts in the whole text
    std::vector<Name> name;   // procedure: its name
    std::string note;         // construct: its warning; procedure: a warning, if any; unclosed: the error
    bool function = false;    // procedure: CREATE FUNCTION
    bool line = false;        // statement: cut at a line that begins one, it may need the next (read_lines)
};

struct Cursor;

// Whether `word` (in any case) begins a statement or closes a block: where
// the parser, expecting the end of a statement, found the next one (T-SQL
// writes no semicolons between them).
bool begins_statement(std::string_view word);

// Reads pieces into units, keeping what a script declares across them.
class Script {
public:
    Script(std::string_view text, const Dialect& d) : text_(text), d_(d) {}
    // Appends the units of `piece` (a piece of this text) to `out`.
    void read(const Piece& piece, std::vector<Unit>& out);
    // Appends the units of [begin, end) of `text` (the whole text, or
    // `owner`'s), its first character at `start`.
    void read_part(std::string_view text, std::shared_ptr<const std::string> owner, size_t begin, size_t end,
                   Pos start, std::vector<Unit>& out) {
        read_range(text, std::move(owner), begin, end, start, out);
    }
    // The same, cut first at every line whose first word begins a statement
    // (outside parentheses, quotes and comments): for a text whose
    // statements have no semicolon between them.  Its statement units are
    // marked `line`: one may need the units after it (INSERT ... on a line,
    // its SELECT on the next), which the caller tries in turn.
    void read_lines(std::string_view text, std::shared_ptr<const std::string> owner, size_t begin, size_t end,
                    Pos start, std::vector<Unit>& out);
    // The variables that the script has declared so far (by their folded name).
    const std::unordered_set<std::string>& variables() const { return variables_; }

private:
    void read_range(std::string_view text, std::shared_ptr<const std::string> owner, size_t begin, size_t end,
                    Pos start, std::vector<Unit>& out);
    void read_body(std::string_view text, std::shared_ptr<const std::string> owner, size_t begin, size_t end,
                   Pos start, std::vector<Unit>& out);
    enum class Resume : std::uint8_t { done, again, statement };
    Resume procedure(std::string_view text, const std::shared_ptr<const std::string>& owner, Cursor& cur, size_t end,
                     std::vector<Unit>& out);
    void declaration(Cursor& cur, std::vector<Unit>& out, const std::shared_ptr<const std::string>& owner, size_t end);
    std::string_view text_;
    const Dialect& d_;
    bool declaring_ = false;  // in a DECLARE section (Snowflake, PL/pgSQL): pieces until BEGIN declare
    int nesting_ = 0;         // bodies inside bodies
    std::unordered_set<std::string> variables_;
};

}  // namespace keldra::engine
