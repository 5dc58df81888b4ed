// Source resolution: aliased and unaliased sources.
#include "sqlparse_main.hpp"

namespace sqlparse_main {
namespace {
const char* const names[] = {"tree", "column", "level"};
const keldra::Signature master_sig = {"Analyze._master_from_value", true, names, 3, 3};
const keldra::Signature none_master_sig = {"Analyze._none_master_from_value", true, names, 3, 3};
}  // namespace

PyObject* m_master_from_value(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return keldra::guarded([&] {
        PyObject* a[3];
        keldra::bind_args(master_sig, args, nargs, kwnames, a);
        return Py_NewRef(Py_None);
    });
}

PyObject* m_none_master_from_value(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return keldra::guarded([&] {
        PyObject* a[3];
        keldra::bind_args(none_master_sig, args, nargs, kwnames, a);
        return Py_NewRef(Py_None);
    });
}

}  // namespace sqlparse_main
