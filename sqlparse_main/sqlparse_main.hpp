// Internal declarations of the sqlparse_main extension module: module state,
// the instance layout shared by KeldraParseMain and Analyze, and the method
// implementations, one source file per concern.
#pragma once

#include "keldra/args.hpp"
#include "keldra/guard.hpp"
#include "keldra/ref.hpp"

#include <structmember.h>

#include <vector>

namespace sqlparse_main {

using keldra::Ref;

// Interned strings used as attribute, method and key names, and literals.
#define SQLPARSE_MAIN_STRINGS(X)                              \
    X(_re_hint, "_re_hint")                                   \
    X(_parse_sql, "_parse_sql")                               \
    X(analyze_sql, "analyze_sql")                             \
    X(_analyze_sql_start, "_analyze_sql_start")               \
    X(_analyze_from_value, "_analyze_from_value")             \
    X(_analyze_from_value_master, "_analyze_from_value_master") \
    X(_master_from_value, "_master_from_value")               \
    X(_none_master_from_value, "_none_master_from_value")     \
    X(_check_union, "_check_union")                           \
    X(_get_all_select_value, "_get_all_select_value")         \
    X(_analyze_select_value, "_analyze_select_value")         \
    X(_analyze_column, "_analyze_column")                     \
    X(_analyze_column_asterisk, "_analyze_column_asterisk")   \
    X(_one_replace_other, "_one_replace_other")               \
    X(_one_search_other, "_one_search_other")                 \
    X(_var, "_var")                                           \
    X(tree, "tree")                                           \
    X(sqls, "sqls")                                           \
    X(result, "result")                                       \
    X(all_select_value, "all_select_value")                   \
    X(all_from_name, "all_from_name")                         \
    X(value, "value")                                         \
    X(name, "name")                                           \
    X(master, "master")                                       \
    X(path, "path")                                           \
    X(table, "table")                                         \
    X(table_column, "table_column")                           \
    X(full_path, "full_path")                                 \
    X(database, "database")                                   \
    X(src, "src")                                             \
    X(tgt, "tgt")                                             \
    X(find, "find")                                           \
    X(add, "add")                                             \
    X(get, "get")                                             \
    X(items, "items")                                         \
    X(pop, "pop")                                             \
    X(keys, "keys")                                           \
    X(split, "split")                                         \
    X(rsplit, "rsplit")                                       \
    X(count, "count")                                         \
    X(join, "join")                                           \
    X(select, "select")                                       \
    X(from, "from")                                           \
    X(union_, "union")                                        \
    X(union_all, "union_all")                                 \
    X(join_key, "join")                                       \
    X(_join, "_join")                                         \
    X(star, "*")                                              \
    X(dot, ".")                                               \
    X(one, "one")                                             \
    X(blank, " ")                                             \
    X(underscore, "_")                                        \
    X(dollar_dot, "$.")                                       \
    X(search_select_value, "$.select..value")                 \
    X(search_from_name, "$..from..name")                      \
    X(path_select, "$.select")                                \
    X(path_from, "$.from")                                    \
    X(parse, "parse")                                         \
    X(KeldraVar, "KeldraVar")                                 \
    X(Analyze, "Analyze")                                     \
    X(json, "json")                                           \
    X(re, "re")                                               \
    X(dumps, "dumps")                                         \
    X(loads, "loads")                                         \
    X(ensure_ascii, "ensure_ascii")                           \
    X(separators, "separators")                               \
    X(object_pairs_hook, "object_pairs_hook")                 \
    X(print, "print")                                         \
    X(__init__, "__init__")

// A type's own attributes as they were when the snapshot was taken.
struct TypeSnapshot {
    PyObject* type;          // borrowed: the module state holds the type
    PyObject* attributes;    // a copy of the type's __dict__ (owned)
    unsigned int tag;        // its version tag; 0 when it has none
};

struct State {
#define SQLPARSE_MAIN_FIELD(id, text) PyObject* s_##id;
    SQLPARSE_MAIN_STRINGS(SQLPARSE_MAIN_FIELD)
#undef SQLPARSE_MAIN_FIELD
    PyObject* int_one;          // 1, the `first` flag of find
    PyObject* separators_pair;  // (",", ":")
    PyObject* node_type;        // keldra_var.Node: decoded trees are searchable
    PyObject* match_type;       // keldra_var.Match: what find returns
    PyObject* kpm_type;         // KeldraParseMain
    PyObject* analyze_type;     // Analyze
    PyObject* json_module;      // the json module bound at import, with
    PyObject* json_dumps;       // its dumps and loads: while the module's
    PyObject* json_loads;       // `json` is still these, we normalise natively
    getattrofunc kv_getattro;   // KeldraVar's attribute lookup
    PyObject* dict_get_descr;   // dict.get, the method descriptor
    PyObject* keldra_var_type;  // keldra_var.KeldraVar
    // Analyze, KeldraVar, Node and Match as the import left them: a copy of
    // each type's own __dict__ and its version tag then (subquery_reuse.cpp).
    TypeSnapshot built[4];
};

extern PyModuleDef module_def;

inline State* state_of(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

// What a method needs besides its arguments: its module, for the module-level
// names read at call time, and the module's state.
struct Ctx {
    PyObject* module;
    State* st;

    static Ctx of_class(PyTypeObject* defining_class) {
        PyObject* m = PyType_GetModule(defining_class);
        if (!m) keldra::raise_current();
        return Ctx{m, state_of(m)};
    }
    static Ctx of_instance(PyObject* self) {
        PyObject* m = PyType_GetModuleByDef(Py_TYPE(self), &module_def);
        if (!m) keldra::raise_current();
        return Ctx{m, state_of(m)};
    }

    // A module-level name, looked up now so that a caller may replace it.
    Ref global(PyObject* name) const {
        PyObject* v = keldra::dict_get(PyModule_GetDict(module), name);
        if (!v) keldra::raise(PyExc_NameError, "name '%U' is not defined", name);
        return Ref::borrow(v);
    }
};

// Instances of KeldraParseMain and Analyze: plain objects with a __dict__
// (instance.cpp).
struct Instance {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    int redispatch;  // nesting of the FROM dispatcher on this analyzer
};

extern PyMemberDef instance_members[];
extern PyGetSetDef instance_getset[];
int instance_traverse(PyObject* self, visitproc visit, void* arg);
int instance_clear(PyObject* self);
void instance_dealloc(PyObject* self);

// Bound depth of our own nesting (nested analyzers, set operations, the
// resolver loops), so that no SQL text can exhaust the C stack, whatever the
// interpreter's recursion limit and the thread's stack size are: a
// RecursionError when the steps run deeper than a fixed count or the
// thread's stack runs low.
class Nesting {
public:
    Nesting();
    ~Nesting() { --depth_; }
    Nesting(const Nesting&) = delete;
    Nesting& operator=(const Nesting&) = delete;

private:
    static thread_local int depth_;
};

// How deep the FROM dispatcher may re-enter itself on one analyzer before a
// column is declared unresolvable.  A real chain re-enters once for every
// qualifier a subquery hands back; the loops that would never end are caught
// where they start, and this bounds any other.
constexpr int kMaxRedispatch = 16;

// ---- methods ---------------------------------------------------------------

// The body of a method: the module context, self, and the arguments bound
// by the method's signature (a parameter with a default that the caller
// left out is null).
using MethodBody = Ref (*)(const Ctx& c, PyObject* self, PyObject* const* args);

// The entry point of a method as its class's method table holds it: one
// guarded call, the arguments bound by `Sig`, the module context read from
// the defining class, and one step of nesting around the body.
template <const keldra::Signature& Sig, MethodBody Body>
PyObject* method(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
    return keldra::guarded([&] {
        PyObject* bound[16];  // bind_args takes at most 16 parameters
        keldra::bind_args(Sig, args, nargs, kwnames, bound);
        Ctx c = Ctx::of_class(cls);
        Nesting nest;
        return Body(c, self, bound).release();
    });
}

// A method table entry: {"name", SQLPARSE_MAIN_METHOD(sig, body), "doc"}.
#define SQLPARSE_MAIN_METHOD(sig, body)                                                     \
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method<sig, body>)),      \
        METH_METHOD | METH_FASTCALL | METH_KEYWORDS

// --- facade (facade.cpp), text cleaning (text_clean.cpp) -------------------
extern PyType_Spec kpm_spec;
PyObject* re_hint_impl(PyObject* sql);

// --- Analyze (analyzer.cpp and the files it names) -------------------------
extern PyType_Spec analyze_spec;
extern vectorcallfunc analyze_vectorcall;
extern PyMethodDef one_search_other_def;

// The methods of Analyze, one file per concern.  Each is a signature and a
// body, put together in the method table by SQLPARSE_MAIN_METHOD.
#define SQLPARSE_MAIN_DECLARE(sig, body) \
    extern const keldra::Signature sig;  \
    Ref body(const Ctx& c, PyObject* self, PyObject* const* args);
// select_list.cpp
SQLPARSE_MAIN_DECLARE(get_all_select_value_sig, get_all_select_value)
SQLPARSE_MAIN_DECLARE(analyze_select_value_sig, analyze_select_value)
// star_expansion.cpp
SQLPARSE_MAIN_DECLARE(analyze_column_sig, analyze_column)
SQLPARSE_MAIN_DECLARE(analyze_column_asterisk_sig, analyze_column_asterisk)
// from_clause.cpp
SQLPARSE_MAIN_DECLARE(analyze_from_value_sig, analyze_from_value)
SQLPARSE_MAIN_DECLARE(analyze_from_value_master_sig, analyze_from_value_master)
// sources.cpp
SQLPARSE_MAIN_DECLARE(master_from_value_sig, master_from_value)
SQLPARSE_MAIN_DECLARE(none_master_from_value_sig, none_master_from_value)
// paths.cpp
SQLPARSE_MAIN_DECLARE(one_replace_other_sig, one_replace_other_method)
#undef SQLPARSE_MAIN_DECLARE
PyObject* m_one_search_other(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// --- helpers shared by the analyzer files ----------------------------------

// obj.name(*args) from vectorcall arguments: argv[0] is scratch, argv[1] the
// object, then `nargs - 1` arguments and the values of `kwnames`.  A KeldraVar
// has no instance dict and finds methods on its type before its fields, so
// its method descriptor is called directly: the same call the attribute
// lookup would make, without a bound method object in between.
inline Ref vector_method(const Ctx& c, PyObject* name, PyObject** argv, size_t nargs,
                         PyObject* kwnames = nullptr) {
    PyTypeObject* tp = Py_TYPE(argv[1]);
    if (tp->tp_getattro == c.st->kv_getattro && tp->tp_dictoffset == 0) {
        PyObject* d = _PyType_Lookup(tp, name);
        if (d == c.st->dict_get_descr && nargs == 2 && !kwnames) {
            // dict's own get(key): the lookup itself.
            PyObject* v = keldra::dict_get(argv[1], argv[2]);
            return Ref::borrow(v ? v : Py_None);
        }
        if (d && Py_IS_TYPE(d, &PyMethodDescr_Type)) {
            Ref hold = Ref::borrow(d);
            return Ref::steal(
                PyObject_Vectorcall(d, argv + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
        }
    }
    return Ref::steal(
        PyObject_VectorcallMethod(name, argv + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

template <class... A>
Ref call_method(const Ctx& c, PyObject* obj, PyObject* name, A... args) {
    PyObject* argv[] = {nullptr, obj, args...};
    return vector_method(c, name, argv, 1 + sizeof...(A));
}

// obj.name(**dict(zip(kwnames, values)))
inline Ref call_method_kw(const Ctx& c, PyObject* obj, PyObject* name, PyObject* kwnames,
                          PyObject* const* values) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    std::vector<PyObject*> argv(static_cast<size_t>(n) + 2);
    argv[1] = obj;
    for (Py_ssize_t i = 0; i < n; ++i) argv[static_cast<size_t>(i) + 2] = values[i];
    return vector_method(c, name, argv.data(), 1, kwnames);
}

// Imports: the module, and one name from a module (an ImportError when it
// has none, as `from module import name` gives).
Ref import_module(const char* name);
Ref import_from(const char* module, const char* name);

// from moz_sql_parser import parse, repairing the parser's engine first when
// it cannot be imported (engine_repair.cpp).
Ref import_parser(PyObject* re);

// Keep the parser's logging library off standard output (parser_logging.cpp).
void quiet_parser_logging();

// The tree as the JSON round trip of _check_union gives it back (normalise.cpp).
Ref normalise_tree(const Ctx& c, PyObject* tree);

// The body of the static method _one_search_other.
Ref one_search_other(const Ctx& c, PyObject* tree, PyObject* full_path, PyObject* one, PyObject* other);

// The instance's __dict__, or null.
inline PyObject* instance_dict(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    if (tp->tp_dictoffset <= 0) return nullptr;
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + tp->tp_dictoffset);
}

// self.<name> for an instance attribute: when nothing on the type can
// intercept the name, it is read straight from the instance's __dict__,
// which is where the interpreter's own lookup would find it.  The dict is
// held during the lookup: a key's __eq__ may replace it.
inline Ref instance_attr(PyObject* self, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(self);
    if (tp->tp_getattro == PyObject_GenericGetAttr && !_PyType_Lookup(tp, name)) {
        if (PyObject* found = instance_dict(self)) {
            Ref dict = Ref::borrow(found);
            PyObject* v = keldra::dict_get(dict.get(), name);
            if (v) return Ref::borrow(v);
        }
    }
    return keldra::getattr(self, name);
}

// self._var
inline Ref var_of(const Ctx& c, PyObject* self) { return instance_attr(self, c.st->s__var); }

// ---- one analysis of each subquery (subquery_reuse.cpp) ----------------------
//
// The outermost analyze_sql opens a SubqueryReuse for its call when nothing
// could tell reuse from analysing anew: the module's Analyze, KeldraVar and
// json are the ones it was built with, none of their types (nor Node and
// Match) has been modified, and the analyzer is a plain Analyze with nothing
// but its tree and state.  While it is open, analysed_subquery hands back the
// nested analyzer of a subquery already analysed in this call.
// Take the snapshots of the four types, at the end of the module's import.
void snapshot_types(State* st);

class SubqueryReuse {
public:
    SubqueryReuse(const Ctx& c, PyObject* self, PyObject* level);
    ~SubqueryReuse();
    SubqueryReuse(const SubqueryReuse&) = delete;
    SubqueryReuse& operator=(const SubqueryReuse&) = delete;

private:
    bool owner_ = false;
};

// Analyze(subquery) after its analyze_sql(level + 1), as source resolution
// uses it: made and run now, or the one made earlier in this call.
Ref analysed_subquery(const Ctx& c, PyObject* subquery, PyObject* level);

// self._var.result.get(column): the column's record, looked up afresh.
Ref record_of(const Ctx& c, PyObject* self, PyObject* column);

// The interpreter's print(*args), on sys.stdout.
void print_values(const Ctx& c, PyObject* a, PyObject* b = nullptr);

// "." in value, with the interpreter's `in`.
bool contains(PyObject* container, PyObject* item);

// Unpack exactly three values, with the interpreter's messages.
void unpack3(PyObject* item, Ref out[3]);

// value.split(".") pieces 0 and 1: the qualifier and the bare name.
void dot_split(const Ctx& c, PyObject* value, Ref* first, Ref* second);

}  // namespace sqlparse_main
