// The position of a search match: a chain of path steps from the searched
// node down to the match, shared by every match below a position.
#pragma once

#include "keldra/ref.hpp"

#include <new>
#include <utility>

namespace keldra_var {

// One step of a chain, reference counted (under the GIL).  The path text is
// only built when a match's full_path is read.
struct PathStep {
    size_t refs = 1;
    PathStep* parent;       // null for a step directly below the searched node
    PyObject* key;          // mapping key (owned), or null for a list position
    Py_ssize_t index;

    // Small and many: they come from the interpreter's small-object
    // allocator (the GIL is held wherever steps are made or released).
    static PathStep* make(PathStep* parent, PyObject* key, Py_ssize_t index) {
        void* mem = PyMem_Malloc(sizeof(PathStep));
        if (!mem) throw std::bad_alloc();
        if (parent) ++parent->refs;
        Py_XINCREF(key);
        return new (mem) PathStep{1, parent, key, index};
    }
    static void release(PathStep* s) noexcept {
        // A loop, not recursion: chains can be as deep as the tree.
        while (s && --s->refs == 0) {
            PathStep* parent = s->parent;
            Py_XDECREF(s->key);
            PyMem_Free(s);
            s = parent;
        }
    }
};

// Owning handle of a PathStep.
class StepRef {
public:
    StepRef() = default;
    explicit StepRef(PathStep* s) : s_(s) {}
    // A further owner of a step that someone else owns.
    static StepRef share(PathStep* s) noexcept {
        if (s) ++s->refs;
        return StepRef(s);
    }
    StepRef(const StepRef& o) : s_(o.s_) {
        if (s_) ++s_->refs;
    }
    StepRef(StepRef&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    StepRef& operator=(StepRef o) noexcept {
        std::swap(s_, o.s_);
        return *this;
    }
    ~StepRef() { PathStep::release(s_); }
    PathStep* get() const { return s_; }
    PathStep* release() { return std::exchange(s_, nullptr); }

private:
    PathStep* s_ = nullptr;
};

}  // namespace keldra_var
