// The keldra_var extension module: KeldraVar, the tree node type Node, the
// search result type Match and the function find.
#include "keldra_var.hpp"

namespace keldra_var {
namespace {

using keldra::Ref;

PyTypeObject* add_type(PyObject* module, PyType_Spec* spec, PyObject* base) {
    PyObject* type = PyType_FromModuleAndSpec(module, spec, base);
    if (!type) keldra::raise_current();
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type)) < 0) {
        Py_DECREF(type);
        keldra::raise_current();
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

int exec_module(PyObject* module) {
    return keldra::guarded_int([&] {
        ModuleState* st = state_of(module);
        PyObject* dict_type = reinterpret_cast<PyObject*>(&PyDict_Type);
        st->keldra_var_type = add_type(module, &keldra_var_spec, dict_type);
        st->keldra_var_type->tp_vectorcall = keldra_var_vectorcall;
        st->node_type = add_type(module, &node_spec, dict_type);
        st->match_type = add_type(module, &match_spec, nullptr);
        Ref find = Ref::steal(PyCFunction_NewEx(&find_function_def, module, nullptr));
        keldra::check(PyModule_AddObjectRef(module, "find", find.get()));
    });
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = state_of(module);
    Py_VISIT(st->keldra_var_type);
    Py_VISIT(st->node_type);
    Py_VISIT(st->match_type);
    return 0;
}

int clear_module(PyObject* module) {
    ModuleState* st = state_of(module);
    Py_CLEAR(st->keldra_var_type);
    Py_CLEAR(st->node_type);
    Py_CLEAR(st->match_type);
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "keldra_var",
    "State holder and tree search for the lineage analyzer.",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace keldra_var

PyMODINIT_FUNC PyInit_keldra_var(void) { return PyModuleDef_Init(&keldra_var::module_def); }
