// The parser's call: sqloxide on one statement's text, on a stack that can
// hold what it builds, and its failures turned into the statement's error.
#include "parse.hpp"
#include "scanner.hpp"

#include "keldra/guard.hpp"
#include "keldra/stack.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace keldra::engine {

namespace {

// Where a statement's text ends, ignoring trailing blanks.
Pos end_of(const Source& src) {
    size_t end = src.text.size();
    while (end > 0 && std::strchr(" \t\r\n\f\v", src.text[end - 1])) --end;
    int line = 1, column = 1;
    for (size_t i = 0; i < end; ++i) {
        const unsigned char c = static_cast<unsigned char>(src.text[i]);
        if (c == '\n') {
            ++line;
            column = 1;
        } else if ((c & 0xC0) != 0x80) {
            ++column;
        }
    }
    return src.absolute(line, column);
}

// The parser (sqloxide over sqlparser-rs, in Rust) builds the statement's
// tree, converts it into Python objects and drops it, and each of the three
// recurses once per level of the tree with no check of the stack: a thread
// with too small a stack for the tree would crash the process.  So the parse
// runs on a stack that is known to hold the deepest tree the text allows:
//
// 1. Depth <= tokens.  Every node of the tree is made from at least one token
//    that no other node is made from: its operator or keyword (`+`, `::`,
//    AT TIME ZONE, IS NULL, COLLATE...), its bracket (`(`, `[`, `{`), its
//    name or its literal.  A path from the root to a leaf therefore has at
//    most as many nodes as the statement has tokens, whatever the tokens are.
//    The parser's own recursion is capped by its recursion counter (50
//    levels); the deep trees come from its loops, which wrap the expression
//    read so far once per operator, and are covered by the same count.
// 2. Tokens <= units, counted here without the tokenizer: a unit is a run of
//    ASCII letters and underscores, a run of digits, or any other character
//    that is not blank.  The tokenizer reads a word or a number as far as it
//    goes, so it never splits such a run in two, and a token it hands the
//    parser holds at least one non-blank character, so no two tokens start
//    in the same unit.  The contents of strings, quoted names and comments
//    are counted as if they were text: the count is higher, never lower,
//    and it does not depend on reading quotes as the parser does.
// 3. Bytes per level.  Chains of every infix and postfix operator, keyword
//    and bracket the parser knows take at most 340 bytes of stack per level
//    across the three recursions (bench/parser_stack.py measures them); a
//    level takes at least one unit, so 512 bytes per unit holds them all
//    with room, and a fixed allowance covers the call itself.
//
// When the caller's thread has less stack left than that, the parse runs on a
// thread of its own whose stack is mapped without reserving memory: the pages
// are only committed as the parser touches them, so a flat CASE of 10,000
// WHENs or a long IN list, whose count is large but whose tree is shallow,
// costs nothing more.  Only a statement whose stack cannot even be mapped is
// refused.
constexpr size_t stack_per_unit = 512;
constexpr size_t stack_allowance = size_t{1} << 20;

bool letter(unsigned char c) { return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// The number of units of point 2 above: at least the number of tokens.
size_t token_bound(std::string_view text) {
    size_t units = 0;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (blank(c)) {
            ++i;
            continue;
        }
        ++units;
        if (letter(c)) {
            while (i < text.size() && letter(static_cast<unsigned char>(text[i]))) ++i;
        } else if (digit(c)) {
            while (i < text.size() && digit(static_cast<unsigned char>(text[i]))) ++i;
        } else {  // one character, with the continuation bytes of its UTF-8 encoding
            ++i;
            while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
        }
    }
    return units;
}

// Nesting.  The parser counts its recursion into brackets, subqueries and
// unary operators and gives up at 50 levels ("recursion limit exceeded").
// Before it gives up, some constructs read an argument, fail and read it
// again another way (ARRAY[, CAST(, TRY_CAST(, CONVERT(, SUBSTRING(, CEIL(,
// FLOOR(, OVERLAY(... in every dialect), so once a nest of them reaches the
// limit the time doubles with every level of them open: 48 ARRAY[ never
// end.  A statement that reaches the limit is refused by the parser whatever
// it does, so it is refused here first, as soon as the count below says so:
//
// - every bracket, ( [ or {, costs the parser at least one level, and so
//   does the first SELECT inside a bracket (or at the top), which starts a
//   query and its select list; nothing here counts a level the parser does
//   not spend, so the count is never higher than the parser's (save for
//   brackets of a data type, STRUCT(a STRUCT(b ...)), which no real type
//   nests 48 deep);
// - strings, quoted names and comments are skipped as the dialect writes
//   them (scanner.hpp), so their brackets do not count;
// - the parser's own count starts with the statement, which leaves 48 of its
//   50 levels for what is counted here: `SELECT` and 47 brackets parse,
//   `SELECT` and 48 are refused by the parser (measured for every bracket
//   kind of tests/hostile_shapes.py), and so are 49 brackets of VALUES.
//
// Unary operators are not counted (they are not brackets), so a nest that
// mixes them with the constructs above (NOT CAST(NOT CAST(...) still reaches
// the parser's limit below this count; bench/RESULTS.md lists it.
//
// The position of the bracket (or SELECT) past the limit, or nothing.
std::optional<Pos> nested_too_deeply(std::string_view text, const Dialect& d) {
    Scanner sc{text, d};
    std::vector<bool> selects;  // per open bracket: a SELECT counted inside it
    bool top_select = false;
    int levels = 0;
    while (!sc.done()) {
        if (sc.skip_opaque()) continue;
        const unsigned char c = sc.at(sc.i);
        if (c == '(' || c == '[' || c == '{') {
            if (++levels > max_nesting) return Pos{sc.line, sc.column};
            selects.push_back(false);
            sc.step();
        } else if (c == ')' || c == ']' || c == '}') {
            if (!selects.empty()) {
                levels -= 1 + (selects.back() ? 1 : 0);
                selects.pop_back();
            }
            sc.step();
        } else if (ident_char(c) && !(c >= '0' && c <= '9')) {
            const Pos at{sc.line, sc.column};
            const size_t start = sc.i;
            while (!sc.done() && ident_char(sc.at(sc.i))) sc.step();
            if (sc.i - start == 6 && ascii_lower(text.substr(start, 6)) == "select") {
                const bool counted = selects.empty() ? top_select : static_cast<bool>(selects.back());
                if (!counted) {
                    if (selects.empty()) top_select = true;
                    else selects.back() = true;
                    if (++levels > max_nesting) return at;
                }
            }
        } else {
            sc.step();
        }
    }
    return std::nullopt;
}

// A thread's stack, mapped without reserving memory, with a guard page below
// it; unmapped when the parse is over.
class ParserStack {
public:
    explicit ParserStack(size_t size) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_ = (size + page - 1) / page * page;
        total_ = size_ + page;
        void* p = mmap(nullptr, total_, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
        if (p == MAP_FAILED) return;
        base_ = static_cast<char*>(p);
        mprotect(base_, page, PROT_NONE);
        // Huge pages would commit 2 MiB at the first touch of each.
        madvise(base_ + page, size_, MADV_NOHUGEPAGE);
    }
    ~ParserStack() {
        if (base_) munmap(base_, total_);
    }
    ParserStack(const ParserStack&) = delete;
    ParserStack& operator=(const ParserStack&) = delete;

    bool mapped() const { return base_ != nullptr; }
    void* bottom() const { return base_ + (total_ - size_); }
    size_t size() const { return size_; }

private:
    char* base_ = nullptr;
    size_t size_ = 0, total_ = 0;
};

struct ParseJob {
    PyInterpreterState* interpreter;
    PyObject* parse;
    PyObject* text;
    PyObject* dialect;
    PyObject* result = nullptr;
    Ref error;  // what the parser raised
};

// The parser's call on a thread of its own, with a thread state of the
// caller's interpreter.
void* run_parse(void* arg) {
    auto* job = static_cast<ParseJob*>(arg);
    PyThreadState* ts = PyThreadState_New(job->interpreter);
    if (!ts) return nullptr;
    PyEval_RestoreThread(ts);
    job->result = PyObject_CallFunctionObjArgs(job->parse, job->text, job->dialect, nullptr);
    if (!job->result) job->error = take_exception();
    PyThreadState_Clear(ts);
    PyThreadState_DeleteCurrent();
    return nullptr;
}

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

}  // namespace

// sqloxide reports "Query parsing failed.\n\tsql parser error: <what> at
// Line: L, Column: C"; the error is <what> at that position in the whole
// text (the statement's end when none is given).
Message parse_error(const Source& src, PyObject* exc) {
    std::string text = "the statement cannot be parsed";
    if (PyObject* s = PyObject_Str(exc)) {
        Py_ssize_t n = 0;
        if (const char* c = PyUnicode_AsUTF8AndSize(s, &n)) text.assign(c, static_cast<size_t>(n));
        else PyErr_Clear();
        Py_DECREF(s);
    } else {
        PyErr_Clear();  // an exception that cannot be written: the plain message
    }
    const std::string marker = "sql parser error: ";
    if (const size_t at = text.find(marker); at != std::string::npos) text.erase(0, at + marker.size());
    for (char& c : text)
        if (c == '\n' || c == '\t') c = ' ';
    Pos pos = end_of(src);
    const std::string where = " at Line: ";
    if (const size_t at = text.rfind(where); at != std::string::npos) {
        int line = 0, column = 0;
        if (std::sscanf(text.c_str() + at + where.size(), "%d, Column: %d", &line, &column) == 2 && line > 0) {
            pos = src.absolute(line, column);
            text.erase(at);
        }
    }
    return Message{MessageKind::parse_error, pos, std::move(text)};
}

// A failure of the parser is the statement's error; an interrupt, a lack of
// memory or a failure of ours is not.
bool parser_failure() {
    PyObject* type = PyErr_Occurred();
    if (!type || PyErr_GivenExceptionMatches(type, PyExc_MemoryError)) return false;
    if (PyErr_GivenExceptionMatches(type, PyExc_Exception)) return true;
    // a panic inside the parser comes out as pyo3's PanicException, a BaseException
    const char* name = reinterpret_cast<PyTypeObject*>(type)->tp_name;
    return name && std::strstr(name, "PanicException") != nullptr;
}

// The pending exception, taken; None when there is none.
Ref take_exception() {
    Ref e = SavedError().take();
    return e ? std::move(e) : Ref::none();
}

size_t parser_stack_for(std::string_view text) { return token_bound(text) * stack_per_unit + stack_allowance; }

// parse_sql(text, dialect): a new reference, or nullptr with the parser's
// exception set.  A failure to run the parser at all raises.
PyObject* call_parser(PyObject* parse, PyObject* text, PyObject* dialect, std::string_view body, const Dialect& d) {
    if (const std::optional<Pos> at = nested_too_deeply(body, d))
        throw ParseRefused{"the statement is nested too deeply to parse: brackets and subqueries more than " +
                               std::to_string(max_nesting) + " levels deep",
                           *at};
    const size_t need = parser_stack_for(body);
    if (stack_left() >= need) return PyObject_CallFunctionObjArgs(parse, text, dialect, nullptr);
    if (finalizing()) raise(PyExc_RuntimeError, "the interpreter is shutting down: no statement can be parsed");
    ParserStack stack(need);
    if (!stack.mapped())
        throw ParseRefused{"the statement is too long to parse safely: its parse may need " +
                               std::to_string(need >> 20) + " MiB of stack, more than can be mapped",
                           {}};
    ParseJob job{PyInterpreterState_Get(), parse, text, dialect, nullptr, {}};
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) throw std::bad_alloc();
    pthread_attr_setstack(&attr, stack.bottom(), stack.size());
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, run_parse, &job);
    pthread_attr_destroy(&attr);
    if (rc != 0) raise(PyExc_RuntimeError, "cannot start a thread for the parser: %s", std::strerror(rc));
    Py_BEGIN_ALLOW_THREADS
    pthread_join(thread, nullptr);
    Py_END_ALLOW_THREADS
    if (job.result) return job.result;
    if (!job.error) raise(PyExc_RuntimeError, "the parser's thread ended without an answer");
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(job.error.get())), job.error.get());
    return nullptr;
}

}  // namespace keldra::engine
