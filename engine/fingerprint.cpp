// Fingerprint keys: the text of a query with what cannot change its lineage
// left out, so that a log's copies of one query (other literals, blanks,
// comments, keyword case) share one analysis.
//
// The text is cut into tokens by the engine's scanner (quotes, comments and
// dollar bodies as the dialect writes them).  The key is the tokens joined
// by one space: keywords upper-cased, names as written (quotes and case
// kept: the reported names depend on them), string and number literals as
// `?`.  What the analysis reads from the text itself is kept as written:
//   - an integer after BY or a comma of a BY list (GROUP BY 1 names a column);
//   - an unaliased select item that is not a plain column or star: its name
//     is its text with blanks collapsed (`x+1` and `x + 1` are two names);
//   - the literals of a PIVOT (…) (they name its columns), of an
//     IDENTIFIER (…), and a string that is a FROM or JOIN item (a file).
// A text whose quote, comment or dollar body never closes is kept whole
// (its blanks collapsed): the analysis reports it, quoting it.
#include "fingerprint.hpp"

#include "scanner.hpp"
#include "session.hpp"

#include "keldra/ref.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <cstdint>
#include <vector>

namespace keldra::engine {

namespace {

// Words upper-cased in the key: keywords that no query uses as a name
// unquoted, so that their case never shows in a record.  Upper case, sorted.
constexpr std::string_view keywords[] = {
    "ALL",     "AND",    "ANY",       "AS",     "ASC",      "BETWEEN", "BY",      "CASE",
    "CREATE",  "CROSS",  "DELETE",    "DESC",   "DISTINCT", "DROP",    "ELSE",    "END",
    "EXCEPT",  "EXISTS", "FALSE",     "FETCH",  "FOR",      "FROM",    "FULL",    "GROUP",
    "HAVING",  "ILIKE",  "IN",        "INNER",  "INSERT",   "INTERSECT", "INTERVAL", "INTO",
    "IS",      "JOIN",   "LATERAL",   "LEFT",   "LIKE",     "LIMIT",   "MERGE",   "NATURAL",
    "NOT",     "NULL",   "OFFSET",    "ON",     "OR",       "ORDER",   "OUTER",   "OVER",
    "PARTITION", "QUALIFY", "RECURSIVE", "REPLACE", "RIGHT", "SELECT",  "SET",     "SOME",
    "TABLE",   "THEN",   "TRUE",      "UNION",  "UPDATE",   "USING",   "VIEW",    "WHEN",
    "WHERE",   "WINDOW", "WITH",
};
static_assert(std::is_sorted(std::begin(keywords), std::end(keywords)), "the keywords stay sorted");

// Words that end a select list (as the engine's list_items reads it).
constexpr std::string_view list_enders[] = {
    "EXCEPT", "FETCH", "FROM",  "GROUP",   "HAVING", "INTERSECT", "INTO",  "LIMIT",
    "MINUS",  "OFFSET", "ORDER", "QUALIFY", "UNION",  "WHERE",     "WINDOW",
};
static_assert(std::is_sorted(std::begin(list_enders), std::end(list_enders)), "the enders stay sorted");

// Words that end a BY list (at its depth).
constexpr std::string_view by_enders[] = {
    "EXCEPT", "FETCH", "FOR",    "FROM",   "GROUP", "HAVING", "INTERSECT", "INTO",
    "LIMIT",  "MINUS", "OFFSET", "ORDER",  "QUALIFY", "SELECT", "UNION",   "WHERE", "WINDOW",
};
static_assert(std::is_sorted(std::begin(by_enders), std::end(by_enders)), "the enders stay sorted");

// Words before BY that open a list whose integers are ordinals.
constexpr std::string_view by_lists[] = {"CLUSTER", "DISTRIBUTE", "GROUP", "ORDER", "PARTITION", "SORT"};
static_assert(std::is_sorted(std::begin(by_lists), std::end(by_lists)), "the BY words stay sorted");

// Words before a subquery whose select list names nothing that is reported:
// it gives a value (x IN (SELECT ...)) or is a later branch of a set operation.
constexpr std::string_view value_subquery_before[] = {
    "ALL",  "AND",       "ANY",   "BETWEEN", "DISTINCT", "ELSE", "EXCEPT", "EXISTS", "HAVING", "ILIKE",
    "IN",   "INTERSECT", "IS",    "LIKE",    "MINUS",    "NOT",  "ON",     "OR",     "SET",    "SOME",
    "THEN", "UNION",     "WHEN",  "WHERE",
};
static_assert(std::is_sorted(std::begin(value_subquery_before), std::end(value_subquery_before)),
              "the words stay sorted");

// Calls whose literals the analysis reads: PIVOT's values name its columns.
constexpr std::string_view literal_calls[] = {"IDENTIFIER", "PIVOT"};

// Operators of more than one character, longest first (so `->>` is one).
constexpr std::string_view operators[] = {
    "!~*", "#>>", "->>", "<=>", "!=", "!~", "#>", "&&", "**", "->", "..", "::", ":=",
    "<<",  "<=",  "<>",  "<@",  "==", "=>", ">=", ">>", "@>", "||", "~*",
};

enum class Kind : std::uint8_t { word, keyword, name, literal, number, punct };

struct Token {
    Kind kind;
    int depth;       // parentheses open around it ('(' and ')' count as outside)
    size_t begin, end;
};

bool blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool digit(unsigned char c) { return c >= '0' && c <= '9'; }

// The word in upper case, if it is short enough to be one we look for.
bool upper_word(std::string_view w, std::array<char, 16>& buf, std::string_view& out) {
    if (w.size() > buf.size()) return false;
    for (size_t i = 0; i < w.size(); ++i) {
        const char c = w[i];
        buf[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    out = std::string_view(buf.data(), w.size());
    return true;
}

template <size_t N>
bool among(std::string_view word, const std::string_view (&sorted)[N]) {
    std::array<char, 16> buf;
    std::string_view up;
    return upper_word(word, buf, up) && std::binary_search(std::begin(sorted), std::end(sorted), up);
}

// Runs of blanks as one space; leading and trailing blanks left out (as the
// engine names an unaliased select item).
void append_collapsed(std::string& out, std::string_view s) {
    bool gap = false, any = false;
    for (const char c : s) {
        if (blank(static_cast<unsigned char>(c))) {
            gap = any;
            continue;
        }
        if (gap) out += ' ';
        gap = false;
        any = true;
        out += c;
    }
}

class Keyer {
  public:
    Keyer(std::string_view text, const Dialect& d) : s_(text), d_(d) {}

    std::string run() {
        if (!tokenize()) {
            std::string out = "\x01";  // never a token's first byte
            append_collapsed(out, s_);
            return out;
        }
        for (size_t j = 0; j < tokens_.size(); ++j) take(j);
        while (!frames_.empty()) end_frame(tokens_.size(), s_.size());
        return std::move(out_);
    }

  private:
    std::string_view s_;
    const Dialect& d_;
    std::vector<Token> tokens_;
    std::string out_;

    // ------------------------------------------------------------ tokens

    // Whether the quote, comment or dollar body that starts at `begin` and
    // runs to the end of the text closes there: scanned again with one more
    // character after it, a closed one stops before that character.
    bool closes_at_end(size_t begin) const {
        std::string probe(s_);
        probe += 'X';
        Scanner sc{probe, d_};
        sc.i = begin;
        sc.skip_opaque();
        return sc.i < probe.size();
    }

    // The end of a number literal starting at `p` (digits, a fraction, an
    // exponent; 0x and hex digits), or `p` if none is there.
    size_t number_end(size_t p) const {
        size_t k = p;
        if (at(k) == '0' && (at(k + 1) == 'x' || at(k + 1) == 'X') && std::isxdigit(at(k + 2))) {
            k += 2;
            while (std::isxdigit(at(k))) ++k;
            return k;
        }
        while (digit(at(k))) ++k;
        if (at(k) == '.' && at(k + 1) != '.') {
            ++k;
            while (digit(at(k))) ++k;
        }
        if (k > p && (at(k) == 'e' || at(k) == 'E')) {
            size_t e = k + 1;
            if (at(e) == '+' || at(e) == '-') ++e;
            if (digit(at(e))) {
                while (digit(at(e))) ++e;
                k = e;
            }
        }
        return k;
    }

    unsigned char at(size_t k) const { return k < s_.size() ? static_cast<unsigned char>(s_[k]) : 0; }

    bool value_before() const {
        if (tokens_.empty()) return false;
        const Token& t = tokens_.back();
        if (t.kind == Kind::punct) return s_[t.begin] == ')' || s_[t.begin] == ']';
        return t.kind != Kind::keyword;
    }

    // A string's prefix: N'', E'', X'', B'', R'' and BigQuery's b'', rb''.
    static bool string_prefix(std::string_view w) {
        if (w.empty() || w.size() > 2) return false;
        for (const char c : w)
            if (!std::strchr("nNeExXbBrRuU", c)) return false;
        return true;
    }

    // false when a quote, comment or dollar body never closes.
    bool tokenize() {
        Scanner sc{s_, d_};
        if (s_.substr(0, 3) == "\xEF\xBB\xBF") sc.i = 3;
        int depth = 0;
        tokens_.reserve(s_.size() / 4);
        while (!sc.done()) {
            const size_t p = sc.i;
            const unsigned char c = sc.at(p);
            if (blank(c)) {
                sc.step();
                continue;
            }
            if ((c == '-' && at(p + 1) == '-') || (c == '/' && at(p + 1) == '*') || (c == '#' && d_.hash_comments)) {
                sc.skip_opaque();
                if (sc.done() && c == '/' && !closes_at_end(p)) return false;
                continue;
            }
            if (c == '\'' || c == '"' || c == '`' || (c == '[' && d_.bracket_quotes) || c == '$') {
                if (sc.skip_opaque()) {
                    if (sc.done() && !closes_at_end(p)) return false;
                    const bool string = c == '\'' || c == '$' || (c == '"' && d_.double_quoted_strings);
                    tokens_.push_back({string ? Kind::literal : Kind::name, depth, p, sc.i});
                    continue;
                }
            }
            if (ident_char(c)) {
                size_t k = p;
                while (k < s_.size() && ident_char(at(k))) ++k;
                if (at(k) == '\'' && string_prefix(s_.substr(p, k - p))) {
                    sc.i = k;
                    sc.skip_opaque();
                    if (sc.done() && !closes_at_end(k)) return false;
                    tokens_.push_back({Kind::literal, depth, p, sc.i});
                    continue;
                }
                if (digit(c)) {
                    const size_t e = number_end(p);
                    if (e >= k && !ident_char(at(e))) {
                        tokens_.push_back({Kind::number, depth, p, e});
                        sc.i = e;
                        continue;
                    }
                }
                const bool qualified = !tokens_.empty() && tokens_.back().kind == Kind::punct &&
                                       s_[tokens_.back().begin] == '.';
                const std::string_view w = s_.substr(p, k - p);
                tokens_.push_back({!qualified && among(w, keywords) ? Kind::keyword : Kind::word, depth, p, k});
                sc.i = k;
                continue;
            }
            if (c == '.' && digit(at(p + 1)) && !value_before()) {
                const size_t e = number_end(p);
                tokens_.push_back({Kind::number, depth, p, e});
                sc.i = e;
                continue;
            }
            size_t n = 1;
            for (const std::string_view op : operators) {
                if (s_.compare(p, op.size(), op) == 0) {
                    n = op.size();
                    break;
                }
            }
            if (c == ')' && depth > 0) --depth;
            tokens_.push_back({Kind::punct, depth, p, p + n});
            if (c == '(') ++depth;
            sc.i = p + n;
        }
        return true;
    }

    // ------------------------------------------------------------ the key

    std::string_view text(const Token& t) const { return s_.substr(t.begin, t.end - t.begin); }
    bool punct(const Token& t, char c) const { return t.kind == Kind::punct && t.end - t.begin == 1 && s_[t.begin] == c; }
    bool is_word(const Token& t, std::string_view upper) const {
        if (t.kind != Kind::word && t.kind != Kind::keyword) return false;
        std::array<char, 16> buf;
        std::string_view up;
        return upper_word(text(t), buf, up) && up == upper;
    }

    void emit(std::string_view piece) {
        if (!out_.empty()) out_ += ' ';
        out_ += piece;
    }

    void emit_upper(std::string_view w) {
        if (!out_.empty()) out_ += ' ';
        for (const char c : w) out_ += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }

    // A select list being read: its depth, and where its current item began
    // (its first token, its first byte in the text and in the key).
    struct Frame {
        int depth;
        size_t first_token;
        size_t text_begin;
        size_t key_begin;
        bool first_item = true;
    };
    std::vector<Frame> frames_;

    // BY lists: the depth of the one being read (-1: none); whether the
    // token is just after its BY or one of its own commas (an integer there
    // is an ordinal: GROUP BY 1, ORDER BY a - b, 2); and, as sqlglot's tokens
    // read it, whether the list goes on (up to an operator or a keyword) and
    // the token is after any comma (an integer there is kept too, so that
    // no two texts share a key that the older fingerprint kept apart).
    int by_depth_ = -1;
    bool ordinal_ = false;
    bool old_in_by_ = false, old_ordinal_ = false;
    // Inside the parentheses of a call whose literals count (PIVOT): their depth.
    int literal_depth_ = -1;

    void take(size_t j) {
        const Token& t = tokens_[j];
        // the select lists this token ends
        if (t.kind == Kind::punct && (s_[t.begin] == ')' || s_[t.begin] == ';')) {
            const bool all = s_[t.begin] == ';';
            while (!frames_.empty() && (all || frames_.back().depth > t.depth)) end_frame(j, t.begin);
        } else if ((t.kind == Kind::keyword || t.kind == Kind::word) && !frames_.empty() &&
                   frames_.back().depth == t.depth && among(text(t), list_enders)) {
            end_frame(j, t.begin);
        }
        if (literal_depth_ >= 0 && t.depth <= literal_depth_ && !punct(t, '(')) literal_depth_ = -1;
        if (by_depth_ >= 0 && ((punct(t, ')') && t.depth < by_depth_) || punct(t, ';') ||
                               ((t.kind == Kind::keyword || t.kind == Kind::word) && t.depth <= by_depth_ &&
                                among(text(t), by_enders))))
            by_depth_ = -1;

        switch (t.kind) {
            case Kind::keyword:
                emit_upper(text(t));
                ordinal_ = is_word(t, "BY") && j > 0 && among(text(tokens_[j - 1]), by_lists);
                if (ordinal_) by_depth_ = t.depth;
                if (!is_word(t, "ASC") && !is_word(t, "DESC")) old_in_by_ = ordinal_;
                old_ordinal_ = ordinal_;
                if (is_word(t, "SELECT") && names_reach_output(j)) frames_.push_back({t.depth, j + 1, t.end, out_.size()});
                break;
            case Kind::word:
                emit(text(t));
                ordinal_ = old_ordinal_ = false;
                if (j + 1 < tokens_.size() && punct(tokens_[j + 1], '(') && among(text(t), literal_calls))
                    literal_depth_ = t.depth;
                break;
            case Kind::name:
                emit(text(t));
                ordinal_ = old_ordinal_ = false;
                break;
            case Kind::number: {
                const bool kept = (by_depth_ >= 0 && ordinal_) || (old_in_by_ && old_ordinal_) || literal_depth_ >= 0;
                emit(kept ? text(t) : std::string_view("?"));
                ordinal_ = old_ordinal_ = false;
                break;
            }
            case Kind::literal: {
                const bool from_item = j > 0 && (is_word(tokens_[j - 1], "FROM") || is_word(tokens_[j - 1], "JOIN"));
                emit(literal_depth_ >= 0 || from_item ? text(t) : std::string_view("?"));
                ordinal_ = old_ordinal_ = false;
                break;
            }
            case Kind::punct:
                if (punct(t, ',') && !frames_.empty() && frames_.back().depth == t.depth) {
                    next_item(j);
                } else {
                    emit(text(t));
                }
                ordinal_ = punct(t, ',') && t.depth == by_depth_;
                old_ordinal_ = punct(t, ',');
                if (!punct(t, ',') && !punct(t, '.') && !punct(t, '(') && !punct(t, ')')) old_in_by_ = false;
                break;
        }
    }

    // Whether the names of the select list after the SELECT at token j can
    // reach a record: not those of a subquery that gives a value (after an
    // operator, IN, EXISTS, WHERE, ...) nor of a set operation's later
    // branch (its columns are named by the first), nor of a CTE or CREATE
    // TABLE that lists its columns (`c (a, b) AS (SELECT ...)`).
    bool names_reach_output(size_t j) const {
        size_t k = j;
        while (k > 0 && punct(tokens_[k - 1], '(')) --k;
        if (k == 0) return true;
        const Token& b = tokens_[k - 1];
        if (b.kind == Kind::punct) return punct(b, ',') || punct(b, ')') || punct(b, ';');
        if (is_word(b, "AS") && k >= 2 && punct(tokens_[k - 2], ')')) return false;
        return !among(text(b), value_subquery_before);
    }

    // The comma at token j ends the current item of the innermost list.
    void next_item(size_t j) {
        Frame& f = frames_.back();
        finish_item(f, j, tokens_[j].begin);
        emit(",");
        f.first_token = j + 1;
        f.text_begin = tokens_[j].end;
        f.key_begin = out_.size();
        f.first_item = false;
    }

    void end_frame(size_t j, size_t text_end) {
        finish_item(frames_.back(), j, text_end);
        frames_.pop_back();
    }

    // The item of `f` that ends before token `end` (byte `text_end`): kept
    // as written unless it is a column, a star or has an alias, since the
    // engine names it by its text.
    void finish_item(const Frame& f, size_t end, size_t text_end) {
        std::vector<size_t> top;  // its tokens outside parentheses
        for (size_t k = f.first_token; k < end; ++k)
            if (tokens_[k].depth == f.depth) top.push_back(k);
        size_t from = 0;
        if (f.first_item) {  // SELECT DISTINCT [ON (…)] | ALL, TOP n
            if (from < top.size() && (is_word(tokens_[top[from]], "DISTINCT") || is_word(tokens_[top[from]], "ALL")))
                ++from;
            if (from + 2 < top.size() && is_word(tokens_[top[from]], "ON") && punct(tokens_[top[from + 1]], '('))
                from += 3;  // ON ( … ): the parentheses are its only tokens at this depth
            if (from + 1 < top.size() && is_word(tokens_[top[from]], "TOP"))
                from += punct(tokens_[top[from + 1]], '(') ? 3 : 2;
        }
        if (from >= top.size()) return;
        const size_t n = top.size() - from;
        auto tok = [&](size_t i) -> const Token& { return tokens_[top[from + i]]; };
        auto named = [&](const Token& t) { return t.kind == Kind::word || t.kind == Kind::name; };
        // a star: *, t.*, * EXCEPT (…)
        for (size_t i = 0; i < n; ++i)
            if (punct(tok(i), '*') && (i == 0 || punct(tok(i - 1), '.'))) return;
        // a column: a, t.a, "s"."t".a
        if (n % 2 == 1) {
            bool column = true;
            for (size_t i = 0; i < n && column; ++i) column = (i % 2 == 0) ? named(tok(i)) : punct(tok(i), '.');
            if (column) return;
        }
        // an alias: … AS x, or x after a value
        if (n >= 2 && named(tok(n - 1))) {
            const Token& before = tok(n - 2);
            if (is_word(before, "AS")) return;
            const bool value = named(before) || before.kind == Kind::number || before.kind == Kind::literal ||
                               punct(before, ')') || punct(before, ']') || is_word(before, "END") ||
                               is_word(before, "NULL") || is_word(before, "TRUE") || is_word(before, "FALSE");
            if (value) return;
        }
        // kept as written (from just after SELECT or the comma, comments
        // too, as the engine takes it): a mark, then the text with blanks
        // collapsed
        out_.resize(f.key_begin);
        std::string written;
        append_collapsed(written, s_.substr(f.text_begin, text_end - f.text_begin));
        emit("\x02");
        out_ += std::to_string(written.size());
        out_ += ':';
        out_ += written;
    }
};

}  // namespace

std::string fingerprint_key(std::string_view text, const Dialect& d) { return Keyer(text, d).run(); }

PyObject* fingerprint_key_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 2) raise(PyExc_TypeError, "fingerprint_key() takes 2 arguments (text, dialect)");
        PyObject* text = args[0];
        if (!PyUnicode_Check(text)) raise(PyExc_TypeError, "text must be a str, not %.200s", Py_TYPE(text)->tp_name);
        const Dialect* d = dialect_of(args[1]);
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
        Ref encoded;
        if (!utf8) {
            // lone surrogates (text decoded with surrogateescape): their bytes as they were
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) raise_current();
            PyErr_Clear();
            encoded = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
            utf8 = PyBytes_AS_STRING(encoded.get());
            size = PyBytes_GET_SIZE(encoded.get());
        }
        const std::string key = fingerprint_key(std::string_view(utf8, static_cast<size_t>(size)), *d);
        return Ref::steal(PyBytes_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()))).release();
    });
}

}  // namespace keldra::engine
