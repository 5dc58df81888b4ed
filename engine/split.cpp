#include "split.hpp"

#include "scanner.hpp"

#include <algorithm>
#include <cstring>

namespace keldra::engine {

std::vector<Piece> split_statements(std::string_view text, const Dialect& d) {
    std::vector<Piece> out;
    Scanner sc{text, d};
    bool have = false;
    Piece cur;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {  // a byte order mark is no part of the text
        sc.i = 3;
    }
    while (!sc.done()) {
        const unsigned char c = sc.at(sc.i);
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
            sc.step();
            continue;
        }
        if (c == ';') {
            if (have) {
                cur.end = sc.i;
                out.push_back(cur);
                have = false;
                cur = Piece{};
            }
            sc.step();
            continue;
        }
        const bool comment = (c == '-' && sc.at(sc.i + 1) == '-') ||
                             (c == '/' && sc.at(sc.i + 1) == '*') || (c == '#' && d.hash_comments);
        if (!have && !comment) {
            have = true;
            cur.begin = sc.i;
            cur.start = Pos{sc.line, sc.column};
        }
        if (!sc.skip_opaque()) sc.step();
    }
    if (have) {
        cur.end = text.size();
        out.push_back(cur);
    }
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

}  // namespace keldra::engine
