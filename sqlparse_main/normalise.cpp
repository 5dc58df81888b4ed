// The JSON normalisation of a parsed tree, done natively:
//
//   json.loads(json.dumps(tree, ensure_ascii=False, separators=(",", ":"))
//              .replace(" ", "_"), object_pairs_hook=Node)
//
// gives the same value as this walk: mappings become Nodes with their keys
// coerced as the encoder coerces them, tuples and lists become lists, every
// string (key or value) has its blanks replaced by underscores, numbers come
// back as plain int and float, and what the encoder rejects is rejected here
// with the same exception.  The encoder writes no blanks of its own, so the
// replacement only ever touches the text of strings.
#include "sqlparse_main.hpp"

#include <vector>

namespace sqlparse_main {
namespace {

class Normaliser {
public:
    explicit Normaliser(const Ctx& c) : c_(c) {}

    Ref value(PyObject* o) {
        if (PyUnicode_Check(o)) return text(o);
        if (o == Py_None || o == Py_True || o == Py_False) return Ref::borrow(o);
        if (PyLong_Check(o)) return integer(o);
        if (PyFloat_Check(o)) return real(o);
        if (PyList_Check(o) || PyTuple_Check(o)) return sequence(o);
        if (PyDict_Check(o)) return mapping(o);
        Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__"));
        keldra::raise(PyExc_TypeError, "Object of type %U is not JSON serializable", name.get());
    }

private:
    // A string as a plain str with blanks turned into underscores.
    Ref text(PyObject* s) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        Py_ssize_t blank = PyUnicode_FindChar(s, ' ', 0, n, 1);
        if (blank == -2) keldra::raise_current();
        if (blank < 0) {
            if (PyUnicode_CheckExact(s)) return Ref::borrow(s);
            return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_KIND(s), PyUnicode_DATA(s), n));
        }
        return Ref::steal(PyUnicode_Replace(s, c_.st->s_blank, c_.st->s_underscore, -1));
    }

    // int.__repr__ read back by int(): the value as a plain int, under the
    // interpreter's limits on the digits of a conversion.
    Ref integer(PyObject* o) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (v == -1 && PyErr_Occurred()) keldra::raise_current();
        if (!overflow) return Ref::steal(PyLong_FromLongLong(v));
        Ref repr = Ref::steal(PyLong_Type.tp_repr(o));
        return Ref::steal(PyLong_FromUnicodeObject(repr.get(), 10));
    }

    // float.__repr__ (or NaN, Infinity) read back by float().
    static Ref real(PyObject* o) {
        double v = PyFloat_AS_DOUBLE(o);
        if (v != v) return Ref::steal(PyFloat_FromDouble(Py_NAN));
        if (PyFloat_CheckExact(o)) return Ref::borrow(o);
        return Ref::steal(PyFloat_FromDouble(v));
    }

    // A key as the encoder writes it, then read back as a string.
    Ref key(PyObject* k) {
        if (PyUnicode_Check(k)) return text(k);
        Ref s;
        if (PyFloat_Check(k)) {
            double v = PyFloat_AS_DOUBLE(k);
            if (v != v)
                s = Ref::steal(PyUnicode_FromString("NaN"));
            else if (v == Py_HUGE_VAL)
                s = Ref::steal(PyUnicode_FromString("Infinity"));
            else if (v == -Py_HUGE_VAL)
                s = Ref::steal(PyUnicode_FromString("-Infinity"));
            else
                s = Ref::steal(PyFloat_Type.tp_repr(k));
        } else if (k == Py_True) {
            s = Ref::steal(PyUnicode_FromString("true"));
        } else if (k == Py_False) {
            s = Ref::steal(PyUnicode_FromString("false"));
        } else if (k == Py_None) {
            s = Ref::steal(PyUnicode_FromString("null"));
        } else if (PyLong_Check(k)) {
            s = Ref::steal(PyLong_Type.tp_repr(k));
        } else {
            keldra::raise(PyExc_TypeError, "keys must be str, int, float, bool or None, not %.100s",
                          Py_TYPE(k)->tp_name);
        }
        return s;
    }

    // One container entered: a container already open is a cycle, as the
    // encoder reports it, and the depth counts as the encoder's does.
    class Enter {
    public:
        Enter(Normaliser& n, PyObject* container) : n_(n), depth_(check_cycle(n, container)) {
            n_.open_.push_back(container);
        }
        ~Enter() { n_.open_.pop_back(); }

    private:
        static const char* check_cycle(Normaliser& n, PyObject* container) {
            for (PyObject* open : n.open_)
                if (open == container) keldra::raise(PyExc_ValueError, "Circular reference detected");
            return " while encoding a JSON object";
        }
        Normaliser& n_;
        keldra::RecursionGuard depth_;
    };

    Ref sequence(PyObject* o) {
        Enter enter(*this, o);
        Ref hold = Ref::borrow(o);
        Ref out = Ref::steal(PyList_New(0));
        // The size is read afresh: a list may change while we walk it.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(o, i));
            Ref v = value(item.get());
            keldra::check(PyList_Append(out.get(), v.get()));
        }
        return out;
    }

    Ref mapping(PyObject* o) {
        Enter enter(*this, o);
        Ref node_args = Ref::steal(PyTuple_New(0));
        PyTypeObject* node_type = reinterpret_cast<PyTypeObject*>(c_.st->node_type);
        Ref out = Ref::steal(PyDict_Type.tp_new(node_type, node_args.get(), nullptr));
        if (PyDict_GET_SIZE(o) == 0) return out;  // "{}" at once, as the encoder writes it
        // The encoder asks a dict subclass for its items(); a plain dict, or
        // one whose items() is dict's own, is walked directly.
        if (PyDict_CheckExact(o) || own_items(o)) {
            Ref hold = Ref::borrow(o);
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(o, &pos, &k, &v)) {
                Ref kh = Ref::borrow(k), vh = Ref::borrow(v);
                Ref nk = key(k);
                Ref nv = value(v);
                keldra::check(PyDict_SetItem(out.get(), nk.get(), nv.get()));
            }
            return out;
        }
        Ref items = Ref::steal(PyMapping_Items(o));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
                keldra::raise(PyExc_ValueError, "items must return 2-tuples");
            Ref nk = key(PyTuple_GET_ITEM(pair, 0));
            Ref nv = value(PyTuple_GET_ITEM(pair, 1));
            keldra::check(PyDict_SetItem(out.get(), nk.get(), nv.get()));
        }
        return out;
    }

    bool own_items(PyObject* o) {
        PyObject* items = _PyType_Lookup(Py_TYPE(o), c_.st->s_items);
        if (!dict_items_) dict_items_ = _PyType_Lookup(&PyDict_Type, c_.st->s_items);
        return items && items == dict_items_;
    }

    const Ctx& c_;
    std::vector<PyObject*> open_;
    PyObject* dict_items_ = nullptr;
};

}  // namespace

Ref normalise_tree(const Ctx& c, PyObject* tree) {
    Normaliser n(c);
    return n.value(tree);
}

}  // namespace sqlparse_main
