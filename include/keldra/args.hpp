// Argument binding for methods that take their parameters by position or by
// keyword, with the interpreter's own TypeError messages for a wrong call.
#pragma once

#include "keldra/ref.hpp"

#include <string>
#include <vector>

namespace keldra {

struct Signature {
    const char* qualname;         // "Analyze.analyze_sql", used in messages
    bool counts_self;             // messages count `self`, as for a def method
    const char* const* names;     // parameter names after self
    int count;                    // number of parameters after self
    int required;                 // the first `required` ones have no default
};

// A Signature whose count is that of its names array, so the two cannot
// disagree: signature("Analyze._analyze_sql_start", true, names) with
// names = {"tree", "level"} has count 2 and, by default, both required.
template <int N>
constexpr Signature signature(const char* qualname, bool counts_self, const char* const (&names)[N],
                              int required = N) {
    static_assert(N <= 16, "bind_args handles at most 16 parameters");
    return Signature{qualname, counts_self, names, N, required};
}

namespace detail {
inline std::string quote_list(const Signature& s, const bool* missing) {
    std::string out;
    int n = 0, total = 0;
    for (int i = 0; i < s.count; ++i) total += missing[i];
    for (int i = 0; i < s.count; ++i) {
        if (!missing[i]) continue;
        if (n) out += (total == 2) ? " and " : (n == total - 1 ? ", and " : ", ");
        out += "'";
        out += s.names[i];
        out += "'";
        ++n;
    }
    return out;
}
}  // namespace detail

// Bind args/kwnames (vectorcall convention) to out[0..count).  Parameters that
// were not given and have a default are left as nullptr for the caller to fill.
inline void bind_args(const Signature& s, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** out) {
    const int extra = s.counts_self ? 1 : 0;
    for (int i = 0; i < s.count; ++i) out[i] = nullptr;
    if (nargs > s.count) {
        if (s.required == s.count)
            raise(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given",
                  s.qualname, s.count + extra, (s.count + extra) == 1 ? "" : "s",
                  nargs + extra, (nargs + extra) == 1 ? "was" : "were");
        raise(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd were given",
              s.qualname, s.required + extra, s.count + extra, nargs + extra);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            int found = -1;
            for (int i = 0; i < s.count; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, s.names[i]) == 0) {
                    found = i;
                    break;
                }
            }
            if (found < 0)
                raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                      s.qualname, key);
            if (out[found])
                raise(PyExc_TypeError, "%s() got multiple values for argument '%s'", s.qualname,
                      s.names[found]);
            out[found] = args[nargs + k];
        }
    }
    bool missing[16] = {};
    int nmissing = 0;
    for (int i = 0; i < s.required; ++i) {
        if (!out[i]) {
            missing[i] = true;
            ++nmissing;
        }
    }
    if (nmissing) {
        std::string names = detail::quote_list(s, missing);
        raise(PyExc_TypeError, "%s() missing %d required positional argument%s: %s",
              s.qualname, nmissing, nmissing == 1 ? "" : "s", names.c_str());
    }
}

// bind_args for the tuple-and-dict convention of tp_new and tp_init.  The
// bound values are borrowed from `args` and `kwargs`.
inline void bind_tuple_args(const Signature& s, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<PyObject*> argv(nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) argv[i] = PyTuple_GET_ITEM(args, i);
    Ref kwnames;
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        kwnames = Ref::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
            argv.push_back(value);
        }
    }
    bind_args(s, argv.data(), nargs, kwnames.get(), out);
}

}  // namespace keldra
