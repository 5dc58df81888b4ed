#include "scripts.hpp"

#include "scanner.hpp"

#include <algorithm>
#include <initializer_list>

namespace keldra::engine {

namespace {

bool word_char(unsigned char c) {
    return c == '_' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80;
}
bool space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// The words that begin a statement of the parser's (or a block): what ends
// a condition that T-SQL writes without THEN, and what ends a section of
// declarations.
constexpr const char* statement_words[] = {
    "ALTER",  "BEGIN",    "CALL",   "COMMIT",   "COPY",   "CREATE", "DECLARE", "DELETE",  "DROP",   "EXEC",
    "EXECUTE", "FOR",     "GRANT",  "IF",       "INSERT", "LET",    "LOOP",    "MERGE",   "OPEN",   "PRINT",
    "RAISERROR", "REPEAT", "RETURN", "REVOKE",  "ROLLBACK", "SELECT", "SET",   "THROW",   "TRUNCATE", "UPDATE",
    "USE",    "VALUES",   "WHILE",  "WITH",
};

bool starts_statement(const std::string& w) {
    return std::find_if(std::begin(statement_words), std::end(statement_words),
                        [&](const char* s) { return w == s; }) != std::end(statement_words);
}

}  // namespace

bool begins_statement(std::string_view word) {
    const std::string w = ascii_upper(word);
    return w == "END" || starts_statement(w);
}

namespace {

bool one_of(const std::string& w, std::initializer_list<const char*> words) {
    for (const char* s : words)
        if (w == s) return true;
    return false;
}

}  // namespace

// A position in a text being read: a scanner, which keeps the line and
// column, over [.., end) of the text.
struct Cursor {
    Scanner sc;

    Cursor(std::string_view text, const Dialect& d, size_t begin, size_t end, Pos start)
        : sc{text.substr(0, end), d, begin, start.line, start.column} {}
    Cursor(const Cursor&) = default;
    // Moves to where another cursor over the same text is.
    Cursor& operator=(const Cursor& o) {
        sc.i = o.sc.i;
        sc.line = o.sc.line;
        sc.column = o.sc.column;
        sc.closed = o.sc.closed;
        return *this;
    }

    bool done() const { return sc.done(); }
    size_t at() const { return sc.i; }
    size_t end() const { return sc.s.size(); }
    Pos pos() const { return Pos{sc.line, sc.column}; }
    unsigned char ch(size_t k) const { return sc.at(k); }

    // Past blanks and comments.
    void blanks() {
        while (!sc.done()) {
            const unsigned char c = sc.at(sc.i);
            if (space(c)) {
                sc.step();
            } else if ((c == '-' && sc.at(sc.i + 1) == '-') || (c == '/' && sc.at(sc.i + 1) == '*') ||
                       (c == '#' && sc.d.hash_comments)) {
                sc.skip_opaque();
            } else {
                break;
            }
        }
    }
    // The word here, in upper case ("" when none starts here).
    std::string word() const { return word_at(sc.i); }
    std::string word_at(size_t k) const {
        size_t e = k;
        while (e < sc.s.size() && word_char(sc.at(e))) ++e;
        return ascii_upper(sc.s.substr(k, e - k));
    }
    void skip(size_t n) { sc.step_to(sc.i + n); }
    void to(size_t k) { sc.step_to(k); }
    // The word after this one, past blanks and comments.
    std::string next_word() const {
        Cursor c = *this;
        c.skip(c.word().size());
        c.blanks();
        return c.word();
    }

    // The offset of the first of `words` after here at nesting depth 0
    // (parentheses, and CASE ... END), or npos; the cursor stays.
    size_t find(std::initializer_list<const char*> words) const {
        Scanner s = sc;
        int depth = 0, cases = 0;
        while (!s.done()) {
            const unsigned char c = s.at(s.i);
            if (c == '(' || c == '[') {
                ++depth;
            } else if ((c == ')' || c == ']') && depth > 0) {
                --depth;
            } else if (word_char(c) && (s.i == 0 || !word_char(s.at(s.i - 1)))) {
                const std::string w = word_at(s.i);
                if (depth == 0 && cases == 0 && one_of(w, words)) return s.i;
                if (w == "CASE") ++cases;
                if (w == "END" && cases > 0) --cases;
                s.step_to(s.i + w.size());
                continue;
            }
            if (!s.skip_opaque()) s.step();
        }
        return std::string_view::npos;
    }
};

namespace {

// A dotted name as written at the cursor (parts bare or quoted), read past.
std::vector<Name> read_name(Cursor& cur, const Dialect& d) {
    std::vector<Name> parts;
    for (;;) {
        cur.blanks();
        const unsigned char c = cur.ch(cur.at());
        if (c == '"' || c == '`' || (c == '[' && d.bracket_quotes)) {
            const size_t open = cur.at();
            cur.sc.skip_opaque();
            std::string text(cur.sc.s.substr(open + 1, cur.at() - open - 2 + (cur.sc.closed ? 0 : 1)));
            parts.push_back(make_name(std::move(text), true, d));
        } else if (word_char(c) || c == '#' || c == '@') {
            const size_t from = cur.at();
            cur.skip(1);
            while (!cur.done() && (word_char(cur.ch(cur.at())) || cur.ch(cur.at()) == '$')) cur.skip(1);
            parts.push_back(make_name(std::string(cur.sc.s.substr(from, cur.at() - from)), false, d));
        } else {
            return parts;
        }
        if (cur.ch(cur.at()) != '.') return parts;
        cur.skip(1);
    }
}

// The content of the quoted literal at the cursor ('...' or $tag$...$tag$),
// read past it: [begin, end) of the text, or an unescaped copy when the
// literal has escaped quotes.  False when no literal starts here.
struct Literal {
    size_t begin = 0, end = 0;
    std::shared_ptr<const std::string> copy;
};
bool read_literal(Cursor& cur, const Dialect& d, Literal& out) {
    const size_t open = cur.at();
    const unsigned char c = cur.ch(open);
    if (c != '\'' && c != '$') return false;
    size_t tag = 1;
    if (c == '$') {
        while (open + tag < cur.end() && cur.ch(open + tag) != '$') ++tag;
        ++tag;
    }
    if (!cur.sc.skip_opaque() || !cur.sc.closed) return false;
    out.begin = open + tag;
    out.end = cur.at() - tag;
    if (c == '\'') {
        const std::string_view body = cur.sc.s.substr(out.begin, out.end - out.begin);
        if (body.find('\'') != std::string_view::npos || (d.backslash_escapes && body.find('\\') != std::string_view::npos)) {
            std::string copy;
            copy.reserve(body.size());
            for (size_t k = 0; k < body.size(); ++k) {
                if ((body[k] == '\'' && k + 1 < body.size() && body[k + 1] == '\'') ||
                    (d.backslash_escapes && body[k] == '\\' && k + 1 < body.size()))
                    ++k;
                copy += body[k];
            }
            out.copy = std::make_shared<const std::string>(std::move(copy));
        }
    }
    return true;
}

}  // namespace

void Script::read_lines(std::string_view text, std::shared_ptr<const std::string> owner, size_t begin, size_t end,
                        Pos start, std::vector<Unit>& out) {
    Scanner sc{text.substr(0, end), d_, begin, start.line, start.column};
    size_t from = begin;
    Pos from_pos = start;
    bool line_start = false;
    int depth = 0;
    auto chunk = [&](size_t to) {
        const size_t first = out.size();
        read_range(text, owner, from, to, from_pos, out);
        for (size_t k = first; k < out.size(); ++k) out[k].line = out[k].kind == Unit::Kind::statement;
    };
    while (!sc.done()) {
        const unsigned char c = sc.at(sc.i);
        if (c == '\n') {
            line_start = true;
            sc.step();
            continue;
        }
        if (space(c)) {
            sc.step();
            continue;
        }
        if (line_start && depth == 0 && word_char(c)) {
            size_t e = sc.i;
            while (e < sc.s.size() && word_char(sc.at(e))) ++e;
            if (begins_statement(sc.s.substr(sc.i, e - sc.i)) && sc.i > from) {
                chunk(sc.i);
                from = sc.i;
                from_pos = Pos{sc.line, sc.column};
            }
        }
        line_start = false;
        if (c == '(') ++depth;
        if (c == ')' && depth > 0) --depth;
        if (!sc.skip_opaque()) sc.step();
    }
    chunk(end);
}

void Script::read(const Piece& piece, std::vector<Unit>& out) {
    read_range(text_, nullptr, piece.begin, piece.end, piece.start, out);
}

// The statements of a body (a procedure's, or EXECUTE IMMEDIATE's literal),
// split on their own: a semicolon inside the body ends a statement of the
// body, not the text's.
void Script::read_body(std::string_view text, std::shared_ptr<const std::string> owner, size_t begin, size_t end,
                       Pos start, std::vector<Unit>& out) {
    if (nesting_ >= 16) {
        out.push_back(Unit{Unit::Kind::construct, begin, end, owner, start, {},
                           "a body nested sixteen deep is not read"});
        return;
    }
    ++nesting_;
    const bool declaring = std::exchange(declaring_, false);
    Splitter splitter(text.substr(0, end), d_, begin, start);
    for (Piece p; splitter.next(p);) {
        if (p.unclosed) {
            out.push_back(Unit{Unit::Kind::unclosed, p.begin, p.end, owner, p.unclosed->pos, {},
                               unclosed_message(*p.unclosed, d_)});
            continue;
        }
        read_range(text, owner, p.begin, p.end, p.start, out);
    }
    declaring_ = declaring;
    --nesting_;
}

void Script::read_range(std::string_view text, std::shared_ptr<const std::string> owner, size_t begin, size_t end,
                        Pos start, std::vector<Unit>& out) {
    Cursor cur(text, d_, begin, end, start);
    auto statement = [&](size_t from, size_t to, Pos at) {
        while (to > from && space(static_cast<unsigned char>(text[to - 1]))) --to;
        if (to > from) out.push_back(Unit{Unit::Kind::statement, from, to, owner, at, {}, {}});
    };
    auto construct = [&](Pos at, std::string note) {
        out.push_back(Unit{Unit::Kind::construct, cur.at(), cur.at(), owner, at, {}, std::move(note)});
    };
    // The query of `FOR r IN <query> DO`, `LET x := (<query>)`, `CURSOR FOR
    // <query>`, `RETURN QUERY <query>` as a statement, when it is one.
    auto query_in = [&](Cursor c, size_t to) {
        c.blanks();
        Cursor inner = c;
        while (!inner.done() && inner.ch(inner.at()) == '(') {
            inner.skip(1);
            inner.blanks();
        }
        if (!one_of(inner.word(), {"SELECT", "WITH", "VALUES"})) return false;
        statement(c.at(), to, c.pos());
        return true;
    };
    for (;;) {
        cur.blanks();
        if (cur.done()) return;
        const size_t at = cur.at();
        const Pos pos = cur.pos();
        // PL/pgSQL's label before a block: <<name>>
        if (cur.ch(at) == '<' && cur.ch(at + 1) == '<') {
            const size_t close = cur.sc.s.find(">>", at + 2);
            if (close != std::string_view::npos && close < end) {
                cur.to(close + 2);
                continue;
            }
        }
        const std::string w = cur.word();
        if (w.empty()) break;
        // A label before a block: `name: BEGIN`.
        if (cur.ch(at + w.size()) == ':' && cur.ch(at + w.size() + 1) != '=' && cur.ch(at + w.size() + 1) != ':') {
            Cursor after = cur;
            after.skip(w.size() + 1);
            after.blanks();
            if (one_of(after.word(), {"BEGIN", "LOOP", "WHILE", "FOR", "REPEAT", "DECLARE"})) {
                cur = after;
                continue;
            }
        }
        if (declaring_ && !starts_statement(w)) {
            declaration(cur, out, owner, end);
            return;
        }
        declaring_ = false;
        if (w == "BEGIN") {
            const std::string next = cur.next_word();
            Cursor after = cur;
            after.skip(5);
            after.blanks();
            if (after.done() || one_of(next, {"TRANSACTION", "TRAN", "WORK", "DISTRIBUTED", "ISOLATION", "READ",
                                              "DEFERRED", "IMMEDIATE", "EXCLUSIVE", "NAME"}))
                break;  // a transaction, for the parser
            if (one_of(next, {"TRY", "CATCH", "ATOMIC"})) after.skip(next.size());
            cur = after;
            continue;
        }
        if (w == "END") {
            cur.skip(3);
            cur.blanks();
            const std::string next = cur.word();
            // END IF, END LOOP, END WHILE, END FOR, END REPEAT, END CASE, END
            // label; T-SQL has END TRY and END CATCH only, and a statement
            // may follow its END without a semicolon
            const bool closes = d_.go_batches ? one_of(next, {"TRY", "CATCH"})
                                              : one_of(next, {"IF", "LOOP", "WHILE", "FOR", "REPEAT", "CASE"}) ||
                                                    (!next.empty() && !starts_statement(next) && next != "ELSE" &&
                                                     next != "END");
            if (closes) cur.skip(next.size());
            continue;
        }
        if (w == "DO") {
            // PostgreSQL's anonymous block: DO [LANGUAGE l] $$ body $$
            Cursor c = cur;
            c.skip(2);
            c.blanks();
            std::string lang;
            if (c.word() == "LANGUAGE") {
                c.skip(8);
                c.blanks();
                lang = std::string(c.sc.s.substr(c.at(), c.word().size()));
                c.skip(lang.size());
                c.blanks();
            }
            Cursor content = c;
            Literal lit;
            if ((c.ch(c.at()) == '$' || c.ch(c.at()) == '\'') && read_literal(c, d_, lit)) {
                if (!lang.empty() && !one_of(ascii_upper(lang), {"SQL", "PLPGSQL"})) {
                    construct(pos, "the block in LANGUAGE " + lang + " is not read for lineage");
                    return;
                }
                content.to(lit.begin);
                if (lit.copy)
                    read_body(*lit.copy, lit.copy, 0, lit.copy->size(), content.pos(), out);
                else
                    read_body(text, owner, lit.begin, lit.end, content.pos(), out);
                return;
            }
        }
        if (one_of(w, {"ELSE", "LOOP", "REPEAT", "DO", "EXCEPTION"})) {
            cur.skip(w.size());
            continue;
        }
        if (one_of(w, {"LEAVE", "ITERATE", "BREAK", "CONTINUE"})) {
            // leaving or repeating a loop [label]: no lineage
            cur.skip(w.size());
            cur.blanks();
            if (const std::string label = cur.word(); !label.empty() && !starts_statement(label) && label != "END")
                cur.skip(label.size());
            continue;
        }
        if (one_of(w, {"IF", "ELSEIF", "ELSIF", "WHILE", "UNTIL", "WHEN"})) {
            // The condition runs to THEN (DO or LOOP after WHILE, END after
            // UNTIL); T-SQL writes none, and it runs to the statement after it.
            Cursor c = cur;
            c.skip(w.size());
            size_t stop = std::string_view::npos;
            if (!d_.go_batches)  // T-SQL has no THEN, DO or UNTIL
                stop = w == "WHILE" ? c.find({"DO", "LOOP"}) : w == "UNTIL" ? c.find({"END"}) : c.find({"THEN"});
            const bool keyword = stop != std::string_view::npos;
            if (!keyword) stop = c.find({"SELECT", "INSERT", "UPDATE", "DELETE", "MERGE", "DROP", "CREATE", "BEGIN",
                                         "SET", "EXEC", "EXECUTE", "TRUNCATE", "RETURN", "PRINT", "RAISERROR",
                                         "THROW", "WITH"});
            if (w != "WHEN")
                construct(pos, "the condition of " + w + " is not read for lineage");
            if (stop == std::string_view::npos) return;
            cur.to(stop);
            if (keyword) cur.skip(cur.word().size());
            continue;
        }
        if (w == "FOR") {
            Cursor c = cur;
            c.skip(3);
            const size_t stop = c.find({"DO", "LOOP"});
            const size_t in = c.find({"IN"});
            if (in == std::string_view::npos || stop == std::string_view::npos || in > stop) break;  // a statement
            c.blanks();
            if (const std::string var = c.word(); !var.empty()) variables_.insert(ascii_lower(var));  // the loop's record
            c.to(in + 2);
            if (!query_in(c, stop)) construct(pos, "the range of FOR is not read for lineage");
            cur.to(stop);
            cur.skip(cur.word().size());
            continue;
        }
        if (w == "DECLARE") {
            cur.skip(7);
            cur.blanks();
            // Snowflake's blocks and the bodies of PL/pgSQL declare in a
            // section: the pieces up to BEGIN (or a statement) declare too
            declaring_ = d_.declare_sections || nesting_ > 0;
            if (cur.done()) return;
            declaration(cur, out, owner, end);
            return;
        }
        // LET x := expr, x := expr: a query assigned is a statement
        const bool let = w == "LET";
        Cursor name = cur;
        if (let) {
            name.skip(3);
            name.blanks();
        }
        const std::string var = name.word();
        {
            Cursor c = name;
            c.skip(var.size());
            c.blanks();
            const bool assigns = c.ch(c.at()) == ':' && c.ch(c.at() + 1) == '=';
            if (!var.empty() && (let || assigns)) {
                if (!d_.bound_variables) variables_.insert(ascii_lower(var));
                if (assigns) {
                    c.skip(2);
                } else {
                    // LET c CURSOR FOR q, LET r RESULTSET := (q), LET x INT DEFAULT e
                    const size_t to = c.find({"FOR", "DEFAULT"});
                    const size_t set = c.sc.s.find(":=", c.at());
                    if (to != std::string_view::npos && (set == std::string_view::npos || to < set)) {
                        c.to(to);
                        c.skip(c.word().size());
                    } else if (set != std::string_view::npos) {
                        c.to(set + 2);
                    }
                }
                if (!query_in(c, end)) construct(pos, "the value assigned to " + var + " is not read for lineage");
                return;
            }
        }
        if (w == "RETURN") {
            Cursor c = cur;
            c.skip(6);
            c.blanks();
            if (c.word() == "QUERY") c.skip(5);
            c.blanks();
            if (c.done() || query_in(c, end)) return;
            construct(pos, "RETURN is not read for lineage");
            return;
        }
        if ((w == "EXECUTE" || w == "EXEC") && cur.next_word() == "IMMEDIATE") {
            Cursor c = cur;
            c.skip(w.size());
            c.blanks();
            c.skip(9);
            c.blanks();
            Literal lit;
            if (!read_literal(c, d_, lit)) {
                construct(pos, "EXECUTE IMMEDIATE of an expression is not read for lineage");
                return;
            }
            // where the literal's content starts: just past its opening quote or tag
            Cursor content = cur;
            content.to(lit.begin);
            if (lit.copy)
                read_body(*lit.copy, lit.copy, 0, lit.copy->size(), content.pos(), out);
            else
                read_body(text, owner, lit.begin, lit.end, content.pos(), out);
            return;
        }
        if (w == "CREATE") {
            const Resume r = procedure(text, owner, cur, end, out);
            if (r == Resume::done) return;
            if (r == Resume::again) continue;
        }
        break;
    }
    // T-SQL's UPDATE / DELETE / INSERT TOP (n) [PERCENT]: the parser reads
    // TOP (n) as a table function, so the clause is blanked out in a copy
    // (the same length: every position stays)
    if (d_.go_batches && one_of(cur.word(), {"UPDATE", "DELETE", "INSERT"}) && cur.next_word() == "TOP") {
        Cursor c = cur;
        c.skip(c.word().size());
        c.blanks();
        const size_t top = c.at();
        c.skip(3);
        c.blanks();
        if (c.ch(c.at()) == '(') {
            int depth = 0;
            while (!c.done()) {
                const unsigned char ch = c.ch(c.at());
                if (ch == '(') ++depth;
                if (ch == ')' && --depth == 0) break;
                if (!c.sc.skip_opaque()) c.skip(1);
            }
            if (!c.done()) {
                c.skip(1);
                Cursor after = c;
                after.blanks();
                if (after.word() == "PERCENT") {
                    c = after;
                    c.skip(7);
                }
                size_t to = end;
                while (to > cur.at() && space(static_cast<unsigned char>(text[to - 1]))) --to;
                auto copy = std::make_shared<std::string>(text.substr(cur.at(), to - cur.at()));
                for (size_t k = top; k < c.at(); ++k)
                    if (!space(static_cast<unsigned char>((*copy)[k - cur.at()]))) (*copy)[k - cur.at()] = ' ';
                out.push_back(Unit{Unit::Kind::statement, 0, copy->size(), std::move(copy), cur.pos(), {}, {}});
                return;
            }
        }
    }
    statement(cur.at(), end, cur.pos());
}

// CREATE [OR REPLACE] PROCEDURE | FUNCTION name ...: the procedure as a
// unit of its own, then the statements of its body: a literal after AS
// ($$ ... $$ or '...'), BEGIN ... END, or (T-SQL) whatever follows AS.
Script::Resume Script::procedure(std::string_view text, const std::shared_ptr<const std::string>& owner, Cursor& cur,
                                 size_t end, std::vector<Unit>& out) {
    Cursor c = cur;
    c.skip(6);
    c.blanks();
    std::string k = c.word();
    while (one_of(k, {"OR", "REPLACE", "ALTER", "SECURE", "TEMP", "TEMPORARY", "DEFINER", "AGGREGATE"})) {
        c.skip(k.size());
        c.blanks();
        if (c.ch(c.at()) == '=') {  // DEFINER = user
            c.skip(1);
            c.blanks();
            read_name(c, d_);
            c.blanks();
        }
        k = c.word();
    }
    if (!one_of(k, {"PROCEDURE", "PROC", "FUNCTION"})) return Resume::statement;
    c.skip(k.size());
    c.blanks();
    if (c.word() == "IF") {  // IF NOT EXISTS
        const size_t exists = c.find({"EXISTS"});
        if (exists == std::string_view::npos) return Resume::statement;
        c.to(exists + 6);
    }
    Unit proc{Unit::Kind::procedure, cur.at(), end, owner, cur.pos(), read_name(c, d_), {}};
    proc.function = k == "FUNCTION";
    std::string lang;
    if (const size_t language = c.find({"LANGUAGE"}); language != std::string_view::npos) {
        Cursor l = c;
        l.to(language + 8);
        l.blanks();
        lang = std::string(l.sc.s.substr(l.at(), l.word().size()));
    }
    const bool sql = lang.empty() || one_of(ascii_upper(lang), {"SQL", "PLPGSQL"});
    const std::string not_read = "the body in LANGUAGE " + lang + " is not read for lineage";
    Cursor body = c;
    for (size_t as = body.find({"AS"}); as != std::string_view::npos; as = body.find({"AS"})) {
        body.to(as + 2);
        body.blanks();
        Cursor after = body;
        Literal lit;
        if ((body.ch(body.at()) == '\'' || body.ch(body.at()) == '$') && read_literal(after, d_, lit)) {
            if (!sql) {
                proc.note = not_read;
                out.push_back(std::move(proc));
                return Resume::done;
            }
            Cursor content = body;
            content.to(lit.begin);
            Cursor first = content;
            first.blanks();
            const bool label = first.ch(first.at()) == '<' && first.ch(first.at() + 1) == '<';
            if (proc.function && !lit.copy && !label && !starts_statement(first.word())) {
                proc.note = "the function's body is an expression: it is not read for lineage";
                out.push_back(std::move(proc));
                return Resume::done;
            }
            out.push_back(std::move(proc));
            if (lit.copy)
                read_body(*lit.copy, lit.copy, 0, lit.copy->size(), content.pos(), out);
            else
                read_body(text, owner, lit.begin, lit.end, content.pos(), out);
            return Resume::done;
        }
        if (d_.go_batches) {  // T-SQL: the body is the rest, with or without BEGIN ... END
            proc.end = body.at();
            out.push_back(std::move(proc));
            cur = body;
            return Resume::again;
        }
    }
    const size_t block = c.find({"BEGIN"});
    if (block == std::string_view::npos || !sql) {
        proc.note = sql ? "the body is not read for lineage" : not_read;
        out.push_back(std::move(proc));
        return Resume::done;
    }
    proc.end = block;
    out.push_back(std::move(proc));
    cur.to(block);
    return Resume::again;
}

// A declaration (after DECLARE, or in a section of them): the names
// declared are variables; the query of a cursor or a default is a statement.
void Script::declaration(Cursor& cur, std::vector<Unit>& out, const std::shared_ptr<const std::string>& owner,
                         size_t end) {
    cur.blanks();
    const size_t at = cur.at();
    const Pos pos = cur.pos();
    for (;;) {
        cur.blanks();
        const unsigned char c = cur.ch(cur.at());
        if (c == '@') cur.skip(1);
        const std::string name = cur.word();
        if (name.empty()) break;
        if (!d_.bound_variables) variables_.insert(ascii_lower(std::string(cur.sc.s.substr(cur.at(), name.size()))));
        cur.skip(name.size());
        cur.blanks();
        if (cur.ch(cur.at()) != ',') break;
        cur.skip(1);
    }
    // nothing to read but names: a statement without lineage
    const Unit plain{Unit::Kind::construct, at, at, owner, pos, {}, {}};
    Cursor c = cur;
    size_t from = c.find({"FOR", "DEFAULT"});
    if (from == std::string_view::npos) {
        const size_t set = c.sc.s.find(":=", c.at());
        if (set == std::string_view::npos) return out.push_back(plain);
        from = set;
        c.to(set + 2);
    } else {
        c.to(from);
        c.skip(c.word().size());
    }
    c.blanks();
    Cursor inner = c;
    while (!inner.done() && inner.ch(inner.at()) == '(') {
        inner.skip(1);
        inner.blanks();
    }
    if (!one_of(inner.word(), {"SELECT", "WITH", "VALUES"})) return out.push_back(plain);
    size_t to = end;
    while (to > c.at() && space(static_cast<unsigned char>(c.sc.s[to - 1]))) --to;
    out.push_back(Unit{Unit::Kind::statement, c.at(), to, owner, c.pos(), {}, {}});
}

}  // namespace keldra::engine
