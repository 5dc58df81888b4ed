// Column resolution: a star column over a subquery alias is replaced by the
// subquery's output columns.
//
// _analyze_column_asterisk follows every FROM alias equal to the star's
// qualifier to the subquery it names and analyses that subquery's select
// list as if its items stood in this one, with the alias as their qualifier.
// _analyze_column then removes the star's own record.  A star whose alias
// names a plain table cannot be expanded: it stays and is resolved like any
// column (giving the lineage "*" of that table).
#include "sqlparse_main.hpp"

namespace sqlparse_main {
namespace {
const char* const names[] = {"tree", "column", "level"};

Ref result_of(const Ctx& c, PyObject* self) {
    Ref var = var_of(c, self);
    return keldra::getattr(var.get(), c.st->s_result);
}

// The column map as it stands: afterwards, a key whose record is no longer
// the same object was added or replaced by the expansion.
Ref snapshot(const Ctx& c, PyObject* self) {
    Ref copy = Ref::steal(PyDict_New());
    Ref result = result_of(c, self);
    if (PyDict_Check(result.get())) keldra::check(PyDict_Update(copy.get(), result.get()));
    return copy;
}

// An expanded record that kept the star's alias as its qualifier is read
// from the subquery under its output name, so that name is its column part.
void rename_expanded(const Ctx& c, PyObject* self, PyObject* alias, PyObject* before) {
    Ref result = result_of(c, self);
    if (!PyDict_Check(result.get())) return;
    Ref items = Ref::steal(PyDict_Items(result.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        PyObject* rec = PyTuple_GET_ITEM(pair, 1);
        if (keldra::dict_get(before, PyTuple_GET_ITEM(pair, 0)) == rec) continue;
        Ref master = keldra::getattr(rec, c.st->s_master);
        if (!keldra::check(PyObject_RichCompareBool(master.get(), alias, Py_EQ))) continue;
        Ref name = keldra::getattr(rec, c.st->s_name);
        keldra::setattr(rec, c.st->s_value, name.get());
    }
}

}  // namespace

const keldra::Signature analyze_column_sig = keldra::signature("Analyze._analyze_column", true, names);
const keldra::Signature analyze_column_asterisk_sig =
    keldra::signature("Analyze._analyze_column_asterisk", true, names);

Ref analyze_column(const Ctx& c, PyObject* self, PyObject* const* a) {
    PyObject* column = a[1];
    Ref rec = record_of(c, self, column);
    Ref value = keldra::getattr(rec.get(), c.st->s_value);
    if (!keldra::check(PyObject_RichCompareBool(value.get(), c.st->s_star, Py_EQ)))
        return Ref::none();
    Ref keep = call_method(c, self, c.st->s__analyze_column_asterisk, a[0], column, a[2]);
    if (keldra::truthy(keep.get())) return Ref::none();
    // Remove whatever entry stands under the star's key now: the star's
    // own record, or the star record of a nested select list that
    // replaced it during the expansion.  A nested star may also have
    // removed it already; then there is nothing left to remove.
    Ref result = result_of(c, self);
    if (contains(result.get(), column))
        keldra::discard(call_method(c, result.get(), c.st->s_pop, column));
    return Ref::none();
}

// Returns True when the star's alias names a plain table (the star stays),
// else None.
Ref analyze_column_asterisk(const Ctx& c, PyObject* self, PyObject* const* a) {
    PyObject *tree = a[0], *column = a[1], *level = a[2];
    Ref var = var_of(c, self);
    Ref aliases = keldra::getattr(var.get(), c.st->s_all_from_name);
    var = Ref();
    bool names_table = false;
    Ref it = Ref::steal(PyObject_GetIter(aliases.get()));
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref i = Ref::steal(raw);
        Ref rec = record_of(c, self, column);
        if (rec.get() == Py_None) break;  // a nested star replaced and removed it
        Ref master = keldra::getattr(rec.get(), c.st->s_master);
        rec = Ref();
        Ref alias = keldra::getattr(i.get(), c.st->s_value);
        if (!keldra::check(PyObject_RichCompareBool(alias.get(), master.get(), Py_EQ))) continue;
        Ref full_path = keldra::getattr(i.get(), c.st->s_full_path);
        Ref from_value = call_method(c, self, c.st->s__one_search_other, tree, full_path.get(),
                                     c.st->s_name, c.st->s_value);
        if (PyUnicode_Check(from_value.get())) {
            names_table = true;
            continue;
        }
        // Nothing there, or a column expression: nothing to expand.
        if (!PyDict_Check(from_value.get())) continue;
        Ref items = call_method(c, from_value.get(), c.st->s_find, c.st->s_search_select_value);
        Ref before = snapshot(c, self);
        keldra::discard(call_method(c, self, c.st->s__analyze_select_value, from_value.get(),
                                    items.get(), level, alias.get()));
        rename_expanded(c, self, alias.get(), before.get());
    }
    if (PyErr_Occurred()) keldra::raise_current();
    return Ref::borrow(names_table ? Py_True : Py_None);
}

}  // namespace sqlparse_main
