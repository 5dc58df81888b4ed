// One analysis of each subquery per call.
//
// Source resolution follows a column drawn from a subquery alias into a
// nested Analyze over the subquery, one level deeper, and reads what that
// analyzer found.  Done literally for every such column, layered subqueries
// cost (columns per level) ** (levels): every column of a level analyses the
// whole chain below it anew.  A nested analysis depends on nothing but the
// subquery's tree and the module's classes and functions, and what the outer
// analysis reads from it is never written, so while nothing can tell the
// difference, the analyzer of a subquery is made once per call and read by
// every column that leads to it.
//
// "Nothing can tell the difference" means: no code of the caller runs during
// the analysis, and the module's names and types are those it was built
// with.  The literal road is kept otherwise; a subclass of Analyze, a
// replaced method or module name, or a hand-made analyzer state sees every
// nested analysis as before.
#include "sqlparse_main.hpp"

#include <unordered_map>

namespace sqlparse_main {
namespace {

struct Analysed {
    Ref subquery;  // held, so that its address names it for the whole call
    Ref level;
    Ref analyzer;
};

using Memo = std::unordered_map<PyObject*, Analysed>;

thread_local Memo* current = nullptr;

// The type's own attributes are those of the snapshot.  Its version tag
// changes with any change to its attributes, so an equal tag answers at
// once; otherwise they are compared one by one (a patch that was undone
// leaves the type as built), and a match renews the tag.
bool unmodified(TypeSnapshot& snap) {
    auto* tp = reinterpret_cast<PyTypeObject*>(snap.type);
    if (snap.tag != 0 && tp->tp_version_tag == snap.tag) return true;
    PyObject* now = tp->tp_dict;
    if (!now || !snap.attributes || PyDict_GET_SIZE(now) != PyDict_GET_SIZE(snap.attributes)) return false;
    Py_ssize_t pos = 0;
    PyObject *name = nullptr, *value;
    while (PyDict_Next(snap.attributes, &pos, &name, &value)) {
        // Type attribute names are str: the lookups run no code.
        PyObject* current_value = PyDict_GetItemWithError(now, name);
        if (current_value != value) {
            PyErr_Clear();
            return false;
        }
    }
    if (name) (void)_PyType_Lookup(tp, name);  // gives the type a tag again
    snap.tag = tp->tp_version_tag;
    return true;
}

bool global_is(const Ctx& c, PyObject* name, PyObject* expected) {
    return keldra::dict_get(PyModule_GetDict(c.module), name) == expected;
}

// The module's names and types are those the module was built with.
bool as_built(const Ctx& c) {
    State* st = c.st;
    for (TypeSnapshot& snap : st->built)
        if (!unmodified(snap)) return false;
    if (!global_is(c, st->s_Analyze, st->analyze_type) ||
        !global_is(c, st->s_KeldraVar, st->keldra_var_type) || !global_is(c, st->s_json, st->json_module))
        return false;
    PyObject* json = PyModule_Check(st->json_module) ? PyModule_GetDict(st->json_module) : nullptr;
    return json && keldra::dict_get(json, st->s_dumps) == st->json_dumps &&
           keldra::dict_get(json, st->s_loads) == st->json_loads;
}

// A plain Analyze holding only its tree and a KeldraVar state whose triples
// are a plain list: the analysis of this one runs no code of the caller's.
bool plain_analyzer(const Ctx& c, PyObject* self, PyObject* level) {
    if (Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(c.st->analyze_type)) return false;
    if (!PyLong_CheckExact(level)) return false;
    PyObject* dict = instance_dict(self);
    if (!dict || PyDict_GET_SIZE(dict) != 2 || !keldra::dict_get(dict, c.st->s_tree)) return false;
    PyObject* var = keldra::dict_get(dict, c.st->s__var);
    if (!var || Py_TYPE(var) != reinterpret_cast<PyTypeObject*>(c.st->keldra_var_type)) return false;
    PyObject* sqls = keldra::dict_get(var, c.st->s_sqls);
    return sqls && PyList_CheckExact(sqls);
}

}  // namespace

void snapshot_types(State* st) {
    PyObject* types[] = {st->analyze_type, st->keldra_var_type, st->node_type, st->match_type};
    for (int i = 0; i < 4; ++i) {
        auto* tp = reinterpret_cast<PyTypeObject*>(types[i]);
        TypeSnapshot& snap = st->built[i];
        snap.type = types[i];
        snap.attributes = PyDict_Copy(tp->tp_dict);
        if (!snap.attributes) keldra::raise_current();
        // A lookup gives the type a version tag when it has none.
        (void)_PyType_Lookup(tp, st->s___init__);
        snap.tag = tp->tp_version_tag;
    }
}

SubqueryReuse::SubqueryReuse(const Ctx& c, PyObject* self, PyObject* level) {
    if (current || !as_built(c) || !plain_analyzer(c, self, level)) return;
    current = new Memo();
    owner_ = true;
}

SubqueryReuse::~SubqueryReuse() {
    if (!owner_) return;
    // Releasing the analyzers runs no code of the caller's; an exception on
    // its way out stays as it is.
    keldra::SavedError pending;
    delete std::exchange(current, nullptr);
}

Ref analysed_subquery(const Ctx& c, PyObject* subquery, PyObject* level) {
    Memo* memo = current && PyLong_CheckExact(level) && as_built(c) ? current : nullptr;
    if (memo) {
        auto found = memo->find(subquery);
        if (found != memo->end() &&
            keldra::check(PyObject_RichCompareBool(found->second.level.get(), level, Py_EQ)))
            return found->second.analyzer;
    }
    Ref analyze = c.global(c.st->s_Analyze);
    Ref test = keldra::call(analyze.get(), subquery);
    Ref deeper = Ref::steal(PyNumber_Add(level, c.st->int_one));
    keldra::discard(call_method(c, test.get(), c.st->s_analyze_sql, deeper.get()));
    // Only an analysis that ended well is kept: one that raised raises again.
    if (memo && current == memo)
        memo->try_emplace(subquery, Analysed{Ref::borrow(subquery), Ref::borrow(level), test});
    return test;
}

}  // namespace sqlparse_main
