// FROM-clause analysis: hand every recorded column to the dispatcher, which
// finishes a column that has its table, sends a qualified column to aliased
// source resolution and any other to unaliased source resolution.  The
// resolvers call the dispatcher again after changing a record.
#include "sqlparse_main.hpp"

namespace sqlparse_main {
namespace {
const char* const from_names[] = {"tree", "level"};
const char* const master_names[] = {"tree", "column", "level"};

// Counts the dispatcher's nesting on one analyzer.
class Redispatch {
public:
    Redispatch(PyObject* self, PyObject* column) : inst_(reinterpret_cast<Instance*>(self)) {
        // The resolvers stop a runaway chain with a precise message well
        // before this; this catches chains through overridden resolvers.
        if (inst_->redispatch >= 2 * kMaxRedispatch)
            keldra::raise(PyExc_RuntimeError,
                          "cannot resolve column %R: its source resolution does not come to an end",
                          column);
        ++inst_->redispatch;
    }
    ~Redispatch() { --inst_->redispatch; }
    Redispatch(const Redispatch&) = delete;
    Redispatch& operator=(const Redispatch&) = delete;

private:
    Instance* inst_;
};
}  // namespace

const keldra::Signature analyze_from_value_sig =
    keldra::signature("Analyze._analyze_from_value", true, from_names);
const keldra::Signature analyze_from_value_master_sig =
    keldra::signature("Analyze._analyze_from_value_master", true, master_names);

// for column, record in self._var.result.items():
//     self._analyze_from_value_master(tree, column, level)
Ref analyze_from_value(const Ctx& c, PyObject* self, PyObject* const* a) {
    Ref var = var_of(c, self);
    Ref result = keldra::getattr(var.get(), c.st->s_result);
    var = Ref();
    Ref items = call_method(c, result.get(), c.st->s_items);
    // The live view: a map that changes size under the loop ends it with
    // the interpreter's RuntimeError.
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref pair = Ref::steal(raw);
        Ref column = Ref::steal(PySequence_GetItem(pair.get(), 0));
        keldra::discard(
            call_method(c, self, c.st->s__analyze_from_value_master, a[0], column.get(), a[1]));
    }
    if (PyErr_Occurred()) keldra::raise_current();
    return Ref::none();
}

Ref analyze_from_value_master(const Ctx& c, PyObject* self, PyObject* const* a) {
    PyObject *tree = a[0], *column = a[1], *level = a[2];
    Redispatch depth(self, column);
    Ref rec = record_of(c, self, column);
    Ref table = call_method(c, rec.get(), c.st->s_get, c.st->s_table);
    if (keldra::truthy(table.get())) return Ref::none();
    rec = record_of(c, self, column);
    Ref master = keldra::getattr(rec.get(), c.st->s_master);
    rec = Ref();
    PyObject* resolver = keldra::truthy(master.get()) ? c.st->s__master_from_value
                                                      : c.st->s__none_master_from_value;
    keldra::discard(call_method(c, self, resolver, tree, column, level));
    return Ref::none();
}

}  // namespace sqlparse_main
