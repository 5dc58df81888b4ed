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
#include <utility>
#include <unordered_set>
#include <vector>

namespace keldra_var {
namespace {

using keldra::Ref;

// One step of a search path: a slice [start, end) of the path's text.
struct Step {
    bool descend = false;   // "..key" rather than ".key"
    Py_ssize_t start = 0;
    Py_ssize_t end = 0;
    Py_ssize_t index = -1;  // list position when the key reads "[n]"
};

// The text of a search path, read in place.
struct PathText {
    int kind;
    const void* data;
    Py_ssize_t length;

    explicit PathText(PyObject* s)
        : kind(PyUnicode_KIND(s)), data(PyUnicode_DATA(s)), length(PyUnicode_GET_LENGTH(s)) {}
    Py_UCS4 at(Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }

    // Is `key` (any object) the str whose text is this step's slice?  Compared
    // by content, without running Python code.
    bool names(const Step& s, PyObject* key) const {
        if (!PyUnicode_Check(key)) return false;
        Py_ssize_t n = s.end - s.start;
        if (PyUnicode_GET_LENGTH(key) != n) return false;
        int kkind = PyUnicode_KIND(key);
        const void* kdata = PyUnicode_DATA(key);
        if (kkind == kind)
            return std::memcmp(static_cast<const char*>(data) + s.start * kind, kdata,
                               static_cast<size_t>(n) * kind) == 0;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (PyUnicode_READ(kkind, kdata, i) != at(s.start + i)) return false;
        return true;
    }

    // "[n]" with n a run of decimal digits: the list position n, else -1.
    Py_ssize_t list_position(const Step& s) const {
        Py_ssize_t n = s.end - s.start;
        if (n < 3 || n > 20 || at(s.start) != '[' || at(s.end - 1) != ']') return -1;
        Py_ssize_t value = 0;
        for (Py_ssize_t i = s.start + 1; i < s.end - 1; ++i) {
            Py_UCS4 c = at(i);
            if (c < '0' || c > '9') return -1;
            if (value > (PY_SSIZE_T_MAX - 9) / 10) return -1;
            value = value * 10 + (c - '0');
        }
        return value;
    }
};

// Parse a search path; false when it is not of the form described above.
bool parse_path(const PathText& text, std::vector<Step>& steps) {
    Py_ssize_t n = text.length;
    if (n == 0 || text.at(0) != '$') return false;
    Py_ssize_t pos = 1;
    while (pos < n) {
        if (text.at(pos) != '.') return false;
        ++pos;
        Step step;
        if (pos < n && text.at(pos) == '.') {
            step.descend = true;
            ++pos;
        }
        step.start = pos;
        while (pos < n && text.at(pos) != '.') ++pos;
        if (pos == step.start) return false;
        step.end = pos;
        step.index = text.list_position(step);
        steps.push_back(step);
    }
    return true;
}

// A set of automaton states (step numbers).  Paths of up to 128 steps keep
// their set inline; longer ones spill to the heap.
class States {
public:
    explicit States(size_t bits) : n_((bits + 63) / 64) {
        if (n_ > kInline) heap_.assign(n_, 0);
    }
    void set(size_t i) { words()[i / 64] |= uint64_t{1} << (i % 64); }
    void reset(size_t i) { words()[i / 64] &= ~(uint64_t{1} << (i % 64)); }
    bool test(size_t i) const { return (words()[i / 64] >> (i % 64)) & 1; }
    bool any() const {
        for (size_t w = 0; w < n_; ++w)
            if (words()[w]) return true;
        return false;
    }
    template <class F>
    void for_each(F&& f) const {
        for (size_t w = 0; w < n_; ++w) {
            uint64_t bits = words()[w];
            while (bits) {
                int b = __builtin_ctzll(bits);
                f(w * 64 + b);
                bits &= bits - 1;
            }
        }
    }

private:
    static constexpr size_t kInline = 2;
    uint64_t* words() { return n_ > kInline ? heap_.data() : inline_; }
    const uint64_t* words() const { return n_ > kInline ? heap_.data() : inline_; }
    size_t n_;
    uint64_t inline_[kInline] = {0, 0};
    std::vector<uint64_t> heap_;
};

struct Hit {
    Ref value;
    StepRef path;
};

class Search {
public:
    Search(const PathText& text, const std::vector<Step>& steps, bool first)
        : text_(text), steps_(steps), first_(first) {}

    void run(PyObject* root) {
        if (steps_.empty()) {
            hits_.push_back({Ref::borrow(root), StepRef()});
            return;
        }
        if (!is_container(root)) return;
        bool descends = false;
        for (const Step& s : steps_) descends |= s.descend;
        if (!descends) return walk(root);
        frames_.reserve(32);
        States start(steps_.size() + 1);
        start.set(0);
        push(root, std::move(start), StepRef());
        while (!frames_.empty() && !(first_ && !hits_.empty())) step();
    }

    std::vector<Hit>& hits() { return hits_; }

private:
    struct Frame {
        Ref container;
        States states;
        StepRef path;  // the container's own position
        Py_ssize_t pos = 0;
    };

    static bool is_container(PyObject* o) { return PyDict_Check(o) || PyList_Check(o); }

    bool on_stack(PyObject* o) const {
        size_t shallow = frames_.size() < kShallow ? frames_.size() : kShallow;
        for (size_t i = 0; i < shallow; ++i)
            if (frames_[i].container.get() == o) return true;
        return deep_.count(o) != 0;
    }

    void push(PyObject* container, States states, StepRef path) {
        if (frames_.size() >= kShallow) deep_.insert(container);
        frames_.push_back(Frame{Ref::borrow(container), std::move(states), std::move(path), 0});
    }

    void pop() {
        if (frames_.size() > kShallow) deep_.erase(frames_.back().container.get());
        frames_.pop_back();
    }

    bool key_matches(const Step& s, PyObject* key) const { return text_.names(s, key); }

    // A path of direct steps only leads to at most one position: follow it.
    void walk(PyObject* root) {
        Ref node = Ref::borrow(root);
        StepRef at;
        for (const Step& s : steps_) {
            PyObject* key = nullptr;
            PyObject* next = nullptr;
            Py_ssize_t index = 0;
            if (PyDict_Check(node.get())) {
                Py_ssize_t pos = 0;
                PyObject* v;
                while (PyDict_Next(node.get(), &pos, &key, &v)) {
                    if (key_matches(s, key)) {
                        next = v;
                        break;
                    }
                }
            } else if (PyList_Check(node.get()) && s.index >= 0 && s.index < PyList_GET_SIZE(node.get())) {
                index = s.index;
                next = PyList_GET_ITEM(node.get(), index);
            }
            if (!next) return;
            at = StepRef(PathStep::make(at.get(), key, index));
            node = Ref::borrow(next);
        }
        hits_.push_back({node, std::move(at)});
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
        const bool matched = next.test(accept);
        next.reset(accept);
        const bool descend = next.any() && is_container(value) && !on_stack(value);
        if (!matched && !descend) return;
        StepRef here(PathStep::make(f.path.get(), key, index));
        Ref child = Ref::borrow(value);
        if (matched) {
            hits_.push_back({child, here});
            if (first_) return;
        }
        if (descend) push(child.get(), std::move(next), std::move(here));
    }

    static constexpr size_t kShallow = 64;
    const PathText& text_;
    const std::vector<Step>& steps_;
    bool first_;
    std::vector<Frame> frames_;
    std::unordered_set<PyObject*> deep_;
    std::vector<Hit> hits_;
};

// find(node, path, first): list of matches, or the first matched node / None.
Ref find(ModuleState* st, PyObject* node, PyObject* path, PyObject* first_flag) {
    if (!PyUnicode_Check(path))
        keldra::raise(PyExc_TypeError, "find() path must be str, not %.100s", Py_TYPE(path)->tp_name);
    bool first = first_flag && keldra::truthy(first_flag);
    PathText text(path);
    std::vector<Step> steps;
    steps.reserve(8);
    bool ok = parse_path(text, steps);
    if (!ok) return first ? Ref::none() : Ref::steal(PyList_New(0));
    Search search(text, steps, first);
    search.run(node);
    auto& hits = search.hits();
    if (first) return hits.empty() ? Ref::none() : hits.front().value;
    Ref empty = Ref::steal(PyUnicode_New(0, 0));
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
    for (size_t i = 0; i < hits.size(); ++i) {
        PathStep* at = hits[i].path.release();
        PyObject* m = new_match(st->match_type, hits[i].value.get(), at, at ? nullptr : empty.get());
        if (!m) keldra::raise_current();
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), m);
    }
    return out;
}

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

PyType_Spec node_spec = {
    "keldra_var.Node",
    sizeof(PyDictObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    node_slots,
};

}  // namespace keldra_var
