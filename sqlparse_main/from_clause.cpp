// FROM-clause analysis: the dispatcher of source resolution.
#include "sqlparse_main.hpp"

namespace sqlparse_main {
namespace {
const char* const from_names[] = {"tree", "level"};
const keldra::Signature from_sig = {"Analyze._analyze_from_value", true, from_names, 2, 2};
const char* const master_names[] = {"tree", "column", "level"};
const keldra::Signature master_sig = {"Analyze._analyze_from_value_master", true, master_names, 3, 3};
}  // namespace

PyObject* m_analyze_from_value(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return keldra::guarded([&] {
        PyObject* a[2];
        keldra::bind_args(from_sig, args, nargs, kwnames, a);
        return Py_NewRef(Py_None);
    });
}

PyObject* m_analyze_from_value_master(PyObject*, PyTypeObject*, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames) {
    return keldra::guarded([&] {
        PyObject* a[3];
        keldra::bind_args(master_sig, args, nargs, kwnames, a);
        return Py_NewRef(Py_None);
    });
}

}  // namespace sqlparse_main
