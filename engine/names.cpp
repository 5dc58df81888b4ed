// Dialects and identifiers: how names compare and how they are reported.
#include "engine.hpp"

#include <iterator>

namespace keldra::engine {

namespace {
// The dialects, by name (sorted: the list users see).  Each is read by the
// closest dialect of the parser and compares names as the warehouse does:
// name, parser, function family, reported folding, quoted identifiers
// compare case-insensitively, backslash escapes in strings, '#' comments,
// [bracket] identifiers, "x" a string (the parser reads it as one, or reads
// an identifier that the reader then drops: Hive), quoted identifiers folded, and
// block comments nested (as the parser dialect reads them: ansi, clickhouse,
// databricks, generic, mssql and postgres nest; the others end a comment at
// its first */), GO lines ending batches, DECLARE opening a section of
// declarations, and variables written :x in statements.
constexpr Dialect dialects[] = {
    {"ansi", "ansi", "", Folding::keep, false, false, false, false, false, false, true},
    {"bigquery", "bigquery", "bigquery", Folding::keep, true, true, true, false, true},
    {"clickhouse", "clickhouse", "clickhouse", Folding::keep, false, true, false, false, false, false, true},
    {"databricks", "databricks", "hive", Folding::keep, true, true, false, false, true, false, true},
    {"duckdb", "duckdb", "duckdb", Folding::keep, false, false, false, false, false},
    {"generic", "generic", "", Folding::keep, false, false, false, false, false, false, true},
    {"hive", "hive", "hive", Folding::keep, true, true, false, false, true},
    {"mssql", "mssql", "mssql", Folding::keep, true, false, false, true, false, false, true, true},
    {"mysql", "mysql", "mysql", Folding::keep, true, true, true, false, true},
    // Oracle folds unquoted names to upper case; quoted ones are exact
    {"oracle", "oracle", "oracle", Folding::upper, false, false, false, false, false},
    {"postgres", "postgres", "postgres", Folding::lower, false, false, false, false, false, false, true},
    {"redshift", "redshift", "postgres", Folding::lower, false, false, false, false, false},
    {"snowflake", "snowflake", "snowflake", Folding::upper, false, true, false, false, false, false, false, false, true, true},
    // Spark SQL: Databricks' parser and names (case-insensitive, quoted too)
    {"spark", "databricks", "hive", Folding::keep, true, true, false, false, true, false, true},
    {"sqlite", "sqlite", "sqlite", Folding::keep, true, false, false, true, false},
    // Teradata: names are case-insensitive, quoted or not, and kept as written
    {"teradata", "generic", "teradata", Folding::keep, true, false, false, false, false, false, true},
    // Trino lower-cases every identifier, quoted ones too
    {"trino", "generic", "trino", Folding::lower, true, false, false, false, false, true, true},
    {"tsql", "mssql", "mssql", Folding::keep, true, false, false, true, false, false, true, true},
};
static_assert([] {
    for (size_t i = 1; i < std::size(dialects); ++i)
        if (!(std::string_view(dialects[i - 1].name) < std::string_view(dialects[i].name))) return false;
    return true;
}(), "the dialects stay sorted by name");
static_assert([] {
    for (const Dialect& a : dialects)
        for (const Dialect& b : dialects)
            if (std::string_view(a.parser) == b.parser && a.nested_comments != b.nested_comments) return false;
    return true;
}(), "dialects read by the same parser dialect nest comments alike");
}  // namespace

const Dialect* find_dialect(std::string_view name) {
    for (const Dialect& d : dialects)
        if (name == d.name) return &d;
    return nullptr;
}

std::string dialect_names() {
    std::string out;
    for (const Dialect& d : dialects) {
        if (!out.empty()) out += ", ";
        out += d.name;
    }
    return out;
}

Ref dialect_tuple() {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(std::size(dialects))));
    for (size_t i = 0; i < std::size(dialects); ++i)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Ref::steal(PyUnicode_FromString(dialects[i].name)).release());
    return tuple;
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

namespace {
constexpr unsigned char fold(char c) {
    return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}
}  // namespace

// FNV-1a over the folded bytes.
size_t FoldedHash::operator()(std::string_view s) const noexcept {
    std::uint64_t h = 14695981039346656037ull;
    for (const char c : s) h = (h ^ fold(c)) * 1099511628211ull;
    return static_cast<size_t>(h);
}

bool FoldedEqual::operator()(std::string_view a, std::string_view b) const noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

void ColumnList::reserve(size_t n) {
    names_.reserve(n);
    size_t want = 16;
    while (want < 2 * n) want *= 2;
    if (want <= slots_.size()) return;
    slots_.assign(want, 0);
    for (std::uint32_t i = 0; i < names_.size(); ++i) insert(i);
}

void ColumnList::insert(std::uint32_t position) {
    const size_t mask = slots_.size() - 1;
    const std::string& name = names_[position];
    for (size_t i = FoldedHash{}(name) & mask;; i = (i + 1) & mask) {
        if (!slots_[i]) {
            slots_[i] = position + 1;
            return;
        }
        if (FoldedEqual{}(names_[slots_[i] - 1], name)) return;  // the first keeps the name
    }
}

void ColumnList::add(std::string name) {
    if (2 * (names_.size() + 1) > slots_.size()) reserve(names_.size() + 1 > 8 ? 2 * names_.size() : 8);
    names_.push_back(std::move(name));
    insert(static_cast<std::uint32_t>(names_.size() - 1));
}

const std::string* ColumnList::find(std::string_view name) const {
    if (slots_.empty()) return nullptr;
    const size_t mask = slots_.size() - 1;
    for (size_t i = FoldedHash{}(name) & mask; slots_[i]; i = (i + 1) & mask)
        if (FoldedEqual{}(names_[slots_[i] - 1], name)) return &names_[slots_[i] - 1];
    return nullptr;
}

std::string ascii_upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

// Unquoted identifiers compare case-insensitively; quoted ones exactly, as the
// dialect folds the unquoted ones (Snowflake folds to upper case, so "ID"
// matches id there while "id" does not).  Dialects whose identifiers are
// case-insensitive even when quoted compare every name folded.
Name make_name(std::string text, bool quoted, const Dialect& d) {
    Name n;
    if (!quoted || d.quoted_insensitive)
        n.key = ascii_lower(text);
    else if (d.report == Folding::upper)
        n.key = ascii_upper(text) == text ? ascii_lower(text) : text + "\x01";
    else
        n.key = ascii_lower(text) == text ? text : text + "\x01";
    n.text = std::move(text);
    n.quoted = quoted;
    return n;
}

// The catalog's names compare case-insensitively, also with a quoted name
// of the query ("Home/Neutral" is the catalog's Home/Neutral).
Name catalog_name(const std::string& column, const Dialect& d) {
    Name n = make_name(column, true, d);
    n.key = ascii_lower(column);
    n.loose = true;
    return n;
}

bool same_name(const Name& a, const Name& b) {
    if (a.key == b.key) return true;
    return (a.loose || b.loose) && ascii_lower(a.text) == ascii_lower(b.text);
}

std::string reported(const Name& n, const Dialect& d) {
    if (n.quoted && !d.fold_quoted) return n.text;
    switch (d.report) {
        case Folding::lower: return ascii_lower(n.text);
        case Folding::upper: return ascii_upper(n.text);
        default: return n.text;
    }
}

}  // namespace keldra::engine
