// Select-list collection and analysis.
#include "sqlparse_main.hpp"

namespace sqlparse_main {
namespace {
const char* const collect_names[] = {"tree", "level"};
const keldra::Signature collect_sig = {"Analyze._get_all_select_value", true, collect_names, 2, 2};
const char* const select_names[] = {"tree", "select_value_list", "level", "master"};
const keldra::Signature select_sig = {"Analyze._analyze_select_value", true, select_names, 4, 3};
}  // namespace

// _var.add(all_select_value=tree.find("$.select..value"),
//          all_from_name=tree.find("$..from..name"))
PyObject* m_get_all_select_value(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames) {
    return keldra::guarded([&] {
        PyObject* a[2];
        keldra::bind_args(collect_sig, args, nargs, kwnames, a);
        Ctx c = Ctx::of_class(cls);
        PyObject* tree = a[0];
        Ref items = keldra::call_method(tree, c.st->s_find, c.st->s_search_select_value);
        Ref aliases = keldra::call_method(tree, c.st->s_find, c.st->s_search_from_name);
        Ref var = var_of(c, self);
        Ref add = keldra::getattr(var.get(), c.st->s_add);
        Ref kwnames_out = Ref::steal(PyTuple_Pack(2, c.st->s_all_select_value, c.st->s_all_from_name));
        PyObject* argv[] = {items.get(), aliases.get()};
        Ref r = Ref::steal(PyObject_Vectorcall(add.get(), argv, 0, kwnames_out.get()));
        return Py_NewRef(Py_None);
    });
}

PyObject* m_analyze_select_value(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return keldra::guarded([&] {
        PyObject* a[4];
        keldra::bind_args(select_sig, args, nargs, kwnames, a);
        return Py_NewRef(Py_None);
    });
}

}  // namespace sqlparse_main
