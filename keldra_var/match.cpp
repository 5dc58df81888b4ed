// keldra_var.Match: one result of a tree search, with the matched node
// (`value`) and its path from the searched node (`full_path`).  The path text
// is built from the match's chain of path steps the first time it is read.
#include "keldra_var.hpp"

#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace keldra_var {
namespace {

using keldra::Ref;

// The path text "from.[0].name" of a chain of steps, written in one piece.
Ref path_text(const PathStep* leaf) {
    std::vector<const PathStep*> chain;
    for (const PathStep* s = leaf; s; s = s->parent) chain.push_back(s);
    std::vector<Ref> texts;  // the text of keys that are no str
    Py_ssize_t length = chain.empty() ? 0 : static_cast<Py_ssize_t>(chain.size()) - 1;
    Py_UCS4 maxchar = 127;
    char digits[32];
    for (const PathStep* s : chain) {
        if (!s->key) {
            length += std::snprintf(digits, sizeof digits, "[%zd]", s->index);
            continue;
        }
        PyObject* text = s->key;
        if (!PyUnicode_Check(text)) {
            texts.push_back(Ref::steal(PyObject_Str(text)));
            text = texts.back().get();
        }
        length += PyUnicode_GET_LENGTH(text);
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(text);
        if (m > maxchar) maxchar = m;
    }
    Ref out = Ref::steal(PyUnicode_New(length, maxchar));
    const int kind = PyUnicode_KIND(out.get());
    void* data = PyUnicode_DATA(out.get());
    Py_ssize_t pos = 0;
    size_t next_text = texts.size();
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        const PathStep* s = *it;
        if (pos) PyUnicode_WRITE(kind, data, pos++, '.');
        if (!s->key) {
            int n = std::snprintf(digits, sizeof digits, "[%zd]", s->index);
            for (int i = 0; i < n; ++i) PyUnicode_WRITE(kind, data, pos++, digits[i]);
            continue;
        }
        PyObject* text = PyUnicode_Check(s->key) ? s->key : texts[--next_text].get();
        Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        if (PyUnicode_KIND(text) == kind)
            std::memcpy(static_cast<char*>(data) + pos * kind, PyUnicode_DATA(text), static_cast<size_t>(n) * kind);
        else
            keldra::check_size(PyUnicode_CopyCharacters(out.get(), pos, text, 0, n));
        pos += n;
    }
    return out;
}

struct MatchObject {
    PyObject_HEAD
    PyObject* value;
    PathStep* path;       // the position, while the path text is not built
    PyObject* full_path;  // the path text, once built (or as given)
};

Ref full_path_of(PyObject* self) {
    auto* m = reinterpret_cast<MatchObject*>(self);
    if (!m->full_path) {
        // Writing a key that is no str runs its __str__, which may read this
        // very full_path (building and keeping the text, and releasing the
        // chain) or clear the match: the chain is held for the whole build,
        // and a text kept meanwhile wins over ours.
        Ref keep_self = Ref::borrow(self);
        StepRef chain = StepRef::share(m->path);
        Ref text = path_text(chain.get());
        if (!m->full_path) {
            m->full_path = text.release();
            PathStep::release(std::exchange(m->path, nullptr));
        }
    }
    return Ref::borrow(m->full_path);
}

PyObject* match_full_path(PyObject* self, void*) {
    return keldra::guarded([&] { return full_path_of(self).release(); });
}

int match_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* m = reinterpret_cast<MatchObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(m->value);
    Py_VISIT(m->full_path);
    return 0;
}

int match_clear(PyObject* self) {
    auto* m = reinterpret_cast<MatchObject*>(self);
    Py_CLEAR(m->value);
    Py_CLEAR(m->full_path);
    PathStep::release(std::exchange(m->path, nullptr));
    return 0;
}

void match_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    match_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* match_repr(PyObject* self) {
    return keldra::guarded([&] {
        Ref path = full_path_of(self);
        // The value is read after the path text: building it may run code.
        Ref value = Ref::borrow(reinterpret_cast<MatchObject*>(self)->value
                                    ? reinterpret_cast<MatchObject*>(self)->value
                                    : Py_None);
        return PyUnicode_FromFormat("Match(full_path=%R, value=%R)", path.get(), value.get());
    });
}

PyObject* match_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"value", "full_path", nullptr};
    PyObject* value;
    PyObject* full_path;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Match", const_cast<char**>(kwlist), &value,
                                     &full_path))
        return nullptr;
    return new_match(type, value, nullptr, full_path);
}

PyMemberDef match_members[] = {
    {"value", T_OBJECT_EX, offsetof(MatchObject, value), READONLY, "The matched node itself."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef match_getset[] = {
    {"full_path", match_full_path, nullptr,
     "Path text from the searched node to the match, such as 'from.[0].name'.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot match_slots[] = {
    {Py_tp_doc, const_cast<char*>("Match(value, full_path)\n--\n\nOne result of a tree search.")},
    {Py_tp_new, reinterpret_cast<void*>(match_new)},
    {Py_tp_traverse, reinterpret_cast<void*>(match_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(match_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(match_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(match_repr)},
    {Py_tp_members, match_members},
    {Py_tp_getset, match_getset},
    {0, nullptr},
};

}  // namespace

PyObject* new_match(PyTypeObject* type, PyObject* value, PathStep* path, PyObject* text) noexcept {
    auto* m = PyObject_GC_New(MatchObject, type);
    if (!m) {
        PathStep::release(path);
        return nullptr;
    }
    m->value = Py_NewRef(value);
    m->path = path;
    m->full_path = Py_XNewRef(text);
    PyObject_GC_Track(m);
    return reinterpret_cast<PyObject*>(m);
}

PyType_Spec match_spec = {
    "keldra_var.Match",
    sizeof(MatchObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    match_slots,
};

}  // namespace keldra_var
