// Reading query blocks: WITH, set operations, SELECT, VALUES and FROM items.
#include "ast.hpp"
#include "split.hpp"
#include "table_functions.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace keldra::engine {

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// Runs of blanks become one space; leading and trailing blanks go.
std::string collapse_blanks(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    bool gap = false;
    for (char c : s) {
        if (blank(c)) {
            gap = !out.empty();
            continue;
        }
        if (gap) out += ' ';
        gap = false;
        out += c;
    }
    return out;
}

// Skip a leading keyword (case-insensitive, whole word) and the blanks after it.
bool skip_word(std::string_view& s, const char* word) {
    const size_t n = std::strlen(word);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = s[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != word[i]) return false;
    }
    if (s.size() > n && (std::isalnum(static_cast<unsigned char>(s[n])) || s[n] == '_')) return false;
    s.remove_prefix(n);
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    return true;
}

void skip_parens(std::string_view& s) {
    if (s.empty() || s.front() != '(') return;
    int depth = 0;
    size_t i = 0;
    for (; i < s.size(); ++i) {
        if (s[i] == '(') ++depth;
        if (s[i] == ')' && --depth == 0) break;
    }
    s.remove_prefix(i < s.size() ? i + 1 : s.size());
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
}

// The fields of a SELECT and of a query, each read or known to carry no
// lineage, or named as a clause that is not read: a non-empty one gives a
// warning, as does a field this list does not know.
struct ClauseRule {
    std::string_view key;
    const char* clause;  // its name in a warning
    bool read;
};
constexpr ClauseRule select_rules[] = {
    {"cluster_by", "CLUSTER BY", true},     {"connect_by", "CONNECT BY", true},
    {"distinct", "DISTINCT", true},         {"distribute_by", "DISTRIBUTE BY", true},
    {"exclude", "EXCLUDE", false},          {"flavor", "FROM-first", true},
    {"from", "FROM", true},                 {"group_by", "GROUP BY", true},
    {"having", "HAVING", true},             {"into", "INTO", true},
    {"lateral_views", "LATERAL VIEW", true}, {"named_window", "WINDOW", true},
    {"optimizer_hint", "optimizer hint", true}, {"prewhere", "PREWHERE", true},         {"projection", "select list", true},
    {"qualify", "QUALIFY", true},           {"select_modifiers", "select modifiers", true},
    {"select_token", "SELECT", true},       {"selection", "WHERE", true},
    {"sort_by", "SORT BY", true},           {"top", "TOP", true},
    {"top_before_distinct", "TOP", true},   {"value_table_mode", "AS STRUCT / AS VALUE", false},
    {"window_before_qualify", "WINDOW", true},
};
constexpr ClauseRule query_rules[] = {
    {"body", "query body", true},         {"fetch", "FETCH", true},
    {"for_clause", "FOR XML / FOR JSON", false}, {"format_clause", "FORMAT", true},
    {"limit_clause", "LIMIT", true},      {"locks", "FOR UPDATE", true},
    {"order_by", "ORDER BY", true},       {"pipe_operators", "pipe operators", false},
    {"settings", "SETTINGS", true},       {"with", "WITH", true},
};
template <size_t N>
constexpr bool rules_sorted(const ClauseRule (&rules)[N]) {
    for (size_t i = 1; i < N; ++i)
        if (!(rules[i - 1].key < rules[i].key)) return false;
    return true;
}
static_assert(rules_sorted(select_rules) && rules_sorted(query_rules), "the clause rules stay sorted by key");

bool empty_field(PyObject* v) {
    if (v == Py_None || v == Py_False) return true;
    if (PyList_Check(v)) return PyList_GET_SIZE(v) == 0;
    if (PyTuple_Check(v)) return PyTuple_GET_SIZE(v) == 0;
    if (PyDict_Check(v)) return PyDict_GET_SIZE(v) == 0;
    if (PyUnicode_Check(v)) return str_view(v) == "None";
    return false;
}

template <size_t N>
void check_clauses(Reader& r, PyObject* node, const ClauseRule (&rules)[N], PyObject* near) {
    if (!node || !PyDict_Check(node)) return;
    Py_ssize_t at = 0;
    PyObject *k, *v;
    while (PyDict_Next(node, &at, &k, &v)) {
        const std::string_view key = str_view(k);
        const auto it = std::lower_bound(std::begin(rules), std::end(rules), key,
                                         [](const ClauseRule& c, std::string_view x) { return c.key < x; });
        const bool known = it != std::end(rules) && it->key == key;
        if (known && it->read) continue;
        if (key == "span" || empty_field(v)) continue;
        r.st.warn(MessageKind::unsupported_construct, r.pos_of(near), known ? "the " + std::string(it->clause) + " clause is not read: its columns have no lineage"
                                        : "the clause '" + std::string(key) + "' is not read: its columns have no lineage");
    }
}

}  // namespace

Query* Reader::query(PyObject* node, Select* parent) {
    Query* q = st.new_query();
    read_query(node, q, parent);
    return q;
}

void Reader::read_query(PyObject* node, Query* q, Select* parent) {
    Descend guard(*this);
    q->parent = parent;
    const size_t visible = ctes.size();
    check_clauses(*this, node, query_rules, nullptr);
    read_with(field(node, n.with), parent);
    set_expr(field(node, n.body), q, parent);
    // LIMIT n BY x (ClickHouse) chooses rows per x
    PyObject* limit = nullptr;
    variant(field(node, n.limit_clause), &limit);
    if (items(field(limit, n.limit_by)).size())
        st.warn(MessageKind::unsupported_construct, pos_of(field(node, n.body)), "the LIMIT BY clause is not read: its columns have no lineage");
    PyObject* order = field(node, n.order_by);
    PyObject* exprs = nullptr;
    if (variant(field(order, n.kind), &exprs) == "Expressions") {
        Select* owner = q->kind == BodyKind::select ? q->select.get() : parent;
        const ListView list = items(exprs);
        for (Py_ssize_t i = 0; i < list.size(); ++i)
            q->order_by.push_back(Clause{expression(field(list[i], n.expr), Sub::sort, owner), Sub::sort, Aliases::first});
    }
    ctes.resize(visible);
}

void Reader::read_with(PyObject* with, Select* parent) {
    if (!with) return;
    PyObject* flag = field(with, n.recursive);
    const bool recursive = flag == Py_True;
    const ListView defs = items(field(with, n.cte_tables));
    std::vector<Cte> declared;
    for (Py_ssize_t i = 0; i < defs.size(); ++i) {
        PyObject* alias = field(defs[i], n.alias);
        Cte& cte = declared.emplace_back();
        cte.name = ident(field(alias, n.name));
        cte.key = cte.name.key;
        const ListView cols = items(field(alias, n.columns));
        for (Py_ssize_t c = 0; c < cols.size(); ++c) cte.columns.push_back(ident(field(cols[c], n.name)));
        cte.query = st.new_query();
        cte.query->recursive_cte = recursive;
    }
    // Under RECURSIVE every CTE of the WITH is visible in every body;
    // otherwise a CTE sees the ones before it, and its own name inside its
    // body is the table of that name.
    if (recursive) ctes.insert(ctes.end(), declared.begin(), declared.end());
    for (Py_ssize_t i = 0; i < defs.size(); ++i) {
        read_query(field(defs[i], n.query), declared[i].query, parent);
        if (!recursive) ctes.push_back(declared[i]);
    }
}

void Reader::set_expr(PyObject* node, Query* q, Select* parent) {
    Descend guard(*this);
    PyObject* p = nullptr;
    const std::string_view tag = variant(node, &p);
    if (tag == "Select") {
        q->kind = BodyKind::select;
        q->select = std::make_unique<Select>();
        select(p, q);
    } else if (tag == "Query") {
        q->kind = BodyKind::query;
        q->inner = query(p, parent);
    } else if (tag == "SetOperation") {
        q->kind = BodyKind::set_operation;
        q->left = st.new_query();
        q->left->parent = parent;
        set_expr(field(p, n.left), q->left, parent);
        q->right = st.new_query();
        q->right->parent = parent;
        set_expr(field(p, n.right), q->right, parent);
    } else if (tag == "Values") {
        q->kind = BodyKind::values;
        const ListView rows = items(field(p, n.rows));
        for (Py_ssize_t r = 0; r < rows.size(); ++r) {
            auto& row = q->rows.emplace_back();
            const ListView cells = items(rows[r]);
            for (Py_ssize_t c = 0; c < cells.size(); ++c)
                row.push_back(expression(cells[c], Sub::identity, parent));
        }
    } else {
        q->kind = BodyKind::unsupported;
        unsupported(tag.empty() ? std::string_view("query body") : tag, p);
    }
}

std::string Reader::item_text(PyObject* select_node, Py_ssize_t index, Py_ssize_t count,
                              std::vector<std::pair<size_t, size_t>>& parts) {
    if (parts.empty()) parts = list_items_after(select_node);
    const std::string fallback = "_col" + std::to_string(index + 1);
    if (static_cast<Py_ssize_t>(parts.size()) != count) return fallback;
    return item_text_at(parts, index);
}

// The comma-separated items of a select list as written, found once per
// select (empty when the text cannot be located).
std::vector<std::pair<size_t, size_t>> Reader::list_items_after(PyObject* select_node) {
    PyObject* end = field(field(field(select_node, n.select_token), n.span), n.end);
    PyObject* line = field(end, n.line);
    PyObject* column = field(end, n.column);
    if (!line || !column || !PyLong_Check(line) || !PyLong_Check(column)) return {};
    const size_t at = src.offset(static_cast<int>(PyLong_AsLong(line)), static_cast<int>(PyLong_AsLong(column)));
    if (PyErr_Occurred()) raise_current();
    if (at == std::string_view::npos) return {};
    return list_items(src.text, at, *src.dialect);
}

std::string Reader::item_text_at(const std::vector<std::pair<size_t, size_t>>& parts, Py_ssize_t index) {
    const std::string fallback = "_col" + std::to_string(index + 1);
    std::string_view text = src.text.substr(parts[index].first, parts[index].second - parts[index].first);
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    if (index == 0) {
        if (skip_word(text, "DISTINCT")) {
            if (skip_word(text, "ON")) skip_parens(text);
        } else {
            skip_word(text, "ALL");
        }
        if (skip_word(text, "TOP")) {
            if (!text.empty() && text.front() == '(') skip_parens(text);
            else while (!text.empty() && !blank(text.front())) text.remove_prefix(1);
            while (!text.empty() && blank(text.front())) text.remove_prefix(1);
            skip_word(text, "PERCENT");
            if (skip_word(text, "WITH")) skip_word(text, "TIES");
        }
    }
    std::string out = collapse_blanks(text);
    return out.empty() ? fallback : out;
}

// Postgres names an unaliased cast of a column after the column: x::date is x.
std::optional<Name> Reader::cast_column(PyObject* expr) const {
    if (std::string_view(src.dialect->family) != "postgres") return std::nullopt;
    PyObject* p = nullptr;
    std::string_view tag = variant(expr, &p);
    bool cast = false;
    while (tag == "Cast" || tag == "Nested") {
        cast = cast || tag == "Cast";
        expr = tag == "Cast" ? field(p, n.expr) : p;
        tag = variant(expr, &p);
    }
    if (!cast) return std::nullopt;
    if (tag == "Identifier") return ident(p);
    if (tag == "CompoundIdentifier" && items(p).size()) return ident(items(p)[items(p).size() - 1]);
    return std::nullopt;
}

// The columns an unaliased generator call in a select list gives (Spark's
// explode and posexplode), empty for any other expression.
std::vector<std::string_view> Reader::generator_columns(PyObject* expr) const {
    PyObject* p = nullptr;
    if (variant(expr, &p) != "Function") return {};
    const std::vector<Name> name = object_name(field(p, n.name));
    return name.empty() ? std::vector<std::string_view>{} : select_list_columns(ascii_lower(name.back().text), *src.dialect);
}

void Reader::select(PyObject* node, Query* q) {
    Select& s = *q->select;
    const size_t windows_before = windows.size();
    const ListView named = items(field(node, n.named_window));
    for (Py_ssize_t i = 0; i < named.size(); ++i) {
        const ListView pair = items(named[i]);
        if (pair.size() == 2) windows.emplace_back(ident(pair[0]).key, pair[1]);
    }

    const ListView from = items(field(node, n.from));
    for (Py_ssize_t i = 0; i < from.size(); ++i) table_with_joins(from[i], s);

    // Hive's LATERAL VIEW explode(c.items) i AS item: a function item
    const ListView laterals = items(field(node, n.lateral_views));
    for (Py_ssize_t i = 0; i < laterals.size(); ++i) {
        FromItem lateral;
        lateral.kind = FromKind::function;
        lateral.args = expression(field(laterals[i], n.lateral_view), Sub::transformation, &s);
        std::vector<Name> name = object_name(field(laterals[i], n.lateral_view_name));
        if (!name.empty()) lateral.alias = name.back();
        const ListView cols = items(field(laterals[i], n.lateral_col_alias));
        for (Py_ssize_t c = 0; c < cols.size(); ++c) lateral.alias_columns.push_back(ident(cols[c]));
        PyObject* call = nullptr;
        if (variant(field(laterals[i], n.lateral_view), &call) == "Function") {
            lateral.table = object_name(field(call, n.name));
            if (!lateral.table.empty()) function_columns(lateral, lateral.table.back().text, nullptr);
            lateral.table.clear();  // it is named by its alias only
        }
        s.from.push_back(std::move(lateral));
    }

    const ListView projection = items(field(node, n.projection));
    std::vector<std::pair<size_t, size_t>> written;  // the items as written, once needed
    for (Py_ssize_t i = 0; i < projection.size(); ++i) {
        PyObject* p = nullptr;
        const std::string_view tag = variant(projection[i], &p);
        SelectItem item;
        if (tag == "UnnamedExpr" || tag == "ExprWithAlias") {
            PyObject* expr = tag == "UnnamedExpr" ? p : field(p, n.expr);
            item.expr = expression(expr, Sub::identity, &s);
            if (tag == "ExprWithAlias") {
                item.name = ident(field(p, n.alias));
                item.has_alias = true;
                item.pos = pos_of(field(p, n.alias));
            } else if (item.expr.bare && !item.expr.cols.empty()) {
                item.name = item.expr.cols[0].parts.back();
                item.pos = item.expr.cols[0].pos;
            } else if (std::optional<Name> cast = cast_column(expr)) {
                item.name = std::move(*cast);
            } else if (const std::vector<std::string_view> generated = generator_columns(expr); !generated.empty()) {
                // explode(arr) gives col; posexplode(arr) pos and col
                for (size_t g = 0; g + 1 < generated.size(); ++g) {
                    SelectItem extra = item;
                    extra.name = make_name(std::string(generated[g]), false, *src.dialect);
                    s.items.push_back(std::move(extra));
                }
                item.name = make_name(std::string(generated.back()), false, *src.dialect);
            } else {
                item.name = make_name(item_text(node, i, projection.size(), written), true, *src.dialect);
            }
        } else if (tag == "Wildcard" || tag == "QualifiedWildcard") {
            PyObject* options = p;
            if (tag == "QualifiedWildcard") {
                item.kind = ItemKind::qualified_star;
                const ListView pair = items(p);
                if (pair.size() != 2) continue;
                PyObject* kind_payload = nullptr;
                if (variant(pair[0], &kind_payload) == "ObjectName") item.qualifier = object_name(kind_payload);
                item.pos = item.qualifier.empty() ? Pos{} : pos_of(items(kind_payload)[0]);
                options = pair[1];
            } else {
                item.kind = ItemKind::star;
            }
            item.name = make_name("*", true, *src.dialect);
            // * EXCEPT (a, b) / * EXCLUDE (a) / * REPLACE (expr AS a) / * RENAME (a AS b)
            if (PyObject* except = field(options, n.opt_except)) {
                item.excluded.push_back(ident(field(except, n.first_element)));
                const ListView more = items(field(except, n.additional_elements));
                for (Py_ssize_t k = 0; k < more.size(); ++k) item.excluded.push_back(ident(more[k]));
            }
            PyObject* names = nullptr;
            const std::string_view ex = variant(field(options, n.opt_exclude), &names);
            if (ex == "Single") item.excluded.push_back(ident(names));
            for (Py_ssize_t k = 0; ex == "Multiple" && k < items(names).size(); ++k)
                item.excluded.push_back(ident(items(names)[k]));
            const ListView replaced = items(field(field(options, n.opt_replace), n.items));
            for (Py_ssize_t k = 0; k < replaced.size(); ++k)
                item.replaced.emplace_back(ident(field(replaced[k], n.column_name)),
                                           expression(field(replaced[k], n.expr), Sub::identity, &s));
            PyObject* renames = nullptr;
            const std::string_view rn = variant(field(options, n.opt_rename), &renames);
            if (rn == "Single") item.renamed.emplace_back(ident(field(renames, n.ident)), ident(field(renames, n.alias)));
            for (Py_ssize_t k = 0; rn == "Multiple" && k < items(renames).size(); ++k)
                item.renamed.emplace_back(ident(field(items(renames)[k], n.ident)),
                                          ident(field(items(renames)[k], n.alias)));
        } else {
            unsupported(tag.empty() ? std::string_view("select item") : tag, p);
            continue;
        }
        s.items.push_back(std::move(item));
    }

    check_clauses(*this, node, select_rules, field(node, n.select_token));
    if (PyObject* where = field(node, n.selection))
        s.clauses.push_back(Clause{expression(where, Sub::filter, &s), Sub::filter});
    if (PyObject* where = field(node, n.prewhere))  // ClickHouse
        s.clauses.push_back(Clause{expression(where, Sub::filter, &s), Sub::filter});
    // CONNECT BY: START WITH chooses the roots, the relationship joins the rows
    const ListView connect = items(field(node, n.connect_by));
    for (Py_ssize_t i = 0; i < connect.size(); ++i) {
        PyObject* c = nullptr;
        const std::string_view how = variant(connect[i], &c);
        if (how == "StartWith") s.clauses.push_back(Clause{expression(field(c, n.condition), Sub::filter, &s), Sub::filter});
        else if (how == "ConnectBy") s.clauses.push_back(Clause{expression(field(c, n.relationships), Sub::join, &s), Sub::join});
        else unsupported(how.empty() ? std::string_view("CONNECT BY") : how, c);
    }
    // DISTINCT ON (a) keeps one row per a; SORT BY, CLUSTER BY and DISTRIBUTE BY
    // order and spread the rows
    PyObject* on = nullptr;
    if (variant(field(node, n.distinct), &on) == "On")
        s.clauses.push_back(Clause{expression(on, Sub::group_by, &s), Sub::group_by, Aliases::before_unknown});
    for (PyObject* list : {field(node, n.sort_by), field(node, n.cluster_by), field(node, n.distribute_by)}) {
        const ListView exprs = items(list);
        for (Py_ssize_t i = 0; i < exprs.size(); ++i) {
            PyObject* e = field(exprs[i], n.expr) ? field(exprs[i], n.expr) : exprs[i];  // SORT BY holds OrderByExprs
            s.clauses.push_back(Clause{expression(e, Sub::sort, &s), Sub::sort, Aliases::first});
        }
    }
    PyObject* groups = nullptr;
    if (variant(field(node, n.group_by), &groups) == "Expressions") {
        const ListView pair = items(groups);
        const ListView exprs = items(pair.size() ? pair[0] : nullptr);
        for (Py_ssize_t i = 0; i < exprs.size(); ++i)
            s.clauses.push_back(Clause{expression(exprs[i], Sub::group_by, &s), Sub::group_by, Aliases::before_unknown});
    } else if (variant(field(node, n.group_by), &groups) == "All") {
        s.group_by_all = true;
    }
    if (PyObject* having = field(node, n.having))
        s.clauses.push_back(Clause{expression(having, Sub::filter, &s), Sub::filter, Aliases::first});
    if (PyObject* qualify = field(node, n.qualify))
        s.clauses.push_back(Clause{expression(qualify, Sub::filter, &s), Sub::filter, Aliases::first});
    windows.resize(windows_before);
}

// One FROM entry: its relation and its joins, every join form read here.
void Reader::table_with_joins(PyObject* twj, Select& s) {
    from_item(field(twj, n.relation), s);
    const ListView joins = items(field(twj, n.joins));
    for (Py_ssize_t j = 0; j < joins.size(); ++j) {
        from_item(field(joins[j], n.relation), s);
        // {"Inner": constraint}, {"Join": "Natural"}, {"CrossJoin": "None"},
        // {"AsOf": {"match_condition": expr, "constraint": constraint}}, "CrossApply"
        PyObject* constraint = nullptr;
        const std::string_view how = variant(field(joins[j], n.join_operator), &constraint);
        if (how == "AsOf") {
            if (PyObject* match = field(constraint, n.match_condition))
                s.clauses.push_back(Clause{expression(match, Sub::join, &s), Sub::join});
            constraint = field(constraint, n.constraint);
        }
        PyObject* c = nullptr;
        const std::string_view kind = variant(constraint, &c);
        if (kind == "On") {
            s.clauses.push_back(Clause{expression(c, Sub::join, &s), Sub::join});
        } else if (kind == "Using") {
            Expr used;
            const ListView names = items(c);
            for (Py_ssize_t k = 0; k < names.size(); ++k) {
                std::vector<Name> parts = object_name(names[k]);
                if (parts.empty()) continue;
                s.using_keys.push_back(parts.back().key);
                used.cols.push_back(ColRef{{parts.back()}, Sub::join, pos_of(names[k])});
            }
            s.clauses.push_back(Clause{std::move(used), Sub::join});
        } else if (kind == "Natural" && !s.from.empty()) {
            s.natural.push_back(s.from.size() - 1);  // its columns are known only later
        }
    }
}

// PIVOT / UNPIVOT: the pivoted item stays, under the pivot's alias, with the
// columns the pivot consumes hidden and the ones it adds fed by theirs.
void Reader::pivot(std::string_view tag, PyObject* p, FromItem& outer, Select& s) {
    const size_t before = s.from.size();
    from_item(field(p, n.table), s);
    if (s.from.size() != before + 1) return;
    FromItem& pivoted = s.from.back();
    if (outer.alias) pivoted.alias = outer.alias;
    auto hide = [&](const Expr& e) {
        for (const ColRef& c : e.cols) pivoted.hidden.push_back(c.parts.back());
    };
    if (tag == "Unpivot") {
        // UNPIVOT (v FOR m IN (a, b)): v is fed by a and b, m holds their names
        Expr values;
        const ListView cols = items(field(p, n.columns));
        for (Py_ssize_t i = 0; i < cols.size(); ++i)
            values.append(expression(field(cols[i], n.expr), Sub::identity, &s));
        hide(values);
        Expr named = expression(field(p, n.value), Sub::identity, &s);
        for (const ColRef& c : named.cols) pivoted.added.push_back({c.parts.back(), values});
        if (PyObject* name = field(p, n.name)) pivoted.added.push_back({ident(name), {}});
        return;
    }
    // PIVOT (agg(x) [AS a], ... FOR k IN (v1 [AS n1], ...)): a column per value
    // (and per aggregate, named v_a, when there are several), fed by its
    // aggregate; k and x are consumed
    hide(expression(field(p, n.value_column), Sub::identity, &s));
    std::vector<std::pair<std::optional<Name>, Expr>> aggregates;
    const ListView aggs = items(field(p, n.aggregate_functions));
    for (Py_ssize_t i = 0; i < aggs.size(); ++i) {
        Expr e = expression(field(aggs[i], n.expr), Sub::transformation, &s);
        hide(e);
        std::optional<Name> alias;
        if (PyObject* a = field(aggs[i], n.alias)) alias = ident(a);
        aggregates.emplace_back(std::move(alias), std::move(e));
    }
    PyObject* values = nullptr;
    if (variant(field(p, n.value_source), &values) != "List") {
        st.warn(MessageKind::unexpanded_star, pos_of(p), "the value columns of a PIVOT over a subquery or ANY are not known");
        return;
    }
    std::vector<Name> names;
    const ListView list = items(values);
    for (Py_ssize_t i = 0; i < list.size(); ++i) {
        if (PyObject* alias = field(list[i], n.alias)) {
            names.push_back(ident(alias));
            continue;
        }
        // {"expr": {"Value": {"value": {"SingleQuotedString": "JAN"}}}}
        PyObject* value = nullptr;
        PyObject* literal = nullptr;
        variant(field(list[i], n.expr), &value);
        variant(field(value, n.value), &literal);
        std::string text(str_view(literal));
        if (text.empty()) {
            Expr e = expression(field(list[i], n.expr), Sub::identity, &s);
            if (e.bare && !e.cols.empty()) text = e.cols[0].parts.back().text;
        }
        if (!text.empty()) names.push_back(make_name(std::move(text), false, *src.dialect));
    }
    for (const Name& v : names) {
        if (aggregates.size() <= 1) {
            pivoted.added.push_back({v, aggregates.empty() ? Expr{} : aggregates[0].second});
            continue;
        }
        for (const auto& [alias, e] : aggregates)
            pivoted.added.push_back({alias ? make_name(v.text + "_" + alias->text, v.quoted || alias->quoted, *src.dialect) : v, e});
    }
    // with a column list, its last names are the added columns'
    const size_t count = pivoted.added.size();
    if (count && outer.alias_columns.size() >= count)
        for (size_t i = 0; i < count; ++i)
            pivoted.added[i].name = outer.alias_columns[outer.alias_columns.size() - count + i];
}

// A table function's columns where they are known (table_functions.cpp); a
// column list of its alias names them instead.
void Reader::function_columns(FromItem& item, std::string_view name, PyObject* node) {
    const std::string lower = ascii_lower(name);
    const bool ordinality = field(node, n.with_ordinality) == Py_True;
    if (!item.alias_columns.empty()) return;
    const Dialect& d = *src.dialect;
    if (const TableFunction* f = table_function(lower, d)) {
        item.known_function = true;
        item.star_columns = f->star;
        if (f->naming == FunctionNaming::scalar)
            item.function_columns.push_back(item.alias ? *item.alias : make_name(std::string(f->name), false, d));
        for (size_t i = 0; f->naming == FunctionNaming::fixed && i < f->count(); ++i)
            item.function_columns.push_back(make_name(std::string(f->columns[i]), false, d));
    } else if (item.unnest && item.alias) {
        // UNNEST(arr) AS x [WITH OFFSET [AS o]]: x (and the offset)
        item.known_function = true;
        item.function_columns.push_back(*item.alias);
        if (field(node, n.with_offset) == Py_True) {
            PyObject* o = field(node, n.with_offset_alias);
            item.function_columns.push_back(o ? ident(o) : make_name("offset", false, d));
        }
    }
    if (ordinality && item.known_function) {
        item.function_columns.push_back(make_name("ordinality", false, d));
        if (item.star_columns) ++item.star_columns;
    }
}

void Reader::from_item(PyObject* relation, Select& s) {
    Descend guard(*this);
    PyObject* p = nullptr;
    const std::string_view tag = variant(relation, &p);
    FromItem item;
    PyObject* alias = field(p, n.alias);
    if (alias) {
        item.alias = ident(field(alias, n.name));
        const ListView cols = items(field(alias, n.columns));
        for (Py_ssize_t c = 0; c < cols.size(); ++c) item.alias_columns.push_back(ident(field(cols[c], n.name)));
    }
    if (tag == "Table") {
        PyObject* name = field(p, n.name);
        item.pos = pos_of(items(name).size() ? items(name)[0] : nullptr);
        if (PyObject* args = field(p, n.args)) {  // a table function: f(1, 2) AS x
            item.kind = FromKind::function;
            item.args = expression(args, Sub::transformation, &s);
            item.table = object_name(name);
            if (!item.table.empty()) function_columns(item, item.table.back().text, p);
        } else if (const Cte* cte = find_cte(item.table = object_name(name))) {
            item.kind = FromKind::query;
            item.is_cte = true;
            item.query = cte->query;
            item.cte_name = cte->name;
            if (item.alias_columns.empty()) item.alias_columns = cte->columns;
        } else {
            item.kind = FromKind::base;
        }
    } else if (tag == "Derived") {
        item.kind = FromKind::query;
        item.query = query(field(p, n.subquery), &s);
    } else if (tag == "NestedJoin") {
        // (a JOIN b USING (id)): its items join the enclosing FROM, read as
        // any other join
        table_with_joins(field(p, n.table_with_joins), s);
        return;
    } else if (tag == "UNNEST" || tag == "TableFunction" || tag == "Function") {
        item.kind = FromKind::function;
        item.unnest = tag == "UNNEST";
        PyObject* args = tag == "UNNEST" ? field(p, n.array_exprs) : tag == "TableFunction" ? field(p, n.expr) : field(p, n.args);
        item.args = expression(args, Sub::transformation, &s);
        PyObject* call = nullptr;
        if (tag == "Function") item.table = object_name(field(p, n.name));
        else if (tag == "TableFunction" && variant(field(p, n.expr), &call) == "Function")
            item.table = object_name(field(call, n.name));  // TABLE(FLATTEN(...))
        function_columns(item, tag == "UNNEST" ? std::string_view("unnest")
                               : item.table.empty() ? std::string_view() : std::string_view(item.table.back().text), p);
    } else if (tag == "Pivot" || tag == "Unpivot") {
        pivot(tag, p, item, s);
        return;
    } else {
        unsupported(tag.empty() ? std::string_view("FROM item") : tag, p);
        item.kind = FromKind::function;
    }
    s.from.push_back(std::move(item));
}

}  // namespace keldra::engine
