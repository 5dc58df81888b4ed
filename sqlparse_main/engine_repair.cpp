// The import of the parser, and the repair of its engine.
//
// moz_sql_parser's bundled engine says `from collections import Iterable` in
// mo_parsing/infix.py, which fails on current interpreters.  When the first
// import of the parser raises ImportError, the module rewrites that line of
// the installed file to import from collections.abc and imports the parser
// again.  The engine file is found beside ply, whose __file__ gives the
// directory.  The rewrite goes to a temporary file in the same directory that
// is renamed over the original, so a failed write never leaves it empty.
//
// When the file cannot be rewritten (an installation the user may not
// write to, a read-only file system), the file is left as it is and the
// corrected text is loaded from memory instead: for that import, a finder at
// the head of sys.meta_path hands out mo_parsing.infix made from it.
#include "sqlparse_main.hpp"

namespace sqlparse_main {
namespace {

Ref str(const char* s) { return Ref::steal(PyUnicode_FromString(s)); }

Ref replace(PyObject* text, PyObject* old, PyObject* with) {
    return Ref::steal(PyObject_CallMethod(text, "replace", "OO", old, with));
}

// with open(path, mode, encoding="utf-8") as f: <body(f)>
template <class F>
void with_open(PyObject* io, PyObject* path, const char* mode, F&& body) {
    Ref open = Ref::steal(PyObject_GetAttrString(io, "open"));
    Ref args = Ref::steal(Py_BuildValue("(Os)", path, mode));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:s}", "encoding", "utf-8"));
    Ref f = Ref::steal(PyObject_Call(open.get(), args.get(), kwargs.get()));
    try {
        body(f.get());
    } catch (const keldra::PyErrorSet&) {
        // The body's error stands; one from closing the file is dropped.
        keldra::SavedError pending;
        Py_XDECREF(PyObject_CallMethod(f.get(), "close", nullptr));
        throw;
    }
    keldra::discard(Ref::steal(PyObject_CallMethod(f.get(), "close", nullptr)));
}

// Write `text` over `path` through a temporary file in its directory, with
// the original's permission bits.  On failure the temporary file is removed
// and the original is as it was.
void rewrite(PyObject* os, PyObject* io, PyObject* path, PyObject* text) {
    Ref tempfile = import_module("tempfile");
    Ref dir = Ref::steal(PyObject_CallMethod(os, "fspath", "O", path));
    Ref os_path = Ref::steal(PyObject_GetAttrString(os, "path"));
    dir = Ref::steal(PyObject_CallMethod(os_path.get(), "dirname", "O", dir.get()));
    Ref mk_args = Ref::steal(PyTuple_New(0));
    Ref mk_kw = Ref::steal(
        Py_BuildValue("{s:s,s:s,s:O}", "prefix", ".infix-", "suffix", ".tmp", "dir", dir.get()));
    Ref mkstemp = Ref::steal(PyObject_GetAttrString(tempfile.get(), "mkstemp"));
    Ref made = Ref::steal(PyObject_Call(mkstemp.get(), mk_args.get(), mk_kw.get()));
    PyObject* fd = PyTuple_GetItem(made.get(), 0);
    PyObject* tmp = PyTuple_GetItem(made.get(), 1);
    if (!fd || !tmp) keldra::raise_current();
    bool fd_owned = true;
    try {
        Ref st = Ref::steal(PyObject_CallMethod(os, "stat", "O", path));
        Ref mode = Ref::steal(PyObject_GetAttrString(st.get(), "st_mode"));
        Ref mask = Ref::steal(PyLong_FromLong(07777));
        Ref bits = Ref::steal(PyNumber_And(mode.get(), mask.get()));
        keldra::discard(Ref::steal(PyObject_CallMethod(os, "chmod", "OO", tmp, bits.get())));
        with_open(io, fd, "w", [&](PyObject* f) {
            fd_owned = false;  // the open file object closes the descriptor now
            keldra::discard(Ref::steal(PyObject_CallMethod(f, "write", "O", text)));
        });
        keldra::discard(Ref::steal(PyObject_CallMethod(os, "replace", "OO", tmp, path)));
    } catch (const keldra::PyErrorSet&) {
        // Leave the original in place and remove the temporary file.
        keldra::SavedError pending;
        if (fd_owned) Py_XDECREF(PyObject_CallMethod(os, "close", "O", fd));
        Py_XDECREF(PyObject_CallMethod(os, "unlink", "O", tmp));
        throw;
    }
}

// ---- the engine loaded from memory --------------------------------------------

// exec_module(module) of the loader: run the corrected text in the module,
// compiled under the file's name.  `source` is (path, text).
PyObject* exec_engine(PyObject* source, PyObject* module) {
    return keldra::guarded([&] {
        PyObject* path = PyTuple_GET_ITEM(source, 0);
        PyObject* text = PyTuple_GET_ITEM(source, 1);
        const char* utf8 = PyUnicode_AsUTF8(text);
        if (!utf8) keldra::raise_current();
        Ref code = Ref::steal(Py_CompileStringObject(utf8, path, Py_file_input, nullptr, -1));
        Ref globals = Ref::steal(PyObject_GetAttrString(module, "__dict__"));
        return PyEval_EvalCode(code.get(), globals.get(), globals.get());
    });
}

// create_module(spec): None, the default module.
PyObject* create_engine(PyObject*, PyObject*) { return Py_NewRef(Py_None); }

// find_spec(name, path, target=None) of the finder: a spec for the engine
// module, None for every other.  `source` is (path, text, loader).
PyObject* find_engine(PyObject* source, PyObject* const* args, Py_ssize_t nargs) {
    return keldra::guarded([&] {
        if (nargs < 1 || !PyUnicode_Check(args[0]) ||
            PyUnicode_CompareWithASCIIString(args[0], "mo_parsing.infix") != 0)
            return Py_NewRef(Py_None);
        Ref util = import_module("importlib.util");
        Ref spec_from_loader = Ref::steal(PyObject_GetAttrString(util.get(), "spec_from_loader"));
        Ref call_args = Ref::steal(PyTuple_Pack(2, args[0], PyTuple_GET_ITEM(source, 2)));
        Ref kwargs = Ref::steal(Py_BuildValue("{s:O,s:O}", "origin", PyTuple_GET_ITEM(source, 0),
                                              "is_package", Py_False));
        Ref spec = Ref::steal(PyObject_Call(spec_from_loader.get(), call_args.get(), kwargs.get()));
        // The module's __file__ is the engine file's path.
        keldra::check(PyObject_SetAttrString(spec.get(), "has_location", Py_True));
        return spec.release();
    });
}

PyMethodDef exec_engine_def = {"exec_module", exec_engine, METH_O, nullptr};
PyMethodDef create_engine_def = {"create_module", create_engine, METH_O, nullptr};
PyMethodDef find_engine_def = {"find_spec",
                               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(find_engine)),
                               METH_FASTCALL, nullptr};

// SimpleNamespace(**{name: function}), each function bound to `self`.
Ref namespace_of(PyObject* self, std::initializer_list<PyMethodDef*> defs) {
    Ref types = import_module("types");
    Ref ns_type = Ref::steal(PyObject_GetAttrString(types.get(), "SimpleNamespace"));
    Ref kwargs = Ref::steal(PyDict_New());
    for (PyMethodDef* def : defs) {
        Ref fn = Ref::steal(PyCFunction_New(def, self));
        keldra::check(PyDict_SetItemString(kwargs.get(), def->ml_name, fn.get()));
    }
    Ref no_args = Ref::steal(PyTuple_New(0));
    return Ref::steal(PyObject_Call(ns_type.get(), no_args.get(), kwargs.get()));
}

// Import the parser with mo_parsing.infix made from `text`, the file at
// `path` left as it is.
Ref import_with_engine_text(PyObject* path, PyObject* text) {
    Ref source = Ref::steal(PyTuple_Pack(2, path, text));
    Ref loader = namespace_of(source.get(), {&create_engine_def, &exec_engine_def});
    Ref finder_source = Ref::steal(PyTuple_Pack(3, path, text, loader.get()));
    Ref finder = namespace_of(finder_source.get(), {&find_engine_def});
    PyObject* meta_path = PySys_GetObject("meta_path");  // borrowed
    if (!meta_path || !PyList_Check(meta_path))
        keldra::raise(PyExc_ImportError, "sys.meta_path is not a list");
    Ref held = Ref::borrow(meta_path);
    keldra::check(PyList_Insert(held.get(), 0, finder.get()));
    struct Remove {
        PyObject* list;
        PyObject* finder;
        ~Remove() {
            keldra::SavedError pending;
            Py_XDECREF(PyObject_CallMethod(list, "remove", "O", finder));
        }
    } remove{held.get(), finder.get()};
    return import_from("moz_sql_parser", "parse");
}

// Repair mo_parsing/infix.py beside ply so that Iterable comes from
// collections.abc, and import the parser again.
Ref repair_and_import(PyObject* re) {
    Ref os = import_module("os");
    Ref ply = import_module("ply");
    Ref os_name = Ref::steal(PyObject_GetAttrString(os.get(), "name"));
    bool nt = PyUnicode_Check(os_name.get()) && PyUnicode_CompareWithASCIIString(os_name.get(), "nt") == 0;
    Ref old = str(nt ? "/" : "\\");
    Ref with = str(nt ? "\\" : "/");
    Ref old_path = replace(str("\\ply\\__init__.py").get(), old.get(), with.get());
    Ref new_path = replace(str("\\mo_parsing\\infix.py").get(), old.get(), with.get());
    Ref ply_file = Ref::steal(PyObject_GetAttrString(ply.get(), "__file__"));
    Ref path = replace(ply_file.get(), old_path.get(), new_path.get());

    Ref io = import_module("io");
    Ref data;
    with_open(io.get(), path.get(), "r", [&](PyObject* f) {
        data = Ref::steal(PyObject_CallMethod(f, "read", nullptr));
    });

    // ply's own file: there is nothing of the engine to repair.
    if (keldra::check(PyObject_RichCompareBool(path.get(), ply_file.get(), Py_EQ)))
        return import_from("moz_sql_parser", "parse");

    old = str("from collections import Iterable");
    with = str("from collections.abc import Iterable");
    Ref text = Ref::steal(PyObject_CallMethod(re, "sub", "OOO", old.get(), with.get(), data.get()));
    try {
        rewrite(os.get(), io.get(), path.get(), text.get());
    } catch (const keldra::PyErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_OSError) || !PyUnicode_Check(text.get())) throw;
        PyErr_Clear();
        return import_with_engine_text(path.get(), text.get());
    }
    return import_from("moz_sql_parser", "parse");
}

}  // namespace

Ref import_parser(PyObject* re) {
    try {
        return import_from("moz_sql_parser", "parse");
    } catch (const keldra::PyErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw;
    }
    // Handle the ImportError as an `except ImportError:` block would: what
    // the repair raises carries it as its context.
    Ref first = keldra::SavedError().take();
    PyObject* outer = PyErr_GetHandledException();
    PyErr_SetHandledException(first.get());
    struct Restore {
        PyObject* outer;
        ~Restore() {
            PyErr_SetHandledException(outer);
            Py_XDECREF(outer);
        }
    } restore{outer};
    return repair_and_import(re);
}

}  // namespace sqlparse_main
