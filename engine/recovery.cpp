// Parser recovery, at the one place where a statement fails to parse: it
// runs only then, so a statement that sqloxide parses costs nothing more.
#include "recovery.hpp"

#include "ast.hpp"
#include "parse.hpp"

namespace keldra::engine {

PyObject* recover(const Source& src, PyObject* parse, PyObject* text, const Dialect& d, PyObject* parser_dialect,
                  Recovery& out) {
    Ref verdict = take_exception();  // the parser's, restored when nothing better is found
    Ref module = Ref::steal(PyImport_ImportModule("keldra_lineage.recovery"));
    Ref candidates = Ref::steal(PyObject_CallMethod(module.get(), "rewrite", "Os", text, d.name));
    if (!PyList_Check(candidates.get()))
        raise(PyExc_TypeError, "keldra_lineage.recovery.rewrite() must return a list, not %R", candidates.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(candidates.get()); ++i) {
        Ref candidate = Ref::borrow(PyList_GET_ITEM(candidates.get(), i));  // held across the parser's call
        if (!PyUnicode_Check(candidate.get())) raise(PyExc_TypeError, "a rewriting must be a str, not %R", candidate.get());
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(candidate.get(), &size);
        if (!utf8) {
            // a lone surrogate kept from the text: the parser cannot take it either
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) raise_current();
            PyErr_Clear();
            continue;
        }
        PyObject* parsed = nullptr;
        try {
            parsed = call_parser(parse, candidate.get(), parser_dialect, std::string_view(utf8, static_cast<size_t>(size)), d);
        } catch (const ParseRefused&) {
            continue;  // no stack can hold this rewriting's parse: not a recovery
        }
        if (parsed) {
            out.text.assign(utf8, static_cast<size_t>(size));
            Ref name = Ref::steal(PyObject_CallMethod(module.get(), "parser_name", nullptr));
            Ref tree = Ref::steal(parsed);
            const Message rejected = parse_error(src, verdict.get());
            out.note = "the parser rejected the statement (line " + std::to_string(rejected.pos.line) + ", column " +
                       std::to_string(rejected.pos.column) + ": " + rejected.text + "); " +
                       std::string(str_view(name.get())) +
                       " read it and wrote it anew for the parser: positions inside it are approximate";
            return tree.release();
        }
        if (!parser_failure()) raise_current();
        PyErr_Clear();
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(verdict.get())), verdict.get());
    return nullptr;
}

}  // namespace keldra::engine
