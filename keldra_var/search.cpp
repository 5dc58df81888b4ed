// Tree search over JSON-shaped trees of mappings and lists.
//
// A search path is "$" followed by steps: ".key" selects that key of a
// mapping, "..key" that key at any depth below, and a key written "[n]"
// selects position n of a list (on a mapping it is an ordinary key).  The
// search runs the steps as a small automaton over one pre-order walk of the
// tree, so every position is visited (and matched) at most once and matches
// come out in document order.  The walk keeps its own stack: depth costs heap,
// never C stack, and a container that is its own ancestor is not re-entered.
#include "keldra_var.hpp"

#include "keldra/args.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

namespace keldra_var {
namespace {

using keldra::Ref;

struct Step {
    bool descend = false;  // "..key" rather than ".key"
    Ref key;               // the key text
    Py_ssize_t index = -1; // list position when the key reads "[n]"
};

// Equality of two str objects by content, without running Python code.
inline bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b)) return false;
    int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * kind) == 0;
}

// "[n]" with n a run of decimal digits: the list position n, else -1.
Py_ssize_t list_position(PyObject* key) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(key);
    if (n < 3 || n > 20) return -1;
    int kind = PyUnicode_KIND(key);
    const void* data = PyUnicode_DATA(key);
    if (PyUnicode_READ(kind, data, 0) != '[' || PyUnicode_READ(kind, data, n - 1) != ']')
        return -1;
    Py_ssize_t value = 0;
    for (Py_ssize_t i = 1; i < n - 1; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < '0' || c > '9') return -1;
        if (value > (PY_SSIZE_T_MAX - 9) / 10) return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Parse a search path; false when it is not of the form described above.
bool parse_path(PyObject* path, std::vector<Step>& steps) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(path);
    int kind = PyUnicode_KIND(path);
    const void* data = PyUnicode_DATA(path);
    if (n == 0 || PyUnicode_READ(kind, data, 0) != '$') return false;
    Py_ssize_t pos = 1;
    while (pos < n) {
        if (PyUnicode_READ(kind, data, pos) != '.') return false;
        ++pos;
        Step step;
        if (pos < n && PyUnicode_READ(kind, data, pos) == '.') {
            step.descend = true;
            ++pos;
        }
        Py_ssize_t start = pos;
        while (pos < n && PyUnicode_READ(kind, data, pos) != '.') ++pos;
        if (pos == start) return false;
        step.key = Ref::steal(PyUnicode_Substring(path, start, pos));
        step.index = list_position(step.key.get());
        steps.push_back(std::move(step));
    }
    return true;
}

// A set of automaton states (step numbers) small enough to copy freely.
class States {
public:
    explicit States(size_t bits) : words_((bits + 63) / 64, 0) {}
    void set(size_t i) { words_[i / 64] |= uint64_t{1} << (i % 64); }
    void reset(size_t i) { words_[i / 64] &= ~(uint64_t{1} << (i % 64)); }
    bool test(size_t i) const { return (words_[i / 64] >> (i % 64)) & 1; }
    bool any() const {
        for (uint64_t w : words_)
            if (w) return true;
        return false;
    }
    template <class F>
    void for_each(F&& f) const {
        for (size_t w = 0; w < words_.size(); ++w) {
            uint64_t bits = words_[w];
            while (bits) {
                int b = __builtin_ctzll(bits);
                f(w * 64 + b);
                bits &= bits - 1;
            }
        }
    }

private:
    std::vector<uint64_t> words_;
};

// One step of the path from the searched node to the current one.
struct Component {
    Ref key;                 // mapping key, or null for a list position
    Py_ssize_t index = 0;    // list position
};

void append_text(std::u32string& out, PyObject* s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(PyUnicode_READ(kind, data, i));
}

// The path text "from.[0].name" of the components.
Ref path_text(const std::vector<Component>& path) {
    std::u32string out;
    bool first = true;
    for (const Component& c : path) {
        if (!first) out.push_back('.');
        first = false;
        if (c.key) {
            if (PyUnicode_Check(c.key.get())) {
                append_text(out, c.key.get());
            } else {
                Ref text = Ref::steal(PyObject_Str(c.key.get()));
                append_text(out, text.get());
            }
        } else {
            std::string digits = "[" + std::to_string(c.index) + "]";
            for (char ch : digits) out.push_back(static_cast<unsigned char>(ch));
        }
    }
    return Ref::steal(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
}

struct Hit {
    Ref value;
    Ref path;
};

class Search {
public:
    Search(const std::vector<Step>& steps, bool first) : steps_(steps), first_(first) {}

    void run(PyObject* root) {
        if (steps_.empty()) {
            hits_.push_back({Ref::borrow(root), Ref::steal(PyUnicode_FromString(""))});
            return;
        }
        if (!is_container(root)) return;
        States start(steps_.size() + 1);
        start.set(0);
        push(root, std::move(start), Component{});
        while (!frames_.empty() && !(first_ && !hits_.empty())) step();
    }

    std::vector<Hit>& hits() { return hits_; }

private:
    struct Frame {
        Ref container;
        States states;
        Py_ssize_t pos = 0;
    };

    static bool is_container(PyObject* o) { return PyDict_Check(o) || PyList_Check(o); }

    bool on_stack(PyObject* o) const {
        size_t shallow = frames_.size() < kShallow ? frames_.size() : kShallow;
        for (size_t i = 0; i < shallow; ++i)
            if (frames_[i].container.get() == o) return true;
        return deep_.count(o) != 0;
    }

    void push(PyObject* container, States states, Component comp) {
        if (frames_.size() >= kShallow) deep_.insert(container);
        if (!frames_.empty()) path_.push_back(std::move(comp));
        frames_.push_back(Frame{Ref::borrow(container), std::move(states), 0});
    }

    void pop() {
        if (frames_.size() > kShallow) deep_.erase(frames_.back().container.get());
        frames_.pop_back();
        if (!path_.empty()) path_.pop_back();
    }

    bool key_matches(const Step& s, PyObject* key) const {
        return PyUnicode_Check(key) && same_text(s.key.get(), key);
    }

    // Visit the next child of the frame on top of the stack.
    void step() {
        Frame& f = frames_.back();
        PyObject* container = f.container.get();
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t index = 0;
        bool is_dict = PyDict_Check(container);
        if (is_dict) {
            if (!PyDict_Next(container, &f.pos, &key, &value)) {
                pop();
                return;
            }
        } else {
            if (f.pos >= PyList_GET_SIZE(container)) {
                pop();
                return;
            }
            index = f.pos++;
            value = PyList_GET_ITEM(container, index);
        }
        const size_t accept = steps_.size();
        States next(accept + 1);
        f.states.for_each([&](size_t i) {
            const Step& s = steps_[i];
            if (s.descend) next.set(i);
            bool hit = is_dict ? key_matches(s, key) : (s.index >= 0 && s.index == index);
            if (hit) next.set(i + 1);
        });
        Component comp;
        if (is_dict)
            comp.key = Ref::borrow(key);
        else
            comp.index = index;
        // Hold the child while we look at it: nothing below may free it.
        Ref child = Ref::borrow(value);
        if (next.test(accept)) {
            path_.push_back(std::move(comp));
            Ref text = path_text(path_);
            comp = std::move(path_.back());
            path_.pop_back();
            hits_.push_back({child, std::move(text)});
            if (first_) return;
            next.reset(accept);
        }
        if (next.any() && is_container(child.get()) && !on_stack(child.get()))
            push(child.get(), std::move(next), std::move(comp));
    }

    static constexpr size_t kShallow = 64;
    const std::vector<Step>& steps_;
    bool first_;
    std::vector<Frame> frames_;
    std::vector<Component> path_;
    std::unordered_set<PyObject*> deep_;
    std::vector<Hit> hits_;
};

PyObject* new_match(PyTypeObject* type, PyObject* value, PyObject* path);

// find(node, path, first): list of matches, or the first matched node / None.
Ref find(ModuleState* st, PyObject* node, PyObject* path, PyObject* first_flag) {
    if (!PyUnicode_Check(path))
        keldra::raise(PyExc_TypeError, "find() path must be str, not %.100s", Py_TYPE(path)->tp_name);
    bool first = first_flag && keldra::truthy(first_flag);
    std::vector<Step> steps;
    bool ok = parse_path(path, steps);
    if (!ok) return first ? Ref::none() : Ref::steal(PyList_New(0));
    Search search(steps, first);
    search.run(node);
    auto& hits = search.hits();
    if (first) return hits.empty() ? Ref::none() : hits.front().value;
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
    for (size_t i = 0; i < hits.size(); ++i) {
        PyObject* m = new_match(st->match_type, hits[i].value.get(), hits[i].path.get());
        if (!m) keldra::raise_current();
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), m);
    }
    return out;
}

// ---- Match ---------------------------------------------------------------

struct MatchObject {
    PyObject_HEAD
    PyObject* value;
    PyObject* full_path;
};

PyObject* new_match(PyTypeObject* type, PyObject* value, PyObject* path) {
    auto* m = PyObject_GC_New(MatchObject, type);
    if (!m) return nullptr;
    Py_INCREF(value);
    Py_INCREF(path);
    m->value = value;
    m->full_path = path;
    PyObject_GC_Track(m);
    return reinterpret_cast<PyObject*>(m);
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
    auto* m = reinterpret_cast<MatchObject*>(self);
    return PyUnicode_FromFormat("Match(full_path=%R, value=%R)", m->full_path, m->value);
}

PyObject* match_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"value", "full_path", nullptr};
    PyObject* value;
    PyObject* full_path;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Match", const_cast<char**>(kwlist), &value,
                                     &full_path))
        return nullptr;
    return new_match(type, value, full_path);
}

PyMemberDef match_members[] = {
    {"value", T_OBJECT_EX, offsetof(MatchObject, value), READONLY, "The matched node itself."},
    {"full_path", T_OBJECT_EX, offsetof(MatchObject, full_path), READONLY,
     "Path text from the searched node to the match, such as 'from.[0].name'."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot match_slots[] = {
    {Py_tp_doc, const_cast<char*>("Match(value, full_path)\n--\n\nOne result of a tree search.")},
    {Py_tp_new, reinterpret_cast<void*>(match_new)},
    {Py_tp_traverse, reinterpret_cast<void*>(match_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(match_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(match_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(match_repr)},
    {Py_tp_members, match_members},
    {0, nullptr},
};

// ---- find as a method and as a function -----------------------------------

const char* const find_method_names[] = {"path", "first"};
const keldra::Signature find_method_sig = {"find", false, find_method_names, 2, 1};

}  // namespace

PyObject* find_method(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
    return keldra::guarded([&] {
        PyObject* a[2];
        keldra::bind_args(find_method_sig, args, nargs, kwnames, a);
        ModuleState* st = state_of(PyType_GetModule(defining_class));
        return find(st, self, a[0], a[1]).release();
    });
}

namespace {

const char* const find_function_names[] = {"node", "path", "first"};
const keldra::Signature find_function_sig = {"find", false, find_function_names, 3, 2};

PyObject* find_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return keldra::guarded([&] {
        PyObject* a[3];
        keldra::bind_args(find_function_sig, args, nargs, kwnames, a);
        return find(state_of(module), a[0], a[1], a[2]).release();
    });
}

PyMethodDef node_methods[] = {
    KELDRA_FIND_METHOD_DEF,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot node_slots[] = {
    {Py_tp_doc, const_cast<char*>("A mapping node of a parsed tree: a dict that can be searched with find().")},
    {Py_tp_methods, node_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(dict_subclass_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(dict_subclass_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dict_subclass_dealloc)},
    {0, nullptr},
};

}  // namespace

PyMethodDef find_function_def = {
    "find", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(find_function)),
    METH_FASTCALL | METH_KEYWORDS,
    "find(node, path, first=0)\n--\n\n"
    "Search a tree of mappings and lists; see Node.find."};

PyType_Spec match_spec = {
    "keldra_var.Match",
    sizeof(MatchObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    match_slots,
};

PyType_Spec node_spec = {
    "keldra_var.Node",
    sizeof(PyDictObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    node_slots,
};

// ---- shared dict-subclass housekeeping ------------------------------------

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
