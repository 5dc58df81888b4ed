// The sqlparse_main extension module: binds re, parse, KeldraVar and json,
// then creates KeldraParseMain and Analyze, in that order.  The import of the
// parser (and the repair of its engine) is in engine_repair.cpp.
#include "sqlparse_main.hpp"

namespace sqlparse_main {

Ref import_module(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }

Ref import_from(const char* module, const char* name) {
    Ref mod = import_module(module);
    PyObject* v = PyObject_GetAttrString(mod.get(), name);
    if (v) return Ref::steal(v);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        keldra::raise(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    }
    keldra::raise_current();
}

namespace {

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
        Ref keldra_var = import_module("keldra_var");
        st->node_type = PyObject_GetAttrString(keldra_var.get(), "Node");
        if (!st->node_type) keldra::raise_current();
        st->match_type = PyObject_GetAttrString(keldra_var.get(), "Match");
        if (!st->match_type) keldra::raise_current();

        Ref re = import_module("re");
        add(module, "re", re.get());
        Ref parse = import_parser(re.get());
        add(module, "parse", parse.get());
        quiet_parser_logging();
        Ref keldra_var_cls = import_from("keldra_var", "KeldraVar");
        if (!PyType_Check(keldra_var_cls.get()))
            keldra::raise(PyExc_ImportError, "keldra_var.KeldraVar is not a class");
        st->kv_getattro = reinterpret_cast<PyTypeObject*>(keldra_var_cls.get())->tp_getattro;
        st->dict_get_descr = _PyType_Lookup(&PyDict_Type, st->s_get);
        if (!st->dict_get_descr) keldra::raise(PyExc_ImportError, "dict has no get");
        Py_INCREF(st->dict_get_descr);
        st->keldra_var_type = Py_NewRef(keldra_var_cls.get());
        add(module, "KeldraVar", keldra_var_cls.get());
        Ref json = import_module("json");
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
        snapshot_types(st);
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
    Py_VISIT(st->keldra_var_type);
    for (TypeSnapshot& snap : st->built) Py_VISIT(snap.attributes);
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
    Py_CLEAR(st->keldra_var_type);
    for (TypeSnapshot& snap : st->built) Py_CLEAR(snap.attributes);
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
