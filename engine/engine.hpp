// The lineage engine: shared types.
//
// A statement goes through three steps:
//   1. reading (ast_reader.cpp, expressions.cpp, queries.cpp, statements.cpp):
//      the AST that sqloxide hands over as plain dicts and lists is read into
//      the small C++ model below, once.  Expressions are flattened on the way
//      to the column references and subqueries they hold, each with the
//      subtype its position gives it.  Nothing of the Python tree is kept.
//   2. tables: every base table named is looked up once, in the tables that
//      earlier statements of the call created and then in the catalog
//      (tables.cpp).  This is the only step that can run Python code.
//   3. resolution (scopes.cpp): the output columns of every query block are
//      computed once and kept on the block, so a reference into a derived
//      table or CTE reads what was already computed.
// results.cpp turns what is left into the Python result objects.
#pragma once

#include "keldra/ref.hpp"
#include "messages.hpp"

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace keldra::engine {

// ---------------------------------------------------------------- dialects

enum class Folding : std::uint8_t { keep, lower, upper };

struct Dialect {
    const char* name;
    const char* parser;      // sqloxide's dialect that reads it (the closest one)
    const char* family;      // whose functions it has (table_functions.cpp); "" for any
    Folding report;          // how unquoted identifiers are reported
    bool quoted_insensitive; // quoted identifiers compare case-insensitively too
    bool backslash_escapes;  // '\'' inside string literals
    bool hash_comments;      // '#' starts a line comment
    bool bracket_quotes;     // [identifier]
    bool double_quoted_strings;  // "x" is a string (Hive's parser here reads an identifier)
    bool fold_quoted = false;    // quoted identifiers are folded too (Trino)
    bool nested_comments = false;  // the parser nests /* /* */ */ (a fact of its parser dialect)
    bool go_batches = false;       // GO on a line of its own ends a batch (T-SQL)
    bool declare_sections = false; // DECLARE opens a section of declarations up to BEGIN (Snowflake) ...
    bool bound_variables = false;  // ... and its statements name a variable :x, so a bare name is a column
};

const Dialect* find_dialect(std::string_view name);
std::string dialect_names();  // "ansi, bigquery, ..." for messages
Ref dialect_tuple();          // the names, in order (keldra_lineage.DIALECTS)

// ------------------------------------------------------------------ names

// An identifier as written, with how it compares.
struct Name {
    std::string text;    // as written, without quotes
    std::string key;     // what it compares by (folded unless quoted)
    bool quoted = false;
    bool loose = false;  // from the catalog: compares case-insensitively with any name
};

Name make_name(std::string text, bool quoted, const Dialect& d);
std::string reported(const Name& n, const Dialect& d);  // the dialect's folding applied
Name catalog_name(const std::string& column, const Dialect& d);  // a column the catalog names
bool same_name(const Name& a, const Name& b);
std::string ascii_lower(std::string_view s);
std::string ascii_upper(std::string_view s);

// ------------------------------------------------------------------ lineage

enum class Sub : std::uint8_t {
    identity, transformation, aggregation,                     // DIRECT
    join, group_by, filter, sort, window, conditional           // INDIRECT
};
inline bool is_indirect(Sub s) { return s >= Sub::join; }
// The subtype of a source reached through a column whose own subtype is
// `outer`: an indirect role wins (the outer one first), else the stronger
// transformation.
inline Sub compose(Sub outer, Sub inner) {
    if (is_indirect(outer)) return outer;
    if (is_indirect(inner)) return inner;
    return outer > inner ? outer : inner;
}

struct Src {
    int table = -1;        // index into Statement::tables, -1 when unattributed
    std::string column;
    Sub sub = Sub::identity;
    bool operator==(const Src&) const = default;
};
using Srcs = std::vector<Src>;

// A position in the whole text (1-based), for messages.
struct Pos {
    int line = 0, column = 0;
    explicit operator bool() const { return line > 0; }
    bool operator==(const Pos&) const = default;
};

// A warning or the error of a statement: its kind, its position and the
// message without it (keldra_lineage.Message puts them together).
struct Message {
    MessageKind kind = MessageKind::parse_error;
    Pos pos;
    std::string text;
    bool empty() const { return text.empty(); }  // no error
    bool operator==(const Message&) const = default;
};

// ------------------------------------------------------------------ model

struct Query;
class ColumnList;

// A column reference inside an expression, with the role its place gives it.
struct ColRef {
    std::vector<Name> parts;
    Sub sub;
    Pos pos;
};
// A subquery inside an expression; `exists` subqueries feed no values.
struct SubRef {
    Query* query;
    Sub sub;
    bool exists;
};
// An expression, flattened to what lineage needs.
struct Expr {
    std::vector<ColRef> cols;
    std::vector<SubRef> subqueries;
    std::optional<long> ordinal;  // a bare integer literal (GROUP BY 1)
    bool bare = false;            // the whole expression is one column reference
    void append(Expr&& o);
};

enum class ItemKind : std::uint8_t { expr, star, qualified_star };

struct SelectItem {
    ItemKind kind = ItemKind::expr;
    Name name;                      // output name (alias, column name or text)
    bool has_alias = false;
    Expr expr;
    std::vector<Name> qualifier;    // t in t.*
    std::vector<Name> excluded;     // * EXCEPT / EXCLUDE
    std::vector<std::pair<Name, Expr>> replaced;  // * REPLACE (expr AS name)
    std::vector<std::pair<Name, Name>> renamed;   // * RENAME (a AS b)
    Pos pos;
};

// One output column of a query block.
struct OutCol {
    Name name;
    Srcs srcs;
    bool star = false;       // an unexpanded star: srcs are (table, "*")
    bool every = false;      // a star of a set operation: each of its tables feeds every column
    bool from_star = false;  // expanded from a star (an explicit column wins)
};

enum class FromKind : std::uint8_t { base, query, function };

struct FromItem {
    FromKind kind = FromKind::base;
    std::optional<Name> alias;
    std::vector<Name> alias_columns;  // AS x(a, b)
    // base
    std::vector<Name> table;          // name parts as written
    int table_index = -1;             // into Statement::tables (after step 2)
    const ColumnList* known_columns = nullptr;  // from the schema
    // PIVOT / UNPIVOT over this item: the columns it adds, each fed by
    // expressions over the item's own columns, and the columns it consumes
    struct Added {
        Name name;
        Expr expr;
    };
    std::vector<Added> added;
    std::vector<Name> hidden;
    // query (derived table, CTE, VALUES)
    Query* query = nullptr;
    Name cte_name;                    // for a CTE without alias
    bool is_cte = false;
    // function (UNNEST, table functions): its outputs come from its arguments
    Expr args;
    bool unnest = false;              // UNNEST(...) AS x: x is its one column
    bool known_function = false;      // its columns are known (table_functions.cpp) ...
    std::vector<Name> function_columns;  // ... these
    size_t star_columns = 0;          // ... of which a star gives the first ones (0: all)
    Srcs resolved_args;               // the arguments' columns, once
    std::uint8_t args_state = 0;      // 0 not yet, 1 being resolved, 2 done
    // outputs of a query item under its alias's column names, once
    std::vector<OutCol> renamed;
    bool renamed_ready = false;
    Pos pos;
};

// Where a clause looks for the output names of its select list.
enum class Aliases : std::uint8_t {
    fallback,        // only for a name no source has (WHERE, lateral aliases)
    first,           // before the input columns (ORDER BY, HAVING, QUALIFY)
    before_unknown,  // before a source whose columns are unknown (GROUP BY)
};

struct Clause {
    Expr expr;
    Sub sub;  // join, filter, group_by, sort
    Aliases aliases = Aliases::fallback;
};

struct Scope;

// The most output columns the query blocks of one statement may have in all
// (its CTEs, derived tables, subqueries and branches included): a star over
// a join of a CTE with itself doubles the columns at every level, so 22
// levels of 1,151 bytes would make 4.2 million.  No database allows a tenth
// of this in one select list.  Exported as keldra_lineage.MAX_COLUMNS.
inline constexpr size_t max_columns = 100'000;

// A statement that a step stops within one of the limits above: the
// statement's error record, with nothing else of it kept.
struct StatementRefused {
    Message why;
};

struct Select {
    std::vector<FromItem> from;
    std::vector<SelectItem> items;
    std::vector<Clause> clauses;            // WHERE, JOIN ON, GROUP BY, HAVING, QUALIFY
    std::vector<std::string> using_keys;    // columns joined by USING: both sides feed them
    std::vector<size_t> natural;            // the right-hand items of NATURAL joins
    bool group_by_all = false;              // GROUP BY ALL
    Scope* scope = nullptr;                 // while its outputs are being computed
};

enum class BodyKind : std::uint8_t { select, set_operation, values, query, unsupported };

struct Query {
    BodyKind kind = BodyKind::unsupported;
    std::unique_ptr<Select> select;
    Query* left = nullptr;     // set operation
    Query* right = nullptr;
    Query* inner = nullptr;    // parenthesised query
    std::vector<std::vector<Expr>> rows;  // VALUES
    std::vector<Clause> order_by;          // ORDER BY of this query (SORT)
    Select* parent = nullptr;  // the block whose scope encloses this query
    bool recursive_cte = false;
    // computed once
    enum class State : std::uint8_t { fresh, running, done } state = State::fresh;
    std::vector<OutCol> outputs;
};

// ASCII case-insensitive hashing and equality of names, for look-ups by a
// name as written without building its folded copy.
struct FoldedHash {
    size_t operator()(std::string_view s) const noexcept;
};
struct FoldedEqual {
    bool operator()(std::string_view a, std::string_view b) const noexcept;
};

// A known table's column names in order, indexed once by their ASCII-folded
// form: finding a column costs the same in a table of ten columns as in one
// of ten thousand.  The index is an open-addressing table of positions (one
// allocation, no copy of the names), since the catalog's tables are indexed
// anew in every call and a node per name would cost more than the look-ups.
class ColumnList {
public:
    void reserve(size_t n);
    void add(std::string name);  // a repeated name keeps its first position
    // The first column whose name equals `name` ignoring ASCII case, or nullptr.
    const std::string* find(std::string_view name) const;
    size_t size() const { return names_.size(); }
    const std::string& operator[](size_t i) const { return names_[i]; }
    auto begin() const { return names_.begin(); }
    auto end() const { return names_.end(); }

private:
    std::vector<std::string> names_;
    std::vector<std::uint32_t> slots_;  // position + 1, 0 when free; a power of two, at most half full
    void insert(std::uint32_t position);
};

// A table that a statement of the call creates, or that the catalog knows.
struct KnownTable {
    std::string name;    // as reported
    ColumnList columns;  // in order
};

// The kinds of statement, named in results.cpp (`kind_names`); `other` last.
enum class Kind : std::uint8_t {
    query, insert, create_table_as, create_view, create_table, merge, update, delete_, create_procedure, create_function,
    other
};

struct Statement {
    int index = 0;
    Pos start;
    Kind kind = Kind::other;
    std::vector<Name> target;
    std::string target_name;
    std::vector<Name> target_columns;  // INSERT (cols) / CREATE VIEW (cols) / CREATE TABLE (defs)
    std::optional<KnownTable> target_known;  // the target's columns, where known
    std::vector<std::vector<Name>> dropped;  // DROP TABLE / VIEW: the tables it names
    bool named = false;                // a query that the caller named: it defines its target
    Query* query = nullptr;  // for UPDATE / DELETE / MERGE: one select over the target and its sources
    // MERGE ... INSERT VALUES without a column list: the positions (0-based)
    // of the values, named by the target's columns once they are known
    std::vector<size_t> positional;
    Message error;                  // empty when the statement was analysed
    std::vector<Message> warnings;
    std::unordered_multimap<size_t, size_t> warned;  // a warning's hash -> its index, to drop repeats

    // the queries, owned here
    std::deque<Query> queries;
    Query* new_query() { return &queries.emplace_back(); }
    // every base table named, by key, and the reported names of tables
    std::vector<std::string> tables;
    std::unordered_map<std::string, int> table_ids;
    int table_id(const std::string& name);

    // results
    struct Column {
        std::string name;
        Srcs srcs;
    };
    std::vector<Column> columns;
    Srcs indirect;

    // without a position: the statement's
    void warn(MessageKind kind, Pos pos, std::string message);
    void fail(MessageKind kind, Pos pos, std::string message);
};

// ------------------------------------------------------------------ steps

// Reading the AST of one parsed statement.  `text` is the statement's text
// (UTF-8), `origin` where it starts in the whole text.
struct Source {
    std::string_view text;
    Pos origin;
    const Dialect* dialect;
    // 1-based line/column (in characters) of the statement text -> whole text
    Pos absolute(int line, int column) const;
    // byte offset in `text` of a 1-based line/column, or npos
    size_t offset(int line, int column) const;
    mutable std::vector<size_t> line_starts;
    // the names a script declared: variables, never columns (by ASCII-lowered name)
    const std::unordered_set<std::string>* variables = nullptr;
};

struct Names;  // interned dict keys, module state

void read_statement(const Names& n, const Source& src, PyObject* node, Statement& st);

// Tables: what a session knows of the tables its statements name.  The
// tables its earlier statements created or filled come first (by key, and
// by their last name part for names written with fewer parts), then the
// catalog's answers, each asked once.
struct Tables {
    PyObject* catalog = nullptr;   // owned by the session; may be None
    PyObject* resolve_name = nullptr;
    struct Created {
        KnownTable table;
        std::uint64_t order;       // when it was last defined
    };
    std::unordered_map<std::string, Created> created;
    std::unordered_map<std::string, std::vector<std::string>> by_last;  // last part's key -> keys
    std::uint64_t defined = 0;
    std::unordered_map<std::string, std::optional<KnownTable>> looked_up;
    void attach(Statement& st, const Dialect& d);
    void record(const Statement& st);
    const KnownTable* find(const std::vector<Name>& parts);
    std::vector<const KnownTable*> in_order() const;  // the created tables, oldest definition first
};

// Whether a statement makes its target known to the statements after it:
// it creates the table or view, defines it (a query given a name), or fills
// a table that nothing knew before.  The one place of this rule.
bool defines_target(const Statement& st);
// The tables a statement drops, which the statements after it no longer
// know from it (the catalog's answer stands): next to the rule above.
const std::vector<std::vector<Name>>& forgets(const Statement& st);

void resolve_statement(Statement& st, const Dialect& d);

}  // namespace keldra::engine
