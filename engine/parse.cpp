// The parser's call: sqloxide on one statement's text, on a stack that can
// hold what it builds, and its failures turned into the statement's error.
#include "parse.hpp"

#include "keldra/guard.hpp"
#include "keldra/stack.hpp"

#include <pthread.h>

#include <cstdio>
#include <cstring>

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

// The parser (sqloxide, in Rust) recurses as deep as the tree it builds, with
// no check of the stack: a thread with a small stack, or an expression that
// chains thousands of operators, would crash the process.  Longer chains than
// the engine walks are refused before parsing, and with less stack left than
// the parser may need it runs on a thread of its own with a large stack.
constexpr size_t parser_stack = size_t{64} << 20;
constexpr size_t direct_parse_stack = size_t{4} << 20;
// Longer statements always go to the large stack: what they may build is
// deeper than the pre-parse count can tell.
constexpr size_t direct_parse_length = size_t{256} << 10;

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

// parse_sql(text, dialect): a new reference, or nullptr with the parser's
// exception set.  A failure to run the parser at all raises.
PyObject* call_parser(PyObject* parse, PyObject* text, PyObject* dialect, size_t length) {
    if (stack_left() >= direct_parse_stack && length <= direct_parse_length)
        return PyObject_CallFunctionObjArgs(parse, text, dialect, nullptr);
    if (finalizing()) raise(PyExc_RuntimeError, "the interpreter is shutting down: no statement can be parsed");
    ParseJob job{PyInterpreterState_Get(), parse, text, dialect, nullptr, {}};
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) throw std::bad_alloc();
    pthread_attr_setstacksize(&attr, parser_stack);
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
