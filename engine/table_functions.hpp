// Table functions whose output columns are known (table_functions.cpp).
#pragma once

#include "engine.hpp"

#include <string_view>
#include <vector>

namespace keldra::engine {

enum class FunctionNaming : std::uint8_t {
    fixed,   // the columns listed
    scalar,  // one column named after the function, or after the item's alias (Postgres)
};

struct TableFunction {
    std::string_view name;
    std::string_view families;
    FunctionNaming naming;
    std::string_view columns[8];
    size_t star = 0;  // how many of them a star gives (the array form of explode), 0 for all
    size_t count() const;
};

// The entry for a function of that (lower-case) name in the dialect, or nullptr.
const TableFunction* table_function(std::string_view lower, const Dialect& d);
// The columns a generator gives as a select-list item without alias
// (Spark's explode(arr) is `col`), empty for any other function.
std::vector<std::string_view> select_list_columns(std::string_view lower, const Dialect& d);

}  // namespace keldra::engine
