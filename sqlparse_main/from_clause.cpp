// FROM-clause analysis: hand every recorded column to the dispatcher, which
// finishes a column that has its table, sends a qualified column to aliased
// source resolution and any other to unaliased source resolution.  The
// resolvers call the dispatcher again after changing a record.
#include "sqlparse_main.hpp"

namespace sqlparse_main {
namespace {
const char* const from_names[] = {"tree", "level"};
const keldra::Signature from_sig = {"Analyze._analyze_from_value", true, from_names, 2, 2};
const char* const master_names[] = {"tree", "column", "level"};
const keldra::Signature master_sig = {"Analyze._analyze_from_value_master", true, master_names, 3, 3};

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

// for column, record in self._var.result.items():
//     self._analyze_from_value_master(tree, column, level)
PyObject* m_analyze_from_value(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames) {
    return keldra::guarded([&] {
        PyObject* a[2];
        keldra::bind_args(from_sig, args, nargs, kwnames, a);
        Ctx c = Ctx::of_class(cls);
        Nesting nest;
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
            call_method(c, self, c.st->s__analyze_from_value_master, a[0], column.get(), a[1]);
        }
        if (PyErr_Occurred()) keldra::raise_current();
        return Py_NewRef(Py_None);
    });
}

PyObject* m_analyze_from_value_master(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames) {
    return keldra::guarded([&] {
        PyObject* a[3];
        keldra::bind_args(master_sig, args, nargs, kwnames, a);
        Ctx c = Ctx::of_class(cls);
        Nesting nest;
        PyObject *tree = a[0], *column = a[1], *level = a[2];
        Redispatch depth(self, column);
        Ref rec = record_of(c, self, column);
        Ref table = call_method(c, rec.get(), c.st->s_get, c.st->s_table);
        if (keldra::truthy(table.get())) return Py_NewRef(Py_None);
        rec = record_of(c, self, column);
        Ref master = keldra::getattr(rec.get(), c.st->s_master);
        rec = Ref();
        if (keldra::truthy(master.get()))
            call_method(c, self, c.st->s__master_from_value, tree, column, level);
        else
            call_method(c, self, c.st->s__none_master_from_value, tree, column, level);
        return Py_NewRef(Py_None);
    });
}

}  // namespace sqlparse_main
