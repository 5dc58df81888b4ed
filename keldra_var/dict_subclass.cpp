// Type housekeeping shared by the dict subclasses KeldraVar and Node: heap
// types that keep their type alive and release deep trees without recursion.
#include "keldra_var.hpp"

namespace keldra_var {

int dict_subclass_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return PyDict_Type.tp_traverse(self, visit, arg);
}

int dict_subclass_clear(PyObject* self) { return PyDict_Type.tp_clear(self); }

void dict_subclass_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // The trashcan turns the release of a very deep tree into a loop.
    Py_TRASHCAN_BEGIN(self, dict_subclass_dealloc)
    PyDict_Type.tp_dealloc(self);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

}  // namespace keldra_var
