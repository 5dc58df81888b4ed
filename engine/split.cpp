#include "split.hpp"

#include "scanner.hpp"

#include <algorithm>
#include <cstring>

namespace keldra::engine {

namespace {

bool blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// The first ';' at or after `from` and before `limit` that is the last
// non-blank character of its line (a line that ends a statement), or npos.
// With `inside`, the line must also end before `limit`.
size_t statement_line_end(std::string_view s, size_t from, size_t limit, bool inside) {
    for (size_t k = s.find(';', from); k != std::string_view::npos && k < limit; k = s.find(';', k + 1)) {
        size_t j = k + 1;
        while (j < s.size() && blank(static_cast<unsigned char>(s[j]))) ++j;
        if (j < s.size() ? s[j] == '\n' && (!inside || j < limit) : !inside) return k;
    }
    return std::string_view::npos;
}

// Whether `c` may come right after a literal or quoted name: a blank, the
// end, or punctuation that can follow one (`'a')`, `'a'::date`, `"t".c`).
// A letter, a digit or `%` right after a closing quote is no SQL: it is the
// text of a string whose opening quote was taken for a closing one.
bool follows_literal(unsigned char c) {
    return c == 0 || c == '\n' || blank(c) || std::strchr("),;:|=<>!+-*/.]}[", c) != nullptr;
}

// `GO` at `i` on a line of its own (T-SQL's batch separator), with an
// optional count and blanks or a line comment after it.
bool go_line(std::string_view s, size_t i) {
    if (i + 1 >= s.size() || (s[i + 1] != 'O' && s[i + 1] != 'o')) return false;
    size_t k = i;
    while (k > 0 && (s[k - 1] == ' ' || s[k - 1] == '\t')) --k;
    if (k > 0 && s[k - 1] != '\n') return false;
    size_t j = i + 2;
    while (j < s.size() && blank(static_cast<unsigned char>(s[j]))) ++j;
    while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j;
    while (j < s.size() && blank(static_cast<unsigned char>(s[j]))) ++j;
    return j == s.size() || s[j] == '\n' || (s[j] == '-' && j + 1 < s.size() && s[j + 1] == '-');
}

}  // namespace

Splitter::Splitter(std::string_view text, const Dialect& d) : text_(text), d_(d) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") i_ = 3;  // a byte order mark is no part of the text
}

bool Splitter::next(Piece& out) {
    out = Piece{};
    Scanner sc{text_, d_, i_, line_, column_};
    bool have = false;
    auto finish = [&](size_t end) {
        out.end = end;
        i_ = sc.i;
        line_ = sc.line;
        column_ = sc.column;
        return true;
    };
    while (!sc.done()) {
        const unsigned char c = sc.at(sc.i);
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
            sc.step();
            continue;
        }
        if (c == ';') {
            const size_t at = sc.i;
            sc.step();
            if (have) return finish(at);
            continue;
        }
        if ((c == 'G' || c == 'g') && d_.go_batches && go_line(text_, sc.i)) {
            const size_t at = sc.i;
            sc.skip_line();
            if (have) return finish(at);
            continue;
        }
        const bool comment = (c == '-' && sc.at(sc.i + 1) == '-') ||
                             (c == '/' && sc.at(sc.i + 1) == '*') || (c == '#' && d_.hash_comments);
        if (!have && !comment) {
            have = true;
            out.begin = sc.i;
            out.start = Pos{sc.line, sc.column};
        }
        const size_t at = sc.i;
        const Pos opened{sc.line, sc.column};
        if (!sc.skip_opaque()) {
            sc.step();
            continue;
        }
        const char open = c == '/' || c == '-' || c == '#' ? '/' : static_cast<char>(c);
        if (!sc.closed) {
            // It runs to the end of the text: the statement is an error that
            // ends at the first line after the opening that ends a statement.
            if (!have) {
                have = true;
                out.begin = at;
                out.start = opened;
            }
            // An earlier doubtful quote explains it better: read as a stray
            // quote, it paired with a later one, which left this one open.
            out.unclosed = out.doubtful ? *out.doubtful : Unclosed{at, opened, open, {}};
            out.doubtful.reset();
            const Unclosed& u = *out.unclosed;
            const size_t cut = statement_line_end(text_, u.at + 1, text_.size(), false);
            if (cut == std::string_view::npos) return finish(text_.size());
            sc.i = u.at;
            sc.line = u.pos.line;
            sc.column = u.pos.column;
            sc.step_to(cut + 1);
            return finish(cut);
        }
        // Comments and dollar-quoted bodies hold whole statements by design;
        // a quote over a line that ends a statement is in doubt when what
        // follows its closing quote is what follows the opening quote of a
        // string (a stray quote pairs with the opening quote of a later one).
        if (!out.doubtful && open != '/' && open != '$' && !follows_literal(sc.at(sc.i)) &&
            statement_line_end(text_, at + 1, sc.i, true) != std::string_view::npos)
            out.doubtful = Unclosed{at, opened, open, Pos{sc.line, sc.column - 1}};
    }
    if (have) return finish(text_.size());
    i_ = sc.i;
    return false;
}

void Splitter::cut(Piece& piece) {
    Unclosed u = *piece.doubtful;
    const size_t cut = statement_line_end(text_, u.at + 1, text_.size(), false);
    Scanner sc{text_, d_, u.at, u.pos.line, u.pos.column};
    sc.step_to(cut + 1);
    i_ = sc.i;
    line_ = sc.line;
    column_ = sc.column;
    piece.end = cut;
    piece.unclosed = u;
    piece.doubtful.reset();
}

std::string unclosed_message(const Unclosed& u, const Dialect& d) {
    const char* what = u.open == '\'' ? "string"
                       : u.open == '"' ? (d.double_quoted_strings ? "string" : "quoted name")
                       : u.open == '$' ? "dollar-quoted text"
                       : u.open == '/' ? "block comment"
                                       : "quoted name";
    std::string m = std::string("this ") + what;
    if (!u.closed)
        return m + " is never closed: its statement is read up to the first line after it that ends with ';'";
    return m + " closes only at line " + std::to_string(u.closed.line) + ", column " +
           std::to_string(u.closed.column) +
           ", past a line that ends a statement: it is read as a stray quote, and its statement as ending at the "
           "first line after it that ends with ';'";
}

std::vector<Piece> split_statements(std::string_view text, const Dialect& d) {
    std::vector<Piece> out;
    Splitter splitter(text, d);
    for (Piece p; splitter.next(p);) out.push_back(p);
    return out;
}

namespace {
bool word_at(std::string_view s, size_t i, const char* w) {
    const size_t n = std::strlen(w);
    if (i + n > s.size()) return false;
    for (size_t k = 0; k < n; ++k) {
        char c = s[i + k];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != w[k]) return false;
    }
    return i + n == s.size() || !ident_char(static_cast<unsigned char>(s[i + n]));
}

constexpr const char* list_enders[] = {"FROM",   "WHERE",  "GROUP",     "HAVING", "ORDER",
                                       "LIMIT",  "UNION",  "INTERSECT", "EXCEPT", "MINUS",
                                       "WINDOW", "QUALIFY", "INTO",     "FETCH",  "OFFSET"};
}  // namespace

std::vector<std::pair<size_t, size_t>> list_items(std::string_view text, size_t begin,
                                                  const Dialect& d) {
    std::vector<std::pair<size_t, size_t>> out;
    Scanner sc{text, d};
    sc.i = begin;
    int depth = 0;
    size_t item = begin;
    while (!sc.done()) {
        const unsigned char c = sc.at(sc.i);
        if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            if (depth == 0) break;
            --depth;
        } else if (depth == 0 && c == ',') {
            out.emplace_back(item, sc.i);
            item = sc.i + 1;
        } else if (depth == 0 && c == ';') {
            break;
        } else if (depth == 0 && ident_char(c) && (sc.i == 0 || !ident_char(sc.at(sc.i - 1)))) {
            bool ends = false;
            for (const char* w : list_enders) ends = ends || word_at(text, sc.i, w);
            if (ends) break;
            while (!sc.done() && ident_char(sc.at(sc.i))) ++sc.i;
            continue;
        }
        if (!sc.skip_opaque()) ++sc.i;
    }
    out.emplace_back(item, sc.i);
    return out;
}

std::string_view lf_lines(std::string_view text, std::string& storage) {
    auto lone = [&](std::string_view s, size_t k) { return s[k] == '\r' && (k + 1 == s.size() || s[k + 1] != '\n'); };
    size_t k = text.find('\r');
    while (k != std::string_view::npos && !lone(text, k)) k = text.find('\r', k + 1);
    if (k == std::string_view::npos) return text;
    storage.assign(text);
    for (; k < storage.size(); ++k)
        if (lone(storage, k)) storage[k] = '\n';
    return storage;
}

}  // namespace keldra::engine
