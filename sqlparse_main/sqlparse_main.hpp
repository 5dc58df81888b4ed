// Internal declarations of the sqlparse_main extension module: module state,
// the instance layout shared by KeldraParseMain and Analyze, and the method
// implementations, one source file per concern.
#pragma once

#include "keldra/args.hpp"
#include "keldra/ref.hpp"

#include <structmember.h>

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
    X(print, "print")

struct State {
#define SQLPARSE_MAIN_FIELD(id, text) PyObject* s_##id;
    SQLPARSE_MAIN_STRINGS(SQLPARSE_MAIN_FIELD)
#undef SQLPARSE_MAIN_FIELD
    PyObject* int_one;          // 1, the `first` flag of find
    PyObject* separators_pair;  // (",", ":")
    PyObject* node_type;        // keldra_var.Node: decoded trees are searchable
    PyObject* kpm_type;         // KeldraParseMain
    PyObject* analyze_type;     // Analyze
    PyObject* json_module;      // the json module bound at import, with
    PyObject* json_dumps;       // its dumps and loads: while the module's
    PyObject* json_loads;       // `json` is still these, we normalise natively
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

// Instances of KeldraParseMain and Analyze: plain objects with a __dict__.
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

// The signature of a method as the class exposes it, for a method table.
#define SQLPARSE_MAIN_METHOD(fn) \
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_METHOD | METH_FASTCALL | METH_KEYWORDS

using MethodFn = PyObject* (*)(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Bound depth of our own nesting (nested analyzers, set operations, the
// resolver loops), so that no SQL text can exhaust the C stack whatever the
// interpreter's recursion limit is.
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

// --- facade (facade.cpp), text cleaning (text_clean.cpp) -------------------
extern PyType_Spec kpm_spec;
PyObject* re_hint_impl(PyObject* sql);

// --- Analyze (analyzer.cpp and the files it names) -------------------------
extern PyType_Spec analyze_spec;
extern PyMethodDef one_search_other_def;

// select_list.cpp
PyObject* m_get_all_select_value(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* m_analyze_select_value(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
// column.cpp
PyObject* m_analyze_column(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* m_analyze_column_asterisk(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
// from_clause.cpp
PyObject* m_analyze_from_value(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* m_analyze_from_value_master(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
// sources.cpp
PyObject* m_master_from_value(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* m_none_master_from_value(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
// paths.cpp
PyObject* m_one_replace_other(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* m_one_search_other(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// --- helpers shared by the analyzer files ----------------------------------

// The tree as the JSON round trip of _check_union gives it back (normalise.cpp).
Ref normalise_tree(const Ctx& c, PyObject* tree);

// The body of the static method _one_search_other.
Ref one_search_other(const Ctx& c, PyObject* tree, PyObject* full_path, PyObject* one, PyObject* other);

// self._var
inline Ref var_of(const Ctx& c, PyObject* self) { return keldra::getattr(self, c.st->s__var); }

// self._var.result.get(column): the column's record, looked up afresh.
Ref record_of(const Ctx& c, PyObject* self, PyObject* column);

// The interpreter's print(*args), on sys.stdout.
void print_values(const Ctx& c, PyObject* a, PyObject* b = nullptr);

// isinstance(o, str) and its text, for the common fast path.
inline bool is_text(PyObject* o) { return PyUnicode_Check(o); }

// "." in value, with the interpreter's `in`.
bool contains(PyObject* container, PyObject* item);

// Unpack exactly three values, with the interpreter's messages.
void unpack3(PyObject* item, Ref out[3]);

// value.split(".") pieces 0 and 1: the qualifier and the bare name.
void dot_split(const Ctx& c, PyObject* value, Ref* first, Ref* second);

}  // namespace sqlparse_main
