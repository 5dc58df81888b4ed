// Source resolution of one column.
//
// _master_from_value follows every FROM alias equal to the column's qualifier:
// a table resolves the column at once; a subquery is analysed by a nested
// Analyze one level deeper, whose findings for the column (or for its star
// item) are taken over before the column is dispatched again.
// _none_master_from_value looks at the query's FROM clause: one table
// resolves the column, one aliased entry hands its alias to the column.
//
// The column's record is looked up afresh at every read and write.
#include "sqlparse_main.hpp"

namespace sqlparse_main {
namespace {
const char* const names[] = {"tree", "column", "level"};

// self._var.result.get(column), read and written field by field.
class Rec {
public:
    Rec(const Ctx& c, PyObject* self, PyObject* column) : c_(c), self_(self), column_(column) {}
    Ref get() const { return record_of(c_, self_, column_); }
    Ref read(PyObject* field) const { return keldra::getattr(get().get(), field); }
    void write(PyObject* field, PyObject* value) const { keldra::setattr(get().get(), field, value); }

private:
    const Ctx& c_;
    PyObject* self_;
    PyObject* column_;
};

// self._var.sqls.append((table, source, target))
void append_triple(const Ctx& c, PyObject* self, PyObject* table, PyObject* source, PyObject* target) {
    Ref triple = Ref::steal(PyTuple_Pack(3, table, source, target));
    Ref var = var_of(c, self);
    Ref sqls = keldra::getattr(var.get(), c.st->s_sqls);
    if (PyList_CheckExact(sqls.get()))
        keldra::check(PyList_Append(sqls.get(), triple.get()));
    else
        keldra::discard(Ref::steal(PyObject_CallMethod(sqls.get(), "append", "O", triple.get())));
}

// The column comes from `table`: record it and append its triple.
void resolve_to_table(const Ctx& c, PyObject* self, const Rec& rec, PyObject* table) {
    rec.write(c.st->s_table, table);
    Ref value = rec.read(c.st->s_value);
    rec.write(c.st->s_table_column, value.get());
    Ref name = rec.read(c.st->s_name);
    append_triple(c, self, table, value.get(), name.get());
}

bool runaway(PyObject* self) { return reinterpret_cast<Instance*>(self)->redispatch >= kMaxRedispatch; }

void dispatch_again(const Ctx& c, PyObject* self, PyObject* tree, PyObject* column, PyObject* level) {
    keldra::discard(call_method(c, self, c.st->s__analyze_from_value_master, tree, column, level));
}

// The alias names a subquery: analyse it one level deeper and take over what
// it found for the column.  True when that gave the column its table.
bool resolve_through_subquery(const Ctx& c, PyObject* self, const Rec& rec, PyObject* tree,
                              PyObject* column, PyObject* level, PyObject* alias, PyObject* subquery) {
    Ref test = analysed_subquery(c, subquery, level);
    Ref test_column = rec.read(c.st->s_value);
    Ref test_name = rec.read(c.st->s_name);
    auto test_var = [&] { return var_of(c, test.get()); };
    auto test_get = [&](PyObject* key) {
        Ref result = keldra::getattr(test_var().get(), c.st->s_result);
        return call_method(c, result.get(), c.st->s_get, key);
    };
    // Dispatch the column again.  When the subquery handed back the very
    // qualifier that led into it and no table, the dispatch would come back
    // here for ever: say so instead.
    auto dispatch = [&] {
        Ref master = rec.read(c.st->s_master);
        Ref has_table = call_method(c, rec.get().get(), c.st->s_get, c.st->s_table);
        bool same = keldra::check(PyObject_RichCompareBool(master.get(), alias, Py_EQ));
        if ((same && !keldra::truthy(has_table.get())) || runaway(self))
            keldra::raise(PyExc_RuntimeError,
                          "cannot resolve column %R: the subquery of alias %R gives it back the "
                          "qualifier %R and no table",
                          column, alias, master.get());
        dispatch_again(c, self, tree, column, level);
    };
    bool found_table = false;
    if (keldra::truthy(test_get(c.st->s_star).get())) {
        // The subquery's star item stands for the column.
        rec.write(c.st->s_master, keldra::getattr(test_get(c.st->s_star).get(), c.st->s_master).get());
        Ref has_table = call_method(c, test_get(c.st->s_star).get(), c.st->s_get, c.st->s_table);
        if (keldra::truthy(has_table.get())) {
            Ref table = keldra::getattr(test_get(c.st->s_star).get(), c.st->s_table);
            rec.write(c.st->s_table, table.get());
            rec.write(c.st->s_table_column, test_column.get());
            append_triple(c, self, table.get(), test_column.get(), test_name.get());
            found_table = true;
        }
        dispatch();
    } else if (keldra::truthy(test_get(test_column.get()).get())) {
        // The subquery exposes a column of that name.
        rec.write(c.st->s_master, keldra::getattr(test_get(test_column.get()).get(), c.st->s_master).get());
        Ref has_table = call_method(c, test_get(test_column.get()).get(), c.st->s_get, c.st->s_table);
        if (keldra::truthy(has_table.get())) {
            Ref table = keldra::getattr(test_get(test_column.get()).get(), c.st->s_table);
            rec.write(c.st->s_table, table.get());
            Ref source = keldra::getattr(test_get(test_column.get()).get(), c.st->s_table_column);
            rec.write(c.st->s_table_column, source.get());
            // The nested triples of that column, renamed to the outer name;
            // each keeps its real source column.
            Ref sqls = keldra::getattr(test_var().get(), c.st->s_sqls);
            Ref it = Ref::steal(PyObject_GetIter(sqls.get()));
            while (PyObject* raw = PyIter_Next(it.get())) {
                Ref triple = Ref::steal(raw);
                Ref xyz[3];
                unpack3(triple.get(), xyz);
                if (keldra::check(PyObject_RichCompareBool(xyz[2].get(), test_column.get(), Py_EQ)))
                    append_triple(c, self, xyz[0].get(), xyz[1].get(), test_name.get());
            }
            if (PyErr_Occurred()) keldra::raise_current();
            found_table = true;
        }
        dispatch();
    }
    return found_table;
}

// An unaliased table of this level's FROM clause that the qualifier names:
// its whole text, or its last dotted part.  Null when there is none.  The
// comparisons may run a key's code, which may change the tree: the FROM
// clause, its entries and the text compared are held throughout.
Ref unaliased_table(const Ctx& c, PyObject* tree, PyObject* qualifier) {
    if (!PyDict_Check(tree) || !PyUnicode_Check(qualifier)) return Ref();
    PyObject* found = keldra::dict_get(tree, c.st->s_from);
    if (!found) return Ref();
    Ref from = Ref::borrow(found);
    Ref suffix = Ref::steal(PyUnicode_Concat(c.st->s_dot, qualifier));
    auto names_it = [&](PyObject* text) {
        if (!PyUnicode_Check(text)) return false;
        if (keldra::check(PyObject_RichCompareBool(text, qualifier, Py_EQ))) return true;
        return keldra::check_size(PyUnicode_Tailmatch(text, suffix.get(), 0, PY_SSIZE_T_MAX, 1)) == 1;
    };
    auto entry_table = [&](PyObject* entry) -> Ref {
        if (PyUnicode_Check(entry)) return Ref::borrow(entry);
        if (!PyDict_Check(entry)) return Ref();
        // The entry's items as they stand: comparing a key may change it.
        Ref items = Ref::steal(PyDict_Items(entry));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            PyObject* key = PyTuple_GET_ITEM(pair, 0);
            PyObject* value = PyTuple_GET_ITEM(pair, 1);
            if (!PyUnicode_Check(key) || !PyUnicode_Check(value)) continue;
            if (keldra::check(PyObject_RichCompareBool(key, c.st->s_join_key, Py_EQ)) ||
                PyUnicode_Tailmatch(key, c.st->s__join, 0, PY_SSIZE_T_MAX, 1) == 1)
                return Ref::borrow(value);
        }
        return Ref();
    };
    // The entries as they stand, each held by the copy.
    Ref entries = PyList_Check(from.get()) ? Ref::steal(PySequence_List(from.get()))
                                           : Ref::steal(PyList_New(0));
    if (!PyList_Check(from.get())) keldra::check(PyList_Append(entries.get(), from.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        Ref table = entry_table(PyList_GET_ITEM(entries.get(), i));
        if (table && names_it(table.get())) return table;
    }
    return Ref();
}

}  // namespace

const keldra::Signature master_from_value_sig = keldra::signature("Analyze._master_from_value", true, names);

Ref master_from_value(const Ctx& c, PyObject* self, PyObject* const* a) {
    PyObject *tree = a[0], *column = a[1], *level = a[2];
    Rec rec(c, self, column);
    Ref var = var_of(c, self);
    Ref aliases = keldra::getattr(var.get(), c.st->s_all_from_name);
    var = Ref();
    Ref it = Ref::steal(PyObject_GetIter(aliases.get()));
    bool matched = false;
    // Every alias is tested, also after one has been handled: a master
    // rewritten by a subquery may match a later alias.  Once a subquery
    // has given the column its table, though, the master it handed back
    // is a qualifier of the subquery's own level: aliases of the list
    // that merely share that text name other sources, and only the
    // qualifier the column came with still counts.
    Ref qualifier = rec.read(c.st->s_master);
    bool resolved_inside = false;
    // The record is read afresh for every alias, except after an alias
    // that did not match when nothing could have run in between: reading
    // our own Match and comparing str with str (or None) runs no code.
    Ref master;
    bool quiet = false;
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref i = Ref::steal(raw);
        Ref alias = keldra::getattr(i.get(), c.st->s_value);
        if (!quiet) master = rec.read(c.st->s_master);
        quiet = Py_TYPE(i.get()) == reinterpret_cast<PyTypeObject*>(c.st->match_type) &&
                PyUnicode_CheckExact(alias.get()) &&
                (master.get() == Py_None || PyUnicode_CheckExact(master.get()));
        if (!keldra::check(PyObject_RichCompareBool(alias.get(), master.get(), Py_EQ))) continue;
        quiet = false;
        if (resolved_inside &&
            !keldra::check(PyObject_RichCompareBool(alias.get(), qualifier.get(), Py_EQ)))
            continue;
        matched = true;
        Ref full_path = keldra::getattr(i.get(), c.st->s_full_path);
        Ref from_value = call_method(c, self, c.st->s__one_search_other, tree, full_path.get(),
                                     c.st->s_name, c.st->s_value);
        if (PyUnicode_Check(from_value.get())) {
            resolve_to_table(c, self, rec, from_value.get());
        } else if (PyDict_Check(from_value.get())) {
            if (resolve_through_subquery(c, self, rec, tree, column, level, alias.get(),
                                         from_value.get()))
                resolved_inside = true;
        } else {
            print_values(c, column, from_value.get());
            keldra::raise(PyExc_RuntimeError,
                          "cannot resolve column %R: the FROM entry of alias %R is %R, neither a "
                          "table nor a subquery",
                          column, alias.get(), from_value.get());
        }
    }
    if (PyErr_Occurred()) keldra::raise_current();
    if (!matched) {
        // The qualifier is no alias; it may name an unaliased table.
        Ref has_table = call_method(c, rec.get().get(), c.st->s_get, c.st->s_table);
        if (!keldra::truthy(has_table.get())) {
            Ref master = rec.read(c.st->s_master);
            if (Ref table = unaliased_table(c, tree, master.get()))
                resolve_to_table(c, self, rec, table.get());
        }
    }
    return Ref::none();
}

const keldra::Signature none_master_from_value_sig =
    keldra::signature("Analyze._none_master_from_value", true, names);

Ref none_master_from_value(const Ctx& c, PyObject* self, PyObject* const* a) {
    PyObject *tree = a[0], *column = a[1], *level = a[2];
    Rec rec(c, self, column);
    Ref full_path = rec.read(c.st->s_path);
    // The FROM clause beside the select list that holds the item: the
    // text after the last "one" is dropped, every earlier "one" becomes
    // "select", and "from" is appended.
    Ref other_path;
    Py_ssize_t found = PyUnicode_Check(full_path.get())
                           ? PyUnicode_Find(full_path.get(), c.st->s_one, 0, PY_SSIZE_T_MAX, 1)
                           : 0;
    if (found == -2) keldra::raise_current();
    if (found == -1) {
        other_path = Ref::borrow(c.st->s_path_from);
    } else {
        Ref split = call_method(c, full_path.get(), c.st->s_split, c.st->s_one);
        Ref count = call_method(c, full_path.get(), c.st->s_count, c.st->s_one);
        Py_ssize_t n = PyNumber_AsSsize_t(count.get(), PyExc_OverflowError);
        if (n == -1 && PyErr_Occurred()) keldra::raise_current();
        Ref pieces = Ref::steal(PySequence_GetSlice(split.get(), 0, n));
        Ref joined = call_method(c, c.st->s_select, c.st->s_join, pieces.get());
        Ref text = Ref::steal(PyObject_Str(joined.get()));
        Ref head = Ref::steal(PyUnicode_Concat(c.st->s_dollar_dot, text.get()));
        other_path = Ref::steal(PyUnicode_Concat(head.get(), c.st->s_from));
    }
    Ref from_value = call_method(c, tree, c.st->s_find, other_path.get(), c.st->int_one);
    if (PyUnicode_Check(from_value.get())) {
        resolve_to_table(c, self, rec, from_value.get());
    } else if (PyDict_Check(from_value.get())) {
        Ref alias = call_method(c, from_value.get(), c.st->s_get, c.st->s_name);
        rec.write(c.st->s_master, alias.get());
        // Without an alias the dispatch would bring the column straight
        // back here, for ever.
        if (!keldra::truthy(alias.get()) || runaway(self))
            keldra::raise(PyExc_RuntimeError,
                          "cannot resolve column %R: its FROM entry %R has no alias to resolve it "
                          "through",
                          column, from_value.get());
        dispatch_again(c, self, tree, column, level);
    } else if (PyList_Check(from_value.get())) {
        print_values(c, from_value.get());
        keldra::raise(PyExc_RuntimeError,
                      "cannot attribute the unqualified column %R: the FROM clause has several "
                      "sources %R; qualify the column with its table or alias",
                      column, from_value.get());
    }
    return Ref::none();
}

}  // namespace sqlparse_main
