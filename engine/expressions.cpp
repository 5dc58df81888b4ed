// The expression walk: every column an expression reads, with the subtype its
// place gives it, and every subquery it holds.
//
// Expression kinds that carry names which are not columns (function names,
// types, field names after a dot, lambda parameters) or that change the
// subtype (aggregates, CASE, windows) are handled by name; every other node
// is walked through all its fields, so that a kind this code does not know
// still gives its columns.
#include "ast.hpp"

#include <algorithm>
#include <array>

namespace keldra::engine {

namespace {

// The function tables below are searched by binary search: each is checked
// at compile time to stay sorted, without duplicates.
template <class T, size_t N, class Key>
constexpr bool strictly_sorted(const T (&a)[N], Key key) {
    for (size_t i = 1; i < N; ++i)
        if (!(key(a[i - 1]) < key(a[i]))) return false;
    return true;
}
constexpr auto self = [](std::string_view s) { return s; };

constexpr std::string_view aggregates[] = {
    "any_value", "approx_count_distinct", "approx_distinct", "approx_percentile",
    "approx_quantiles", "approx_top_count", "approx_top_sum", "arbitrary", "arg_max",
    "arg_min", "argmax", "argmin", "array_agg", "avg", "bit_and", "bit_or", "bit_xor",
    "bool_and", "bool_or", "collect_list", "collect_set", "corr", "count", "count_if",
    "countif", "covar_pop", "covar_samp", "every", "first", "first_value_agg",
    "group_concat", "grouparray", "groupuniqarray", "hll_count", "json_agg", "json_object_agg", "jsonb_agg",
    "jsonb_object_agg", "kurtosis", "last", "listagg", "logical_and", "logical_or", "max",
    "max_by", "median", "min", "min_by", "mode", "object_agg", "percentile",
    "percentile_approx", "percentile_cont", "percentile_disc", "regr_avgx", "regr_avgy",
    "regr_count", "regr_intercept", "regr_r2", "regr_slope", "regr_sxx", "regr_sxy",
    "regr_syy", "skewness", "stddev", "stddev_pop", "stddev_samp", "string_agg", "sum",
    "uniq", "uniq_exact", "uniqcombined", "uniqexact", "uniqhll12", "var_pop", "var_samp", "variance", "xmlagg"};
static_assert(strictly_sorted(aggregates, self));

bool is_aggregate(std::string_view lower) {
    return std::binary_search(std::begin(aggregates), std::end(aggregates), lower);
}

// Functions that take a date part as a bare word: first, as in T-SQL and
// Snowflake (datediff(day, a, b), abbreviations and plurals included), or
// last, as in BigQuery (date_diff(a, b, DAY), full names only).
enum DatePartAt : int { nowhere = 0, first = 1, last = 2 };

struct DatePartFunction {
    std::string_view name;
    int at;
};
constexpr DatePartFunction date_part_functions[] = {
    {"date_diff", last},      {"date_part", first},         {"date_trunc", first | last}, {"dateadd", first},
    {"datediff", first},      {"datename", first},          {"datepart", first},          {"datetime_diff", last},
    {"datetime_trunc", last}, {"last_day", last},           {"time_diff", last},          {"time_trunc", last},
    {"timeadd", first},       {"timediff", first},          {"timestamp_diff", last},     {"timestamp_trunc", last},
    {"timestampadd", first},  {"timestampdiff", first}};
static_assert(strictly_sorted(date_part_functions, [](const DatePartFunction& e) { return e.name; }));

int date_part_at(std::string_view lower) {
    const auto it = std::lower_bound(std::begin(date_part_functions), std::end(date_part_functions), lower,
                                     [](const DatePartFunction& e, std::string_view v) { return e.name < v; });
    return it != std::end(date_part_functions) && it->name == lower ? it->at : nowhere;
}

constexpr std::string_view date_parts[] = {
    "day", "dayofweek", "dayofyear", "epoch", "hour", "isoweek", "isoyear", "microsecond",
    "millisecond", "minute", "month", "nanosecond", "quarter", "second", "week", "weekday", "year"};
static_assert(strictly_sorted(date_parts, self));
// abbreviations and plurals (Snowflake, T-SQL, Redshift)
constexpr std::string_view date_part_forms[] = {
    "d", "dayofmonth", "dayofweekiso", "days", "dd", "dow", "dow_iso", "doy", "dw", "dw_iso", "dy", "h", "hh",
    "hours", "hr", "hrs", "iso_week", "isowk", "isoww", "m", "mcs", "mi", "microseconds", "milliseconds",
    "min", "mins", "minutes", "mm", "mon", "mons", "months", "ms", "msec", "n", "nanosec", "nanoseconds",
    "ns", "nsec", "q", "qq", "qtr", "qtrs", "quarters", "s", "sec", "seconds", "secs", "ss", "us", "usec",
    "w", "week_iso", "weekday_iso", "weekofyear", "weeks", "wk", "woy", "ww", "wy", "y", "yearday",
    "yearofweek", "years", "yr", "yrs", "yy", "yyy", "yyyy"};
static_assert(strictly_sorted(date_part_forms, self));

bool is_date_part(std::string_view lower, bool abbreviations) {
    return std::binary_search(std::begin(date_parts), std::end(date_parts), lower) ||
           (abbreviations && std::binary_search(std::begin(date_part_forms), std::end(date_part_forms), lower));
}

bool is_conditional_function(std::string_view lower) {
    return lower == "if" || lower == "iif" || lower == "iff";
}

// Fields of a struct node that hold names, types or tokens, never columns.
bool skipped_field(std::string_view k) {
    switch (k.size()) {
        case 4: return k == "span" || k == "name";
        case 5: return k == "field" || k == "token";
        case 6: return k == "format";
        case 7: return k == "charset";
        case 9: return k == "data_type" || k == "collation" || k == "end_token";
        case 10: return k == "case_token";
        case 11: return k == "quote_style";
        default: return false;
    }
}

// A variable or parameter the parser hands over as a name (T-SQL and MySQL
// @x and @@x, BigQuery @param, ${x} substitutions); :x and $1 come as
// placeholders.  Never a column.
bool variable(const Name& name) {
    return !name.quoted && !name.text.empty() && (name.text[0] == '@' || name.text[0] == '$' || name.text[0] == ':');
}

Sub transformed(Sub sub) { return sub == Sub::identity ? Sub::transformation : sub; }
Sub conditional(Sub sub) { return is_indirect(sub) ? sub : Sub::conditional; }
Sub windowed(Sub sub) { return is_indirect(sub) ? sub : Sub::window; }

}  // namespace

Expr Reader::expression(PyObject* node, Sub sub, Select* owner) {
    Expr out;
    PyObject* payload = nullptr;
    PyObject* inner = node;
    std::string_view tag = variant(inner, &payload);
    while (tag == "Nested") {
        inner = payload;
        tag = variant(inner, &payload);
    }
    out.bare = tag == "Identifier" || tag == "CompoundIdentifier";
    if (tag == "Value") {
        PyObject* number = nullptr;
        PyObject* value = field(payload, n.value);
        if (variant(value, &number) == "Number" && items(number).size()) {
            const std::string_view digits = str_view(items(number)[0]);
            if (!digits.empty() && digits.size() < 12 &&
                std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
                out.ordinal = std::stol(std::string(digits));
        }
    }
    walk(node, out.bare ? sub : transformed(sub), out, owner);
    return out;
}

// Ctrl-C during the walk of a long statement: the interpreter's signal
// handlers run every 4,096 nodes, so an interrupt ends the walk at once (the
// parse before it cannot be interrupted).  Only this call holds the tree, so
// no handler can change what the walk borrows from it.
thread_local unsigned walked = 0;

void Reader::walk(PyObject* node, Sub sub, Expr& out, Select* owner) {
    if (!node) return;
    if ((++walked & 4095) == 0 && PyErr_CheckSignals() < 0) throw PyErrorSet{};
    if (is_sequence(node)) {
        const ListView all = items(node);
        for (Py_ssize_t i = 0; i < all.size(); ++i) walk(all[i], sub, out, owner);
        return;
    }
    if (!PyDict_Check(node)) return;
    Descend guard(*this);
    PyObject* p = nullptr;
    const std::string_view tag = PyDict_GET_SIZE(node) == 1 ? variant(node, &p) : std::string_view{};
    if (tag.empty() || !(tag[0] >= 'A' && tag[0] <= 'Z')) {
        // a struct: walk its fields
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(node, &pos, &k, &v)) {
            if (!PyDict_Check(v) && !is_sequence(v)) continue;
            if (!skipped_field(str_view(k))) walk(v, sub, out, owner);
        }
        return;
    }
    if (tag == "Identifier") {
        // Hive reads "x" as a string; its parser here as an identifier
        if (src.dialect->double_quoted_strings && str_view(field(p, n.quote_style)) == "\"") return;
        Name name = ident(p);
        if (variable(name)) return;
        if (declared(name)) return;
        out.cols.push_back(ColRef{{std::move(name)}, sub, pos_of(p)});
    } else if (tag == "CompoundIdentifier") {
        ColRef ref{{}, sub, {}};
        const ListView parts = items(p);
        for (Py_ssize_t i = 0; i < parts.size(); ++i) ref.parts.push_back(ident(parts[i]));
        if (parts.size()) ref.pos = pos_of(parts[0]);
        if (!ref.parts.empty() && declared(ref.parts[0])) return;  // r.id of a loop's record r
        if (!ref.parts.empty()) out.cols.push_back(std::move(ref));
    } else if (tag == "Value" || tag == "TypedString" || tag == "Wildcard" ||
               tag == "QualifiedWildcard") {
        // literals and count(*) read no column
    } else if (tag == "Function") {
        std::vector<Name> fname = object_name(field(p, n.name));
        const std::string lower = fname.empty() ? std::string() : ascii_lower(fname.back().text);
        const Sub inner = is_indirect(sub) ? sub
                          : is_aggregate(lower) ? Sub::aggregation
                                                : transformed(sub);
        PyObject* args = field(p, n.args);
        PyObject* list = nullptr;
        if (is_conditional_function(lower) && variant(args, &list) == "List") {
            const ListView a = items(field(list, n.args));
            for (Py_ssize_t i = 0; i < a.size(); ++i)
                walk(a[i], i == 0 ? conditional(sub) : inner, out, owner);
        } else if (const int at = date_part_at(lower); at && variant(args, &list) == "List") {
            // a bare unquoted date part (day, month, ...) is a keyword there
            const ListView a = items(field(list, n.args));
            for (Py_ssize_t i = 0; i < a.size(); ++i) {
                Expr one;
                walk(a[i], inner, one, owner);
                const bool place = ((at & first) && i == 0) || ((at & last) && i + 1 == a.size() && i > 0);
                if (place && one.cols.size() == 1 && one.subqueries.empty() && one.cols[0].parts.size() == 1 &&
                    !one.cols[0].parts[0].quoted &&
                    is_date_part(ascii_lower(one.cols[0].parts[0].text), (at & first) && i == 0))
                    continue;
                out.append(std::move(one));
            }
        } else {
            walk(args, inner, out, owner);
        }
        walk(field(p, n.filter), conditional(sub), out, owner);
        walk(field(p, n.within_group), inner, out, owner);
        PyObject* spec = nullptr;
        const std::string_view over = variant(field(p, n.over), &spec);
        if (over == "NamedWindow") {
            const Name w = ident(spec);
            for (auto it = windows.rbegin(); it != windows.rend(); ++it)
                if (it->first == w.key) {
                    variant(it->second, &spec);
                    break;
                }
        }
        if (spec && PyDict_Check(spec)) {
            walk(field(spec, n.partition_by), windowed(sub), out, owner);
            walk(field(spec, n.order_by), windowed(sub), out, owner);
        }
    } else if (tag == "Case") {
        walk(field(p, n.operand), conditional(sub), out, owner);
        const ListView whens = items(field(p, n.conditions));
        for (Py_ssize_t i = 0; i < whens.size(); ++i) {
            walk(field(whens[i], n.condition), conditional(sub), out, owner);
            walk(field(whens[i], n.result), transformed(sub), out, owner);
        }
        walk(field(p, n.else_result), transformed(sub), out, owner);
    } else if (tag == "Subquery") {
        out.subqueries.push_back(SubRef{query(p, owner), sub, false});
    } else if (tag == "Exists") {
        out.subqueries.push_back(SubRef{query(field(p, n.subquery), owner), sub, true});
    } else if (tag == "InSubquery") {
        walk(field(p, n.expr), transformed(sub), out, owner);
        out.subqueries.push_back(SubRef{query(field(p, n.subquery), owner), transformed(sub), false});
    } else if (tag == "Lambda") {
        // parameters are not columns: drop the references to them from the body
        std::vector<std::string> params;
        PyObject* one = nullptr;
        const std::string_view form = variant(field(p, n.params), &one);
        if (form == "One") params.push_back(ident(one).key);
        const ListView many = items(one);
        for (Py_ssize_t i = 0; form == "Many" && i < many.size(); ++i)
            params.push_back(ident(many[i]).key);
        const size_t first = out.cols.size();
        walk(field(p, n.body), transformed(sub), out, owner);
        out.cols.erase(std::remove_if(out.cols.begin() + static_cast<std::ptrdiff_t>(first),
                                      out.cols.end(),
                                      [&](const ColRef& c) {
                                          return std::find(params.begin(), params.end(),
                                                           c.parts[0].key) != params.end();
                                      }),
                       out.cols.end());
    } else if (tag == "CompoundFieldAccess") {
        // (expr).field and expr[i]: the fields after a dot are not columns,
        // except right after a name, where they continue it: t.payload['k']
        // and t.rec.items[0] read t.payload and t.rec.items
        PyObject* root = field(p, n.root);
        PyObject* rp = nullptr;
        const std::string_view root_tag = variant(root, &rp);
        const ListView chain = items(field(p, n.access_chain));
        Py_ssize_t i = 0;
        if (root_tag == "Identifier" || root_tag == "CompoundIdentifier") {
            ColRef ref{{}, transformed(sub), pos_of(root_tag == "Identifier" ? rp : items(rp).size() ? items(rp)[0] : nullptr)};
            if (root_tag == "Identifier") ref.parts.push_back(ident(rp));
            for (Py_ssize_t k = 0; root_tag == "CompoundIdentifier" && k < items(rp).size(); ++k)
                ref.parts.push_back(ident(items(rp)[k]));
            for (; i < chain.size(); ++i) {
                PyObject* step = nullptr;
                PyObject* name = nullptr;
                if (variant(chain[i], &step) != "Dot" || variant(step, &name) != "Identifier") break;
                ref.parts.push_back(ident(name));
            }
            if (!ref.parts.empty()) out.cols.push_back(std::move(ref));
        } else {
            walk(root, transformed(sub), out, owner);
        }
        for (; i < chain.size(); ++i) {
            PyObject* step = nullptr;
            if (variant(chain[i], &step) == "Subscript") walk(step, transformed(sub), out, owner);
        }
    } else if (tag == "Nested" || tag == "UnaryOp" || tag == "IsNull" || tag == "IsNotNull") {
        walk(p, tag == "Nested" ? sub : transformed(sub), out, owner);
    } else {
        walk(p, transformed(sub), out, owner);
    }
}

}  // namespace keldra::engine
