// KeldraVar: the analysis state holder, a dict whose items are also readable
// and writable as attributes.
//
// Real attributes (methods, descriptors) win over items on reads; every other
// attribute name reads the item of that name.  Attribute writes, keyword
// construction and add(**kw) store items, turning a plain dict into a
// KeldraVar at the moment it is stored, so a stored mapping reads back with
// attribute access and later writes through it stay in place.
#include "keldra_var.hpp"

#include "keldra/args.hpp"
#include "keldra/guard.hpp"

namespace keldra_var {
namespace {

using keldra::Ref;

ModuleState* state_for_type(PyTypeObject* type) {
    PyObject* module = PyType_GetModuleByDef(type, &module_def);
    if (!module) keldra::raise_current();
    return state_of(module);
}

Ref convert(ModuleState* st, PyObject* value);

// Store value under key, converting a plain dict.
void store(ModuleState* st, PyObject* self, PyObject* key, PyObject* value) {
    Ref v = convert(st, value);
    keldra::check(PyDict_SetItem(self, key, v.get()));
}

void store_all(ModuleState* st, PyObject* self, PyObject* source) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(source, &pos, &key, &value)) {
        // Hold both: storing may run code (a key's __hash__) that changes source.
        Ref k = Ref::borrow(key);
        Ref v = Ref::borrow(value);
        store(st, self, k.get(), v.get());
    }
}

Ref convert(ModuleState* st, PyObject* value) {
    if (!PyDict_CheckExact(value)) return Ref::borrow(value);
    // A dict that contains itself would recurse forever.
    keldra::RecursionGuard depth(" while converting a dict to KeldraVar");
    PyTypeObject* tp = st->keldra_var_type;
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref out = Ref::steal(PyDict_Type.tp_new(tp, no_args.get(), nullptr));
    store_all(st, out.get(), value);
    return out;
}

int kv_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return keldra::guarded_int([&] {
        ModuleState* st = state_for_type(Py_TYPE(self));
        Py_ssize_t n = PyTuple_GET_SIZE(args);
        if (n > 1)
            keldra::raise(PyExc_TypeError, "KeldraVar expected at most 1 positional argument, got %zd", n);
        if (n == 1) {
            // Accept what dict() accepts: a mapping or an iterable of pairs.
            Ref tmp = Ref::steal(PyDict_New());
            PyObject* src = PyTuple_GET_ITEM(args, 0);
            if (PyDict_Check(src) || PyObject_HasAttrString(src, "keys"))
                keldra::check(PyDict_Merge(tmp.get(), src, 1));
            else
                keldra::check(PyDict_MergeFromSeq2(tmp.get(), src, 1));
            store_all(st, self, tmp.get());
        }
        if (kwargs) store_all(st, self, kwargs);
    });
}

// KeldraVar(**fields) without building an argument tuple and dict.  Only for
// the type as made here: with a replaced __new__ or __init__ the call takes
// the interpreter's usual road.
PyObject* kv_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (tp->tp_init != kv_init || tp->tp_new != PyDict_Type.tp_new || nargs)
        return keldra::call_through_type(type, args, nargs, kwnames);
    return keldra::guarded([&] {
        ModuleState* st = state_for_type(tp);
        Ref no_args = Ref::steal(PyTuple_New(0));
        Ref self = Ref::steal(PyDict_Type.tp_new(tp, no_args.get(), nullptr));
        if (kwnames) {
            Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t i = 0; i < n; ++i) store(st, self.get(), PyTuple_GET_ITEM(kwnames, i), args[i]);
        }
        return self.release();
    });
}

PyObject* kv_getattro(PyObject* self, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(self);
    if (tp->tp_dictoffset == 0) {
        // No instance dict: a name the type knows is a real attribute,
        // anything else is a field.
        if (_PyType_Lookup(tp, name)) return PyObject_GenericGetAttr(self, name);
    } else {
        PyObject* r = PyObject_GenericGetAttr(self, name);
        if (r || !PyErr_ExceptionMatches(PyExc_AttributeError)) return r;
        PyErr_Clear();
    }
    PyObject* v = PyDict_GetItemWithError(self, name);
    if (v) return Py_NewRef(v);
    if (PyErr_Occurred()) return nullptr;
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no field or attribute '%U'", tp->tp_name,
                 name);
    return nullptr;
}

int kv_setattro(PyObject* self, PyObject* name, PyObject* value) {
    PyObject* descr = _PyType_Lookup(Py_TYPE(self), name);
    if (descr && Py_TYPE(descr)->tp_descr_set) return PyObject_GenericSetAttr(self, name, value);
    if (!value) {
        int rc = PyDict_DelItem(self, name);
        if (rc < 0 && PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_AttributeError, "'%.100s' object has no field '%U'",
                         Py_TYPE(self)->tp_name, name);
        }
        return rc;
    }
    return keldra::guarded_int([&] { store(state_for_type(Py_TYPE(self)), self, name, value); });
}

PyObject* kv_add(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames) {
    return keldra::guarded([&] {
        if (nargs)
            keldra::raise(PyExc_TypeError, "add() takes no positional arguments (%zd given)", nargs);
        ModuleState* st = state_of(PyType_GetModule(defining_class));
        if (kwnames) {
            Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t i = 0; i < n; ++i) store(st, self, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
        }
        return Py_NewRef(Py_None);
    });
}

PyMethodDef kv_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kv_add)),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "add($self, /, **fields)\n--\n\n"
     "Set every keyword as a field, replacing a field of the same name.\n"
     "Keys need not be identifiers: add(**{'*': record})."},
    KELDRA_FIND_METHOD_DEF,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kv_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "KeldraVar(**fields)\n--\n\n"
                    "A dict whose items are also attributes.  Reading an attribute that is\n"
                    "not a method gives the field of that name; writing one stores a field.\n"
                    "A plain dict stored as a field becomes a KeldraVar.")},
    {Py_tp_init, reinterpret_cast<void*>(kv_init)},
    {Py_tp_getattro, reinterpret_cast<void*>(kv_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(kv_setattro)},
    {Py_tp_methods, kv_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(dict_subclass_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(dict_subclass_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dict_subclass_dealloc)},
    {0, nullptr},
};

}  // namespace

vectorcallfunc keldra_var_vectorcall = kv_vectorcall;

PyType_Spec keldra_var_spec = {
    "keldra_var.KeldraVar",
    sizeof(PyDictObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    kv_slots,
};

}  // namespace keldra_var
