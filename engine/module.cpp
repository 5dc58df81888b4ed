// The extension module keldra_lineage._engine: lineage(sql, dialect, catalog).
//
// The text is split into statements here, each is parsed on its own by
// sqloxide (so one bad statement loses nothing else), read into the engine's
// model, resolved, and turned into a keldra_lineage.Statement.
#include "ast.hpp"
#include "parse.hpp"
#include "results.hpp"
#include "split.hpp"

#include "keldra/guard.hpp"

namespace keldra::engine {

namespace {

struct State {
    Names names;
    ResultTypes types;
    PyObject* parse_sql = nullptr;
    PyObject* resolve = nullptr;  // "resolve", the catalog's method
};

State* state_of(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

// A RecursionError while a statement is analysed makes it an error record
// (any other error goes on up).
void too_deep(Statement& st) {
    if (!PyErr_ExceptionMatches(PyExc_RecursionError)) raise_current();
    PyErr_Clear();
    Statement fresh;
    fresh.index = st.index;
    fresh.start = st.start;
    fresh.error = "line " + std::to_string(st.start.line) + ", column " + std::to_string(st.start.column) +
                  ": the statement is nested too deeply to analyse";
    st = std::move(fresh);
}

PyObject* lineage(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        State& state = *state_of(module);
        if (nargs != 3) raise(PyExc_TypeError, "lineage() takes 3 arguments (sql, dialect, catalog)");
        PyObject* sql = args[0];
        PyObject* dialect_name = args[1];
        if (!PyUnicode_Check(sql)) raise(PyExc_TypeError, "sql must be a str, not %.200s", Py_TYPE(sql)->tp_name);
        if (!PyUnicode_Check(dialect_name))
            raise(PyExc_TypeError, "dialect must be a str, not %.200s", Py_TYPE(dialect_name)->tp_name);
        const Dialect* d = find_dialect(str_view(dialect_name));
        if (!d) raise(PyExc_ValueError, "unknown dialect %R: expected one of %s", dialect_name, dialect_names().c_str());

        // Lone surrogates go through as they are: the parser rejects them.
        Ref bytes = Ref::steal(PyUnicode_AsEncodedString(sql, "utf-8", "surrogatepass"));
        const std::string_view text(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
        Tables tables;
        tables.catalog = args[2];
        tables.resolve_name = state.resolve;
        Ref out = Ref::steal(PyList_New(0));
        int index = 0;
        for (const Piece& piece : split_statements(text, *d)) {
            if (PyErr_CheckSignals() < 0) raise_current();  // Ctrl-C between statements
            const std::string_view body = text.substr(piece.begin, piece.end - piece.begin);
            Source src{body, piece.start, d, {}};
            Ref piece_text = Ref::steal(PyUnicode_DecodeUTF8(body.data(), static_cast<Py_ssize_t>(body.size()), "surrogatepass"));
            Ref parse = Ref::borrow(state.parse_sql);
            PyObject* parsed_raw = nullptr;
            try {
                parsed_raw = call_parser(parse.get(), piece_text.get(), dialect_name, body);
            } catch (const ParseRefused& refused) {
                Statement st;
                st.index = ++index;
                st.start = piece.start;
                st.error = "line " + std::to_string(piece.start.line) + ", column " + std::to_string(piece.start.column) +
                           ": " + refused.why;
                check(PyList_Append(out.get(), build_statement(state.types, st).get()));
                continue;
            }
            if (!parsed_raw) {
                if (!parser_failure()) raise_current();
                Ref exc = take_exception();
                Statement st;
                st.index = ++index;
                st.start = piece.start;
                st.error = parse_error(src, exc.get());
                check(PyList_Append(out.get(), build_statement(state.types, st).get()));
                continue;
            }
            Ref parsed = Ref::steal(parsed_raw);
            if (!PyList_Check(parsed.get())) raise(PyExc_TypeError, "sqloxide.parse_sql returned %R", parsed.get());
            // Usually one statement; the parser may find more where the text
            // had no semicolon between them.
            std::vector<Statement> statements(static_cast<size_t>(PyList_GET_SIZE(parsed.get())));
            for (size_t i = 0; i < statements.size(); ++i) {
                statements[i].index = ++index;
                statements[i].start = piece.start;
                try {
                    read_statement(state.names, src, PyList_GET_ITEM(parsed.get(), static_cast<Py_ssize_t>(i)), statements[i]);
                } catch (const PyErrorSet&) {
                    too_deep(statements[i]);
                }
            }
            parsed = Ref();  // the tree is read; nothing of it is kept
            for (Statement& st : statements) {
                if (st.error.empty()) {
                    tables.attach(st, *d);  // the catalog's own errors go on up
                    try {
                        resolve_statement(st, *d);
                        tables.record(st);
                    } catch (const PyErrorSet&) {
                        too_deep(st);
                    }
                }
                check(PyList_Append(out.get(), build_statement(state.types, st).get()));
            }
        }
        return out.release();
    });
}

PyMethodDef methods[] = {
    {"lineage", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lineage)), METH_FASTCALL,
     "lineage(sql, dialect, catalog) -> list of Statement (see keldra_lineage.lineage)"},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    return guarded_int([&] {
        State* st = new (state_of(module)) State{};
        st->names.init();
        Ref results = Ref::steal(PyImport_ImportModule("keldra_lineage._results"));
        st->types.init(results.get());
        Ref sqloxide = Ref::steal(PyImport_ImportModule("sqloxide"));
        st->parse_sql = Ref::steal(PyObject_GetAttrString(sqloxide.get(), "parse_sql")).release();
        st->resolve = PyUnicode_InternFromString("resolve");
        if (!st->resolve) raise_current();
    });
}

int traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = state_of(module);
    if (!st) return 0;
    Py_VISIT(st->parse_sql);
    Py_VISIT(reinterpret_cast<PyObject*>(st->types.source));
    Py_VISIT(reinterpret_cast<PyObject*>(st->types.column));
    Py_VISIT(reinterpret_cast<PyObject*>(st->types.statement));
    return 0;
}

int clear(PyObject* module) {
    State* st = state_of(module);
    if (!st) return 0;
    st->names.clear();
    st->types.clear();
    Py_CLEAR(st->parse_sql);
    Py_CLEAR(st->resolve);
    return 0;
}

void free_module(void* module) { clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "keldra_lineage._engine",
    "The lineage engine behind keldra_lineage.lineage().",
    sizeof(State),
    methods,
    slots,
    traverse,
    clear,
    free_module,
};

}  // namespace
}  // namespace keldra::engine

PyMODINIT_FUNC PyInit__engine(void) { return PyModuleDef_Init(&keldra::engine::module_def); }
