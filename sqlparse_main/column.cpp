// Column resolution: star columns over subqueries.
#include "sqlparse_main.hpp"

namespace sqlparse_main {
namespace {
const char* const names[] = {"tree", "column", "level"};
const keldra::Signature column_sig = {"Analyze._analyze_column", true, names, 3, 3};
const keldra::Signature asterisk_sig = {"Analyze._analyze_column_asterisk", true, names, 3, 3};
}  // namespace

PyObject* m_analyze_column(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return keldra::guarded([&] {
        PyObject* a[3];
        keldra::bind_args(column_sig, args, nargs, kwnames, a);
        return Py_NewRef(Py_None);
    });
}

PyObject* m_analyze_column_asterisk(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return keldra::guarded([&] {
        PyObject* a[3];
        keldra::bind_args(asterisk_sig, args, nargs, kwnames, a);
        return Py_NewRef(Py_None);
    });
}

}  // namespace sqlparse_main
