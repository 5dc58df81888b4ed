// The extension module keldra_lineage._engine: the type Session (see
// session.cpp) and lineage(sql, dialect, catalog), a session of one text.
#include "fingerprint.hpp"
#include "packing.hpp"
#include "parse.hpp"
#include "session.hpp"
#include "split.hpp"

#include "keldra/guard.hpp"

namespace keldra::engine {

State* state_of(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

namespace {

PyObject* lineage(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 3) raise(PyExc_TypeError, "lineage() takes 3 arguments (sql, dialect, catalog)");
        Session session{dialect_of(args[1]), Ref::borrow(args[1]), Ref::borrow(args[2]), {}, false};
        return analyse_text(*state_of(module), session, args[0], Py_None).release();
    });
}

// The statements of a text as the engine cuts it: (begin, end, line, column)
// each, `text[begin:end]` being what is parsed (in characters of the str, the
// terminating semicolon left out) and (line, column) where it starts.
PyObject* split(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 2) raise(PyExc_TypeError, "split() takes 2 arguments (sql, dialect)");
        if (!PyUnicode_Check(args[0]))
            raise(PyExc_TypeError, "sql must be a str, not %.200s", Py_TYPE(args[0])->tp_name);
        const Dialect& d = *dialect_of(args[1]);
        Ref bytes = Ref::steal(PyUnicode_AsEncodedString(args[0], "utf-8", "surrogatepass"));
        // cut as the analysis cuts it: lone carriage returns end lines there too
        std::string lf_text;
        const std::string_view text = lf_lines(
            std::string_view(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()))), lf_text);
        Ref out = Ref::steal(PyList_New(0));
        // byte offsets become character offsets in one pass: the pieces come in order
        size_t byte = 0;
        Py_ssize_t chars = 0;
        auto to_chars = [&](size_t at) {
            for (; byte < at; ++byte)
                if ((static_cast<unsigned char>(text[byte]) & 0xC0) != 0x80) ++chars;
            return chars;
        };
        for (const Piece& piece : split_statements(text, d)) {
            const Py_ssize_t begin = to_chars(piece.begin);
            const Py_ssize_t end = to_chars(piece.end);
            Ref item = Ref::steal(Py_BuildValue("(nnii)", begin, end, piece.start.line, piece.start.column));
            check(PyList_Append(out.get(), item.get()));
        }
        return out.release();
    });
}

PyMethodDef methods[] = {
    {"lineage", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lineage)), METH_FASTCALL,
     "lineage(sql, dialect, catalog) -> list of Statement (see keldra_lineage.lineage)"},
    {"fingerprint_key", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fingerprint_key_entry)),
     METH_FASTCALL, "fingerprint_key(text, dialect) -> bytes (see keldra_lineage.fingerprint)"},
    {"split", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(split)), METH_FASTCALL,
     "split(sql, dialect) -> list of (begin, end, line, column): the statements as the engine cuts the text"},
    {"pack_statements", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pack_statements_entry)),
     METH_FASTCALL, "pack_statements(statements) -> bytes: the statements for another process of this build"},
    {"unpack_statements", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unpack_statements_entry)),
     METH_FASTCALL, "unpack_statements(data) -> list of Statement: what pack_statements packed"},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    return guarded_int([&] {
        State* st = new (state_of(module)) State{};
        st->names.init();
        Ref results = Ref::steal(PyImport_ImportModule("keldra_lineage._results"));
        st->types.init(results.get());
        check(PyModule_AddObjectRef(module, "KINDS", kind_tuple().get()));
        check(PyModule_AddObjectRef(module, "DIALECTS", dialect_tuple().get()));
        Ref sqloxide = Ref::steal(PyImport_ImportModule("sqloxide"));
        st->parse_sql = Ref::steal(PyObject_GetAttrString(sqloxide.get(), "parse_sql")).release();
        st->resolve = PyUnicode_InternFromString("resolve");
        if (!st->resolve) raise_current();
        check(PyModule_AddObjectRef(module, "MESSAGE_KINDS", message_kinds().get()));
        check(PyModule_AddIntConstant(module, "MAX_COLUMNS", static_cast<long>(max_columns)));
        check(PyModule_AddIntConstant(module, "MAX_NESTING", max_nesting));
        st->session_type = make_session_type(module);
        check(PyModule_AddObjectRef(module, "Session", reinterpret_cast<PyObject*>(st->session_type)));
    });
}

int traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = state_of(module);
    if (!st) return 0;
    Py_VISIT(st->parse_sql);
    Py_VISIT(reinterpret_cast<PyObject*>(st->session_type));
    Py_VISIT(reinterpret_cast<PyObject*>(st->types.source));
    Py_VISIT(reinterpret_cast<PyObject*>(st->types.column));
    Py_VISIT(reinterpret_cast<PyObject*>(st->types.statement));
    Py_VISIT(st->types.message);
    return 0;
}

int clear(PyObject* module) {
    State* st = state_of(module);
    if (!st) return 0;
    st->names.clear();
    st->types.clear();
    Py_CLEAR(st->parse_sql);
    Py_CLEAR(st->resolve);
    Py_CLEAR(st->session_type);
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
