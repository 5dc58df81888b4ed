// Tree path rewriting: hop from a found node to a sibling under another key.
//
// _one_search_other cuts as many characters as `one` has from the end of
// "$." + path text and appends `other`; _one_replace_other cuts the path text
// at the last occurrence of `one` and appends `other`.  Both search the
// rewritten path with find(path, 1).
#include "sqlparse_main.hpp"

#include <cstring>

namespace sqlparse_main {
namespace {
const char* const replace_names[] = {"full_path", "one", "other"};
const char* const search_names[] = {"tree", "full_path", "one", "other"};
const keldra::Signature search_sig = keldra::signature("Analyze._one_search_other", false, search_names);

// "$.%s" % text
Ref dollar_path(const Ctx& c, PyObject* text) {
    Ref s = Ref::steal(PyObject_Str(text));
    return Ref::steal(PyUnicode_Concat(c.st->s_dollar_dot, s.get()));
}
}  // namespace

// ("$." + path)[:len - cut] + other, built in one piece when all is ASCII text.
Ref hop_path(const Ctx& c, PyObject* full_path, Py_ssize_t cut, PyObject* other) {
    if (PyUnicode_CheckExact(full_path) && PyUnicode_IS_ASCII(full_path) && PyUnicode_Check(other) &&
        PyUnicode_IS_ASCII(other)) {
        Py_ssize_t len = 2 + PyUnicode_GET_LENGTH(full_path);
        Py_ssize_t keep = len - cut;
        if (keep < 0) keep = keep + len < 0 ? 0 : keep + len;
        Py_ssize_t tail = PyUnicode_GET_LENGTH(other);
        Ref out = Ref::steal(PyUnicode_New(keep + tail, 127));
        char* dst = static_cast<char*>(PyUnicode_DATA(out.get()));
        const char* path = static_cast<const char*>(PyUnicode_DATA(full_path));
        for (Py_ssize_t i = 0; i < keep; ++i) dst[i] = i < 2 ? "$."[i] : path[i - 2];
        std::memcpy(dst + keep, PyUnicode_DATA(other), static_cast<size_t>(tail));
        return out;
    }
    Ref one_path = dollar_path(c, full_path);
    Py_ssize_t len = PyUnicode_GET_LENGTH(one_path.get());
    Py_ssize_t keep = len - cut;
    if (keep < 0) keep = keep + len < 0 ? 0 : keep + len;
    Ref head = Ref::steal(PyUnicode_Substring(one_path.get(), 0, keep));
    Ref other_text = Ref::steal(PyObject_Str(other));
    return Ref::steal(PyUnicode_Concat(head.get(), other_text.get()));
}

Ref one_search_other(const Ctx& c, PyObject* tree, PyObject* full_path, PyObject* one, PyObject* other) {
    // In the order of the steps: the path's text, the length of `one`, then
    // the text of `other`.
    Ref text = PyUnicode_CheckExact(full_path) ? Ref::borrow(full_path) : Ref::steal(PyObject_Str(full_path));
    Py_ssize_t cut = keldra::check_size(PyObject_Length(one));
    Ref other_path = hop_path(c, text.get(), cut, other);
    return call_method(c, tree, c.st->s_find, other_path.get(), c.st->int_one);
}

const keldra::Signature one_replace_other_sig =
    keldra::signature("Analyze._one_replace_other", true, replace_names);

Ref one_replace_other_method(const Ctx& c, PyObject* self, PyObject* const* a) {
    PyObject *full_path = a[0], *one = a[1], *other = a[2];
    Ref split = call_method(c, full_path, c.st->s_split, one);
    Ref count = call_method(c, full_path, c.st->s_count, one);
    Py_ssize_t n = PyNumber_AsSsize_t(count.get(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) keldra::raise_current();
    Ref pieces = Ref::steal(PySequence_GetSlice(split.get(), 0, n));
    Ref head = call_method(c, one, c.st->s_join, pieces.get());
    Ref other_path = Ref::steal(PyNumber_Add(dollar_path(c, head.get()).get(), other));
    Ref tree = instance_attr(self, c.st->s_tree);
    return call_method(c, tree.get(), c.st->s_find, other_path.get(), c.st->int_one);
}

PyObject* m_one_search_other(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return keldra::guarded([&] {
        PyObject* a[4];
        keldra::bind_args(search_sig, args, nargs, kwnames, a);
        Ctx c{module, state_of(module)};
        return one_search_other(c, a[0], a[1], a[2], a[3]).release();
    });
}

}  // namespace sqlparse_main
