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
//
// Runs of characters that play no part in a step are skipped in bulk.
#include "sqlparse_main.hpp"

#include <cstring>
#include <memory>

namespace sqlparse_main {
namespace {

// Is c one of the characters a step looks at?
template <class CharT>
inline bool is_marker(CharT c) {
    return c == '/' || c == '*';
}
template <class CharT>
inline bool is_line_marker(CharT c) {
    return c == '-' || c == '\n';
}

// Step 1 into `kept`; returns the kept text as [*start, result).
template <class CharT>
Py_ssize_t strip_block_comments(const CharT* in, Py_ssize_t n, CharT* kept, Py_ssize_t* start_out) {
    Py_ssize_t start = 0, end = 0;
    Py_ssize_t write_tag = 0;
    Py_UCS4 pending = 0;  // '/' or '*' when the previous character was one
    Py_ssize_t i = 0;
    while (i < n) {
        const Py_UCS4 c = in[i];
        if (!is_marker(in[i])) {
            // A run of ordinary characters: kept or dropped as a whole.
            Py_ssize_t j = i + 1;
            while (j < n && !is_marker(in[j])) ++j;
            if (write_tag == 0) {
                std::memcpy(kept + end, in + i, static_cast<size_t>(j - i) * sizeof(CharT));
                end += j - i;
            }
            pending = 0;
            i = j;
            continue;
        }
        if (pending == '/' && c == '*') {
            while (end > start && kept[end - 1] == '/') --end;
            while (start < end && kept[start] == '/') ++start;
            ++write_tag;
        }
        if (write_tag == 0) kept[end++] = in[i];
        if (pending == '*' && c == '/') --write_tag;
        pending = c;
        ++i;
    }
    *start_out = start;
    return end;
}

// Steps 2 and 3 from kept[start, end) into out; returns the length written.
template <class CharT>
Py_ssize_t strip_lines(const CharT* kept, Py_ssize_t start, Py_ssize_t end, CharT* out) {
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
    Py_ssize_t i = start;
    while (i < end) {
        const CharT c = kept[i];
        if (!is_line_marker(c)) {
            Py_ssize_t j = i;
            while (j < end && !is_line_marker(kept[j])) {
                if (!has_content && !Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(kept[j]))) has_content = true;
                ++j;
            }
            std::memcpy(out + len, kept + i, static_cast<size_t>(j - i) * sizeof(CharT));
            len += j - i;
            i = j;
            continue;
        }
        if (c == '-' && i + 1 < end && kept[i + 1] == '-') {
            // A line comment: skip to the end of its line, line feed included.
            const CharT* nl = kept + i + 2;
            while (nl < kept + end && *nl != '\n') ++nl;
            i = (nl - kept) + 1;
            end_line();
            continue;
        }
        if (c == '\n') {
            end_line();
            ++i;
            continue;
        }
        out[len++] = c;  // a single '-'
        has_content = true;
        ++i;
    }
    if (!has_content) {
        len = line_start;
        if (len > 0) --len;  // the separator after the last kept line
    }
    return len;
}

template <class CharT>
Ref clean(const CharT* in, Py_ssize_t n, int kind, bool ascii) {
    std::unique_ptr<CharT[]> kept(new CharT[static_cast<size_t>(n) + 1]);
    Py_ssize_t start = 0;
    Py_ssize_t end = strip_block_comments(in, n, kept.get(), &start);
    if (ascii) {
        // ASCII in, ASCII out: write straight into the result string.
        PyObject* raw = PyUnicode_New(end - start + 1, 127);
        if (!raw) keldra::raise_current();
        Py_ssize_t len =
            strip_lines(kept.get(), start, end, static_cast<CharT*>(PyUnicode_DATA(raw)));
        keldra::check(PyUnicode_Resize(&raw, len));
        return Ref::steal(raw);
    }
    std::unique_ptr<CharT[]> out(new CharT[static_cast<size_t>(end - start) + 1]);
    Py_ssize_t len = strip_lines(kept.get(), start, end, out.get());
    return Ref::steal(PyUnicode_FromKindAndData(kind, out.get(), len));
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
                return clean(static_cast<const Py_UCS1*>(data), n, PyUnicode_1BYTE_KIND,
                             PyUnicode_IS_ASCII(sql))
                    .release();
            case PyUnicode_2BYTE_KIND:
                return clean(static_cast<const Py_UCS2*>(data), n, PyUnicode_2BYTE_KIND, false).release();
            default:
                return clean(static_cast<const Py_UCS4*>(data), n, PyUnicode_4BYTE_KIND, false).release();
        }
    });
}

}  // namespace sqlparse_main
