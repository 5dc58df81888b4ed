// Tree path rewriting: hop from a found node to its sibling.
#include "sqlparse_main.hpp"

namespace sqlparse_main {
namespace {
const char* const replace_names[] = {"full_path", "one", "other"};
const keldra::Signature replace_sig = {"Analyze._one_replace_other", true, replace_names, 3, 3};
const char* const search_names[] = {"tree", "full_path", "one", "other"};
const keldra::Signature search_sig = {"Analyze._one_search_other", false, search_names, 4, 4};
}  // namespace

PyObject* m_one_replace_other(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return keldra::guarded([&] {
        PyObject* a[3];
        keldra::bind_args(replace_sig, args, nargs, kwnames, a);
        return Py_NewRef(Py_None);
    });
}

PyObject* m_one_search_other(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return keldra::guarded([&] {
        PyObject* a[4];
        keldra::bind_args(search_sig, args, nargs, kwnames, a);
        return Py_NewRef(Py_None);
    });
}

}  // namespace sqlparse_main
