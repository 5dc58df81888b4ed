// Internal declarations of the keldra_var extension module.
#pragma once

#include "keldra/ref.hpp"
#include "path_step.hpp"

#include <structmember.h>

namespace keldra_var {

struct ModuleState {
    PyTypeObject* keldra_var_type;
    PyTypeObject* node_type;
    PyTypeObject* match_type;
};

extern PyModuleDef module_def;

inline ModuleState* state_of(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

// Tree search (search.cpp).
extern PyType_Spec node_spec;
extern PyMethodDef find_function_def;
// The `find` method shared by KeldraVar and Node.
PyObject* find_method(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames);
#define KELDRA_FIND_METHOD_DEF                                                        \
    {"find", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(find_method)), \
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,                                     \
     "find($self, path, first=0)\n--\n\n"                                          \
     "Search this node.  Without `first`, return the list of matches (each with\n"    \
     ".value and .full_path) in document order; with a true `first`, return the\n"    \
     "first matched node, or None."}

// Search results (match.cpp): a new Match at the position `path` (taken
// over; null at the searched node itself) or with the path text `text`.
extern PyType_Spec match_spec;
PyObject* new_match(PyTypeObject* type, PyObject* value, PathStep* path, PyObject* text) noexcept;

// State holder (state.cpp).
extern PyType_Spec keldra_var_spec;
extern vectorcallfunc keldra_var_vectorcall;

// Traverse/clear/dealloc for heap-type subclasses of dict (dict_subclass.cpp).
int dict_subclass_traverse(PyObject* self, visitproc visit, void* arg);
int dict_subclass_clear(PyObject* self);
void dict_subclass_dealloc(PyObject* self);

}  // namespace keldra_var
