// Analyze: the lineage analyzer.  This file holds the class itself, the
// entry analyze_sql with the split of set operations into their branches,
// the per-query driver and the JSON normalisation of the tree.
//
// Every method calls the others through the instance (self.<method>), so a
// subclass or a patched method takes effect, and reads the module-level names
// (KeldraVar, json, Analyze) at call time.
#include "sqlparse_main.hpp"

#include <vector>

namespace sqlparse_main {

thread_local int Nesting::depth_ = 0;

namespace {
// A level of subquery costs about seven of these (some 150 levels in all,
// far beyond what the parser accepts).  The count keeps the depth the same on
// every thread that has the stack for it; the stack check stops a thread
// that has less.
constexpr int kMaxNesting = 1200;
}  // namespace

Nesting::Nesting() {
    if (depth_ >= kMaxNesting)
        keldra::raise(PyExc_RecursionError,
                      "the query is nested too deeply for lineage analysis (more than %d nested "
                      "analysis steps)",
                      kMaxNesting);
    if (keldra::stack_low())
        keldra::raise(PyExc_RecursionError,
                      "the query is nested too deeply for lineage analysis (the thread's stack is "
                      "nearly exhausted after %d nested analysis steps)",
                      depth_);
    ++depth_;
}

namespace {

// ---- set operations ------------------------------------------------------------

bool is_set_operation(const Ctx& c, PyObject* node) {
    if (!PyDict_Check(node)) return false;
    return keldra::dict_get(node, c.st->s_union_all) || keldra::dict_get(node, c.st->s_union_);
}

// A query without select whose FROM is a set operation: the parser's form of
// a UNION followed by ORDER BY or LIMIT.  Returns that set operation, held:
// the lookups in it may run a key's code, which may drop it from `node`.
Ref wrapped_set_operation(const Ctx& c, PyObject* node) {
    if (!PyDict_Check(node) || keldra::check(PyDict_Contains(node, c.st->s_select))) return Ref();
    PyObject* found = keldra::dict_get(node, c.st->s_from);
    if (!found) return Ref();
    Ref from = Ref::borrow(found);
    return is_set_operation(c, from.get()) ? from : Ref();
}

void reset_result(const Ctx& c, PyObject* self, bool clear_first) {
    Ref var = var_of(c, self);
    if (clear_first) keldra::setattr(var.get(), c.st->s_result, Py_None);
    Ref empty = Ref::steal(PyDict_New());
    keldra::setattr(var.get(), c.st->s_result, empty.get());
}

// Analyse every branch of a set operation, each with a fresh column map.  Only
// entries whose value is a list hold branches; a branch that is itself a set
// operation (a mixed chain such as a UNION b UNION ALL c) is split in turn.
void analyze_branches(const Ctx& c, PyObject* self, PyObject* node, PyObject* level) {
    Nesting nest;
    Ref items = call_method(c, node, c.st->s_items);
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref pair = Ref::steal(raw);
        Ref value = Ref::steal(PySequence_GetItem(pair.get(), 1));
        if (!PyList_Check(value.get())) continue;
        // A copy of the list of branches: it holds every branch while they run.
        Ref branches = Ref::steal(PySequence_List(value.get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(branches.get()); ++i) {
            PyObject* sql = PyList_GET_ITEM(branches.get(), i);
            if (is_set_operation(c, sql)) {
                analyze_branches(c, self, sql, level);
            } else if (Ref inner = wrapped_set_operation(c, sql)) {
                analyze_branches(c, self, inner.get(), level);
            } else {
                reset_result(c, self, true);
                keldra::discard(call_method(c, self, c.st->s__analyze_sql_start, sql, level));
            }
        }
    }
    if (PyErr_Occurred()) keldra::raise_current();
}

bool keys_contain(const Ctx& c, PyObject* tree, PyObject* key) {
    Ref keys = call_method(c, tree, c.st->s_keys);
    return contains(keys.get(), key);
}

// ---- construction ----------------------------------------------------------------

const char* const init_names[] = {"tree"};
const keldra::Signature init_sig = keldra::signature("Analyze.__init__", true, init_names);

void init(const Ctx& c, PyObject* self, PyObject* tree) {
    Ref cls = c.global(c.st->s_KeldraVar);
    Ref sqls = Ref::steal(PyList_New(0));
    Ref kwnames = Ref::steal(PyTuple_Pack(1, c.st->s_sqls));
    PyObject* argv[] = {sqls.get()};
    Ref var = Ref::steal(PyObject_Vectorcall(cls.get(), argv, 0, kwnames.get()));
    keldra::setattr(self, c.st->s__var, var.get());
    keldra::setattr(self, c.st->s_tree, tree);
}

Ref init_method(const Ctx& c, PyObject* self, PyObject* const* a) {
    init(c, self, a[0]);
    return Ref::none();
}

int analyze_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return keldra::guarded_int([&] {
        PyObject* a[1];
        keldra::bind_tuple_args(init_sig, args, kwargs, a);
        init(Ctx::of_instance(self), self, a[0]);
    });
}

// Analyze(tree) without building an argument tuple: only for the type as
// made here; with a replaced __new__ or __init__ the call takes the usual road.
PyObject* analyze_vectorcall_impl(PyObject* type, PyObject* const* args, size_t nargsf,
                                  PyObject* kwnames) {
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (tp->tp_init != analyze_tp_init || tp->tp_new != PyType_GenericNew)
        return keldra::call_through_type(type, args, nargs, kwnames);
    return keldra::guarded([&] {
        PyObject* a[1];
        keldra::bind_args(init_sig, args, nargs, kwnames, a);
        Ref self = Ref::steal(tp->tp_alloc(tp, 0));
        init(Ctx::of_class(tp), self.get(), a[0]);
        return self.release();
    });
}

// ---- entry and driver --------------------------------------------------------------

const char* const level_names[] = {"level"};
const keldra::Signature analyze_sql_sig = keldra::signature("Analyze.analyze_sql", true, level_names, 0);

Ref analyze_sql(const Ctx& c, PyObject* self, PyObject* const* a) {
    Ref level = a[0] ? Ref::borrow(a[0]) : Ref::steal(PyLong_FromLong(0));
    SubqueryReuse reuse(c, self, level.get());
    keldra::discard(call_method(c, self, c.st->s__check_union, level.get()));
    Ref tree = instance_attr(self, c.st->s_tree);
    bool set_op = keys_contain(c, tree.get(), c.st->s_union_all);
    if (!set_op) {
        tree = instance_attr(self, c.st->s_tree);
        set_op = keys_contain(c, tree.get(), c.st->s_union_);
    }
    tree = instance_attr(self, c.st->s_tree);
    if (set_op) {
        analyze_branches(c, self, tree.get(), level.get());
    } else if (Ref inner = wrapped_set_operation(c, tree.get())) {
        analyze_branches(c, self, inner.get(), level.get());
    } else {
        reset_result(c, self, false);
        keldra::discard(call_method(c, self, c.st->s__analyze_sql_start, tree.get(), level.get()));
    }
    Ref var = var_of(c, self);
    Ref sqls = keldra::getattr(var.get(), c.st->s_sqls);
    Ref distinct = Ref::steal(PySet_New(sqls.get()));
    return Ref::steal(PySequence_List(distinct.get()));
}

const char* const start_names[] = {"tree", "level"};
const keldra::Signature start_sig = keldra::signature("Analyze._analyze_sql_start", true, start_names);

Ref analyze_sql_start(const Ctx& c, PyObject* self, PyObject* const* a) {
    PyObject* tree = a[0];
    PyObject* level = a[1];
    keldra::discard(call_method(c, self, c.st->s__get_all_select_value, tree, level));
    Ref var = var_of(c, self);
    Ref items = keldra::getattr(var.get(), c.st->s_all_select_value);
    var = Ref();
    keldra::discard(call_method(c, self, c.st->s__analyze_select_value, tree, items.get(), level));
    keldra::discard(call_method(c, self, c.st->s__analyze_from_value, tree, level));
    return Ref::none();
}

// Normalise the tree through JSON: blanks inside keys and strings become
// underscores ("union all" -> "union_all"), and every mapping comes back as a
// searchable keldra_var.Node.
const keldra::Signature check_union_sig = keldra::signature("Analyze._check_union", true, level_names);

Ref check_union(const Ctx& c, PyObject* self, PyObject* const*) {
    Ref json = c.global(c.st->s_json);
    Ref tree = instance_attr(self, c.st->s_tree);
    Ref dumps = keldra::getattr(json.get(), c.st->s_dumps);
    Ref loads = keldra::getattr(json.get(), c.st->s_loads);
    Ref normalised;
    if (json.get() == c.st->json_module && dumps.get() == c.st->json_dumps &&
        loads.get() == c.st->json_loads) {
        normalised = normalise_tree(c, tree.get());
    } else {
        Ref dump_kw = Ref::steal(PyTuple_Pack(2, c.st->s_ensure_ascii, c.st->s_separators));
        PyObject* dump_argv[] = {tree.get(), Py_False, c.st->separators_pair};
        Ref text = Ref::steal(PyObject_Vectorcall(dumps.get(), dump_argv, 1, dump_kw.get()));
        if (PyUnicode_Check(text.get()))
            text = Ref::steal(PyUnicode_Replace(text.get(), c.st->s_blank, c.st->s_underscore, -1));
        else
            text = Ref::steal(
                PyObject_CallMethod(text.get(), "replace", "OO", c.st->s_blank, c.st->s_underscore));
        Ref load_kw = Ref::steal(PyTuple_Pack(1, c.st->s_object_pairs_hook));
        PyObject* load_argv[] = {text.get(), c.st->node_type};
        normalised = Ref::steal(PyObject_Vectorcall(loads.get(), load_argv, 1, load_kw.get()));
    }
    keldra::setattr(self, c.st->s_tree, normalised.get());
    return Ref::none();
}

#define DOC(sig) "Analyze." sig
PyMethodDef analyze_methods[] = {
    {"__init__", SQLPARSE_MAIN_METHOD(init_sig, init_method) | METH_COEXIST, DOC("__init__(self, tree)")},
    {"analyze_sql", SQLPARSE_MAIN_METHOD(analyze_sql_sig, analyze_sql), DOC("analyze_sql(self, level=0)")},
    {"_analyze_sql_start", SQLPARSE_MAIN_METHOD(start_sig, analyze_sql_start),
     DOC("_analyze_sql_start(self, tree, level)")},
    {"_analyze_from_value", SQLPARSE_MAIN_METHOD(analyze_from_value_sig, analyze_from_value),
     DOC("_analyze_from_value(self, tree, level)")},
    {"_analyze_from_value_master",
     SQLPARSE_MAIN_METHOD(analyze_from_value_master_sig, analyze_from_value_master),
     DOC("_analyze_from_value_master(self, tree, column, level)")},
    {"_master_from_value", SQLPARSE_MAIN_METHOD(master_from_value_sig, master_from_value),
     DOC("_master_from_value(self, tree, column, level)")},
    {"_none_master_from_value", SQLPARSE_MAIN_METHOD(none_master_from_value_sig, none_master_from_value),
     DOC("_none_master_from_value(self, tree, column, level)")},
    {"_check_union", SQLPARSE_MAIN_METHOD(check_union_sig, check_union), DOC("_check_union(self, level)")},
    {"_get_all_select_value", SQLPARSE_MAIN_METHOD(get_all_select_value_sig, get_all_select_value),
     DOC("_get_all_select_value(self, tree, level)")},
    {"_analyze_select_value", SQLPARSE_MAIN_METHOD(analyze_select_value_sig, analyze_select_value),
     DOC("_analyze_select_value(self, tree, select_value_list, level, master=None)")},
    {"_analyze_column", SQLPARSE_MAIN_METHOD(analyze_column_sig, analyze_column),
     DOC("_analyze_column(self, tree, column, level)")},
    {"_analyze_column_asterisk", SQLPARSE_MAIN_METHOD(analyze_column_asterisk_sig, analyze_column_asterisk),
     DOC("_analyze_column_asterisk(self, tree, column, level)")},
    {"_one_replace_other", SQLPARSE_MAIN_METHOD(one_replace_other_sig, one_replace_other_method),
     DOC("_one_replace_other(self, full_path, one, other)")},
    // _one_search_other is added by the module as a staticmethod around a
    // function bound to the module, which gives it the module's state.
    {nullptr, nullptr, 0, nullptr},
};
#undef DOC

PyType_Slot analyze_slots[] = {
    {Py_tp_doc, const_cast<char*>("Lineage analyzer over one parsed SQL tree.")},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(analyze_tp_init)},
    {Py_tp_methods, analyze_methods},
    {Py_tp_members, instance_members},
    {Py_tp_getset, instance_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(instance_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(instance_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc)},
    {0, nullptr},
};

}  // namespace

vectorcallfunc analyze_vectorcall = analyze_vectorcall_impl;

PyMethodDef one_search_other_def = {
    "_one_search_other", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m_one_search_other)),
    METH_FASTCALL | METH_KEYWORDS, "Analyze._one_search_other(tree, full_path, one, other)"};

PyType_Spec analyze_spec = {
    "sqlparse_main.Analyze",
    sizeof(Instance),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    analyze_slots,
};

}  // namespace sqlparse_main
