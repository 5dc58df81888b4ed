// Select-list collection and analysis.
//
// _get_all_select_value collects the query's select items ("$.select..value")
// and the aliases of its FROM sources ("$..from..name").
// _analyze_select_value turns the items into column records in the column
// map _var.result: the bare name (second dot segment), the qualifier (first
// dot segment, carried over to the following unqualified items), the output
// name (the alias beside the item, else the bare name) and the path of the
// item.  Each record goes to _analyze_column as soon as it is stored.
#include "sqlparse_main.hpp"

namespace sqlparse_main {
namespace {
const char* const collect_names[] = {"tree", "level"};
const char* const select_names[] = {"tree", "select_value_list", "level", "master"};

// {"value": ..., "name": ..., "master": ..., "path": ...}
Ref make_record(const Ctx& c, PyObject* value, PyObject* name, PyObject* master, PyObject* path) {
    Ref rec = Ref::steal(PyDict_New());
    keldra::check(PyDict_SetItem(rec.get(), c.st->s_value, value));
    keldra::check(PyDict_SetItem(rec.get(), c.st->s_name, name));
    keldra::check(PyDict_SetItem(rec.get(), c.st->s_master, master));
    keldra::check(PyDict_SetItem(rec.get(), c.st->s_path, path));
    return rec;
}

// self._var.result.add(**{key: record})
void store_record(const Ctx& c, PyObject* self, PyObject* key, PyObject* record) {
    if (!PyUnicode_Check(key)) keldra::raise(PyExc_TypeError, "keywords must be strings");
    Ref var = var_of(c, self);
    Ref result = keldra::getattr(var.get(), c.st->s_result);
    Ref kwnames = Ref::steal(PyTuple_Pack(1, key));
    keldra::discard(call_method_kw(c, result.get(), c.st->s_add, kwnames.get(), &record));
}

// The star record: made when the select clause of the analyzer's whole tree
// holds "*".
void star_record(const Ctx& c, PyObject* self, Ref& master) {
    Ref whole = instance_attr(self, c.st->s_tree);
    Ref clause = call_method(c, whole.get(), c.st->s_get, c.st->s_select);
    if (!keldra::truthy(clause.get())) return;
    clause = call_method(c, whole.get(), c.st->s_get, c.st->s_select);
    if (!contains(clause.get(), c.st->s_star)) return;
    clause = call_method(c, whole.get(), c.st->s_get, c.st->s_select);
    Ref bare;
    if (PyList_Check(clause.get())) {
        // "*" is one item of a longer select list (SELECT a, * ...): the
        // star record stands for that item alone.
        bare = Ref::borrow(c.st->s_star);
    } else if (contains(clause.get(), c.st->s_dot)) {
        Ref qualifier;
        dot_split(c, clause.get(), &qualifier, &bare);
        master = qualifier;
    } else {
        bare = clause;
    }
    Ref rec = make_record(c, bare.get(), bare.get(), master.get(), c.st->s_path_select);
    store_record(c, self, c.st->s_star, rec.get());
}

}  // namespace

const keldra::Signature get_all_select_value_sig =
    keldra::signature("Analyze._get_all_select_value", true, collect_names);
const keldra::Signature analyze_select_value_sig =
    keldra::signature("Analyze._analyze_select_value", true, select_names, 3);

// _var.add(all_select_value=tree.find("$.select..value"),
//          all_from_name=tree.find("$..from..name"))
Ref get_all_select_value(const Ctx& c, PyObject* self, PyObject* const* a) {
    PyObject* tree = a[0];
    Ref items = call_method(c, tree, c.st->s_find, c.st->s_search_select_value);
    Ref aliases = call_method(c, tree, c.st->s_find, c.st->s_search_from_name);
    Ref var = var_of(c, self);
    Ref kwnames_out = Ref::steal(PyTuple_Pack(2, c.st->s_all_select_value, c.st->s_all_from_name));
    PyObject* values[] = {items.get(), aliases.get()};
    keldra::discard(call_method_kw(c, var.get(), c.st->s_add, kwnames_out.get(), values));
    return Ref::none();
}

Ref analyze_select_value(const Ctx& c, PyObject* self, PyObject* const* a) {
    PyObject* tree = a[0];
    PyObject* level = a[2];
    Ref master = Ref::borrow(a[3] ? a[3] : Py_None);

    star_record(c, self, master);

    Ref it = Ref::steal(PyObject_GetIter(a[1]));
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref item = Ref::steal(raw);
        Ref value = keldra::getattr(item.get(), c.st->s_value);
        // Literals and expressions (numbers, booleans, None, mappings,
        // lists) are no columns; expressions' own column items follow.
        if (!PyUnicode_Check(value.get())) continue;
        Ref bare;
        if (contains(value.get(), c.st->s_dot)) {
            Ref qualifier;
            dot_split(c, value.get(), &qualifier, &bare);
            master = qualifier;
        } else {
            bare = value;
        }
        Ref full_path = keldra::getattr(item.get(), c.st->s_full_path);
        Ref name = call_method(c, self, c.st->s__one_search_other, tree, full_path.get(),
                               c.st->s_value, c.st->s_name);
        if (!keldra::truthy(name.get())) name = bare;
        Ref text = Ref::steal(PyObject_Str(full_path.get()));
        Ref path = Ref::steal(PyUnicode_Concat(c.st->s_dollar_dot, text.get()));
        Ref rec = make_record(c, bare.get(), name.get(), master.get(), path.get());
        store_record(c, self, name.get(), rec.get());
        keldra::discard(call_method(c, self, c.st->s__analyze_column, tree, name.get(), level));
    }
    if (PyErr_Occurred()) keldra::raise_current();
    return Ref::none();
}

}  // namespace sqlparse_main
