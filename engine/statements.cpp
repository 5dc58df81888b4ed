// Reading one statement: its kind, its target and its query.
//
// Statements that change data are read into the same model as a query: one
// select block whose FROM holds the written table and the tables it reads,
// whose items are the columns written (each fed by the expressions assigned
// to it) and whose clauses are the conditions that choose the rows.
#include "ast.hpp"

#include <algorithm>

namespace keldra::engine {

namespace {

// The alias of a relation (a TableFactor), or nullptr.
PyObject* alias_of(const Names& n, PyObject* relation) {
    PyObject* p = nullptr;
    variant(relation, &p);
    return field(field(p, n.alias), n.name);
}

struct StatementReader {
    Reader& r;
    const Names& n;
    Statement& st;

    // A select block of its own for a data-changing statement.
    Select& block() {
        Query* q = st.new_query();
        q->kind = BodyKind::select;
        q->select = std::make_unique<Select>();
        st.query = q;
        return *q->select;
    }

    // The item that writes `column`, added on its first assignment.
    SelectItem& written(Select& s, const Name& column, Pos pos) {
        for (SelectItem& item : s.items)
            if (item.name.key == column.key) return item;
        SelectItem& item = s.items.emplace_back();
        item.name = column;
        item.has_alias = true;
        item.pos = pos;
        return item;
    }

    // Adds `guard` (a WHEN ... AND condition) to the item as CONDITIONAL.
    static void add_guard(SelectItem& item, const Expr& guard) {
        Expr copy = guard;
        item.expr.append(std::move(copy));
    }

    // SET c = expr, t.c = expr, (a, b) = (x, y): each column fed by its
    // expression (a tuple set from one expression: each by all of it).
    void assignments(PyObject* list, Select& s, const Expr* guard) {
        const ListView all = items(list);
        for (Py_ssize_t i = 0; i < all.size(); ++i) {
            PyObject* targets = nullptr;
            const std::string_view form = variant(field(all[i], n.target), &targets);
            PyObject* value = field(all[i], n.value);
            std::vector<std::vector<Name>> columns;
            std::vector<Pos> positions;
            if (form == "ColumnName") {
                columns.push_back(r.object_name(targets));
                positions.push_back(r.pos_of(items(targets).size() ? items(targets)[0] : nullptr));
            } else if (form == "Tuple") {
                const ListView names = items(targets);
                for (Py_ssize_t k = 0; k < names.size(); ++k) {
                    columns.push_back(r.object_name(names[k]));
                    positions.push_back(r.pos_of(items(names[k]).size() ? items(names[k])[0] : nullptr));
                }
            } else {
                r.unsupported(form.empty() ? std::string_view("assignment") : form, all[i]);
                continue;
            }
            PyObject* tuple = nullptr;
            const bool paired = columns.size() > 1 && variant(value, &tuple) == "Tuple" &&
                                items(tuple).size() == static_cast<Py_ssize_t>(columns.size());
            for (size_t k = 0; k < columns.size(); ++k) {
                if (columns[k].empty()) continue;
                SelectItem& item = written(s, columns[k].back(), positions[k]);
                item.expr.append(r.expression(paired ? items(tuple)[static_cast<Py_ssize_t>(k)] : value, Sub::identity, &s));
                if (guard) add_guard(item, *guard);
            }
        }
    }

    // The target of UPDATE / DELETE that names an item of its FROM by alias
    // or by name (T-SQL's UPDATE a SET ... FROM t AS a): that item's table.
    std::vector<Name> named_item(const Select& s, const std::vector<Name>& name, size_t from) {
        if (name.size() != 1) return name;
        for (size_t i = from; i < s.from.size(); ++i) {
            const FromItem& item = s.from[i];
            if (item.alias ? item.alias->key == name[0].key
                           : (!item.table.empty() && item.table.back().key == name[0].key))
                return item.kind == FromKind::base ? item.table : name;
        }
        return name;
    }

    // True when a relation names one of the FROM entries in `list` (by alias,
    // or by its table's last name part when it has no alias).
    bool names_entry(PyObject* relation, PyObject* list) {
        PyObject* p = nullptr;
        if (variant(relation, &p) != "Table" || field(p, n.alias)) return false;
        const std::vector<Name> name = r.object_name(field(p, n.name));
        if (name.size() != 1) return false;
        const ListView entries = items(list);
        for (Py_ssize_t i = 0; i < entries.size(); ++i) {
            PyObject* rel = field(entries[i], n.relation);
            if (PyObject* alias = alias_of(n, rel)) {
                if (r.ident(alias).key == name[0].key) return true;
                continue;
            }
            PyObject* q = nullptr;
            if (variant(rel, &q) == "Table") {
                const std::vector<Name> other = r.object_name(field(q, n.name));
                if (!other.empty() && other.back().key == name[0].key) return true;
            }
        }
        return false;
    }

    // UPDATE t [AS x] [JOIN ...] SET ... [FROM ...] [WHERE ...]
    void update(PyObject* p) {
        st.kind = Kind::update;
        Select& s = block();
        PyObject* table = field(p, n.table);
        PyObject* relation = field(table, n.relation);
        PyObject* from = nullptr;
        variant(field(p, n.from), &from);  // {"AfterSet": [...]} / {"BeforeSet": [...]}
        // the target read first, unless it only names an entry of the FROM
        const bool in_from = items(field(table, n.joins)).size() == 0 && names_entry(relation, from);
        if (!in_from) r.table_with_joins(table, s);
        const size_t first_from = in_from ? 0 : s.from.size();
        const ListView entries = items(from);
        for (Py_ssize_t i = 0; i < entries.size(); ++i) r.table_with_joins(entries[i], s);
        PyObject* tp = nullptr;
        if (variant(relation, &tp) == "Table")
            st.target = in_from ? named_item(s, r.object_name(field(tp, n.name)), first_from)
                                : r.object_name(field(tp, n.name));
        assignments(field(p, n.assignments), s, nullptr);
        if (PyObject* where = field(p, n.selection))
            s.clauses.push_back(Clause{r.expression(where, Sub::filter, &s), Sub::filter});
    }

    // DELETE [t] FROM t [JOIN ...] [USING ...] WHERE ...: no column is written.
    void remove(PyObject* p) {
        st.kind = Kind::delete_;
        Select& s = block();
        PyObject* from = nullptr;
        variant(field(p, n.from), &from);  // {"WithFromKeyword": [...]} / {"WithoutKeyword": [...]}
        const ListView entries = items(from);
        for (Py_ssize_t i = 0; i < entries.size(); ++i) r.table_with_joins(entries[i], s);
        const ListView used = items(field(p, n.using_));
        for (Py_ssize_t i = 0; i < used.size(); ++i) r.table_with_joins(used[i], s);
        const ListView tables = items(field(p, n.tables));  // DELETE t1 FROM t1 JOIN t2
        if (tables.size()) {
            st.target = named_item(s, r.object_name(tables[0]), 0);
            if (tables.size() > 1)
                st.warn(MessageKind::unsupported_construct, {}, "DELETE names " + std::to_string(tables.size()) + " tables: only the first is reported");
        } else if (!s.from.empty() && s.from[0].kind == FromKind::base) {
            st.target = s.from[0].table;
        }
        if (PyObject* where = field(p, n.selection))
            s.clauses.push_back(Clause{r.expression(where, Sub::filter, &s), Sub::filter});
    }

    // MERGE INTO t USING s ON ... WHEN [NOT] MATCHED [AND ...] THEN ...
    void merge(PyObject* p) {
        st.kind = Kind::merge;
        Select& s = block();
        PyObject* table = field(p, n.table);
        r.from_item(table, s);
        PyObject* tp = nullptr;
        if (variant(table, &tp) == "Table") st.target = r.object_name(field(tp, n.name));
        r.from_item(field(p, n.source), s);
        if (PyObject* on = field(p, n.on)) s.clauses.push_back(Clause{r.expression(on, Sub::join, &s), Sub::join});
        const ListView clauses = items(field(p, n.clauses));
        for (Py_ssize_t i = 0; i < clauses.size(); ++i) {
            Expr guard;
            if (PyObject* predicate = field(clauses[i], n.predicate))
                guard = r.expression(predicate, Sub::conditional, &s);
            PyObject* action = nullptr;
            const std::string_view what = variant(field(clauses[i], n.action), &action);
            // Oracle's WHERE after UPDATE SET / INSERT VALUES guards the same columns
            for (PyObject* extra : {field(action, n.update_predicate), field(action, n.insert_predicate)})
                if (extra) guard.append(r.expression(extra, Sub::conditional, &s));
            if (what == "Update") {
                assignments(field(action, n.assignments), s, &guard);
                if (PyObject* del = field(action, n.delete_predicate))
                    s.clauses.push_back(Clause{r.expression(del, Sub::conditional, &s), Sub::conditional});
            } else if (what == "Insert") {
                insert_values(action, s, guard, clauses[i]);
            } else if (what == "Delete") {
                // the rows it removes are chosen by the guard: the statement's
                if (!guard.cols.empty() || !guard.subqueries.empty())
                    s.clauses.push_back(Clause{std::move(guard), Sub::conditional});
            } else {
                r.unsupported(what.empty() ? std::string_view("MERGE action") : what, clauses[i]);
            }
        }
    }

    // WHEN NOT MATCHED THEN INSERT [(cols)] VALUES (exprs): each column fed by
    // its value; without a column list the values name the target's columns
    // by position (resolved once the target's columns are known).
    void insert_values(PyObject* action, Select& s, const Expr& guard, PyObject* near) {
        std::vector<Name> columns;
        const ListView cols = items(field(action, n.columns));
        for (Py_ssize_t k = 0; k < cols.size(); ++k) {
            std::vector<Name> name = r.object_name(cols[k]);
            if (!name.empty()) columns.push_back(name.back());
        }
        PyObject* values = nullptr;
        const std::string_view kind = variant(field(action, n.kind), &values);
        if (kind == "Row" && s.from.size() > 1) {
            // BigQuery's INSERT ROW: every column of the source row, read
            // as the source's star (its columns once known, by name)
            const FromItem& source = s.from[1];
            SelectItem& item = s.items.emplace_back();
            item.kind = ItemKind::qualified_star;
            item.name = make_name("*", true, *r.src.dialect);
            item.qualifier = source.alias ? std::vector<Name>{*source.alias} : source.table;
            item.pos = r.pos_of(near);
            if (!item.qualifier.empty()) return;
            s.items.pop_back();
        }
        if (kind != "Values") {
            r.unsupported(kind.empty() ? std::string_view("MERGE INSERT") : kind, near);
            return;
        }
        const ListView rows = items(field(values, n.rows));
        for (Py_ssize_t row = 0; row < rows.size(); ++row) {
            const ListView cells = items(rows[row]);
            if (!columns.empty() && cells.size() != static_cast<Py_ssize_t>(columns.size()))
                st.warn(MessageKind::target_width, r.pos_of(near), "MERGE INSERT names " + std::to_string(columns.size()) + " columns for " +
                                            std::to_string(cells.size()) + " values");
            for (Py_ssize_t c = 0; c < cells.size(); ++c) {
                const size_t at = static_cast<size_t>(c);
                if (!columns.empty() && at >= columns.size()) break;
                SelectItem* item = nullptr;
                if (!columns.empty()) {
                    item = &written(s, columns[at], {});
                } else {
                    // named by position: "column<N>" until the target is known
                    item = &written(s, make_name("\x01" + std::to_string(at + 1), true, *r.src.dialect), {});
                    if (std::find(st.positional.begin(), st.positional.end(), at) == st.positional.end())
                        st.positional.push_back(at);
                }
                item->expr.append(r.expression(cells[c], Sub::identity, &s));
                add_guard(*item, guard);
            }
        }
    }

    void insert(PyObject* p) {
        st.kind = Kind::insert;
        PyObject* table = nullptr;
        const std::string_view how = variant(field(p, n.table), &table);
        if (how == "TableName") st.target = r.object_name(table);
        else if (PyObject* name = field(p, n.table_name)) st.target = r.object_name(name);
        const ListView cols = items(field(p, n.columns));
        for (Py_ssize_t i = 0; i < cols.size(); ++i) st.target_columns.push_back(r.ident(cols[i]));
        if (PyObject* source = field(p, n.source)) st.query = r.query(source, nullptr);
    }

    // INSERT OVERWRITE [LOCAL] DIRECTORY 'path' SELECT ...: written to files
    void directory(PyObject* p) {
        st.kind = Kind::insert;
        st.target_name = std::string(str_view(field(p, n.path)));
        if (PyObject* source = field(p, n.source)) st.query = r.query(source, nullptr);
    }

    // The statements a WITH can lead: {"Insert": {...}}, {"Update": {...}}, ...
    bool data_change(std::string_view tag, PyObject* p) {
        if (tag == "Insert") insert(p);
        else if (tag == "Update") update(p);
        else if (tag == "Delete") remove(p);
        else if (tag == "Merge") merge(p);
        else return false;
        return true;
    }
};

}  // namespace

void read_statement(const Names& names, const Source& src, PyObject* node, Statement& st) {
    Reader r{names, src, st, 0, {}, {}};
    const Names& n = names;
    StatementReader sr{r, n, st};
    PyObject* p = nullptr;
    const std::string_view tag = variant(node, &p);
    if (tag == "Query") {
        // WITH ... INSERT / UPDATE / DELETE / MERGE: the body holds the
        // statement ({"Update": {"Update": {...}}}); its CTEs are visible to it
        PyObject* body = nullptr;
        PyObject* inner = nullptr;
        const std::string_view body_tag = variant(field(p, n.body), &body);
        if (body_tag == "Insert" || body_tag == "Update" || body_tag == "Delete" || body_tag == "Merge") {
            r.read_with(field(p, n.with), nullptr);
            const std::string_view inner_tag = variant(body, &inner);
            if (!sr.data_change(inner_tag, inner)) r.unsupported(body_tag, body);
            return;
        }
        st.kind = Kind::query;
        st.query = r.query(p, nullptr);
        // SELECT ... INTO t creates t from the query
        PyObject* select = nullptr;
        if (variant(field(p, n.body), &select) == "Select")
            if (PyObject* into = field(select, n.into)) {
                st.kind = Kind::create_table_as;
                st.target = r.object_name(field(into, n.name));
            }
    } else if (sr.data_change(tag, p)) {
    } else if (tag == "Directory") {
        sr.directory(p);
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
        st.kind = Kind::other;  // DDL, SET, USE, ...: no column lineage
        // DROP TABLE / VIEW: the tables named are gone for what follows
        if (tag == "Drop" && (str_view(field(p, n.object_type)) == "Table" || str_view(field(p, n.object_type)) == "View")) {
            const ListView names_ = items(field(p, n.names));
            for (Py_ssize_t i = 0; i < names_.size(); ++i) st.dropped.push_back(r.object_name(names_[i]));
        }
    }
}

}  // namespace keldra::engine
