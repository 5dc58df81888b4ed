// The output columns of table functions whose columns are fixed, per dialect
// family, as the warehouses document them.  Every column of such a function
// is fed by its arguments; knowing the names keeps the other sources of a
// query unambiguous.
#include "table_functions.hpp"

#include <algorithm>
#include <iterator>

namespace keldra::engine {

namespace {

// name (lower case), families (space-separated; the first entry of a name
// that matches the dialect wins, any for a dialect without a family),
// how its columns are named, columns, how many a star gives
constexpr TableFunction table_functions[] = {
    // Databricks / Spark / Hive generators: an array gives col, a map key and value
    {"explode", "hive", FunctionNaming::fixed, {"col", "key", "value"}, 1},
    {"explode_outer", "hive", FunctionNaming::fixed, {"col", "key", "value"}, 1},
    // Snowflake: LATERAL FLATTEN(input => ...)
    {"flatten", "snowflake", FunctionNaming::fixed, {"seq", "key", "path", "index", "value", "this"}},
    {"generate_series", "postgres duckdb", FunctionNaming::scalar, {}},
    {"generate_series", "sqlite", FunctionNaming::fixed, {"value"}},
    {"generate_subscripts", "postgres", FunctionNaming::scalar, {}},
    // Snowflake: GENERATOR(ROWCOUNT => n) has no column of its own
    {"generator", "snowflake", FunctionNaming::fixed, {}},
    {"json_array_elements", "postgres", FunctionNaming::fixed, {"value"}},
    {"json_array_elements_text", "postgres", FunctionNaming::fixed, {"value"}},
    {"json_each", "postgres", FunctionNaming::fixed, {"key", "value"}},
    {"json_each", "sqlite", FunctionNaming::fixed, {"key", "value", "type", "atom", "id", "parent", "fullkey", "path"}},
    {"json_each_text", "postgres", FunctionNaming::fixed, {"key", "value"}},
    {"json_object_keys", "postgres", FunctionNaming::scalar, {}},
    {"json_tree", "sqlite", FunctionNaming::fixed, {"key", "value", "type", "atom", "id", "parent", "fullkey", "path"}},
    {"jsonb_array_elements", "postgres", FunctionNaming::fixed, {"value"}},
    {"jsonb_array_elements_text", "postgres", FunctionNaming::fixed, {"value"}},
    {"jsonb_each", "postgres", FunctionNaming::fixed, {"key", "value"}},
    {"jsonb_each_text", "postgres", FunctionNaming::fixed, {"key", "value"}},
    {"jsonb_object_keys", "postgres", FunctionNaming::scalar, {}},
    // ClickHouse: numbers(n)
    {"numbers", "clickhouse", FunctionNaming::fixed, {"number"}},
    // T-SQL: OPENJSON without a WITH clause, STRING_SPLIT (ordinal when asked for)
    {"openjson", "mssql", FunctionNaming::fixed, {"key", "value", "type"}},
    {"posexplode", "hive", FunctionNaming::fixed, {"pos", "col", "key", "value"}, 2},
    {"posexplode_outer", "hive", FunctionNaming::fixed, {"pos", "col", "key", "value"}, 2},
    {"range", "duckdb", FunctionNaming::scalar, {}},
    {"regexp_split_to_table", "postgres", FunctionNaming::scalar, {}},
    {"split_to_table", "snowflake", FunctionNaming::fixed, {"seq", "index", "value"}},
    {"string_split", "mssql", FunctionNaming::fixed, {"value", "ordinal"}},
    {"strtok_split_to_table", "snowflake", FunctionNaming::fixed, {"seq", "index", "value"}},
    {"unnest", "postgres duckdb", FunctionNaming::scalar, {}},
};

constexpr bool sorted_by_name() {
    for (size_t i = 1; i < std::size(table_functions); ++i)
        if (table_functions[i].name < table_functions[i - 1].name) return false;
    return true;
}
static_assert(sorted_by_name(), "the table functions stay sorted by name");

bool in_family(std::string_view families, std::string_view family) {
    if (family.empty()) return true;
    while (!families.empty()) {
        const size_t end = std::min(families.find(' '), families.size());
        if (families.substr(0, end) == family) return true;
        families.remove_prefix(std::min(end + 1, families.size()));
    }
    return false;
}

}  // namespace

size_t TableFunction::count() const {
    size_t n = 0;
    while (n < std::size(columns) && !columns[n].empty()) ++n;
    return n;
}

const TableFunction* table_function(std::string_view lower, const Dialect& d) {
    auto it = std::lower_bound(std::begin(table_functions), std::end(table_functions), lower,
                               [](const TableFunction& f, std::string_view v) { return f.name < v; });
    for (; it != std::end(table_functions) && it->name == lower; ++it)
        if (in_family(it->families, d.family)) return &*it;
    return nullptr;
}

std::vector<std::string_view> select_list_columns(std::string_view lower, const Dialect& d) {
    // In a select list, Spark's generators give their array form's columns.
    if (!in_family("hive", d.family)) return {};
    if (lower == "explode" || lower == "explode_outer") return {"col"};
    if (lower == "posexplode" || lower == "posexplode_outer") return {"pos", "col"};
    return {};
}

}  // namespace keldra::engine
