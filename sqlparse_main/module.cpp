// The sqlparse_main extension module: binds re, parse, KeldraVar and json,
// then creates KeldraParseMain and Analyze, in that order.
//
// moz_sql_parser's bundled engine says `from collections import Iterable` in
// mo_parsing/infix.py, which fails on current interpreters.  When the first
// import of the parser raises ImportError, the module rewrites that line of
// the installed file to import from collections.abc and imports the parser
// again.  The engine file is found beside ply, whose __file__ gives the
// directory.  The rewrite goes to a temporary file in the same directory that
// is renamed over the original, so a failed write never leaves it empty.
#include "sqlparse_main.hpp"

namespace sqlparse_main {
namespace {

Ref import(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }

// from <module> import <name>
Ref import_from(const char* module, const char* name) {
    Ref mod = import(module);
    PyObject* v = PyObject_GetAttrString(mod.get(), name);
    if (v) return Ref::steal(v);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        keldra::raise(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    }
    keldra::raise_current();
}

Ref str(const char* s) { return Ref::steal(PyUnicode_FromString(s)); }

Ref replace(PyObject* text, PyObject* old, PyObject* with) {
    return Ref::steal(PyObject_CallMethod(text, "replace", "OO", old, with));
}

// with open(path, mode, encoding="utf-8") as f: <body(f)>
template <class F>
void with_open(PyObject* io, PyObject* path, const char* mode, F&& body) {
    Ref open = Ref::steal(PyObject_GetAttrString(io, "open"));
    Ref args = Ref::steal(Py_BuildValue("(Os)", path, mode));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:s}", "encoding", "utf-8"));
    Ref f = Ref::steal(PyObject_Call(open.get(), args.get(), kwargs.get()));
    try {
        body(f.get());
    } catch (const keldra::PyErrorSet&) {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyObject* r = PyObject_CallMethod(f.get(), "close", nullptr);
        Py_XDECREF(r);
        if (!r) {
            Py_XDECREF(t);
            Py_XDECREF(v);
            Py_XDECREF(tb);
        } else {
            PyErr_Restore(t, v, tb);
        }
        throw;
    }
    Ref closed = Ref::steal(PyObject_CallMethod(f.get(), "close", nullptr));
}

// Rewrite mo_parsing/infix.py beside ply so that Iterable comes from
// collections.abc.
void repair_engine(PyObject* re) {
    Ref os = import("os");
    Ref ply = import("ply");
    Ref os_name = Ref::steal(PyObject_GetAttrString(os.get(), "name"));
    bool nt = PyUnicode_Check(os_name.get()) && PyUnicode_CompareWithASCIIString(os_name.get(), "nt") == 0;
    Ref old = str(nt ? "/" : "\\");
    Ref with = str(nt ? "\\" : "/");
    Ref old_path = replace(str("\\ply\\__init__.py").get(), old.get(), with.get());
    Ref new_path = replace(str("\\mo_parsing\\infix.py").get(), old.get(), with.get());
    Ref ply_file = Ref::steal(PyObject_GetAttrString(ply.get(), "__file__"));
    Ref path = replace(ply_file.get(), old_path.get(), new_path.get());

    Ref io = import("io");
    Ref data;
    with_open(io.get(), path.get(), "r", [&](PyObject* f) {
        data = Ref::steal(PyObject_CallMethod(f, "read", nullptr));
    });

    // ply's own file: there is nothing of the engine to repair.
    if (keldra::check(PyObject_RichCompareBool(path.get(), ply_file.get(), Py_EQ))) return;

    old = str("from collections import Iterable");
    with = str("from collections.abc import Iterable");
    Ref text = Ref::steal(PyObject_CallMethod(re, "sub", "OOO", old.get(), with.get(), data.get()));

    Ref tempfile = import("tempfile");
    Ref dir = Ref::steal(PyObject_CallMethod(os.get(), "fspath", "O", path.get()));
    Ref os_path = Ref::steal(PyObject_GetAttrString(os.get(), "path"));
    dir = Ref::steal(PyObject_CallMethod(os_path.get(), "dirname", "O", dir.get()));
    Ref mk_args = Ref::steal(PyTuple_New(0));
    Ref mk_kw = Ref::steal(Py_BuildValue("{s:s,s:s,s:O}", "prefix", ".infix-", "suffix", ".tmp", "dir", dir.get()));
    Ref mkstemp = Ref::steal(PyObject_GetAttrString(tempfile.get(), "mkstemp"));
    Ref made = Ref::steal(PyObject_Call(mkstemp.get(), mk_args.get(), mk_kw.get()));
    PyObject* fd = PyTuple_GetItem(made.get(), 0);
    PyObject* tmp = PyTuple_GetItem(made.get(), 1);
    if (!fd || !tmp) keldra::raise_current();
    bool fd_owned = true;
    try {
        Ref st = Ref::steal(PyObject_CallMethod(os.get(), "stat", "O", path.get()));
        Ref mode = Ref::steal(PyObject_GetAttrString(st.get(), "st_mode"));
        Ref mask = Ref::steal(PyLong_FromLong(07777));
        Ref bits = Ref::steal(PyNumber_And(mode.get(), mask.get()));
        Ref ok = Ref::steal(PyObject_CallMethod(os.get(), "chmod", "OO", tmp, bits.get()));
        with_open(io.get(), fd, "w", [&](PyObject* f) {
            fd_owned = false;  // the open file object closes the descriptor now
            Ref n = Ref::steal(PyObject_CallMethod(f, "write", "O", text.get()));
        });
        Ref done = Ref::steal(PyObject_CallMethod(os.get(), "replace", "OO", tmp, path.get()));
    } catch (const keldra::PyErrorSet&) {
        // Leave the original in place and remove the temporary file.
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        if (fd_owned) Py_XDECREF(PyObject_CallMethod(os.get(), "close", "O", fd));
        Py_XDECREF(PyObject_CallMethod(os.get(), "unlink", "O", tmp));
        PyErr_Clear();
        PyErr_Restore(t, v, tb);
        throw;
    }
}

Ref import_parser(PyObject* re) {
    try {
        return import_from("moz_sql_parser", "parse");
    } catch (const keldra::PyErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw;
    }
    // Handle the ImportError as an `except ImportError:` block would: what
    // the repair raises carries it as its context.
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb) PyException_SetTraceback(v, tb);
    Ref first = Ref::steal(v);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    PyObject* outer = PyErr_GetHandledException();
    PyErr_SetHandledException(first.get());
    struct Restore {
        PyObject* outer;
        ~Restore() {
            PyErr_SetHandledException(outer);
            Py_XDECREF(outer);
        }
    } restore{outer};
    repair_engine(re);
    return import_from("moz_sql_parser", "parse");
}

void add(PyObject* module, const char* name, PyObject* value) {
    keldra::check(PyModule_AddObjectRef(module, name, value));
}

Ref make_type(PyObject* module, PyType_Spec* spec) {
    return Ref::steal(PyType_FromModuleAndSpec(module, spec, nullptr));
}

int exec_module(PyObject* module) {
    return keldra::guarded_int([&] {
        State* st = state_of(module);
#define SQLPARSE_MAIN_INIT(id, text) st->s_##id = keldra::intern(text).release();
        SQLPARSE_MAIN_STRINGS(SQLPARSE_MAIN_INIT)
#undef SQLPARSE_MAIN_INIT
        st->int_one = PyLong_FromLong(1);
        if (!st->int_one) keldra::raise_current();
        st->separators_pair = Py_BuildValue("(ss)", ",", ":");
        if (!st->separators_pair) keldra::raise_current();
        Ref keldra_var = import("keldra_var");
        st->node_type = PyObject_GetAttrString(keldra_var.get(), "Node");
        if (!st->node_type) keldra::raise_current();
        st->match_type = PyObject_GetAttrString(keldra_var.get(), "Match");
        if (!st->match_type) keldra::raise_current();

        Ref re = import("re");
        add(module, "re", re.get());
        Ref parse = import_parser(re.get());
        add(module, "parse", parse.get());
        Ref keldra_var_cls = import_from("keldra_var", "KeldraVar");
        if (!PyType_Check(keldra_var_cls.get()))
            keldra::raise(PyExc_ImportError, "keldra_var.KeldraVar is not a class");
        st->kv_getattro = reinterpret_cast<PyTypeObject*>(keldra_var_cls.get())->tp_getattro;
        st->dict_get_descr = _PyType_Lookup(&PyDict_Type, st->s_get);
        if (!st->dict_get_descr) keldra::raise(PyExc_ImportError, "dict has no get");
        Py_INCREF(st->dict_get_descr);
        add(module, "KeldraVar", keldra_var_cls.get());
        Ref json = import("json");
        add(module, "json", json.get());
        st->json_module = Py_NewRef(json.get());
        st->json_dumps = PyObject_GetAttrString(json.get(), "dumps");
        st->json_loads = st->json_dumps ? PyObject_GetAttrString(json.get(), "loads") : nullptr;
        if (!st->json_loads) keldra::raise_current();
        Ref kpm = make_type(module, &kpm_spec);
        st->kpm_type = Py_NewRef(kpm.get());
        add(module, "KeldraParseMain", kpm.get());
        Ref analyze = make_type(module, &analyze_spec);
        reinterpret_cast<PyTypeObject*>(analyze.get())->tp_vectorcall = analyze_vectorcall;
        Ref name = Ref::steal(PyModule_GetNameObject(module));
        Ref search = Ref::steal(PyCFunction_NewEx(&one_search_other_def, module, name.get()));
        Ref static_search = Ref::steal(PyStaticMethod_New(search.get()));
        keldra::setattr(analyze.get(), st->s__one_search_other, static_search.get());
        st->analyze_type = Py_NewRef(analyze.get());
        add(module, "Analyze", analyze.get());
    });
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    State* st = state_of(module);
    Py_VISIT(st->node_type);
    Py_VISIT(st->match_type);
    Py_VISIT(st->dict_get_descr);
    Py_VISIT(st->kpm_type);
    Py_VISIT(st->analyze_type);
    Py_VISIT(st->json_module);
    Py_VISIT(st->json_dumps);
    Py_VISIT(st->json_loads);
    return 0;
}

int clear_module(PyObject* module) {
    State* st = state_of(module);
    if (!st) return 0;
#define SQLPARSE_MAIN_CLEAR(id, text) Py_CLEAR(st->s_##id);
    SQLPARSE_MAIN_STRINGS(SQLPARSE_MAIN_CLEAR)
#undef SQLPARSE_MAIN_CLEAR
    Py_CLEAR(st->int_one);
    Py_CLEAR(st->separators_pair);
    Py_CLEAR(st->node_type);
    Py_CLEAR(st->match_type);
    Py_CLEAR(st->dict_get_descr);
    Py_CLEAR(st->kpm_type);
    Py_CLEAR(st->analyze_type);
    Py_CLEAR(st->json_module);
    Py_CLEAR(st->json_dumps);
    Py_CLEAR(st->json_loads);
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "sqlparse_main",
    "Column-level lineage of SQL SELECT statements: KeldraParseMain()._parse_sql(sql).",
    sizeof(State),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace sqlparse_main

PyMODINIT_FUNC PyInit_sqlparse_main(void) { return PyModuleDef_Init(&sqlparse_main::module_def); }
