// KeldraParseMain: from SQL text to lineage records.
//
//   sql = self._re_hint(sql)
//   tree = parse(sql)
//   for database_table, src, tgt in Analyze(tree).analyze_sql():
//       database, table = <database_table divided at its last ".">
//       records.append(KeldraVar(database=..., table=..., src=..., tgt=...))
//
// `parse`, `Analyze` and `KeldraVar` are the module's names, read at call time.
#include "sqlparse_main.hpp"

namespace sqlparse_main {
namespace {

const keldra::Signature init_sig = {"KeldraParseMain.__init__", true, nullptr, 0, 0};
const char* const sql_names[] = {"sql"};
const keldra::Signature parse_sql_sig = keldra::signature("KeldraParseMain._parse_sql", true, sql_names);
const keldra::Signature re_hint_sig = keldra::signature("KeldraParseMain._re_hint", false, sql_names);

// Divide "db.tbl" into ("db", "tbl") at the last "."; no "." gives (None, text).
void divide_table(const Ctx& c, PyObject* text, Ref* database, Ref* table) {
    if (PyUnicode_Check(text)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        Py_ssize_t dot = PyUnicode_FindChar(text, '.', 0, n, -1);
        if (dot == -2) keldra::raise_current();
        if (dot < 0) {
            *database = Ref::none();
            *table = Ref::borrow(text);
        } else {
            *database = Ref::steal(PyUnicode_Substring(text, 0, dot));
            *table = Ref::steal(PyUnicode_Substring(text, dot + 1, n));
        }
        return;
    }
    // Not a str (only a hand-made analyzer result): the same with the
    // interpreter's `in` and rsplit.
    if (!contains(text, c.st->s_dot)) {
        *database = Ref::none();
        *table = Ref::borrow(text);
        return;
    }
    Ref parts = call_method(c, text, c.st->s_rsplit, c.st->s_dot, c.st->int_one);
    Ref seq = Ref::steal(PySequence_Fast(parts.get(), "rsplit() did not return a sequence"));
    if (PySequence_Fast_GET_SIZE(seq.get()) != 2)
        keldra::raise(PyExc_ValueError, "cannot divide %R into a database and a table", text);
    *database = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), 0));
    *table = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), 1));
}

Ref parse_sql(const Ctx& c, PyObject* self, PyObject* const* a) {
    PyObject* sql = a[0];
    Ref cleaned = call_method(c, self, c.st->s__re_hint, sql);
    Ref parse = c.global(c.st->s_parse);
    Ref tree = keldra::call(parse.get(), cleaned.get());
    Ref analyze_cls = c.global(c.st->s_Analyze);
    Ref analyzer = keldra::call(analyze_cls.get(), tree.get());
    Ref triples = call_method(c, analyzer.get(), c.st->s_analyze_sql);
    Ref result = Ref::steal(PyList_New(0));
    Ref iter = Ref::steal(PyObject_GetIter(triples.get()));
    Ref record_cls;
    Ref kwnames = Ref::steal(PyTuple_Pack(4, c.st->s_database, c.st->s_table, c.st->s_src, c.st->s_tgt));
    while (PyObject* raw = PyIter_Next(iter.get())) {
        Ref item = Ref::steal(raw);
        Ref parts[3];
        unpack3(item.get(), parts);
        Ref database, table;
        divide_table(c, parts[0].get(), &database, &table);
        if (!record_cls) record_cls = c.global(c.st->s_KeldraVar);
        PyObject* argv[] = {database.get(), table.get(), parts[1].get(), parts[2].get()};
        Ref record = Ref::steal(PyObject_Vectorcall(record_cls.get(), argv, 0, kwnames.get()));
        keldra::check(PyList_Append(result.get(), record.get()));
    }
    if (PyErr_Occurred()) keldra::raise_current();
    return result;
}

Ref init_method(const Ctx&, PyObject*, PyObject* const*) { return Ref::none(); }

int kpm_init(PyObject*, PyObject* args, PyObject* kwargs) {
    return keldra::guarded_int([&] {
        Py_ssize_t n = PyTuple_GET_SIZE(args) + (kwargs ? PyDict_GET_SIZE(kwargs) : 0);
        if (n) keldra::raise(PyExc_TypeError, "KeldraParseMain() takes no arguments (%zd given)", n);
    });
}

PyObject* kpm_re_hint(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return keldra::guarded([&] {
        PyObject* a[1];
        keldra::bind_args(re_hint_sig, args, nargs, kwnames, a);
        PyObject* r = re_hint_impl(a[0]);
        if (!r) keldra::raise_current();
        return r;
    });
}

PyMethodDef kpm_methods[] = {
    {"__init__", SQLPARSE_MAIN_METHOD(init_sig, init_method) | METH_COEXIST,
     "KeldraParseMain.__init__(self)"},
    {"_re_hint", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kpm_re_hint)),
     METH_STATIC | METH_FASTCALL | METH_KEYWORDS, "KeldraParseMain._re_hint(sql)"},
    {"_parse_sql", SQLPARSE_MAIN_METHOD(parse_sql_sig, parse_sql), "KeldraParseMain._parse_sql(self, sql)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kpm_slots[] = {
    {Py_tp_doc, const_cast<char*>("Column-level lineage of one SQL SELECT statement.")},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(kpm_init)},
    {Py_tp_methods, kpm_methods},
    {Py_tp_members, instance_members},
    {Py_tp_getset, instance_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(instance_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(instance_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec kpm_spec = {
    "sqlparse_main.KeldraParseMain",
    sizeof(Instance),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    kpm_slots,
};

}  // namespace sqlparse_main
