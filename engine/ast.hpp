// Reading sqlparser-rs's AST as sqloxide hands it over: plain dicts, lists,
// strings and numbers.  An enum variant is either a one-key dict
// {"Variant": payload} or, for a variant without data, the string "Variant";
// a struct is a dict of its fields.  The tree is read only through exact
// dict lookups with str keys and PyUnicode accessors, which run no Python code.
#pragma once

#include "engine.hpp"

#include <optional>
#include <string_view>
#include <vector>

namespace keldra::engine {

// The dict keys the reader looks up, interned once per module.
#define KELDRA_AST_KEYS(X) \
    X(access_chain) X(additional_elements) X(alias) X(args) X(array_exprs) X(body) X(column) \
    X(column_name) X(columns) X(condition) X(conditions) X(cte_tables) X(else_result) X(end) \
    X(expr) X(first_element) X(from) X(group_by) X(having) X(ident) X(items) \
    X(join_operator) X(joins) X(kind) X(left) X(line) X(name) X(named_window) X(operand) \
    X(opt_except) X(opt_exclude) X(opt_rename) X(opt_replace) X(order_by) X(over) X(params) \
    X(partition_by) X(projection) X(qualify) X(query) X(quote_style) X(recursive) \
    X(relation) X(result) X(right) X(root) X(rows) X(select_token) X(selection) X(source) \
    X(span) X(start) X(subquery) X(table) X(table_with_joins) X(value) X(with) X(filter) \
    X(within_group) X(aggregate_functions) X(into) X(table_name) X(value_source) \
    X(lateral_views) X(lateral_view) X(lateral_view_name) X(lateral_col_alias) \
    X(constraint) X(match_condition) X(assignments) X(target) X(clauses) X(clause_kind) \
    X(predicate) X(action) X(on) X(tables) X(update_predicate) X(delete_predicate) \
    X(insert_predicate) X(path) X(local) X(limit_clause) X(limit_by) X(prewhere) X(connect_by) \
    X(relationships) X(distinct) X(sort_by) X(cluster_by) X(distribute_by) X(value_column) X(with_ordinality) X(with_offset) \
    X(with_offset_alias) \
    X(names) X(object_type)

struct Names {
#define KELDRA_DECLARE(k) PyObject* k = nullptr;
    KELDRA_AST_KEYS(KELDRA_DECLARE)
#undef KELDRA_DECLARE
    PyObject* using_ = nullptr;  // "using", a C++ keyword
    void init();   // raises on failure
    void clear();  // drops the references
};

// Borrowed field of a struct node; nullptr when absent, None or not a dict.
inline PyObject* field(PyObject* node, PyObject* key) {
    if (!node || !PyDict_Check(node)) return nullptr;
    PyObject* v = dict_get(node, key);
    return (v && v != Py_None) ? v : nullptr;
}

// The variant tag of an enum node ("" when it is neither form) and its
// payload (nullptr for a unit variant).
inline std::string_view variant(PyObject* node, PyObject** payload) {
    *payload = nullptr;
    if (!node) return {};
    if (PyUnicode_Check(node)) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(node, &n);
        if (!s) raise_current();
        return {s, static_cast<size_t>(n)};
    }
    if (PyDict_Check(node) && PyDict_GET_SIZE(node) == 1) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        PyDict_Next(node, &pos, &k, &v);
        if (!PyUnicode_Check(k)) return {};
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(k, &n);
        if (!s) raise_current();
        *payload = v;
        return {s, static_cast<size_t>(n)};
    }
    return {};
}

inline std::string_view str_view(PyObject* o) {
    if (!o || !PyUnicode_Check(o)) return {};
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) raise_current();
    return {s, static_cast<size_t>(n)};
}

// Items of a sequence node: a list (a Vec) or a tuple (a tuple variant's
// fields); empty for anything else.
struct ListView {
    PyObject* seq;
    Py_ssize_t size() const {
        if (!seq) return 0;
        if (PyList_Check(seq)) return PyList_GET_SIZE(seq);
        return PyTuple_Check(seq) ? PyTuple_GET_SIZE(seq) : 0;
    }
    PyObject* operator[](Py_ssize_t i) const {
        return PyList_Check(seq) ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i);
    }
};
inline bool is_sequence(PyObject* o) { return PyList_Check(o) || PyTuple_Check(o); }
inline ListView items(PyObject* o) { return {o}; }

// The reading context of one statement.
struct Reader {
    const Names& n;
    const Source& src;
    Statement& st;
    int depth = 0;

    // An Ident {value, quote_style, span} as a Name.
    Name ident(PyObject* node) const;
    // An ObjectName: a list of {"Identifier": Ident} parts (or plain Idents).
    std::vector<Name> object_name(PyObject* node) const;
    // The position of a node that has a span (or of an Ident), in the whole text.
    Pos pos_of(PyObject* node) const;
    void unsupported(std::string_view what, PyObject* near);
    // A name the script declared (DECLARE, LET, x := ..., a loop's record;
    // in Snowflake only a loop's record, its variables being written :x):
    // its variable, never a column.
    bool declared(const Name& name) const {
        return !name.quoted && src.variables && !src.variables->empty() && src.variables->count(ascii_lower(name.text));
    }

    // expressions.cpp
    Expr expression(PyObject* node, Sub sub, Select* owner);
    void walk(PyObject* node, Sub sub, Expr& out, Select* owner);

    // queries.cpp
    Query* query(PyObject* node, Select* parent);
    void read_query(PyObject* node, Query* q, Select* parent);
    void read_with(PyObject* with, Select* parent);  // its CTEs become visible
    void set_expr(PyObject* node, Query* q, Select* parent);
    void select(PyObject* node, Query* q);
    void table_with_joins(PyObject* twj, Select& s);  // a FROM entry and its joins
    void from_item(PyObject* relation, Select& s);
    std::optional<Name> cast_column(PyObject* expr) const;
    std::vector<std::string_view> generator_columns(PyObject* expr) const;
    void pivot(std::string_view tag, PyObject* node, FromItem& outer, Select& s);
    void function_columns(FromItem& item, std::string_view name, PyObject* node);
    std::string item_text(PyObject* select, Py_ssize_t index, Py_ssize_t count,
                          std::vector<std::pair<size_t, size_t>>& parts);
    std::vector<std::pair<size_t, size_t>> list_items_after(PyObject* select);
    std::string item_text_at(const std::vector<std::pair<size_t, size_t>>& parts, Py_ssize_t index);

    // CTEs visible where the reader is, innermost last.
    struct Cte {
        std::string key;
        Query* query;
        std::vector<Name> columns;
        Name name;
    };
    std::vector<Cte> ctes;
    // Named windows (WINDOW w AS (...)) of the selects being read, innermost last.
    std::vector<std::pair<std::string, PyObject*>> windows;
    const Cte* find_cte(const std::vector<Name>& parts) const;

    // Depth of nested reading; bounded by the C stack left.
    struct Descend {
        Reader& r;
        explicit Descend(Reader& rd);
        ~Descend() { --r.depth; }
    };
};

}  // namespace keldra::engine
