// Reading one statement: its kind, its target and its query.
#include "ast.hpp"

namespace keldra::engine {

void read_statement(const Names& names, const Source& src, PyObject* node, Statement& st) {
    Reader r{names, src, st, 0, {}, {}};
    const Names& n = names;
    PyObject* p = nullptr;
    const std::string_view tag = variant(node, &p);
    PyObject* body = nullptr;
    const bool with_insert = tag == "Query" && variant(field(p, n.body), &body) == "Insert";
    if (with_insert) {
        // WITH ... INSERT INTO ...: the CTEs are visible to the insert's query
        r.read_with(field(p, n.with), nullptr);
        variant(body, &p);  // the body holds the INSERT statement: {"Insert": {...}}
    }
    if (tag == "Query" && !with_insert) {
        st.kind = Kind::query;
        st.query = r.query(p, nullptr);
        // SELECT ... INTO t creates t from the query
        PyObject* select = nullptr;
        if (variant(field(p, n.body), &select) == "Select")
            if (PyObject* into = field(select, n.into)) {
                st.kind = Kind::create_table_as;
                st.target = r.object_name(field(into, n.name));
            }
    } else if (tag == "Insert" || with_insert) {
        st.kind = Kind::insert;
        PyObject* table = nullptr;
        const std::string_view how = variant(field(p, n.table), &table);
        if (how == "TableName") st.target = r.object_name(table);
        else if (PyObject* name = field(p, n.table_name)) st.target = r.object_name(name);
        const ListView cols = items(field(p, n.columns));
        for (Py_ssize_t i = 0; i < cols.size(); ++i) st.target_columns.push_back(r.ident(cols[i]));
        if (PyObject* source = field(p, n.source)) st.query = r.query(source, nullptr);
    } else if (tag == "CreateTable") {
        st.target = r.object_name(field(p, n.name));
        const ListView cols = items(field(p, n.columns));
        for (Py_ssize_t i = 0; i < cols.size(); ++i) st.target_columns.push_back(r.ident(field(cols[i], n.name)));
        if (PyObject* query = field(p, n.query)) {
            st.kind = Kind::create_table_as;
            st.query = r.query(query, nullptr);
        } else {
            st.kind = Kind::create_table;
        }
    } else if (tag == "CreateView") {
        st.kind = Kind::create_view;
        st.target = r.object_name(field(p, n.name));
        const ListView cols = items(field(p, n.columns));
        for (Py_ssize_t i = 0; i < cols.size(); ++i) st.target_columns.push_back(r.ident(field(cols[i], n.name)));
        if (PyObject* query = field(p, n.query)) st.query = r.query(query, nullptr);
    } else {
        st.kind = Kind::other;
        // Statements that move data between columns but are not followed
        // (yet) say so; the rest (DDL, SET, USE, ...) have no column lineage.
        if (tag == "Update" || tag == "Merge")
            st.warn(MessageKind::unanalysed_statement, {}, ascii_upper(tag) + " statements are not analysed: their columns have no lineage");
    }
}

}  // namespace keldra::engine
