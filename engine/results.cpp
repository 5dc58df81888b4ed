#include "results.hpp"

#include <algorithm>
#include <iterator>
#include <type_traits>

namespace keldra::engine {

namespace {

constexpr const char* subtype_names[9] = {"IDENTITY", "TRANSFORMATION", "AGGREGATION", "JOIN",
                                          "GROUP_BY", "FILTER",         "SORT",        "WINDOW",
                                          "CONDITIONAL"};
constexpr const char* kind_names[] = {"query",  "insert", "create_table_as", "create_view",     "create_table",
                                      "merge",  "update", "delete",          "create_procedure", "create_function",
                                      "other"};
static_assert(std::size(kind_names) == static_cast<size_t>(Kind::other) + 1, "a name for every Kind");
static_assert(std::size(kind_names) == std::extent_v<decltype(ResultTypes::kinds)>, "a string for every Kind");

PyTypeObject* tuple_type(PyObject* module, const char* name) {
    Ref t = Ref::steal(PyObject_GetAttrString(module, name));
    auto* type = reinterpret_cast<PyTypeObject*>(t.get());
    // filled in place below: a tuple subclass that adds no fields of its own
    if (!PyType_Check(t.get()) || !PyType_IsSubtype(type, &PyTuple_Type) ||
        type->tp_basicsize != PyTuple_Type.tp_basicsize || type->tp_dictoffset != 0)
        raise(PyExc_TypeError, "%s must be a tuple subclass without fields of its own", name);
    return reinterpret_cast<PyTypeObject*>(t.release());
}

// Sorted by (table, column, type, subtype) as Python would sort the tuples
// (an unattributed source first), without duplicates.
void normalise(Srcs& srcs, const Statement& st) {
    auto key = [&](const Src& s) {
        return std::make_tuple(s.table < 0 ? 0 : 1, s.table < 0 ? std::string_view() : std::string_view(st.tables[s.table]),
                               std::string_view(s.column), is_indirect(s.sub),
                               std::string_view(subtype_names[static_cast<int>(s.sub)]));
    };
    std::sort(srcs.begin(), srcs.end(), [&](const Src& a, const Src& b) { return key(a) < key(b); });
    srcs.erase(std::unique(srcs.begin(), srcs.end()), srcs.end());
}

Ref sources(const ResultTypes& t, Srcs& srcs, const Statement& st, std::vector<Ref>& table_names) {
    normalise(srcs, st);
    std::vector<Ref> items;
    items.reserve(srcs.size());
    for (const Src& s : srcs) {
        PyObject* table = Py_None;
        if (s.table >= 0) {
            Ref& cached = table_names[static_cast<size_t>(s.table)];
            if (!cached) cached = text(st.tables[s.table]);
            table = cached.get();
        }
        PyObject* type = is_indirect(s.sub) ? t.indirect : t.direct;
        items.push_back(make(t.source, {Ref::borrow(table), text(s.column), Ref::borrow(type),
                                        Ref::borrow(t.subtypes[static_cast<int>(s.sub)])}));
    }
    return tuple_of(items);
}

// Message(kind, line, column, text): Python code runs, so what the module
// state lends is held first.
Ref message(const ResultTypes& t, const Message& m) {
    Ref type = Ref::borrow(t.message);
    Ref kind = Ref::borrow(t.message_kinds[static_cast<int>(m.kind)]);
    Ref line = Ref::steal(PyLong_FromLong(m.pos.line));
    Ref column = Ref::steal(PyLong_FromLong(m.pos.column));
    Ref body = text(m.text);
    return call(type.get(), kind.get(), line.get(), column.get(), body.get());
}

Ref messages(const ResultTypes& t, const std::vector<Message>& v) {
    std::vector<Ref> items;
    items.reserve(v.size());
    for (const Message& m : v) items.push_back(message(t, m));
    return tuple_of(items);
}

}  // namespace

void ResultTypes::init(PyObject* module) {
    source = tuple_type(module, "Source");
    column = tuple_type(module, "Column");
    statement = tuple_type(module, "Statement");
    message = PyObject_GetAttrString(module, "Message");
    if (!message) raise_current();
    if (!PyType_Check(message) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(message), &PyUnicode_Type))
        raise(PyExc_TypeError, "Message must be a str subclass");
    for (int i = 0; i < message_kind_count; ++i)
        if (!(message_kinds[i] = PyUnicode_InternFromString(message_kind_names[i]))) raise_current();
    direct = PyUnicode_InternFromString("DIRECT");
    if (!direct) raise_current();
    indirect = PyUnicode_InternFromString("INDIRECT");
    if (!indirect) raise_current();
    for (int i = 0; i < 9; ++i)
        if (!(subtypes[i] = PyUnicode_InternFromString(subtype_names[i]))) raise_current();
    for (size_t i = 0; i < std::size(kind_names); ++i)
        if (!(kinds[i] = PyUnicode_InternFromString(kind_names[i]))) raise_current();
}

void ResultTypes::clear() {
    Py_CLEAR(source);
    Py_CLEAR(column);
    Py_CLEAR(statement);
    Py_CLEAR(message);
    for (auto& k : message_kinds) Py_CLEAR(k);
    Py_CLEAR(direct);
    Py_CLEAR(indirect);
    for (auto& s : subtypes) Py_CLEAR(s);
    for (auto& k : kinds) Py_CLEAR(k);
}

Ref kind_tuple() {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(std::size(kind_names))));
    for (size_t i = 0; i < std::size(kind_names); ++i)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), text(kind_names[i]).release());
    return tuple;
}

Ref build_statement(const ResultTypes& t, Statement& st) {
    std::vector<Ref> table_names(st.tables.size());
    std::vector<Ref> items;
    items.reserve(st.columns.size());
    for (auto& c : st.columns) {
        // a column's sources: its direct ones and its own window and
        // conditional ones
        std::erase_if(c.srcs, [](const Src& s) { return is_indirect(s.sub) && s.sub != Sub::window && s.sub != Sub::conditional; });
        items.push_back(make(t.column, {text(c.name), sources(t, c.srcs, st, table_names)}));
    }
    Ref columns = tuple_of(items);
    Ref indirect = sources(t, st.indirect, st, table_names);
    Ref target = st.target_name.empty() ? Ref::none() : text(st.target_name);
    Ref error = st.error.empty() ? Ref::none() : message(t, st.error);
    return make(t.statement, {Ref::steal(PyLong_FromLong(st.index)), Ref::steal(PyLong_FromLong(st.start.line)),
                              Ref::borrow(t.kinds[static_cast<int>(st.kind)]), std::move(target),
                              std::move(columns), std::move(indirect), messages(t, st.warnings), std::move(error)});
}

Ref message_kinds() {
    Ref tuple = Ref::steal(PyTuple_New(message_kind_count));
    for (int i = 0; i < message_kind_count; ++i) {
        Ref name = Ref::steal(PyUnicode_InternFromString(message_kind_names[i]));
        PyTuple_SET_ITEM(tuple.get(), i, name.release());
    }
    return tuple;
}

}  // namespace keldra::engine
