// A forward scanner over SQL text: it knows what cannot hold a statement's
// end or a list's comma (string literals, quoted identifiers, comments,
// dollar-quoted bodies) and keeps the line and column of where it is.
#pragma once

#include "engine.hpp"

#include <string_view>

namespace keldra::engine {

inline bool ident_char(unsigned char c) {
    return c == '_' || c == '$' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
           (c >= 'A' && c <= 'Z') || c >= 0x80;
}

struct Scanner {
    std::string_view s;
    const Dialect& d;
    size_t i = 0;
    int line = 1, column = 1;
    bool closed = true;  // what the last skip_opaque() skipped was closed before the text's end

    bool done() const { return i >= s.size(); }
    unsigned char at(size_t k) const { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0; }

    void step() {
        const unsigned char c = at(i++);
        if (c == '\n') {
            ++line;
            column = 1;
        } else if ((c & 0xC0) != 0x80) {  // continuation bytes belong to their character
            ++column;
        }
    }
    void step_to(size_t k) {
        while (i < k && !done()) step();
    }

    // Skip what starts at i if it is a literal, quoted name or comment.
    // Returns false (nothing consumed) when i starts ordinary text.
    bool skip_opaque() {
        closed = true;
        const unsigned char c = at(i);
        if (c == '-' && at(i + 1) == '-') return skip_line();
        if (c == '#' && d.hash_comments) return skip_line();
        if (c == '/' && at(i + 1) == '*') return skip_block();
        if (c == '\'') return skip_quoted('\'', d.backslash_escapes || escape_prefix());
        if (c == '"') return skip_quoted('"', d.backslash_escapes);
        if (c == '`') return skip_quoted('`', false);
        if (c == '[' && d.bracket_quotes) return skip_quoted(']', false);
        if (c == '$') return skip_dollar();
        return false;
    }

    // E'...' in Postgres takes backslash escapes.
    bool escape_prefix() const {
        return i > 0 && (at(i - 1) == 'E' || at(i - 1) == 'e') && (i == 1 || !ident_char(at(i - 2)));
    }

    bool skip_line() {
        while (!done() && at(i) != '\n') step();
        return true;
    }

    bool skip_block() {
        const bool nested = d.nested_comments;
        int depth = 0;
        while (!done()) {
            if (at(i) == '/' && at(i + 1) == '*' && (nested || depth == 0)) {
                ++depth;
                step();
                step();
            } else if (at(i) == '*' && at(i + 1) == '/') {
                step();
                step();
                if (--depth == 0) return true;
            } else {
                step();
            }
        }
        closed = false;
        return true;
    }

    bool skip_quoted(unsigned char close, bool backslash) {
        step();
        while (!done()) {
            const unsigned char c = at(i);
            if (backslash && c == '\\') {
                step();
                if (!done()) step();
                continue;
            }
            step();
            if (c == close) {
                if (at(i) == close) {  // doubled: an escaped quote
                    step();
                    continue;
                }
                return true;
            }
        }
        closed = false;
        return true;
    }

    // $$ ... $$ or $tag$ ... $tag$ (not $1, not a$b$).
    bool skip_dollar() {
        if (i > 0 && ident_char(at(i - 1))) return false;
        size_t k = i + 1;
        if (at(k) != '$') {
            const unsigned char c = at(k);
            if (!(c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80))
                return false;
            while (k < s.size() && ident_char(at(k)) && at(k) != '$') ++k;
            if (at(k) != '$') return false;
        }
        const std::string_view tag = s.substr(i, k + 1 - i);
        const size_t close = s.find(tag, k + 1);
        closed = close != std::string_view::npos;
        step_to(closed ? close + tag.size() : s.size());
        return true;
    }
};


}  // namespace keldra::engine
