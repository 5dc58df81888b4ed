// KeldraParseMain._re_hint: strip block comments (hints included), line
// comments and blank lines from SQL text, in linear time.
//
// 1. Block comments, one pass over the characters.  A counter goes up at
//    every "/*" and down at every "*/"; a character is kept only while the
//    counter is 0.  On "/*" every "/" at both ends of the kept text is
//    stripped first (this removes the "/" of the opening, kept one character
//    earlier).  The counter is not clamped: a stray "*/" drops the rest of
//    the text until a later "/*".
// 2. Line comments: every "--" up to the end of its line, the line feed
//    included, becomes one line feed.
// 3. Blank lines: the text is split at line feeds and only the pieces that
//    hold a non-whitespace character (str.isspace) are kept, joined by single
//    line feeds.
// The scan knows nothing of quoting: markers inside string literals count.
#include "sqlparse_main.hpp"

#include <vector>

namespace sqlparse_main {
namespace {

template <class CharT>
Ref clean(const CharT* in, Py_ssize_t n, int kind) {
    // Step 1: kept text is kept[start, end).
    std::vector<CharT> kept(static_cast<size_t>(n));
    Py_ssize_t start = 0, end = 0;
    Py_ssize_t write_tag = 0;
    Py_UCS4 pending = 0;  // '/' or '*' when the previous character was one
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = in[i];
        const bool opens = pending == '/' && c == '*';
        const bool closes = pending == '*' && c == '/';
        if (opens) {
            while (end > start && kept[end - 1] == '/') --end;
            while (start < end && kept[start] == '/') ++start;
            ++write_tag;
        }
        if (write_tag == 0) kept[end++] = in[i];
        if (closes) --write_tag;
        pending = (c == '/' || c == '*') ? c : 0;
    }

    // Steps 2 and 3 in one pass over the kept text.
    std::vector<CharT> out(static_cast<size_t>(end - start) + 1);
    Py_ssize_t len = 0;         // length of out
    Py_ssize_t line_start = 0;  // where the current line begins in out
    bool has_content = false;   // the current line holds a non-blank
    auto end_line = [&] {
        if (has_content) {
            out[len++] = '\n';
        } else {
            len = line_start;
        }
        line_start = len;
        has_content = false;
    };
    for (Py_ssize_t i = start; i < end; ++i) {
        const CharT c = kept[i];
        if (c == '-' && i + 1 < end && kept[i + 1] == '-') {
            // A line comment: skip to the end of its line, line feed included.
            i += 2;
            while (i < end && kept[i] != '\n') ++i;
            end_line();
            continue;
        }
        if (c == '\n') {
            end_line();
            continue;
        }
        out[len++] = c;
        if (!has_content && !Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c))) has_content = true;
    }
    if (!has_content) {
        len = line_start;
        if (len > 0) --len;  // the separator after the last kept line
    }
    return Ref::steal(PyUnicode_FromKindAndData(kind, out.data(), len));
}

}  // namespace

PyObject* re_hint_impl(PyObject* sql) {
    return keldra::guarded([&] {
        if (!PyUnicode_Check(sql))
            keldra::raise(PyExc_TypeError, "_re_hint() argument 'sql' must be str, not %.100s",
                          Py_TYPE(sql)->tp_name);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(sql);
        const void* data = PyUnicode_DATA(sql);
        switch (PyUnicode_KIND(sql)) {
            case PyUnicode_1BYTE_KIND:
                return clean(static_cast<const Py_UCS1*>(data), n, PyUnicode_1BYTE_KIND).release();
            case PyUnicode_2BYTE_KIND:
                return clean(static_cast<const Py_UCS2*>(data), n, PyUnicode_2BYTE_KIND).release();
            default:
                return clean(static_cast<const Py_UCS4*>(data), n, PyUnicode_4BYTE_KIND).release();
        }
    });
}

}  // namespace sqlparse_main
