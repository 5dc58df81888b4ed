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

// The words the key looks for, upper case and sorted, with what each does:
//   fold: upper-cased in the key (a keyword that no query uses unquoted as a
//         name, so its case never shows in a record);
//   ends_list: ends a select list (as the engine's list_items reads it);
//   ends_by: ends a BY list at its depth;  opens_by: before BY, opens one;
//   literal_call: a call whose literals the analysis reads (PIVOT's values
//         name its columns);
//   value_subquery: before a subquery whose select list names nothing that is
//         reported (x IN (SELECT ...), a later branch of a set operation).
enum Flag : std::uint8_t { fold = 1, ends_list = 2, ends_by = 4, opens_by = 8, literal_call = 16, value_subquery = 32 };

struct Known {
    std::string_view word;
    std::uint8_t flags;
};

constexpr std::uint8_t clause = fold | ends_list | ends_by;
constexpr Known known_words[] = {
    {"ALL", fold | value_subquery},        {"AND", fold | value_subquery},
    {"ANY", fold | value_subquery},        {"AS", fold},
    {"ASC", fold},                       {"BETWEEN", fold | value_subquery},
    {"BY", fold},                        {"CASE", fold},
    {"CLUSTER", opens_by},               {"CREATE", fold},
    {"CROSS", fold},                     {"DELETE", fold},
    {"DESC", fold},                      {"DISTINCT", fold | value_subquery},
    {"DISTRIBUTE", opens_by},            {"DROP", fold},
    {"ELSE", fold | value_subquery},       {"END", fold},
    {"EXCEPT", clause | value_subquery},   {"EXISTS", fold | value_subquery},
    {"FALSE", fold},                     {"FETCH", clause},
    {"FOR", fold | ends_by},             {"FROM", clause},
    {"FULL", fold},                      {"GROUP", clause | opens_by},
    {"HAVING", clause | value_subquery},   {"IDENTIFIER", literal_call},
    {"ILIKE", fold | value_subquery},      {"IN", fold | value_subquery},
    {"INNER", fold},                     {"INSERT", fold},
    {"INTERSECT", clause | value_subquery}, {"INTERVAL", fold},
    {"INTO", clause},                    {"IS", fold | value_subquery},
    {"JOIN", fold},                      {"LATERAL", fold},
    {"LEFT", fold},                      {"LIKE", fold | value_subquery},
    {"LIMIT", clause},                   {"MERGE", fold},
    {"MINUS", ends_list | ends_by | value_subquery}, {"NATURAL", fold},
    {"NOT", fold | value_subquery},        {"NULL", fold},
    {"OFFSET", clause},                  {"ON", fold | value_subquery},
    {"OR", fold | value_subquery},         {"ORDER", clause | opens_by},
    {"OUTER", fold},                     {"OVER", fold},
    {"PARTITION", fold | opens_by},      {"PIVOT", literal_call},
    {"QUALIFY", clause},                 {"RECURSIVE", fold},
    {"REPLACE", fold},                   {"RIGHT", fold},
    {"SELECT", fold | ends_by},          {"SET", fold | value_subquery},
    {"SOME", fold | value_subquery},       {"SORT", opens_by},
    {"TABLE", fold},                     {"THEN", fold | value_subquery},
    {"TOP", 0},                          {"TRUE", fold},
    {"UNION", clause | value_subquery},    {"UPDATE", fold},
    {"USING", fold},                     {"VIEW", fold},
    {"WHEN", fold | value_subquery},       {"WHERE", clause | value_subquery},
    {"WINDOW", clause},                  {"WITH", fold},
};
static_assert([] {
    for (size_t i = 1; i < std::size(known_words); ++i)
        if (!(known_words[i - 1].word < known_words[i].word)) return false;
    return true;
}(), "the words stay sorted");
constexpr size_t longest_word = 10;

// A word's number (1-based; 0: none of them), for comparing tokens with it.
constexpr std::uint8_t word_id(std::string_view w) {
    for (size_t i = 0; i < std::size(known_words); ++i)
        if (known_words[i].word == w) return static_cast<std::uint8_t>(i + 1);
    return 0;
}
template <std::uint8_t id>
constexpr std::uint8_t known() {
    static_assert(id != 0, "a word of the table");
    return id;
}
constexpr std::uint8_t W_ALL = known<word_id("ALL")>(), W_AS = known<word_id("AS")>(),
                       W_ASC = known<word_id("ASC")>(), W_BY = known<word_id("BY")>(),
                       W_DESC = known<word_id("DESC")>(), W_DISTINCT = known<word_id("DISTINCT")>(),
                       W_END = known<word_id("END")>(), W_FALSE = known<word_id("FALSE")>(),
                       W_FROM = known<word_id("FROM")>(), W_JOIN = known<word_id("JOIN")>(),
                       W_NULL = known<word_id("NULL")>(), W_ON = known<word_id("ON")>(),
                       W_SELECT = known<word_id("SELECT")>(), W_TOP = known<word_id("TOP")>(),
                       W_TRUE = known<word_id("TRUE")>();

// The number of a word of the text (any case), 0 when it is none of them.
std::uint8_t lookup(std::string_view w) {
    if (w.size() < 2 || w.size() > longest_word) return 0;
    char buf[longest_word];
    for (size_t i = 0; i < w.size(); ++i) {
        const char c = w[i];
        buf[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    const std::string_view up(buf, w.size());
    const Known* found = std::lower_bound(std::begin(known_words), std::end(known_words), up,
                                          [](const Known& k, std::string_view x) { return k.word < x; });
    return found != std::end(known_words) && found->word == up
               ? static_cast<std::uint8_t>(found - std::begin(known_words) + 1)
               : 0;
}

// Operators of more than one character, longest first (so `->>` is one).
constexpr std::string_view operators[] = {
    "!~*", "#>>", "->>", "<=>", "!=", "!~", "#>", "&&", "**", "->", "..", "::", ":=",
    "<<",  "<=",  "<>",  "<@",  "==", "=>", ">=", ">>", "@>", "||", "~*",
};

enum class Kind : std::uint8_t { word, keyword, name, literal, number, punct };

struct Token {
    Kind kind;
    std::uint8_t word;  // which of known_words it is (0: none)
    int depth;          // parentheses open around it ('(' and ')' count as outside)
    size_t begin, end;
};

bool blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool digit(unsigned char c) { return c >= '0' && c <= '9'; }

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
        tokens_.reserve(std::min<size_t>(s_.size() / 4, 1 << 16));
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
                    tokens_.push_back({string ? Kind::literal : Kind::name, 0, depth, p, sc.i});
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
                    tokens_.push_back({Kind::literal, 0, depth, p, sc.i});
                    continue;
                }
                if (digit(c)) {
                    const size_t e = number_end(p);
                    if (e >= k && !ident_char(at(e))) {
                        tokens_.push_back({Kind::number, 0, depth, p, e});
                        sc.i = e;
                        continue;
                    }
                }
                const bool qualified = !tokens_.empty() && tokens_.back().kind == Kind::punct &&
                                       s_[tokens_.back().begin] == '.';
                const std::uint8_t word = lookup(s_.substr(p, k - p));
                const bool keyword = !qualified && word && (known_words[word - 1].flags & fold);
                tokens_.push_back({keyword ? Kind::keyword : Kind::word, word, depth, p, k});
                sc.i = k;
                continue;
            }
            if (c == '.' && digit(at(p + 1)) && !value_before()) {
                const size_t e = number_end(p);
                tokens_.push_back({Kind::number, 0, depth, p, e});
                sc.i = e;
                continue;
            }
            size_t n = 1;
            for (const std::string_view op : operators) {
                if (op[0] == c && op[1] == at(p + 1) && (op.size() == 2 || op[2] == at(p + 2))) {
                    n = op.size();
                    break;
                }
            }
            if (c == ')' && depth > 0) --depth;
            tokens_.push_back({Kind::punct, 0, depth, p, p + n});
            if (c == '(') ++depth;
            sc.i = p + n;
        }
        return true;
    }

    // ------------------------------------------------------------ the key

    std::string_view text(const Token& t) const { return s_.substr(t.begin, t.end - t.begin); }
    bool punct(const Token& t, char c) const { return t.kind == Kind::punct && t.end - t.begin == 1 && s_[t.begin] == c; }
    static bool is_word(const Token& t, std::uint8_t word) { return t.word == word; }
    static bool has(const Token& t, Flag flag) { return t.word && (known_words[t.word - 1].flags & flag); }

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
    std::vector<size_t> top_;  // finish_item's list, kept for its capacity

    // BY lists: the depth of the one being read (-1: none); whether the
    // token is just after its BY, one of its own commas or a parenthesis of
    // it (an integer there is an ordinal: GROUP BY 1, ORDER BY a - b, 2,
    // ORDER BY (1)); and, as sqlglot's tokens
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
                   frames_.back().depth == t.depth && has(t, ends_list)) {
            end_frame(j, t.begin);
        }
        if (literal_depth_ >= 0 && t.depth <= literal_depth_ && !punct(t, '(')) literal_depth_ = -1;
        if (by_depth_ >= 0 && ((punct(t, ')') && t.depth < by_depth_) || punct(t, ';') ||
                               ((t.kind == Kind::keyword || t.kind == Kind::word) && t.depth <= by_depth_ &&
                                has(t, ends_by))))
            by_depth_ = -1;

        switch (t.kind) {
            case Kind::keyword:
                emit_upper(text(t));
                ordinal_ = is_word(t, W_BY) && j > 0 && has(tokens_[j - 1], opens_by);
                if (ordinal_) by_depth_ = t.depth;
                if (!is_word(t, W_ASC) && !is_word(t, W_DESC)) old_in_by_ = ordinal_;
                old_ordinal_ = ordinal_;
                if (is_word(t, W_SELECT) && names_reach_output(j)) frames_.push_back({t.depth, j + 1, t.end, out_.size()});
                break;
            case Kind::word:
                emit(text(t));
                ordinal_ = old_ordinal_ = false;
                if (j + 1 < tokens_.size() && punct(tokens_[j + 1], '(') && has(t, literal_call))
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
                const bool from_item = j > 0 && (is_word(tokens_[j - 1], W_FROM) || is_word(tokens_[j - 1], W_JOIN));
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
                ordinal_ = (punct(t, ',') && t.depth == by_depth_) || (punct(t, '(') && by_depth_ >= 0);
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
        if (is_word(b, W_AS) && k >= 2 && punct(tokens_[k - 2], ')')) return false;
        return !has(b, value_subquery);
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
        std::vector<size_t>& top = top_;  // its tokens outside parentheses
        top.clear();
        for (size_t k = f.first_token; k < end; ++k)
            if (tokens_[k].depth == f.depth) top.push_back(k);
        size_t from = 0;
        if (f.first_item) {  // SELECT DISTINCT [ON (…)] | ALL, TOP n
            if (from < top.size() && (is_word(tokens_[top[from]], W_DISTINCT) || is_word(tokens_[top[from]], W_ALL)))
                ++from;
            if (from + 2 < top.size() && is_word(tokens_[top[from]], W_ON) && punct(tokens_[top[from + 1]], '('))
                from += 3;  // ON ( … ): the parentheses are its only tokens at this depth
            if (from + 1 < top.size() && is_word(tokens_[top[from]], W_TOP))
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
            if (is_word(before, W_AS)) return;
            const bool value = named(before) || before.kind == Kind::number || before.kind == Kind::literal ||
                               punct(before, ')') || punct(before, ']') || is_word(before, W_END) ||
                               is_word(before, W_NULL) || is_word(before, W_TRUE) || is_word(before, W_FALSE);
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
        Ref encoded;
        const std::string_view utf8 = utf8_of(text, encoded);
        const std::string key = fingerprint_key(utf8, *d);
        return Ref::steal(PyBytes_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()))).release();
    });
}

}  // namespace keldra::engine
